#include "tools/client/stand_in_client.h"

#include "host/host.h"

#include <algorithm>
#include <cstddef>
#include <cstring>

namespace client {
namespace {

Arg Num(const char* name, uint64_t value) { return Arg{name, value, {}, {}, false, false}; }
Arg Text(const char* name, const char* text) {
  Arg a{name, reinterpret_cast<uintptr_t>(text), text != nullptr ? text : "", {}, true, false};
  return a;
}
Arg Bytes(const char* name, const void* data, NqU32 length) {
  Arg a{name, reinterpret_cast<uintptr_t>(data), {}, {}, false, true};
  if (data != nullptr) a.bytes.assign(static_cast<const char*>(data), length);
  return a;
}

StandInClient& C() { return StandInClient::Instance(); }

Call Make(const char* slot, std::vector<Arg> args) {
  Call call{slot, std::move(args), host::kernel::CurrentProcessId()};
  if (host::kernel::HeldSpinLockCount() != 0)
    host::verifier::Report("CLIENT_CALLED_WITH_LOCK", std::string(slot) + " was called with a spin lock held");
  return call;
}

// A call that returns nothing: handed to the report answer (a loaded
// client's own slot), then recorded.
void Report(Call call) {
  if (auto& forward = C().answers().report) forward(call);
  C().Record(std::move(call));
}

// ---- the slots, each in the table's calling convention ----------------------------

void NQ_CLIENT_STDCALL ReportConnect(NqU32 isTcp, NqU32 pid, NqThreadId tid, NqU32 ra, NqU32 rp, NqU32 la, NqU32 lp,
                                     NqU32 blocked) {
  Report(Make("ReportConnect", {Num("isTcp", isTcp), Num("processId", pid), Num("threadId", tid),
                                    Num("remoteAddress", ra), Num("remotePort", rp), Num("localAddress", la),
                                    Num("localPort", lp), Num("blocked", blocked)}));
}
void NQ_CLIENT_STDCALL ReportAccept(NqU32 isTcp, NqU32 pid, NqThreadId tid, NqU32 la, NqU32 lp, NqU32 ra, NqU32 rp,
                                    NqU32 blocked) {
  Report(Make("ReportAccept", {Num("isTcp", isTcp), Num("processId", pid), Num("threadId", tid),
                                   Num("localAddress", la), Num("localPort", lp), Num("remoteAddress", ra),
                                   Num("remotePort", rp), Num("blocked", blocked)}));
}
void NQ_CLIENT_STDCALL ReportPayload(NqU32 isTcp, NqU32 pid, NqThreadId tid, NqU32 ra, NqU32 rp, const void* data,
                                     NqU32 length, NqU32 zero) {
  // The buffer holds min(length, what the driver sampled) bytes; the driver
  // passes the sample size implicitly, so record what a client may read:
  // stream samples are at most 250 bytes, datagram payloads are whole.
  NqU32 readable = isTcp != 0 && length > 250 ? 250 : length;
  Report(Make("ReportPayload", {Num("isTcp", isTcp), Num("processId", pid), Num("threadId", tid),
                                    Num("remoteAddress", ra), Num("remotePort", rp), Bytes("data", data, readable),
                                    Num("length", length), Num("reserved", zero)}));
}
void NQ_CLIENT_STDCALL ReportListen(NqU32 pid, NqThreadId tid, NqU32 la, NqU32 lp, NqU32 blocked) {
  Report(Make("ReportListen", {Num("processId", pid), Num("threadId", tid), Num("localAddress", la),
                                   Num("localPort", lp), Num("blocked", blocked)}));
}
void NQ_CLIENT_STDCALL ReportHttpRequest(NqU32 pid, NqThreadId tid, const char* host, const char* method,
                                         const char* url, NqU32 size, NqU32 replied) {
  Report(Make("ReportHttpRequest", {Num("processId", pid), Num("threadId", tid), Text("host", host),
                                        Text("method", method), Text("url", url), Num("requestSize", size),
                                        Num("replied", replied)}));
}
void NQ_CLIENT_STDCALL ReportHttpSecondary(NqU32 pid, NqThreadId tid, const char* host, const char* method,
                                           const char* url, NqU32 size, NqU32 low, NqU32 high) {
  Report(Make("ReportHttpSecondary",
                  {Num("processId", pid), Num("threadId", tid), Text("host", host), Text("method", method),
                   Text("url", url), Num("requestSize", size), Num("value", (uint64_t(high) << 32) | low)}));
}
void NQ_CLIENT_STDCALL ReleasePendHandle(NqPendHandle handle) {
  Report(Make("ReleasePendHandle", {Num("pendHandle", reinterpret_cast<uintptr_t>(handle))}));
  C().PendHandleAnswered(handle, "ReleasePendHandle");
}
NqU32 NQ_CLIENT_STDCALL DecidePended(NqPendHandle handle, NqU32 zero) {
  Call call = Make("DecidePended", {Num("pendHandle", reinterpret_cast<uintptr_t>(handle)), Num("reserved", zero)});
  auto& answer = C().answers().decidePended;
  NqU32 result = answer ? answer(handle) : 0;
  call.args.push_back(Num("result", result));
  C().Record(std::move(call));
  C().PendHandleAnswered(handle, "DecidePended");
  return result;
}

NqU32 Query(Call call, NqPendHandle* pendHandle) {
  auto& answer = C().answers().query;
  NqU32 result = answer ? answer(call, pendHandle) : 0;
  if (*pendHandle != nullptr) C().PendHandleGiven(*pendHandle);
  call.args.push_back(Num("pendHandle", reinterpret_cast<uintptr_t>(*pendHandle)));
  call.args.push_back(Num("result", result));
  C().Record(std::move(call));
  return result;
}
NqU32 NQ_CLIENT_STDCALL QueryBind(NqU32 isTcp, NqU32 pid, NqThreadId tid, NqPendHandle* pend) {
  return Query(Make("QueryBind", {Num("isTcp", isTcp), Num("processId", pid), Num("threadId", tid)}), pend);
}
NqU32 NQ_CLIENT_STDCALL QueryConnect(NqU32 isTcp, NqU32 pid, NqThreadId tid, NqU32 ra, NqU32 rp, NqU32 la, NqU32 lp,
                                     NqPendHandle* pend) {
  return Query(Make("QueryConnect", {Num("isTcp", isTcp), Num("processId", pid), Num("threadId", tid),
                                     Num("remoteAddress", ra), Num("remotePort", rp), Num("localAddress", la),
                                     Num("localPort", lp)}),
               pend);
}
NqU32 NQ_CLIENT_STDCALL QueryAccept(NqU32 isTcp, NqU32 pid, NqThreadId tid, NqU32 la, NqU32 lp, NqU32 ra, NqU32 rp,
                                    NqPendHandle* pend) {
  return Query(Make("QueryAccept", {Num("isTcp", isTcp), Num("processId", pid), Num("threadId", tid),
                                    Num("localAddress", la), Num("localPort", lp), Num("remoteAddress", ra),
                                    Num("remotePort", rp)}),
               pend);
}
NqU32 NQ_CLIENT_STDCALL QueryListen(NqU32 pid, NqThreadId tid, NqU32 la, NqU32 lp, NqPendHandle* pend) {
  return Query(Make("QueryListen", {Num("processId", pid), Num("threadId", tid), Num("localAddress", la),
                                    Num("localPort", lp)}),
               pend);
}
NqU32 NQ_CLIENT_STDCALL QueryHttpPrimary(NqU32 pid, NqThreadId tid, const char* host, const char* method,
                                         const char* url, NqU32 size, NqReplyObject** reply, NqU32* unused) {
  (void)unused;
  Call call = Make("QueryHttpPrimary", {Num("processId", pid), Num("threadId", tid), Text("host", host),
                                        Text("method", method), Text("url", url), Num("requestSize", size)});
  auto& answer = C().answers().queryHttpPrimary;
  NqU32 result = answer ? answer(call, reply) : 0;
  C().HandOutReplyObject(*reply);
  call.args.push_back(Num("replyObject", reinterpret_cast<uintptr_t>(*reply)));
  call.args.push_back(Num("result", result));
  C().Record(std::move(call));
  return result;
}
NqU32 NQ_CLIENT_STDCALL QueryHttpSecondary(NqU32 pid, NqThreadId tid, const char* host, const char* method,
                                           const char* url, NqU32 size, NqReplyObject** reply, NqU64* value) {
  Call call = Make("QueryHttpSecondary", {Num("processId", pid), Num("threadId", tid), Text("host", host),
                                          Text("method", method), Text("url", url), Num("requestSize", size)});
  auto& answer = C().answers().queryHttpSecondary;
  NqU32 result = answer ? answer(call, reply, value) : 0;
  C().HandOutReplyObject(*reply);
  call.args.push_back(Num("replyObject", reinterpret_cast<uintptr_t>(*reply)));
  call.args.push_back(Num("value", *value));
  call.args.push_back(Num("result", result));
  C().Record(std::move(call));
  return result;
}
void NQ_CLIENT_STDCALL ReportHttpSecondaryExempt(NqU32 pid, NqThreadId tid, const char* host) {
  Report(Make("ReportHttpSecondaryExempt", {Num("processId", pid), Num("threadId", tid), Text("host", host)}));
}
NqU32 NQ_CLIENT_STDCALL CheckHttpExempt(const void* data, NqU32 length) {
  Call call = Make("CheckHttpExempt", {Bytes("data", data, length), Num("length", length)});
  auto& answer = C().answers().checkHttpExempt;
  NqU32 result = answer ? answer(data, length) : 0;
  call.args.push_back(Num("result", result));
  C().Record(std::move(call));
  return result;
}
const void* NQ_CLIENT_STDCALL GetUrlReply(const char* url, NqU32* length) {
  Call call = Make("GetUrlReply", {Text("url", url)});
  auto& answer = C().answers().getUrlReply;
  const void* reply = answer ? answer(url, length) : nullptr;
  call.args.push_back(Num("found", reply != nullptr ? 1 : 0));
  if (reply != nullptr) call.args.push_back(Num("length", *length));
  C().Record(std::move(call));
  return reply;
}
// The default replies: what the answer gives, or no bytes.
const void* DefaultReply(const char* slot, const std::function<const void*(NqU32*)>& answer, NqU32* length) {
  Call call = Make(slot, {});
  const void* reply = "";
  if (answer)
    reply = answer(length);
  else
    *length = 0;
  call.args.push_back(Num("length", *length));
  C().Record(std::move(call));
  return reply;
}
const void* NQ_CLIENT_STDCALL GetPrimaryReply(NqU32* length) {
  return DefaultReply("GetPrimaryReply", C().answers().getPrimaryReply, length);
}
const void* NQ_CLIENT_STDCALL GetSecondaryReply(NqU32* length) {
  return DefaultReply("GetSecondaryReply", C().answers().getSecondaryReply, length);
}
void NQ_CLIENT_STDCALL ReleaseReplyObject(NqReplyObject* reply) {
  Report(Make("ReleaseReplyObject", {Num("replyObject", reinterpret_cast<uintptr_t>(reply))}));
  C().ReleaseReplyObject(reply);
}
void NQ_CLIENT_STDCALL ReportStreamSent(NqU32 pid, NqU32 ra, NqU32 rp, NqU32 length) {
  Report(Make("ReportStreamSent",
                  {Num("processId", pid), Num("remoteAddress", ra), Num("remotePort", rp), Num("length", length)}));
}
void NQ_CLIENT_STDCALL ReportStreamReceived(NqU32 pid, NqU32 la, NqU32 lp, NqU32 length) {
  Report(Make("ReportStreamReceived",
                  {Num("processId", pid), Num("localAddress", la), Num("localPort", lp), Num("length", length)}));
}
void NQ_CLIENT_STDCALL ReportDatagramSent(NqU32 pid, NqU32 ra, NqU32 rp, NqU32 length) {
  Report(Make("ReportDatagramSent",
                  {Num("processId", pid), Num("remoteAddress", ra), Num("remotePort", rp), Num("length", length)}));
}
void NQ_CLIENT_STDCALL ReportDatagramReceived(NqU32 pid, NqU32 la, NqU32 lp, NqU32 length) {
  Report(Make("ReportDatagramReceived",
                  {Num("processId", pid), Num("localAddress", la), Num("localPort", lp), Num("length", length)}));
}
NqU32 NQ_CLIENT_CDECL InspectInboundPacket(const void* packet, NqU32 length) {
  C().Record(Make("InspectInboundPacket", {Bytes("data", packet, length), Num("length", length)}));
  auto& answer = C().answers().inspectInboundPacket;
  return answer ? answer(packet, length) : 1;
}

}  // namespace

const Arg* Call::Find(const std::string& name) const {
  for (const Arg& a : args)
    if (a.name == name) return &a;
  return nullptr;
}

uint64_t Call::Value(const std::string& name) const {
  const Arg* a = Find(name);
  return a != nullptr ? a->value : 0;
}

StandInClient& StandInClient::Instance() {
  static StandInClient* instance = new StandInClient();
  return *instance;
}

bool StandInClient::Attach(bool raiseReady) {
  PDEVICE_OBJECT device = host::io::FindDevice(u"\\Device\\NQ_WFP_BASE_DRV");
  if (device == nullptr) return false;
  ClientTable* t = static_cast<ClientTable*>(device->DeviceExtension);
  t->ReportConnect = ReportConnect;
  t->ReportAccept = ReportAccept;
  t->ReportPayload = ReportPayload;
  t->ReportListen = ReportListen;
  t->ReportHttpRequest = ReportHttpRequest;
  t->ReportHttpSecondary = ReportHttpSecondary;
  t->ReleasePendHandle = ReleasePendHandle;
  t->DecidePended = DecidePended;
  t->QueryBind = QueryBind;
  t->QueryConnect = QueryConnect;
  t->QueryAccept = QueryAccept;
  t->QueryListen = QueryListen;
  t->QueryHttpPrimary = QueryHttpPrimary;
  t->QueryHttpSecondary = QueryHttpSecondary;
  t->ReportHttpSecondaryExempt = ReportHttpSecondaryExempt;
  t->CheckHttpExempt = CheckHttpExempt;
  t->GetUrlReply = GetUrlReply;
  t->GetPrimaryReply = GetPrimaryReply;
  t->GetSecondaryReply = GetSecondaryReply;
  t->ReleaseReplyObject = client::ReleaseReplyObject;
  t->ReportStreamSent = ReportStreamSent;
  t->ReportStreamReceived = ReportStreamReceived;
  t->ReportDatagramSent = ReportDatagramSent;
  t->ReportDatagramReceived = ReportDatagramReceived;
  t->InspectInboundPacket = InspectInboundPacket;
  table_ = t;
  // Every slot is written before the ready flag is raised.
  __atomic_thread_fence(__ATOMIC_SEQ_CST);
  if (raiseReady) SetReady(true);
  return true;
}

void StandInClient::SetReady(bool ready) {
  if (table_ != nullptr) __atomic_store_n(&table_->ClientReady, ready ? 1u : 0u, __ATOMIC_SEQ_CST);
}

void StandInClient::SetAnswers(Answers answers) { answers_ = std::move(answers); }

std::vector<Call> StandInClient::Calls() const {
  std::lock_guard<std::mutex> guard(lock_);
  return calls_;
}

std::vector<Call> StandInClient::CallsTo(const std::string& slot) const {
  std::lock_guard<std::mutex> guard(lock_);
  std::vector<Call> out;
  for (const Call& c : calls_)
    if (c.slot == slot) out.push_back(c);
  return out;
}

void StandInClient::ClearCalls() {
  std::lock_guard<std::mutex> guard(lock_);
  calls_.clear();
}

void StandInClient::KeepCalls(bool keep) {
  std::lock_guard<std::mutex> guard(lock_);
  keepCalls_ = keep;
}

bool StandInClient::keepsCalls() const {
  std::lock_guard<std::mutex> guard(lock_);
  return keepCalls_;
}

size_t StandInClient::KeptCallCount() const {
  std::lock_guard<std::mutex> guard(lock_);
  return calls_.size();
}

void StandInClient::OnCall(std::function<void(const Call&)> observer) {
  std::lock_guard<std::mutex> guard(lock_);
  observer_ = std::move(observer);
}

NqReplyObject* StandInClient::NewReplyObject(const std::string& bytes) {
  ReplyObjectEntry entry;
  entry.storage.assign(offsetof(NqReplyObject, Bytes) + std::max<size_t>(bytes.size(), 1), 0);
  auto* object = reinterpret_cast<NqReplyObject*>(entry.storage.data());
  object->Length = static_cast<NqU32>(bytes.size());
  std::memcpy(object->Bytes, bytes.data(), bytes.size());
  std::lock_guard<std::mutex> guard(replyLock_);
  replyObjects_[object] = std::move(entry);
  return object;
}

void StandInClient::ReleaseReplyObject(NqReplyObject* object) {
  std::lock_guard<std::mutex> guard(replyLock_);
  auto it = replyObjects_.find(object);
  if (it == replyObjects_.end()) {
    host::verifier::Report("REPLY_OBJECT_UNKNOWN", "ReleaseReplyObject was given an object the client never handed out");
  } else if (it->second.released >= it->second.handedOut) {
    host::verifier::Report("REPLY_OBJECT_RELEASED_TWICE", "a reply object was released more often than handed out");
  } else if (++it->second.released == it->second.handedOut) {
    ForgetOldReleasedLocked(object);
  }
}

void StandInClient::ForgetOldReleasedLocked(const void* object) {
  released_.push_back(object);
  if (released_.size() <= kReleasedKept) return;
  auto oldest = replyObjects_.find(released_.front());
  released_.pop_front();
  if (oldest != replyObjects_.end() && oldest->second.released == oldest->second.handedOut) replyObjects_.erase(oldest);
}

void StandInClient::HandOutReplyObject(NqReplyObject* object) {
  if (object == nullptr) return;
  std::lock_guard<std::mutex> guard(replyLock_);
  // An object this client did not make (a loaded client's own) is counted
  // from its first hand-out on.
  ++replyObjects_[object].handedOut;
}

unsigned StandInClient::UnreleasedLocked() const {
  unsigned live = 0;
  for (const auto& [object, entry] : replyObjects_) live += entry.handedOut - entry.released;
  return live;
}

unsigned StandInClient::LiveReplyObjects() const {
  std::lock_guard<std::mutex> guard(replyLock_);
  return UnreleasedLocked();
}

void StandInClient::PendHandleGiven(NqPendHandle handle) {
  std::lock_guard<std::mutex> guard(replyLock_);
  ++pendHandles_[handle];
}

void StandInClient::PendHandleAnswered(NqPendHandle handle, const char* slot) {
  std::unique_lock<std::mutex> guard(replyLock_);
  auto it = pendHandles_.find(handle);
  if (it == pendHandles_.end()) {
    guard.unlock();
    host::verifier::Report("PEND_HANDLE_UNKNOWN", std::string(slot) + " of a pend handle no query handed out, or one already answered");
    return;
  }
  if (--it->second == 0) pendHandles_.erase(it);
}

unsigned StandInClient::CheckPendHandles() {
  std::lock_guard<std::mutex> guard(replyLock_);
  unsigned open = 0;
  for (const auto& [handle, count] : pendHandles_) open += count;
  if (open != 0)
    host::verifier::Report("PEND_HANDLE_NOT_ANSWERED", std::to_string(open) +
                                                           " pend handle(s) got neither DecidePended nor ReleasePendHandle");
  pendHandles_.clear();
  return open;
}

unsigned StandInClient::CheckReplyObjects() {
  std::lock_guard<std::mutex> guard(replyLock_);
  unsigned live = UnreleasedLocked();
  if (live != 0)
    host::verifier::Report("REPLY_OBJECT_NOT_RELEASED",
                           std::to_string(live) + " reply object(s) handed out were never released");
  replyObjects_.clear();
  released_.clear();
  return live;
}

void StandInClient::Record(Call call) {
  std::function<void(const Call&)> observer;
  {
    std::lock_guard<std::mutex> guard(lock_);
    if (keepCalls_) calls_.push_back(call);
    observer = observer_;
  }
  if (observer) observer(call);
}

}  // namespace client
