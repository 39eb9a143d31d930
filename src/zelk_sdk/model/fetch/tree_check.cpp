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
constexpr int kMaxDepth = 2048;

std::string joined(const std::vector<std::string>& parts) {
  std::string out;
  for (const std::string& p : parts) {
    if (!out.empty()) out += '/';
    out += p;
  }
  return out;
}

void split_into(const std::string& path, std::deque<std::string>& out) {
  std::deque<std::string> parts;
  std::size_t start = 0;
  while (start <= path.size()) {
    std::size_t end = path.find('/', start);
    if (end == std::string::npos) end = path.size();
    if (end > start) parts.push_back(path.substr(start, end - start));
    start = end + 1;
  }
  out.insert(out.begin(), parts.begin(), parts.end());
}

bool read_link(int root_fd, const std::string& rel, std::string& target) {
  char buf[PATH_MAX];
  const ssize_t n = readlinkat(root_fd, rel.c_str(), buf, sizeof buf);
  if (n < 0 || static_cast<std::size_t>(n) >= sizeof buf) return false;
  target.assign(buf, static_cast<std::size_t>(n));
  return true;
}

// Whether the link whose directory is `dir` (components below root_fd, the
// model directory first) and whose text is `target` stays within dir[0].
bool stays_inside(int root_fd, std::vector<std::string> dir, const std::string& target) {
  if (target.empty() || target[0] == '/') return false;
  std::deque<std::string> pending;
  split_into(target, pending);
  int links = 0;
  while (!pending.empty()) {
    std::string part = std::move(pending.front());
    pending.pop_front();
    if (part == ".") continue;
    if (part == "..") {
      if (dir.size() <= 1) return false;
      dir.pop_back();
      continue;
    }
    dir.push_back(std::move(part));
    const std::string rel = joined(dir);
    if (rel.size() >= PATH_MAX) return false;
    struct stat st;
    if (fstatat(root_fd, rel.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0) {
      if (errno != ENOENT && errno != ENOTDIR) return false;  // not to be judged: counts as leaving
      continue;
    }
    if (!S_ISLNK(st.st_mode)) continue;
    std::string next;
    if (++links > kMaxLinks || !read_link(root_fd, rel, next) || next.empty() || next[0] == '/') return false;
    dir.pop_back();
    split_into(next, pending);
  }
  return true;
}

// Every real directory below the model directory (never through a link), with
// an explicit stack: a hostile archive may nest deeply, and this may run on a
// thread with a small stack.
std::string first_escaping_link(int root_fd, const std::string& model_name) {
  std::vector<std::vector<std::string>> todo{{model_name}};
  while (!todo.empty()) {
    std::vector<std::string> dir = std::move(todo.back());
    todo.pop_back();
    const std::string rel = joined(dir);
    if (dir.size() > kMaxDepth || rel.size() >= PATH_MAX) return rel;
    // a directory that cannot be opened or listed, or an entry that cannot
    // be looked at, cannot be judged: it counts as a way out
    tree::Fd fd{openat(root_fd, rel.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC)};
    if (!fd) return rel;
    std::string escaping;
    const bool listed = tree::for_each_entry(fd.get(), [&](const char* name) {
      struct stat st;
      if (fstatat(fd.get(), name, &st, AT_SYMLINK_NOFOLLOW) != 0) {
        escaping = rel + "/" + name;
        return false;
      }
      if (S_ISDIR(st.st_mode)) {
        todo.push_back(dir);
        todo.back().emplace_back(name);
      } else if (S_ISLNK(st.st_mode)) {
        const std::string link = rel + "/" + name;
        std::string target;
        if (!read_link(root_fd, link, target) || !stays_inside(root_fd, dir, target)) {
          escaping = link;
          return false;
        }
      }
      return true;
    });
    if (!listed) return rel;
    if (!escaping.empty()) return escaping;
  }
  return std::string();
}

}  // namespace

std::string escaping_link(int root_fd, const std::string& model_name) {
  return first_escaping_link(root_fd, model_name);
}

}  // namespace zelk::fetch
