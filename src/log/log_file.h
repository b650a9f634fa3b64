// Appends bytes to the event-log file, one open-write-close per entry, under one lock.
#pragma once

#include <mutex>
#include <string>
#include <string_view>

namespace qs {

// Event lines and traffic text share the file. The lock makes each entry reach the file
// whole and in the order in which one thread wrote them; nothing is dropped because
// another thread is writing.
class LogFile {
 public:
  // Appends bytes as they stand. A file that cannot be opened is skipped silently; the
  // next entry tries again.
  void Append(const std::string& path, std::string_view bytes);

 private:
  std::mutex mutex_;
};

// The bytes of a text as the Windows program's text-mode file gets them: each LF
// becomes CR LF, every other byte stays as it is. Both builds write the same bytes.
std::string ToFileLineEnds(std::string_view text);

}  // namespace qs
