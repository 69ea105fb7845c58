// The COM object base: one count for all interfaces, identity, ISupportErrorInfo,
// aggregation and the server's live-object count.
#include <gtest/gtest.h>

#include "AddInObj/ComServer.h"
#include "module/probe.h"
#include "platform/text.h"

namespace axgtest {
namespace {

using axg::ComServer;

template <class I>
I* Query(IUnknown* from, REFIID iid) {
  void* p = nullptr;
  return from->QueryInterface(iid, &p) == S_OK ? static_cast<I*>(p) : nullptr;
}

TEST(ComObject, OneCountForEveryInterfaceAndOneIdentity) {
  const LONG objects_before = ComServer::Instance().ObjectCount();
  const int destroyed_before = Probe::destroyed;
  IInitDone* init = nullptr;
  ASSERT_EQ(CreateProbe(nullptr, IID_IInitDone, reinterpret_cast<void**>(&init)), S_OK);
  ASSERT_NE(init, nullptr);
  EXPECT_EQ(ComServer::Instance().ObjectCount(), objects_before + 1);

  IDispatch* disp = Query<IDispatch>(init, IID_IDispatch);
  ASSERT_NE(disp, nullptr);
  IUnknown* id1 = Query<IUnknown>(init, IID_IUnknown);
  IUnknown* id2 = Query<IUnknown>(disp, IID_IUnknown);
  EXPECT_EQ(id1, id2);
  EXPECT_NE(static_cast<void*>(id1), static_cast<void*>(init));
  EXPECT_EQ(Query<IInitDone>(disp, IID_IInitDone), init);  // back again: the same pointer

  // Six references now, whichever interface took them; any interface gives any back.
  EXPECT_EQ(init->AddRef(), 6u);
  EXPECT_EQ(disp->Release(), 5u);
  for (IUnknown* p : {static_cast<IUnknown*>(init), static_cast<IUnknown*>(init), id1, id2})
    p->Release();
  EXPECT_EQ(Probe::destroyed, destroyed_before);
  EXPECT_EQ(disp->Release(), 0u);
  EXPECT_EQ(Probe::destroyed, destroyed_before + 1);
  EXPECT_EQ(ComServer::Instance().ObjectCount(), objects_before);
}

TEST(ComObject, AnswersOnlyForItsTableAndSaysSoInErrorInfo) {
  IUnknown* object = nullptr;
  ASSERT_EQ(CreateProbe(nullptr, IID_IUnknown, reinterpret_cast<void**>(&object)), S_OK);
  auto* info = Query<ISupportErrorInfo>(object, IID_ISupportErrorInfo);
  ASSERT_NE(info, nullptr);
  struct Case {
    const IID* iid;
    HRESULT support;
  } cases[] = {{&IID_IUnknown, S_OK},           {&IID_IInitDone, S_OK},
               {&IID_IDispatch, S_OK},          {&IID_ISupportErrorInfo, S_OK},
               {&IID_ILanguageExtender, S_FALSE}, {&IID_IClassFactory, S_FALSE},
               {&IID_IErrorLog, S_FALSE}};
  for (const auto& c : cases) {
    SCOPED_TRACE(axg::ToUtf8(axg::GuidToString(*c.iid)));
    EXPECT_EQ(info->InterfaceSupportsErrorInfo(*c.iid), c.support);
    void* p = reinterpret_cast<void*>(1);
    EXPECT_EQ(object->QueryInterface(*c.iid, &p), c.support == S_OK ? S_OK : E_NOINTERFACE);
    if (p != nullptr) {
      static_cast<IUnknown*>(p)->Release();
    } else {
      EXPECT_EQ(c.support, S_FALSE);
    }
  }
  EXPECT_EQ(object->QueryInterface(IID_IDispatch, nullptr), E_POINTER);
  info->Release();
  object->Release();
}

TEST(ComObject, RefusedCreationRequestDestroysTheObjectAtOnce) {
  const LONG objects_before = ComServer::Instance().ObjectCount();
  const int destroyed_before = Probe::destroyed;
  void* out = reinterpret_cast<void*>(1);
  EXPECT_EQ(CreateProbe(nullptr, IID_ILanguageExtender, &out), E_NOINTERFACE);
  EXPECT_EQ(out, nullptr);
  EXPECT_EQ(Probe::destroyed, destroyed_before + 1);
  EXPECT_EQ(ComServer::Instance().ObjectCount(), objects_before);
}

TEST(ComObject, AggregatedInterfacesDelegateButTheOwnIUnknownDoesNot) {
  Outer outer;
  const int destroyed_before = Probe::destroyed;
  IUnknown* inner = nullptr;
  ASSERT_EQ(CreateProbe(&outer, IID_IUnknown, reinterpret_cast<void**>(&inner)), S_OK);
  EXPECT_NE(static_cast<void*>(inner), static_cast<void*>(&outer));
  EXPECT_EQ(outer.refs, 1u);  // the inner object holds no reference on its outer one

  // The outer object asks its inner one for an interface: counted on the outer.
  IInitDone* init = Query<IInitDone>(inner, IID_IInitDone);
  ASSERT_NE(init, nullptr);
  EXPECT_EQ(outer.refs, 2u);
  EXPECT_EQ(init->AddRef(), 3u);
  EXPECT_EQ(init->Release(), 2u);

  // QueryInterface through the interface goes to the outer object, IUnknown too.
  IUnknown* identity = Query<IUnknown>(init, IID_IUnknown);
  EXPECT_EQ(identity, &outer);
  EXPECT_EQ(outer.queries, 1);
  identity->Release();
  init->Release();
  EXPECT_EQ(outer.refs, 1u);

  // The own IUnknown keeps its own count; its release ends the object.
  EXPECT_EQ(inner->AddRef(), 2u);
  EXPECT_EQ(inner->Release(), 1u);
  EXPECT_EQ(Probe::destroyed, destroyed_before);
  EXPECT_EQ(inner->Release(), 0u);
  EXPECT_EQ(Probe::destroyed, destroyed_before + 1);
  EXPECT_EQ(outer.queries, 1);
}

}  // namespace
}  // namespace axgtest
