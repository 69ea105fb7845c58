// The registry, the module's own path and the process's switches on Windows:
// what self-registration stands on.
#include <gtest/gtest.h>
#include <windows.h>

#include <algorithm>
#include <cstdlib>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "platform/com.h"
#include "platform/registry.h"
#include "platform/text.h"
#include "platform/win32/thread_slot.h"

namespace axg {
namespace {

const std::u16string kKey = u"axg.test.registry";

struct CleanKeys {
  ~CleanKeys() {
    for (RegRoot root : {RegRoot::ClassesRoot, RegRoot::CurrentUserClasses}) {
      RegRemoveKey(root, kKey + u"\\Sub\\Leaf");
      RegRemoveKey(root, kKey + u"\\Sub");
      RegRemoveKey(root, kKey);
    }
  }
};

TEST(Win32Registry, DefaultValuesUnderBothRootsAndKeysRemovedLeafFirst) {
  CleanKeys clean;
  for (RegRoot root : {RegRoot::ClassesRoot, RegRoot::CurrentUserClasses}) {
    SCOPED_TRACE(root == RegRoot::ClassesRoot ? "classes root" : "current user's classes");
    EXPECT_FALSE(RegKeyExists(root, kKey));
    EXPECT_FALSE(RegGetDefaultValue(root, kKey).has_value());
    // Missing keys above are made on the way.
    ASSERT_TRUE(RegSetDefaultValue(root, kKey + u"\\Sub\\Leaf", u"Порт 1001"));
    EXPECT_TRUE(RegKeyExists(root, kKey + u"\\Sub"));
    EXPECT_FALSE(RegGetDefaultValue(root, kKey + u"\\Sub").has_value()) << "a key made on the way has no value";
    EXPECT_EQ(RegGetDefaultValue(root, kKey + u"\\SUB\\leaf"), u"Порт 1001") << "names ignore letter case";
    ASSERT_TRUE(RegSetDefaultValue(root, kKey + u"\\Sub\\Leaf", u""));
    EXPECT_EQ(RegGetDefaultValue(root, kKey + u"\\Sub\\Leaf"), u"");
    EXPECT_FALSE(RegRemoveKey(root, kKey + u"\\Sub")) << "a key with subkeys stays";
    EXPECT_TRUE(RegRemoveKey(root, kKey + u"\\Sub\\Leaf"));
    EXPECT_TRUE(RegRemoveKey(root, kKey + u"\\Sub"));
    EXPECT_TRUE(RegRemoveKey(root, kKey));
    EXPECT_FALSE(RegRemoveKey(root, kKey)) << "an absent key";
  }
  // The per-user root is HKEY_CURRENT_USER\Software\Classes.
  ASSERT_TRUE(RegSetDefaultValue(RegRoot::CurrentUserClasses, kKey, u"user"));
  HKEY h = nullptr;
  ASSERT_EQ(RegOpenKeyExW(HKEY_CURRENT_USER, L"Software\\Classes\\axg.test.registry", 0, KEY_READ, &h),
            ERROR_SUCCESS);
  RegCloseKey(h);
}

TEST(Win32Registry, MalformedKeysAreRefused) {
  for (const char16_t* key : {u"", u"\\axg.test", u"axg.test\\", u"axg\\\\test", u"axg\ttest"}) {
    EXPECT_FALSE(RegSetDefaultValue(RegRoot::CurrentUserClasses, key, u"x")) << static_cast<int>(key[0]);
    EXPECT_FALSE(RegKeyExists(RegRoot::CurrentUserClasses, key));
  }
  EXPECT_EQ(RegistryFilePath(), u"") << "the real registry has no file";
}

TEST(Win32Module, PathFromAnAddressAndShortFormOfAPathWithABlank) {
  wchar_t exe[MAX_PATH];
  const DWORD n = GetModuleFileNameW(nullptr, exe, MAX_PATH);
  static const int here = 0;
  EXPECT_EQ(ModulePath(&here), std::u16string(reinterpret_cast<const char16_t*>(exe), n));
  EXPECT_EQ(ModulePath(nullptr), u"");
  const auto heap = std::make_unique<int>(0);
  EXPECT_EQ(ModulePath(heap.get()), u"") << "an address outside every module";

  // A file in a directory with a blank: the short form names the same file and
  // has no blank; a path without a blank is left as it is.
  wchar_t temp[MAX_PATH];
  ASSERT_GT(GetTempPathW(MAX_PATH, temp), 0u);
  const std::wstring dir = std::wstring(temp) + L"axg short path";
  const std::wstring file = dir + L"\\ax_gate.dll";
  CreateDirectoryW(dir.c_str(), nullptr);
  HANDLE h = CreateFileW(file.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
  ASSERT_NE(h, INVALID_HANDLE_VALUE);
  CloseHandle(h);
  const std::u16string long_path(reinterpret_cast<const char16_t*>(file.c_str()));
  const std::u16string short_path = ShortPath(long_path);
  EXPECT_EQ(short_path.find(u' '), std::u16string::npos) << "short form of a path with a blank";
  EXPECT_NE(GetFileAttributesW(reinterpret_cast<const wchar_t*>(short_path.c_str())), INVALID_FILE_ATTRIBUTES);
  EXPECT_EQ(ShortPath(u"C:\\windows\\system32\\ole32.dll"), u"C:\\windows\\system32\\ole32.dll");
  DeleteFileW(file.c_str());
  RemoveDirectoryW(dir.c_str());
}

TEST(Win32Process, ArgumentsWithoutTheProgramName) {
  // The C runtime splits the same command line by its own rules; the test run
  // passes ASCII arguments only, so both must agree.
  const std::vector<std::u16string> args = ProcessArguments();
  ASSERT_EQ(args.size(), static_cast<std::size_t>(__argc - 1));
  for (int i = 1; i < __argc; ++i) EXPECT_EQ(args[i - 1], FromAnsi(__argv[i]));
}

// Each thread's message loop lives in a thread slot: it must go when its thread
// ends (or it and its window leak with every thread that ever had a loop), and
// the ones left must go with the module, exactly once each.
std::vector<int>* g_freed = nullptr;

TEST(Win32ThreadSlot, AValueGoesWhenItsThreadEndsAndTheRestWithTheSlot) {
  std::vector<int> freed;
  g_freed = &freed;
  int values[4] = {0, 1, 2, 3};
  auto slot = std::make_unique<win32::ThreadSlot>([](void* v) { g_freed->push_back(*static_cast<int*>(v)); });
  slot->Set(&values[0]);
  std::thread([&] {
    EXPECT_EQ(slot->Get(), nullptr) << "a new thread starts empty";
    slot->Set(&values[1]);
  }).join();
  EXPECT_EQ(freed, std::vector<int>{1}) << "the ended thread's value";
  std::thread([&] {
    slot->Set(&values[2]);
    slot->Set(nullptr);  // taken back by its owner: not freed
  }).join();
  HANDLE held = CreateEventW(nullptr, TRUE, FALSE, nullptr);
  HANDLE go = CreateEventW(nullptr, TRUE, FALSE, nullptr);
  std::thread parked([&] {
    slot->Set(&values[3]);
    SetEvent(held);
    WaitForSingleObject(go, 10000);
  });
  ASSERT_EQ(WaitForSingleObject(held, 10000), WAIT_OBJECT_0);
  EXPECT_EQ(slot->Get(), &values[0]);
  EXPECT_EQ(freed, std::vector<int>{1});
  slot.reset();  // the slot goes while a thread still holds a value
  EXPECT_EQ(freed.size(), 3u);
  EXPECT_NE(std::find(freed.begin(), freed.end(), 0), freed.end());
  EXPECT_NE(std::find(freed.begin(), freed.end(), 3), freed.end());
  SetEvent(go);
  parked.join();  // its end finds no slot any more
  EXPECT_EQ(freed.size(), 3u);
  CloseHandle(held);
  CloseHandle(go);
  g_freed = nullptr;
}

}  // namespace
}  // namespace axg
