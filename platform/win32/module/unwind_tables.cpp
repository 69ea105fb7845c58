// The i686 module unwinds through DWARF tables, which GCC's start-up code
// (crtbegin) registers with an unwinder when the module loads. If the process has
// already loaded the shared libgcc of MinGW (libgcc_s_dw2-1.dll: any DLL built
// with MinGW's default options brings it, be it another add-in, a driver or a
// shell extension), that code registers them with that DLL, and the unwinder
// linked into this module, which every throw of the module goes through, knows
// none of the module's frames: its first exception would end the host process.
// So, at start-up, unless the module's own unwinder already finds the module's
// code, the module's tables are registered with it here, and taken back from it
// when the module unloads. The x86_64 build unwinds through the image's own
// tables (SEH) and registers nothing.
#if defined(_WIN32) && defined(__i386__) && !defined(__SEH__) && !defined(__USING_SJLJ_EXCEPTIONS__)
#include <windows.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>

extern "C" {
// libgcc's registration interface (unwind-dw2-fde.h), linked statically.
void __register_frame_info(const void* begin, void* object);
void* __deregister_frame_info(const void* begin);
struct axg_dwarf_eh_bases {
  void* tbase;
  void* dbase;
  void* func;
};
const void* _Unwind_Find_FDE(void* pc, axg_dwarf_eh_bases* bases);
extern IMAGE_DOS_HEADER __ImageBase;
}

namespace {

// libgcc's record of registered tables (its struct object: six words in GCC 12,
// a few more in later versions); it stays in place while they are registered.
void* g_object[16];
const void* g_registered = nullptr;

// Whether the bytes open an .eh_frame: a CIE (its length, the CIE id 0 that
// marks .eh_frame, version 1, an augmentation string starting with 'z'), as
// GCC writes it. .debug_frame's CIE id is all ones.
bool OpensUnwindTables(const unsigned char* p, DWORD size) {
  if (size < 12) return false;
  std::uint32_t length = 0, id = 1;
  std::memcpy(&length, p, 4);
  std::memcpy(&id, p + 4, 4);
  return length >= 8 && length <= size - 4 && id == 0 && p[8] == 1 && p[9] == 'z';
}

// The start of the image's .eh_frame section. Linked with -s, its header says
// ".eh_fram" (names are cut to eight characters); linked without, ld writes long
// names as "/n", an offset into the string table of the file, which is not
// mapped: such a section is recognised by what it starts with.
const void* ModuleUnwindTables() {
  const auto* base = reinterpret_cast<const unsigned char*>(&__ImageBase);
  const auto* nt = reinterpret_cast<const IMAGE_NT_HEADERS*>(base + __ImageBase.e_lfanew);
  const IMAGE_SECTION_HEADER* section = IMAGE_FIRST_SECTION(nt);
  for (WORD i = 0; i < nt->FileHeader.NumberOfSections; ++i, ++section) {
    const unsigned char* start = base + section->VirtualAddress;
    const DWORD size = section->Misc.VirtualSize;
    if (std::memcmp(section->Name, ".eh_fram", 8) == 0 && size >= 4) return start;
    if (section->Name[0] == '/' && OpensUnwindTables(start, size)) return start;
  }
  return nullptr;
}

void DeregisterFromOwnUnwinder() {
  if (g_registered != nullptr) __deregister_frame_info(g_registered);
  g_registered = nullptr;
}

// Right after crtbegin's registration (priority 0), before the module's other
// constructors, any of which may throw.
__attribute__((constructor(101))) void RegisterWithOwnUnwinder() {
  axg_dwarf_eh_bases bases{};
  if (_Unwind_Find_FDE(reinterpret_cast<void*>(&RegisterWithOwnUnwinder), &bases) != nullptr) return;
  const void* tables = ModuleUnwindTables();
  if (tables == nullptr) return;
  __register_frame_info(tables, g_object);
  g_registered = tables;
  // Taken back after the destructors of everything built at start-up, which
  // the module's atexit list runs first (they may throw and catch): atexit
  // handlers run in the reverse order of their registration.
  std::atexit(&DeregisterFromOwnUnwinder);
}

}  // namespace
#endif
