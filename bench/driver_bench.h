// nqwfp_driver_bench: the driver's classify paths and endpoint tables on a
// machine of their own (one process, the driver loaded once, every pool
// block from the host's lean pool, a client that answers at once).
#pragma once
#include "core/driver/client_table.h"

#include <benchmark/benchmark.h>

#include <cstdint>
#include <map>
#include <string>

namespace bench {

// What one benchmark's final run measured, per iteration.
struct Figures {
  double ns = 0;           // CPU time
  double allocations = 0;  // pool allocations
};
using Results = std::map<std::string, Figures>;

// Boots the machine with the lean pool, loads the driver and attaches the
// quiet client; false (with a message) when any of it fails.
bool LoadDriverWithQuietClient();
ClientTable* Client();

// Pool allocations made while the benchmark's timer runs: pausing the timer
// also pauses the count.
class AllocationMeter {
 public:
  explicit AllocationMeter(benchmark::State& state);
  void Pause();
  void Resume();
  // Sets the benchmark's "allocations" counter, per iteration.
  void Finish();

 private:
  benchmark::State& state_;
  uint64_t mark_;
  uint64_t counted_ = 0;
};

void RegisterClassifyBenchmarks();
void RegisterEndpointBenchmarks();
// The tables; each prints nothing when a filter left any of its runs out.
void PrintClassifyTable(const Results& results);
void PrintEndpointTable(const Results& results);

}  // namespace bench
