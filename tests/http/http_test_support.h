// Fixture and request builders for the parser's tests.
#pragma once
#include "tests/http/parser_checks.h"
#include "tests/support/machine.h"

#include <string>
#include <vector>

namespace nqtest {

// The parser runs inside the stream classify, at DISPATCH_LEVEL; so do the
// tests. Every call is checked against the reference (see CheckedParser).
class HttpParserTest : public MachineTest {
 protected:
  void SetUp() override { host::kernel::SetCurrentIrql(DISPATCH_LEVEL); }
  void TearDown() override {
    EXPECT_EQ(parser.Problem(), "");
    EXPECT_EQ(host::kernel::HeldSpinLockCount(), 0u);
    MachineTest::TearDown();
  }
  HttpParser& P() { return parser.Parser(); }
  std::vector<const RequestRecord*> Queued() { return QueuedRequests(parser.Parser()); }

  CheckedParser parser;
};

// A request header: the request line, the header lines, each ended by CR LF,
// and the empty line; then the body.
inline std::string Request(const std::string& line, const std::vector<std::string>& headers = {},
                           const std::string& body = "") {
  std::string text = line + "\r\n";
  for (const std::string& h : headers) text += h + "\r\n";
  return text + "\r\n" + body;
}

}  // namespace nqtest
