#include "tools/replay/end_check.h"

#include "host/host.h"
#include "host/ndis.h"

#include <cstdio>
#include <map>

namespace replay {

EndCheck::EndCheck()
    : sequence_(host::pool::AllocationCount()),
      lists_(host::ndis::LiveNetBufferLists()),
      mdls_(host::kernel::MdlCount()) {}

std::vector<std::string> EndCheck::Problems() const {
  std::vector<std::string> problems;
  for (const std::string& v : host::verifier::Violations()) problems.push_back("verifier: " + v);
  struct Use {
    size_t blocks = 0, bytes = 0;
  };
  std::map<ULONG, Use> leaked;
  for (const host::pool::Allocation& a : host::pool::OutstandingSince(sequence_)) {
    ++leaked[a.tag].blocks;
    leaked[a.tag].bytes += a.size;
  }
  for (const auto& [tag, use] : leaked)
    problems.push_back("leak: pool tag " + host::pool::TagText(tag) + ": " + std::to_string(use.blocks) +
                       " block(s), " + std::to_string(use.bytes) + " bytes allocated during the run and not freed");
  unsigned lists = host::ndis::LiveNetBufferLists(), mdls = host::kernel::MdlCount();
  if (lists > lists_)
    problems.push_back("leak: " + std::to_string(lists - lists_) + " net buffer list(s) not freed");
  if (mdls > mdls_) problems.push_back("leak: " + std::to_string(mdls - mdls_) + " MDL(s) not freed");
  return problems;
}

int ReportProblems(const char* prefix, const std::vector<std::string>& problems) {
  for (const std::string& p : problems) std::fprintf(stderr, "%s: %s\n", prefix, p.c_str());
  return problems.empty() ? 0 : 1;
}

}  // namespace replay
