// Verification of an extracted tree as a whole, before it is published.
#pragma once

#include <cstddef>
#include <string>

namespace zelk::fetch {

// The first symbolic link below `root_fd`/`model_name` (a directory) that
// resolves outside that directory, as a path relative to `root_fd` (for
// example "m/cfg"); empty when every link stays inside. Resolution is done the
// way the kernel will do it later: from where the link really is, through the
// links of the tree. What is not on disk yet counts as a directory that may be
// made there later (so "missing/../.." climbs as written), and a link that
// cannot be resolved to its end (a loop, a path too long) counts as leaving.
// The check takes at most `max_steps` steps (an entry looked at, a part of a
// link's text resolved); `over` says that they ran out (the result is then
// not empty: what could not be judged counts as leaving).
// Plain POSIX work: no Python object is touched, so the GIL may be released.
std::string escaping_link(int root_fd, const std::string& model_name, std::size_t max_steps, bool& over);

}  // namespace zelk::fetch
