#include "AddInObj/ComServer.h"

namespace axg {

namespace {
// Constant-initialised and trivially destroyed: objects that outlive static
// destruction can still count themselves out.
constinit ComServer g_server;
}  // namespace

ComServer& ComServer::Instance() { return g_server; }

std::u16string ComServer::ProgId(std::u16string_view class_name) const {
  std::u16string id(Name());
  id += u'.';
  id += class_name;
  return id;
}

LONG ComServer::CountObject(bool add) { return add ? ++objects_ : --objects_; }

LONG ComServer::CountFactoryReference(bool add) { return add ? ++factory_refs_ : --factory_refs_; }

}  // namespace axg
