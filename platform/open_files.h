#pragma once
// How many descriptors (sockets and files) the process may hold open at once.
#include "platform/export.h"

namespace axg {

// Raises the process's limit of open descriptors toward `wanted`, as far as the
// system's hard limit allows; never lowers it. Returns the limit in force
// afterwards, or -1 where the system sets none (Windows: sockets are bounded by
// memory, not by a count).
AXG_PLATFORM_API long RaiseOpenFileLimit(long wanted);

}  // namespace axg
