// Maps the real driver image (nqwfpdrv.sys) into the test process as the
// Windows loader maps a kernel driver: sections in place, base relocations
// applied, imports bound to the kernel modules next to the test program
// (ntoskrnl.exe, HAL.dll, NDIS.SYS and fwpkclnt.sys, which forward to the
// host platform's DLL). Its entry point is not run here.
#pragma once
#include <string>

namespace nqimage {

struct MappedImage {
  void* base = nullptr;
  void* entryPoint = nullptr;  // DriverEntry
  long relocationDelta = 0;
  unsigned relocationsApplied = 0;
  unsigned importsBound = 0;
};

// Maps the image in `path` once per process; later calls return the same
// mapping. False, with the reason in `error`, when any step fails.
bool MapDriverImage(const std::string& path, MappedImage* image, std::string* error);

// The folder the test program lives in, with a trailing backslash.
std::string ProgramFolder();

}  // namespace nqimage
