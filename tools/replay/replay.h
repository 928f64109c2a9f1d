// Replaying a packet capture through the driver on the host platform, with
// the stand-in client answering from a policy.
#pragma once
#include "tools/replay/summary.h"

#include <cstdint>
#include <cstdio>
#include <ostream>
#include <string>
#include <vector>

namespace replay {

struct ReplayOptions {
  std::string capture;
  std::string policy;           // empty: permit everything, one default process
  std::string client;           // a client driver (.so) to load instead of the stand-in's answers
  std::string clientArgument;   // its Parameters value "Policy"; empty: none
  std::string log;              // JSON lines; "-" for standard output; empty for none
  std::ostream* logStream = nullptr;  // instead of `log`
  std::string write;            // pcapng: every packet read, with what became of it, and every injection
  std::string writePassed;      // pcapng: the packets delivered and every injection
  std::string summaryJson;      // the summary as JSON; empty for none
  bool haveLocal = false;
  uint32_t localAddress = 0;    // host order
  double idleSeconds = 90;      // a flow with no packet for this long ends; from a millisecond to a year
  int progress = -1;            // progress line on standard error: -1 when it is a terminal (ShowsProgress)
  size_t mdlSplit = 0;          // stream data longer than this is split over two MDLs there; 0: one MDL
  bool keepClientCalls = false; // the stand-in client keeps every call for Calls() as well as logging it
};

struct ReplayResult {
  int exitCode = 0;             // 0 done; 1 bad input (the error says why)
  std::string error;            // one line
  std::string warning;          // one line, the run still done (a client that never became ready)
  std::string localChoice;      // how the local address was chosen
  uint32_t localAddress = 0;
  std::string linkName;
  Summary summary;
  // What the run left behind on the host platform (verifier violations,
  // leaks, reply objects never released); any of them makes the exit code 1.
  std::vector<std::string> problems;
};

// Boots the machine on first use (driver loaded, BFE running, client
// attached) and replays the capture through it.
ReplayResult Replay(const ReplayOptions& options);

// Reads an idle time given as text (--idle); out of range or not a number,
// the error says the range.
bool ParseIdleSeconds(const std::string& text, double* seconds, std::string* error);

// Whether the replay shows its progress line: asked for, or by default when
// standard error is a terminal; never while the log goes to a terminal on
// standard output, where the line would land inside its records.
bool ShowsProgress(const ReplayOptions& options);

// Works out the local host's address from a capture, the host it was most
// likely taken on: the source of packets a Linux cooked capture marks as
// outgoing, else the address in the most packets, and on a tie the one that
// opened the most connections (sent the SYNs, or the first datagram of a UDP
// conversation). `how` says in one line why, and how to choose the other host.
bool ChooseLocalAddress(const std::string& capture, uint32_t* address, std::string* how, std::string* error);

// An address given with --local is in some IPv4 packet of the capture; the
// error says when it is not.
bool CheckLocalAddress(const std::string& capture, uint32_t address, std::string* error);

}  // namespace replay
