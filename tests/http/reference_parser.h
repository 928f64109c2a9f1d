// A byte-at-a-time model of the request header parser, written straight from
// its rules without any shortcut, to check the driver's parser against. It
// keeps its requests in a plain list and never runs out of memory.
#pragma once
#include <cstdint>
#include <deque>
#include <string>

namespace nqtest {

struct ReferenceRequest {
  uint32_t size;
  std::string requestLine;
  std::string host;
};

struct ReferenceParser {
  uint32_t state = 0;  // a fresh parser of an inspected flow
  uint32_t headerBytes = 0;
  uint32_t bodyRemaining = 0;
  uint8_t hasContentLength = 0;
  uint32_t lineState = 0;
  uint32_t lineIndex = 0;
  char requestLine[256] = {};
  char headerLine[256] = {};
  char host[256] = {};
  uint32_t lineLength = 0;
  std::deque<ReferenceRequest> queue;  // oldest first

  // Returns the number of requests completed in this call.
  uint32_t Parse(const uint8_t* data, uint32_t length);

 private:
  bool Store(uint32_t contentLength);
};

}  // namespace nqtest
