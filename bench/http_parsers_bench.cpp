// nqwfp_bench: the driver's HTTP request parser against nodejs http-parser
// and picohttpparser on one corpus of realistic request streams, cut into
// chunks from one byte to whole streams. Prints Google Benchmark's report,
// then MB/s (10^6 bytes per second) of each parser and the ratios, once as
// measured and once without the host platform's pool and lock traffic.
#include "bench/corpus.h"
#include "bench/parsers.h"

#include <benchmark/benchmark.h>

#include <unistd.h>

#include <cstdio>
#include <map>

namespace {

constexpr size_t kChunks[] = {1, 16, 128, 536, 1460, 0};  // 0: each stream whole
constexpr size_t kParserCount = sizeof(bench::kParsers) / sizeof(bench::kParsers[0]);

std::string ChunkText(size_t chunk) { return chunk == 0 ? "whole" : std::to_string(chunk); }

// Keeps bytes per second of every run while the console report goes on.
class Collector : public benchmark::ConsoleReporter {
 public:
  Collector() : ConsoleReporter(isatty(fileno(stdout)) ? OO_Color : OO_None) {}
  void ReportRuns(const std::vector<Run>& runs) override {
    for (const Run& run : runs) {
      auto rate = run.counters.find("bytes_per_second");
      if (rate != run.counters.end() && !run.error_occurred) bytesPerSecond[run.benchmark_name()] = rate->second.value;
    }
    ConsoleReporter::ReportRuns(runs);
  }
  std::map<std::string, double> bytesPerSecond;
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

const char* const kPoolTraffic = "host pool and lock traffic of ParseHttpRequests";

void PrintRow(const char* label, const double* mbps, size_t columns) {
  std::printf("%-8s", label);
  for (size_t p = 0; p < columns; ++p) std::printf(" %18.1f", mbps[p]);
  for (size_t p = 1; p < kParserCount; ++p) std::printf("   %17.2fx", mbps[0] / mbps[p]);
  std::printf("\n");
}

void PrintHeader(const char* first) {
  std::printf("%-8s %18s", "chunk", first);
  for (size_t k = 1; k < kParserCount; ++k) std::printf(" %18s", bench::kParsers[k].name);
  for (size_t k = 1; k < kParserCount; ++k) std::printf("   vs %-15s", bench::kParsers[k].name);
  std::printf("\n");
}

// One table of MB/s per chunking, the last row weighing every chunking
// equally (corpus passes per second). poolSeconds is taken off the first
// parser's time per pass.
void PrintTable(const bench::Corpus& corpus, const std::map<std::string, double>& rates, double poolSeconds) {
  const size_t chunkCount = sizeof(kChunks) / sizeof(kChunks[0]);
  double secondsPerPass[kParserCount] = {};
  for (size_t chunk : kChunks) {
    double mbps[kParserCount];
    for (size_t p = 0; p < kParserCount; ++p) {
      double seconds = corpus.bytes / rates.at(Name(bench::kParsers[p], chunk)) - (p == 0 ? poolSeconds : 0);
      mbps[p] = corpus.bytes / seconds / 1e6;
      secondsPerPass[p] += seconds;
    }
    PrintRow(ChunkText(chunk).c_str(), mbps, kParserCount);
  }
  double overall[kParserCount];
  for (size_t p = 0; p < kParserCount; ++p) overall[p] = corpus.bytes * chunkCount / secondsPerPass[p] / 1e6;
  PrintRow("all", overall, kParserCount);
}

void PrintTables(const bench::Corpus& corpus, const std::map<std::string, double>& rates) {
  for (const bench::Parser& parser : bench::kParsers)
    for (size_t chunk : kChunks)
      if (rates.count(Name(parser, chunk)) == 0) return;  // a filtered run: no tables
  std::printf("\nHTTP request corpus: %zu streams, %zu requests, %zu bytes; MB/s = 10^6 bytes/s\n\n",
              corpus.streams.size(), corpus.requests, corpus.bytes);
  PrintHeader(bench::kParsers[0].name);
  PrintTable(corpus, rates, 0);
  auto pool = rates.find(kPoolTraffic);
  if (pool == rates.end()) return;
  double poolSeconds = corpus.bytes / pool->second;
  std::printf("\nParseHttpRequests includes four pool blocks and two queue-lock passes per request, through the\n"
              "host platform's accounting pool and lock: %.1f us per corpus pass. Without them:\n\n",
              poolSeconds * 1e6);
  PrintHeader("own work only");
  PrintTable(corpus, rates, poolSeconds);
}

}  // namespace

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  const bench::Corpus& corpus = bench::RequestCorpus();
  if (!SameRequestsEverywhere(corpus)) return 1;

  for (size_t chunk : kChunks) {
    for (const bench::Parser& parser : bench::kParsers) {
      benchmark::RegisterBenchmark(Name(parser, chunk).c_str(), [&corpus, parser, chunk](benchmark::State& state) {
        for (auto _ : state) {
          long requests = 0;
          for (const std::string& stream : corpus.streams) requests += parser.feed(stream, chunk);
          benchmark::DoNotOptimize(requests);
        }
        state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * corpus.bytes));
      });
    }
  }
  static const bench::PoolTraffic traffic = bench::RecordPoolTraffic(corpus.streams);
  benchmark::RegisterBenchmark(kPoolTraffic, [&corpus](benchmark::State& state) {
    for (auto _ : state) benchmark::DoNotOptimize(bench::ReplayPoolTraffic(traffic));
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * corpus.bytes));
  });
  Collector collector;
  benchmark::RunSpecifiedBenchmarks(&collector);
  PrintTables(corpus, collector.bytesPerSecond);
  benchmark::Shutdown();
  return 0;
}
