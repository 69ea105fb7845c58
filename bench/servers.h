#pragma once
// The two server processes a benchmark compares. Each runs its own message loop
// until it is stopped, and keeps the shared counters as it goes.
//   full:  the add-in as the host has it: AddInObject initialised with a host
//          stand-in, Start called (port 1001), external events queued by the host
//          with its depth of 500 and delivered in a later loop turn; decision
//          requests of devices marked for it are answered at once with GateOpen.
//   floor: only what no implementation can avoid on the same loop: accept, read,
//          cut CR LF lines, and write the "test" text to every connection per line.
#include <cstdint>

#include "bench/shared_state.h"

namespace axg::bench {

inline constexpr std::uint16_t kFullPort = 1001;
inline constexpr std::uint16_t kFloorPort = 1002;

// With tick_probe, a second 10 ms timer beside the sweep's counts the ticks the
// loop really delivers: on a busy machine it is fewer than a hundred a second,
// and so are the sweep's passes.
int RunFullServer(SharedState* state, int notify_fd, bool tick_probe);
int RunFloorServer(SharedState* state, std::uint16_t port);

}  // namespace axg::bench
