// A client driver of the user's own: an i386 shared object that exports
// DriverEntry, loaded through the host's I/O manager after nqwfpdrv as
// Windows loads a second driver. Its DriverEntry finds the device, fills the
// slots and raises ClientReady; the stand-in client's recording slots are
// then put in front of the slots it wrote, so that every call into it is
// recorded and logged as the stand-in's are.
#pragma once
#include "tools/client/stand_in_client.h"

#include <string>

namespace client {

enum class LoadOutcome {
  kReady,     // DriverEntry succeeded and raised ClientReady
  kNotReady,  // DriverEntry succeeded, ClientReady stays 0: no calls into it
  kFailed,    // not an i386 shared object, no DriverEntry, or DriverEntry failed
};

// Loads the client at `path` once per machine (later calls return the first
// outcome). `argument`, when not empty, is the binary value "Policy" of the
// key Parameters under the client's service key, where a driver keeps its
// settings. On kFailed, *error is one line.
LoadOutcome LoadClientDriver(const std::string& path, const std::string& argument, std::string* error);

// The answers that pass each call on to the slots the loaded client wrote
// (as they were when its DriverEntry returned).
Answers LoadedClientAnswers();

}  // namespace client
