// The request queue, StoreRequest when memory runs out, the release of a
// parser's queue, and SplitNextToken.
#include "tests/http/http_test_support.h"

namespace {
using nqtest::PoolCheckpoint;
using nqtest::Request;

const std::string kFirst = Request("GET /first HTTP/1.1", {"Host: one.test"});
const std::string kSecond = Request("GET /second HTTP/1.1", {"Host: two.test"});

// A parser fed by hand, without the reference: these cases make the pool fail,
// which the reference does not model.
class RequestQueueTest : public nqtest::MachineTest {
 protected:
  void SetUp() override {
    host::kernel::SetCurrentIrql(DISPATCH_LEVEL);
    InitHttpParser(&parser, ParserReset);
  }
  void TearDown() override {
    ReleaseHttpParser(&parser);
    EXPECT_EQ(host::kernel::HeldSpinLockCount(), 0u);
    MachineTest::TearDown();
  }
  UINT32 Feed(const std::string& bytes) {
    return ParseHttpRequests(&parser, reinterpret_cast<const UINT8*>(bytes.data()), static_cast<UINT32>(bytes.size()));
  }
  // A record made by the parser and taken off the (empty) queue.
  RequestRecord* NewRecord(const char* line) {
    Feed(Request(line));
    RequestRecord* record = nullptr;
    KIRQL old = KfAcquireSpinLock(&parser.queueLock);
    EXPECT_EQ(QueuePopOldest(&parser, &record), 1u);
    KfReleaseSpinLock(&parser.queueLock, old);
    return record;
  }
  std::vector<std::string> Lines() {
    std::vector<std::string> lines;
    for (const RequestRecord* r : nqtest::QueuedRequests(parser)) lines.push_back(r->requestLine);
    return lines;
  }

  HttpParser parser;
};

// ---- StoreRequest when the pool fails -----------------------------------------------
// Its allocations, in order: request-line copy, host copy, record, node.

class StoreRequestOutOfMemory : public RequestQueueTest {};

TEST_F(StoreRequestOutOfMemory, NoCopyOfTheRequestLineOrHostStopsTheParser) {
  for (unsigned failing : {1u, 2u}) {
    InitHttpParser(&parser, ParserReset);
    PoolCheckpoint pool;
    host::pool::FailAllocation(failing);
    EXPECT_EQ(Feed(kFirst + kSecond), 0u) << "allocation " << failing;
    host::pool::ClearFailures();
    EXPECT_EQ(parser.state, static_cast<UINT32>(ParserStopped)) << "allocation " << failing;
    EXPECT_EQ(parser.queueCount, 0u);
    EXPECT_NO_LEAKS(pool);
  }
}

TEST_F(StoreRequestOutOfMemory, NoRecordDropsTheRequestSilentlyAndParsingGoesOn) {
  PoolCheckpoint pool;
  host::pool::FailAllocation(3);
  EXPECT_EQ(Feed(kFirst + kSecond), 2u) << "the dropped request still counts";
  host::pool::ClearFailures();
  EXPECT_EQ(parser.state, static_cast<UINT32>(ParserRequestDone));
  EXPECT_EQ(Lines(), std::vector<std::string>{"GET /second HTTP/1.1"});
  ReleaseHttpParser(&parser);
  EXPECT_NO_LEAKS(pool);
}

TEST_F(StoreRequestOutOfMemory, NoNodeFreesTheRecordAndItsTexts) {
  PoolCheckpoint pool;
  host::pool::FailAllocation(4);
  EXPECT_EQ(Feed(kFirst), 1u);
  host::pool::ClearFailures();
  EXPECT_EQ(parser.queueCount, 0u);
  EXPECT_EQ(parser.queueHead, nullptr);
  EXPECT_NO_LEAKS(pool);
  EXPECT_EQ(Feed(kSecond), 1u) << "parsing goes on";
  EXPECT_EQ(Lines(), std::vector<std::string>{"GET /second HTTP/1.1"});
}

TEST_F(StoreRequestOutOfMemory, CopiesAreSizedFromTheTextsWithTwoBytesToSpare) {
  PoolCheckpoint pool;
  Feed(Request("GET /sized HTTP/1.1", {"Host:   spaced.test:81"}));
  std::vector<host::pool::Allocation> blocks = pool.Leaks();
  ASSERT_EQ(blocks.size(), 4u);
  EXPECT_EQ(blocks[0].size, strlen("GET /sized HTTP/1.1") + 2);
  EXPECT_EQ(blocks[1].size, strlen("   spaced.test:81") + 2) << "leading spaces are counted";
  EXPECT_EQ(blocks[2].size, sizeof(RequestRecord));
  EXPECT_EQ(blocks[3].size, sizeof(RequestNode));
  for (const host::pool::Allocation& a : blocks) EXPECT_EQ(a.tag, 0u);
}

// ---- The queue ------------------------------------------------------------------------

class RequestQueue : public RequestQueueTest {};

TEST_F(RequestQueue, PopTakesTheOldestAndAnEmptyQueueGivesNothing) {
  Feed(kFirst + kSecond + Request("GET /third HTTP/1.1"));
  std::vector<std::string> popped;
  KIRQL old = KfAcquireSpinLock(&parser.queueLock);
  RequestRecord* record = nullptr;
  while (QueuePopOldest(&parser, &record) != 0) {
    popped.push_back(record->requestLine);
    FreeRequestRecord(record);
  }
  EXPECT_EQ(QueuePopOldest(&parser, &record), 0u);
  KfReleaseSpinLock(&parser.queueLock, old);
  EXPECT_EQ(popped, (std::vector<std::string>{"GET /first HTTP/1.1", "GET /second HTTP/1.1", "GET /third HTTP/1.1"}));
  EXPECT_EQ(parser.queueCount, 0u);
  EXPECT_EQ(parser.queueHead, nullptr);
}

TEST_F(RequestQueue, PushedBackRecordBecomesTheNewestAndANodeFailureLeavesTheQueue) {
  Feed(kFirst + kSecond);
  KIRQL old = KfAcquireSpinLock(&parser.queueLock);
  RequestRecord* record = nullptr;
  QueuePopOldest(&parser, &record);
  EXPECT_EQ(QueuePushNewest(&parser, record), 1u);
  host::pool::FailAllocation(1);
  EXPECT_EQ(QueuePushNewest(&parser, record), 0u);
  host::pool::ClearFailures();
  KfReleaseSpinLock(&parser.queueLock, old);
  EXPECT_EQ(parser.queueCount, 2u);
  EXPECT_EQ(Lines(), (std::vector<std::string>{"GET /second HTTP/1.1", "GET /first HTTP/1.1"}));
}

TEST_F(RequestQueue, DrainAndReleaseFreeEveryRecordTextAndNode) {
  PoolCheckpoint pool;
  Feed(kFirst + kSecond + kFirst);
  EXPECT_EQ(parser.queueCount, 3u);
  DrainRequestQueue(&parser);
  EXPECT_EQ(parser.queueCount, 0u);
  EXPECT_EQ(parser.queueHead, nullptr);
  EXPECT_NO_LEAKS(pool);
  Feed(kSecond);
  ReleaseHttpParser(&parser);
  EXPECT_EQ(parser.queueCount, 0u);
  EXPECT_EQ(parser.queueHead, nullptr);
  EXPECT_NO_LEAKS(pool);
}

TEST_F(RequestQueue, ReleaseCopesWithACountThatDisagreesWithTheList) {
  PoolCheckpoint pool;
  RequestRecord* kept = NewRecord("GET /kept HTTP/1.1");
  Feed(kFirst);
  parser.queueCount = 0;  // a node the count does not know of: freed, its record is not
  ReleaseHttpParser(&parser);
  EXPECT_EQ(parser.queueHead, nullptr);
  EXPECT_EQ(pool.Leaks().size(), 6u) << "two records with their texts";
  FreeRequestRecord(kept);

  InitHttpParser(&parser, ParserReset);
  Feed(kFirst);
  parser.queueCount = 5;  // more than there are nodes: the drain stops at the list's end
  ReleaseHttpParser(&parser);
  EXPECT_EQ(parser.queueCount, 0u);
  EXPECT_EQ(parser.queueHead, nullptr);
  EXPECT_EQ(pool.Leaks().size(), 3u) << "only the record of the first case, whose node was freed without it";
}

// ---- SplitNextToken -------------------------------------------------------------------

class SplitNextTokenTest : public nqtest::MachineTest {};

TEST_F(SplitNextTokenTest, SplitsMethodTargetAndVersionInPlace) {
  char line[] = "GET /index.html HTTP/1.1";
  char* url = SplitNextToken(strchr(line, ' '));
  ASSERT_NE(url, nullptr);
  EXPECT_STREQ(line, "GET");
  EXPECT_STREQ(url, "/index.html");
  EXPECT_STREQ(url + strlen(url) + 1, "HTTP/1.1");
  EXPECT_EQ(strchr(line, ' '), nullptr) << "a split line has no space left before its URL";
}

TEST_F(SplitNextTokenTest, SkipsRepeatedSpacesAndFindsNoTokenWithoutASpaceAfterIt) {
  char spaced[] = "GET    /a HTTP/1.1";
  EXPECT_STREQ(SplitNextToken(spaced + 3), "/a");
  char noVersion[] = "GET /a";
  EXPECT_EQ(SplitNextToken(noVersion + 3), nullptr);
  EXPECT_STREQ(noVersion, "GET") << "the first NUL stays";
  char noTarget[] = "GET   ";
  EXPECT_EQ(SplitNextToken(noTarget + 3), nullptr);
}

}  // namespace
