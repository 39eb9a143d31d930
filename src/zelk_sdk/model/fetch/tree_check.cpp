#include "tree_check.hpp"

#include <fcntl.h>
#include <limits.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <deque>
#include <vector>

#include "tree_ops.hpp"

namespace zelk::fetch {
namespace {

// as many links as the kernel follows in one path lookup
constexpr int kMaxLinks = 40;
constexpr std::size_t kMaxDepth = 2048;

constexpr int kListFlags = O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC;
constexpr int kLookFlags = O_PATH | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC;

// The parts of `path` in front of those still to resolve.
void split_into(const std::string& path, std::deque<std::string>& out) {
  const std::vector<std::string> parts = tree::path_parts(path);
  out.insert(out.begin(), parts.begin(), parts.end());
}

// The steps of one tree check (an entry looked at, a part of a link's
// resolution taken, "." included): a few links that lead through each other
// with long texts would otherwise cost their length times their number
// times the links that lead to them.
class Steps {
 public:
  explicit Steps(std::size_t most) noexcept : left_(most) {}
  bool take(std::size_t n = 1) noexcept {
    if (left_ < n) {
      left_ = 0;
      spent_ = true;
      return false;
    }
    left_ -= n;
    return true;
  }
  bool spent() const noexcept { return spent_; }

 private:
  std::size_t left_;
  bool spent_ = false;
};

// A directory on the way down from the model directory: what it is, and
// how long its path (relative to the root) is.
struct Level {
  dev_t dev;
  ino_t ino;
  std::size_t rel_len;
  bool on_disk;  // a directory on disk (else missing, or no directory)
};

// Opens ".." of `fd` and keeps it only when it is the directory `parent`
// recorded on the way down; -1 when something moved meanwhile.
int climb(int fd, const Level& parent, int flags) {
  tree::Fd up{openat(fd, "..", flags)};
  struct stat st;
  if (!up || fstat(up.get(), &st) != 0 || st.st_dev != parent.dev || st.st_ino != parent.ino) return -1;
  return up.release();
}

// Whether the link in the directory `dir_fd`, whose directories from the
// model directory down are `levels`, with the text `target`, stays within
// the model directory. Component by component from there, each looked at in
// the directory before it (never followed), ".." taken lexically: a path of
// n components costs O(n) calls.
bool stays_inside(std::vector<Level> levels, int dir_fd, const std::string& target, Steps& steps) {
  if (target.empty() || target[0] == '/') return false;
  tree::Fd cur{openat(dir_fd, ".", kLookFlags)};
  if (!cur) return false;
  std::size_t on_disk = levels.size();  // levels [0, on_disk) are directories, cur the last
  std::deque<std::string> pending;
  split_into(target, pending);
  int links = 0;
  while (!pending.empty()) {
    if (!steps.take()) return false;
    std::string part = std::move(pending.front());
    pending.pop_front();
    if (part == ".") continue;
    if (part == "..") {
      if (levels.size() <= 1) return false;
      if (levels.size() == on_disk) {
        tree::Fd up{climb(cur.get(), levels[levels.size() - 2], kLookFlags)};
        if (!up) return false;  // not to be judged: counts as leaving
        cur = std::move(up);
        --on_disk;
      }
      levels.pop_back();
      continue;
    }
    const std::size_t rel_len = levels.back().rel_len + 1 + part.size();
    if (rel_len >= PATH_MAX) return false;
    if (levels.size() > on_disk) {  // below what is not on disk: not on disk either
      levels.push_back(Level{0, 0, rel_len, false});
      continue;
    }
    struct stat st;
    if (fstatat(cur.get(), part.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0) {
      if (errno != ENOENT && errno != ENOTDIR) return false;  // not to be judged: counts as leaving
      levels.push_back(Level{0, 0, rel_len, false});
      continue;
    }
    if (S_ISLNK(st.st_mode)) {
      std::string next;
      if (++links > kMaxLinks || !tree::read_link(cur.get(), part.c_str(), next) || next.empty() || next[0] == '/') {
        return false;
      }
      // splitting costs the text's length, whatever parts it drops ("./")
      if (!steps.take(next.size() / 2 + 1)) return false;
      split_into(next, pending);
      continue;
    }
    if (S_ISDIR(st.st_mode)) {
      tree::Fd down{openat(cur.get(), part.c_str(), kLookFlags)};
      if (!down) return false;
      cur = std::move(down);
      ++on_disk;
      levels.push_back(Level{st.st_dev, st.st_ino, rel_len, true});
    } else {
      levels.push_back(Level{0, 0, rel_len, false});
    }
  }
  return true;
}

// Every real directory below the model directory (never through a link),
// depth first with an explicit stack and one open directory at a time: a
// hostile archive may nest deeply, and this may run on a thread with a
// small stack. Each directory is opened from its parent and left through its
// "..", checked to be that parent, so a tree costs O(entries) calls however
// deep it is.
std::string first_escaping_link(int root_fd, const std::string& model_name, Steps& steps) {
  struct Frame {
    Level level;
    std::vector<std::string> subdirs;  // still to be walked
  };
  std::vector<Frame> stack;
  std::vector<Level> levels;  // stack's levels, for the links' resolution
  std::string rel = model_name;
  tree::Fd cur;

  // Enters `fd`, the directory at `rel`, and judges its links; the path of
  // the first entry that escapes or cannot be judged, or empty.
  auto enter = [&](tree::Fd fd) -> std::string {
    struct stat self;
    if (!fd || stack.size() >= kMaxDepth || rel.size() >= PATH_MAX || fstat(fd.get(), &self) != 0) return rel;
    stack.push_back(Frame{Level{self.st_dev, self.st_ino, rel.size(), true}, {}});
    levels.push_back(stack.back().level);
    cur = std::move(fd);
    // a directory that cannot be listed, or an entry that cannot be looked
    // at, cannot be judged: it counts as a way out
    std::string escaping;
    const bool listed = tree::for_each_entry(cur.get(), [&](const char* name) {
      struct stat st;
      if (!steps.take()) {
        escaping = rel;
        return false;
      }
      if (fstatat(cur.get(), name, &st, AT_SYMLINK_NOFOLLOW) != 0) {
        escaping = rel + "/" + name;
        return false;
      }
      if (S_ISDIR(st.st_mode)) {
        stack.back().subdirs.emplace_back(name);
      } else if (S_ISLNK(st.st_mode)) {
        std::string target;
        if (!tree::read_link(cur.get(), name, target) || !stays_inside(levels, cur.get(), target, steps)) {
          escaping = rel + "/" + name;
          return false;
        }
      }
      return true;
    });
    if (!listed) return rel;
    return escaping;
  };

  std::string escaping = enter(tree::Fd{openat(root_fd, model_name.c_str(), kListFlags)});
  if (!escaping.empty()) return escaping;
  while (!stack.empty()) {
    Frame& top = stack.back();
    if (!top.subdirs.empty()) {
      const std::string name = std::move(top.subdirs.back());
      top.subdirs.pop_back();
      rel.resize(top.level.rel_len);
      rel += '/';
      rel += name;
      escaping = enter(tree::Fd{openat(cur.get(), name.c_str(), kListFlags)});
      if (!escaping.empty()) return escaping;
      continue;
    }
    stack.pop_back();
    levels.pop_back();
    if (stack.empty()) break;
    rel.resize(stack.back().level.rel_len);
    tree::Fd up{climb(cur.get(), stack.back().level, kListFlags)};
    if (!up) return rel;
    cur = std::move(up);
  }
  return std::string();
}

}  // namespace

std::string escaping_link(int root_fd, const std::string& model_name, std::size_t max_steps, bool& over) {
  Steps steps(max_steps);
  std::string escaping = first_escaping_link(root_fd, model_name, steps);
  over = steps.spent();
  return escaping;
}

}  // namespace zelk::fetch
