// Files the simulator appends records to (the transcript, the log file) are
// often named in a shared folder such as /tmp: they are opened so that
// another user can neither redirect them nor read them.
#pragma once

#include <string>

namespace kelvra_sim {

// Opens `path` for appending: never through a symbolic link, only a regular
// file of this process's own user, and a new file with mode 0600. The
// descriptor, or -1 with `error` saying why.
int open_private_append(const std::string& path, std::string& error);

}  // namespace kelvra_sim
