// The request header parser on the cases its rules single out. Every call is
// also checked against the byte-at-a-time reference (HttpParserTest).
#include "tests/http/http_test_support.h"

namespace {
using nqtest::HttpParserTest;
using nqtest::Request;

const std::string k38 = "GET / HTTP/1.1\r\nHost: example.test\r\n\r\n";

// A request line of exactly n characters whose characters differ from their
// neighbours, ending in the version text.
std::string RequestLineOf(size_t n) {
  std::string target = "/";
  while (target.size() < n - 4 - 9) target += static_cast<char>('a' + target.size() % 26);
  return "GET " + target + " HTTP/1.1";
}

// ---- Requests and chunks ------------------------------------------------------------

class Requests : public HttpParserTest {};

TEST_F(Requests, The38ByteRequestIsQueuedWithItsLineHostAndSize) {
  ASSERT_EQ(k38.size(), 38u);
  EXPECT_EQ(parser.Feed(k38), 1u);
  EXPECT_EQ(P().state, static_cast<UINT32>(ParserRequestDone));
  ASSERT_EQ(Queued().size(), 1u);
  EXPECT_EQ(Queued()[0]->size, 38u);
  EXPECT_STREQ(Queued()[0]->requestLine, "GET / HTTP/1.1");
  EXPECT_STREQ(Queued()[0]->host, "example.test");
  EXPECT_EQ(Queued()[0]->blocked, 0);
}

TEST_F(Requests, SplitAfterHoCompletesWithTheSecondChunk) {
  size_t cut = k38.find("Ho") + 2;
  EXPECT_EQ(parser.Feed(k38.substr(0, cut)), 0u);
  EXPECT_EQ(P().state, static_cast<UINT32>(ParserInHeader));
  EXPECT_EQ(P().queueCount, 0u);
  EXPECT_EQ(parser.Feed(k38.substr(cut)), 1u);
  ASSERT_EQ(Queued().size(), 1u);
  EXPECT_STREQ(Queued()[0]->host, "example.test");
  EXPECT_EQ(Queued()[0]->size, 38u);
}

TEST_F(Requests, EveryCutAndByteByByteFeedingGiveTheSameRecord) {
  for (size_t cut = 0; cut <= k38.size(); ++cut) {
    nqtest::CheckedParser split;
    split.FeedChunks(k38, {static_cast<uint32_t>(cut)});
    ASSERT_EQ(split.Problem(), "") << "cut at " << cut;
    ASSERT_EQ(split.Parser().queueCount, 1u) << "cut at " << cut;
    EXPECT_EQ(split.Parser().state, static_cast<UINT32>(ParserRequestDone)) << "cut at " << cut;
  }
  std::vector<uint32_t> calls = parser.FeedChunks(k38, std::vector<uint32_t>(k38.size(), 1));
  EXPECT_EQ(calls.back(), 1u);
  ASSERT_EQ(Queued().size(), 1u);
  EXPECT_STREQ(Queued()[0]->requestLine, "GET / HTTP/1.1");
}

TEST_F(Requests, PipelinedRequestsInOneChunkAreQueuedOldestFirst) {
  std::string two = Request("GET /first HTTP/1.1", {"Host: a.test"}) + Request("GET /second HTTP/1.0");
  EXPECT_EQ(parser.Feed(two), 2u);
  ASSERT_EQ(Queued().size(), 2u);
  EXPECT_STREQ(Queued()[0]->requestLine, "GET /first HTTP/1.1");
  EXPECT_STREQ(Queued()[1]->requestLine, "GET /second HTTP/1.0");
  EXPECT_STREQ(Queued()[1]->host, "");

  RequestRecord* oldest = nullptr;
  KIRQL old = KfAcquireSpinLock(&P().queueLock);
  ASSERT_EQ(QueuePopOldest(&P(), &oldest), 1u);
  KfReleaseSpinLock(&P().queueLock, old);
  EXPECT_STREQ(oldest->requestLine, "GET /first HTTP/1.1");
  FreeRequestRecord(oldest);
}

TEST_F(Requests, ZeroLengthChunkOnlyTurnsAResetIntoInHeader) {
  EXPECT_EQ(parser.Feed(""), 0u);
  EXPECT_EQ(P().state, static_cast<UINT32>(ParserInHeader));
  EXPECT_EQ(P().headerBytes, 0u);
  parser.Feed("GET / HT");
  parser.Feed("");
  EXPECT_EQ(P().state, static_cast<UINT32>(ParserInHeader));
  EXPECT_EQ(P().headerBytes, 8u);
  parser.Feed("TP/1.1\r\nContent-Length: 6\r\n\r\nab");
  parser.Feed("");
  EXPECT_EQ(P().state, static_cast<UINT32>(ParserSkippingBody));
  EXPECT_EQ(P().bodyRemaining, 4u);
  parser.Feed("cdef");
  EXPECT_EQ(P().state, static_cast<UINT32>(ParserRequestDone));
  parser.Feed("");
  EXPECT_EQ(P().state, static_cast<UINT32>(ParserInHeader));
  EXPECT_EQ(P().hasContentLength, 0);
}

TEST_F(Requests, BareLineFeedsEndLinesLikeCrLf) {
  std::string text = "GET /lf HTTP/1.1\nHost: lf.test\n\n";
  EXPECT_EQ(parser.Feed(text), 1u);
  ASSERT_EQ(Queued().size(), 1u);
  EXPECT_EQ(Queued()[0]->size, text.size());
  EXPECT_STREQ(Queued()[0]->host, "lf.test");
}

// ---- Host --------------------------------------------------------------------------

class HostLines : public HttpParserTest {};

TEST_F(HostLines, PortIsCutAndAMissingHostLineGivesAnEmptyHost) {
  parser.Feed(Request("GET / HTTP/1.1", {"Host: example.test:8080"}) + Request("GET / HTTP/1.1", {"Accept: */*"}));
  ASSERT_EQ(Queued().size(), 2u);
  EXPECT_STREQ(Queued()[0]->host, "example.test");
  EXPECT_STREQ(Queued()[1]->host, "");
}

TEST_F(HostLines, ShortLinesAreIgnoredLeadingSpacesDroppedAndTheLastLineWins) {
  parser.Feed(Request("GET / HTTP/1.1", {"Host:a"}) + Request("GET / HTTP/1.1", {"Host: a"}) +
              Request("GET / HTTP/1.1", {"Host:    spaced.test", "Host:last.test:1"}));
  ASSERT_EQ(Queued().size(), 3u);
  EXPECT_STREQ(Queued()[0]->host, "");
  EXPECT_STREQ(Queued()[1]->host, "a");
  EXPECT_STREQ(Queued()[2]->host, "last.test");
}

TEST_F(HostLines, AnEarlierRequestsHostDoesNotCarryOver) {
  parser.Feed(k38);
  parser.Feed(Request("GET /next HTTP/1.1"));
  ASSERT_EQ(Queued().size(), 2u);
  EXPECT_STREQ(Queued()[1]->host, "");
}

TEST_F(HostLines, NulInTheHostTextEndsIt) {
  parser.Feed(Request("GET / HTTP/1.1", {std::string("Host: ab\0cd", 11)}));
  ASSERT_EQ(Queued().size(), 1u);
  EXPECT_STREQ(Queued()[0]->host, "ab");
}

// ---- Content-Length -----------------------------------------------------------------

class ContentLength : public HttpParserTest {};

TEST_F(ContentLength, BodyIsSkippedAcrossChunksAndTheNextHeaderStartsAfterIt) {
  std::string header = Request("POST /form HTTP/1.1", {"Host: a.test", "Content-Length: 10"});
  EXPECT_EQ(parser.Feed(header + "0123"), 1u);
  EXPECT_EQ(P().state, static_cast<UINT32>(ParserSkippingBody));
  EXPECT_EQ(P().bodyRemaining, 6u);
  ASSERT_EQ(Queued().size(), 1u);
  EXPECT_EQ(Queued()[0]->size, header.size() + 10);

  EXPECT_EQ(parser.Feed("456789GE"), 0u);
  EXPECT_EQ(P().state, static_cast<UINT32>(ParserInHeader));
  EXPECT_EQ(P().headerBytes, 2u);
  EXPECT_EQ(std::string(P().requestLine, 2), "GE");
}

TEST_F(ContentLength, BodyEndingWithTheChunkOrFollowedByARequest) {
  std::string post = Request("POST /a HTTP/1.1", {"Content-Length: 3"}, "xyz");
  EXPECT_EQ(parser.Feed(post), 1u);
  EXPECT_EQ(P().state, static_cast<UINT32>(ParserRequestDone));
  EXPECT_EQ(P().bodyRemaining, 3u) << "the value stays when the body ends with the chunk";
  EXPECT_EQ(parser.Feed(post + Request("GET /b HTTP/1.1")), 2u);
  ASSERT_EQ(Queued().size(), 3u);
  EXPECT_STREQ(Queued()[2]->requestLine, "GET /b HTTP/1.1");
}

TEST_F(ContentLength, HeaderEndingWithTheChunkSkipsTheWholeBodyLater) {
  EXPECT_EQ(parser.Feed(Request("POST / HTTP/1.1", {"Content-Length: 0"})), 1u);
  EXPECT_EQ(P().state, static_cast<UINT32>(ParserSkippingBody));
  EXPECT_EQ(P().bodyRemaining, 0u);
  EXPECT_EQ(parser.Feed(k38), 1u);
  EXPECT_EQ(Queued().size(), 2u);
}

TEST_F(ContentLength, OnlyTheExactNameWithAValueAfterTheColonCounts) {
  // "Content-Length:5" is 16 characters, one too few; the name is case-sensitive.
  for (const char* line : {"Content-Length:5", "content-length: 5", "Content-length: 5"}) {
    nqtest::CheckedParser p;
    std::string header = Request("POST / HTTP/1.1", {line});
    EXPECT_EQ(p.Feed(header), 1u) << line;
    EXPECT_EQ(p.Parser().hasContentLength, 0) << line;
    EXPECT_EQ(p.Parser().state, static_cast<UINT32>(ParserRequestDone)) << line;
    ASSERT_EQ(p.Parser().queueCount, 1u);
    EXPECT_EQ(nqtest::QueuedRequests(p.Parser())[0]->size, header.size()) << line;
    EXPECT_EQ(p.Problem(), "") << line;
  }
}

TEST_F(ContentLength, DigitsReadPastSpacesUpToAnyOtherByte) {
  struct Case {
    const char* line;
    UINT32 value;
  } cases[] = {{"Content-Length: 1 2", 12},
               {"Content-Length:  7x9", 7},
               {"Content-Length: abc", 0},
               {"Content-Length: 4294967295", 0xFFFFFFFFu},
               {"Content-Length: 000000000000000000000000000042", 42},
               {"Content-Length: 5", 5}};
  for (const Case& c : cases) {
    nqtest::CheckedParser p;
    p.Feed(Request("POST / HTTP/1.1", {c.line}));
    EXPECT_EQ(p.Parser().hasContentLength, 1) << c.line;
    EXPECT_EQ(p.Parser().bodyRemaining, c.value) << c.line;
    EXPECT_EQ(p.Problem(), "") << c.line;
  }
  parser.Feed(Request("POST / HTTP/1.1", {"Content-Length: 9", "Content-Length: 2"}, "ab"));
  EXPECT_EQ(P().state, static_cast<UINT32>(ParserRequestDone)) << "a later line replaces an earlier one";
}

// A count that does not fit in 32 bits would wrap to a short body and
// misframe the requests behind it: the line is malformed and the parser stops
// when it ends, before the header does, and nothing is queued for it.
TEST_F(ContentLength, ValueBeyond32BitsStopsTheParserAtTheEndOfItsLine) {
  const std::string hidden = Request("GET /hidden HTTP/1.1", {"Host: h.test"});
  for (const char* line : {"Content-Length: 4294967296", "Content-Length: 4294967297",
                           "Content-Length: 42 94967 297", "Content-Length: 99999999999999999999999999999999"}) {
    nqtest::CheckedParser p;
    std::string header = "POST / HTTP/1.1\r\n" + std::string(line) + "\r\n";
    EXPECT_EQ(p.Feed(header + "Host: a\r\n\r\nx" + hidden), 0u) << line;
    EXPECT_EQ(p.Parser().state, static_cast<UINT32>(ParserStopped)) << line;
    EXPECT_EQ(p.Parser().queueCount, 0u) << line;
    EXPECT_EQ(p.Parser().headerBytes, header.size()) << line << ": stopped as that line ended";
    EXPECT_EQ(p.Problem(), "") << line;
  }
}

TEST_F(ContentLength, RequestSizeBeyond32BitsStopsTheParserAtTheEndOfItsHeader) {
  std::string fits = Request("POST / HTTP/1.1", {"Content-Length: 4294967000"});  // 53 header bytes
  ASSERT_LE(fits.size() + 4294967000ull, 0xFFFFFFFFull);
  EXPECT_EQ(parser.Feed(fits), 1u);
  EXPECT_EQ(P().state, static_cast<UINT32>(ParserSkippingBody));
  ASSERT_EQ(Queued().size(), 1u);
  EXPECT_EQ(Queued()[0]->size, fits.size() + 4294967000u);

  nqtest::CheckedParser over;
  std::string header = Request("POST / HTTP/1.1", {"Content-Length: 4294967295"});
  EXPECT_EQ(over.Feed(header + "GET / HTTP/1.1\r\n\r\n"), 0u);
  EXPECT_EQ(over.Parser().state, static_cast<UINT32>(ParserStopped));
  EXPECT_EQ(over.Parser().queueCount, 0u);
  EXPECT_EQ(over.Parser().headerBytes, header.size());
  EXPECT_EQ(over.Problem(), "");
}

// ---- Bounds -------------------------------------------------------------------------

class Bounds : public HttpParserTest {};

// A header of n bytes: request line, one padding line, empty line.
std::string HeaderOf(size_t n) {
  std::string head = "GET / HTTP/1.1\r\nX-Pad: ";
  return head + std::string(n - head.size() - 4, 'p') + "\r\n\r\n";
}

TEST_F(Bounds, AHeaderOfExactly4096BytesIsAccepted) {
  std::string header = HeaderOf(4096);
  EXPECT_EQ(parser.Feed(header), 1u);
  ASSERT_EQ(Queued().size(), 1u);
  EXPECT_EQ(Queued()[0]->size, 4096u);
  nqtest::CheckedParser byteByByte;
  byteByByte.FeedChunks(header, std::vector<uint32_t>(header.size(), 1));
  EXPECT_EQ(byteByByte.Parser().queueCount, 1u);
  EXPECT_EQ(byteByByte.Problem(), "");
}

TEST_F(Bounds, OneByteMoreStopsTheParserWithoutStoringIt) {
  std::string header = HeaderOf(4097);
  EXPECT_EQ(parser.Feed(header + k38), 0u);
  EXPECT_EQ(P().state, static_cast<UINT32>(ParserStopped));
  EXPECT_EQ(P().headerBytes, 4097u);
  EXPECT_EQ(P().queueCount, 0u);
  EXPECT_EQ(parser.Feed(k38), 0u) << "a stopped parser stays stopped";
  EXPECT_EQ(P().state, static_cast<UINT32>(ParserStopped));
}

TEST_F(Bounds, LongRequestLinesKeepTheirHeadAndTheirLatestBytes) {
  struct Case {
    size_t length;
    size_t tail;  // characters kept from the end after the first 232
  } cases[] = {{254, 22}, {255, 11}, {300, 20}, {256 + 12 * 40, 12}};
  for (const Case& c : cases) {
    std::string line = RequestLineOf(c.length);
    ASSERT_EQ(line.size(), c.length);
    std::string expected = c.length == 254 ? line : line.substr(0, 232) + line.substr(c.length - c.tail);
    nqtest::CheckedParser p;
    EXPECT_EQ(p.Feed(Request(line)), 1u) << c.length;
    ASSERT_EQ(p.Parser().queueCount, 1u) << c.length;
    EXPECT_EQ(nqtest::QueuedRequests(p.Parser())[0]->requestLine, expected) << c.length;
    EXPECT_EQ(p.Problem(), "") << c.length;
  }
}

TEST_F(Bounds, LongHeaderLinesKeep254CharactersWithCrLfAnd255WithALineFeed) {
  std::string longHost = "Host: " + std::string(300, 'h');
  parser.Feed(Request("GET / HTTP/1.1", {longHost}));
  parser.Feed("GET / HTTP/1.1\r\n" + longHost + "\n\r\n");
  ASSERT_EQ(Queued().size(), 2u);
  EXPECT_EQ(std::string(Queued()[0]->host), std::string(254 - 6, 'h'));
  EXPECT_EQ(std::string(Queued()[1]->host), std::string(255 - 6, 'h'));
}

// ---- Malformed input ------------------------------------------------------------------

class Malformed : public HttpParserTest {};

TEST_F(Malformed, CrNotFollowedByLfStops) {
  EXPECT_EQ(parser.Feed("GET / HTTP/1.1\rX"), 0u);
  EXPECT_EQ(P().state, static_cast<UINT32>(ParserStopped));
  EXPECT_EQ(P().headerBytes, 16u);
}

TEST_F(Malformed, AChunkStartingWithAnEmptyLineStops) {
  EXPECT_EQ(parser.Feed("\r\n" + k38), 0u);
  EXPECT_EQ(P().state, static_cast<UINT32>(ParserStopped));
}

TEST_F(Malformed, RequestLinesThatAreNotHttp1StopAtTheEndOfTheirHeader) {
  for (const std::string& line : {std::string("GET / FTP"), std::string("GET / HTTP/2.0"), std::string("G HTTP/1."),
                                  std::string("GET /a\0b HTTP/1.1", 17)}) {
    nqtest::CheckedParser p;
    EXPECT_EQ(p.Feed(line + "\r\nHost: a\r\n"), 0u);
    EXPECT_EQ(p.Parser().state, static_cast<UINT32>(ParserInHeader)) << "checked only when the header ends";
    EXPECT_EQ(p.Feed("\r\n"), 0u);
    EXPECT_EQ(p.Parser().state, static_cast<UINT32>(ParserStopped));
    EXPECT_EQ(p.Problem(), "");
  }
}

TEST_F(Malformed, RequestsBeforeTheFaultInTheSameCallStayCountedAndQueued) {
  EXPECT_EQ(parser.Feed(k38 + k38 + "HELLO\r\n\r\n" + k38), 2u);
  EXPECT_EQ(P().state, static_cast<UINT32>(ParserStopped));
  EXPECT_EQ(Queued().size(), 2u);
}

// Transfer-Encoding means nothing to the parser: a chunked body is read as
// the next header, and its chunk lines are no request line.
TEST_F(Malformed, AChunkedBodyIsReadAsAHeaderAndStops) {
  EXPECT_EQ(parser.Feed(Request("POST /up HTTP/1.1", {"Transfer-Encoding: chunked"}) + "5\r\nhello\r\n0\r\n\r\n"),
            1u);
  EXPECT_EQ(Queued()[0]->size, 49u);
  EXPECT_EQ(P().state, static_cast<UINT32>(ParserStopped));
}

TEST_F(Malformed, BinaryDataStopsTheParserWithoutQueueing) {
  // The start of a TLS client hello, then bytes of every value.
  std::string tls("\x16\x03\x01\x02\x00\x01\x00\x01\xfc\x03\x03", 11);
  for (int k = 0; k < 5000; ++k) tls += static_cast<char>((k * 131 + 7) & 0xFF);
  parser.FeedChunks(tls, {1, 10, 100, 1000});
  EXPECT_EQ(P().state, static_cast<UINT32>(ParserStopped));
  EXPECT_EQ(P().queueCount, 0u);
  // Printable bytes without any line end stop at the header bound.
  nqtest::CheckedParser text;
  text.Feed(std::string(5000, 'A'));
  EXPECT_EQ(text.Parser().state, static_cast<UINT32>(ParserStopped));
  EXPECT_EQ(text.Parser().headerBytes, 4097u);
  EXPECT_EQ(text.Problem(), "");
}

TEST_F(Malformed, ADisabledParserIgnoresEverything) {
  parser.Start(ParserDisabled);
  EXPECT_EQ(parser.Feed(k38), 0u);
  EXPECT_EQ(P().state, static_cast<UINT32>(ParserDisabled));
  EXPECT_EQ(P().headerBytes, 0u);
  EXPECT_EQ(P().queueCount, 0u);
}

}  // namespace
