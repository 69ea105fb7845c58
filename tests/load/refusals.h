#pragma once
// Refusals of the system on demand, for the paths that only a system short of
// memory or descriptors takes: this test program's own accept4 and epoll_ctl
// stand in front of the C library's and fail the next calls when told to.
namespace axg::load {

// The next n accepts fail with err.
void RefuseAccepts(int n, int err);
// The next n epoll_ctl calls that add a descriptor to a set fail with err.
void RefuseEpollAdds(int n, int err);
// Refusals asked for and not made yet.
int RefusalsLeft();

}  // namespace axg::load
