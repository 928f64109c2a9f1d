// One HTTP flow from connect to deletion, with every allocation and every
// platform call of its path failed in turn, and many flows at once.
#include "tests/support/ale.h"
#include "tests/support/flows.h"

#include <mutex>
#include <thread>

namespace {
using namespace nqtest;

const std::string kPost = "POST /up HTTP/1.1\r\nHost: example.test\r\nContent-Length: 30\r\n\r\n";

class HttpFlowLifecycle : public AleTest {
 protected:
  void SetUp() override {
    AleTest::SetUp();
    NqReplyObject* object = replies_.Make("HTTP/1.1 403 Forbidden\r\n\r\n");
    Client().answers().queryHttpPrimary = [object](const client::Call& call, NqReplyObject** reply) {
      if (call.Find("url")->text != "/up") return NqU32{0};
      *reply = object;
      return NqU32{1};
    };
  }

  // Connect, establishment, an answered request and its body, received
  // data, flow deletion and the endpoint's release.
  void RunFlow(UINT64 n, bool answered = true) {
    Socket s = TcpSocket();
    s.localPort = static_cast<UINT16>(40000 + n % 20000);
    s.endpointHandle = 0xE1000000 + n;
    UINT64 flow = 0x100 + n;
    NET_BUFFER_LIST* packet;
    {
      std::lock_guard<std::mutex> guard(packetsLock_);  // the fixture's packet list is shared
      packet = ConnectPacket(s);
    }
    host::stack::Connect(Engine(), s, packet);
    RunClassify(host::stack::FlowEstablishedEvent(s, FWP_DIRECTION_OUTBOUND, flow));
    std::string url = answered ? "/up" : "/ok";
    std::string post = kPost;
    post.replace(5, 3, url);
    const std::vector<std::pair<UINT32, std::string>> segments = {
        {FWPS_STREAM_FLAG_SEND, post + std::string(10, 'b')},
        {FWPS_STREAM_FLAG_SEND, std::string(20, 'b')},
        {FWPS_STREAM_FLAG_RECEIVE, "HTTP/1.1 200 OK\r\n\r\n"}};
    for (const auto& [flags, bytes] : segments) {
      host::stack::StreamIndication ind(s, flow, flags, {bytes});
      RunClassify(ind.Event());
    }
    host::wfp::DeleteFlow(flow);
    RunClassify(host::stack::ReleaseEvent(s));
    host::wfp::WaitInjectionsCompleted();
  }

  void ExpectClean(const PoolCheckpoint& pool, const std::string& what) {
    EXPECT_NO_LEAKS(pool) << what;
    EXPECT_EQ(host::kernel::MdlCount(), 0u) << what;
    EXPECT_EQ(host::wfp::FlowContextCount(), 0u) << what;
    for (const auto& v : host::verifier::Violations()) ADD_FAILURE() << what << ": " << v;
    host::verifier::Clear();
  }

  ReplyObjects replies_;
  std::mutex packetsLock_;
};

TEST_F(HttpFlowLifecycle, EveryFailureOnThePathLeavesNothingBehind) {
  const std::vector<std::string> routines = {"FwpsFlowAssociateContext0", "IoAllocateMdl",
                                             "FwpsAllocateNetBufferAndNetBufferList0", "FwpsStreamInjectAsync0",
                                             "FwpsQueryPacketInjectionState0"};
  std::vector<unsigned> callsBefore;
  for (const auto& r : routines) callsBefore.push_back(host::faults::CallCount(r));
  uint64_t allocationsBefore = host::pool::AllocationCount();
  {
    PoolCheckpoint pool;
    RunFlow(0);
    ExpectClean(pool, "without failures");
  }
  unsigned allocations = static_cast<unsigned>(host::pool::AllocationCount() - allocationsBefore);
  std::vector<unsigned> callsPerFlow;
  for (size_t i = 0; i < routines.size(); ++i)
    callsPerFlow.push_back(host::faults::CallCount(routines[i]) - callsBefore[i]);
  ASSERT_GE(allocations, 8u) << "context, request, reply, injection record at least";
  auto injections = host::wfp::Injections();
  ASSERT_EQ(injections.size(), 2u) << "the reply, then a disconnect for the body";

  UINT64 n = 1;
  for (unsigned k = 1; k <= allocations; ++k, ++n) {
    PoolCheckpoint pool;
    host::pool::FailAllocation(k);
    RunFlow(n);
    host::pool::ClearFailures();
    ExpectClean(pool, "allocation " + std::to_string(k));
  }
  for (size_t i = 0; i < routines.size(); ++i) {
    EXPECT_GT(callsPerFlow[i], 0u) << routines[i] << " is on the path";
    for (unsigned k = 1; k <= callsPerFlow[i]; ++k, ++n) {
      PoolCheckpoint pool;
      host::faults::FailCall(routines[i], k, STATUS_INSUFFICIENT_RESOURCES);
      RunFlow(n);
      host::faults::Clear();
      ExpectClean(pool, routines[i] + " call " + std::to_string(k));
    }
  }
}

TEST_F(HttpFlowLifecycle, ManyFlowsAtOnceWhileFlowsAreDeleted) {
  constexpr int kThreads = 4;
  constexpr int kFlowsPerThread = 15;
  PoolCheckpoint pool;
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([this, t] {
      host::kernel::SetCurrentIds(3100 + t, 3200 + t);
      for (int i = 0; i < kFlowsPerThread; ++i) RunFlow(1000 + t * 100 + i, i % 2 == 0);
    });
  }
  for (auto& thread : threads) thread.join();
  ExpectClean(pool, "after all flows");
  EXPECT_EQ(CallsTo(Calls(), "QueryHttpPrimary").size(), size_t{kThreads * kFlowsPerThread});
}

}  // namespace
