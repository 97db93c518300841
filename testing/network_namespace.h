// A network namespace of its own for a test run of k24update. The updater's
// instance lock is a name in the abstract socket namespace, which belongs to
// a network namespace: a run inside a namespace of its own can neither meet
// nor block a real update on this machine, nor another test's run, and
// needs no change of the lock's name (the program has no such setting).
#pragma once

#include <string>

namespace k24::emulator {

// Moves the calling process into a new network namespace; the processes it
// starts from now on are in it too. As root this is unshare(CLONE_NEWNET);
// without root, a user namespace is made along with it in which this user
// stays itself (its user and group mapped to themselves alone). Call it while
// the process has one thread: a user namespace cannot be entered otherwise.
// False, with the reason, when the system allows neither.
bool EnterOwnNetworkNamespace(std::string& error);

}  // namespace k24::emulator
