// nqwfp subcommands register themselves here; one file per subcommand. Each
// declares what it takes through Arguments; cli.cpp, the one file that
// compiles CLI11, parses them, checks their types and ranges and prints the
// command's help, and every usage error comes out alike: "nqwfp COMMAND:
// why" and exit status 2.
#pragma once
#include <cstdint>
#include <functional>
#include <string>

namespace CLI {
class Option;
}
namespace replay {
struct ReplayOptions;
}

namespace nqwfp {

// Takes an argument's value; refuses a bad one with Refuse().
using Setter = std::function<void(const std::string& value)>;
using Option = CLI::Option*;

class Arguments {
 public:
  virtual ~Arguments() = default;
  // A required argument without an option name, a text that cannot be empty.
  virtual Option Positional(const std::string& name, const std::string& description, std::string* to) = 0;
  // An option of one value: "--log", its kind of value ("FILE|-").
  virtual Option Value(const std::string& name, const std::string& type, const std::string& description,
                       Setter set) = 0;
  // A whole number from low to high.
  virtual Option Number(const std::string& name, const std::string& type, const std::string& description,
                        uint64_t low, uint64_t high, std::function<void(uint64_t)> set) = 0;
  // A flag; names after a '!' turn it off: "--progress,!--no-progress".
  virtual Option Flag(const std::string& names, const std::string& description, std::function<void(bool)> set) = 0;
  virtual void Needs(Option option, Option other) = 0;
  virtual void Excludes(Option option, Option other) = 0;
  // Runs once every argument is parsed, before the command; may Refuse().
  virtual void Check(std::function<void()> check) = 0;
  // Given() of an option: whether the command line has it.
  virtual bool Given(Option option) const = 0;
  // Text after the options in the command's help.
  virtual void Footer(const std::string& text) = 0;

  // A text value that cannot be empty ("--log ''").
  Option Text(const std::string& name, const std::string& type, const std::string& description, std::string* to);
};

struct Command {
  const char* name;
  const char* summary;                 // one line: what it does
  void (*define)(Arguments& arguments);  // declares the arguments, bound to the command's own settings
  int (*run)();                        // runs with the settings parsed
  Command(const char* name, const char* summary, void (*define)(Arguments&), int (*run)());
};

// Refuses the command's arguments: from a setter or a check, before the
// command runs.
[[noreturn]] void Refuse(const std::string& why);

// What the replay and the sweep both take: the capture, --local, --policy,
// --client and --client-arg, the check that --client-arg has a --client,
// and the policy language in the help.
void AddReplayInputs(Arguments& arguments, replay::ReplayOptions* options);

}  // namespace nqwfp
