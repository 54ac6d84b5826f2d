#pragma once
// The program's single-copy marker is a name among the abstract Unix sockets,
// and those belong to a network namespace: with the machine's one, a copy of
// lumigrab open anywhere, or started by another test run, would make every
// copy a test starts end itself. A test program that links this runs in a
// network namespace of its own instead, entered before main while the process
// has one thread, with its loopback interface up for the stand-in, and in a
// mount namespace whose X socket folder is its own, for the X server it
// starts. Without root it makes a user namespace to own them, in which the
// process keeps its own user and group ids.
#include <string>

namespace lumigrab::testing {

// Empty when this process has a network namespace of its own; otherwise a
// sentence saying what stood in the way, for the tests that start real
// copies to skip with.
const std::string& OwnNetworkProblem();

}  // namespace lumigrab::testing
