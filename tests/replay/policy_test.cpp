// The stand-in client's policy: parsing, with errors that name the line,
// and answers in the order of the rules.
#include "tools/client/policy.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

namespace {
using client::EventFacts;
using client::Policy;
using ::testing::HasSubstr;

std::unique_ptr<Policy> Parse(const std::string& text) {
  std::string error;
  auto p = Policy::Parse(text, "test.policy", &error);
  EXPECT_TRUE(p) << error;
  return p;
}

std::string ErrorOf(const std::string& text) {
  std::string error;
  EXPECT_FALSE(Policy::Parse(text, "test.policy", &error));
  return error;
}

EventFacts Facts(int protocol, uint32_t remote, uint16_t localPort, uint16_t remotePort, uint32_t pid = 0) {
  EventFacts f;
  f.protocol = protocol;
  f.localAddress = 0x0A000002;
  f.remoteAddress = remote;
  f.localPort = localPort;
  f.remotePort = remotePort;
  f.processId = pid;
  return f;
}

TEST(Policy, ErrorsNameTheLineAndTheProblem) {
  EXPECT_EQ(ErrorOf("# fine\n\nfrobnicate permit\n"),
            "test.policy:3: unknown rule 'frobnicate' (expected process, default-process, drop, lookup, bind, "
            "listen, accept, connect, any, url, http-primary, http-secondary, primary-reply, secondary-reply or "
            "exempt)");
  EXPECT_THAT(ErrorOf("connect\n"), HasSubstr("test.policy:1: 'connect' needs an answer"));
  EXPECT_THAT(ErrorOf("connect pend maybe\n"), HasSubstr(":1: 'pend' must be followed by permit or block"));
  EXPECT_THAT(ErrorOf("connect block remote 10.0.0.300\n"), HasSubstr("not an IPv4 address"));
  EXPECT_THAT(ErrorOf("connect block remote 10.0.0.0/33\n"), HasSubstr("not an IPv4 address or prefix"));
  EXPECT_THAT(ErrorOf("accept block local-port 90-80\n"), HasSubstr("not a port or port range"));
  EXPECT_THAT(ErrorOf("accept block local-port\n"), HasSubstr("'local-port' needs a value"));
  EXPECT_THAT(ErrorOf("bind block remote-port 80\n"), HasSubstr("bind rules cannot match addresses or ports"));
  EXPECT_THAT(ErrorOf("listen block proto udp\n"), HasSubstr("only TCP sockets listen"));
  EXPECT_THAT(ErrorOf("drop process nginx\n"), HasSubstr("'drop' rules do not match on a process"));
  EXPECT_THAT(ErrorOf("process a pid 7\n"), HasSubstr("multiple of 4"));
  EXPECT_THAT(ErrorOf("process a pid 1000\nprocess b pid 1000\n"), HasSubstr(":2: pid 1000 already belongs"));
  EXPECT_THAT(ErrorOf("default-process a\ndefault-process b\n"), HasSubstr(":2: a second default-process"));
}

TEST(Policy, FirstMatchingRuleAnswersAndTheDefaultPermits) {
  auto p = Parse(
      "process curl pid 2000 proto tcp remote-port 80\n"
      "connect pend block proto tcp remote 192.0.2.0/24 process curl\n"
      "connect block remote-port 80-89\n"
      "connect permit remote-port 81\n"
      "accept,listen pend permit local-port 22\n"
      "bind block proto udp process curl\n");
  client::Decision d = p->Decide(client::kConnect, Facts(6, 0xC0000205, 40000, 80, 2000));
  EXPECT_TRUE(d.pend);
  EXPECT_TRUE(d.block);
  d = p->Decide(client::kConnect, Facts(6, 0xC0000205, 40000, 80, 9999));
  EXPECT_FALSE(d.pend) << "another process";
  EXPECT_TRUE(d.block);
  EXPECT_TRUE(p->Decide(client::kConnect, Facts(17, 0x0A000001, 40000, 81)).block) << "the earlier rule wins";
  EXPECT_FALSE(p->Decide(client::kConnect, Facts(6, 0x0A000001, 40000, 443)).block);
  EXPECT_TRUE(p->Decide(client::kListen, Facts(6, 0, 22, 0)).pend);
  EXPECT_FALSE(p->Decide(client::kConnect, Facts(6, 0, 22, 0)).pend) << "only the events named";
  EXPECT_TRUE(p->Decide(client::kBind, Facts(17, 0, 0, 0, 2000)).block);
  EXPECT_FALSE(p->Decide(client::kBind, Facts(6, 0, 0, 0, 2000)).block);
}

TEST(Policy, ProcessesAreAssignedByEndpointWithStableIds) {
  const char* text = "process nginx pid 1204 proto tcp local-port 80\nprocess dig proto udp remote-port 53\n";
  auto p = Parse(text);
  EXPECT_EQ(p->OwnerOf(Facts(6, 1, 80, 50000)).name, "nginx");
  EXPECT_EQ(p->OwnerOf(Facts(6, 1, 80, 50000)).processId, 1204u);
  EXPECT_EQ(p->OwnerOf(Facts(17, 1, 40000, 53)).name, "dig");
  EXPECT_EQ(p->OwnerOf(Facts(17, 1, 40000, 54)).name, "app") << "the default process";
  uint32_t dig = p->OwnerOf(Facts(17, 1, 40000, 53)).processId;
  EXPECT_EQ(Parse(text)->OwnerOf(Facts(17, 1, 40000, 53)).processId, dig) << "the same id on every run";
  EXPECT_EQ(dig % 4, 0u);
  EXPECT_NE(dig, p->OwnerOf(Facts(17, 1, 40000, 54)).processId);
  EXPECT_NE(p->OwnerOf(Facts(6, 1, 80, 0)).threadId, 0u);
}

TEST(Policy, DropRulesReadTheInboundPacketsHeaders) {
  auto p = Parse("drop proto udp remote 10.0.0.1 local-port 5302\n");
  unsigned char packet[28] = {0x45, 0, 0, 28, 0, 0, 0, 0, 64, 17, 0, 0, 10, 0, 0, 1, 10, 0, 0, 2,
                              0,    53, 0x14, 0xB6, 0, 8, 0, 0};  // 10.0.0.1:53 -> 10.0.0.2:5302
  EXPECT_TRUE(p->Drops(packet, sizeof packet));
  packet[23] = 0xB5;  // to 5301
  EXPECT_FALSE(p->Drops(packet, sizeof packet));
  EXPECT_FALSE(Parse("")->Drops(packet, sizeof packet));
}

}  // namespace
