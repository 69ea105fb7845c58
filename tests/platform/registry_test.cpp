// The registry stand-in: keys and default values in a file of its own per test.
#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <optional>
#include <random>
#include <sstream>

#include "platform/registry.h"
#include "platform/text.h"

namespace axg {
namespace {

namespace fs = std::filesystem;

// Points AX_GATE_REGISTRY at a file in a fresh directory for one test.
class RegistryTest : public ::testing::Test {
 protected:
  void SetUp() override {
    dir_ = fs::temp_directory_path() / ("axg-registry-" + std::to_string(std::random_device{}()));
    fs::create_directories(dir_);
    file_ = dir_ / "registry";
    ::setenv("AX_GATE_REGISTRY", file_.c_str(), 1);
  }
  void TearDown() override {
    ::unsetenv("AX_GATE_REGISTRY");
    std::error_code ec;
    fs::remove_all(dir_, ec);
  }
  std::string FileText() const {
    std::ifstream in(file_);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
  }

  fs::path dir_;
  fs::path file_;
};

constexpr RegRoot kMachine = RegRoot::ClassesRoot;
constexpr RegRoot kUser = RegRoot::CurrentUserClasses;

TEST_F(RegistryTest, AbsentFileIsAnEmptyRegistry) {
  EXPECT_FALSE(RegKeyExists(kMachine, u"CLSID"));
  EXPECT_EQ(RegGetDefaultValue(kMachine, u"CLSID"), std::nullopt);
  EXPECT_FALSE(RegRemoveKey(kMachine, u"CLSID"));
  EXPECT_FALSE(fs::exists(file_));
  EXPECT_EQ(RegistryFilePath(), FromUtf8(file_.string()));
}

TEST_F(RegistryTest, SetCreatesTheWayDownAndLooksUpWithoutCase) {
  ASSERT_TRUE(RegSetDefaultValue(kMachine, u"CLSID\\{X}\\InprocServer32", u"/opt/ax_gate.so"));
  EXPECT_TRUE(RegKeyExists(kMachine, u"CLSID"));
  EXPECT_TRUE(RegKeyExists(kMachine, u"clsid\\{x}"));
  EXPECT_EQ(RegGetDefaultValue(kMachine, u"CLSID\\{X}"), std::nullopt);  // a key, no value
  EXPECT_EQ(RegGetDefaultValue(kMachine, u"clsid\\{x}\\inprocserver32"), u"/opt/ax_gate.so");

  ASSERT_TRUE(RegSetDefaultValue(kMachine, u"CLSID\\{x}\\INPROCSERVER32", u"/other.so"));
  EXPECT_EQ(RegGetDefaultValue(kMachine, u"CLSID\\{X}\\InprocServer32"), u"/other.so");
  // Rewriting keeps the key's first spelling.
  EXPECT_NE(FileText().find("[HKEY_CLASSES_ROOT\\CLSID\\{X}\\InprocServer32]"), std::string::npos);

  ASSERT_TRUE(RegSetDefaultValue(kMachine, u"Ключ", u"значение"));
  EXPECT_EQ(RegGetDefaultValue(kMachine, u"КЛЮЧ"), u"значение");
}

TEST_F(RegistryTest, RootsAreSeparate) {
  ASSERT_TRUE(RegSetDefaultValue(kUser, u"AddIn.ax_gate", u"per user"));
  EXPECT_FALSE(RegKeyExists(kMachine, u"AddIn.ax_gate"));
  ASSERT_TRUE(RegSetDefaultValue(kMachine, u"AddIn.ax_gate", u"machine"));
  EXPECT_EQ(RegGetDefaultValue(kUser, u"AddIn.ax_gate"), u"per user");
  EXPECT_EQ(RegGetDefaultValue(kMachine, u"AddIn.ax_gate"), u"machine");
  const std::string text = FileText();
  EXPECT_NE(text.find("[HKEY_CURRENT_USER\\Software\\Classes\\AddIn.ax_gate]\n@=\"per user\""),
            std::string::npos);
  EXPECT_NE(text.find("[HKEY_CLASSES_ROOT\\AddIn.ax_gate]\n@=\"machine\""), std::string::npos);
}

TEST_F(RegistryTest, DeleteFailsForAbsentKeysAndKeysWithSubkeys) {
  ASSERT_TRUE(RegSetDefaultValue(kMachine, u"A\\B\\C", u"c"));
  EXPECT_FALSE(RegRemoveKey(kMachine, u"A\\B\\D"));
  EXPECT_FALSE(RegRemoveKey(kMachine, u"A\\B"));
  EXPECT_TRUE(RegKeyExists(kMachine, u"A\\B"));
  EXPECT_TRUE(RegRemoveKey(kMachine, u"a\\b\\c"));
  EXPECT_FALSE(RegKeyExists(kMachine, u"A\\B\\C"));
  EXPECT_TRUE(RegRemoveKey(kMachine, u"A\\B"));
  EXPECT_TRUE(RegRemoveKey(kMachine, u"A"));
  EXPECT_FALSE(RegRemoveKey(kMachine, u"A"));
  // A key that merely starts like another is not its subkey.
  ASSERT_TRUE(RegSetDefaultValue(kMachine, u"AB", u""));
  ASSERT_TRUE(RegSetDefaultValue(kMachine, u"A", u""));
  EXPECT_TRUE(RegRemoveKey(kMachine, u"A"));
}

TEST_F(RegistryTest, MalformedKeysAreRefused) {
  for (std::u16string_view key : {u"", u"\\A", u"A\\", u"A\\\\B", u"A\nB"}) {
    EXPECT_FALSE(RegSetDefaultValue(kMachine, key, u"v"));
    EXPECT_FALSE(RegKeyExists(kMachine, key));
    EXPECT_FALSE(RegRemoveKey(kMachine, key));
  }
  EXPECT_FALSE(fs::exists(file_));
}

TEST_F(RegistryTest, ValuesSurviveTheFileWhateverTheyHold) {
  const std::u16string values[] = {u"", u"say \"hi\"", u"C:\\Program Files\\1Cv77\\ax_gate.dll",
                                   u"line\nbreak\r\ttab", u"] [X]\n@=\"injected\"", u"Ворота"};
  int n = 0;
  for (const auto& v : values) {
    const std::u16string key = u"K" + IntToStr(n++);
    ASSERT_TRUE(RegSetDefaultValue(kMachine, key, v));
  }
  n = 0;
  for (const auto& v : values) EXPECT_EQ(RegGetDefaultValue(kMachine, u"K" + IntToStr(n++)), v);
  EXPECT_FALSE(RegKeyExists(kMachine, u"X"));
  // Every write goes through a temporary file that is renamed; none is left over.
  for (const auto& entry : fs::directory_iterator(dir_))
    EXPECT_TRUE(entry.path() == file_ || entry.path().extension() == ".lock") << entry.path();
}

TEST_F(RegistryTest, NamedValuesLiveBesideTheDefaultValueAndSurviveRewrites) {
  constexpr RegRoot kSoftware = RegRoot::CurrentUserSoftware;
  const std::u16string values[] = {u"/var/log/ax_gate/trace.jsonl", u"say \"hi\"=\"x\"",
                                   u"C:\\Трасса\\trace.jsonl", u"a\nb"};
  for (const auto& v : values) {
    ASSERT_TRUE(RegSetStringValue(kSoftware, u"ax_gate", u"Trace", v));
    ASSERT_TRUE(RegSetDefaultValue(kSoftware, u"ax_gate", u"kept"));  // rewrites the file
    EXPECT_EQ(RegGetStringValue(kSoftware, u"AX_GATE", u"trace"), v);
    EXPECT_EQ(RegGetStringValue(kSoftware, u"ax_gate", u""), u"kept");
  }
  EXPECT_EQ(RegGetStringValue(kSoftware, u"ax_gate", u"Other"), std::nullopt);
  EXPECT_EQ(RegGetStringValue(kSoftware, u"absent", u"Trace"), std::nullopt);
  // The same key name below another root is another key.
  EXPECT_EQ(RegGetStringValue(kUser, u"ax_gate", u"Trace"), std::nullopt);
  EXPECT_NE(FileText().find("[HKEY_CURRENT_USER\\Software\\ax_gate]"), std::string::npos);
  EXPECT_FALSE(RegSetStringValue(kSoftware, u"ax_gate", u"bad\nname", u"v"));
}

TEST_F(RegistryTest, AFileThatCannotBeUnderstoodIsNeverOverwritten) {
  {
    std::ofstream out(file_);
    out << "[HKEY_CLASSES_ROOT\\Mine]\n@=\"kept\"\nthis line is not ours\n";
  }
  const std::string before = FileText();
  EXPECT_FALSE(RegSetDefaultValue(kMachine, u"Other", u"x"));
  EXPECT_FALSE(RegRemoveKey(kMachine, u"Mine"));
  EXPECT_EQ(RegGetDefaultValue(kMachine, u"Mine"), std::nullopt);
  EXPECT_EQ(FileText(), before);
}

TEST_F(RegistryTest, UnwritableLocationFails) {
  // The registry's directory would have to be below a plain file.
  std::ofstream(dir_ / "plain") << "x";
  ::setenv("AX_GATE_REGISTRY", (dir_ / "plain" / "registry").c_str(), 1);
  EXPECT_FALSE(RegSetDefaultValue(kMachine, u"AddIn.ax_gate", u"V7 AddIn 2.0"));
  EXPECT_FALSE(RegKeyExists(kMachine, u"AddIn.ax_gate"));
}

TEST_F(RegistryTest, DefaultLocationFollowsXdgThenHome) {
  ::unsetenv("AX_GATE_REGISTRY");
  const char* old_xdg = std::getenv("XDG_CONFIG_HOME");
  const char* old_home = std::getenv("HOME");
  const std::string saved_xdg = old_xdg ? old_xdg : "", saved_home = old_home ? old_home : "";
  ::setenv("XDG_CONFIG_HOME", (dir_ / "xdg").c_str(), 1);
  EXPECT_EQ(RegistryFilePath(), FromUtf8((dir_ / "xdg" / "ax_gate" / "registry").string()));
  ::unsetenv("XDG_CONFIG_HOME");
  ::setenv("HOME", dir_.c_str(), 1);
  EXPECT_EQ(RegistryFilePath(), FromUtf8((dir_ / ".config" / "ax_gate" / "registry").string()));
  // The directory is made on the first write.
  ASSERT_TRUE(RegSetDefaultValue(kMachine, u"AddIn.ax_gate", u"V7 AddIn 2.0"));
  EXPECT_TRUE(fs::exists(dir_ / ".config" / "ax_gate" / "registry"));
  if (old_xdg) ::setenv("XDG_CONFIG_HOME", saved_xdg.c_str(), 1);
  if (old_home)
    ::setenv("HOME", saved_home.c_str(), 1);
  else
    ::unsetenv("HOME");
}

}  // namespace
}  // namespace axg
