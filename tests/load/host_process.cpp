#include "load/host_process.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>

#include "platform/message_loop.h"

namespace axg::load {

namespace {

std::string ReadFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream s;
  s << in.rdbuf();
  return s.str();
}

// Runs argv with the given extra environment, output to the files given;
// returns the child's id. stdin_fd: the child's standard input (or -1: none).
pid_t Spawn(const std::vector<std::string>& args, const std::vector<std::string>& env, int stdin_fd,
            const std::string& out, const std::string& err) {
  std::vector<char*> argv;
  for (const auto& a : args) argv.push_back(const_cast<char*>(a.c_str()));
  argv.push_back(nullptr);
  pid_t pid = ::fork();
  if (pid != 0) return pid;
  for (const auto& e : env) ::putenv(const_cast<char*>(e.c_str()));
  int in = stdin_fd >= 0 ? stdin_fd : ::open("/dev/null", O_RDONLY);
  ::dup2(in, 0);
  int o = ::open(out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
  int e = ::open(err.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
  ::dup2(o, 1);
  ::dup2(e, 2);
  ::execvp(argv[0], argv.data());
  std::_Exit(127);
}

// The value of a JSON string starting at s[i] == '"'; i ends after it.
std::string JsonText(const std::string& s, std::size_t& i) {
  std::string out;
  for (++i; i < s.size() && s[i] != '"'; ++i) {
    if (s[i] != '\\') {
      out += s[i];
      continue;
    }
    if (++i >= s.size()) break;
    switch (s[i]) {
      case 'n': out += '\n'; break;
      case 'r': out += '\r'; break;
      case 't': out += '\t'; break;
      case 'b': out += '\b'; break;
      case 'f': out += '\f'; break;
      case 'u': {
        unsigned v = static_cast<unsigned>(std::strtoul(s.substr(i + 1, 4).c_str(), nullptr, 16));
        i += 4;
        if (v < 0x80) out += static_cast<char>(v);
        else out += '?';  // only control characters are escaped; others come as UTF-8
        break;
      }
      default: out += s[i];
    }
  }
  ++i;
  return out;
}

Record ParseLine(const std::string& line) {
  Record r;
  std::size_t i = line.find('{');
  if (i == std::string::npos) return r;
  ++i;
  while (i < line.size()) {
    while (i < line.size() && (line[i] == ',' || line[i] == ' ')) ++i;
    if (i >= line.size() || line[i] != '"') break;
    const std::string key = JsonText(line, i);
    if (i >= line.size() || line[i] != ':') break;
    ++i;
    std::string value;
    if (i < line.size() && line[i] == '"') {
      value = JsonText(line, i);
    } else {
      std::size_t end = line.find_first_of(",}", i);
      value = line.substr(i, end - i);
      i = end;
    }
    if (key == "type") r.type = value;
    else if (key == "name") r.name = value;
    else if (key == "data") r.data = value;
    else if (key == "call") r.call = value;
    else if (key == "value") r.value = value;
    else if (key == "received") r.received = std::atoll(value.c_str());
    else if (key == "refused") r.refused = std::atoll(value.c_str());
    else if (key == "lost") r.lost = std::atoll(value.c_str());
  }
  return r;
}

int Run(const std::vector<std::string>& args, const std::vector<std::string>& env, const std::string& log) {
  pid_t pid = Spawn(args, env, -1, log, log + ".err");
  int status = 0;
  ::waitpid(pid, &status, 0);
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

}  // namespace

std::vector<std::string> Fields(const std::string& data) {
  std::vector<std::string> out(1);
  for (char c : data) {
    if (c == ';') out.emplace_back();
    else out.back() += c;
  }
  return out;
}

bool HaveValgrind() { return std::system("valgrind --version >/dev/null 2>&1") == 0; }

HostProcess::HostProcess(Options options) {
  ::signal(SIGPIPE, SIG_IGN);
  char tmpl[] = "/tmp/axg-load-XXXXXX";
  if (!::mkdtemp(tmpl)) {
    failure_ = "no temporary directory";
    return;
  }
  dir_ = tmpl;
  out_path_ = dir_ + "/host.jsonl";
  err_path_ = dir_ + "/host.err";
  const std::vector<std::string> env = {"AX_GATE_REGISTRY=" + dir_ + "/registry"};
  if (Run({AXG_REGSVR_PATH, AXG_MODULE_PATH}, env, dir_ + "/regsvr.log") != 0) {
    failure_ = "registering the module failed: " + ReadFile(dir_ + "/regsvr.log") + ReadFile(dir_ + "/regsvr.log.err");
    return;
  }
  int fds[2];
  if (::pipe(fds) != 0) {
    failure_ = "no pipe";
    return;
  }
  std::vector<std::string> args;
  if (options.valgrind)
    args = {"valgrind", "--tool=memcheck", "--leak-check=full", "--show-leak-kinds=definite,indirect",
            "--errors-for-leak-kinds=definite,indirect", "--error-exitcode=99", "--num-callers=30"};
  if (options.max_files > 0)
    args.insert(args.begin(), {"prlimit", "--nofile=" + std::to_string(options.max_files), "--"});
  args.push_back(AXG_HOST_PATH);
  args.push_back("--format");
  args.push_back("jsonl");
  for (const auto& a : options.host_args) args.push_back(a);
  pid_ = Spawn(args, env, fds[0], out_path_, err_path_);
  ::close(fds[0]);
  stdin_fd_ = fds[1];
  ::fcntl(stdin_fd_, F_SETFD, FD_CLOEXEC);
  started_ = true;
}

HostProcess::~HostProcess() {
  if (pid_ > 0 && !exited_) {
    ::kill(pid_, SIGKILL);
    ::waitpid(pid_, &status_, 0);
  }
  if (stdin_fd_ >= 0) ::close(stdin_fd_);
  if (!dir_.empty() && !::getenv("AXG_LOAD_KEEP")) std::system(("rm -rf '" + dir_ + "'").c_str());
}

bool HostProcess::WaitRecord(const std::string& type, const std::string& call, unsigned timeout_ms, int count) {
  std::size_t seen = 0;
  int matches = 0;
  auto found = [&] {
    const std::string out = ReadFile(out_path_);
    for (std::size_t nl; (nl = out.find('\n', seen)) != std::string::npos; seen = nl + 1) {
      Record r = ParseLine(out.substr(seen, nl - seen));
      if (r.type == type && (call.empty() || r.call == call)) ++matches;
    }
    return matches >= count || !Alive();
  };
  MessageLoop& loop = MessageLoop::Current();
  TimerId tick = loop.StartTimer(20, [] {});  // wakes the loop to look again
  bool ok = loop.RunUntil(found, timeout_ms);
  loop.StopTimer(tick);
  return ok && Alive();
}

bool HostProcess::WaitReady(unsigned timeout_ms) { return started_ && WaitRecord("ready", "", timeout_ms); }

void HostProcess::Command(const std::string& line) {
  const std::string text = line + "\n";
  if (stdin_fd_ >= 0) [[maybe_unused]] ssize_t n = ::write(stdin_fd_, text.data(), text.size());
}

bool HostProcess::Alive() {
  if (pid_ <= 0 || exited_) return false;
  pid_t r = ::waitpid(pid_, &status_, WNOHANG);
  if (r == pid_) exited_ = true;
  return !exited_;
}

int HostProcess::WaitExit(unsigned timeout_ms) {
  MessageLoop& loop = MessageLoop::Current();
  TimerId tick = loop.StartTimer(20, [] {});
  loop.RunUntil([this] { return !Alive(); }, timeout_ms);
  loop.StopTimer(tick);
  if (!exited_) {
    ::kill(pid_, SIGKILL);
    ::waitpid(pid_, &status_, 0);
    exited_ = true;
    return -1;
  }
  if (WIFEXITED(status_)) return WEXITSTATUS(status_);
  return 128 + (WIFSIGNALED(status_) ? WTERMSIG(status_) : 0);
}

std::vector<Record> HostProcess::Records() {
  std::vector<Record> out;
  std::istringstream in(ReadFile(out_path_));
  for (std::string line; std::getline(in, line);)
    if (!line.empty()) out.push_back(ParseLine(line));
  return out;
}

std::string HostProcess::Stderr() const { return ReadFile(err_path_); }

std::string HostProcess::Reports() const {
  const std::string err = Stderr();
  std::string out;
  std::istringstream in(err);
  for (std::string line; std::getline(in, line);) {
    auto has = [&](const char* what) { return line.find(what) != std::string::npos; };
    const bool sanitizer = has("Sanitizer") || has("runtime error");
    const bool leak = (has("definitely lost:") || has("indirectly lost:")) && !has(" 0 bytes in 0 blocks");
    const bool memcheck = has("Invalid read") || has("Invalid write") || has("uninitialised") ||
                          has("Invalid free") || (has("ERROR SUMMARY:") && !has("ERROR SUMMARY: 0 errors"));
    if (sanitizer || leak || memcheck) out += line + "\n";
  }
  return out;
}

long HostProcess::CpuMs() const {
  std::ifstream in("/proc/" + std::to_string(pid_) + "/stat");
  std::string line;
  if (!std::getline(in, line)) return -1;
  // The fields after the command name, which may hold blanks, start after ')'.
  std::istringstream rest(line.substr(line.rfind(')') + 2));
  std::string field;
  long utime = 0, stime = 0;
  for (int i = 3; i <= 15 && rest >> field; ++i) {
    if (i == 14) utime = std::stol(field);
    if (i == 15) stime = std::stol(field);
  }
  return (utime + stime) * 1000 / ::sysconf(_SC_CLK_TCK);
}

long HostProcess::RssKib() const {
  std::ifstream in("/proc/" + std::to_string(pid_) + "/status");
  for (std::string line; std::getline(in, line);)
    if (line.rfind("VmRSS:", 0) == 0) return std::stol(line.substr(6));
  return -1;
}

}  // namespace axg::load
