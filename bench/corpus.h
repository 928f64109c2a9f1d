// The benchmark's corpus: outbound streams of HTTP/1.1 requests as browsers
// and small clients send them, one stream per connection.
#pragma once
#include <cstddef>
#include <string>
#include <vector>

namespace bench {

struct Corpus {
  std::vector<std::string> streams;
  size_t bytes = 0;
  size_t requests = 0;
};

// Browser-like GETs with a dozen header lines, small form and JSON POSTs with
// bodies, and connections with several pipelined requests; always the same.
const Corpus& RequestCorpus();

}  // namespace bench
