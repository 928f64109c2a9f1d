// The parser's word-at-a-time paths against the byte-at-a-time reference
// (every call is compared, see CheckedParser): line ends at every offset
// within a word, data starting at every alignment and ending at every byte,
// lines cut between calls, long lines past the buffer, and the header bound.
// Each chunk is handed over in a heap block of exactly its size, so that a
// read past the caller's bytes is a sanitizer finding.
#include "tests/http/http_test_support.h"

#include <memory>

namespace {
using nqtest::CheckedParser;
using nqtest::HttpParserTest;

// Feeds bytes [from, to) as one call, from a block of exactly that size
// placed `misalign` bytes after an aligned address.
uint32_t FeedExact(CheckedParser& p, const std::string& bytes, size_t from, size_t to, size_t misalign) {
  std::unique_ptr<uint8_t[]> block(new uint8_t[misalign + (to - from)]);
  uint8_t* data = block.get() + misalign;
  std::copy(bytes.begin() + from, bytes.begin() + to, data);
  return p.Feed(data, static_cast<uint32_t>(to - from));
}

// Feeds a stream in chunks of `chunk` bytes (0: whole), each from its own
// exact block.
void FeedInChunks(CheckedParser& p, const std::string& bytes, size_t chunk, size_t misalign) {
  if (chunk == 0) chunk = bytes.size();
  for (size_t at = 0; at < bytes.size(); at += chunk)
    FeedExact(p, bytes, at, std::min(bytes.size(), at + chunk), misalign);
}

std::string Text(size_t n, char first = 'a') {
  std::string text;
  for (size_t k = 0; k < n; ++k) text += static_cast<char>(first + k % 23);
  return text;
}

// A request whose lines are `pad` characters longer than plain, each ended
// by `end`.
std::string RequestWith(size_t pad, const std::string& end) {
  return "GET /" + Text(pad) + " HTTP/1.1" + end + "Host: h" + Text(pad % 9) + ":80" + end + "X-" + Text(pad, 'A') +
         ": v" + end + "Content-Length: " + std::to_string(pad % 5) + end + end + Text(pad % 5, 'k');
}

class WordScan : public HttpParserTest {};

TEST_F(WordScan, LineEndsAtEveryOffsetAndDataAtEveryAlignment) {
  const char* const kEnds[] = {"\r\n", "\n", "\r", "\rX", "\r\r\n"};
  for (const char* end : kEnds) {
    for (size_t pad = 0; pad < 2 * sizeof(ULONG_PTR) + 3; ++pad) {
      for (size_t misalign = 0; misalign < sizeof(ULONG_PTR); ++misalign) {
        CheckedParser p;
        std::string stream = RequestWith(pad, end) + RequestWith(pad + 1, end);
        FeedInChunks(p, stream, 0, misalign);
        ASSERT_EQ(p.Problem(), "") << "pad " << pad << " misalign " << misalign;
      }
    }
  }
}

// A control byte other than CR and LF, or a byte above 0x8D, ahead of the
// line end in the same word or the word before it: the quick test for a line
// end flags it first, and the scan must go on to the true line end.
TEST_F(WordScan, AnOddByteAheadOfTheLineEnd) {
  for (char odd : {'\t', '\0', '\x0b', '\x8e', '\xff'}) {
    for (size_t pad = 0; pad < sizeof(ULONG_PTR); ++pad) {
      for (size_t gap = 0; gap <= sizeof(ULONG_PTR); ++gap) {
        CheckedParser p;
        std::string line = "X: " + Text(pad) + odd + Text(gap);
        FeedInChunks(p, "GET /" + Text(pad) + odd + " HTTP/1.1\r\n" + line + "\r\n" + line + "\n\r\n", 0, gap);
        ASSERT_EQ(p.Problem(), "") << "byte " << int(odd) << " pad " << pad << " gap " << gap;
        // A NUL ends the stored request line before its version: no request.
        ASSERT_EQ(p.Parser().queueCount, odd == '\0' ? 0u : 1u) << "byte " << int(odd) << " pad " << pad;
      }
    }
  }
}

TEST_F(WordScan, EveryCutOfAPipelinedStreamAgrees) {
  std::string stream = RequestWith(13, "\r\n") + RequestWith(30, "\n") + RequestWith(7, "\r\n");
  for (size_t cut = 0; cut <= stream.size(); ++cut) {
    CheckedParser p;
    FeedExact(p, stream, 0, cut, cut % sizeof(ULONG_PTR));
    FeedExact(p, stream, cut, stream.size(), 0);
    ASSERT_EQ(p.Problem(), "") << "cut at " << cut;
    ASSERT_EQ(p.Parser().queueCount, 3u) << "cut at " << cut;
  }
  for (size_t chunk = 1; chunk <= 2 * sizeof(ULONG_PTR) + 1; ++chunk) {
    CheckedParser p;
    FeedInChunks(p, stream, chunk, chunk % sizeof(ULONG_PTR));
    ASSERT_EQ(p.Problem(), "") << "chunks of " << chunk;
  }
}

TEST_F(WordScan, LongLinesKeepTheBufferRulesAtEveryLengthAndCut) {
  // Request lines around the window's slides and header lines around the
  // buffer's end, ended by CR LF or LF, fed whole and cut at every point of
  // their last word or so.
  for (size_t length = 220; length < 300; ++length) {
    for (const char* end : {"\r\n", "\n"}) {
      std::string line = "GET /" + Text(length - 14) + " HTTP/1.1";
      std::string header = "X-Long: " + Text(length, 'B');
      std::string stream = line + end + header + end + "Host: x" + end + end;
      for (size_t cut : {size_t(0), length - 3, length, length + 1, length + 2, length + 9, length + 200}) {
        CheckedParser p;
        size_t at = std::min(cut, stream.size());
        FeedExact(p, stream, 0, at, length % sizeof(ULONG_PTR));
        FeedExact(p, stream, at, stream.size(), 0);
        ASSERT_EQ(p.Problem(), "") << "length " << length << " cut " << cut;
        ASSERT_EQ(p.Parser().queueCount, 1u) << "length " << length << " cut " << cut;
      }
    }
  }
}

TEST_F(WordScan, TheHeaderBoundFallsAtEveryOffsetOfALine) {
  // Headers from just under to just over 4096 bytes, so that the bound falls
  // inside the text, on the CR, on the LF and after them.
  for (size_t size = 4096 - 2 * sizeof(ULONG_PTR); size <= 4096 + 2 * sizeof(ULONG_PTR); ++size) {
    std::string stream = "GET / HTTP/1.1\r\n";
    while (stream.size() + 200 + 20 < size) stream += "X-Pad: " + Text(190) + "\r\n";
    stream += "X-Last: " + std::string(size - stream.size() - 8 - 2 - 2, 'z') + "\r\n\r\n";
    ASSERT_EQ(stream.size(), size);
    for (size_t misalign = 0; misalign < sizeof(ULONG_PTR); misalign += 3) {
      CheckedParser p;
      FeedInChunks(p, stream + RequestWith(3, "\r\n"), 0, misalign);
      ASSERT_EQ(p.Problem(), "") << "size " << size;
      CheckedParser chunked;
      FeedInChunks(chunked, stream, 1460, misalign);
      ASSERT_EQ(chunked.Problem(), "") << "size " << size << " in segments";
    }
  }
}

}  // namespace

// The record's copies are measured a word at a time within the parser's
// buffers: Host texts with and without spaces and ports, of every length up
// to the buffer's, and NUL bytes inside the request line and the Host line,
// after which the copies end as strlen and strchr would end them.
TEST_F(WordScan, RequestCopiesEndWhereTheTextsEnd) {
  const std::string kHosts[] = {"", " ", "   ", "h", " h", "h:", ":", " :8080", "h:1:2", std::string("a\0b", 3),
                                std::string("ab:\0c", 5)};
  for (size_t h = 0; h < sizeof(kHosts) / sizeof(kHosts[0]); ++h) {
    const std::string& host = kHosts[h];
    for (size_t pad = 0; pad < 3 * sizeof(ULONG_PTR); ++pad) {
      CheckedParser p;
      std::string stream = "GET /" + Text(pad) + " HTTP/1.1\r\nHost:" + host + Text(pad % 5) + "\r\n\r\n";
      FeedInChunks(p, stream, 0, pad % sizeof(ULONG_PTR));
      ASSERT_EQ(p.Problem(), "") << "host " << h << " pad " << pad;
    }
  }
  for (size_t length = 240; length <= 260; ++length) {  // the Host text up to and past its buffer
    CheckedParser p;
    std::string text = Text(length / 2) + ":" + Text(length - length / 2);
    FeedInChunks(p, "GET / HTTP/1.1\r\nHost:" + text + "\r\n\r\n", 0, length % sizeof(ULONG_PTR));
    ASSERT_EQ(p.Problem(), "") << "length " << length;
  }
  CheckedParser p;
  FeedInChunks(p, std::string("GET /a\0b HTTP/1.1\r\nHost: x\r\n\r\n", 30), 0, 1);
  EXPECT_EQ(p.Problem(), "") << "a NUL in the request line";
}
