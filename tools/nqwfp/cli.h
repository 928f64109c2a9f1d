// Internal to nqwfp: the registry of commands and their CLI11 apps (cli.cpp).
#pragma once
#include "tools/nqwfp/command.h"

#include <memory>
#include <string>
#include <vector>

namespace nqwfp {

std::vector<const Command*>& Commands();
// The command's app, its options declared, ready to parse or to explain.
std::unique_ptr<CLI::App> AppFor(const Command& command);
// Every option as the command accepts it, positionals first:
// "CAPTURE [--local ADDR] ... [--progress|--no-progress]".
std::string Usage(const CLI::App& app);
// An option's names joined by '|': "--progress|--no-progress".
std::string Names(const CLI::Option& option);
// Parses argv (argv[0] the command's name) and runs the command; usage
// errors are one line, "nqwfp COMMAND: why", and exit status 2.
int Run(const Command& command, int argc, const char* const* argv);

}  // namespace nqwfp
