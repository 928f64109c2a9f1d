// nqwfp show-state: boots the host platform, loads the driver and prints the
// filter engine's objects as JSON, as `netsh wfp show state` would. With
// --bfe-stopped the driver loads while the BFE is stopped; the state at load
// (the BFE subscription) is printed, then the BFE is set running and the
// state the notification brought is printed.
#include "core/driver/driver_entry.h"
#include "host/host.h"
#include "host/wfp.h"
#include "tools/nqwfp/command.h"
#include "tools/replay/end_check.h"

#include <cstdio>

namespace {

bool bfeStopped = false;

void DefineShowState(nqwfp::Arguments& arguments) {
  arguments.Flag("--bfe-stopped", "load with the BFE stopped: the state at load, then the state once the BFE runs",
                 [](bool on) { bfeStopped = on; });
}

int RunShowState() {
  if (bfeStopped) host::wfp::SetBfeState(FWPM_SERVICE_STOPPED);
  NTSTATUS status = host::io::LoadDriver(DriverEntry, u"nqwfpdrv");
  if (!NT_SUCCESS(status)) {
    std::fprintf(stderr, "nqwfp show-state: DriverEntry returned 0x%08X\n", static_cast<unsigned>(status));
    return 1;
  }
  replay::EndCheck check;

  if (!bfeStopped) {
    std::printf("%s\n", host::wfp::ToJson(host::wfp::View()).c_str());
  } else {
    std::string atLoad = host::wfp::ToJson(host::wfp::View());
    host::wfp::SetBfeState(FWPM_SERVICE_RUNNING);
    host::kernel::WaitWorkQueueIdle();  // the start-up retry the notification queued
    check = replay::EndCheck();          // what the late start-up made stays
    std::string afterRunning = host::wfp::ToJson(host::wfp::View());
    // Two documents in one object, each indented one level further.
    auto indent = [](const std::string& text) {
      std::string out;
      for (char c : text) {
        out += c;
        if (c == '\n') out += "  ";
      }
      return out;
    };
    std::printf("{\n  \"atLoad\": %s,\n  \"afterRunning\": %s\n}\n", indent(atLoad).c_str(),
                indent(afterRunning).c_str());
  }

  return replay::ReportProblems("nqwfp show-state", check.Problems());
}

const nqwfp::Command kShowState{"show-state", "load the driver and print the filter engine's objects as JSON",
                                DefineShowState, RunShowState};

}  // namespace
