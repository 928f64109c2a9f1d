// nqwfp: runs the driver on the host platform from the command line.
#include "tools/nqwfp/cli.h"

#include "nqwfp_commit.h"  // NQ_TOOL_COMMIT, written at build time

#include <cstdio>
#include <cstring>

namespace {
using nqwfp::Command;

const Command* Find(const char* name) {
  for (const Command* c : nqwfp::Commands())
    if (std::strcmp(name, c->name) == 0) return c;
  return nullptr;
}

int Overview(FILE* out) {
  std::fprintf(out,
               "usage: nqwfp COMMAND [ARGS]\n       nqwfp help COMMAND    the command's options explained\n"
               "       nqwfp --version\n\ncommands:\n");
  for (const Command* c : nqwfp::Commands())
    std::fprintf(out, "  %-12s %s\n      %s %s\n", c->name, c->summary, c->name,
                 nqwfp::Usage(*c).c_str());
  return out == stdout ? 0 : 2;
}

int Help(int argc, char** argv) {
  if (argc < 3) return Overview(stdout);
  const Command* c = Find(argv[2]);
  if (c == nullptr) {
    std::fprintf(stderr, "nqwfp help: unknown command '%s'\n", argv[2]);
    return Overview(stderr);
  }
  std::fputs(nqwfp::Help(*c).c_str(), stdout);
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) return Overview(stderr);
  if (std::strcmp(argv[1], "-h") == 0 || std::strcmp(argv[1], "--help") == 0 || std::strcmp(argv[1], "help") == 0)
    return Help(argc, argv);
  if (std::strcmp(argv[1], "--version") == 0) {
    std::printf("nqwfp %s (commit %s)\n", NQ_TOOL_VERSION, NQ_TOOL_COMMIT);
    return 0;
  }
  if (const Command* c = Find(argv[1])) return nqwfp::Run(*c, argc - 1, argv + 1);
  std::fprintf(stderr, "nqwfp: unknown command '%s'\n", argv[1]);
  return Overview(stderr);
}
