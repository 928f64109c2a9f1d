// The driver under test, as the real image: nqwfpdrv.sys next to the test
// program, mapped and bound to the host platform's modules.
#include "tests/image/image_loader.h"
#include "tests/support/machine.h"

namespace nqtest {
namespace {
// Stands in for an image that could not be mapped: the load fails.
NTSTATUS NTAPI ImageNotMapped(PDRIVER_OBJECT, PUNICODE_STRING) { return STATUS_UNSUCCESSFUL; }
}  // namespace

PDRIVER_INITIALIZE DriverUnderTest() {
  nqimage::MappedImage image;
  std::string error;
  if (!nqimage::MapDriverImage(nqimage::ProgramFolder() + "nqwfpdrv.sys", &image, &error)) {
    ADD_FAILURE() << "nqwfpdrv.sys: " << error;
    return ImageNotMapped;
  }
  return reinterpret_cast<PDRIVER_INITIALIZE>(image.entryPoint);
}
}  // namespace nqtest
