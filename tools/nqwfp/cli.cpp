// The command line of every nqwfp command: the registry, the options two
// commands share, and how a command's arguments are parsed, refused and
// explained (its usage line and help).
#include "tools/nqwfp/cli.h"

#include "tools/client/policy.h"
#include "tools/replay/decode.h"
#include "tools/replay/replay.h"

#include <CLI/CLI.hpp>

#include <cerrno>
#include <cstdio>
#include <cstdlib>

namespace nqwfp {

std::vector<const Command*>& Commands() {
  static std::vector<const Command*> commands;
  return commands;
}

Command::Command(const char* n, const char* s, void (*d)(Arguments&), int (*r)())
    : name(n), summary(s), define(d), run(r) {
  Commands().push_back(this);
}

void Refuse(const std::string& why) { throw CLI::ValidationError(why); }

Option Arguments::Text(const std::string& name, const std::string& type, const std::string& description,
                       std::string* to) {
  return Value(name, type, description, [to, name](const std::string& value) {
    if (value.empty()) Refuse(name + " needs a value, not an empty text");
    *to = value;
  });
}

void AddReplayInputs(Arguments& arguments, replay::ReplayOptions* options) {
  arguments.Positional("CAPTURE", "a pcap or pcapng file", &options->capture);
  arguments.Value("--local", "ADDR", "the host the capture is replayed at (default: the one it was most likely taken on)",
                  [options](const std::string& value) {
                    if (value.empty()) Refuse("--local needs a value, not an empty text");
                    if (!replay::ParseIpv4(value, &options->localAddress))
                      Refuse("'" + value + "' is not an IPv4 address");
                    options->haveLocal = true;
                  });
  arguments.Text("--policy", "FILE", "the stand-in client's policy (below; default: permit all)", &options->policy);
  Option client =
      arguments.Text("--client", "PATH.so", "your own client driver, an i386 shared object", &options->client);
  Option argument = arguments.Value("--client-arg", "TEXT", "the client's Parameters value \"Policy\" (may be empty)",
                                    [options](const std::string& value) { options->clientArgument = value; });
  arguments.Check([&arguments, client, argument] {
    if (arguments.Given(argument) && !arguments.Given(client)) Refuse("--client-arg is for a --client");
  });
  arguments.Footer(client::PolicyLanguage());
}

namespace {

// Arguments as CLI11 options of the command's app.
class AppArguments : public Arguments {
 public:
  explicit AppArguments(CLI::App& app) : app_(app) {
    app_.callback([this] {
      for (const auto& check : checks_) check();
    });
  }
  Option Positional(const std::string& name, const std::string& description, std::string* to) override {
    return Text(name, "", description, to)->required();
  }
  Option Value(const std::string& name, const std::string& type, const std::string& description,
               Setter set) override {
    return app_.add_option_function<std::string>(name, set, description)->type_name(type);
  }
  Option Number(const std::string& name, const std::string& type, const std::string& description, uint64_t low,
                uint64_t high, std::function<void(uint64_t)> set) override {
    return app_.add_option_function<uint64_t>(name, set, description)
        ->type_name(type)
        ->check(CLI::Validator(
            [low, high](std::string& text) {
              errno = 0;
              uint64_t n = std::strtoull(text.c_str(), nullptr, 10);
              bool digits = !text.empty() && text.find_first_not_of("0123456789") == std::string::npos;
              if (digits && errno == 0 && n >= low && n <= high) return std::string();
              return "'" + text + "' is not a whole number from " + std::to_string(low) + " to " + std::to_string(high);
            },
            ""));
  }
  Option Flag(const std::string& names, const std::string& description, std::function<void(bool)> set) override {
    return app_.add_flag_function(names, [set](int64_t count) { set(count > 0); }, description);
  }
  void Needs(Option option, Option other) override { option->needs(other); }
  void Excludes(Option option, Option other) override { option->excludes(other); }
  void Check(std::function<void()> check) override { checks_.push_back(std::move(check)); }
  bool Given(Option option) const override { return option->count() != 0; }
  void Footer(const std::string& text) override { app_.footer(text); }

 private:
  CLI::App& app_;
  std::vector<std::function<void()>> checks_;
};

// An option's names joined by '|': "--progress|--no-progress".
std::string Names(const CLI::Option& option) {
  std::string names;
  for (const std::string& s : option.get_snames()) names += (names.empty() ? "-" : "|-") + s;
  for (const std::string& l : option.get_lnames()) names += (names.empty() ? "--" : "|--") + l;
  return names;
}

// Every option as the command accepts it, positionals first:
// "CAPTURE [--local ADDR] ... [--progress|--no-progress]".
std::string Usage(const CLI::App& app) {
  std::string line;
  auto add = [&line](const std::string& text) { line += (line.empty() ? "" : " ") + text; };
  for (const CLI::Option* o : app.get_options([](const CLI::Option* o) { return o->get_positional(); }))
    add(o->get_name());
  for (const CLI::Option* o : app.get_options([](const CLI::Option* o) { return o->nonpositional(); })) {
    if (o == app.get_help_ptr()) continue;
    std::string type = o->get_type_size() != 0 && !o->get_type_name().empty() ? " " + o->get_type_name() : "";
    add("[" + Names(*o) + type + "]");
  }
  return line;
}

// Options as the command accepts them: names joined by '|', then the kind
// of value; the usage line lists them in the order they were declared.
class Formatter : public CLI::Formatter {
 public:
  std::string make_usage(const CLI::App* app, std::string name) const override {
    return "usage: " + name + " " + Usage(*app) + "\n";
  }
  std::string make_option_name(const CLI::Option* option, bool positional) const override {
    return positional ? option->get_name() : Names(*option);
  }
  std::string make_option_opts(const CLI::Option* option) const override {
    return option->get_type_size() != 0 && !option->get_type_name().empty() ? " " + option->get_type_name() : "";
  }
};

// The command's app, its arguments declared; the arguments' checks live as
// long as the app.
struct CommandApp {
  CLI::App app;
  AppArguments arguments{app};
  explicit CommandApp(const Command& command) : app(command.summary, std::string("nqwfp ") + command.name) {
    app.formatter(std::make_shared<Formatter>());
    app.set_help_flag("-h,--help", "this help");
    // An option given twice takes its last value, as the shell's convention goes.
    app.option_defaults()->multi_option_policy(CLI::MultiOptionPolicy::TakeLast);
    command.define(arguments);
  }
};

}  // namespace

std::string Usage(const Command& command) { return Usage(CommandApp(command).app); }

std::string Help(const Command& command) { return CommandApp(command).app.help(); }

namespace {

// One line, what CLI11 found wrong in the words of the other errors.
std::string Why(const CLI::ParseError& error, const CLI::App& app) {
  if (dynamic_cast<const CLI::ExtrasError*>(&error) != nullptr && !app.remaining().empty()) {
    std::string extra = app.remaining().front();
    if (extra.size() > 1 && extra[0] == '-') return "unknown option " + extra;
    return "unexpected argument '" + extra + "'";
  }
  std::string what = error.what();
  // The only mismatch an option of one value can have: the value is missing.
  if (dynamic_cast<const CLI::ArgumentMismatch*>(&error) != nullptr && what.find(':') != std::string::npos)
    return what.substr(0, what.find(':')) + " needs a value";
  return what;
}

}  // namespace

int Run(const Command& command, int argc, const char* const* argv) {
  CommandApp c(command);
  try {
    c.app.parse(argc, argv);
  } catch (const CLI::CallForHelp&) {
    std::fputs(c.app.help().c_str(), stdout);
    return 0;
  } catch (const CLI::ParseError& error) {
    std::fprintf(stderr, "nqwfp %s: %s\nusage: nqwfp %s %s (nqwfp help %s explains them)\n", command.name,
                 Why(error, c.app).c_str(), command.name, Usage(c.app).c_str(), command.name);
    return 2;
  }
  return command.run();
}

}  // namespace nqwfp
