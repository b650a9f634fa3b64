// The main dialog: the event list, "Koniec", "Ustawienia" and the one-second tick.
#pragma once

#include <functional>
#include <optional>

#include "app/idle_tick.h"
#include "log/event_list.h"
#include "log/event_log.h"
#include "log/screen_line_queue.h"
#include "platform/ui.h"

namespace qs {

class MainDialog final : public platform::DialogHandler {
 public:
  static constexpr int kEndButton = QS_IDC_MAIN_END;            // "Koniec"
  static constexpr int kSettingsButton = QS_IDC_MAIN_SETTINGS;  // "Ustawienia"
  static constexpr int kEventList = QS_IDC_MAIN_EVENTS;
  static constexpr unsigned kTickMilliseconds = 1000;

  // openSettings runs the settings dialog modally; it may be empty until there is one.
  MainDialog(EventLog& log, IdleTick& tick, std::function<void()> openSettings)
      : log_(log), tick_(tick), openSettings_(std::move(openSettings)) {}
  ~MainDialog() override;
  MainDialog(const MainDialog&) = delete;
  MainDialog& operator=(const MainDialog&) = delete;

  void OnOpen(platform::DialogWindow& window) override;
  void OnCommand(platform::DialogWindow& window, int controlId) override;
  void OnTimer(platform::DialogWindow& window) override;
  void OnWake(platform::DialogWindow& window) override;

 private:
  void ShowQueuedLines();
  void Finish(platform::DialogWindow& window, int result);

  EventLog& log_;
  IdleTick& tick_;
  std::function<void()> openSettings_;
  ScreenLineQueue queue_;
  std::optional<EventList> list_;
};

}  // namespace qs
