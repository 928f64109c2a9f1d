// The endpoint tables by size: the client's two owner lookups, the datagram
// path's owner by endpoint handle and RecordEndpoint, with 10, 1,000 and
// 10,000 endpoints recorded in each table; each search also as the plain
// walk of the same list under the same lock, which the tables' index
// answers exactly as.
#include "bench/driver_bench.h"
#include "core/classify/endpoints.h"
#include "core/driver/driver_state.h"

#include <cstdio>
#include <string>
#include <vector>

namespace bench {
namespace {

constexpr size_t kSizes[] = {10, 1000, 10000};
constexpr UINT32 kAddress = 0x0200000A;  // 10.0.0.2 in network order
constexpr UINT64 kOwner = 3100;
constexpr UINT16 kFirstPort = 10000;
constexpr UINT16 kMissingPort = 9;

// Endpoint i of the tables: one in eight bound to any address.
UINT64 HandleOf(size_t i) { return 0xC0000000u + i; }
UINT16 PortOf(size_t i) { return static_cast<UINT16>(kFirstPort + i); }
UINT32 AddressOf(size_t i) { return i % 8 == 0 ? 0 : kAddress; }

size_t gRecorded = 0;

// Both tables hold endpoints 0 to n-1, oldest first.
void RecordEndpoints(size_t n) {
  for (; gRecorded < n; ++gRecorded) {
    RecordEndpoint(IPPROTO_TCP, HandleOf(gRecorded), kOwner, AddressOf(gRecorded), PortOf(gRecorded));
    RecordEndpoint(IPPROTO_UDP, HandleOf(gRecorded), kOwner, AddressOf(gRecorded), PortOf(gRecorded));
  }
  for (; gRecorded > n; --gRecorded) {
    ReleaseEndpoint(IPPROTO_TCP, HandleOf(gRecorded - 1));
    ReleaseEndpoint(IPPROTO_UDP, HandleOf(gRecorded - 1));
  }
}

// The recorded endpoints in a fixed scrambled order, so that lookups land
// all over the list.
std::vector<size_t> Scrambled(size_t n) {
  std::vector<size_t> order(n);
  uint32_t x = 0x9E3779B9u;
  for (size_t i = 0; i < n; ++i) order[i] = i;
  for (size_t i = n; i > 1; --i) {
    x ^= x << 13;
    x ^= x >> 17;
    x ^= x << 5;
    std::swap(order[i - 1], order[x % i]);
  }
  return order;
}

struct Operation {
  const char* name;
  // One operation on endpoint `i` of a table of n.
  void (*run)(size_t i);
  // The same search as a walk of the list, or null.
  void (*plain)(size_t i);
};

template <typename Search>
void WalkLocked(KSPIN_LOCK* lock, const Search& search) {
  KIRQL irql = KfAcquireSpinLock(lock);
  benchmark::DoNotOptimize(search());
  KfReleaseSpinLock(lock, irql);
}

void PlainTcpHit(size_t i) {
  WalkLocked(&gDriverState->tcpLock, [i] { return FirstRecordForEndpoint(&gDriverState->tcpEndpoints, kAddress, PortOf(i)); });
}
void PlainUdpHit(size_t i) {
  WalkLocked(&gDriverState->udpLock, [i] { return FirstRecordForEndpoint(&gDriverState->udpEndpoints, kAddress, PortOf(i)); });
}
void PlainTcpMiss(size_t) {
  WalkLocked(&gDriverState->tcpLock,
             [] { return FirstRecordForEndpoint(&gDriverState->tcpEndpoints, kAddress, kMissingPort); });
}
void PlainUdpHandle(size_t i) {
  WalkLocked(&gDriverState->udpLock, [i] { return FirstRecordWithHandle(&gDriverState->udpEndpoints, HandleOf(i)); });
}
void PlainTcpHandle(size_t i) {
  WalkLocked(&gDriverState->tcpLock, [i] { return FirstRecordWithHandle(&gDriverState->tcpEndpoints, HandleOf(i)); });
}

void LookupTcpHit(size_t i) {
  NqU64 pid = 0;
  benchmark::DoNotOptimize(Client()->LookupTcpEndpointOwner(kAddress, PortOf(i), &pid));
}
void LookupUdpHit(size_t i) {
  NqU64 pid = 0;
  benchmark::DoNotOptimize(Client()->LookupUdpEndpointOwner(kAddress, PortOf(i), &pid));
}
void LookupTcpMiss(size_t) {
  NqU64 pid = 0;
  benchmark::DoNotOptimize(Client()->LookupTcpEndpointOwner(kAddress, kMissingPort, &pid));
}
void UdpOwnerByHandle(size_t i) {
  UINT64 pid = 0;
  benchmark::DoNotOptimize(FindUdpOwnerByHandle(HandleOf(i), &pid));
}
void RecordRefresh(size_t i) { RecordEndpoint(IPPROTO_TCP, HandleOf(i), kOwner, AddressOf(i), PortOf(i)); }
void RecordNewAndRelease(size_t) {
  RecordEndpoint(IPPROTO_TCP, 0xF0000000u, kOwner, kAddress, 30000);
  ReleaseEndpoint(IPPROTO_TCP, 0xF0000000u);
}

const Operation kOperations[] = {
    {"LookupTcpEndpointOwner, hit", LookupTcpHit, PlainTcpHit},
    {"LookupUdpEndpointOwner, hit", LookupUdpHit, PlainUdpHit},
    {"LookupTcpEndpointOwner, miss", LookupTcpMiss, PlainTcpMiss},
    {"UDP owner by handle", UdpOwnerByHandle, PlainUdpHandle},
    {"RecordEndpoint, refresh", RecordRefresh, PlainTcpHandle},
    {"RecordEndpoint new + release", RecordNewAndRelease, nullptr},
};

std::string BenchName(const Operation& op, size_t n, bool plain) {
  return std::string("endpoints/") + op.name + (plain ? "/plain walk/" : "/") + std::to_string(n);
}

void RunOperation(benchmark::State& state, void (*run)(size_t), size_t n) {
  RecordEndpoints(n);
  std::vector<size_t> order = Scrambled(n);
  AllocationMeter meter(state);
  size_t at = 0;
  for (auto _ : state) {
    run(order[at]);
    if (++at == order.size()) at = 0;
  }
  meter.Finish();
}

}  // namespace

void RegisterEndpointBenchmarks() {
  for (size_t n : kSizes)
    for (const Operation& op : kOperations)
      for (bool plain : {false, true}) {
        void (*run)(size_t) = plain ? op.plain : op.run;
        if (run == nullptr) continue;
        benchmark::RegisterBenchmark(BenchName(op, n, plain).c_str(),
                                     [run, n](benchmark::State& state) { RunOperation(state, run, n); });
      }
}

void PrintEndpointTable(const Results& results) {
  for (size_t n : kSizes)
    for (const Operation& op : kOperations)
      for (bool plain : {false, true})
        if ((!plain || op.plain != nullptr) && results.count(BenchName(op, n, plain)) == 0) return;
  constexpr size_t kLast = sizeof(kSizes) / sizeof(kSizes[0]) - 1;
  std::printf("\nEndpoint tables: ns per operation with n endpoints in each table; growth is the ratio to n=%zu,\n"
              "plain the walk of the same list under the same lock (the search before the index)\n\n",
              kSizes[0]);
  std::printf("%-38s", "operation");
  for (size_t n : kSizes) std::printf(" %9s %7s", ("n=" + std::to_string(n)).c_str(), "growth");
  std::printf("  plain/index at n=%zu\n", kSizes[kLast]);
  double worst = 0, leastSpeedup = 0;
  const char* worstName = "";
  for (const Operation& op : kOperations) {
    for (bool plain : {false, true}) {
      if (plain && op.plain == nullptr) continue;
      std::string label = std::string(op.name) + (plain ? " (plain)" : "");
      std::printf("%-38s", label.c_str());
      double base = results.at(BenchName(op, kSizes[0], plain)).ns;
      for (size_t n : kSizes) {
        double ns = results.at(BenchName(op, n, plain)).ns;
        std::printf(" %9.1f %6.1fx", ns, ns / base);
      }
      double last = results.at(BenchName(op, kSizes[kLast], plain)).ns;
      if (!plain && last / base > worst) {
        worst = last / base;
        worstName = op.name;
      }
      if (plain) {
        double ratio = last / results.at(BenchName(op, kSizes[kLast], false)).ns;
        std::printf("  %9.1fx", ratio);
        if (leastSpeedup == 0 || ratio < leastSpeedup) leastSpeedup = ratio;
      }
      std::printf("\n");
    }
  }
  std::printf("\nendpoint tables: highest growth from n=%zu to n=%zu %.1fx (%s); at n=%zu the index is at least "
              "%.1fx as fast as the plain walk\n",
              kSizes[0], kSizes[kLast], worst, worstName, kSizes[kLast], leastSpeedup);
}

}  // namespace bench
