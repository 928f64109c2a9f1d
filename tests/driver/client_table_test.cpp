#include "core/driver/driver_entry.h"
#include "tests/support/machine.h"

#include <cstddef>

extern "C" {
extern const unsigned kCClientTableSize;
extern const unsigned kCClientSlotOffsets[];
extern const unsigned kCClientSlotCount;
unsigned CClientLookupTcp(const ClientTable* table, unsigned address, unsigned short port, unsigned long long* pid);
}

namespace {
using nqtest::MachineTest;

// The byte layout the client driver relies on, slot by slot.
constexpr unsigned kExpectedOffsets[] = {
    0x00, 0x04, 0x08, 0x0c, 0x10, 0x14, 0x18, 0x1c, 0x20, 0x24, 0x28, 0x2c, 0x30, 0x34, 0x38, 0x3c,
    0x40, 0x44, 0x48, 0x4c, 0x50, 0x54, 0x58, 0x5c, 0x60, 0x64, 0x68, 0x6c, 0x70, 0x74, 0x78};

TEST(ClientTableLayout, SlotsSitAtTheirX86OffsetsInCAndCpp) {
  if (sizeof(void*) != 4) GTEST_SKIP() << "the byte layout is the x86 one";
  ASSERT_EQ(kCClientSlotCount, sizeof(kExpectedOffsets) / sizeof(kExpectedOffsets[0]));
  EXPECT_EQ(kCClientTableSize, 124u);
  EXPECT_EQ(sizeof(ClientTable), 124u);
  for (unsigned i = 0; i < kCClientSlotCount; ++i)
    EXPECT_EQ(kCClientSlotOffsets[i], kExpectedOffsets[i]) << "slot " << i << " as the C client sees it";
  EXPECT_EQ(offsetof(ClientTable, LookupUdpEndpointOwner), 0x6cu);
  EXPECT_EQ(offsetof(ClientTable, LookupTcpEndpointOwner), 0x70u);
  EXPECT_EQ(offsetof(ClientTable, InspectInboundPacket), 0x74u);
}

class ClientTableAtLoad : public MachineTest {};

TEST_F(ClientTableAtLoad, FixedFieldsAndServicesAreSetBeforeTheClientTouchesIt) {
  ASSERT_TRUE(NT_SUCCESS(LoadDriver()));
  ClientTable* t = Table();
  ASSERT_NE(t, nullptr);
  EXPECT_EQ(t->Version, 1u);
  EXPECT_EQ(t->Signature, 0x12345678u);
  EXPECT_EQ(t->ClientReady, 0u);
  EXPECT_NE(t->LookupUdpEndpointOwner, nullptr);
  EXPECT_NE(t->LookupTcpEndpointOwner, nullptr);
  // Every other byte is the client's and still zero.
  EXPECT_EQ(t->ReportConnect, nullptr);
  EXPECT_EQ(t->InspectInboundPacket, nullptr);
  EXPECT_EQ(t->Reserved78, nullptr);
  EXPECT_EQ(gClientTable, t);
}

TEST_F(ClientTableAtLoad, CClientCallsALookupServiceThroughTheTable) {
  ASSERT_TRUE(NT_SUCCESS(LoadDriver()));
  unsigned long long pid = 77;
  EXPECT_EQ(CClientLookupTcp(Table(), 0, 80, &pid), 0u);
  EXPECT_EQ(pid, 77u) << "a miss leaves the caller's value alone";
}

TEST_F(ClientTableAtLoad, StandInClientFillsEverySlotAndRaisesReady) {
  ASSERT_TRUE(NT_SUCCESS(LoadDriver()));
  ASSERT_TRUE(Client().Attach());
  ClientTable* t = Table();
  EXPECT_EQ(t->ClientReady, 1u);
  void* const* slots = reinterpret_cast<void* const*>(&t->ReportConnect);
  size_t count = (offsetof(ClientTable, Reserved78) - offsetof(ClientTable, ReportConnect)) / sizeof(void*);
  for (size_t i = 0; i < count; ++i) EXPECT_NE(slots[i], nullptr) << "slot " << i;
}
}  // namespace
