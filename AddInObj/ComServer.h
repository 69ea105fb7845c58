#pragma once
// The module's COM server object: its name and the two counts that decide
// whether the module may be unloaded. It exists from the module's loading to its
// unloading; the counts change atomically, whichever thread calls.
#include <atomic>
#include <string>
#include <string_view>

#include "platform/message_loop.h"
#include "platform/ole.h"
#include "trace/TTrace.h"

namespace axg {

class ComServer {
 public:
  // The one server object of the module.
  static ComServer& Instance();

  constexpr ComServer() = default;
  ComServer(const ComServer&) = delete;
  ComServer& operator=(const ComServer&) = delete;

  // The server name; a class's ProgID is this name, a full stop and the class name.
  std::u16string_view Name() const { return u"AddIn"; }
  std::u16string ProgId(std::u16string_view class_name) const;

  // Live objects: every COM object of the module, and every server lock held
  // through a class factory. Returns the new count.
  LONG CountObject(bool add);
  LONG ObjectCount() const { return objects_.load(); }

  // References held on the module's class factories. Returns the new count.
  LONG CountFactoryReference(bool add);
  LONG FactoryCount() const { return factory_refs_.load(); }

  // Nothing alive, no factory referenced, no deferred call of the module left
  // on the message loop (a connection closed just before Done is reported and
  // freed in a later turn, by code of this module) and no trace writer still
  // finishing with a file that hung: the module may be unloaded.
  bool CanUnload() const {
    return ObjectCount() == 0 && FactoryCount() == 0 && PendingTrackedCalls() == 0 && TTrace::WritersAlive() == 0;
  }

 private:
  std::atomic<LONG> objects_{0};
  std::atomic<LONG> factory_refs_{0};
};

}  // namespace axg
