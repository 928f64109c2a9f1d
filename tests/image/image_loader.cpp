#include "tests/image/image_loader.h"

#include <windows.h>

#include <cstring>
#include <vector>

namespace nqimage {
namespace {

constexpr DWORD kPageSize = 0x1000;

std::string LastError(const std::string& what) { return what + " (error " + std::to_string(GetLastError()) + ")"; }

// Runs `write` with [address, address + size) writable, then gives each page
// its own protection back (the range may reach into a section protected
// otherwise).
template <typename Write>
bool WithWritablePages(void* address, size_t size, Write write, std::string* error) {
  auto first = reinterpret_cast<uintptr_t>(address) & ~uintptr_t(kPageSize - 1);
  auto end = reinterpret_cast<uintptr_t>(address) + size;
  std::vector<std::pair<void*, DWORD>> pages;
  for (uintptr_t page = first; page < end; page += kPageSize) {
    DWORD old = 0;
    if (!VirtualProtect(reinterpret_cast<void*>(page), kPageSize, PAGE_READWRITE, &old)) {
      *error = LastError("VirtualProtect to read-write failed");
      return false;
    }
    pages.emplace_back(reinterpret_cast<void*>(page), old);
  }
  write();
  for (const auto& [page, old] : pages) {
    DWORD ignored = 0;
    if (!VirtualProtect(page, kPageSize, old, &ignored)) {
      *error = LastError("VirtualProtect back failed");
      return false;
    }
  }
  return true;
}

IMAGE_NT_HEADERS32* NtHeaders(BYTE* base) {
  auto* dos = reinterpret_cast<IMAGE_DOS_HEADER*>(base);
  if (dos->e_magic != IMAGE_DOS_SIGNATURE) return nullptr;
  auto* nt = reinterpret_cast<IMAGE_NT_HEADERS32*>(base + dos->e_lfanew);
  if (nt->Signature != IMAGE_NT_SIGNATURE || nt->OptionalHeader.Magic != IMAGE_NT_OPTIONAL_HDR32_MAGIC) return nullptr;
  return nt;
}

// Applies the relocation blocks one page at a time: each block names a page
// and the 32-bit words on it that hold addresses. A word may end on the next
// page, so the writable range is a page and three bytes.
bool Relocate(BYTE* base, IMAGE_NT_HEADERS32* nt, long delta, unsigned* applied, std::string* error) {
  const IMAGE_DATA_DIRECTORY& dir = nt->OptionalHeader.DataDirectory[IMAGE_DIRECTORY_ENTRY_BASERELOC];
  if (delta == 0) return true;
  if (dir.VirtualAddress == 0 || (nt->FileHeader.Characteristics & IMAGE_FILE_RELOCS_STRIPPED) != 0) {
    *error = "the image is not at its preferred base and has no relocations";
    return false;
  }
  BYTE* at = base + dir.VirtualAddress;
  BYTE* end = at + dir.Size;
  while (at + sizeof(IMAGE_BASE_RELOCATION) <= end) {
    auto* block = reinterpret_cast<IMAGE_BASE_RELOCATION*>(at);
    if (block->SizeOfBlock < sizeof(IMAGE_BASE_RELOCATION) || at + block->SizeOfBlock > end) {
      *error = "damaged relocation block";
      return false;
    }
    auto* entries = reinterpret_cast<WORD*>(block + 1);
    size_t count = (block->SizeOfBlock - sizeof(IMAGE_BASE_RELOCATION)) / sizeof(WORD);
    for (size_t i = 0; i < count; ++i) {
      unsigned type = entries[i] >> 12;
      if (type != IMAGE_REL_BASED_ABSOLUTE && type != IMAGE_REL_BASED_HIGHLOW) {
        *error = "relocation of type " + std::to_string(type) + " in a 32-bit image";
        return false;
      }
    }
    BYTE* page = base + block->VirtualAddress;
    bool ok = WithWritablePages(
        page, kPageSize + 3,
        [&] {
          for (size_t i = 0; i < count; ++i) {
            if ((entries[i] >> 12) != IMAGE_REL_BASED_HIGHLOW) continue;
            auto* word = reinterpret_cast<DWORD*>(page + (entries[i] & 0xFFF));
            *word += static_cast<DWORD>(delta);
            ++*applied;
          }
        },
        error);
    if (!ok) return false;
    at += block->SizeOfBlock;
  }
  // The image is now where its header says, should it be mapped again.
  return WithWritablePages(
      &nt->OptionalHeader.ImageBase, sizeof(DWORD),
      [&] { nt->OptionalHeader.ImageBase = static_cast<DWORD>(reinterpret_cast<uintptr_t>(base)); }, error);
}

// Whether `address` lies in the host platform's DLL or the C runtime: a name
// resolved anywhere else (one of Wine's own kernel modules, say) would run
// the image on something other than the host platform.
bool InHostPlatform(const void* address, std::string* module) {
  HMODULE owner = nullptr;
  if (!GetModuleHandleExA(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
                          static_cast<LPCSTR>(address), &owner))
    return false;
  char path[MAX_PATH] = {};
  GetModuleFileNameA(owner, path, sizeof path);
  *module = path;
  const char* name = std::strrchr(path, '\\');
  name = name != nullptr ? name + 1 : path;
  return _stricmp(name, "nqwfphost.dll") == 0 || _stricmp(name, "msvcrt.dll") == 0;
}

bool BindImports(BYTE* base, IMAGE_NT_HEADERS32* nt, unsigned* bound, std::string* error) {
  const IMAGE_DATA_DIRECTORY& dir = nt->OptionalHeader.DataDirectory[IMAGE_DIRECTORY_ENTRY_IMPORT];
  if (dir.VirtualAddress == 0) return true;
  for (auto* desc = reinterpret_cast<IMAGE_IMPORT_DESCRIPTOR*>(base + dir.VirtualAddress); desc->Name != 0; ++desc) {
    const char* moduleName = reinterpret_cast<const char*>(base + desc->Name);
    std::string modulePath = ProgramFolder() + moduleName;
    HMODULE module = LoadLibraryA(modulePath.c_str());
    if (module == nullptr) {
      *error = LastError("cannot load " + modulePath);
      return false;
    }
    auto* names = reinterpret_cast<IMAGE_THUNK_DATA32*>(
        base + (desc->OriginalFirstThunk != 0 ? desc->OriginalFirstThunk : desc->FirstThunk));
    auto* slots = reinterpret_cast<IMAGE_THUNK_DATA32*>(base + desc->FirstThunk);
    size_t count = 0;
    while (names[count].u1.AddressOfData != 0) ++count;
    std::vector<DWORD> addresses(count);
    for (size_t i = 0; i < count; ++i) {
      if (IMAGE_SNAP_BY_ORDINAL32(names[i].u1.Ordinal)) {
        *error = std::string("import by ordinal from ") + moduleName;
        return false;
      }
      auto* byName = reinterpret_cast<IMAGE_IMPORT_BY_NAME*>(base + names[i].u1.AddressOfData);
      const char* name = reinterpret_cast<const char*>(byName->Name);
      FARPROC proc = GetProcAddress(module, name);
      if (proc == nullptr) {
        *error = std::string(moduleName) + " does not export " + name;
        return false;
      }
      std::string owner;
      if (!InHostPlatform(reinterpret_cast<const void*>(proc), &owner)) {
        *error = std::string(moduleName) + "!" + name + " resolves to " + owner + ", not the host platform";
        return false;
      }
      addresses[i] = static_cast<DWORD>(reinterpret_cast<uintptr_t>(proc));
    }
    bool ok = WithWritablePages(
        slots, count * sizeof(DWORD),
        [&] {
          for (size_t i = 0; i < count; ++i) slots[i].u1.Function = addresses[i];
        },
        error);
    if (!ok) return false;
    *bound += static_cast<unsigned>(count);
  }
  return true;
}

}  // namespace

std::string ProgramFolder() {
  char path[MAX_PATH] = {};
  GetModuleFileNameA(nullptr, path, sizeof path);
  std::string folder(path);
  return folder.substr(0, folder.find_last_of('\\') + 1);
}

bool MapDriverImage(const std::string& path, MappedImage* image, std::string* error) {
  static MappedImage mapped;
  if (mapped.base != nullptr) {
    *image = mapped;
    return true;
  }
  // Mapped as an image, its entry point not called and its imports left to us.
  HMODULE module = LoadLibraryExA(path.c_str(), nullptr, DONT_RESOLVE_DLL_REFERENCES);
  if (module == nullptr) {
    *error = LastError("LoadLibraryEx of " + path + " failed");
    return false;
  }
  auto* base = reinterpret_cast<BYTE*>(module);
  IMAGE_NT_HEADERS32* nt = NtHeaders(base);
  if (nt == nullptr) {
    *error = path + " is not a 32-bit PE image";
    return false;
  }
  MappedImage result;
  result.base = base;
  result.relocationDelta = static_cast<long>(reinterpret_cast<uintptr_t>(base) - nt->OptionalHeader.ImageBase);
  if (!Relocate(base, nt, result.relocationDelta, &result.relocationsApplied, error)) return false;
  if (!BindImports(base, nt, &result.importsBound, error)) return false;
  FlushInstructionCache(GetCurrentProcess(), base, nt->OptionalHeader.SizeOfImage);
  result.entryPoint = base + nt->OptionalHeader.AddressOfEntryPoint;
  mapped = result;
  *image = result;
  return true;
}

}  // namespace nqimage
