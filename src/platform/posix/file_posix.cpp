// Files with the descriptor calls: appending an entry, replacing a file through a rename.
#include <errno.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <climits>
#include <cstdio>
#include <cstdlib>
#include <vector>

#include "platform/file.h"

namespace qs::platform {
namespace {

bool WriteAll(int fd, std::string_view bytes) {
  std::size_t written = 0;
  while (written < bytes.size()) {
    const ssize_t n = ::write(fd, bytes.data() + written, bytes.size() - written);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    written += static_cast<std::size_t>(n);
  }
  return true;
}

// The mode a file created with open(..., 0666) would get under the process's umask.
mode_t NewFileMode() {
  const mode_t mask = ::umask(0);
  ::umask(mask);
  return 0666 & ~mask;
}

}  // namespace

// A C stream would also look the file up and move to its end before the first write, and
// set up a buffer for bytes that are written at once anyway.
bool AppendToFile(const std::string& path, std::string_view bytes) {
  const int fd = ::open(path.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0666);
  if (fd < 0) return false;
  const bool whole = WriteAll(fd, bytes);
  return ::close(fd) == 0 && whole;
}

bool ReplaceFileContents(const std::string& path, std::string_view bytes) {
  const std::size_t slash = path.rfind('/');
  const std::string folder = slash == std::string::npos ? "." : path.substr(0, slash + 1);
  const std::string name = slash == std::string::npos ? path : path.substr(slash + 1);
  // A hidden name beside the file: the rename then stays inside one file system.
  std::string pattern = (slash == std::string::npos ? "" : folder) + "." + name + ".XXXXXX";
  std::vector<char> temp(pattern.begin(), pattern.end());
  temp.push_back('\0');
  const int fd = ::mkostemp(temp.data(), O_CLOEXEC);
  if (fd < 0) return false;

  struct stat old {};
  const bool replacing = ::stat(path.c_str(), &old) == 0;
  // The owner too, where the process may give it (root editing a service's file, say).
  if (replacing && (old.st_uid != ::geteuid() || old.st_gid != ::getegid())) {
    const int kept = ::fchown(fd, old.st_uid, old.st_gid);  // else it stays the process's
    static_cast<void>(kept);
  }
  const mode_t mode = replacing ? (old.st_mode & 07777) : NewFileMode();
  bool done = ::fchmod(fd, mode) == 0 && WriteAll(fd, bytes) && ::fsync(fd) == 0;
  done = ::close(fd) == 0 && done;
  done = done && ::rename(temp.data(), path.c_str()) == 0;
  if (!done) {
    ::unlink(temp.data());
    return false;
  }
  // The rename itself reaches the disk with the folder.
  const int dir = ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (dir >= 0) {
    ::fsync(dir);
    ::close(dir);
  }
  return true;
}

std::string WorkingDirectory() {
  std::vector<char> buffer(PATH_MAX);
  while (::getcwd(buffer.data(), buffer.size()) == nullptr) {
    if (errno != ERANGE || buffer.size() > (1u << 20)) return {};
    buffer.resize(buffer.size() * 2);
  }
  return buffer.data();
}

}  // namespace qs::platform
