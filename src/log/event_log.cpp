// Event lines and traffic text, both into the one log file.
#include "log/event_log.h"

#include <string>

#include "log/timestamp.h"
#include "log/traffic_text.h"

namespace qs {

void EventLog::LogEvent(std::string_view text) {
  text = text.substr(0, text.find('\0'));
  if (text.empty()) return;
  if (trafficHeld_.load()) FlushTraffic();
  if (text.size() > kMaxTextLength) text = text.substr(0, kMaxTextLength);

  const platform::LocalTime now = clock_.Now();
  const std::string stamp = FormatLogTime(now) + ' ' + FormatLogDate(now) + ' ';

  const std::string path = settings_.LogFilePath();
  if (!path.empty()) {
    std::string fileLine = "\r\n" + stamp;
    fileLine += ToFileLineEnds(text);
    file_.Append(path, fileLine);
  }

  if (!screenLogEnabled_.load()) return;
  std::lock_guard<std::mutex> lock(viewMutex_);
  if (logViewWindow_) logViewWindow_->ShowLine(stamp + std::string(text));
}

void EventLog::LogTraffic(const std::uint8_t* chunk, std::size_t count) {
  if (count == 0) return;
  std::string path = settings_.LogFilePath();
  if (path.empty()) return;
  const std::string text = EscapeTraffic(chunk, count);
  std::lock_guard<std::mutex> lock(trafficMutex_);
  if (trafficHeld_.load() && path != heldTrafficPath_) WriteHeldTraffic();
  heldTraffic_ += text;
  heldTrafficPath_ = std::move(path);
  trafficHeld_.store(true);
  if (heldTraffic_.size() >= kMostHeldTraffic) WriteHeldTraffic();
}

void EventLog::FlushTraffic() {
  std::lock_guard<std::mutex> lock(trafficMutex_);
  if (trafficHeld_.load()) WriteHeldTraffic();
}

void EventLog::WriteHeldTraffic() {
  file_.Append(heldTrafficPath_, heldTraffic_);
  heldTraffic_.clear();
  trafficHeld_.store(false);
}

void EventLog::SetLogView(ScreenLineSink* view) {
  std::lock_guard<std::mutex> lock(viewMutex_);
  logViewWindow_ = view;
}

}  // namespace qs
