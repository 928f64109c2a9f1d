// The host's packet path behaves as the platform documents where the driver
// relies on it: NET_BUFFER data access, the classify values a callout reads,
// injection states, and the verifier rules around pending and injection.
#include "host/ndis.h"
#include "host/wfp_classify.h"
#include "tests/support/machine.h"

#include <cstring>

namespace {

class HostPacketPath : public nqtest::MachineTest {
 protected:
  void ExpectViolation(const std::string& rule) {
    bool found = false;
    for (const auto& text : host::verifier::Violations()) found |= text.rfind(rule, 0) == 0;
    EXPECT_TRUE(found) << "expected a " << rule << " violation";
    host::verifier::Clear();
  }
  static std::string Bytes(size_t n) {
    std::string s(n, '\0');
    for (size_t i = 0; i < n; ++i) s[i] = static_cast<char>('A' + i % 26);
    return s;
  }
};

TEST_F(HostPacketPath, GetDataBufferIsInPlaceOnlyForContiguousDataAndCopiesIntoStorage) {
  std::string bytes = Bytes(40);
  // 10 bytes in front of the data start; the data is cut at byte 25.
  NET_BUFFER_LIST* list = host::ndis::BuildNetBufferList({bytes, 10, {25}});
  NET_BUFFER* nb = list->FirstNetBuffer;
  ASSERT_EQ(nb->DataLength, 30u);

  auto* head = static_cast<const char*>(NdisGetDataBuffer(nb, 15, nullptr, 1, 0));
  ASSERT_NE(head, nullptr) << "the first 15 bytes lie in one MDL";
  EXPECT_EQ(std::string(head, 15), bytes.substr(10, 15));

  EXPECT_EQ(NdisGetDataBuffer(nb, 16, nullptr, 1, 0), nullptr) << "spans two MDLs, no storage";
  char storage[30];
  void* copied = NdisGetDataBuffer(nb, 30, storage, 1, 0);
  EXPECT_EQ(copied, storage);
  EXPECT_EQ(std::string(storage, 30), bytes.substr(10));
  EXPECT_EQ(NdisGetDataBuffer(nb, 31, storage, 1, 0), nullptr) << "more than the data length";
  host::ndis::FreeNetBufferList(list);
}

TEST_F(HostPacketPath, RetreatAndAdvanceMoveTheDataStartOverTheBytesInFront) {
  std::string bytes = Bytes(48);
  NET_BUFFER_LIST* list = host::ndis::BuildNetBufferList({bytes, 40});
  NET_BUFFER* nb = list->FirstNetBuffer;
  ASSERT_EQ(NdisRetreatNetBufferDataStart(nb, 40, 0, nullptr), NDIS_STATUS_SUCCESS);
  EXPECT_EQ(host::ndis::DataBytes(nb), bytes);
  NdisAdvanceNetBufferDataStart(nb, 40, FALSE, nullptr);
  EXPECT_EQ(host::ndis::DataBytes(nb), bytes.substr(40));
  host::ndis::FreeNetBufferList(list);
}

// Past the bytes in front, NDIS allocates an MDL of its own in front of the
// chain: the data then starts in memory that holds none of the stack's bytes
// and is no longer one block with them. An advance with FreeMdl TRUE frees it.
TEST_F(HostPacketPath, RetreatPastTheBytesInFrontAllocatesAnMdlThatAnAdvanceFrees) {
  std::string bytes = Bytes(48);
  NET_BUFFER_LIST* list = host::ndis::BuildNetBufferList({bytes, 20});
  NET_BUFFER* nb = list->FirstNetBuffer;
  PMDL original = nb->MdlChain;
  ASSERT_EQ(NdisRetreatNetBufferDataStart(nb, 30, 4, nullptr), NDIS_STATUS_SUCCESS);
  EXPECT_NE(nb->MdlChain, original);
  EXPECT_EQ(nb->MdlChain->Next, original);
  EXPECT_EQ(nb->DataLength, 58u);
  std::string data = host::ndis::DataBytes(nb);
  EXPECT_EQ(data.substr(10), bytes) << "the stack's bytes follow the new ones";
  EXPECT_EQ(NdisGetDataBuffer(nb, 11, nullptr, 1, 0), nullptr) << "not one block with them";
  NdisAdvanceNetBufferDataStart(nb, 30, TRUE, nullptr);
  EXPECT_EQ(nb->MdlChain, original);
  EXPECT_EQ(nb->DataOffset, 20u);
  EXPECT_EQ(host::ndis::DataBytes(nb), bytes.substr(20));
  host::ndis::FreeNetBufferList(list);
}

// A callout that retreats past the bytes in front and advances back without
// freeing what the retreat allocated, or with it.
BOOLEAN gFreeMdl = FALSE;
VOID NTAPI RetreatingClassify(const FWPS_INCOMING_VALUES0*, const FWPS_INCOMING_METADATA_VALUES0*, void* layerData,
                              const void*, const FWPS_FILTER1*, UINT64, FWPS_CLASSIFY_OUT0* out) {
  NET_BUFFER* nb = static_cast<NET_BUFFER_LIST*>(layerData)->FirstNetBuffer;
  if (NdisRetreatNetBufferDataStart(nb, 60, 0, nullptr) == NDIS_STATUS_SUCCESS)
    NdisAdvanceNetBufferDataStart(nb, 60, gFreeMdl, nullptr);
  out->actionType = FWP_ACTION_PERMIT;
}

TEST_F(HostPacketPath, AnMdlARetreatAllocatedLeftOnTheBufferAfterAClassifyIsReported) {
  NET_BUFFER_LIST* list = host::ndis::BuildNetBufferList({Bytes(48), 20});
  host::wfp::ClassifyEvent event(FWPS_LAYER_INBOUND_IPPACKET_V4);
  event.layerData = list;
  FWPS_FILTER1 filter{};
  gFreeMdl = TRUE;
  host::wfp::InvokeClassify(RetreatingClassify, filter, event);
  EXPECT_TRUE(host::verifier::Violations().empty());
  gFreeMdl = FALSE;
  host::wfp::InvokeClassify(RetreatingClassify, filter, event);
  ExpectViolation("NET_BUFFER_RETREAT_MDL");
  host::ndis::FreeNetBufferList(list);
}

TEST_F(HostPacketPath, NarrowFieldsLeaveTheRestOfTheirValueUndefined) {
  host::wfp::ClassifyEvent event(FWPS_LAYER_DATAGRAM_DATA_V4);
  event.Set(FWPS_FIELD_DATAGRAM_DATA_V4_IP_PROTOCOL, IPPROTO_UDP).Set(FWPS_FIELD_DATAGRAM_DATA_V4_IP_LOCAL_PORT, 53);
  const FWP_VALUE0& protocol = event.values[FWPS_FIELD_DATAGRAM_DATA_V4_IP_PROTOCOL];
  const FWP_VALUE0& port = event.values[FWPS_FIELD_DATAGRAM_DATA_V4_IP_LOCAL_PORT];
  EXPECT_EQ(protocol.uint8, IPPROTO_UDP);
  EXPECT_EQ(port.uint16, 53u);
  EXPECT_NE(protocol.uint32, UINT32(IPPROTO_UDP)) << "a 32-bit read of an 8-bit field finds more than the field";
  EXPECT_NE(port.uint32, 53u);
  EXPECT_EQ(event.Get(FWPS_FIELD_DATAGRAM_DATA_V4_IP_LOCAL_PORT), 53u);
}

TEST_F(HostPacketPath, InjectionStateTellsSelfOtherAndPreviouslySelf) {
  HANDLE self = reinterpret_cast<HANDLE>(0x5E1F), other = reinterpret_cast<HANDLE>(0x07E4);
  NET_BUFFER_LIST* stack = host::ndis::BuildNetBufferList(host::ndis::NetBufferSpec(Bytes(20)));
  NET_BUFFER_LIST* injected = host::ndis::BuildNetBufferList(host::ndis::NetBufferSpec(Bytes(20)));
  host::wfp::MarkInjected(injected, self);
  EXPECT_EQ(FwpsQueryPacketInjectionState0(self, stack, nullptr), FWPS_PACKET_NOT_INJECTED);
  EXPECT_EQ(FwpsQueryPacketInjectionState0(self, injected, nullptr), FWPS_PACKET_INJECTED_BY_SELF);
  EXPECT_EQ(FwpsQueryPacketInjectionState0(other, injected, nullptr), FWPS_PACKET_INJECTED_BY_OTHER);

  // Cloned and injected again through another handle.
  NET_BUFFER_LIST* clone = nullptr;
  ASSERT_EQ(FwpsAllocateCloneNetBufferList0(injected, nullptr, nullptr, 0, &clone), STATUS_SUCCESS);
  host::wfp::MarkInjected(clone, other);
  EXPECT_EQ(FwpsQueryPacketInjectionState0(self, clone, nullptr), FWPS_PACKET_PREVIOUSLY_INJECTED_BY_SELF);
  EXPECT_EQ(FwpsQueryPacketInjectionState0(other, clone, nullptr), FWPS_PACKET_INJECTED_BY_SELF);

  FwpsFreeCloneNetBufferList0(clone, 0);
  host::ndis::FreeNetBufferList(injected);
  host::ndis::FreeNetBufferList(stack);
}

TEST_F(HostPacketPath, PendCompleteAndInjectCalledWithASpinLockHeldAreCaught) {
  KSPIN_LOCK lock = 0;
  HANDLE context = nullptr;
  KIRQL irql = KfAcquireSpinLock(&lock);
  FwpsPendOperation0(nullptr, &context);
  KfReleaseSpinLock(&lock, irql);
  ExpectViolation("LOCK_HELD");

  irql = KfAcquireSpinLock(&lock);
  FwpsInjectTransportSendAsync0(reinterpret_cast<HANDLE>(1), nullptr, 0, 0, nullptr, AF_INET,
                                DEFAULT_COMPARTMENT_ID, nullptr, nullptr, nullptr);
  FwpsInjectTransportReceiveAsync0(reinterpret_cast<HANDLE>(1), nullptr, nullptr, 0, AF_INET,
                                   DEFAULT_COMPARTMENT_ID, 0, 0, nullptr, nullptr, nullptr);
  KfReleaseSpinLock(&lock, irql);
  ExpectViolation("LOCK_HELD");

  irql = KfAcquireSpinLock(&lock);
  FwpsStreamInjectAsync0(reinterpret_cast<HANDLE>(1), nullptr, 0, 1, 1, FWPS_LAYER_STREAM_V4, 0, nullptr, 0, nullptr,
                         nullptr);
  KfReleaseSpinLock(&lock, irql);
  ExpectViolation("LOCK_HELD");

  irql = KfAcquireSpinLock(&lock);
  FwpsCompleteOperation0(reinterpret_cast<HANDLE>(0x7), nullptr);
  KfReleaseSpinLock(&lock, irql);
  ExpectViolation("LOCK_HELD");
}
}  // namespace
