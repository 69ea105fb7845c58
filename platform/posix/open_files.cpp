#include <sys/resource.h>

#include "platform/open_files.h"

namespace axg {

long RaiseOpenFileLimit(long wanted) {
  rlimit rl{};
  if (::getrlimit(RLIMIT_NOFILE, &rl) != 0) return -1;
  const rlim_t want = wanted > 0 ? static_cast<rlim_t>(wanted) : 0;
  if (rl.rlim_cur != RLIM_INFINITY && rl.rlim_cur < want) {
    rlimit raised = rl;
    raised.rlim_cur = rl.rlim_max == RLIM_INFINITY || rl.rlim_max > want ? want : rl.rlim_max;
    if (::setrlimit(RLIMIT_NOFILE, &raised) == 0) rl = raised;
  }
  return rl.rlim_cur == RLIM_INFINITY ? -1 : static_cast<long>(rl.rlim_cur);
}

}  // namespace axg
