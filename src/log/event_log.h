// LogEvent: timestamped event lines to the log file and the on-screen list; the traffic log.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <mutex>
#include <string>
#include <string_view>

#include "log/log_file.h"
#include "log/screen_line_sink.h"
#include "platform/clock.h"
#include "settings/settings_store.h"

namespace qs {

class EventLog {
 public:
  // The longest text a line carries; anything beyond is cut off.
  static constexpr std::size_t kMaxTextLength = 4076;

  EventLog(const SettingsStore& settings, const platform::Clock& clock)
      : settings_(settings), clock_(clock) {}
  EventLog(const EventLog&) = delete;
  EventLog& operator=(const EventLog&) = delete;

  // Appends "CR LF HH:MM:SS MM/DD/YY text" to the log file (when one is set) and hands
  // "HH:MM:SS MM/DD/YY text" to the event list (when it is open and screen logging is on).
  // The text is data, never a format; it ends at its first NUL; an empty text logs nothing.
  // Callable from any thread; it never fails visibly.
  void LogEvent(std::string_view text);

  // Appends the printable form of a chunk a client sent, with no stamp and no line break, to
  // the file set now. The text is held until FlushTraffic, the next event line or
  // kMostHeldTraffic bytes, whichever comes first: the chunk's bytes reach the port without
  // waiting for the file, and the file still has the text before every line logged after
  // this call, from any thread.
  static constexpr std::size_t kMostHeldTraffic = 64 * 1024;
  void LogTraffic(const std::uint8_t* chunk, std::size_t count);
  // Writes the traffic text held, if any.
  void FlushTraffic();

  // Off while the settings dialog closes and re-opens the port.
  void SetScreenLogEnabled(bool enabled) { screenLogEnabled_.store(enabled); }
  bool screenLogEnabled() const { return screenLogEnabled_.load(); }

  // The open main dialog's list, or nullptr while it is not open.
  void SetLogView(ScreenLineSink* view);

 private:
  void WriteHeldTraffic();  // under trafficMutex_

  const SettingsStore& settings_;
  const platform::Clock& clock_;
  LogFile file_;
  // Traffic text not yet in the file, and the file it is for.
  std::mutex trafficMutex_;
  std::atomic<bool> trafficHeld_{false};
  std::string heldTraffic_;
  std::string heldTrafficPath_;
  std::atomic<bool> screenLogEnabled_{true};
  std::mutex viewMutex_;
  ScreenLineSink* logViewWindow_ = nullptr;
};

}  // namespace qs
