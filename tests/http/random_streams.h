// Random outbound streams for the parser: requests with and without bodies,
// long lines, odd Host and Content-Length lines, bare line feeds, stray CRs,
// NUL bytes and raw binary, and random ways of cutting them into chunks.
#pragma once
#include <cstdint>
#include <random>
#include <string>
#include <vector>

namespace nqtest {

class RandomStreams {
 public:
  explicit RandomStreams(uint32_t seed) : rng_(seed) {}

  std::string Stream();
  // Chunk sizes covering the stream; style 0 mixes every size, 1 is byte by
  // byte, 2 cuts near line ends, 3 takes large chunks.
  std::vector<uint32_t> Chunks(size_t length, int style);

 private:
  uint32_t Below(uint32_t n) { return std::uniform_int_distribution<uint32_t>(0, n - 1)(rng_); }
  bool OneIn(uint32_t n) { return Below(n) == 0; }
  std::string Text(size_t n);
  std::string LineEnd();
  std::string Request();

  std::mt19937 rng_;
};

}  // namespace nqtest
