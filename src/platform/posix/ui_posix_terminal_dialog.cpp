// A dialog drawn in the terminal: building its controls, its loop, keys and layout on resize.
#include "platform/posix/ui_posix_terminal_dialog.h"

#include <algorithm>

#include "platform/control_ids.h"
#include "platform/posix/stop_signals.h"
#include "platform/posix/ui_posix_terminal_controls.h"

namespace qs::platform::terminal {

namespace fc = finalcut;

class TerminalDialog::ListAdapter final : public ListControl {
 public:
  explicit ListAdapter(fc::FListBox& list) : list_(list) {}
  void ResetContent() override {
    list_.clear();
    list_.redraw();
  }
  void AddString(std::string_view line) override { list_.insert(ToScreen(line)); }
  void SetCurSel(int index) override {
    // Selecting the newest line also scrolls it into view.
    if (index < 0 || static_cast<std::size_t>(index) >= list_.getCount()) return;
    list_.setCurrentItem(static_cast<std::size_t>(index) + 1);
    list_.redraw();
  }

 private:
  fc::FListBox& list_;
};

namespace {
constexpr int kDefaultButton = QS_IDC_OK;

// hide() also clears the visible flag, without which show() does nothing.
void Reveal(fc::FWidget& widget) {
  widget.setVisible();
  widget.show();
}
}  // namespace

TerminalDialog::TerminalDialog(fc::FWidget* parent, DialogHandler& handler,
                               const fc::FString& title)
    : fc::FDialog(fc::FString{title}, parent), handler_(handler) {
  setModal();
  setResizeable(false);
  setMinimizable(false);
  tooSmall_ = new fc::FLabel(this);
  tooSmall_->hide();
}

TerminalDialog::~TerminalDialog() {
  delOwnTimers();
}

void TerminalDialog::SetLayout(Layout layout, fc::FSize minimum) {
  layout_ = std::move(layout);
  minimum_ = minimum;
}

template <typename Widget>
Widget& TerminalDialog::Register(int id, Widget* widget) {
  if (id != 0) controls_[id] = widget;
  if (widget->getParentWidget() == this) parts_.push_back(widget);
  return *widget;
}

fc::FButton& TerminalDialog::AddButton(int id, const fc::FString& text) {
  auto* button = new fc::FButton(fc::FString{text}, this);
  button->addCallback("clicked", [this, id] { Command(id); });
  return Register(id, button);
}

fc::FCheckBox& TerminalDialog::AddCheckBox(int id, const fc::FString& text) {
  auto* box = new EnterToDefault<fc::FCheckBox>(text, this, [this] { DefaultCommand(); });
  box->addCallback("clicked", [this, id] { Command(id); });
  return Register(id, static_cast<fc::FCheckBox*>(box));
}

fc::FComboBox& TerminalDialog::AddComboBox(int id) {
  auto* combo = new ComboBox(this, [this] { DefaultCommand(); });
  return Register(id, static_cast<fc::FComboBox*>(combo));
}

fc::FLineEdit& TerminalDialog::AddEdit(int id, bool digitsOnly) {
  auto* edit = new EnterToDefault<fc::FLineEdit>(this, [this] { DefaultCommand(); });
  edit->unsetShadow();
  if (digitsOnly) {
    edit->setInputFilter(L"[0-9]");
  } else {
    AcceptOnlyCp1250(*edit);
  }
  return Register(id, static_cast<fc::FLineEdit*>(edit));
}

fc::FListBox& TerminalDialog::AddListBox(int id) {
  auto* box = new EnterToDefault<fc::FListBox>(this, [this] { DefaultCommand(); });
  list_ = std::make_unique<ListAdapter>(*box);
  return Register(id, static_cast<fc::FListBox*>(box));
}

fc::FButtonGroup& TerminalDialog::AddRadioGroup(const fc::FString& title) {
  return Register(0, new fc::FButtonGroup(title, this));
}

fc::FRadioButton& TerminalDialog::AddRadio(fc::FButtonGroup& group, int id,
                                           const fc::FString& text) {
  auto* radio = new EnterToDefault<fc::FRadioButton>(text, &group, [this] { DefaultCommand(); });
  radio->addCallback("clicked", [this, id] { Command(id); });
  radioGroups_[id] = &group;
  return Register(id, static_cast<fc::FRadioButton*>(radio));
}

fc::FLabel& TerminalDialog::AddLabel(const fc::FString& text) {
  return Register(0, new fc::FLabel(text, this));
}

fc::FWidget& TerminalDialog::AddFrame(const fc::FString& title) {
  return Register(0, static_cast<fc::FWidget*>(new Frame(title, this)));
}

fc::FWidget& TerminalDialog::Control(int id) {
  return *controls_.at(id);
}

int TerminalDialog::Run() {
  // A first guess at the geometry; the first pass of the event loop checks the real size.
  if (layout_) layout_(*this, getDesktopWidth(), getDesktopHeight());
  handler_.OnOpen(*this);
  if (!ended_) exec();
  return result_;
}

bool TerminalDialog::Poll() {
  if (ended_ || !isShown()) return false;
  bool resized = false;
  if (getDesktopWidth() != laidOutColumns_ || getDesktopHeight() != laidOutLines_) {
    Relayout();
    resized = true;
  }
  if (!focused_) {
    // A dialog opened inside another starts with nothing focused.
    focused_ = true;
    FocusFirst();
  }
  if (wakeRequested_->exchange(false)) handler_.OnWake(*this);
  return resized;
}

void TerminalDialog::Cancel() {
  Command(DialogHandler::kCancel);
}

void TerminalDialog::Command(int id) {
  if (!ended_) handler_.OnCommand(*this, id);
}

void TerminalDialog::DefaultCommand() {
  Command(kDefaultButton);
}

void TerminalDialog::FocusFirst() {
  if (!fits_) return;
  for (fc::FWidget* part : parts_) {
    if (part->acceptFocus() && part->isEnabled() && part->isShown()) {
      part->setFocus();
      redraw();
      return;
    }
  }
}

void TerminalDialog::Relayout() {
  laidOutColumns_ = getDesktopWidth();
  laidOutLines_ = getDesktopHeight();
  const bool fits = laidOutColumns_ >= minimum_.getWidth() && laidOutLines_ >= minimum_.getHeight();
  if (fits) {
    tooSmall_->hide();
    if (layout_) layout_(*this, laidOutColumns_, laidOutLines_);
    if (!fits_) {
      for (fc::FWidget* part : parts_) Reveal(*part);
      // A group hides its buttons with itself but does not show them again.
      for (const auto& [id, group] : radioGroups_) Reveal(Control(id));
      fits_ = true;
      FocusFirst();
    }
  } else {
    // Controls squeezed into a smaller screen would overlap: say so instead.
    for (fc::FWidget* part : parts_) part->hide();
    fits_ = false;
    const std::size_t columns = std::max<std::size_t>(laidOutColumns_, 8);
    const std::size_t lines = std::max<std::size_t>(laidOutLines_, 5);
    setGeometry(fc::FPoint{1, 1}, fc::FSize{columns, lines});
    const std::wstring message =
        L"Okno terminala jest za małe: potrzeba " + std::to_wstring(minimum_.getWidth()) + L"×" +
        std::to_wstring(minimum_.getHeight()) + L" znaków, jest " +
        std::to_wstring(laidOutColumns_) + L"×" + std::to_wstring(laidOutLines_) +
        L". Powiększ je albo naciśnij Esc.";
    tooSmall_->setText(Wrap(message, columns - 4));
    tooSmall_->setGeometry(fc::FPoint{2, 1}, fc::FSize{columns - 4, lines - 3});
    Reveal(*tooSmall_);
  }
  redraw();
}

void TerminalDialog::onKeyPress(fc::FKeyEvent* ev) {
  if (ev->key() == fc::FKey::Ctrl_c) {
    // The toolkit switches the terminal's signal keys off, so Ctrl-C comes as a key. It ends
    // the program as SIGINT does: every open dialog cancelled, innermost first.
    ev->accept();
    RequestStop();
    return;
  }
  if (fc::isEscapeKey(ev->key())) {
    ev->accept();
    Cancel();
    return;
  }
  fc::FDialog::onKeyPress(ev);
}

void TerminalDialog::onTimer(fc::FTimerEvent*) {
  if (!ended_) handler_.OnTimer(*this);
}

void TerminalDialog::onClose(fc::FCloseEvent* ev) {
  // The handler decides whether and how the dialog ends.
  ev->ignore();
  Cancel();
}

ListControl& TerminalDialog::List(int controlId) {
  (void)Control(controlId);
  return *list_;
}

}  // namespace qs::platform::terminal
