// nqwfp_bench: the driver's HTTP request parser against nodejs http-parser
// and picohttpparser on one corpus of realistic request streams, cut into
// chunks from one byte to whole streams. Prints Google Benchmark's report,
// then MB/s (10^6 bytes per second) of each parser and the ratios: once with
// the driver's pool blocks from the host's verifier pool (a map of live
// blocks under a mutex, for leak reports) and once from its lean pool
// (atomic counts per tag), about what the platform's look-aside path costs;
// then what those blocks and the queue lock alone cost per request.
#include "bench/corpus.h"
#include "bench/parsers.h"
#include "core/driver/driver_state.h"
#include "core/http/http_parser.h"
#include "host/host.h"

#include <benchmark/benchmark.h>

#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <map>

namespace {

constexpr size_t kChunks[] = {1, 16, 128, 536, 1460, 0};  // 0: each stream whole
constexpr size_t kParserCount = sizeof(bench::kParsers) / sizeof(bench::kParsers[0]);

std::string ChunkText(size_t chunk) { return chunk == 0 ? "whole" : std::to_string(chunk); }

// The whole set runs this many times, one parser after the other within each
// pass, so that a slow spell of a shared machine falls on every parser alike;
// the tables take each run's median.
constexpr int kPasses = 7;

// Keeps bytes per second of every run; the console shows the first pass.
class Collector : public benchmark::ConsoleReporter {
 public:
  Collector() : ConsoleReporter(isatty(fileno(stdout)) ? OO_Color : OO_None) {}
  bool ReportContext(const Context& context) override { return quiet || ConsoleReporter::ReportContext(context); }
  void ReportRuns(const std::vector<Run>& runs) override {
    for (const Run& run : runs) {
      auto rate = run.counters.find("bytes_per_second");
      if (rate != run.counters.end() && !run.error_occurred) bytesPerSecond[run.benchmark_name()].push_back(rate->second.value);
    }
    if (!quiet) ConsoleReporter::ReportRuns(runs);
  }
  std::map<std::string, double> Medians() const {
    std::map<std::string, double> medians;
    for (auto [name, rates] : bytesPerSecond) {
      std::sort(rates.begin(), rates.end());
      medians[name] = rates[rates.size() / 2];
    }
    return medians;
  }
  bool quiet = false;
  std::map<std::string, std::vector<double>> bytesPerSecond;
};

std::string Name(const bench::Parser& parser, size_t chunk) {
  return std::string(parser.name) + "/chunk:" + ChunkText(chunk);
}

// Every parser must find every request of the corpus in every chunking.
bool SameRequestsEverywhere(const bench::Corpus& corpus) {
  bool same = true;
  for (const bench::Parser& parser : bench::kParsers) {
    for (size_t chunk : kChunks) {
      long found = 0;
      for (const std::string& stream : corpus.streams) {
        long n = parser.feed(stream, chunk);
        found = n < 0 || found < 0 ? -1 : found + n;
      }
      if (found != static_cast<long>(corpus.requests)) {
        std::fprintf(stderr, "%s found %ld of %zu requests in chunks of %s\n", parser.name, found, corpus.requests,
                     ChunkText(chunk).c_str());
        same = false;
      }
    }
  }
  return same;
}

const char* const kLean = " (lean pool)";
// Names the run of PoolFloor below.
const char* const kFloor = "lean pool blocks and queue lock per request";

void PrintRow(const char* label, const double* mbps) {
  std::printf("%-8s", label);
  for (size_t p = 0; p < kParserCount; ++p) std::printf(" %18.1f", mbps[p]);
  for (size_t p = 1; p < kParserCount; ++p) std::printf("   %17.2fx", mbps[0] / mbps[p]);
  std::printf("\n");
}

void PrintHeader() {
  std::printf("%-8s", "chunk");
  for (const bench::Parser& parser : bench::kParsers) std::printf(" %18s", parser.name);
  for (size_t k = 1; k < kParserCount; ++k) std::printf("   vs %-15s", bench::kParsers[k].name);
  std::printf("\n");
}

// The lowest ratio of ours to one peer, and the chunking where it is.
struct Slowest {
  double ratio = 1e300;
  std::string chunk;
};

// One table of MB/s per chunking, the last row weighing every chunking
// equally (corpus passes per second); `ours` names the driver parser's runs.
void PrintTable(const bench::Corpus& corpus, const std::map<std::string, double>& rates, const std::string& ours,
                Slowest* slowest) {
  const size_t chunkCount = sizeof(kChunks) / sizeof(kChunks[0]);
  double secondsPerPass[kParserCount] = {};
  for (size_t chunk : kChunks) {
    double mbps[kParserCount];
    for (size_t p = 0; p < kParserCount; ++p) {
      std::string name = p == 0 ? ours + "/chunk:" + ChunkText(chunk) : Name(bench::kParsers[p], chunk);
      double seconds = corpus.bytes / rates.at(name);
      mbps[p] = corpus.bytes / seconds / 1e6;
      secondsPerPass[p] += seconds;
    }
    for (size_t p = 1; p < kParserCount && slowest != nullptr; ++p)
      if (mbps[0] / mbps[p] < slowest[p].ratio) slowest[p] = Slowest{mbps[0] / mbps[p], ChunkText(chunk)};
    PrintRow(ChunkText(chunk).c_str(), mbps);
  }
  double overall[kParserCount];
  for (size_t p = 0; p < kParserCount; ++p) overall[p] = corpus.bytes * chunkCount / secondsPerPass[p] / 1e6;
  PrintRow("all", overall);
}

void PrintTables(const bench::Corpus& corpus, const std::map<std::string, double>& rates) {
  const std::string ours = bench::kParsers[0].name, lean = ours + kLean;
  for (size_t chunk : kChunks) {
    for (const bench::Parser& parser : bench::kParsers)
      if (rates.count(Name(parser, chunk)) == 0) return;  // a filtered run: no tables
    if (rates.count(lean + "/chunk:" + ChunkText(chunk)) == 0) return;
  }
  std::printf("\nHTTP request corpus: %zu streams, %zu requests, %zu bytes; MB/s = 10^6 bytes/s, medians of %d "
              "passes\n",
              corpus.streams.size(), corpus.requests, corpus.bytes, kPasses);
  std::printf("\nParseHttpRequests with its four pool blocks per request from the verifier pool:\n\n");
  PrintHeader();
  PrintTable(corpus, rates, ours, nullptr);
  std::printf("\nThe same from the lean pool (counts per tag only, as cheap as a look-aside list):\n\n");
  PrintHeader();
  Slowest slowest[kParserCount];
  PrintTable(corpus, rates, lean, slowest);
  auto floor = rates.find(kFloor);
  if (floor != rates.end())
    std::printf("\nThe %s alone: %.0f ns, so at most %.1f MB/s for any parser that keeps its requests so\n",
                kFloor, corpus.bytes / floor->second / corpus.requests * 1e9, floor->second / 1e6);
  std::printf("\nhttp parsers: slowest ratio to %s %.2f (chunk %s), to %s %.2f (chunk %s)\n",
              bench::kParsers[2].name, slowest[2].ratio, slowest[2].chunk.c_str(), bench::kParsers[1].name,
              slowest[1].ratio, slowest[1].chunk.c_str());
}

void FeedCorpus(benchmark::State& state, const bench::Corpus& corpus, const bench::Parser& parser, size_t chunk) {
  for (auto _ : state) {
    long requests = 0;
    for (const std::string& stream : corpus.streams) requests += parser.feed(stream, chunk);
    benchmark::DoNotOptimize(requests);
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * corpus.bytes));
}

// What every request costs the driver's parser before it reads a byte: its
// four pool blocks (request line and host copies, record, node) taken and
// freed, and the queue lock taken once to queue and once to take it off,
// all from the lean pool. Counted per request of the corpus.

void PoolFloor(benchmark::State& state, const bench::Corpus& corpus) {
  if (!host::pool::UseLeanAccounting(true)) {
    state.SkipWithError("pool blocks are outstanding: the lean pool cannot take over");
    return;
  }
  KSPIN_LOCK lock;
  KeInitializeSpinLock(&lock);
  for (auto _ : state) {
    for (size_t r = 0; r < corpus.requests; ++r) {
      void* line = AllocateNonPaged(48);
      void* hostText = AllocateNonPaged(20);
      void* record = AllocateNonPaged(sizeof(RequestRecord));
      KIRQL oldIrql = KfAcquireSpinLock(&lock);
      void* node = AllocateNonPaged(sizeof(RequestNode));
      KfReleaseSpinLock(&lock, oldIrql);
      benchmark::DoNotOptimize(node);
      oldIrql = KfAcquireSpinLock(&lock);
      FreeNonPaged(node);
      KfReleaseSpinLock(&lock, oldIrql);
      FreeNonPaged(hostText);
      FreeNonPaged(line);
      FreeNonPaged(record);
    }
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * corpus.bytes));
  host::pool::UseLeanAccounting(false);
}

// The driver's parser again, its pool blocks from the lean pool.
void RegisterLean(const bench::Corpus& corpus, size_t chunk) {
  const bench::Parser& ours = bench::kParsers[0];
  std::string name = std::string(ours.name) + kLean + "/chunk:" + ChunkText(chunk);
  benchmark::RegisterBenchmark(name.c_str(), [&corpus, ours, chunk](benchmark::State& state) {
    if (!host::pool::UseLeanAccounting(true)) {
      state.SkipWithError("pool blocks are outstanding: the lean pool cannot take over");
      return;
    }
    FeedCorpus(state, corpus, ours, chunk);
    host::pool::UseLeanAccounting(false);
  });
}

}  // namespace

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  const bench::Corpus& corpus = bench::RequestCorpus();
  if (!SameRequestsEverywhere(corpus)) return 1;

  // Each chunk size in turn: the driver's parser with the verifier pool, then
  // http-parser, then the driver's parser with the lean pool right before
  // picohttpparser, its closest peer, so that the two runs compared in the
  // last line are neighbours in time.
  for (size_t chunk : kChunks) {
    for (size_t p = 0; p < kParserCount; ++p) {
      if (p == 2) RegisterLean(corpus, chunk);
      const bench::Parser& parser = bench::kParsers[p];
      benchmark::RegisterBenchmark(Name(parser, chunk).c_str(), [&corpus, parser, chunk](benchmark::State& state) {
        FeedCorpus(state, corpus, parser, chunk);
      });
    }
  }
  benchmark::RegisterBenchmark(kFloor, [&corpus](benchmark::State& state) { PoolFloor(state, corpus); });
  Collector collector;
  for (int pass = 0; pass < kPasses; ++pass) {
    benchmark::RunSpecifiedBenchmarks(&collector);
    collector.quiet = true;
  }
  PrintTables(corpus, collector.Medians());
  benchmark::Shutdown();
  return 0;
}
