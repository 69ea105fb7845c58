#pragma once
// The module's registry entries: what DllRegisterServer writes and
// DllUnregisterServer removes.
#include <string>
#include <string_view>
#include <vector>

#include "platform/ole.h"
#include "platform/registry.h"

namespace axg {

// Where the entries go: keys below one root, each with a default value.
class RegistryTarget {
 public:
  virtual ~RegistryTarget() = default;
  // Creates the key (and any above it) and sets its default value; false on failure.
  virtual bool SetDefaultValue(std::u16string_view key, std::u16string_view value) = 0;
  // Deletes one key; false if it cannot be deleted (absent, has subkeys, ...).
  virtual bool DeleteKey(std::u16string_view key) = 0;
};

// The system registry under one root.
class SystemRegistryTarget final : public RegistryTarget {
 public:
  explicit SystemRegistryTarget(RegRoot root) : root_(root) {}
  bool SetDefaultValue(std::u16string_view key, std::u16string_view value) override;
  bool DeleteKey(std::u16string_view key) override;

 private:
  RegRoot root_;
};

// The machine-wide classes root, or the current user's classes if the process
// was started with the switch "REGSERVERPERUSER" or "UNREGSERVERPERUSER".
RegRoot RegistrationRoot(const std::vector<std::u16string>& process_arguments);

// One registered class of an in-process server.
struct ServerEntries {
  CLSID clsid;
  std::u16string prog_id;
  std::u16string description;
  std::u16string module_path;  // as registered: already in its short form if need be
};

// Writes, in this order, each key with its default value:
//   CLSID\{clsid}                 description
//   CLSID\{clsid}\InprocServer32  module path
//   <ProgID>                      description
//   <ProgID>\Clsid                {clsid}
//   CLSID\{clsid}\ProgID          ProgID
// The first entry that cannot be written stops the sequence with the error
// "Error creating system registry entry"; entries written before it stay.
void RegisterServer(RegistryTarget& target, const ServerEntries& entries);

// Deletes CLSID\{clsid}\ProgID, <ProgID>\Clsid, <ProgID>,
// CLSID\{clsid}\InprocServer32 and CLSID\{clsid}, in this order; a key that
// cannot be deleted is passed over.
void UnregisterServer(RegistryTarget& target, const ServerEntries& entries);

// The path to register for a module file: its short form if it holds a blank.
std::u16string RegisteredModulePath(std::u16string_view module_path);

}  // namespace axg
