// Non-paged pool with per-tag accounting, leak reports and failure injection.
#include "host/kernel/state.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <unordered_map>

namespace host::pool {
namespace {
struct Block {
  size_t size;
  ULONG tag;
  uint64_t sequence;
};
struct Pool {
  std::mutex lock;
  std::unordered_map<const void*, Block> live;
  uint64_t allocations = 0;
  uint64_t failArmedAt = 0;
  unsigned failNth = 0;
  bool failEvery = false;
  bool failed = false;
  Failure last;
};
Pool& pool() { return detail::Forever<Pool>(); }

constexpr unsigned char kFreshFill = 0xA5;  // memory the driver did not initialise
constexpr unsigned char kFreedFill = 0xDD;

bool ShouldFail(Pool& p) {
  if (p.failNth == 0) return false;
  uint64_t index = p.allocations - p.failArmedAt;  // 1-based since arming
  return index == p.failNth || (p.failEvery && index > p.failNth);
}
}  // namespace

void FailAllocation(unsigned nth, bool every) {
  std::lock_guard<std::mutex> guard(pool().lock);
  pool().failArmedAt = pool().allocations;
  pool().failNth = nth;
  pool().failEvery = every;
}

void ClearFailures() {
  std::lock_guard<std::mutex> guard(pool().lock);
  pool().failNth = 0;
}

uint64_t AllocationCount() {
  std::lock_guard<std::mutex> guard(pool().lock);
  return pool().allocations;
}

std::vector<Allocation> OutstandingSince(uint64_t sequence) {
  std::lock_guard<std::mutex> guard(pool().lock);
  std::vector<Allocation> out;
  for (const auto& [address, block] : pool().live)
    if (block.sequence > sequence) out.push_back({address, block.size, block.tag, block.sequence});
  std::sort(out.begin(), out.end(), [](const Allocation& a, const Allocation& b) { return a.sequence < b.sequence; });
  return out;
}

std::vector<Allocation> Outstanding() { return OutstandingSince(0); }

size_t OutstandingCount(ULONG tag) {
  std::lock_guard<std::mutex> guard(pool().lock);
  size_t n = 0;
  for (const auto& entry : pool().live) n += entry.second.tag == tag;
  return n;
}

bool LastFailure(Failure* failure) {
  std::lock_guard<std::mutex> guard(pool().lock);
  if (pool().failed) *failure = pool().last;
  return pool().failed;
}

std::string TagText(ULONG tag) {
  if (tag == 0) return "(tag 0)";
  std::string text;
  for (int i = 0; i < 4; ++i) {
    char c = static_cast<char>((tag >> (8 * i)) & 0xFF);
    text += (c >= 32 && c < 127) ? c : '.';
  }
  return text;
}

std::string LeakReport(const std::vector<Allocation>& allocations) {
  std::string text;
  for (const Allocation& a : allocations)
    text += "  #" + std::to_string(a.sequence) + " " + std::to_string(a.size) + " bytes, tag " + TagText(a.tag) + "\n";
  return text;
}
}  // namespace host::pool

using namespace host;

extern "C" PVOID NTAPI ExAllocatePoolWithTag(POOL_TYPE poolType, SIZE_T numberOfBytes, ULONG tag) {
  verifier::RequireIrql(poolType == PagedPool ? APC_LEVEL : DISPATCH_LEVEL, "ExAllocatePoolWithTag");
  if (faults::Check("ExAllocatePoolWithTag") != STATUS_SUCCESS) return nullptr;
  auto& p = pool::pool();
  std::lock_guard<std::mutex> guard(p.lock);
  ++p.allocations;
  if (pool::ShouldFail(p)) {
    p.failed = true;
    p.last = pool::Failure{p.allocations, numberOfBytes, tag, detail::CallerStack()};
    return nullptr;
  }
  void* block = std::malloc(numberOfBytes == 0 ? 1 : numberOfBytes);
  if (block == nullptr) return nullptr;
  std::memset(block, pool::kFreshFill, numberOfBytes);
  p.live[block] = pool::Block{numberOfBytes, tag, p.allocations};
  return block;
}

extern "C" VOID NTAPI ExFreePoolWithTag(PVOID block, ULONG tag) {
  verifier::RequireIrql(DISPATCH_LEVEL, "ExFreePoolWithTag");
  auto& p = pool::pool();
  std::unique_lock<std::mutex> guard(p.lock);
  auto it = p.live.find(block);
  if (it == p.live.end()) {
    guard.unlock();
    verifier::Report("BAD_POOL_CALLER", "ExFreePoolWithTag of memory that is not an outstanding pool block");
    return;
  }
  if (it->second.tag != tag) {
    std::string detail = "ExFreePoolWithTag with tag " + pool::TagText(tag) + " for a block allocated with tag " +
                         pool::TagText(it->second.tag);
    guard.unlock();
    verifier::Report("BAD_POOL_CALLER", detail);
    guard.lock();
    it = p.live.find(block);
    if (it == p.live.end()) return;
  }
  std::memset(block, pool::kFreedFill, it->second.size);
  p.live.erase(it);
  std::free(block);
}
