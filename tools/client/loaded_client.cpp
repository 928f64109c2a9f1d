#include "tools/client/loaded_client.h"

#include "host/host.h"

#include <dlfcn.h>

#include <cstdio>
#include <cstring>
#include <fstream>

namespace client {
namespace {

ClientTable inner;  // the slots the loaded client wrote
bool loaded = false;
LoadOutcome firstOutcome = LoadOutcome::kFailed;
std::string firstError;

// An i386 ELF shared object: class 32, little-endian, type ET_DYN, machine EM_386.
bool IsI386SharedObject(const std::string& path, std::string* why) {
  std::ifstream in(path, std::ios::binary);
  if (!in) {
    *why = "cannot be read";
    return false;
  }
  unsigned char h[20] = {};
  in.read(reinterpret_cast<char*>(h), sizeof h);
  if (in.gcount() != sizeof h || std::memcmp(h, "\x7f" "ELF", 4) != 0) {
    *why = "is not an ELF file";
    return false;
  }
  unsigned type = h[16] | h[17] << 8, machine = h[18] | h[19] << 8;
  if (h[4] != 1 || h[5] != 1 || machine != 3) {
    *why = "is not an i386 object (ELF class " + std::to_string(h[4]) + ", machine " + std::to_string(machine) + ")";
    return false;
  }
  if (type != 3) {
    *why = "is not a shared object";
    return false;
  }
  return true;
}

std::u16string ServiceName(const std::string& path) {
  std::string base = path.substr(path.find_last_of('/') + 1);
  base = base.substr(0, base.find('.'));
  return std::u16string(base.begin(), base.end());
}

LoadOutcome Load(const std::string& path, const std::string& argument, std::string* error) {
  std::string why;
  if (!IsI386SharedObject(path, &why)) {
    *error = "the client '" + path + "' " + why;
    return LoadOutcome::kFailed;
  }
  void* module = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
  if (module == nullptr) {
    *error = "the client '" + path + "' cannot be loaded: " + dlerror();
    return LoadOutcome::kFailed;
  }
  auto entry = reinterpret_cast<PDRIVER_INITIALIZE>(dlsym(module, "DriverEntry"));
  if (entry == nullptr) {
    *error = "the client '" + path + "' exports no DriverEntry";
    return LoadOutcome::kFailed;
  }
  std::u16string service = ServiceName(path);
  if (!argument.empty()) host::registry::SetServiceParameter(service.c_str(), u"Policy", argument);
  NTSTATUS status = host::io::LoadDriver(entry, service.c_str());
  if (!NT_SUCCESS(status)) {
    char text[96];
    std::snprintf(text, sizeof text, "' failed: DriverEntry returned 0x%08X", static_cast<unsigned>(status));
    *error = "the client '" + path + text;
    return LoadOutcome::kFailed;
  }
  PDEVICE_OBJECT device = host::io::FindDevice(u"\\Device\\NQ_WFP_BASE_DRV");
  if (device == nullptr) {
    *error = "the driver created no device \\Device\\NQ_WFP_BASE_DRV";
    return LoadOutcome::kFailed;
  }
  auto* table = static_cast<ClientTable*>(device->DeviceExtension);
  std::memcpy(static_cast<void*>(&inner), table, sizeof inner);
  bool ready = __atomic_load_n(&table->ClientReady, __ATOMIC_SEQ_CST) != 0;
  // The recording slots go in front of the client's; the flag stays as the
  // client left it.
  StandInClient::Instance().Attach(ready);
  return ready ? LoadOutcome::kReady : LoadOutcome::kNotReady;
}

NqU32 U32(const Call& c, const char* name) { return static_cast<NqU32>(c.Value(name)); }
NqThreadId Tid(const Call& c) { return static_cast<NqThreadId>(c.Value("threadId")); }
const char* Str(const Call& c, const char* name) { return reinterpret_cast<const char*>(c.Value(name)); }
const void* Ptr(const Call& c, const char* name) { return reinterpret_cast<const void*>(c.Value(name)); }

// Calls that return nothing, passed on with the arguments the driver gave.
void PassReport(const Call& c) {
  const ClientTable& t = inner;
  const std::string& s = c.slot;
  if (s == "ReportConnect")
    t.ReportConnect(U32(c, "isTcp"), U32(c, "processId"), Tid(c), U32(c, "remoteAddress"), U32(c, "remotePort"),
                    U32(c, "localAddress"), U32(c, "localPort"), U32(c, "blocked"));
  else if (s == "ReportAccept")
    t.ReportAccept(U32(c, "isTcp"), U32(c, "processId"), Tid(c), U32(c, "localAddress"), U32(c, "localPort"),
                   U32(c, "remoteAddress"), U32(c, "remotePort"), U32(c, "blocked"));
  else if (s == "ReportListen")
    t.ReportListen(U32(c, "processId"), Tid(c), U32(c, "localAddress"), U32(c, "localPort"), U32(c, "blocked"));
  else if (s == "ReportPayload")
    t.ReportPayload(U32(c, "isTcp"), U32(c, "processId"), Tid(c), U32(c, "remoteAddress"), U32(c, "remotePort"),
                    Ptr(c, "data"), U32(c, "length"), U32(c, "reserved"));
  else if (s == "ReportHttpRequest")
    t.ReportHttpRequest(U32(c, "processId"), Tid(c), Str(c, "host"), Str(c, "method"), Str(c, "url"),
                        U32(c, "requestSize"), U32(c, "replied"));
  else if (s == "ReportHttpSecondary")
    t.ReportHttpSecondary(U32(c, "processId"), Tid(c), Str(c, "host"), Str(c, "method"), Str(c, "url"),
                          U32(c, "requestSize"), static_cast<NqU32>(c.Value("value")),
                          static_cast<NqU32>(c.Value("value") >> 32));
  else if (s == "ReportHttpSecondaryExempt")
    t.ReportHttpSecondaryExempt(U32(c, "processId"), Tid(c), Str(c, "host"));
  else if (s == "ReleasePendHandle")
    t.ReleasePendHandle(reinterpret_cast<NqPendHandle>(c.Value("pendHandle")));
  else if (s == "ReleaseReplyObject")
    t.ReleaseReplyObject(reinterpret_cast<NqReplyObject*>(c.Value("replyObject")));
  else if (s == "ReportStreamSent")
    t.ReportStreamSent(U32(c, "processId"), U32(c, "remoteAddress"), U32(c, "remotePort"), U32(c, "length"));
  else if (s == "ReportStreamReceived")
    t.ReportStreamReceived(U32(c, "processId"), U32(c, "localAddress"), U32(c, "localPort"), U32(c, "length"));
  else if (s == "ReportDatagramSent")
    t.ReportDatagramSent(U32(c, "processId"), U32(c, "remoteAddress"), U32(c, "remotePort"), U32(c, "length"));
  else if (s == "ReportDatagramReceived")
    t.ReportDatagramReceived(U32(c, "processId"), U32(c, "localAddress"), U32(c, "localPort"), U32(c, "length"));
}

NqU32 PassQuery(const Call& c, NqPendHandle* pend) {
  const ClientTable& t = inner;
  const std::string& s = c.slot;
  if (s == "QueryBind") return t.QueryBind(U32(c, "isTcp"), U32(c, "processId"), Tid(c), pend);
  if (s == "QueryListen")
    return t.QueryListen(U32(c, "processId"), Tid(c), U32(c, "localAddress"), U32(c, "localPort"), pend);
  if (s == "QueryAccept")
    return t.QueryAccept(U32(c, "isTcp"), U32(c, "processId"), Tid(c), U32(c, "localAddress"), U32(c, "localPort"),
                         U32(c, "remoteAddress"), U32(c, "remotePort"), pend);
  return t.QueryConnect(U32(c, "isTcp"), U32(c, "processId"), Tid(c), U32(c, "remoteAddress"), U32(c, "remotePort"),
                        U32(c, "localAddress"), U32(c, "localPort"), pend);
}

}  // namespace

LoadOutcome LoadClientDriver(const std::string& path, const std::string& argument, std::string* error) {
  if (!loaded) {
    loaded = true;
    firstOutcome = Load(path, argument, &firstError);
  }
  if (firstOutcome == LoadOutcome::kFailed) *error = firstError;
  return firstOutcome;
}

Answers LoadedClientAnswers() {
  Answers a;
  a.query = PassQuery;
  a.decidePended = [](NqPendHandle handle) { return inner.DecidePended(handle, 0); };
  a.inspectInboundPacket = [](const void* packet, NqU32 length) { return inner.InspectInboundPacket(packet, length); };
  a.getUrlReply = [](const char* url, NqU32* length) { return inner.GetUrlReply(url, length); };
  a.queryHttpPrimary = [](const Call& c, NqReplyObject** reply) {
    NqU32 unused = 0;
    return inner.QueryHttpPrimary(U32(c, "processId"), Tid(c), Str(c, "host"), Str(c, "method"), Str(c, "url"),
                                  U32(c, "requestSize"), reply, &unused);
  };
  a.queryHttpSecondary = [](const Call& c, NqReplyObject** reply, NqU64* value) {
    return inner.QueryHttpSecondary(U32(c, "processId"), Tid(c), Str(c, "host"), Str(c, "method"), Str(c, "url"),
                                    U32(c, "requestSize"), reply, value);
  };
  a.checkHttpExempt = [](const void* data, NqU32 length) { return inner.CheckHttpExempt(data, length); };
  a.getPrimaryReply = [](NqU32* length) { return inner.GetPrimaryReply(length); };
  a.getSecondaryReply = [](NqU32* length) { return inner.GetSecondaryReply(length); };
  a.report = PassReport;
  return a;
}

}  // namespace client
