// The COM runtime stand-ins: the road from a ProgID to a module, the external
// lock, and what a module learns about itself and its process.
#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <random>

#include "platform/com.h"
#include "platform/error.h"
#include "platform/registry.h"
#include "platform/text.h"

namespace axg {
namespace {

namespace fs = std::filesystem;

const CLSID kClsid = {0x12345678, 0x9ABC, 0xDEF0, {1, 2, 3, 4, 5, 6, 7, 8}};
const char16_t kClsidText[] = u"{12345678-9ABC-DEF0-0102-030405060708}";

class ComTest : public ::testing::Test {
 protected:
  void SetUp() override {
    dir_ = fs::temp_directory_path() / ("axg-com-" + std::to_string(std::random_device{}()));
    fs::create_directories(dir_);
    ::setenv("AX_GATE_REGISTRY", (dir_ / "registry").c_str(), 1);
  }
  void TearDown() override {
    ::unsetenv("AX_GATE_REGISTRY");
    std::error_code ec;
    fs::remove_all(dir_, ec);
  }
  fs::path dir_;
};

TEST_F(ComTest, ProgIdLeadsToTheClassIdentifierAndTheUserEntryWins) {
  CLSID clsid{};
  EXPECT_EQ(CLSIDFromProgID(u"Test.Gate", &clsid), CO_E_CLASSSTRING);
  ASSERT_TRUE(RegSetDefaultValue(RegRoot::ClassesRoot, u"Test.Gate\\Clsid", kClsidText));
  ASSERT_EQ(CLSIDFromProgID(u"test.gate", &clsid), S_OK);
  EXPECT_TRUE(clsid == kClsid);

  ASSERT_TRUE(RegSetDefaultValue(RegRoot::CurrentUserClasses, u"Test.Gate\\Clsid",
                                 u"{00000000-0000-0000-0000-000000000001}"));
  ASSERT_EQ(CLSIDFromProgID(u"Test.Gate", &clsid), S_OK);
  EXPECT_EQ(clsid.Data4[7], 1);

  ASSERT_TRUE(RegSetDefaultValue(RegRoot::ClassesRoot, u"Broken\\Clsid", u"not a guid"));
  EXPECT_EQ(CLSIDFromProgID(u"Broken", &clsid), CO_E_CLASSSTRING);
  EXPECT_EQ(CLSIDFromProgID(u"", &clsid), CO_E_CLASSSTRING);
  EXPECT_EQ(CLSIDFromProgID(nullptr, &clsid), E_INVALIDARG);
}

TEST_F(ComTest, CreationFailsWithTheReasonAndANullOut) {
  void* out = reinterpret_cast<void*>(1);
  EXPECT_EQ(CoCreateInstance(kClsid, nullptr, CLSCTX_INPROC_SERVER, IID_IUnknown, &out),
            REGDB_E_CLASSNOTREG);
  EXPECT_EQ(out, nullptr);
  EXPECT_EQ(CoCreateInstance(kClsid, nullptr, CLSCTX_INPROC_SERVER, IID_IUnknown, nullptr),
            E_POINTER);

  const std::u16string server = std::u16string(u"CLSID\\") + kClsidText + u"\\InprocServer32";
  const std::u16string missing = FromUtf8((dir_ / "missing.so").string());
  ASSERT_TRUE(RegSetDefaultValue(RegRoot::ClassesRoot, server, missing));
  out = reinterpret_cast<void*>(1);
  EXPECT_EQ(CoCreateInstance(kClsid, nullptr, CLSCTX_INPROC_SERVER, IID_IUnknown, &out),
            CO_E_DLLNOTFOUND);
  EXPECT_EQ(out, nullptr);
  EXPECT_NE(ToUtf8(ComLoadError()).find("missing.so"), std::string::npos) << ToUtf8(ComLoadError());
  // Only in-process servers are served.
  EXPECT_EQ(CoCreateInstance(kClsid, nullptr, CLSCTX_LOCAL_SERVER, IID_IUnknown, &out),
            REGDB_E_CLASSNOTREG);
}

TEST(Com, ExternalLockHoldsOneReferencePerLock) {
  struct Counted : IUnknown {
    ULONG refs = 1;
    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID, void**) override { return E_NOINTERFACE; }
    ULONG STDMETHODCALLTYPE AddRef() override { return ++refs; }
    ULONG STDMETHODCALLTYPE Release() override { return --refs; }
  } object;
  EXPECT_EQ(CoLockObjectExternal(&object, TRUE, TRUE), S_OK);
  EXPECT_EQ(CoLockObjectExternal(&object, TRUE, TRUE), S_OK);
  EXPECT_EQ(object.refs, 3u);
  EXPECT_EQ(CoLockObjectExternal(&object, FALSE, TRUE), S_OK);
  EXPECT_EQ(CoLockObjectExternal(&object, FALSE, TRUE), S_OK);
  EXPECT_EQ(object.refs, 1u);
  EXPECT_EQ(CoLockObjectExternal(&object, FALSE, TRUE), S_OK);  // nothing left to give back
  EXPECT_EQ(object.refs, 1u);
}

TEST(Com, SwitchesMatchWholeArgumentsInAnyCaseWithOrWithoutPrefix) {
  struct Case {
    std::vector<std::u16string> args;
    bool expected;
  } cases[] = {
      {{u"/REGSERVERPERUSER"}, true},
      {{u"x.so", u"-RegServerPerUser"}, true},
      {{u"regserverperuser"}, true},
      {{u"/REGSERVER"}, false},
      {{u"/REGSERVERPERUSERX"}, false},
      {{u"//REGSERVERPERUSER"}, false},
      {{u"+REGSERVERPERUSER"}, false},
      {{}, false},
      {{u"", u"/"}, false},
  };
  for (const auto& c : cases) EXPECT_EQ(HasSwitch(c.args, u"REGSERVERPERUSER"), c.expected);
  // The test runner never passes this switch.
  EXPECT_FALSE(ProcessHasSwitch(u"REGSERVERPERUSER"));
}

TEST(Com, ModulePathIsTheFullPathOfTheFileHoldingTheAddress) {
  static const int anchor = 0;
  const std::u16string path = ModulePath(&anchor);
  ASSERT_FALSE(path.empty());
  EXPECT_EQ(path.front(), u'/');
  EXPECT_TRUE(fs::equivalent(fs::path(ToUtf8(path)), fs::read_symlink("/proc/self/exe")));
  int on_stack = 0;
  EXPECT_EQ(ModulePath(&on_stack), u"");
  EXPECT_EQ(ShortPath(u"/opt/1C v77/ax_gate.so"), u"/opt/1C v77/ax_gate.so");
}

TEST(Com, LibraryThatCannotBeLoadedRaisesTheLoadersMessage) {
  try {
    DynamicLibrary library(u"/nonexistent/ax_gate.so");
    FAIL() << "loaded a missing file";
  } catch (const Error& e) {
    EXPECT_NE(std::string(e.what()).find("/nonexistent/ax_gate.so"), std::string::npos);
  }
  DynamicLibrary none;
  EXPECT_FALSE(none.Loaded());
  EXPECT_EQ(none.Symbol("DllGetClassObject"), nullptr);
}

}  // namespace
}  // namespace axg
