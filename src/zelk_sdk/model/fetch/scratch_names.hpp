// The parts of scratch.cpp's naming that its Python-facing half needs: new
// random names for an entry of a kind, and the lock every new entry takes.
#pragma once

#include <sys/stat.h>

#include <string>

namespace zelk::fetch::scratch {

inline constexpr char kPart[] = ".part";
inline constexpr char kStaging[] = ".staging";

// A new scratch name: the birth name (".new") and the name of its kind.
struct Names {
  std::string born;
  std::string final;
};
Names random_names(const std::string& dir, const char* kind);

// True for a file that is this process's alone: a regular file of its
// effective user with no other name. A second name of an inode (a hard link
// put in place of a scratch file) or another user's file is left as it is:
// never locked, written or removed.
bool owned_alone(const struct stat& st) noexcept;

// Takes the exclusive lock of a new entry. Nobody else has a reason to lock
// it (a sweeper does not touch entries under their birth name), so it is
// taken without waiting: a lock held there is another program's, and the
// entry is given up rather than waited for.
bool lock_new(int fd);

}  // namespace zelk::fetch::scratch
