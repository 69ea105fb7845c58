#pragma once
// The module ax_gate: an in-process COM server with one class, AddInObject,
// under the ProgID "AddIn.ax_gate". The four entry points (ax_gate.cpp) are thin
// forwards to the functions below.
#include <string>
#include <string_view>

#include "ax_gate/ClassFactory.h"
#include "ax_gate/ServerRegistration.h"
#include "platform/ole.h"

namespace axg {

// {BE81DE97-2EFC-46F2-95EA-2FB131E87619}
constexpr CLSID CLSID_AddInObject = {0xBE81DE97, 0x2EFC, 0x46F2,
                                            {0x95, 0xEA, 0x2F, 0xB1, 0x31, 0xE8, 0x76, 0x19}};
inline constexpr std::u16string_view kAddInClassName = u"ax_gate";
inline constexpr std::u16string_view kAddInDescription = u"V7 AddIn 2.0";

// "AddIn.ax_gate": the server name, a full stop and the class name.
std::u16string AddInProgId();

// The entries of the add-in class for a module at this file path.
ServerEntries AddInEntries(std::u16string_view module_path);

// DllGetClassObject: the factory's interface riid if rclsid is its class
// (S_OK, or E_NOINTERFACE); CLASS_E_CLASSNOTAVAILABLE otherwise. *ppv is null
// unless S_OK.
HRESULT ModuleGetClassObject(ClassFactory& factory, REFCLSID rclsid, REFIID riid, void** ppv);

// DllCanUnloadNow: S_OK when no object is alive and no factory referenced or
// locked, else S_FALSE.
HRESULT ModuleCanUnloadNow();

// DllRegisterServer / DllUnregisterServer against a given target and module
// path: S_OK, or E_FAIL if a step fails with an error.
HRESULT ModuleRegisterServer(RegistryTarget& target, std::u16string_view module_path);
HRESULT ModuleUnregisterServer(RegistryTarget& target);

// The same for this module in this process: the root follows the process's
// per-user switches, the path is this module's own file.
HRESULT RegisterThisModule();
HRESULT UnregisterThisModule();

}  // namespace axg
