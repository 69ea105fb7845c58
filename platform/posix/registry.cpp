// The file that stands in for the system registry. It reads like a .reg export:
//
//   ; ax_gate registry
//   [HKEY_CLASSES_ROOT\AddIn.ax_gate]
//   @="V7 AddIn 2.0"
//   [HKEY_CURRENT_USER\Software\ax_gate]
//   "Trace"="/var/log/ax_gate/trace.jsonl"
//
// one section per key, with its default value, if it has one, and its named
// values on the lines below.
// Every change reads the whole file, changes it in memory and writes it back to a
// temporary file that is then renamed over the old one, under an exclusive lock
// on a companion ".lock" file so that two registrations never lose each other's
// entries. A file that cannot be understood is left alone: writes then fail
// rather than replace what someone else stored there.
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>

#include "platform/registry.h"
#include "platform/text.h"

namespace axg {
namespace {

constexpr std::u16string_view kClassesRoot = u"HKEY_CLASSES_ROOT";
constexpr std::u16string_view kUserClassesRoot = u"HKEY_CURRENT_USER\\Software\\Classes";
constexpr std::u16string_view kUserSoftwareRoot = u"HKEY_CURRENT_USER\\Software";

std::u16string_view RootPath(RegRoot root) {
  switch (root) {
    case RegRoot::ClassesRoot: return kClassesRoot;
    case RegRoot::CurrentUserClasses: return kUserClassesRoot;
    case RegRoot::CurrentUserSoftware: return kUserSoftwareRoot;
  }
  return kClassesRoot;
}

// Registry names compare without case: fold ASCII, Latin-1 and Cyrillic letters.
char16_t Fold(char16_t c) {
  if (c >= u'a' && c <= u'z') return static_cast<char16_t>(c - 0x20);
  if (c >= 0xE0 && c <= 0xFE && c != 0xF7) return static_cast<char16_t>(c - 0x20);
  if (c >= 0x430 && c <= 0x44F) return static_cast<char16_t>(c - 0x20);
  if (c >= 0x450 && c <= 0x45F) return static_cast<char16_t>(c - 0x50);
  return c;
}

std::u16string FoldPath(std::u16string_view path) {
  std::u16string out(path);
  for (auto& c : out) c = Fold(c);
  return out;
}

struct Entry {
  std::u16string path;  // as first written
  std::optional<std::u16string> value;
  // Named values by their folded name: the name as first written, and the value.
  std::map<std::u16string, std::pair<std::u16string, std::u16string>> named;
};

// Keys by their folded full path; std::map keeps a parent before its subkeys.
using Tree = std::map<std::u16string, Entry>;

// A key below a root: names separated by single backslashes, none empty, no
// control characters.
bool ValidKey(std::u16string_view key) {
  if (key.empty() || key.front() == u'\\' || key.back() == u'\\') return false;
  for (std::size_t i = 0; i < key.size(); ++i) {
    if (key[i] < 0x20) return false;
    if (key[i] == u'\\' && i + 1 < key.size() && key[i + 1] == u'\\') return false;
  }
  return true;
}

std::u16string FullPath(RegRoot root, std::u16string_view key) {
  std::u16string path(RootPath(root));
  path += u'\\';
  path += key;
  return path;
}

// ---- Reading and writing the file ----

std::string Escape(std::u16string_view value) {
  std::string out;
  for (char c : ToUtf8(value)) {
    switch (c) {
      case '\\': out += "\\\\"; break;
      case '"': out += "\\\""; break;
      case '\n': out += "\\n"; break;
      case '\r': out += "\\r"; break;
      case '\t': out += "\\t"; break;
      default: out += c;
    }
  }
  return out;
}

bool Unescape(std::string_view text, std::u16string& value) {
  std::string out;
  for (std::size_t i = 0; i < text.size(); ++i) {
    if (text[i] == '"') return false;
    if (text[i] != '\\') {
      out += text[i];
      continue;
    }
    if (++i == text.size()) return false;
    switch (text[i]) {
      case '\\': out += '\\'; break;
      case '"': out += '"'; break;
      case 'n': out += '\n'; break;
      case 'r': out += '\r'; break;
      case 't': out += '\t'; break;
      default: return false;
    }
  }
  value = FromUtf8(out);
  return true;
}

bool Parse(std::istream& in, Tree& tree) {
  std::string line;
  Entry* current = nullptr;
  while (std::getline(in, line)) {
    if (!line.empty() && line.back() == '\r') line.pop_back();
    if (line.empty() || line[0] == ';') continue;
    if (line.front() == '[' && line.back() == ']' && line.size() > 2) {
      std::u16string path = FromUtf8(std::string_view(line).substr(1, line.size() - 2));
      if (!ValidKey(path)) return false;
      current = &tree[FoldPath(path)];
      if (current->path.empty()) current->path = path;
      continue;
    }
    constexpr std::string_view kValue = "@=\"";
    if (current != nullptr && line.size() >= kValue.size() + 1 &&
        std::string_view(line).substr(0, kValue.size()) == kValue && line.back() == '"') {
      std::u16string value;
      if (!Unescape(std::string_view(line).substr(kValue.size(), line.size() - kValue.size() - 1),
                    value))
        return false;
      current->value = std::move(value);
      continue;
    }
    // "name"="value": the name ends at the first unescaped quote.
    if (current != nullptr && line.size() >= 5 && line.front() == '"' && line.back() == '"') {
      std::size_t end = 1;
      while (end < line.size() && line[end] != '"') end += line[end] == '\\' ? 2 : 1;
      if (end + 2 >= line.size() || line[end + 1] != '=' || line[end + 2] != '"') return false;
      std::u16string name, value;
      if (!Unescape(std::string_view(line).substr(1, end - 1), name) || name.empty()) return false;
      if (!Unescape(std::string_view(line).substr(end + 3, line.size() - end - 4), value)) return false;
      const std::u16string folded = FoldPath(name);
      current->named[folded] = {std::move(name), std::move(value)};
      continue;
    }
    return false;
  }
  return in.eof();
}

std::string Serialize(const Tree& tree) {
  std::string out = "; ax_gate registry: one [key] per section, its default value as @=\"...\"\n";
  for (const auto& [folded, entry] : tree) {
    out += "\n[" + ToUtf8(entry.path) + "]\n";
    if (entry.value) out += "@=\"" + Escape(*entry.value) + "\"\n";
    for (const auto& [key, named] : entry.named) {
      // Appended piece by piece: GCC 12 at -O3 warns falsely about a chain of "+".
      out += '"';
      out += Escape(named.first);
      out += "\"=\"";
      out += Escape(named.second);
      out += "\"\n";
    }
  }
  return out;
}

std::string FilePath() {
  if (const char* explicit_path = std::getenv("AX_GATE_REGISTRY"); explicit_path && *explicit_path)
    return explicit_path;
  std::string base;
  if (const char* xdg = std::getenv("XDG_CONFIG_HOME"); xdg && *xdg) {
    base = xdg;
  } else if (const char* home = std::getenv("HOME"); home && *home) {
    base = std::string(home) + "/.config";
  } else {
    return {};
  }
  return base + "/ax_gate/registry";
}

// Loads the tree; an absent file is an empty registry.
bool Load(const std::string& path, Tree& tree) {
  tree.clear();
  if (path.empty()) return false;
  std::error_code ec;
  if (!std::filesystem::exists(path, ec)) return !ec;
  std::ifstream in(path, std::ios::binary);
  return in && Parse(in, tree);
}

bool WriteAll(int fd, const std::string& data) {
  std::size_t done = 0;
  while (done < data.size()) {
    ssize_t n = ::write(fd, data.data() + done, data.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    done += static_cast<std::size_t>(n);
  }
  return true;
}

bool Store(const std::string& path, const Tree& tree) {
  const std::string temp = path + ".tmp." + std::to_string(::getpid());
  int fd = ::open(temp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  if (fd < 0) return false;
  bool ok = WriteAll(fd, Serialize(tree)) && ::fsync(fd) == 0;
  ok = ::close(fd) == 0 && ok;
  if (ok && ::rename(temp.c_str(), path.c_str()) == 0) return true;
  ::unlink(temp.c_str());
  return false;
}

// Holds the exclusive lock of the registry file while a change is made.
class WriteLock {
 public:
  explicit WriteLock(const std::string& path) {
    std::error_code ec;
    std::filesystem::path dir = std::filesystem::path(path).parent_path();
    if (!dir.empty()) std::filesystem::create_directories(dir, ec);
    fd_ = ::open((path + ".lock").c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644);
    if (fd_ >= 0) {
      int rc;
      do rc = ::flock(fd_, LOCK_EX);
      while (rc != 0 && errno == EINTR);
      if (rc != 0) {
        ::close(fd_);
        fd_ = -1;
      }
    }
  }
  ~WriteLock() {
    if (fd_ >= 0) ::close(fd_);  // closing releases the lock
  }
  WriteLock(const WriteLock&) = delete;
  WriteLock& operator=(const WriteLock&) = delete;
  bool Held() const { return fd_ >= 0; }

 private:
  int fd_ = -1;
};

// Runs change(tree) under the lock and stores the tree if it returns true.
template <class Change>
bool Modify(Change change) {
  const std::string path = FilePath();
  if (path.empty()) return false;
  WriteLock lock(path);
  if (!lock.Held()) return false;
  Tree tree;
  if (!Load(path, tree)) return false;
  if (!change(tree)) return false;
  return Store(path, tree);
}

bool HasSubkeys(const Tree& tree, const std::u16string& folded) {
  const std::u16string prefix = folded + u'\\';
  auto it = tree.lower_bound(prefix);
  return it != tree.end() && it->first.compare(0, prefix.size(), prefix) == 0;
}

}  // namespace

bool RegSetDefaultValue(RegRoot root, std::u16string_view key, std::u16string_view value) {
  return RegSetStringValue(root, key, u"", value);
}

bool RegSetStringValue(RegRoot root, std::u16string_view key, std::u16string_view name,
                       std::u16string_view value) {
  if (!ValidKey(key)) return false;
  for (char16_t c : name)
    if (c < 0x20) return false;
  const std::u16string full = FullPath(root, key);
  const std::size_t root_len = RootPath(root).size();
  return Modify([&](Tree& tree) {
    // Every key on the way down is created as well, as RegCreateKeyEx does.
    for (std::size_t end = full.find(u'\\', root_len + 1);; end = full.find(u'\\', end + 1)) {
      const std::u16string prefix = full.substr(0, end);
      Entry& e = tree[FoldPath(prefix)];
      if (e.path.empty()) e.path = prefix;
      if (end == std::u16string::npos) {
        if (name.empty())
          e.value = std::u16string(value);
        else
          e.named[FoldPath(name)] = {std::u16string(name), std::u16string(value)};
        break;
      }
    }
    return true;
  });
}

std::optional<std::u16string> RegGetDefaultValue(RegRoot root, std::u16string_view key) {
  if (!ValidKey(key)) return std::nullopt;
  Tree tree;
  if (!Load(FilePath(), tree)) return std::nullopt;
  auto it = tree.find(FoldPath(FullPath(root, key)));
  if (it == tree.end()) return std::nullopt;
  return it->second.value;
}

std::optional<std::u16string> RegGetStringValue(RegRoot root, std::u16string_view key,
                                                std::u16string_view name) {
  if (name.empty()) return RegGetDefaultValue(root, key);
  if (!ValidKey(key)) return std::nullopt;
  Tree tree;
  if (!Load(FilePath(), tree)) return std::nullopt;
  auto it = tree.find(FoldPath(FullPath(root, key)));
  if (it == tree.end()) return std::nullopt;
  auto named = it->second.named.find(FoldPath(name));
  if (named == it->second.named.end()) return std::nullopt;
  return named->second.second;
}

bool RegRemoveKey(RegRoot root, std::u16string_view key) {
  if (!ValidKey(key)) return false;
  const std::u16string folded = FoldPath(FullPath(root, key));
  return Modify([&](Tree& tree) {
    auto it = tree.find(folded);
    if (it == tree.end() || HasSubkeys(tree, folded)) return false;
    tree.erase(it);
    return true;
  });
}

bool RegKeyExists(RegRoot root, std::u16string_view key) {
  if (!ValidKey(key)) return false;
  Tree tree;
  if (!Load(FilePath(), tree)) return false;
  return tree.count(FoldPath(FullPath(root, key))) != 0;
}

std::u16string RegistryFilePath() { return FromUtf8(FilePath()); }

}  // namespace axg
