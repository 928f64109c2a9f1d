// The endpoint tables: recording, refreshing, looking up and releasing.
#include "core/classify/endpoints.h"
#include "tests/support/classify.h"

#include <atomic>
#include <thread>

namespace {
using namespace nqtest;

constexpr UINT32 kAddress = 0x0200000A;  // 10.0.0.2 in network order
constexpr UINT32 kOther = 0x0300000A;    // 10.0.0.3

class EndpointTable : public ClassifyTest {
 protected:
  NqU32 LookupTcp(UINT32 address, UINT16 port, NqU64* pid) { return Table()->LookupTcpEndpointOwner(address, port, pid); }
  NqU32 LookupUdp(UINT32 address, UINT16 port, NqU64* pid) { return Table()->LookupUdpEndpointOwner(address, port, pid); }
  ClassifyResult Release(UINT8 protocol, UINT64 handle) {
    ClassifyEvent event(FWPS_LAYER_ALE_RESOURCE_RELEASE_V4);
    event.Set(FWPS_FIELD_ALE_RESOURCE_RELEASE_V4_IP_PROTOCOL, protocol).EndpointHandle(handle);
    return RunClassify(event);
  }
  size_t Count(LIST_ENTRY* head) {
    size_t n = 0;
    for (LIST_ENTRY* e = head->Flink; e != head; e = e->Flink) ++n;
    return n;
  }
};

TEST_F(EndpointTable, AnyAddressRecordMatchesEveryAddressButAZeroQueryMatchesOnlyIt) {
  RecordEndpoint(IPPROTO_TCP, 1, 100, 0, 80);
  RecordEndpoint(IPPROTO_TCP, 2, 200, kAddress, 81);
  NqU64 pid = 0;
  EXPECT_EQ(LookupTcp(kAddress, 80, &pid), 1u);
  EXPECT_EQ(pid, 100u);
  EXPECT_EQ(LookupTcp(kOther, 80, &pid), 1u);
  EXPECT_EQ(LookupTcp(0, 81, &pid), 0u) << "an address of 0 matches only any-address records";
  EXPECT_EQ(LookupTcp(kAddress, 81, &pid), 1u);
  EXPECT_EQ(pid, 200u);
}

TEST_F(EndpointTable, NewestRecordWinsWhateverItsAddress) {
  RecordEndpoint(IPPROTO_UDP, 1, 100, kAddress, 53);
  RecordEndpoint(IPPROTO_UDP, 2, 200, 0, 53);
  NqU64 pid = 0;
  EXPECT_EQ(LookupUdp(kAddress, 53, &pid), 1u);
  EXPECT_EQ(pid, 200u) << "no preference of an exact address over the newer any-address record";
  RecordEndpoint(IPPROTO_UDP, 3, 300, kAddress, 53);
  EXPECT_EQ(LookupUdp(kAddress, 53, &pid), 1u);
  EXPECT_EQ(pid, 300u);
}

TEST_F(EndpointTable, SecondEventForAHandleUpdatesTheRecordInPlace) {
  RecordEndpoint(IPPROTO_TCP, 7, 100, 0, 80);
  RecordEndpoint(IPPROTO_TCP, 8, 200, 0, 90);
  RecordEndpoint(IPPROTO_TCP, 7, 300, kAddress, 8080);
  EXPECT_EQ(Count(&gDriverState->tcpEndpoints), 2u);
  auto* head = CONTAINING_RECORD(gDriverState->tcpEndpoints.Flink, EndpointRecord, link);
  EXPECT_EQ(head->endpointHandle, 8u) << "the updated record keeps its place";
  NqU64 pid = 0;
  EXPECT_EQ(LookupTcp(kAddress, 80, &pid), 0u);
  EXPECT_EQ(LookupTcp(kAddress, 8080, &pid), 1u);
  EXPECT_EQ(pid, 300u);
}

TEST_F(EndpointTable, EventsRacingForANewHandleLeaveOneRecord) {
  nqtest::PoolCheckpoint pool;
  // Another processor records the same new handle while this one allocates
  // its record between the search and the insertion.
  host::faults::BeforeCall("ExAllocatePoolWithTag", 1, [] {
    std::thread other([] { RecordEndpoint(IPPROTO_TCP, 9, 100, 0, 80); });
    other.join();
  });
  RecordEndpoint(IPPROTO_TCP, 9, 200, kAddress, 8080);
  EXPECT_EQ(Count(&gDriverState->tcpEndpoints), 1u);
  NqU64 pid = 0;
  EXPECT_EQ(LookupTcp(kAddress, 80, &pid), 0u);
  EXPECT_EQ(LookupTcp(kAddress, 8080, &pid), 1u);
  EXPECT_EQ(pid, 200u) << "the later event's values";
  Release(IPPROTO_TCP, 9);
  EXPECT_EQ(Count(&gDriverState->tcpEndpoints), 0u);
  EXPECT_NO_LEAKS(pool) << "the record that lost the race is freed";
}

TEST_F(EndpointTable, TablesAreIndependentAndAMissLeavesTheCallersValue) {
  RecordEndpoint(IPPROTO_TCP, 1, 100, 0, 5000);
  RecordEndpoint(IPPROTO_UDP, 1, 200, 0, 5000);
  NqU64 pid = 0;
  EXPECT_EQ(LookupTcp(kAddress, 5000, &pid), 1u);
  EXPECT_EQ(pid, 100u);
  EXPECT_EQ(LookupUdp(kAddress, 5000, &pid), 1u);
  EXPECT_EQ(pid, 200u);
  EXPECT_EQ(Release(IPPROTO_TCP, 1).actionType, FWP_ACTION_PERMIT);
  pid = 12345;
  EXPECT_EQ(LookupTcp(kAddress, 5000, &pid), 0u);
  EXPECT_EQ(pid, 12345u);
  EXPECT_EQ(LookupUdp(kAddress, 5000, &pid), 1u);
}

TEST_F(EndpointTable, LookupComparesOnlyTheLow16BitsOfThePort) {
  RecordEndpoint(IPPROTO_TCP, 1, 100, 0, 443);
  using Raw = NqU32(NQ_CLIENT_STDCALL*)(NqU32, NqU32, NqU64*);
  auto raw = reinterpret_cast<Raw>(reinterpret_cast<void*>(Table()->LookupTcpEndpointOwner));
  NqU64 pid = 0;
  EXPECT_EQ(raw(kAddress, 0xABCD0000u | 443, &pid), 1u);
  EXPECT_EQ(pid, 100u);
}

TEST_F(EndpointTable, PoolExhaustionLeavesTheEndpointOut) {
  host::pool::FailAllocation(1);
  RecordEndpoint(IPPROTO_TCP, 1, 100, 0, 80);
  host::pool::ClearFailures();
  NqU64 pid = 0;
  EXPECT_EQ(LookupTcp(kAddress, 80, &pid), 0u);
  EXPECT_EQ(Release(IPPROTO_TCP, 1).actionType, FWP_ACTION_PERMIT) << "releasing what was never recorded";
}

TEST_F(EndpointTable, ReleaseRemovesOnlyItsRecordAndAnOlderOneForThePortStillAnswers) {
  nqtest::PoolCheckpoint pool;
  RecordEndpoint(IPPROTO_UDP, 1, 100, 0, 53);
  RecordEndpoint(IPPROTO_UDP, 2, 200, kAddress, 53);
  ClassifyResult r = Release(IPPROTO_UDP, 2);
  EXPECT_EQ(r.actionType, FWP_ACTION_PERMIT);
  EXPECT_EQ(r.rights, FWPS_RIGHT_ACTION_WRITE) << "release keeps rights and flags";
  NqU64 pid = 0;
  EXPECT_EQ(LookupUdp(kAddress, 53, &pid), 1u);
  EXPECT_EQ(pid, 100u);
  Release(IPPROTO_UDP, 1);
  EXPECT_EQ(LookupUdp(kAddress, 53, &pid), 0u);
  EXPECT_NO_LEAKS(pool);
}

TEST_F(EndpointTable, ReleaseForAnotherProtocolChangesNothing) {
  RecordEndpoint(IPPROTO_TCP, 1, 100, 0, 80);
  EXPECT_EQ(Release(1, 1).actionType, FWP_ACTION_PERMIT);
  NqU64 pid = 0;
  EXPECT_EQ(LookupTcp(kAddress, 80, &pid), 1u);
}

TEST_F(EndpointTable, ReleaseWithoutWriteRightChangesNothing) {
  RecordEndpoint(IPPROTO_TCP, 1, 100, 0, 80);
  ClassifyEvent event(FWPS_LAYER_ALE_RESOURCE_RELEASE_V4);
  event.Set(FWPS_FIELD_ALE_RESOURCE_RELEASE_V4_IP_PROTOCOL, IPPROTO_TCP).EndpointHandle(1);
  event.rights = 0;
  EXPECT_EQ(RunClassify(event).actionType, FWP_ACTION_CONTINUE);
  NqU64 pid = 0;
  EXPECT_EQ(LookupTcp(kAddress, 80, &pid), 1u);
}

// Two processors record the same new handle at the same moment, round after
// round: each round leaves one record, whichever of them inserts it.
TEST_F(EndpointTable, TwoThreadsRecordingOneNewHandleAtOnceLeaveOneRecord) {
  nqtest::PoolCheckpoint pool;
  constexpr int kRounds = 20000;
  std::atomic<int> ready[2] = {{-1}, {-1}};
  auto side = [&](int me) {
    host::kernel::SetCurrentIds(500 + me, 9000 + me);
    for (int round = 0; round < kRounds; ++round) {
      ready[me].store(round);
      for (unsigned spins = 1; ready[1 - me].load() < round; ++spins)
        if (spins % 1024 == 0) std::this_thread::yield();
      RecordEndpoint(IPPROTO_UDP, 1000 + round, 700, 0, static_cast<UINT16>(round));  // the same event on both
    }
  };
  std::thread a(side, 0), b(side, 1);
  a.join();
  b.join();
  EXPECT_EQ(Count(&gDriverState->udpEndpoints), size_t(kRounds));
  for (int round = 0; round < kRounds; ++round) Release(IPPROTO_UDP, 1000 + round);
  EXPECT_NO_LEAKS(pool) << "the record that lost a race is freed";
}

// Records, releases and lookups racing on several threads while datagrams
// are classified: every record ends where the last event for it put it, and
// nothing is lost, duplicated or leaked. The endpoints belong to a process
// other than the classifying thread's, so an owner that did not come from
// the table shows.
TEST_F(EndpointTable, ConcurrentEventsLoseAndDuplicateNothing) {
  nqtest::PoolCheckpoint pool;
  constexpr int kThreads = 4;
  constexpr int kRounds = 300;
  auto owner = [](int id) { return UINT64(700 + id); };
  std::string payload = UdpHeader(4000, 53, 16) + std::string(16, 'd');
  std::atomic<int> lookups{0};
  auto worker = [&](int id) {
    host::kernel::SetCurrentIds(500 + id, 9000 + id);
    NET_BUFFER_LIST* datagram = host::ndis::BuildNetBufferList({payload, 0});
    for (int round = 0; round < kRounds; ++round) {
      UINT64 handle = static_cast<UINT64>(id) * 100000 + round;
      UINT16 port = static_cast<UINT16>(10000 + id * 1000 + round);
      RecordEndpoint(IPPROTO_UDP, handle, owner(id), 0, port);
      RecordEndpoint(IPPROTO_UDP, handle, owner(id), 0, port);  // a second event for the handle
      RecordEndpoint(IPPROTO_TCP, handle, owner(id), kAddress, port);
      NqU64 pid = 0;
      if (Table()->LookupUdpEndpointOwner(kAddress, port, &pid) == 1 && pid == owner(id)) ++lookups;
      ClassifyEvent event(FWPS_LAYER_DATAGRAM_DATA_V4);
      event.Set(FWPS_FIELD_DATAGRAM_DATA_V4_IP_LOCAL_ADDRESS, Ipv4("10.0.0.2"))
          .Set(FWPS_FIELD_DATAGRAM_DATA_V4_IP_REMOTE_ADDRESS, Ipv4("192.0.2.53"))
          .Set(FWPS_FIELD_DATAGRAM_DATA_V4_DIRECTION, FWP_DIRECTION_OUTBOUND)
          .EndpointHandle(handle);
      event.layerData = datagram;
      RunClassify(event);
      if (round % 2 == 0) {
        Release(IPPROTO_UDP, handle);
        Release(IPPROTO_TCP, handle);
      }
    }
    host::ndis::FreeNetBufferList(datagram);
  };
  std::vector<std::thread> threads;
  for (int i = 0; i < kThreads; ++i) threads.emplace_back(worker, i);
  for (auto& t : threads) t.join();

  EXPECT_EQ(lookups.load(), kThreads * kRounds);
  EXPECT_EQ(Count(&gDriverState->udpEndpoints), size_t(kThreads * kRounds / 2));
  EXPECT_EQ(Count(&gDriverState->tcpEndpoints), size_t(kThreads * kRounds / 2));
  auto sent = Client().CallsTo("ReportDatagramSent");
  ASSERT_EQ(sent.size(), size_t(kThreads * kRounds));
  for (const auto& call : sent) {
    ASSERT_GE(call.threadProcessId, 500u);
    EXPECT_EQ(call.Value("processId"), owner(static_cast<int>(call.threadProcessId - 500))) << "owner from the table";
  }
  for (int id = 0; id < kThreads; ++id)
    for (int round = 1; round < kRounds; round += 2) {
      UINT64 handle = static_cast<UINT64>(id) * 100000 + round;
      Release(IPPROTO_UDP, handle);
      Release(IPPROTO_TCP, handle);
    }
  EXPECT_NO_LEAKS(pool);
}
}  // namespace
