// The command line of every nqwfp command: the registry, the options two
// commands share, and how a command's arguments are parsed, refused and
// explained (its usage line and help).
#include "tools/nqwfp/cli.h"

#include "tools/client/policy.h"
#include "tools/replay/decode.h"
#include "tools/replay/replay.h"

#include <CLI/CLI.hpp>

#include <cstdio>

namespace nqwfp {

std::vector<const Command*>& Commands() {
  static std::vector<const Command*> commands;
  return commands;
}

Command::Command(const char* n, const char* s, void (*d)(CLI::App&), int (*r)())
    : name(n), summary(s), define(d), run(r) {
  Commands().push_back(this);
}

void Refuse(const std::string& why) { throw CLI::ValidationError(why); }

CLI::Option* AddText(CLI::App& app, const std::string& name, std::string* to, const std::string& type,
                     const std::string& description) {
  return app
      .add_option_function<std::string>(
          name,
          [to, name](const std::string& value) {
            if (value.empty()) Refuse(name + " needs a value, not an empty text");
            *to = value;
          },
          description)
      ->type_name(type);
}

void AddReplayInputs(CLI::App& app, replay::ReplayOptions* options) {
  AddText(app, "CAPTURE", &options->capture, "", "a pcap or pcapng file")->required();
  app.add_option_function<std::string>(
         "--local",
         [options](const std::string& value) {
           if (value.empty()) Refuse("--local needs a value, not an empty text");
           if (!replay::ParseIpv4(value, &options->localAddress)) Refuse("'" + value + "' is not an IPv4 address");
           options->haveLocal = true;
         },
         "the host the capture is replayed at (default: the one it was most likely taken on)")
      ->type_name("ADDR");
  AddText(app, "--policy", &options->policy, "FILE", "the stand-in client's policy (below; default: permit all)");
  CLI::Option* client =
      AddText(app, "--client", &options->client, "PATH.so", "your own client driver, an i386 shared object");
  CLI::Option* argument = app.add_option("--client-arg", options->clientArgument,
                                         "the client's Parameters value \"Policy\" (may be empty)")
                              ->type_name("TEXT");
  app.parse_complete_callback([client, argument] {
    if (argument->count() != 0 && client->count() == 0) Refuse("--client-arg is for a --client");
  });
  app.footer(client::PolicyLanguage());
}

namespace {

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

}  // namespace

std::string Names(const CLI::Option& option) {
  std::string names;
  for (const std::string& s : option.get_snames()) names += (names.empty() ? "-" : "|-") + s;
  for (const std::string& l : option.get_lnames()) names += (names.empty() ? "--" : "|--") + l;
  return names;
}

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

std::unique_ptr<CLI::App> AppFor(const Command& command) {
  auto app = std::make_unique<CLI::App>(command.summary, std::string("nqwfp ") + command.name);
  app->formatter(std::make_shared<Formatter>());
  app->set_help_flag("-h,--help", "this help");
  // An option given twice takes its last value, as the shell's convention goes.
  app->option_defaults()->multi_option_policy(CLI::MultiOptionPolicy::TakeLast);
  command.define(*app);
  return app;
}

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
  std::unique_ptr<CLI::App> app = AppFor(command);
  try {
    app->parse(argc, argv);
  } catch (const CLI::CallForHelp&) {
    std::fputs(app->help().c_str(), stdout);
    return 0;
  } catch (const CLI::ParseError& error) {
    std::fprintf(stderr, "nqwfp %s: %s\nusage: nqwfp %s %s (nqwfp help %s explains them)\n", command.name,
                 Why(error, *app).c_str(), command.name, Usage(*app).c_str(), command.name);
    return 2;
  }
  return command.run();
}

}  // namespace nqwfp
