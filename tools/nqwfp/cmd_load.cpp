// nqwfp load: loads the driver into the host platform, opens its device as a
// client driver would, fills in the client table, raises ClientReady and
// prints what it saw.
#include "core/driver/driver_entry.h"
#include "host/host.h"
#include "tools/client/stand_in_client.h"
#include "tools/nqwfp/command.h"
#include "tools/replay/end_check.h"

#include <cstdio>

namespace {

const char* StatusText(NTSTATUS status) { return NT_SUCCESS(status) ? "success" : "failure"; }

int RunLoad(const std::vector<std::string>& args) {
  if (!args.empty()) {
    std::fprintf(stderr, "nqwfp load: takes no arguments\n");
    return 2;
  }
  NTSTATUS status = host::io::LoadDriver(DriverEntry, u"nqwfpdrv");
  std::printf("DriverEntry returned 0x%08X (%s)\n", static_cast<unsigned>(status), StatusText(status));
  if (!NT_SUCCESS(status)) return 1;
  replay::EndCheck check;  // what the driver holds from its load on stays

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
  std::printf("client table before attach: Version %u, Signature 0x%08X, ClientReady %u\n", table->Version,
              table->Signature, table->ClientReady);
  std::printf("  LookupUdpEndpointOwner %s, LookupTcpEndpointOwner %s\n",
              table->LookupUdpEndpointOwner ? "set" : "null", table->LookupTcpEndpointOwner ? "set" : "null");

  client::StandInClient& standIn = client::StandInClient::Instance();
  standIn.Attach();
  std::printf("client attached: every slot filled, ClientReady %u\n", table->ClientReady);

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

const nqwfp::Command kLoad{"load", "", "load the driver, attach the stand-in client and show the client table",
                           RunLoad};

}  // namespace
