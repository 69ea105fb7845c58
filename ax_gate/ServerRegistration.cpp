#include "ax_gate/ServerRegistration.h"

#include "platform/com.h"
#include "platform/error.h"

namespace axg {

bool SystemRegistryTarget::SetDefaultValue(std::u16string_view key, std::u16string_view value) {
  return RegSetDefaultValue(root_, key, value);
}

bool SystemRegistryTarget::DeleteKey(std::u16string_view key) { return RegRemoveKey(root_, key); }

RegRoot RegistrationRoot(const std::vector<std::u16string>& process_arguments) {
  const bool per_user = HasSwitch(process_arguments, u"REGSERVERPERUSER") ||
                        HasSwitch(process_arguments, u"UNREGSERVERPERUSER");
  return per_user ? RegRoot::CurrentUserClasses : RegRoot::ClassesRoot;
}

namespace {

std::u16string ClassKey(const ServerEntries& entries) {
  return u"CLSID\\" + GuidToString(entries.clsid);
}

}  // namespace

void RegisterServer(RegistryTarget& target, const ServerEntries& entries) {
  auto write = [&target](const std::u16string& key, std::u16string_view value) {
    if (!target.SetDefaultValue(key, value)) throw Error(u"Error creating system registry entry");
  };
  const std::u16string class_key = ClassKey(entries);
  write(class_key, entries.description);
  write(class_key + u"\\InprocServer32", entries.module_path);
  write(entries.prog_id, entries.description);
  write(entries.prog_id + u"\\Clsid", GuidToString(entries.clsid));
  write(class_key + u"\\ProgID", entries.prog_id);
}

void UnregisterServer(RegistryTarget& target, const ServerEntries& entries) {
  const std::u16string class_key = ClassKey(entries);
  target.DeleteKey(class_key + u"\\ProgID");
  target.DeleteKey(entries.prog_id + u"\\Clsid");
  target.DeleteKey(entries.prog_id);
  target.DeleteKey(class_key + u"\\InprocServer32");
  target.DeleteKey(class_key);
}

std::u16string RegisteredModulePath(std::u16string_view module_path) {
  if (module_path.find(u' ') != std::u16string_view::npos) return ShortPath(module_path);
  return std::u16string(module_path);
}

}  // namespace axg
