// nqwfp load: loads the driver into the host platform, opens its device as a
// client driver would, fills in the client table, raises ClientReady and
// prints what it saw. With --client, a client driver of the user's own
// (an i386 shared object) fills the table instead.
#include "core/driver/driver_entry.h"
#include "host/host.h"
#include "tools/client/loaded_client.h"
#include "tools/nqwfp/command.h"
#include "tools/replay/end_check.h"

#include <cstdio>

namespace {

const char* StatusText(NTSTATUS status) { return NT_SUCCESS(status) ? "success" : "failure"; }

// The slots a client filled, of the 25 that are the client's.
unsigned FilledSlots(const ClientTable* t) {
  const void* slots[] = {
      (void*)t->ReportConnect, (void*)t->ReportAccept, (void*)t->ReportPayload, (void*)t->ReportListen,
      (void*)t->ReportHttpRequest, (void*)t->ReportHttpSecondary, (void*)t->ReleasePendHandle,
      (void*)t->DecidePended, (void*)t->QueryBind, (void*)t->QueryConnect, (void*)t->QueryAccept,
      (void*)t->QueryListen, (void*)t->QueryHttpPrimary, (void*)t->QueryHttpSecondary,
      (void*)t->ReportHttpSecondaryExempt, (void*)t->CheckHttpExempt, (void*)t->GetUrlReply,
      (void*)t->GetPrimaryReply, (void*)t->GetSecondaryReply, (void*)t->ReleaseReplyObject,
      (void*)t->ReportStreamSent, (void*)t->ReportStreamReceived, (void*)t->ReportDatagramSent,
      (void*)t->ReportDatagramReceived, (void*)t->InspectInboundPacket};
  unsigned filled = 0;
  for (const void* slot : slots) filled += slot != nullptr;
  return filled;
}

std::string clientPath;

void DefineLoad(nqwfp::Arguments& arguments) {
  arguments.Text("--client", "PATH.so", "your own client driver, an i386 shared object, fills the table instead",
                 &clientPath);
}

int RunLoad() {
  NTSTATUS status = host::io::LoadDriver(DriverEntry, u"nqwfpdrv");
  std::printf("DriverEntry returned 0x%08X (%s)\n", static_cast<unsigned>(status), StatusText(status));
  if (!NT_SUCCESS(status)) return 1;
  // A client's DriverEntry follows the driver's; what either keeps from its
  // load on stays.
  std::string error;
  client::LoadOutcome outcome = client::LoadOutcome::kReady;
  if (!clientPath.empty()) outcome = client::LoadClientDriver(clientPath, "", &error);
  if (outcome == client::LoadOutcome::kFailed) {
    std::fprintf(stderr, "nqwfp load: %s\n", error.c_str());
    return 1;
  }
  replay::EndCheck check;

  PDEVICE_OBJECT device = host::io::FindDevice(u"\\Device\\NQ_WFP_BASE_DRV");
  if (device == nullptr) {
    std::printf("no device \\Device\\NQ_WFP_BASE_DRV\n");
    return 1;
  }
  std::printf("device \\Device\\NQ_WFP_BASE_DRV: type 0x%X, extension %u bytes\n",
              static_cast<unsigned>(device->DeviceType), static_cast<unsigned>(sizeof(ClientTable)));

  host::io::IrpResult create = host::io::SendIrp(device, IRP_MJ_CREATE);
  std::printf("open (IRP_MJ_CREATE): status 0x%08X, information %u\n", static_cast<unsigned>(create.ioStatus.Status),
              static_cast<unsigned>(create.ioStatus.Information));

  auto* table = static_cast<ClientTable*>(device->DeviceExtension);
  std::printf("client table %s: Version %u, Signature 0x%08X, ClientReady %u\n",
              clientPath.empty() ? "before attach" : "after the client's DriverEntry", table->Version,
              table->Signature, table->ClientReady);
  std::printf("  LookupUdpEndpointOwner %s, LookupTcpEndpointOwner %s\n",
              table->LookupUdpEndpointOwner ? "set" : "null", table->LookupTcpEndpointOwner ? "set" : "null");

  if (clientPath.empty()) {
    client::StandInClient::Instance().Attach();
    std::printf("client attached: every slot filled, ClientReady %u\n", table->ClientReady);
  } else {
    std::printf("client %s loaded: ClientReady %u, %u of 25 slots filled, %u file object(s) left open\n",
                clientPath.c_str(), table->ClientReady, FilledSlots(table), host::io::OpenFileObjectCount());
    if (outcome == client::LoadOutcome::kNotReady) {
      std::fprintf(stderr, "nqwfp load: warning: the client never raised ClientReady: no call goes into it\n");
      return 1;
    }
  }

  NqU64 owner = 0;
  NqU32 found = table->LookupTcpEndpointOwner(0, 80, &owner);
  std::printf("LookupTcpEndpointOwner(0.0.0.0, 80) = %u (the endpoint tables are empty)\n", found);

  host::io::IrpResult close = host::io::SendIrp(device, IRP_MJ_CLOSE);
  std::printf("close (IRP_MJ_CLOSE): status 0x%08X\n", static_cast<unsigned>(close.ioStatus.Status));
  host::io::IrpResult read = host::io::SendIrp(device, IRP_MJ_READ);
  std::printf("read (IRP_MJ_READ): status 0x%08X (refused by the I/O manager)\n",
              static_cast<unsigned>(read.ioStatus.Status));

  std::vector<std::string> problems = check.Problems();
  std::printf("verifier and pool: %zu problem(s)\n", problems.size());
  return replay::ReportProblems("nqwfp load", problems);
}

const nqwfp::Command kLoad{"load",
                           "load the driver, attach the stand-in client (or your own) and show the client table",
                           DefineLoad, RunLoad};

}  // namespace
