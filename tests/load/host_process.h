#pragma once
// ax_gate-host as a child process of a load test: the add-in registered in a
// registry file of the test's own, the host started with JSON Lines output into
// a file, commands written to its standard input, and what it printed read back
// as records once it has gone. Every wait is bounded.
#include <sys/types.h>

#include <string>
#include <vector>

namespace axg::load {

// One line of the host's JSON Lines output, flat: every field as text.
struct Record {
  std::string type, name, data, call, value;
  long long received = -1, refused = -1, lost = -1;  // the "counts" record
};

// Splits "a;b;c" at ';'.
std::vector<std::string> Fields(const std::string& data);

class HostProcess {
 public:
  struct Options {
    std::vector<std::string> host_args;  // after --format jsonl
    bool valgrind = false;               // run the host under valgrind memcheck
    int max_files = 0;                   // the host's descriptor limit (0: inherited)
  };

  explicit HostProcess(Options options);
  ~HostProcess();
  HostProcess(const HostProcess&) = delete;
  HostProcess& operator=(const HostProcess&) = delete;

  // The module registered and the host started; false with the reason in Failure().
  bool Started() const { return started_; }
  const std::string& Failure() const { return failure_; }

  // Runs the calling thread's loop until the host has printed its ready line.
  bool WaitReady(unsigned timeout_ms);
  // Runs the loop until `count` records of the given type (and call, when given)
  // have been printed; the output file is read as it grows.
  bool WaitRecord(const std::string& type, const std::string& call, unsigned timeout_ms, int count = 1);
  // One command line to the host's standard input.
  void Command(const std::string& line);
  bool Alive();
  // Runs the loop until the host has exited; its exit status (-1 on timeout,
  // after which it is killed).
  int WaitExit(unsigned timeout_ms);
  pid_t Pid() const { return pid_; }
  // CPU time the host has used so far, user and system together; its resident
  // memory now. -1 when it cannot be read.
  long CpuMs() const;
  long RssKib() const;

  // Everything printed so far, parsed.
  std::vector<Record> Records();
  std::string Stderr() const;
  // Sanitizer or valgrind reports in what the host wrote to standard error.
  std::string Reports() const;

 private:
  std::string dir_;
  std::string out_path_, err_path_;
  pid_t pid_ = -1;
  int stdin_fd_ = -1;
  bool started_ = false;
  bool exited_ = false;
  int status_ = 0;
  std::string failure_;
};

// Whether valgrind can be run here.
bool HaveValgrind();

}  // namespace axg::load
