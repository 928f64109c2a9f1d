// Random streams and chunkings: the parser must agree with the reference on
// every call (HttpParserTest checks), however the stream is cut.
#include "tests/http/http_test_support.h"
#include "tests/http/random_streams.h"

namespace {

class RandomStreamsTest : public nqtest::HttpParserTest, public ::testing::WithParamInterface<int> {};

TEST_P(RandomStreamsTest, ParserAgreesWithTheReference) {
  const int style = GetParam();
  nqtest::RandomStreams random(1000 + style);
  uint64_t requests = 0;
  for (int stream = 0; stream < 150; ++stream) {
    nqtest::CheckedParser checked;
    std::string bytes = random.Stream();
    std::vector<uint32_t> sizes = random.Chunks(bytes.size(), style);
    size_t at = 0;
    for (uint32_t size : sizes) {
      uint32_t n = static_cast<uint32_t>(std::min<size_t>(size, bytes.size() - at));
      requests += checked.Feed(bytes.data() + at, n);
      at += n;
      if (checked.Parser().queueCount > 16) checked.Drain();
    }
    ASSERT_EQ(checked.Problem(), "") << "stream " << stream << " of style " << style;
  }
  EXPECT_GT(requests, 100u) << "the streams are mostly requests";
}

INSTANTIATE_TEST_SUITE_P(Chunkings, RandomStreamsTest, ::testing::Values(0, 1, 2, 3));

}  // namespace
