// nqwfp subcommands register themselves here; one file per subcommand.
#pragma once
#include <string>
#include <vector>

namespace nqwfp {

struct Command {
  const char* name;
  const char* usage;    // one line: arguments and options
  const char* summary;  // one line: what it does
  int (*run)(const std::vector<std::string>& args);
  Command(const char* name, const char* usage, const char* summary, int (*run)(const std::vector<std::string>&));
};

}  // namespace nqwfp
