// The endpoint tables' index against the plain search of their lists:
// random sequences of records, refreshes, releases and lookups, with and
// without the pool refusing allocations, must get the lists' answers.
#include "core/classify/endpoints.h"
#include "tests/support/classify.h"

#include <random>

namespace {
using namespace nqtest;

constexpr UINT32 kAddresses[] = {0, 0x0200000A, 0x0300000A, 0x0400000A};  // any, 10.0.0.2-4
constexpr UINT32 kUnrecordedAddress = 0x0500000A;
constexpr UINT64 kHandles = 400;  // few enough that handles come back: refreshes, releases of what is there
constexpr UINT16 kPorts = 48;     // few enough that ports are shared by several records

class EndpointIndex : public ClassifyTest {
 protected:
  struct Answer {
    bool found;
    UINT64 processId;
    bool operator==(const Answer& o) const { return found == o.found && (!found || processId == o.processId); }
  };

  static KSPIN_LOCK* LockOf(UINT8 protocol) {
    return protocol == IPPROTO_TCP ? &gDriverState->tcpLock : &gDriverState->udpLock;
  }
  static LIST_ENTRY* ListOf(UINT8 protocol) {
    return protocol == IPPROTO_TCP ? &gDriverState->tcpEndpoints : &gDriverState->udpEndpoints;
  }
  static Answer Of(const EndpointRecord* record) { return {record != nullptr, record ? record->processId : 0}; }

  // What the plain walks of the list answer.
  static Answer PlainOwner(UINT8 protocol, UINT32 address, UINT16 port) {
    KIRQL irql = KfAcquireSpinLock(LockOf(protocol));
    Answer a = Of(FirstRecordForEndpoint(ListOf(protocol), address, port));
    KfReleaseSpinLock(LockOf(protocol), irql);
    return a;
  }
  static Answer PlainHandle(UINT8 protocol, UINT64 handle) {
    KIRQL irql = KfAcquireSpinLock(LockOf(protocol));
    Answer a = Of(FirstRecordWithHandle(ListOf(protocol), handle));
    KfReleaseSpinLock(LockOf(protocol), irql);
    return a;
  }
  // What the tables answer.
  Answer Owner(UINT8 protocol, UINT32 address, UINT16 port) {
    NqU64 pid = 0;
    auto lookup = protocol == IPPROTO_TCP ? Table()->LookupTcpEndpointOwner : Table()->LookupUdpEndpointOwner;
    NqU32 found = lookup(address, port, &pid);
    return {found == 1, pid};
  }
  static Answer UdpHandle(UINT64 handle) {
    UINT64 pid = 0;
    bool found = FindUdpOwnerByHandle(handle, &pid);
    return {found, pid};
  }

  // Compares every lookup the step could have changed, and a few others.
  void CheckAnswers(std::mt19937& random, UINT8 protocol, UINT16 port, UINT64 handle, int step) {
    for (UINT32 address : kAddresses)
      ASSERT_EQ(Owner(protocol, address, port), PlainOwner(protocol, address, port))
          << "step " << step << " address " << address << " port " << port;
    ASSERT_EQ(Owner(protocol, kUnrecordedAddress, port), PlainOwner(protocol, kUnrecordedAddress, port))
        << "step " << step;
    UINT16 other = static_cast<UINT16>(random() % kPorts);
    UINT32 address = kAddresses[random() % 4];
    ASSERT_EQ(Owner(protocol, address, other), PlainOwner(protocol, address, other)) << "step " << step;
    if (protocol == IPPROTO_UDP) {
      ASSERT_EQ(UdpHandle(handle), PlainHandle(IPPROTO_UDP, handle)) << "step " << step;
    }
  }

  // Phases that grow the tables well past the size at which the index is
  // built and shrink them again, emptied at the end of every other one.
  // With failures, one record of ten finds the pool refusing its next
  // allocation, the record's own or the index's.
  void RunSequence(unsigned seed, bool failures) {
    PoolCheckpoint pool;
    std::mt19937 random(seed);
    UINT64 nextProcessId = 1;  // every record and refresh its own, so that an answer names its record
    uint64_t lastFailure = 0;
    for (int phase = 0; phase < 8; ++phase) {
      bool growing = phase % 2 == 0;
      for (int step = 0; step < 2500; ++step) {
        UINT8 protocol = random() % 2 ? IPPROTO_TCP : IPPROTO_UDP;
        UINT64 handle = 0xE000 + random() % kHandles;
        UINT16 port = static_cast<UINT16>(random() % kPorts);
        UINT32 address = kAddresses[random() % 4];
        if (random() % 100 < (growing ? 75u : 25u)) {
          bool isNew = !PlainHandle(protocol, handle).found;
          bool fail = failures && random() % 10 == 0;
          if (fail) host::pool::FailAllocation(1);
          RecordEndpoint(protocol, handle, nextProcessId++, address, port);
          host::pool::ClearFailures();
          host::pool::Failure failure;
          bool refused = fail && host::pool::LastFailure(&failure) && failure.sequence != lastFailure;
          if (refused) lastFailure = failure.sequence;
          bool recordRefused = refused && failure.size == sizeof(EndpointRecord);
          // Only a refused record leaves the endpoint out, as the lists would.
          ASSERT_EQ(PlainHandle(protocol, handle).found, !(isNew && recordRefused)) << "step " << step;
        } else {
          ReleaseEndpoint(protocol, handle);
        }
        CheckAnswers(random, protocol, port, handle, step);
        if (HasFatalFailure()) return;
      }
      if (phase % 4 == 3) {
        for (UINT64 h = 0xE000; h < 0xE000 + kHandles; ++h) {
          ReleaseEndpoint(IPPROTO_TCP, h);
          ReleaseEndpoint(IPPROTO_UDP, h);
        }
        EXPECT_NO_LEAKS(pool) << "an emptied table gives its index back";
      }
    }
  }
};

TEST_F(EndpointIndex, AnswersAsThePlainSearchOverRandomSequences) {
  for (unsigned seed : {1u, 2u, 3u}) {
    RunSequence(seed, false);
    if (HasFatalFailure()) return;
  }
}

TEST_F(EndpointIndex, RefusedAllocationsNeverChangeAnAnswer) {
  for (unsigned seed : {4u, 5u}) {
    RunSequence(seed, true);
    if (HasFatalFailure()) return;
  }
}

// The index is refused when the table first needs it: the table is walked,
// every endpoint stays found, and the next record builds the index from the
// whole list.
TEST_F(EndpointIndex, ATableWithoutItsIndexIsWalkedAndTheIndexIsBuiltLater) {
  PoolCheckpoint pool;
  constexpr UINT16 kCount = 40;
  for (UINT16 i = 0; i < kCount; ++i) {
    if (i == 31) host::pool::FailAllocation(2);  // the record is the first allocation, the index the second
    RecordEndpoint(IPPROTO_TCP, 100 + i, 1000 + i, i % 2 ? 0x0200000A : 0, static_cast<UINT16>(80 + i % 5));
    host::pool::ClearFailures();
    for (UINT16 port = 80; port < 85; ++port) {
      ASSERT_EQ(Owner(IPPROTO_TCP, 0x0200000A, port), PlainOwner(IPPROTO_TCP, 0x0200000A, port)) << i;
      ASSERT_EQ(Owner(IPPROTO_TCP, 0, port), PlainOwner(IPPROTO_TCP, 0, port)) << i;
    }
  }
  host::pool::Failure failure;
  ASSERT_TRUE(host::pool::LastFailure(&failure));
  EXPECT_NE(failure.size, sizeof(EndpointRecord)) << "the index's allocation was the one refused";
  EXPECT_TRUE(PlainHandle(IPPROTO_TCP, 131).found) << "the record itself was kept";
  EXPECT_EQ(UdpHandle(131).found, false);
  EXPECT_EQ(Owner(IPPROTO_TCP, 0x0200000A, 84).processId, 1039u) << "the newest of the port's records";
  for (UINT16 i = 0; i < kCount; ++i) ReleaseEndpoint(IPPROTO_TCP, 100 + i);
  EXPECT_NO_LEAKS(pool);
}
}  // namespace
