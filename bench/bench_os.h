#pragma once
// The few operating-system services the benchmark needs beyond the platform
// layer (Linux only): child processes of this same program, memory shared with
// them, a pipe for their notifications, and what the kernel knows about a
// process's memory, CPU time and wakeups.
#include <sys/types.h>

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace axg::bench {

// Monotonic nanoseconds, comparable between processes of the machine.
std::int64_t NowNs();

// Raises the open-file limit as far as the hard limit allows; returns the new one.
long RaiseFileLimit();
// Lowers the open-file limit (the soft one) to n.
void LowerFileLimit(long n);

// An anonymous shared mapping backed by a descriptor that children inherit.
struct SharedMemory {
  int fd = -1;
  void* base = nullptr;
  std::size_t size = 0;
};
SharedMemory CreateSharedMemory(std::size_t size);
void* MapSharedMemory(int fd, std::size_t size);

// A pipe whose write end children inherit; the read end is non-blocking.
struct Pipe {
  int read_fd = -1;
  int write_fd = -1;
};
Pipe CreatePipe();
// Reads what is there now (possibly nothing).
std::string ReadAvailable(int fd);
// Writes all of it (small notifications, atomic on a pipe).
void WriteAll(int fd, const void* data, std::size_t len);

// Starts this program again with the arguments given; returns the child's id.
pid_t SpawnSelf(const std::vector<std::string>& args);
// Ends a child (SIGTERM, then SIGKILL after a while) and reaps it.
void StopChild(pid_t pid);
bool ChildAlive(pid_t pid);

struct ProcessStats {
  long rss_kib = 0;              // resident set
  long peak_rss_kib = 0;         // the largest resident set so far
  std::int64_t cpu_ns = 0;       // time on a CPU, all threads
  std::int64_t user_ns = 0;      // of that, in the program (clock-tick resolution)
  std::int64_t system_ns = 0;    // of that, in the kernel on its behalf
  long voluntary_switches = 0;   // times it blocked: each is one wakeup later
  long involuntary_switches = 0;
};
ProcessStats ReadProcessStats(pid_t pid);

// What the kernel holds for one TCP connection of this network namespace, found
// by its local and remote ends (dotted IPv4, port): bytes written but not yet in
// the peer's socket (tx) and bytes received but not yet read (rx). False when
// no such connection is listed.
struct TcpQueues {
  long long tx = 0, rx = 0;
};
bool ReadTcpQueues(const std::string& local, unsigned local_port, const std::string& remote, unsigned remote_port,
                   TcpQueues* out);

void SleepMs(int ms);

}  // namespace axg::bench
