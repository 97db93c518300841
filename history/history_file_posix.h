// The update history's file on Linux, with what the program decides from its
// environment given instead: for the tests of the file itself.
#pragma once

#include <sys/types.h>

#include <memory>
#include <optional>
#include <string>

#include "history/history_store.h"

namespace k24 {

// The history at `path` (none: there is no state directory to keep it in).
// With `owner`, a directory the history would be made in and the file itself
// must belong to that user, or nothing is made or written: a run as root
// (sudo -E keeps HOME) leaves another user's home as it was.
std::unique_ptr<HistoryStore> MakeHistoryFile(std::optional<std::string> path, std::optional<uid_t> owner);

}  // namespace k24
