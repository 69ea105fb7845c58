#pragma once
// Creating COM objects of in-process servers, and what a server module needs to
// know about itself and its process. The Windows build uses the system's COM
// runtime; elsewhere the stand-ins below follow the same road through the
// registry stand-in (platform/registry.h):
//   ProgID -> "<ProgID>\Clsid" -> "CLSID\{...}\InprocServer32" -> load the module
//   -> its DllGetClassObject -> IClassFactory::CreateInstance.
// Keys under the current user's classes root win over the machine-wide ones, as
// in the merged view HKEY_CLASSES_ROOT gives on Windows.
#include <string>
#include <string_view>
#include <vector>

#include "platform/export.h"
#include "platform/ole.h"

#if !defined(_WIN32)

inline constexpr DWORD CLSCTX_INPROC_SERVER = 0x1;
inline constexpr DWORD CLSCTX_INPROC_HANDLER = 0x2;
inline constexpr DWORD CLSCTX_LOCAL_SERVER = 0x4;
inline constexpr DWORD CLSCTX_ALL = CLSCTX_INPROC_SERVER | CLSCTX_INPROC_HANDLER | CLSCTX_LOCAL_SERVER;

// Nothing to set up: S_OK and nothing.
AXG_PLATFORM_API HRESULT CoInitialize(LPVOID pvReserved);
AXG_PLATFORM_API void CoUninitialize();

// "<ProgID>\Clsid" -> the class identifier; CO_E_CLASSSTRING if it is not registered.
AXG_PLATFORM_API HRESULT CLSIDFromProgID(LPCOLESTR lpszProgID, CLSID* lpclsid);

// The class factory of an in-process server (only CLSCTX_INPROC_SERVER is
// served). REGDB_E_CLASSNOTREG if the class has no "InprocServer32" entry;
// CO_E_DLLNOTFOUND if the module cannot be loaded (axg::ComLoadError() tells
// why); CO_E_ERRORINDLL if it has no DllGetClassObject. A loaded module stays
// loaded until CoFreeUnusedLibraries finds it idle.
AXG_PLATFORM_API HRESULT CoGetClassObject(REFCLSID rclsid, DWORD dwClsContext, LPVOID pvReserved,
                                          REFIID riid, LPVOID* ppv);
// CoGetClassObject, then IClassFactory::CreateInstance.
AXG_PLATFORM_API HRESULT CoCreateInstance(REFCLSID rclsid, LPUNKNOWN pUnkOuter,
                                          DWORD dwClsContext, REFIID riid, LPVOID* ppv);

// Holds (fLock true) or gives back (false) one reference on the object on
// behalf of "outside" clients; an unlock without a lock changes nothing. S_OK.
AXG_PLATFORM_API HRESULT CoLockObjectExternal(LPUNKNOWN pUnk, BOOL fLock,
                                              BOOL fLastUnlockReleases);

// Unloads every module loaded by CoGetClassObject whose DllCanUnloadNow says
// S_OK (at once; Windows waits a while first).
AXG_PLATFORM_API void CoFreeUnusedLibraries();

#endif  // !_WIN32

namespace axg {

// Why the last module load of this thread failed (the loader's own message).
AXG_PLATFORM_API std::u16string ComLoadError();

// The full file path of the module (executable or library) that holds the
// address; empty if there is none.
AXG_PLATFORM_API std::u16string ModulePath(const void* address_in_module);

// The short (8.3) form of a path that contains blanks, where the file system
// has one; the path as it is elsewhere.
AXG_PLATFORM_API std::u16string ShortPath(std::u16string_view path);

// The arguments the process was started with, without the program name.
AXG_PLATFORM_API std::vector<std::u16string> ProcessArguments();

// True if an argument is the switch itself, with or without a leading "/" or
// "-", in any letter case: "/RegServerPerUser" matches "REGSERVERPERUSER".
AXG_PLATFORM_API bool HasSwitch(const std::vector<std::u16string>& arguments,
                                std::u16string_view name);
AXG_PLATFORM_API bool ProcessHasSwitch(std::u16string_view name);

// A module loaded by file path for as long as the object lives.
class AXG_PLATFORM_API DynamicLibrary {
 public:
  DynamicLibrary() = default;
  // Throws axg::Error with the loader's message if the module cannot be loaded.
  explicit DynamicLibrary(std::u16string_view path);
  ~DynamicLibrary();
  DynamicLibrary(DynamicLibrary&& other) noexcept;
  DynamicLibrary& operator=(DynamicLibrary&& other) noexcept;
  DynamicLibrary(const DynamicLibrary&) = delete;
  DynamicLibrary& operator=(const DynamicLibrary&) = delete;

  bool Loaded() const { return handle_ != nullptr; }
  // The exported function of that name, null if there is none.
  template <class Function>
  Function Find(const char* name) const {
    return reinterpret_cast<Function>(Symbol(name));
  }
  void* Symbol(const char* name) const;

 private:
  void* handle_ = nullptr;
};

}  // namespace axg
