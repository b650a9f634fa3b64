// The handler's side of a terminal dialog: texts, checks, enabling, combo lists, timer, end.
#include <string>

#include "platform/control_ids.h"
#include "platform/posix/ui_posix_terminal_controls.h"
#include "platform/posix/ui_posix_terminal_dialog.h"

namespace qs::platform::terminal {

namespace fc = finalcut;

void TerminalDialog::SetText(int controlId, std::string_view text) {
  fc::FWidget& control = Control(controlId);
  if (auto* combo = dynamic_cast<fc::FComboBox*>(&control)) {
    combo->setText(ToScreen(text));
  } else if (auto* edit = dynamic_cast<fc::FLineEdit*>(&control)) {
    edit->setText(ToScreen(text));
  } else if (auto* button = dynamic_cast<fc::FButton*>(&control)) {
    button->setText(ToScreen(text));
  }
  control.redraw();
}

std::string TerminalDialog::GetText(int controlId) {
  fc::FWidget& control = Control(controlId);
  if (auto* combo = dynamic_cast<fc::FComboBox*>(&control)) return FromScreen(combo->getText());
  if (auto* edit = dynamic_cast<fc::FLineEdit*>(&control)) return FromScreen(edit->getText());
  if (auto* button = dynamic_cast<fc::FButton*>(&control)) return FromScreen(button->getText());
  return {};
}

void TerminalDialog::SetChecked(int controlId, bool checked) {
  if (auto* toggle = dynamic_cast<fc::FToggleButton*>(&Control(controlId))) {
    toggle->setChecked(checked);
    toggle->redraw();
  }
}

bool TerminalDialog::IsChecked(int controlId) {
  auto* toggle = dynamic_cast<fc::FToggleButton*>(&Control(controlId));
  return toggle != nullptr && toggle->isChecked();
}

void TerminalDialog::Enable(int controlId, bool enabled) {
  fc::FWidget& control = Control(controlId);
  control.setEnable(enabled);
  control.redraw();
  const auto group = radioGroups_.find(controlId);
  if (group == radioGroups_.end()) return;
  // A group whose buttons are all disabled must be disabled too, or Tab gets stuck in it.
  bool anyEnabled = false;
  for (const auto& [id, owner] : radioGroups_) {
    if (owner == group->second) anyEnabled = anyEnabled || Control(id).isEnabled();
  }
  group->second->setEnable(anyEnabled);
  group->second->redraw();
}

void TerminalDialog::ResetComboList(int controlId) {
  if (auto* combo = dynamic_cast<fc::FComboBox*>(&Control(controlId))) combo->clear();
}

void TerminalDialog::AddComboItem(int controlId, std::string_view item) {
  if (auto* combo = dynamic_cast<fc::FComboBox*>(&Control(controlId))) {
    combo->insert(ToScreen(item));
  }
}

void TerminalDialog::StartTimer(unsigned milliseconds) {
  addTimer(static_cast<int>(milliseconds));
}

void TerminalDialog::End(int result) {
  if (ended_) return;
  ended_ = true;
  result_ = result;
  delOwnTimers();
  if (isShown()) done(result == QS_IDC_OK ? ResultCode::Accept : ResultCode::Reject);
}

std::function<void()> TerminalDialog::Waker() {
  // Only an atomic store: the calling thread never waits for the terminal.
  return [flag = wakeRequested_] { flag->store(true); };
}

}  // namespace qs::platform::terminal
