#include "bench/bench_os.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/mman.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <stdexcept>

namespace axg::bench {

namespace {
[[noreturn]] void Die(const char* what) {
  throw std::runtime_error(std::string(what) + ": " + std::strerror(errno));
}
}  // namespace

std::int64_t NowNs() {
  timespec ts{};
  ::clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<std::int64_t>(ts.tv_sec) * 1000000000 + ts.tv_nsec;
}

long RaiseFileLimit() {
  rlimit rl{};
  if (::getrlimit(RLIMIT_NOFILE, &rl) != 0) return -1;
  rlim_t want = rl.rlim_max == RLIM_INFINITY ? 65536 : rl.rlim_max;
  if (want > 65536) want = 65536;
  if (rl.rlim_cur < want) {
    rl.rlim_cur = want;
    ::setrlimit(RLIMIT_NOFILE, &rl);
    ::getrlimit(RLIMIT_NOFILE, &rl);
  }
  return static_cast<long>(rl.rlim_cur);
}

void LowerFileLimit(long n) {
  rlimit rl{};
  if (::getrlimit(RLIMIT_NOFILE, &rl) != 0) return;
  if (rl.rlim_cur == RLIM_INFINITY || rl.rlim_cur > static_cast<rlim_t>(n)) {
    rl.rlim_cur = static_cast<rlim_t>(n);
    ::setrlimit(RLIMIT_NOFILE, &rl);
  }
}

SharedMemory CreateSharedMemory(std::size_t size) {
  SharedMemory m;
  m.fd = ::memfd_create("axg-bench", 0);  // inherited by children on purpose
  if (m.fd < 0) Die("memfd_create");
  if (::ftruncate(m.fd, static_cast<off_t>(size)) != 0) Die("ftruncate");
  m.base = MapSharedMemory(m.fd, size);
  m.size = size;
  return m;
}

void* MapSharedMemory(int fd, std::size_t size) {
  void* p = ::mmap(nullptr, size, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
  if (p == MAP_FAILED) Die("mmap");
  return p;
}

Pipe CreatePipe() {
  int fds[2];
  if (::pipe(fds) != 0) Die("pipe");
  ::fcntl(fds[0], F_SETFL, ::fcntl(fds[0], F_GETFL) | O_NONBLOCK);
  ::fcntl(fds[0], F_SETFD, FD_CLOEXEC);
  return {fds[0], fds[1]};
}

std::string ReadAvailable(int fd) {
  std::string out;
  char buf[4096];
  for (;;) {
    ssize_t n = ::read(fd, buf, sizeof buf);
    if (n > 0) {
      out.append(buf, static_cast<std::size_t>(n));
      continue;
    }
    if (n < 0 && errno == EINTR) continue;
    break;
  }
  return out;
}

void WriteAll(int fd, const void* data, std::size_t len) {
  const char* p = static_cast<const char*>(data);
  while (len > 0) {
    ssize_t n = ::write(fd, p, len);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return;
    p += n;
    len -= static_cast<std::size_t>(n);
  }
}

pid_t SpawnSelf(const std::vector<std::string>& args) {
  std::vector<char*> argv;
  std::string self = "/proc/self/exe";
  argv.push_back(self.data());
  std::vector<std::string> copy = args;
  for (auto& a : copy) argv.push_back(a.data());
  argv.push_back(nullptr);
  std::fflush(nullptr);
  pid_t pid = ::fork();
  if (pid < 0) Die("fork");
  if (pid == 0) {
    ::execv("/proc/self/exe", argv.data());
    std::_Exit(127);
  }
  return pid;
}

bool ChildAlive(pid_t pid) {
  int status = 0;
  return ::waitpid(pid, &status, WNOHANG) == 0;
}

void StopChild(pid_t pid) {
  if (pid <= 0) return;
  ::kill(pid, SIGTERM);
  for (int i = 0; i < 300; ++i) {
    int status = 0;
    pid_t r = ::waitpid(pid, &status, WNOHANG);
    if (r == pid || r < 0) return;
    SleepMs(10);
  }
  ::kill(pid, SIGKILL);
  int status = 0;
  ::waitpid(pid, &status, 0);
}

ProcessStats ReadProcessStats(pid_t pid) {
  ProcessStats s;
  std::ifstream status("/proc/" + std::to_string(pid) + "/status");
  std::string key;
  while (status >> key) {
    if (key == "VmRSS:") status >> s.rss_kib;
    else if (key == "VmHWM:") status >> s.peak_rss_kib;
    else if (key == "voluntary_ctxt_switches:") status >> s.voluntary_switches;
    else if (key == "nonvoluntary_ctxt_switches:") status >> s.involuntary_switches;
  }
  // CPU time of every thread, in nanoseconds.
  std::ifstream sched("/proc/" + std::to_string(pid) + "/schedstat");
  long long run_ns = 0;
  if (sched >> run_ns) s.cpu_ns = run_ns;
  // User and system time: fields 14 and 15 of stat, after the command in brackets.
  std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
  std::string line;
  std::getline(stat, line);
  const std::size_t close = line.rfind(')');
  if (close != std::string::npos) {
    std::istringstream rest(line.substr(close + 2));
    std::string field;
    long long utime = 0, stime = 0;
    for (int i = 3; i <= 15 && rest >> field; ++i) {
      if (i == 14) utime = std::atoll(field.c_str());
      if (i == 15) stime = std::atoll(field.c_str());
    }
    const long long tick_ns = 1000000000LL / ::sysconf(_SC_CLK_TCK);
    s.user_ns = utime * tick_ns;
    s.system_ns = stime * tick_ns;
  }
  return s;
}

namespace {

// "A.B.C.D:port" as /proc/net/tcp writes it: the address's four bytes in memory
// order as one hexadecimal number of the machine's byte order, then the port.
std::string ProcTcpEnd(const std::string& addr, unsigned port) {
  unsigned a = 0, b = 0, c = 0, d = 0;
  if (std::sscanf(addr.c_str(), "%u.%u.%u.%u", &a, &b, &c, &d) != 4) return {};
  const unsigned char bytes[4] = {static_cast<unsigned char>(a), static_cast<unsigned char>(b),
                                  static_cast<unsigned char>(c), static_cast<unsigned char>(d)};
  std::uint32_t v = 0;
  std::memcpy(&v, bytes, sizeof v);
  char buf[32];
  std::snprintf(buf, sizeof buf, "%08X:%04X", v, port);
  return buf;
}

}  // namespace

bool ReadTcpQueues(const std::string& local, unsigned local_port, const std::string& remote, unsigned remote_port,
                   TcpQueues* out) {
  const std::string want_local = ProcTcpEnd(local, local_port), want_remote = ProcTcpEnd(remote, remote_port);
  std::ifstream in("/proc/net/tcp");
  std::string line;
  std::getline(in, line);  // the heading
  while (std::getline(in, line)) {
    std::istringstream f(line);
    std::string slot, l, r, state, queues;
    if (!(f >> slot >> l >> r >> state >> queues)) continue;
    if (l != want_local || r != want_remote) continue;
    const std::size_t colon = queues.find(':');
    if (colon == std::string::npos) return false;
    out->tx = std::strtoll(queues.substr(0, colon).c_str(), nullptr, 16);
    out->rx = std::strtoll(queues.substr(colon + 1).c_str(), nullptr, 16);
    return true;
  }
  return false;
}

void SleepMs(int ms) {
  timespec ts{ms / 1000, static_cast<long>(ms % 1000) * 1000000};
  while (::nanosleep(&ts, &ts) != 0 && errno == EINTR) {
  }
}

}  // namespace axg::bench
