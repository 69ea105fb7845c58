// Stand-ins of the COM runtime's in-process server machinery: the registry road
// from a ProgID to a module, module loading through the dynamic loader, and the
// process facts a server module asks about.
#include <dlfcn.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <mutex>

#include "platform/com.h"
#include "platform/error.h"
#include "platform/registry.h"
#include "platform/text.h"

namespace {

using DllGetClassObjectFn = HRESULT(STDAPICALLTYPE*)(REFCLSID, REFIID, LPVOID*);
using DllCanUnloadNowFn = HRESULT(STDAPICALLTYPE*)();

thread_local std::u16string t_load_error;

// Modules loaded on behalf of CoGetClassObject, by the path they were loaded from.
struct LoadedModules {
  std::mutex mutex;
  std::map<std::string, void*> handles;
};

LoadedModules& Modules() {
  static LoadedModules* modules = new LoadedModules;  // outlives every static user
  return *modules;
}

// The classes root as Windows merges it: the current user's entry first.
std::optional<std::u16string> ClassesValue(std::u16string_view key) {
  if (auto v = axg::RegGetDefaultValue(axg::RegRoot::CurrentUserClasses, key)) return v;
  return axg::RegGetDefaultValue(axg::RegRoot::ClassesRoot, key);
}

// A relative path is taken relative to the working directory, never searched
// for along the loader's library path.
std::string LoadablePath(std::u16string_view path) {
  std::string file = axg::ToUtf8(path);
  if (file.find('/') == std::string::npos) file = "./" + file;
  return file;
}

void* LoadModule(const std::string& file) {
  LoadedModules& m = Modules();
  std::lock_guard<std::mutex> lock(m.mutex);
  auto it = m.handles.find(file);
  if (it != m.handles.end()) return it->second;
  void* handle = ::dlopen(file.c_str(), RTLD_NOW | RTLD_LOCAL);
  if (handle == nullptr) {
    const char* why = ::dlerror();
    t_load_error = axg::FromUtf8(why ? why : "cannot load " + file);
    return nullptr;
  }
  m.handles.emplace(file, handle);
  return handle;
}

struct ExternalLocks {
  std::mutex mutex;
  std::map<IUnknown*, unsigned long> counts;
};

ExternalLocks& Locks() {
  static ExternalLocks* locks = new ExternalLocks;
  return *locks;
}

}  // namespace

HRESULT CoInitialize(LPVOID) { return S_OK; }

void CoUninitialize() {}

HRESULT CLSIDFromProgID(LPCOLESTR lpszProgID, CLSID* lpclsid) {
  if (lpszProgID == nullptr || lpclsid == nullptr) return E_INVALIDARG;
  std::u16string key(lpszProgID);
  if (key.empty()) return CO_E_CLASSSTRING;
  key += u"\\Clsid";
  auto text = ClassesValue(key);
  CLSID clsid;
  if (!text || !axg::GuidFromString(*text, clsid)) return CO_E_CLASSSTRING;
  *lpclsid = clsid;
  return S_OK;
}

HRESULT CoGetClassObject(REFCLSID rclsid, DWORD dwClsContext, LPVOID, REFIID riid, LPVOID* ppv) {
  if (ppv == nullptr) return E_INVALIDARG;
  *ppv = nullptr;
  if (!(dwClsContext & CLSCTX_INPROC_SERVER)) return REGDB_E_CLASSNOTREG;
  auto path = ClassesValue(u"CLSID\\" + axg::GuidToString(rclsid) + u"\\InprocServer32");
  if (!path || path->empty()) return REGDB_E_CLASSNOTREG;
  void* handle = LoadModule(LoadablePath(*path));
  if (handle == nullptr) return CO_E_DLLNOTFOUND;
  auto get_class_object = reinterpret_cast<DllGetClassObjectFn>(::dlsym(handle, "DllGetClassObject"));
  if (get_class_object == nullptr) return CO_E_ERRORINDLL;
  return get_class_object(rclsid, riid, ppv);
}

HRESULT CoCreateInstance(REFCLSID rclsid, LPUNKNOWN pUnkOuter, DWORD dwClsContext, REFIID riid,
                         LPVOID* ppv) {
  if (ppv == nullptr) return E_POINTER;
  *ppv = nullptr;
  IClassFactory* factory = nullptr;
  HRESULT hr = CoGetClassObject(rclsid, dwClsContext, nullptr, IID_IClassFactory,
                                reinterpret_cast<void**>(&factory));
  if (FAILED(hr)) return hr;
  hr = factory->CreateInstance(pUnkOuter, riid, ppv);
  factory->Release();
  return hr;
}

HRESULT CoLockObjectExternal(LPUNKNOWN pUnk, BOOL fLock, BOOL) {
  if (pUnk == nullptr) return E_INVALIDARG;
  ExternalLocks& l = Locks();
  {
    std::lock_guard<std::mutex> lock(l.mutex);
    if (fLock) {
      ++l.counts[pUnk];
    } else {
      auto it = l.counts.find(pUnk);
      if (it == l.counts.end()) return S_OK;
      if (--it->second == 0) l.counts.erase(it);
    }
  }
  // Outside the lock: a Release may destroy the object, which may call back.
  if (fLock)
    pUnk->AddRef();
  else
    pUnk->Release();
  return S_OK;
}

void CoFreeUnusedLibraries() {
  LoadedModules& m = Modules();
  std::lock_guard<std::mutex> lock(m.mutex);
  for (auto it = m.handles.begin(); it != m.handles.end();) {
    auto can_unload = reinterpret_cast<DllCanUnloadNowFn>(::dlsym(it->second, "DllCanUnloadNow"));
    if (can_unload != nullptr && can_unload() == S_OK) {
      ::dlclose(it->second);
      it = m.handles.erase(it);
    } else {
      ++it;
    }
  }
}

namespace axg {

std::u16string ComLoadError() { return t_load_error; }

std::u16string ModulePath(const void* address_in_module) {
  Dl_info info{};
  if (::dladdr(address_in_module, &info) == 0 || info.dli_fname == nullptr ||
      *info.dli_fname == '\0')
    return {};
  std::error_code ec;
  std::filesystem::path path = std::filesystem::absolute(info.dli_fname, ec);
  if (ec) return FromUtf8(info.dli_fname);
  return FromUtf8(path.lexically_normal().string());
}

std::u16string ShortPath(std::u16string_view path) { return std::u16string(path); }

std::vector<std::u16string> ProcessArguments() {
  std::ifstream in("/proc/self/cmdline", std::ios::binary);
  std::string all((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  std::vector<std::u16string> args;
  std::size_t start = 0;
  bool first = true;
  while (start < all.size()) {
    std::size_t end = all.find('\0', start);
    if (end == std::string::npos) end = all.size();
    if (!first) args.push_back(FromUtf8(std::string_view(all).substr(start, end - start)));
    first = false;
    start = end + 1;
  }
  return args;
}

DynamicLibrary::DynamicLibrary(std::u16string_view path) {
  const std::string file = LoadablePath(path);
  handle_ = ::dlopen(file.c_str(), RTLD_NOW | RTLD_LOCAL);
  if (handle_ == nullptr) {
    const char* why = ::dlerror();
    throw Error(FromUtf8(why ? why : "cannot load " + file));
  }
}

DynamicLibrary::~DynamicLibrary() {
  if (handle_ != nullptr) ::dlclose(handle_);
}

DynamicLibrary::DynamicLibrary(DynamicLibrary&& other) noexcept : handle_(other.handle_) {
  other.handle_ = nullptr;
}

DynamicLibrary& DynamicLibrary::operator=(DynamicLibrary&& other) noexcept {
  if (this != &other) {
    if (handle_ != nullptr) ::dlclose(handle_);
    handle_ = other.handle_;
    other.handle_ = nullptr;
  }
  return *this;
}

void* DynamicLibrary::Symbol(const char* name) const {
  return handle_ == nullptr ? nullptr : ::dlsym(handle_, name);
}

}  // namespace axg
