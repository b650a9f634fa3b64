// The main dialog's behaviour, the same on every platform.
#include "app/main_dialog.h"

namespace qs {

MainDialog::~MainDialog() {
  log_.SetLogView(nullptr);
  queue_.Detach();
}

void MainDialog::OnOpen(platform::DialogWindow& window) {
  list_.emplace(window.List(kEventList));
  queue_.Attach(window.Waker());
  log_.SetLogView(&queue_);
  window.StartTimer(kTickMilliseconds);
}

void MainDialog::OnCommand(platform::DialogWindow& window, int controlId) {
  switch (controlId) {
    case kEndButton:
      Finish(window, 1);
      break;
    case kCancel:
      Finish(window, 2);
      break;
    case kSettingsButton:
      if (openSettings_) openSettings_();
      break;
    default:
      break;
  }
}

void MainDialog::OnTimer(platform::DialogWindow&) {
  tick_.OnTick();
  // A wake that was lost would leave lines waiting; the tick picks them up at the latest.
  ShowQueuedLines();
}

void MainDialog::OnWake(platform::DialogWindow&) {
  ShowQueuedLines();
}

void MainDialog::ShowQueuedLines() {
  if (!list_) return;
  list_->ShowLines(queue_.TakeAll());
}

void MainDialog::Finish(platform::DialogWindow& window, int result) {
  // Lines logged from now on reach the file only; those logged before still reach the list.
  log_.SetLogView(nullptr);
  queue_.Detach();
  ShowQueuedLines();
  window.End(result);
}

}  // namespace qs
