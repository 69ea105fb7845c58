// A module built from the entry points, registered with ax_gate-regsvr and
// created by ProgID through the COM stand-ins, as the host does it.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <random>
#include <string>

#include "AddInLib/AddInLib.h"
#include "ax_gate/Module.h"
#include "module/probe.h"
#include "platform/com.h"
#include "platform/registry.h"
#include "platform/text.h"

namespace axgtest {
namespace {

namespace fs = std::filesystem;
using axg::RegRoot;

const std::u16string kClassKey = u"CLSID\\{BE81DE97-2EFC-46F2-95EA-2FB131E87619}";

class ModuleLoadTest : public ::testing::Test {
 protected:
  void SetUp() override {
    dir_ = fs::temp_directory_path() / ("axg-load-" + std::to_string(std::random_device{}()));
    fs::create_directories(dir_);
    ::setenv("AX_GATE_REGISTRY", (dir_ / "registry").c_str(), 1);
  }
  void TearDown() override {
    ::unsetenv("AX_GATE_REGISTRY");
    std::error_code ec;
    fs::remove_all(dir_, ec);
  }
  // Runs ax_gate-regsvr; true if it exits with 0.
  static bool Regsvr(const std::string& args) {
    const std::string command = std::string("'") + AXG_REGSVR + "' " + args + " >/dev/null 2>&1";
    return std::system(command.c_str()) == 0;
  }
  static std::string Module() { return std::string("'") + AXG_TEST_MODULE + "'"; }

  fs::path dir_;
};

TEST_F(ModuleLoadTest, RegisteredModuleServesObjectsByProgIdAndUnregisters) {
  ASSERT_TRUE(Regsvr(Module()));
  EXPECT_EQ(axg::RegGetDefaultValue(RegRoot::ClassesRoot, kClassKey + u"\\InprocServer32"),
            axg::FromUtf8(AXG_TEST_MODULE));
  CLSID clsid{};
  ASSERT_EQ(CLSIDFromProgID(u"AddIn.ax_gate", &clsid), S_OK);
  EXPECT_TRUE(clsid == axg::CLSID_AddInObject);

  IInitDone* init = nullptr;
  ASSERT_EQ(CoCreateInstance(clsid, nullptr, CLSCTX_INPROC_SERVER, IID_IInitDone,
                             reinterpret_cast<void**>(&init)),
            S_OK);
  ASSERT_NE(init, nullptr);
  Outer outer;
  void* refused = reinterpret_cast<void*>(1);
  EXPECT_EQ(CoCreateInstance(clsid, &outer, CLSCTX_INPROC_SERVER, IID_IInitDone, &refused),
            CLASS_E_NOAGGREGATION);
  EXPECT_EQ(refused, nullptr);

  // A live object keeps its module loaded.
  CoFreeUnusedLibraries();
  EXPECT_EQ(init->Done(), S_OK);
  {
    axg::DynamicLibrary module(axg::FromUtf8(AXG_TEST_MODULE));
    auto can_unload = module.Find<HRESULT(STDAPICALLTYPE*)()>("DllCanUnloadNow");
    ASSERT_NE(can_unload, nullptr);
    EXPECT_EQ(can_unload(), S_FALSE);
    EXPECT_EQ(init->Release(), 0u);
    EXPECT_EQ(can_unload(), S_OK);

    IClassFactory* factory = nullptr;
    ASSERT_EQ(CoGetClassObject(clsid, CLSCTX_INPROC_SERVER, nullptr, IID_IClassFactory,
                               reinterpret_cast<void**>(&factory)),
              S_OK);
    EXPECT_EQ(can_unload(), S_FALSE);
    EXPECT_EQ(factory->LockServer(TRUE), S_OK);
    factory->Release();
    EXPECT_EQ(can_unload(), S_FALSE);
    EXPECT_EQ(factory->LockServer(FALSE), S_OK);  // the lock kept the factory alive
    EXPECT_EQ(can_unload(), S_OK);
  }
  // An idle module is unloaded, and loaded again for the next object. Where an
  // object's code lives tells whether its module is still there.
  CoFreeUnusedLibraries();
  IUnknown* again = nullptr;
  ASSERT_EQ(CoCreateInstance(clsid, nullptr, CLSCTX_INPROC_SERVER, IID_IUnknown,
                             reinterpret_cast<void**>(&again)),
            S_OK);
  const void* code = *reinterpret_cast<void**>(again);  // its table of operations
  CoFreeUnusedLibraries();
  EXPECT_EQ(axg::ModulePath(code), axg::FromUtf8(AXG_TEST_MODULE));
  again->Release();
  CoFreeUnusedLibraries();
  EXPECT_EQ(axg::ModulePath(code), u"");

  ASSERT_TRUE(Regsvr("/u " + Module()));
  EXPECT_EQ(CLSIDFromProgID(u"AddIn.ax_gate", &clsid), CO_E_CLASSSTRING);
  EXPECT_FALSE(axg::RegKeyExists(RegRoot::ClassesRoot, kClassKey));
}

TEST_F(ModuleLoadTest, PerUserSwitchRegistersForTheCurrentUserOnly) {
  ASSERT_TRUE(Regsvr(Module() + " /REGSERVERPERUSER"));
  EXPECT_TRUE(axg::RegKeyExists(RegRoot::CurrentUserClasses, u"AddIn.ax_gate\\Clsid"));
  EXPECT_TRUE(axg::RegKeyExists(RegRoot::CurrentUserClasses, kClassKey + u"\\ProgID"));
  EXPECT_FALSE(axg::RegKeyExists(RegRoot::ClassesRoot, u"AddIn.ax_gate"));
  CLSID clsid{};
  EXPECT_EQ(CLSIDFromProgID(u"AddIn.ax_gate", &clsid), S_OK);

  ASSERT_TRUE(Regsvr("/u " + Module() + " -unregserverperuser"));
  EXPECT_FALSE(axg::RegKeyExists(RegRoot::CurrentUserClasses, u"AddIn.ax_gate"));
  EXPECT_FALSE(axg::RegKeyExists(RegRoot::CurrentUserClasses, kClassKey));
}

TEST_F(ModuleLoadTest, RegsvrFailsLoudly) {
  EXPECT_FALSE(Regsvr(""));
  EXPECT_FALSE(Regsvr("'" + (dir_ / "missing.so").string() + "'"));
  {
    std::FILE* f = std::fopen((dir_ / "not-a-module.so").c_str(), "w");
    ASSERT_NE(f, nullptr);
    std::fputs("text", f);
    std::fclose(f);
  }
  EXPECT_FALSE(Regsvr("'" + (dir_ / "not-a-module.so").string() + "'"));
  // A registry that cannot be written: DllRegisterServer fails, and so does the tool.
  ::setenv("AX_GATE_REGISTRY", (dir_ / "not-a-module.so" / "registry").c_str(), 1);
  EXPECT_FALSE(Regsvr(Module()));
  EXPECT_TRUE(Regsvr("/u " + Module()));  // nothing to remove is no failure
}

}  // namespace
}  // namespace axgtest
