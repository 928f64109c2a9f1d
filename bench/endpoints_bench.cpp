// The endpoint tables by size: the client's two owner lookups, the datagram
// path's owner by endpoint handle and RecordEndpoint, with 10, 1,000 and
// 10,000 endpoints recorded in each table.
#include "bench/driver_bench.h"
#include "core/classify/endpoints.h"

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
};

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
    {"LookupTcpEndpointOwner, hit", LookupTcpHit},
    {"LookupUdpEndpointOwner, hit", LookupUdpHit},
    {"LookupTcpEndpointOwner, miss", LookupTcpMiss},
    {"UDP owner by handle", UdpOwnerByHandle},
    {"RecordEndpoint, refresh", RecordRefresh},
    {"RecordEndpoint new + release", RecordNewAndRelease},
};

std::string BenchName(const Operation& op, size_t n) { return std::string("endpoints/") + op.name + "/" + std::to_string(n); }

void RunOperation(benchmark::State& state, const Operation& op, size_t n) {
  RecordEndpoints(n);
  std::vector<size_t> order = Scrambled(n);
  AllocationMeter meter(state);
  size_t at = 0;
  for (auto _ : state) {
    op.run(order[at]);
    if (++at == order.size()) at = 0;
  }
  meter.Finish();
}

}  // namespace

void RegisterEndpointBenchmarks() {
  for (size_t n : kSizes)
    for (const Operation& op : kOperations)
      benchmark::RegisterBenchmark(BenchName(op, n).c_str(),
                                   [&op, n](benchmark::State& state) { RunOperation(state, op, n); });
}

void PrintEndpointTable(const Results& results) {
  for (size_t n : kSizes)
    for (const Operation& op : kOperations)
      if (results.count(BenchName(op, n)) == 0) return;
  std::printf("\nEndpoint tables: ns per operation with n endpoints recorded in each table, and the ratio to n = %zu\n\n",
              kSizes[0]);
  std::printf("%-30s", "operation");
  for (size_t n : kSizes) std::printf(" %10s %-7s", ("n=" + std::to_string(n)).c_str(), "");
  std::printf("\n");
  double worst = 0;
  const char* worstName = "";
  for (const Operation& op : kOperations) {
    std::printf("%-30s", op.name);
    double base = results.at(BenchName(op, kSizes[0])).ns;
    for (size_t n : kSizes) {
      double ns = results.at(BenchName(op, n)).ns;
      std::printf(" %10.1f %6.1fx", ns, ns / base);
      if (ns / base > worst) {
        worst = ns / base;
        worstName = op.name;
      }
    }
    std::printf("\n");
  }
  std::printf("\nendpoint tables: highest growth from n=%zu to n=%zu %.1fx (%s)\n", kSizes[0],
              kSizes[sizeof(kSizes) / sizeof(kSizes[0]) - 1], worst, worstName);
}

}  // namespace bench
