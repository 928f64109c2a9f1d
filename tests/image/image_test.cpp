// The image itself: mapped, relocated and bound to the host platform, its
// entry point run as the I/O manager runs it.
#include "tests/image/image_loader.h"
#include "tests/support/machine.h"

namespace {
using nqtest::MachineTest;

class DriverImage : public MachineTest {};

TEST_F(DriverImage, IsRelocatedAndEveryImportBoundToTheHostPlatform) {
  nqimage::MappedImage image;
  std::string error;
  ASSERT_TRUE(nqimage::MapDriverImage(nqimage::ProgramFolder() + "nqwfpdrv.sys", &image, &error)) << error;
  EXPECT_NE(image.entryPoint, nullptr);
  // The preferred base 0x10000 is taken in every Win32 process.
  if (image.relocationDelta != 0) EXPECT_GT(image.relocationsApplied, 0u);
  // ntoskrnl.exe 24, HAL.dll 2, NDIS.SYS 5, fwpkclnt.sys 23.
  EXPECT_EQ(image.importsBound, 54u);
}

TEST_F(DriverImage, EntryPointLoadsAndCreatesTheDeviceWithItsTable) {
  ASSERT_EQ(LoadDriver(), STATUS_SUCCESS);
  ASSERT_NE(Device(), nullptr);
  EXPECT_EQ(Device()->DriverObject, host::io::LoadedDriver());
  EXPECT_EQ(Device()->DeviceType, static_cast<ULONG>(FILE_DEVICE_NETWORK));
  ASSERT_NE(Table(), nullptr);
  EXPECT_EQ(Table()->Version, 1u);
  EXPECT_EQ(Table()->Signature, 0x12345678u);
  EXPECT_EQ(Table()->ClientReady, 0u);
  EXPECT_EQ(host::faults::CallCount("FwpsCalloutRegister1"), 9u) << "start-up registered the nine callouts";
}
}  // namespace
