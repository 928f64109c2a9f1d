// nqwfp: runs the driver on the host platform from the command line.
#include "tools/nqwfp/command.h"

#include "nqwfp_commit.h"  // NQ_TOOL_COMMIT, written at build time

#include <cstdio>
#include <cstring>

namespace nqwfp {
namespace {
std::vector<const Command*>& Registry() {
  static std::vector<const Command*> commands;
  return commands;
}
}  // namespace

Command::Command(const char* n, const char* u, const char* s, int (*r)(const std::vector<std::string>&))
    : name(n), usage(u), summary(s), run(r) {
  Registry().push_back(this);
}

static int Usage(FILE* out) {
  std::fprintf(out, "usage: nqwfp COMMAND [ARGS]\n       nqwfp --version\n\ncommands:\n");
  for (const Command* c : Registry()) std::fprintf(out, "  %-12s %s\n      %s %s\n", c->name, c->summary, c->name, c->usage);
  return out == stdout ? 0 : 2;
}

}  // namespace nqwfp

int main(int argc, char** argv) {
  using namespace nqwfp;
  if (argc < 2) return Usage(stderr);
  if (std::strcmp(argv[1], "-h") == 0 || std::strcmp(argv[1], "--help") == 0 || std::strcmp(argv[1], "help") == 0)
    return Usage(stdout);
  if (std::strcmp(argv[1], "--version") == 0) {
    std::printf("nqwfp %s (commit %s)\n", NQ_TOOL_VERSION, NQ_TOOL_COMMIT);
    return 0;
  }
  for (const Command* c : Registry()) {
    if (std::strcmp(argv[1], c->name) == 0) return c->run(std::vector<std::string>(argv + 2, argv + argc));
  }
  std::fprintf(stderr, "nqwfp: unknown command '%s'\n", argv[1]);
  return Usage(stderr);
}
