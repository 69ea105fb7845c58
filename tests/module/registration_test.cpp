// The module's registry entries: keys, values and order, their removal, the
// per-user root, and failures.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <random>
#include <utility>
#include <vector>

#include "ax_gate/Module.h"
#include "platform/registry.h"

namespace axgtest {
namespace {

namespace fs = std::filesystem;
using axg::RegRoot;

const std::u16string kClassKey = u"CLSID\\{BE81DE97-2EFC-46F2-95EA-2FB131E87619}";

// Records every request in order; the write with number fail_at (1-based) fails.
class RecordingTarget : public axg::RegistryTarget {
 public:
  explicit RecordingTarget(int fail_at = 0) : fail_at_(fail_at) {}
  bool SetDefaultValue(std::u16string_view key, std::u16string_view value) override {
    writes.emplace_back(key, value);
    return static_cast<int>(writes.size()) != fail_at_;
  }
  bool DeleteKey(std::u16string_view key) override {
    deletes.emplace_back(key);
    return false;  // as if nothing were there
  }
  std::vector<std::pair<std::u16string, std::u16string>> writes;
  std::vector<std::u16string> deletes;

 private:
  int fail_at_;
};

TEST(Registration, WritesTheFiveEntriesInOrder) {
  EXPECT_EQ(axg::AddInProgId(), u"AddIn.ax_gate");
  RecordingTarget target;
  ASSERT_EQ(axg::ModuleRegisterServer(target, u"/opt/ax_gate/ax_gate.so"), S_OK);
  const std::vector<std::pair<std::u16string, std::u16string>> expected = {
      {kClassKey, u"V7 AddIn 2.0"},
      {kClassKey + u"\\InprocServer32", u"/opt/ax_gate/ax_gate.so"},
      {u"AddIn.ax_gate", u"V7 AddIn 2.0"},
      {u"AddIn.ax_gate\\Clsid", u"{BE81DE97-2EFC-46F2-95EA-2FB131E87619}"},
      {kClassKey + u"\\ProgID", u"AddIn.ax_gate"},
  };
  EXPECT_EQ(target.writes, expected);
  EXPECT_TRUE(target.deletes.empty());
}

TEST(Registration, AFailedWriteStopsTheSequenceWithEFail) {
  for (int fail_at = 1; fail_at <= 5; ++fail_at) {
    SCOPED_TRACE(fail_at);
    RecordingTarget target(fail_at);
    EXPECT_EQ(axg::ModuleRegisterServer(target, u"/opt/ax_gate.so"), E_FAIL);
    EXPECT_EQ(target.writes.size(), static_cast<std::size_t>(fail_at));
  }
  RecordingTarget target;
  EXPECT_EQ(axg::ModuleRegisterServer(target, u""), E_FAIL);  // no path to register
  EXPECT_TRUE(target.writes.empty());
}

TEST(Registration, UnregisterDeletesInOrderAndPassesOverFailures) {
  RecordingTarget target;
  EXPECT_EQ(axg::ModuleUnregisterServer(target), S_OK);
  const std::vector<std::u16string> expected = {kClassKey + u"\\ProgID", u"AddIn.ax_gate\\Clsid",
                                                u"AddIn.ax_gate", kClassKey + u"\\InprocServer32",
                                                kClassKey};
  EXPECT_EQ(target.deletes, expected);
}

TEST(Registration, PerUserSwitchesChooseTheUsersRoot) {
  struct Case {
    std::vector<std::u16string> args;
    RegRoot root;
  } cases[] = {
      {{}, RegRoot::ClassesRoot},
      {{u"/s", u"ax_gate.dll"}, RegRoot::ClassesRoot},
      {{u"/REGSERVERPERUSER"}, RegRoot::CurrentUserClasses},
      {{u"ax_gate.dll", u"-UnRegServerPerUser"}, RegRoot::CurrentUserClasses},
      {{u"REGSERVERPERUSER"}, RegRoot::CurrentUserClasses},
      {{u"/REGSERVER"}, RegRoot::ClassesRoot},
      {{u"/REGSERVERPERUSER2"}, RegRoot::ClassesRoot},
  };
  for (const auto& c : cases) EXPECT_EQ(axg::RegistrationRoot(c.args), c.root);
}

class RegistryFileTest : public ::testing::Test {
 protected:
  void SetUp() override {
    dir_ = fs::temp_directory_path() / ("axg-module-" + std::to_string(std::random_device{}()));
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

TEST_F(RegistryFileTest, RegisterThenUnregisterLeavesNoEntry) {
  axg::SystemRegistryTarget machine(RegRoot::ClassesRoot);
  EXPECT_EQ(axg::ModuleUnregisterServer(machine), S_OK);  // nothing registered yet
  ASSERT_EQ(axg::ModuleRegisterServer(machine, u"/opt/1C v77/ax_gate.so"), S_OK);
  ASSERT_EQ(axg::ModuleRegisterServer(machine, u"/opt/1C v77/ax_gate.so"), S_OK);  // again
  EXPECT_EQ(axg::RegGetDefaultValue(RegRoot::ClassesRoot, kClassKey + u"\\InprocServer32"),
            u"/opt/1C v77/ax_gate.so");  // the short form of a path is the path itself here
  EXPECT_EQ(axg::RegGetDefaultValue(RegRoot::ClassesRoot, u"AddIn.ax_gate\\Clsid"),
            u"{BE81DE97-2EFC-46F2-95EA-2FB131E87619}");
  EXPECT_FALSE(axg::RegKeyExists(RegRoot::CurrentUserClasses, u"AddIn.ax_gate"));

  EXPECT_EQ(axg::ModuleUnregisterServer(machine), S_OK);
  for (const auto& key : {kClassKey + u"\\ProgID", std::u16string(u"AddIn.ax_gate\\Clsid"),
                          std::u16string(u"AddIn.ax_gate"), kClassKey + u"\\InprocServer32",
                          kClassKey})
    EXPECT_FALSE(axg::RegKeyExists(RegRoot::ClassesRoot, key));
}

TEST_F(RegistryFileTest, UnregisterKeepsWhatOthersAddedBelowTheClass) {
  axg::SystemRegistryTarget user(RegRoot::CurrentUserClasses);
  ASSERT_EQ(axg::ModuleRegisterServer(user, u"/opt/ax_gate.so"), S_OK);
  ASSERT_TRUE(axg::RegSetDefaultValue(RegRoot::CurrentUserClasses,
                                      kClassKey + u"\\Implemented Categories", u""));
  EXPECT_EQ(axg::ModuleUnregisterServer(user), S_OK);
  EXPECT_TRUE(axg::RegKeyExists(RegRoot::CurrentUserClasses, kClassKey));
  EXPECT_FALSE(axg::RegKeyExists(RegRoot::CurrentUserClasses, kClassKey + u"\\InprocServer32"));
  EXPECT_FALSE(axg::RegKeyExists(RegRoot::CurrentUserClasses, u"AddIn.ax_gate"));
}

TEST_F(RegistryFileTest, ARegistryThatCannotBeWrittenGivesEFail) {
  // The registry's directory would have to be below a plain file.
  std::FILE* f = std::fopen((dir_ / "plain").c_str(), "w");
  ASSERT_NE(f, nullptr);
  std::fclose(f);
  ::setenv("AX_GATE_REGISTRY", (dir_ / "plain" / "registry").c_str(), 1);
  axg::SystemRegistryTarget machine(RegRoot::ClassesRoot);
  EXPECT_EQ(axg::ModuleRegisterServer(machine, u"/opt/ax_gate.so"), E_FAIL);
  EXPECT_EQ(axg::ModuleUnregisterServer(machine), S_OK);  // nothing to delete is no error
}

}  // namespace
}  // namespace axgtest
