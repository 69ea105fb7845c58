// The module's four entry points. Loading the module creates its server object
// (AddInObj/ComServer.cpp) and the class factory of AddInObject below;
// unloading, which follows only a DllCanUnloadNow of S_OK, destroys both.
#include "AddInObj/AddInFactory.h"
#include "ax_gate/Module.h"

#if defined(_WIN32)
#define AXG_MODULE_EXPORT  // exported by name through ax_gate.def
#else
#define AXG_MODULE_EXPORT __attribute__((visibility("default")))
#endif

// The function that makes the class's objects. A test module built from this file
// names a global function of its own instead.
#if defined(AXG_CREATE_OBJECT)
HRESULT AXG_CREATE_OBJECT(IUnknown* outer, REFIID riid, void** out);
#else
#define AXG_CREATE_OBJECT axg::CreateAddInObject
#endif

namespace {
axg::ClassFactory g_add_in_factory(axg::CLSID_AddInObject, AXG_CREATE_OBJECT);
}  // namespace

extern "C" AXG_MODULE_EXPORT HRESULT STDAPICALLTYPE DllGetClassObject(REFCLSID rclsid, REFIID riid,
                                                                      LPVOID* ppv) {
  return axg::ModuleGetClassObject(g_add_in_factory, rclsid, riid, ppv);
}

extern "C" AXG_MODULE_EXPORT HRESULT STDAPICALLTYPE DllCanUnloadNow() {
  return axg::ModuleCanUnloadNow();
}

extern "C" AXG_MODULE_EXPORT HRESULT STDAPICALLTYPE DllRegisterServer() {
  return axg::RegisterThisModule();
}

extern "C" AXG_MODULE_EXPORT HRESULT STDAPICALLTYPE DllUnregisterServer() {
  return axg::UnregisterThisModule();
}
