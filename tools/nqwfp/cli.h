// Internal to nqwfp: the registry of commands and their command lines
// (cli.cpp, the one file that compiles CLI11).
#pragma once
#include "tools/nqwfp/command.h"

#include <string>
#include <vector>

namespace nqwfp {

std::vector<const Command*>& Commands();
// Every option as the command accepts it, positionals first:
// "CAPTURE [--local ADDR] ... [--progress|--no-progress]".
std::string Usage(const Command& command);
// The command's help: its usage, its options explained, and what follows.
std::string Help(const Command& command);
// Parses argv (argv[0] the command's name) and runs the command; usage
// errors are one line, "nqwfp COMMAND: why", and exit status 2.
int Run(const Command& command, int argc, const char* const* argv);

}  // namespace nqwfp
