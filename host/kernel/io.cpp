// The I/O manager: driver and device objects, IRPs, work items and MDLs.
#include "host/kernel/state.h"
#include "host/wfp/injection_state.h"

#include <condition_variable>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <map>
#include <set>

namespace host {

std::string Utf16ToUtf8(const char16_t* text, size_t length) {
  std::string out;
  for (size_t i = 0; i < length; ++i) {
    char16_t c = text[i];
    if (c < 0x80) {
      out += static_cast<char>(c);
    } else if (c < 0x800) {
      out += static_cast<char>(0xC0 | (c >> 6));
      out += static_cast<char>(0x80 | (c & 0x3F));
    } else {
      out += static_cast<char>(0xE0 | (c >> 12));
      out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
      out += static_cast<char>(0x80 | (c & 0x3F));
    }
  }
  return out;
}

namespace detail {
namespace {
constexpr CSHORT kIoTypeDevice = 3;
constexpr CSHORT kIoTypeDriver = 4;
constexpr CSHORT kIoTypeIrp = 6;
constexpr ULONG kDoExclusive = 0x00000008;
constexpr ULONG kDoDeviceInitializing = 0x00000080;

// A loaded driver's object and the names its object points into.
struct LoadedDriverEntry {
  PDRIVER_OBJECT object;
  std::u16string name, registryPath;
};
// A file object that IoGetDeviceObjectPointer opened on a device.
struct FileObject {
  PDEVICE_OBJECT device;
  LONG references;
};

struct IoManager {
  std::mutex lock;
  std::map<std::u16string, PDEVICE_OBJECT> namedDevices;
  std::set<PIRP> completed;
  std::deque<LoadedDriverEntry> drivers;  // in load order; never unloaded
  std::map<PFILE_OBJECT, FileObject> files;
};
IoManager& io() { return Forever<IoManager>(); }

NTSTATUS NTAPI InvalidDeviceRequest(PDEVICE_OBJECT, PIRP irp) {
  irp->IoStatus.Status = STATUS_INVALID_DEVICE_REQUEST;
  irp->IoStatus.Information = 0;
  IofCompleteRequest(irp, IO_NO_INCREMENT);
  return STATUS_INVALID_DEVICE_REQUEST;
}

std::u16string ToString(const UNICODE_STRING* name) {
  return std::u16string(name->Buffer, name->Length / sizeof(WCHAR));
}

// ---- the delayed work queue -------------------------------------------------------
struct WorkItem {
  PDEVICE_OBJECT device;
  bool queued = false;
};
struct WorkQueue {
  std::mutex lock;
  std::condition_variable wake;
  std::condition_variable idle;
  std::deque<std::function<void()>> items;
  unsigned running = 0;
  bool started = false;
  bool paused = false;
  std::set<PIO_WORKITEM> allocated;
};
WorkQueue& workQueue() { return Forever<WorkQueue>(); }

void RunWorkQueue() {
  auto& q = workQueue();
  std::unique_lock<std::mutex> guard(q.lock);
  for (;;) {
    q.wake.wait(guard, [&q] { return MachineStopping() || (!q.items.empty() && !q.paused); });
    if (MachineStopping()) return;
    auto item = std::move(q.items.front());
    q.items.pop_front();
    ++q.running;
    guard.unlock();
    item();
    guard.lock();
    --q.running;
    if (q.items.empty() && q.running == 0) q.idle.notify_all();
  }
}

void WakeWorkQueue() {
  std::lock_guard<std::mutex> guard(workQueue().lock);
  workQueue().wake.notify_all();
}

struct MdlTable {
  std::mutex lock;
  std::set<PMDL> live;
  std::set<PMDL> freed;  // freed and not handed out again
};
}  // namespace
}  // namespace detail

namespace io {
NTSTATUS LoadDriver(PDRIVER_INITIALIZE entry, const char16_t* serviceName) {
  auto& mgr = detail::io();
  auto* driver = static_cast<PDRIVER_OBJECT>(std::calloc(1, sizeof(DRIVER_OBJECT)));
  driver->Type = detail::kIoTypeDriver;
  driver->Size = sizeof(DRIVER_OBJECT);
  driver->DriverInit = entry;
  for (auto& dispatch : driver->MajorFunction) dispatch = detail::InvalidDeviceRequest;
  const std::u16string* registryPath;
  {
    std::lock_guard<std::mutex> guard(mgr.lock);
    mgr.drivers.push_back({driver, u"\\Driver\\" + std::u16string(serviceName),
                           u"\\Registry\\Machine\\System\\CurrentControlSet\\Services\\" + std::u16string(serviceName)});
    const std::u16string& name = mgr.drivers.back().name;
    driver->DriverName.Buffer = const_cast<PWSTR>(name.c_str());
    driver->DriverName.Length = static_cast<USHORT>(name.size() * sizeof(WCHAR));
    driver->DriverName.MaximumLength = driver->DriverName.Length;
    registryPath = &mgr.drivers.back().registryPath;
  }
  UNICODE_STRING path{static_cast<USHORT>(registryPath->size() * 2), static_cast<USHORT>(registryPath->size() * 2),
                      const_cast<PWSTR>(registryPath->c_str())};

  auto& self = detail::CurrentThread();
  KIRQL savedIrql = self.irql;
  uint64_t savedProcess = self.processId;
  self.irql = PASSIVE_LEVEL;
  self.processId = kernel::kSystemProcessId;
  NTSTATUS status = entry(driver, &path);
  self.irql = savedIrql;
  self.processId = savedProcess;
  if (!self.heldLocks.empty()) verifier::Report("LOCK_HELD", "DriverEntry returned with a spin lock held");

  // Devices created during DriverEntry are initialised once it returns.
  for (PDEVICE_OBJECT d = driver->DeviceObject; d != nullptr; d = d->NextDevice) d->Flags &= ~detail::kDoDeviceInitializing;
  return status;
}

PDRIVER_OBJECT LoadedDriver() {
  std::lock_guard<std::mutex> guard(detail::io().lock);
  return detail::io().drivers.empty() ? nullptr : detail::io().drivers.front().object;
}

unsigned OpenFileObjectCount() {
  std::lock_guard<std::mutex> guard(detail::io().lock);
  return static_cast<unsigned>(detail::io().files.size());
}

PDEVICE_OBJECT FindDevice(const char16_t* name) {
  std::lock_guard<std::mutex> guard(detail::io().lock);
  auto it = detail::io().namedDevices.find(name);
  return it == detail::io().namedDevices.end() ? nullptr : it->second;
}

IrpResult SendIrp(PDEVICE_OBJECT device, UCHAR majorFunction) {
  auto* irp = static_cast<PIRP>(std::calloc(1, sizeof(IRP) + sizeof(IO_STACK_LOCATION)));
  auto* stack = reinterpret_cast<PIO_STACK_LOCATION>(irp + 1);
  irp->Type = detail::kIoTypeIrp;
  irp->Size = sizeof(IRP) + sizeof(IO_STACK_LOCATION);
  irp->StackCount = 1;
  irp->CurrentLocation = 1;
  irp->IoStatus.Status = STATUS_NOT_IMPLEMENTED;  // what the I/O manager presets
  irp->Tail.Overlay.CurrentStackLocation = stack;
  stack->MajorFunction = majorFunction;
  stack->DeviceObject = device;

  NTSTATUS returned = device->DriverObject->MajorFunction[majorFunction](device, irp);
  IrpResult result{returned, irp->IoStatus, false};
  {
    std::lock_guard<std::mutex> guard(detail::io().lock);
    result.completed = detail::io().completed.erase(irp) == 1;
  }
  if (!result.completed && returned != STATUS_PENDING)
    verifier::Report("IRP_NOT_COMPLETED", "a dispatch routine returned without completing or pending its IRP");
  if (result.completed && returned != irp->IoStatus.Status)
    verifier::Report("IRP_STATUS_MISMATCH", "a dispatch routine returned a status other than the IRP's");
  std::free(irp);
  return result;
}
}  // namespace io

namespace kernel {
void WaitWorkQueueIdle() {
  auto& q = detail::workQueue();
  std::unique_lock<std::mutex> guard(q.lock);
  q.idle.wait(guard, [&q] { return q.items.empty() && q.running == 0; });
}
void PauseWorkQueue(bool paused) {
  auto& q = detail::workQueue();
  std::lock_guard<std::mutex> guard(q.lock);
  q.paused = paused;
  q.wake.notify_all();
}
unsigned WorkItemCount() {
  std::lock_guard<std::mutex> guard(detail::workQueue().lock);
  return static_cast<unsigned>(detail::workQueue().allocated.size());
}
unsigned MdlCount() {
  auto& t = detail::Forever<detail::MdlTable>();
  std::lock_guard<std::mutex> guard(t.lock);
  return static_cast<unsigned>(t.live.size());
}
}  // namespace kernel
}  // namespace host

using namespace host;

extern "C" NTSTATUS NTAPI IoCreateDevice(PDRIVER_OBJECT driverObject, ULONG deviceExtensionSize,
                                         PUNICODE_STRING deviceName, ULONG deviceType, ULONG characteristics,
                                         BOOLEAN exclusive, PDEVICE_OBJECT* deviceObject) {
  verifier::RequireIrql(PASSIVE_LEVEL, "IoCreateDevice");
  if (NTSTATUS failure = faults::Check("IoCreateDevice")) return failure;
  auto& mgr = detail::io();
  std::u16string name = deviceName != nullptr ? detail::ToString(deviceName) : std::u16string();
  std::lock_guard<std::mutex> guard(mgr.lock);
  if (!name.empty() && mgr.namedDevices.count(name) != 0) return STATUS_OBJECT_NAME_COLLISION;

  auto* device = static_cast<PDEVICE_OBJECT>(std::calloc(1, sizeof(DEVICE_OBJECT) + deviceExtensionSize));
  device->Type = detail::kIoTypeDevice;
  device->Size = static_cast<USHORT>(sizeof(DEVICE_OBJECT) + deviceExtensionSize);
  device->ReferenceCount = 0;
  device->DriverObject = driverObject;
  device->DeviceExtension = deviceExtensionSize != 0 ? static_cast<void*>(device + 1) : nullptr;
  device->DeviceType = deviceType;
  device->Characteristics = characteristics;
  device->StackSize = 1;
  device->Flags = detail::kDoDeviceInitializing | (exclusive ? detail::kDoExclusive : 0);
  device->NextDevice = driverObject->DeviceObject;
  driverObject->DeviceObject = device;
  if (!name.empty()) mgr.namedDevices[name] = device;
  *deviceObject = device;
  return STATUS_SUCCESS;
}

extern "C" VOID FASTCALL IofCompleteRequest(PIRP irp, CCHAR) {
  verifier::RequireIrql(DISPATCH_LEVEL, "IofCompleteRequest");
  auto& mgr = detail::io();
  std::unique_lock<std::mutex> guard(mgr.lock);
  if (!mgr.completed.insert(irp).second) {
    guard.unlock();
    verifier::Report("MULTIPLE_IRP_COMPLETE_REQUESTS", "an IRP was completed twice");
  }
}

extern "C" PIO_WORKITEM NTAPI IoAllocateWorkItem(PDEVICE_OBJECT deviceObject) {
  verifier::RequireIrql(DISPATCH_LEVEL, "IoAllocateWorkItem");
  if (faults::Check("IoAllocateWorkItem")) return nullptr;
  auto* item = new detail::WorkItem{deviceObject};
  auto* handle = reinterpret_cast<PIO_WORKITEM>(item);
  std::lock_guard<std::mutex> guard(detail::workQueue().lock);
  detail::workQueue().allocated.insert(handle);
  return handle;
}

extern "C" VOID NTAPI IoQueueWorkItem(PIO_WORKITEM ioWorkItem, PIO_WORKITEM_ROUTINE workerRoutine,
                                      WORK_QUEUE_TYPE, PVOID context) {
  verifier::RequireIrql(DISPATCH_LEVEL, "IoQueueWorkItem");
  auto& q = detail::workQueue();
  auto* item = reinterpret_cast<detail::WorkItem*>(ioWorkItem);
  std::unique_lock<std::mutex> guard(q.lock);
  if (q.allocated.count(ioWorkItem) == 0) {
    guard.unlock();
    verifier::Report("INVALID_WORK_ITEM", "IoQueueWorkItem of a work item that was not allocated");
    return;
  }
  if (item->queued) {
    guard.unlock();
    verifier::Report("WORK_ITEM_QUEUED_TWICE", "IoQueueWorkItem of a work item that is still queued");
    return;
  }
  item->queued = true;
  q.items.push_back([item, workerRoutine, context] {
    {
      std::lock_guard<std::mutex> g(detail::workQueue().lock);
      item->queued = false;
    }
    workerRoutine(item->device, context);
    if (kernel::HeldSpinLockCount() != 0) verifier::Report("LOCK_HELD", "a work item returned with a spin lock held");
  });
  if (!q.started) {
    q.started = true;
    detail::StartServiceThread(detail::RunWorkQueue, detail::WakeWorkQueue);
  }
  q.wake.notify_one();
}

extern "C" VOID NTAPI IoFreeWorkItem(PIO_WORKITEM ioWorkItem) {
  verifier::RequireIrql(DISPATCH_LEVEL, "IoFreeWorkItem");
  auto& q = detail::workQueue();
  auto* item = reinterpret_cast<detail::WorkItem*>(ioWorkItem);
  std::unique_lock<std::mutex> guard(q.lock);
  if (q.allocated.erase(ioWorkItem) == 0) {
    guard.unlock();
    verifier::Report("INVALID_WORK_ITEM", "IoFreeWorkItem of a work item that is not allocated");
    return;
  }
  if (item->queued) {
    guard.unlock();
    verifier::Report("WORK_ITEM_FREED_WHILE_QUEUED", "IoFreeWorkItem of a work item that is still queued");
    return;  // the item is left to run; freeing it would corrupt the queue
  }
  delete item;
}

extern "C" PMDL NTAPI IoAllocateMdl(PVOID virtualAddress, ULONG length, BOOLEAN, BOOLEAN, PIRP) {
  verifier::RequireIrql(DISPATCH_LEVEL, "IoAllocateMdl");
  if (faults::Check("IoAllocateMdl")) return nullptr;
  auto* mdl = static_cast<PMDL>(std::calloc(1, sizeof(MDL)));
  uintptr_t va = reinterpret_cast<uintptr_t>(virtualAddress);
  mdl->Size = sizeof(MDL);
  mdl->StartVa = reinterpret_cast<PVOID>(va & ~uintptr_t(0xFFF));
  mdl->ByteOffset = static_cast<ULONG>(va & 0xFFF);
  mdl->ByteCount = length;
  auto& t = detail::Forever<detail::MdlTable>();
  std::lock_guard<std::mutex> guard(t.lock);
  t.freed.erase(mdl);
  t.live.insert(mdl);
  return mdl;
}

extern "C" VOID NTAPI MmBuildMdlForNonPagedPool(PMDL mdl) {
  verifier::RequireIrql(DISPATCH_LEVEL, "MmBuildMdlForNonPagedPool");
  faults::Check("MmBuildMdlForNonPagedPool");  // nothing to fail; an action may run
  mdl->MappedSystemVa = static_cast<char*>(mdl->StartVa) + mdl->ByteOffset;
  mdl->MdlFlags |= MDL_SOURCE_IS_NONPAGED_POOL | MDL_MAPPED_TO_SYSTEM_VA;
}

extern "C" VOID NTAPI IoFreeMdl(PMDL mdl) {
  verifier::RequireIrql(DISPATCH_LEVEL, "IoFreeMdl");
  faults::Check("IoFreeMdl");  // nothing to fail; an action may run
  if (wfp::detail::InjectionHoldsMdl(mdl)) {
    verifier::Report("INJECTION_DATA_FREED",
                     "IoFreeMdl of an MDL under a net buffer list an injection still holds");
    return;
  }
  auto& t = detail::Forever<detail::MdlTable>();
  std::unique_lock<std::mutex> guard(t.lock);
  if (t.live.erase(mdl) == 0) {
    bool twice = t.freed.count(mdl) != 0;
    guard.unlock();
    if (twice)
      verifier::Report("MDL_FREED_TWICE", "IoFreeMdl of an MDL already freed");
    else
      verifier::Report("BAD_MDL", "IoFreeMdl of an MDL that IoAllocateMdl did not hand out");
    return;
  }
  t.freed.insert(mdl);
  std::free(mdl);
}

extern "C" NTSTATUS NTAPI IoGetDeviceObjectPointer(PUNICODE_STRING objectName, ACCESS_MASK, PFILE_OBJECT* fileObject,
                                                   PDEVICE_OBJECT* deviceObject) {
  verifier::RequireIrql(PASSIVE_LEVEL, "IoGetDeviceObjectPointer");
  if (NTSTATUS failure = faults::Check("IoGetDeviceObjectPointer")) return failure;
  if (objectName == nullptr || objectName->Buffer == nullptr) return STATUS_OBJECT_NAME_NOT_FOUND;
  PDEVICE_OBJECT device = io::FindDevice(detail::ToString(objectName).c_str());
  if (device == nullptr) return STATUS_OBJECT_NAME_NOT_FOUND;
  // Opening the device as a file runs its create dispatch; a refusal is
  // the caller's status.
  io::IrpResult create = io::SendIrp(device, IRP_MJ_CREATE);
  if (!NT_SUCCESS(create.ioStatus.Status)) return create.ioStatus.Status;
  auto* file = static_cast<PFILE_OBJECT>(std::calloc(1, 1));
  {
    std::lock_guard<std::mutex> guard(detail::io().lock);
    detail::io().files[file] = detail::FileObject{device, 1};
  }
  *fileObject = file;
  *deviceObject = device;
  return STATUS_SUCCESS;
}

// Only the file objects IoGetDeviceObjectPointer hands out are referenced
// objects here; the last reference closes the device.
extern "C" LONG_PTR FASTCALL ObfDereferenceObject(PVOID object) {
  verifier::RequireIrql(DISPATCH_LEVEL, "ObDereferenceObject");
  auto& mgr = detail::io();
  std::unique_lock<std::mutex> guard(mgr.lock);
  auto it = mgr.files.find(static_cast<PFILE_OBJECT>(object));
  if (it == mgr.files.end()) {
    guard.unlock();
    verifier::Report("BAD_OBJECT_REFERENCE", "ObDereferenceObject of an object that holds no reference");
    return 0;
  }
  LONG left = --it->second.references;
  PDEVICE_OBJECT device = it->second.device;
  if (left == 0) mgr.files.erase(it);
  guard.unlock();
  if (left == 0) {
    io::SendIrp(device, IRP_MJ_CLOSE);
    std::free(object);
  }
  return left;
}
