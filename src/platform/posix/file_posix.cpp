// Appending to a file with the descriptor calls: three calls an entry, the bytes in one write.
#include <errno.h>
#include <fcntl.h>
#include <unistd.h>

#include "platform/file.h"

namespace qs::platform {

// A C stream would also look the file up and move to its end before the first write, and
// set up a buffer for bytes that are written at once anyway.
bool AppendToFile(const std::string& path, std::string_view bytes) {
  const int fd = ::open(path.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0666);
  if (fd < 0) return false;
  std::size_t written = 0;
  while (written < bytes.size()) {
    const ssize_t n = ::write(fd, bytes.data() + written, bytes.size() - written);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    written += static_cast<std::size_t>(n);
  }
  return ::close(fd) == 0 && written == bytes.size();
}

}  // namespace qs::platform
