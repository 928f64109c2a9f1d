// libFuzzer target: the request header parser against its byte-at-a-time
// reference, fed in chunks that the input chooses.
//
// Input: byte 0 gives n (mod 32), the next n bytes are chunk sizes used in
// turn (0 is a zero-length call), the rest is the stream. With n = 0 the
// stream goes in one call. After every call CheckedParser compares the parser
// with the reference and checks the invariants; any problem aborts.
#include "host/host.h"
#include "tests/http/parser_checks.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>

namespace {

void Fail(const std::string& problem) {
  std::fprintf(stderr, "http parser: %s\n", problem.c_str());
  std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size == 0) return 0;
  size_t n = std::min<size_t>(data[0] % 32, size - 1);
  const uint8_t* sizes = data + 1;
  const uint8_t* stream = sizes + n;
  const size_t length = size - 1 - n;

  host::kernel::SetCurrentIrql(DISPATCH_LEVEL);
  const uint64_t poolMark = host::pool::AllocationCount();
  {
    nqtest::CheckedParser parser;
    size_t at = 0;
    size_t zeroRun = 0;  // zero-length calls in a row; a cycle of them ends the cutting
    for (size_t k = 0; at < length || k == 0; ++k) {
      size_t chunk = length - at;
      if (n != 0 && zeroRun < n) chunk = std::min<size_t>(sizes[k % n], chunk);
      zeroRun = chunk == 0 ? zeroRun + 1 : 0;
      parser.Feed(stream + at, static_cast<uint32_t>(chunk));
      if (!parser.Problem().empty()) Fail(parser.Problem());
      at += chunk;
      if (parser.Parser().queueCount > 16) parser.Drain();
    }
    parser.Release();
  }
  if (!host::pool::OutstandingSince(poolMark).empty()) Fail("pool blocks left after ReleaseHttpParser");
  if (host::kernel::HeldSpinLockCount() != 0) Fail("a spin lock is still held");
  if (!host::verifier::Violations().empty()) Fail("verifier: " + host::verifier::Violations().front());
  return 0;
}
