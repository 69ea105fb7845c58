// The class factory and the entry points' logic: creation rules, the class
// lookup of DllGetClassObject, and the counts behind DllCanUnloadNow.
#include <gtest/gtest.h>

#include "AddInObj/AddInFactory.h"
#include "AddInObj/ComServer.h"
#include "addin/fake_host.h"
#include "ax_gate/Module.h"
#include "ax_gate/ServerRegistration.h"
#include "module/probe.h"
#include "platform/error.h"
#include "platform/message_loop.h"

namespace axgtest {
namespace {

using axg::ClassFactory;
using axg::ComServer;

int g_creations = 0;

HRESULT CountingCreate(IUnknown* outer, REFIID riid, void** out) {
  ++g_creations;
  return CreateProbe(outer, riid, out);
}

HRESULT FailingCreate(IUnknown*, REFIID, void**) { throw axg::Error(u"no memory for the add-in"); }

const CLSID kOtherClass = {0xBE81DE97, 0x2EFC, 0x46F2, {0x95, 0xEA, 0x2F, 0xB1, 0x31, 0xE8, 0x76, 0x1A}};

class FactoryTest : public ::testing::Test {
 protected:
  void SetUp() override {
    g_creations = 0;
    ASSERT_EQ(axg::ModuleCanUnloadNow(), S_OK) << "a previous test left something alive";
  }
  void TearDown() override { EXPECT_EQ(axg::ModuleCanUnloadNow(), S_OK); }

  ClassFactory factory_{axg::CLSID_AddInObject, CountingCreate};
};

TEST_F(FactoryTest, CreateInstanceRules) {
  Outer outer;
  void* out = reinterpret_cast<void*>(1);
  EXPECT_EQ(factory_.CreateInstance(nullptr, IID_IInitDone, nullptr), E_POINTER);
  EXPECT_EQ(factory_.CreateInstance(&outer, IID_IInitDone, nullptr), E_POINTER);

  // An outer object goes only with IID_IUnknown; nothing is created otherwise.
  for (const IID* iid : {&IID_ILanguageExtender, &IID_IInitDone, &IID_IDispatch}) {
    out = reinterpret_cast<void*>(1);
    EXPECT_EQ(factory_.CreateInstance(&outer, *iid, &out), CLASS_E_NOAGGREGATION);
    EXPECT_EQ(out, nullptr);
  }
  EXPECT_EQ(g_creations, 0);
  EXPECT_EQ(outer.refs, 1u);

  // A refused interface: the new object is gone again at once.
  const int destroyed_before = Probe::destroyed;
  out = reinterpret_cast<void*>(1);
  EXPECT_EQ(factory_.CreateInstance(nullptr, IID_ILanguageExtender, &out), E_NOINTERFACE);
  EXPECT_EQ(out, nullptr);
  EXPECT_EQ(Probe::destroyed, destroyed_before + 1);

  // An outer object with IID_IUnknown aggregates.
  ASSERT_EQ(factory_.CreateInstance(&outer, IID_IUnknown, &out), S_OK);
  ASSERT_NE(out, nullptr);
  EXPECT_EQ(ComServer::Instance().ObjectCount(), 1);
  static_cast<IUnknown*>(out)->Release();
}

TEST_F(FactoryTest, EveryCreationMakesANewIndependentObject) {
  IInitDone* a = nullptr;
  IInitDone* b = nullptr;
  ASSERT_EQ(factory_.CreateInstance(nullptr, IID_IInitDone, reinterpret_cast<void**>(&a)), S_OK);
  ASSERT_EQ(factory_.CreateInstance(nullptr, IID_IInitDone, reinterpret_cast<void**>(&b)), S_OK);
  EXPECT_NE(a, b);
  EXPECT_EQ(g_creations, 2);
  EXPECT_EQ(ComServer::Instance().ObjectCount(), 2);
  EXPECT_EQ(axg::ModuleCanUnloadNow(), S_FALSE);
  EXPECT_EQ(a->Release(), 0u);
  EXPECT_EQ(ComServer::Instance().ObjectCount(), 1);
  EXPECT_EQ(b->Release(), 0u);
}

TEST_F(FactoryTest, FailureWhileCreatingIsUnexpected) {
  ClassFactory failing(axg::CLSID_AddInObject, FailingCreate);
  void* out = reinterpret_cast<void*>(1);
  EXPECT_EQ(failing.CreateInstance(nullptr, IID_IInitDone, &out), E_UNEXPECTED);
  EXPECT_EQ(out, nullptr);
}

// An exception that is no std::exception (an int here) thrown inside each kind
// of entry from the host stays inside it and is answered as that entry answers
// a failure: the factory's creation, the work of DllRegisterServer and
// DllUnregisterServer, an add-in method (Init, through the host's own event
// interface). The loop's callbacks: MessageLoopRun and HostPumpedLoop.
TEST_F(FactoryTest, ANonStandardExceptionStaysInsideEveryKindOfEntry) {
  struct ThrowingTarget : axg::RegistryTarget {
    bool SetDefaultValue(std::u16string_view, std::u16string_view) override { throw 42; }
    bool DeleteKey(std::u16string_view) override { throw 42; }
  } target;
  ClassFactory failing(axg::CLSID_AddInObject, [](IUnknown*, REFIID, void**) -> HRESULT { throw 42; });
  void* out = reinterpret_cast<void*>(1);
  EXPECT_EQ(failing.CreateInstance(nullptr, IID_IInitDone, &out), E_UNEXPECTED);
  EXPECT_EQ(axg::ModuleRegisterServer(target, u"/opt/ax_gate.so"), E_FAIL);
  EXPECT_EQ(axg::ModuleUnregisterServer(target), E_FAIL);

  axg::test::FakeHost host;
  host.throw_from_events = true;
  ASSERT_EQ(axg::CreateAddInObject(nullptr, IID_IInitDone, &out), S_OK);
  auto* init = static_cast<IInitDone*>(out);
  EXPECT_EQ(init->Init(&host), E_UNEXPECTED);
  EXPECT_EQ(init->Done(), S_OK);
  init->Release();
}

TEST_F(FactoryTest, ClassObjectOnlyForTheModulesClass) {
  void* out = reinterpret_cast<void*>(1);
  EXPECT_EQ(axg::ModuleGetClassObject(factory_, kOtherClass, IID_IClassFactory, &out),
            CLASS_E_CLASSNOTAVAILABLE);
  EXPECT_EQ(out, nullptr);
  EXPECT_EQ(axg::ModuleGetClassObject(factory_, axg::CLSID_AddInObject, IID_IClassFactory, nullptr),
            E_POINTER);

  out = reinterpret_cast<void*>(1);
  EXPECT_EQ(axg::ModuleGetClassObject(factory_, axg::CLSID_AddInObject, IID_IDispatch, &out),
            E_NOINTERFACE);
  EXPECT_EQ(out, nullptr);

  for (const IID* iid : {&IID_IClassFactory, &IID_IUnknown}) {
    ASSERT_EQ(axg::ModuleGetClassObject(factory_, axg::CLSID_AddInObject, *iid, &out), S_OK);
    EXPECT_EQ(out, static_cast<IClassFactory*>(&factory_));
    static_cast<IUnknown*>(out)->Release();
  }
}

TEST_F(FactoryTest, UnloadWaitsForObjectsFactoryReferencesAndLocks) {
  IClassFactory* cf = nullptr;
  ASSERT_EQ(axg::ModuleGetClassObject(factory_, axg::CLSID_AddInObject, IID_IClassFactory,
                                      reinterpret_cast<void**>(&cf)),
            S_OK);
  EXPECT_EQ(ComServer::Instance().FactoryCount(), 1);
  EXPECT_EQ(axg::ModuleCanUnloadNow(), S_FALSE);

  IUnknown* object = nullptr;
  ASSERT_EQ(cf->CreateInstance(nullptr, IID_IUnknown, reinterpret_cast<void**>(&object)), S_OK);
  EXPECT_EQ(cf->Release(), 0u);
  EXPECT_EQ(axg::ModuleCanUnloadNow(), S_FALSE);  // the object still lives
  object->Release();
  EXPECT_EQ(axg::ModuleCanUnloadNow(), S_OK);

  // A lock counts as an object while held, and the platform holds the factory.
  EXPECT_EQ(factory_.LockServer(TRUE), S_OK);
  EXPECT_EQ(factory_.LockServer(TRUE), S_OK);
  EXPECT_EQ(ComServer::Instance().ObjectCount(), 2);
  EXPECT_EQ(axg::ModuleCanUnloadNow(), S_FALSE);
  EXPECT_EQ(factory_.LockServer(FALSE), S_OK);
  EXPECT_EQ(axg::ModuleCanUnloadNow(), S_FALSE);
  EXPECT_EQ(factory_.LockServer(FALSE), S_OK);
  EXPECT_EQ(ComServer::Instance().ObjectCount(), 0);
  EXPECT_EQ(ComServer::Instance().FactoryCount(), 0);
  EXPECT_EQ(axg::ModuleCanUnloadNow(), S_OK);
}

// A connection closed just before the host's Done is reported and freed in a
// later turn of the loop, by the module's own code: until that call has run (or
// been dropped with its loop) the module must stay loaded.
TEST_F(FactoryTest, UnloadWaitsForDeferredCallsOfTheModule) {
  axg::MessageLoop& loop = axg::MessageLoop::Current();
  bool ran = false;
  axg::PostTracked(loop, [&ran] { ran = true; });
  EXPECT_EQ(axg::PendingTrackedCalls(), 1);
  EXPECT_EQ(axg::ModuleCanUnloadNow(), S_FALSE);
  ASSERT_TRUE(loop.RunUntil([&ran] { return ran; }, 2000));
  EXPECT_EQ(axg::PendingTrackedCalls(), 0);
  EXPECT_EQ(axg::ModuleCanUnloadNow(), S_OK);

  // A call that throws still counts down.
  axg::PostTracked(loop, [] { throw axg::Error(u"handler failed"); });
  EXPECT_EQ(axg::ModuleCanUnloadNow(), S_FALSE);
  loop.RunUntil([] { return axg::PendingTrackedCalls() == 0; }, 2000);
  EXPECT_EQ(axg::ModuleCanUnloadNow(), S_OK);
}

TEST_F(FactoryTest, UnlockWithoutLockChangesNothing) {
  EXPECT_EQ(factory_.LockServer(FALSE), E_UNEXPECTED);
  EXPECT_EQ(ComServer::Instance().ObjectCount(), 0);
  // Were it counted, this object would not keep the module loaded.
  IUnknown* object = nullptr;
  ASSERT_EQ(factory_.CreateInstance(nullptr, IID_IUnknown, reinterpret_cast<void**>(&object)), S_OK);
  EXPECT_EQ(axg::ModuleCanUnloadNow(), S_FALSE);
  object->Release();
}

}  // namespace
}  // namespace axgtest
