// Every layer at once: four threads classify the stream segments of HTTP
// and plain TCP flows, datagrams, inbound packets and pended binds, listens,
// accepts and connects, while the verdict worker completes the pended
// decisions, a client thread looks up endpoint owners and another deletes
// flows in the middle of their traffic. Bounded in count; at the end nothing
// may be left over and every count that must add up does.
#include "tests/support/ale.h"

#include <atomic>
#include <condition_variable>
#include <deque>
#include <map>
#include <mutex>
#include <thread>

namespace {
using namespace nqtest;
using host::wfp::Injection;

constexpr int kThreads = 4;
constexpr int kRounds = 56;  // eight turns of the request kinds below per thread

const std::string kUrlReply = "HTTP/1.1 302 Found\r\nLocation: /\r\n\r\n";
const std::string kPrimaryObject = "HTTP/1.1 403 Forbidden\r\n\r\n";
const std::string kSecondaryObject = "HTTP/1.1 451 Unavailable\r\n\r\n";
const std::string kPrimaryDefault = "HTTP/1.1 403 Default\r\n\r\n";
constexpr UINT32 kReplyFlags = FWPS_STREAM_FLAG_RECEIVE | FWPS_STREAM_FLAG_RECEIVE_DISCONNECT;

std::string Get(const std::string& url, const std::string& extra = "") {
  return "GET " + url + " HTTP/1.1\r\nHost: stress.test\r\n" + extra + "\r\n";
}
std::string PostHeader(const std::string& url, size_t body) {
  return "POST " + url + " HTTP/1.1\r\nHost: stress.test\r\nContent-Length: " + std::to_string(body) + "\r\n\r\n";
}

// One HTTP flow's segments and what the stream layer must make of them.
struct HttpCase {
  std::vector<std::string> segments;
  std::vector<std::pair<UINT32, std::string>> injections;  // stream flags, bytes
  unsigned reports;                                        // ReportHttpRequest calls
};

HttpCase CaseFor(int round) {
  switch (round % 7) {
    case 0:
      return {{Get("/plain")}, {}, 1};
    case 1:
      return {{Get("/url")}, {{kReplyFlags, kUrlReply}}, 0};
    case 2:
      return {{Get("/primary")}, {{kReplyFlags, kPrimaryObject}}, 1};
    case 3: {
      std::string get = Get("/exempt", "X-Exempt: yes\r\n");
      return {{get}, {{FWPS_STREAM_FLAG_SEND, get}}, 0};
    }
    case 4:  // answered with the body still to come: the body is dropped behind a disconnect
      return {{PostHeader("/secondary", 40) + std::string(10, 'b'), std::string(30, 'b')},
              {{kReplyFlags, kSecondaryObject}, {kReplyFlags, ""}},
              1};
    case 5:  // a reply object of no bytes: a disconnect alone
      return {{Get("/empty")}, {{kReplyFlags, ""}}, 1};
    default:
      return {{Get("/one") + Get("/two")}, {}, 2};
  }
}

// Pend handles the client handed out, each owed one decision or release.
class PendLedger {
 public:
  NqPendHandle Issue(NqU32 verdict) {
    std::lock_guard<std::mutex> guard(lock_);
    auto handle = reinterpret_cast<NqPendHandle>(next_ += 4);
    open_[handle] = verdict;
    return handle;
  }
  // The verdict for a decision; a handle decided twice or never issued is a fault.
  NqU32 Close(NqPendHandle handle) {
    std::lock_guard<std::mutex> guard(lock_);
    auto it = open_.find(handle);
    if (it == open_.end()) {
      ++unknown_;
      return 0;
    }
    NqU32 verdict = it->second;
    open_.erase(it);
    return verdict;
  }
  size_t Open() {
    std::lock_guard<std::mutex> guard(lock_);
    return open_.size();
  }
  unsigned Unknown() {
    std::lock_guard<std::mutex> guard(lock_);
    return unknown_;
  }

 private:
  std::mutex lock_;
  uintptr_t next_ = 0x10000;
  std::map<NqPendHandle, NqU32> open_;
  unsigned unknown_ = 0;
};

// Client calls counted by slot, and HTTP reports by URL.
class CallCounter {
 public:
  void Count(const client::Call& call) {
    std::lock_guard<std::mutex> guard(lock_);
    ++slots_[call.slot];
    if (call.slot == "ReportHttpRequest") ++reportsByUrl_[call.Find("url")->text];
    if (call.slot == "ReportConnect" || call.slot == "ReportAccept" || call.slot == "ReportListen")
      blocked_[call.slot] += call.Value("blocked");
    if (call.slot == "InspectInboundPacket" && call.Find("data")->bytes.size() > 40 &&
        call.Find("data")->bytes[40] == 'd')
      ++inboundDrops_;
  }
  uint64_t Slot(const std::string& slot) {
    std::lock_guard<std::mutex> guard(lock_);
    return slots_[slot];
  }
  uint64_t Reports(const std::string& url) {
    std::lock_guard<std::mutex> guard(lock_);
    return reportsByUrl_[url];
  }
  uint64_t Blocked(const std::string& slot) {
    std::lock_guard<std::mutex> guard(lock_);
    return blocked_[slot];
  }
  uint64_t InboundDrops() {
    std::lock_guard<std::mutex> guard(lock_);
    return inboundDrops_;
  }

 private:
  std::mutex lock_;
  std::map<std::string, uint64_t> slots_, reportsByUrl_, blocked_;
  uint64_t inboundDrops_ = 0;
};

// Flows handed to the deleting thread, deleted whenever it gets to them.
class FlowDeleter {
 public:
  void Start() {
    thread_ = std::thread([this] { Run(); });
  }
  void Hand(UINT64 flow) {
    std::lock_guard<std::mutex> guard(lock_);
    flows_.push_back(flow);
    wake_.notify_one();
  }
  void Finish() {
    {
      std::lock_guard<std::mutex> guard(lock_);
      done_ = true;
      wake_.notify_one();
    }
    thread_.join();
  }
  unsigned Deleted() const { return deleted_; }

 private:
  void Run() {
    host::kernel::SetCurrentIrql(PASSIVE_LEVEL);
    unsigned n = 0;
    for (;;) {
      UINT64 flow;
      {
        std::unique_lock<std::mutex> guard(lock_);
        wake_.wait(guard, [this] { return done_ || !flows_.empty(); });
        if (flows_.empty()) return;
        flow = flows_.front();
        flows_.pop_front();
      }
      // Now at once, now after the flow's first segments.
      if (++n % 3 != 0) std::this_thread::sleep_for(std::chrono::microseconds(50 * (n % 5)));
      host::wfp::DeleteFlow(flow);
      ++deleted_;
    }
  }
  std::thread thread_;
  std::mutex lock_;
  std::condition_variable wake_;
  std::deque<unsigned long long> flows_;
  bool done_ = false;
  std::atomic<unsigned> deleted_{0};
};

class AllLayersStress : public AleTest {
 protected:
  void SetUp() override {
    AleTest::SetUp();
    table_ = Table();
    Client().OnCall([this](const client::Call& call) { counter_.Count(call); });
    Answer();
  }

  // The client: binds and plain connects at once, everything else pended;
  // HTTP requests answered by URL; lookups from inside its callbacks.
  void Answer() {
    client::Answers& a = Client().answers();
    a.query = [this](const client::Call& call, NqPendHandle* handle) -> NqU32 {
      NqU64 owner = 0;
      table_->LookupTcpEndpointOwner(static_cast<NqU32>(call.Value("localAddress")),
                                      static_cast<NqU32>(call.Value("localPort")), &owner);
      table_->LookupUdpEndpointOwner(static_cast<NqU32>(call.Value("localAddress")),
                                      static_cast<NqU32>(call.Value("localPort")), &owner);
      if (call.slot == "QueryBind") return 0;
      if (call.slot == "QueryConnect" && call.Value("remotePort") == 443) return 0;
      // HTTP connects are permitted; of the rest, every third port is blocked.
      bool block = call.slot != "QueryConnect" || call.Value("isTcp") == 0 ? call.Value("localPort") % 3 == 0 : false;
      *handle = ledger_.Issue(block ? 1 : 0);
      return 1;  // ignored: the handle decides
    };
    a.decidePended = [this](NqPendHandle handle) { return ledger_.Close(handle); };
    a.inspectInboundPacket = [](const void* packet, NqU32 length) -> NqU32 {
      return length > 40 && static_cast<const char*>(packet)[40] == 'd' ? 0 : 1;
    };
    a.getUrlReply = [](const char* url, NqU32* length) -> const void* {
      if (std::string(url) != "/url") return nullptr;
      *length = static_cast<NqU32>(kUrlReply.size());
      return kUrlReply.data();
    };
    a.queryHttpPrimary = [this](const client::Call& call, NqReplyObject** reply) -> NqU32 {
      const std::string& url = call.Find("url")->text;
      if (url == "/primary" || url == "/race") *reply = Client().NewReplyObject(kPrimaryObject);
      return url == "/primary" || url == "/race" || url == "/exempt" ? 1 : 0;
    };
    a.queryHttpSecondary = [this](const client::Call& call, NqReplyObject** reply, NqU64* value) -> NqU32 {
      const std::string& url = call.Find("url")->text;
      if (url == "/secondary") *reply = Client().NewReplyObject(kSecondaryObject);
      if (url == "/empty") *reply = Client().NewReplyObject("");
      *value = 0x5157;
      return url == "/secondary" || url == "/empty" ? 1 : 0;
    };
    a.checkHttpExempt = [](const void* data, NqU32 length) -> NqU32 {
      return std::string(static_cast<const char*>(data), length).find("X-Exempt") != std::string::npos ? 1 : 0;
    };
    a.getPrimaryReply = [](NqU32* length) -> const void* {
      *length = static_cast<NqU32>(kPrimaryDefault.size());
      return kPrimaryDefault.data();
    };
  }

  static Socket SocketOf(int thread, int round, int kind, UINT8 protocol, UINT16 remotePort) {
    Socket s;
    s.protocol = protocol;
    s.localAddress = Ipv4("10.0.0.2");
    s.localPort = static_cast<UINT16>(20000 + thread * 1000 + round * 10 + kind);
    s.remoteAddress = Ipv4("192.0.2.80");
    s.remotePort = remotePort;
    s.processId = 3100 + thread;
    s.threadId = 3200 + thread;
    s.endpointHandle = 0xE0000000ull + (static_cast<UINT64>(thread) << 16) + (round << 4) + kind;
    return s;
  }
  static UINT64 FlowOf(const Socket& s) { return 0xF0000000ull + s.endpointHandle; }

  NET_BUFFER_LIST* SharedConnectPacket(const Socket& s, size_t payload = 0) {
    std::lock_guard<std::mutex> guard(packetsLock_);
    return ConnectPacket(s, payload);
  }
  NET_BUFFER_LIST* SharedAcceptPacket(const Socket& s) {
    std::lock_guard<std::mutex> guard(packetsLock_);
    return AcceptPacket(s);
  }

  void Stream(const Socket& s, UINT32 flags, const std::string& bytes) {
    host::stack::StreamIndication ind(s, FlowOf(s), flags, {bytes});
    RunClassify(ind.Event());
  }

  // A connect (pended and permitted), establishment, the segments, a
  // received answer, deletion and release. With `racing` the flow is
  // deleted by the deleting thread while its segments are classified.
  void HttpFlow(int thread, int round, bool racing) {
    Socket s = SocketOf(thread, round, racing ? 1 : 0, IPPROTO_TCP, 80);
    auto outcome = host::stack::Connect(Engine(), s, SharedConnectPacket(s));
    if (!outcome.connect.permitted) {
      ADD_FAILURE() << "an HTTP connect was blocked";
      return;
    }
    RunClassify(host::stack::FlowEstablishedEvent(s, FWP_DIRECTION_OUTBOUND, FlowOf(s)));
    if (racing) {
      deleter_.Hand(FlowOf(s));
      Stream(s, FWPS_STREAM_FLAG_SEND, PostHeader("/race", 30) + std::string(10, 'r'));
      Stream(s, FWPS_STREAM_FLAG_SEND, std::string(20, 'r') + Get("/plain-race"));
      Stream(s, FWPS_STREAM_FLAG_RECEIVE, "HTTP/1.1 200 OK\r\n\r\n");
    } else {
      for (const std::string& segment : CaseFor(round).segments) Stream(s, FWPS_STREAM_FLAG_SEND, segment);
      Stream(s, FWPS_STREAM_FLAG_RECEIVE, "HTTP/1.1 200 OK\r\n\r\n");
      host::wfp::DeleteFlow(FlowOf(s));
    }
    RunClassify(host::stack::ReleaseEvent(s));
  }

  // A flow to port 443: samples of its sent segments, counts of received ones.
  void PlainFlow(int thread, int round) {
    Socket s = SocketOf(thread, round, 2, IPPROTO_TCP, 443);
    host::stack::Connect(Engine(), s, SharedConnectPacket(s));
    RunClassify(host::stack::FlowEstablishedEvent(s, FWP_DIRECTION_OUTBOUND, FlowOf(s)));
    Stream(s, FWPS_STREAM_FLAG_SEND, std::string(300, 't'));
    Stream(s, FWPS_STREAM_FLAG_RECEIVE, std::string(700, 'u'));
    host::wfp::DeleteFlow(FlowOf(s));
    RunClassify(host::stack::ReleaseEvent(s));
  }

  // A UDP socket whose connect is pended; datagrams both ways when permitted.
  void Datagrams(int thread, int round) {
    Socket s = SocketOf(thread, round, 3, IPPROTO_UDP, 53);
    auto outcome = host::stack::Connect(Engine(), s, SharedConnectPacket(s, 12));
    if (outcome.connect.permitted) {
      RunClassify(host::stack::FlowEstablishedEvent(s, FWP_DIRECTION_OUTBOUND, FlowOf(s)));
      NET_BUFFER_LIST* sent = host::ndis::BuildNetBufferList(host::ndis::NetBufferSpec(UdpHeader(s.localPort, 53, 20) + std::string(20, 'q')));
      RunClassify(host::stack::DatagramEvent(s, FWP_DIRECTION_OUTBOUND, sent));
      host::ndis::FreeNetBufferList(sent);
      NET_BUFFER_LIST* received = host::ndis::BuildNetBufferList(host::ndis::NetBufferSpec(std::string(30, 'a')));
      RunClassify(host::stack::DatagramEvent(s, FWP_DIRECTION_INBOUND, received));
      host::ndis::FreeNetBufferList(received);
      datagramsSent_++;
    }
    RunClassify(host::stack::ReleaseEvent(s));
  }

  // A pended listen and, when it stands, a pended accept on it.
  void ListenAndAccept(int thread, int round) {
    Socket s = SocketOf(thread, round, 4, IPPROTO_TCP, 0);
    Authorize(s, host::stack::BindEvent(s));
    auto listen = Authorize(s, host::stack::ListenEvent(s));
    if (listen.permitted) {
      Socket peer = s;
      peer.remotePort = static_cast<UINT16>(50000 + round);
      Authorize(peer, host::stack::AcceptEvent(peer, SharedAcceptPacket(peer), 20, 20));
    }
    RunClassify(host::stack::ReleaseEvent(s));
  }

  // Inbound packets, every other one of which the client drops.
  void InboundPackets(int thread, int round) {
    for (int i = 0; i < 2; ++i) {
      std::string transport = std::string(20, '\x50') + std::string(16, i == 0 ? 'd' : 'k');
      std::string packet = Ipv4Header(IPPROTO_TCP, Ipv4("198.51.100.7"), Ipv4("10.0.0.2"), transport.size());
      NET_BUFFER_LIST* list = host::ndis::BuildNetBufferList(host::ndis::NetBufferSpec(packet + transport, 20));
      ClassifyEvent event(FWPS_LAYER_INBOUND_IPPACKET_V4);
      event.HeaderSizes(20, 0);
      event.layerData = list;
      if (RunClassify(event).actionType == FWP_ACTION_BLOCK) inboundBlocked_++;
      host::ndis::FreeNetBufferList(list);
    }
    (void)thread;
    (void)round;
  }

  void Classifier(int thread) {
    host::kernel::SetCurrentIds(3100 + thread, 3200 + thread);
    for (int round = 0; round < kRounds; ++round) {
      HttpFlow(thread, round, false);
      if (round % 2 == 0) HttpFlow(thread, round, true);
      PlainFlow(thread, round);
      Datagrams(thread, round);
      ListenAndAccept(thread, round);
      InboundPackets(thread, round);
    }
  }

  // The client's own thread asks for owners of endpoints that come and go.
  void Lookups(const std::atomic<bool>& stop) {
    host::kernel::SetCurrentIrql(DISPATCH_LEVEL);
    while (!stop) {
      for (int thread = 0; thread < kThreads; ++thread) {
        for (int round = 0; round < kRounds; ++round) {
          NqU64 owner = 0;
          UINT16 port = SocketOf(thread, round, 0, IPPROTO_TCP, 0).localPort;
          if (table_->LookupTcpEndpointOwner(Net(Ipv4("10.0.0.2")), port, &owner) == 1 &&
              owner != static_cast<NqU64>(3100 + thread))
            wrongOwners_++;
          if (table_->LookupUdpEndpointOwner(Net(Ipv4("10.0.0.2")), port + 3, &owner) == 1 &&
              owner != static_cast<NqU64>(3100 + thread))
            wrongOwners_++;
          lookups_++;
        }
      }
    }
    host::kernel::SetCurrentIrql(PASSIVE_LEVEL);
  }

  static std::map<ULONG, size_t> BlocksByTag() {
    std::map<ULONG, size_t> blocks;
    for (const auto& a : host::pool::Outstanding()) ++blocks[a.tag];
    return blocks;
  }

  ClientTable* table_ = nullptr;
  std::mutex packetsLock_;
  PendLedger ledger_;
  CallCounter counter_;
  FlowDeleter deleter_;
  std::atomic<unsigned> datagramsSent_{0}, inboundBlocked_{0}, wrongOwners_{0};
  std::atomic<uint64_t> lookups_{0};
};

TEST_F(AllLayersStress, EveryLayerAtOnceLeavesNothingBehindAndEveryCountAddsUp) {
  PoolCheckpoint pool;
  const std::map<ULONG, size_t> blocksAfterLoad = BlocksByTag();
  std::atomic<bool> stop{false};
  deleter_.Start();
  std::thread lookups([this, &stop] { Lookups(stop); });
  std::vector<std::thread> classifiers;
  for (int t = 0; t < kThreads; ++t) classifiers.emplace_back([this, t] { Classifier(t); });
  for (auto& c : classifiers) c.join();
  deleter_.Finish();
  stop = true;
  lookups.join();
  WaitWorkerIdle();
  host::wfp::WaitInjectionsCompleted();

  // Nothing left over: pool blocks per tag, MDLs, lists, clones, contexts.
  EXPECT_NO_LEAKS(pool);
  EXPECT_EQ(BlocksByTag(), blocksAfterLoad) << "pool blocks in use per tag, as after load";
  EXPECT_EQ(host::kernel::MdlCount(), 0u);
  EXPECT_EQ(host::wfp::LiveClones(), 0u);
  EXPECT_EQ(host::wfp::FlowContextCount(), 0u);
  EXPECT_EQ(host::wfp::PendedOperationCount(), 0u);
  EXPECT_EQ(Client().CheckReplyObjects(), 0u) << "every reply object handed out comes back once";
  EXPECT_EQ(deleter_.Deleted(), unsigned{kThreads * ((kRounds + 1) / 2)});

  // Every pend handle decided once, none released: each could be pended.
  EXPECT_EQ(ledger_.Open(), 0u);
  EXPECT_EQ(ledger_.Unknown(), 0u);
  EXPECT_EQ(counter_.Slot("ReleasePendHandle"), 0u);
  EXPECT_EQ(counter_.Slot("DecidePended"),
            counter_.Slot("QueryConnect") - unsigned{kThreads * kRounds} + counter_.Slot("QueryListen") +
                counter_.Slot("QueryAccept"))
      << "every connect but those to 443, every listen and accept pended";
  EXPECT_EQ(counter_.Slot("ReportConnect"), counter_.Slot("QueryConnect"));
  EXPECT_EQ(counter_.Slot("ReportListen"), counter_.Slot("QueryListen"));
  EXPECT_EQ(counter_.Slot("ReportAccept"), counter_.Slot("QueryAccept"));
  EXPECT_EQ(counter_.Slot("QueryListen"), unsigned{kThreads * kRounds});
  EXPECT_GT(counter_.Blocked("ReportListen"), 0u);
  EXPECT_EQ(counter_.Blocked("ReportListen") + counter_.Slot("QueryAccept"), counter_.Slot("QueryListen"))
      << "an accept follows every permitted listen";

  // Datagrams and inbound packets.
  EXPECT_EQ(counter_.Slot("ReportDatagramSent"), datagramsSent_.load());
  EXPECT_EQ(counter_.Slot("ReportDatagramReceived"), datagramsSent_.load());
  EXPECT_LT(datagramsSent_.load(), unsigned{kThreads * kRounds}) << "some UDP connects are blocked";
  EXPECT_EQ(counter_.Slot("InspectInboundPacket"), unsigned{kThreads * kRounds * 2});
  EXPECT_EQ(inboundBlocked_.load(), counter_.InboundDrops());
  EXPECT_EQ(inboundBlocked_.load(), unsigned{kThreads * kRounds});

  // Requests: each flow deleted by its own thread reported and answered as
  // its kind says; the reply and re-injection bytes exactly the expected.
  for (const char* url : {"/plain", "/primary", "/secondary", "/empty", "/one", "/two"})
    EXPECT_EQ(counter_.Reports(url), unsigned{kThreads * kRounds / 7}) << url;
  EXPECT_EQ(counter_.Reports("/url"), 0u);
  EXPECT_EQ(counter_.Reports("/exempt"), 0u);
  EXPECT_EQ(counter_.Slot("ReportHttpSecondary"), unsigned{kThreads * kRounds / 7 * 2});
  std::map<unsigned long long, std::vector<std::pair<UINT32, std::string>>> injected;
  for (const Injection& i : host::wfp::Injections()) {
    EXPECT_TRUE(i.completed);
    if (i.kind == Injection::Stream) injected[i.flowId].emplace_back(i.streamFlags, i.data);
  }
  for (int t = 0; t < kThreads; ++t) {
    for (int round = 0; round < kRounds; ++round) {
      UINT64 flow = FlowOf(SocketOf(t, round, 0, IPPROTO_TCP, 80));
      EXPECT_EQ(injected[flow], CaseFor(round).injections) << "thread " << t << " round " << round;
      EXPECT_TRUE(injected[FlowOf(SocketOf(t, round, 2, IPPROTO_TCP, 443))].empty());
      // A racing flow is answered at most once, and only while it lived.
      auto& race = injected[FlowOf(SocketOf(t, round, 1, IPPROTO_TCP, 80))];
      EXPECT_LE(race.size(), 2u);
      if (!race.empty()) {
        EXPECT_EQ(race[0], std::make_pair(kReplyFlags, kPrimaryObject));
      }
    }
  }
  EXPECT_GE(counter_.Slot("ReportStreamReceived"), unsigned{kThreads * kRounds * 2})
      << "every received segment of a flow deleted by its own thread is counted";
  EXPECT_EQ(counter_.Slot("ReportPayload") - counter_.Slot("ReportDatagramSent"),
            counter_.Slot("ReportStreamSent"));

  // Every endpoint was released: the lookups find nothing now.
  for (int t = 0; t < kThreads; ++t)
    for (int round = 0; round < kRounds; ++round)
      for (int kind = 0; kind < 5; ++kind) {
        NqU64 owner = 0;
        UINT16 port = SocketOf(t, round, kind, IPPROTO_TCP, 0).localPort;
        EXPECT_EQ(table_->LookupTcpEndpointOwner(Net(Ipv4("10.0.0.2")), port, &owner), 0u);
        EXPECT_EQ(table_->LookupUdpEndpointOwner(Net(Ipv4("10.0.0.2")), port, &owner), 0u);
      }
  EXPECT_EQ(wrongOwners_.load(), 0u);
  EXPECT_GT(lookups_.load(), 0u);
}

}  // namespace
