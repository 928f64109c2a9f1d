// The stand-in client driver: what a firewall's policy driver would be, for
// tests and tools. It finds \Device\NQ_WFP_BASE_DRV, fills every slot of the
// client table in its calling convention, raises ClientReady, records every
// call with its arguments in order (hands it to an observer, and keeps it
// unless told not to), and answers as it is programmed.
//
// On every call it checks that the calling thread holds none of the driver's
// spin locks (a verifier violation otherwise). It hands out reply objects and
// reports, as a verifier violation, one released twice or never, and so a
// pend handle answered twice or never.
#pragma once
#include "core/driver/client_table.h"

#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <mutex>
#include <string>
#include <vector>

namespace client {

struct Arg {
  std::string name;
  uint64_t value = 0;   // numbers, addresses (network order), pointers
  std::string text;     // NUL-terminated strings the driver passed
  std::string bytes;    // byte buffers the driver passed (data, length)
  bool isText = false;
  bool isBytes = false;
};

struct Call {
  std::string slot;
  std::vector<Arg> args;
  uint64_t threadProcessId = 0;  // process the calling thread ran in
  const Arg* Find(const std::string& name) const;
  uint64_t Value(const std::string& name) const;  // 0 when absent
};

// Answers of the client. Every member has a default that permits and
// answers nothing; tests and the policy engine replace what they need.
struct Answers {
  // Verdict queries: return nonzero to block; set *pendHandle to pend.
  std::function<NqU32(const Call&, NqPendHandle*)> query;
  std::function<NqU32(NqPendHandle)> decidePended;
  std::function<NqU32(const void* packet, NqU32 length)> inspectInboundPacket;
  std::function<const void*(const char* url, NqU32* length)> getUrlReply;
  std::function<NqU32(const Call&, NqReplyObject** reply)> queryHttpPrimary;
  std::function<NqU32(const Call&, NqReplyObject** reply, NqU64* value)> queryHttpSecondary;
  std::function<NqU32(const void* data, NqU32 length)> checkHttpExempt;
  std::function<const void*(NqU32* length)> getPrimaryReply;
  std::function<const void*(NqU32* length)> getSecondaryReply;
  // Every call that returns nothing (reports, ReleasePendHandle,
  // ReleaseReplyObject), before it is recorded: a loaded client's slot.
  std::function<void(const Call&)> report;
};

class StandInClient {
 public:
  // One client per simulated machine, as the table has one set of slots.
  static StandInClient& Instance();

  // Finds the device, fills every slot and, unless told not to, raises
  // ClientReady. Returns false when the device does not exist.
  bool Attach(bool raiseReady = true);
  ClientTable* Table() const { return table_; }
  void SetReady(bool ready);

  void SetAnswers(Answers answers);
  Answers& answers() { return answers_; }

  std::vector<Call> Calls() const;
  std::vector<Call> CallsTo(const std::string& slot) const;
  void ClearCalls();
  // Whether each recorded call is kept for Calls() (from now on; the
  // default): a user that takes every call from the observer, as a long
  // replay does, need not have them kept as well.
  void KeepCalls(bool keep);
  bool keepsCalls() const;
  size_t KeptCallCount() const;
  // Observes every call as it is recorded (from the calling thread).
  void OnCall(std::function<void(const Call&)> observer);

  // Reply objects (NqReplyObject): the driver reads their Length and Bytes.
  // Each time a decision query hands one out, it must come back through
  // ReleaseReplyObject once; an object may be handed out again.
  NqReplyObject* NewReplyObject(const std::string& bytes);
  unsigned LiveReplyObjects() const;
  // Reports a verifier violation for every hand-out not released, then
  // frees every object; returns how many hand-outs were not released.
  unsigned CheckReplyObjects();
  // Pend handles the queries handed out: each gets one DecidePended or one
  // ReleasePendHandle. Reports a verifier violation for those that got
  // neither (and forgets them); returns how many.
  unsigned CheckPendHandles();

  // Used by the slot functions.
  void Record(Call call);
  void ReleaseReplyObject(NqReplyObject* object);
  void HandOutReplyObject(NqReplyObject* object);
  void PendHandleGiven(NqPendHandle handle);
  void PendHandleAnswered(NqPendHandle handle, const char* slot);

 private:
  struct ReplyObjectEntry {
    std::vector<unsigned char> storage;
    unsigned handedOut = 0;  // by QueryHttpPrimary and QueryHttpSecondary
    unsigned released = 0;
  };
  unsigned UnreleasedLocked() const;
  void ForgetOldReleasedLocked(const void* object);
  ClientTable* table_ = nullptr;
  Answers answers_;
  mutable std::mutex lock_;
  std::vector<Call> calls_;
  bool keepCalls_ = true;
  std::function<void(const Call&)> observer_;
  mutable std::mutex replyLock_;
  // Kept after their release until CheckReplyObjects, so that a second
  // release is told apart from the release of a new object at the same place;
  // of those released as often as handed out, the newest kReleasedKept stay
  // (an older one released again is reported as unknown).
  std::map<const void*, ReplyObjectEntry> replyObjects_;
  static constexpr size_t kReleasedKept = 1024;
  std::deque<const void*> released_;
  std::map<NqPendHandle, unsigned> pendHandles_;  // handed out and not answered, guarded by replyLock_
};

}  // namespace client
