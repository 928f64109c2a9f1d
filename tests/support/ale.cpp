#include "tests/support/ale.h"

#include <atomic>

namespace nqtest {

void AleTest::SetUp() {
  ClassifyTest::SetUp();
  ASSERT_NE(TransportInjection(), nullptr) << "start-up creates the transport injection handle";
}

void AleTest::TearDown() {
  WaitWorkerIdle();
  host::wfp::WaitInjectionsCompleted();
  for (NET_BUFFER_LIST* list : packets_) host::ndis::FreeNetBufferList(list);
  EXPECT_EQ(host::wfp::LiveClones(), 0u) << "every clone is freed";
  for (const auto& injection : host::wfp::Injections()) EXPECT_TRUE(injection.completed) << "every injection completes";
  EXPECT_EQ(host::ndis::LiveNetBufferLists(), 0u);
  ClassifyTest::TearDown();
}

Socket AleTest::TcpSocket() {
  Socket s;
  s.protocol = IPPROTO_TCP;
  s.localAddress = Ipv4("10.0.0.2");
  s.localPort = 49152;
  s.remoteAddress = Ipv4("192.0.2.80");
  s.remotePort = 80;
  s.processId = 3100;
  s.threadId = 3104;
  s.endpointHandle = 0xE0000001;
  return s;
}

Socket AleTest::UdpSocket() {
  Socket s = TcpSocket();
  s.protocol = IPPROTO_UDP;
  s.remotePort = 53;
  s.endpointHandle = 0xE0000002;
  return s;
}

NET_BUFFER_LIST* AleTest::ConnectPacket(const Socket& s, size_t payload) {
  std::string transport = s.protocol == IPPROTO_UDP ? UdpHeader(s.localPort, s.remotePort, payload)
                                                    : std::string(20, '\x50');
  transport += std::string(payload, 'c');
  NET_BUFFER_LIST* list = host::ndis::BuildNetBufferList({Ipv4Header(s.protocol, s.localAddress, s.remoteAddress,
                                                                     transport.size()) + transport, 20});
  packets_.push_back(list);
  return list;
}

NET_BUFFER_LIST* AleTest::AcceptPacket(const Socket& s, size_t payload) {
  std::string transport = std::string(20, '\x51') + std::string(payload, 'a');
  NET_BUFFER_LIST* list = host::ndis::BuildNetBufferList(
      {Ipv4Header(s.protocol, s.remoteAddress, s.localAddress, transport.size()) + transport, 40});
  packets_.push_back(list);
  return list;
}

void AleTest::PendEverything(NqU32 block) {
  static std::atomic<uintptr_t> next{0x1000};
  Client().answers().query = [](const client::Call&, NqPendHandle* handle) -> NqU32 {
    *handle = reinterpret_cast<NqPendHandle>(next.fetch_add(4));
    return 0;
  };
  Client().answers().decidePended = [block](NqPendHandle) -> NqU32 { return block; };
}

void AleTest::WaitWorkerIdle() { host::kernel::WaitDriverThreadsIdle(); }

}  // namespace nqtest
