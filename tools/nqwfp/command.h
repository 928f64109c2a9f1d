// nqwfp subcommands register themselves here; one file per subcommand. Each
// declares its options on a CLI11 app of its own, which parses them, checks
// their types and ranges and prints the command's help; every usage error
// comes out alike, "nqwfp COMMAND: why" and exit status 2 (cli.cpp).
#pragma once
#include <string>

namespace CLI {
class App;
class Option;
}  // namespace CLI
namespace replay {
struct ReplayOptions;
}

namespace nqwfp {

struct Command {
  const char* name;
  const char* summary;            // one line: what it does
  void (*define)(CLI::App& app);  // declares the options, bound to the command's own settings
  int (*run)();                   // runs with the settings parsed
  Command(const char* name, const char* summary, void (*define)(CLI::App&), int (*run)());
};

// Refuses the command's arguments: from an option's callback or the app's
// final check, before anything runs.
[[noreturn]] void Refuse(const std::string& why);

// A text option that refuses an empty value ("--log ''").
CLI::Option* AddText(CLI::App& app, const std::string& name, std::string* to, const std::string& type,
                     const std::string& description);

// What the replay and the sweep both take: the capture, --local, --policy,
// --client and --client-arg, and the check that --client-arg has a --client.
void AddReplayInputs(CLI::App& app, replay::ReplayOptions* options);

}  // namespace nqwfp
