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

// The start of the image's .eh_frame section (section names of images are cut
// to eight characters).
const void* ModuleUnwindTables() {
  const auto* base = reinterpret_cast<const unsigned char*>(&__ImageBase);
  const auto* nt = reinterpret_cast<const IMAGE_NT_HEADERS*>(base + __ImageBase.e_lfanew);
  const IMAGE_SECTION_HEADER* section = IMAGE_FIRST_SECTION(nt);
  for (WORD i = 0; i < nt->FileHeader.NumberOfSections; ++i, ++section) {
    if (std::memcmp(section->Name, ".eh_fram", 8) == 0 && section->Misc.VirtualSize >= 4)
      return base + section->VirtualAddress;
  }
  return nullptr;
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
}

__attribute__((destructor(101))) void DeregisterFromOwnUnwinder() {
  if (g_registered != nullptr) __deregister_frame_info(g_registered);
  g_registered = nullptr;
}

}  // namespace
#endif
