#include "ax_gate/Module.h"

#include "AddInObj/ComServer.h"
#include "platform/com.h"
#include "platform/error.h"

namespace axg {

namespace {
// An address inside the module, to find the module's own file by.
const char kModuleAnchor = 0;
}  // namespace

std::u16string AddInProgId() { return ComServer::Instance().ProgId(kAddInClassName); }

ServerEntries AddInEntries(std::u16string_view module_path) {
  return ServerEntries{CLSID_AddInObject, AddInProgId(), std::u16string(kAddInDescription),
                       RegisteredModulePath(module_path)};
}

HRESULT ModuleGetClassObject(ClassFactory& factory, REFCLSID rclsid, REFIID riid, void** ppv) {
  if (ppv == nullptr) return E_POINTER;
  *ppv = nullptr;
  if (!IsEqualGUID(rclsid, factory.ClassId())) return CLASS_E_CLASSNOTAVAILABLE;
  return factory.QueryInterface(riid, ppv);
}

HRESULT ModuleCanUnloadNow() { return ComServer::Instance().CanUnload() ? S_OK : S_FALSE; }

HRESULT ModuleRegisterServer(RegistryTarget& target, std::u16string_view module_path) {
  try {
    // Without its own path the module would register an entry that leads nowhere.
    if (module_path.empty()) throw Error(u"Error creating system registry entry");
    RegisterServer(target, AddInEntries(module_path));
    return S_OK;
  } catch (...) {
    return E_FAIL;
  }
}

HRESULT ModuleUnregisterServer(RegistryTarget& target) {
  try {
    UnregisterServer(target, AddInEntries(u""));
    return S_OK;
  } catch (...) {
    return E_FAIL;
  }
}

HRESULT RegisterThisModule() {
  try {
    SystemRegistryTarget target(RegistrationRoot(ProcessArguments()));
    return ModuleRegisterServer(target, ModulePath(&kModuleAnchor));
  } catch (...) {
    return E_FAIL;
  }
}

HRESULT UnregisterThisModule() {
  try {
    SystemRegistryTarget target(RegistrationRoot(ProcessArguments()));
    return ModuleUnregisterServer(target);
  } catch (...) {
    return E_FAIL;
  }
}

}  // namespace axg
