// A dialog drawn in the terminal whose controls its handler addresses by id.
#pragma once

#include <final/final.h>

#include <atomic>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "platform/ui.h"

namespace qs::platform::terminal {

class TerminalDialog final : public finalcut::FDialog, public DialogWindow {
 public:
  // The controls' geometry for a given terminal size (columns, lines), called when the
  // dialog opens and whenever the terminal changes size.
  using Layout = std::function<void(TerminalDialog&, std::size_t, std::size_t)>;

  TerminalDialog(finalcut::FWidget* parent, DialogHandler& handler, const finalcut::FString& title);
  ~TerminalDialog() override;

  // Building, in the order Tab visits the controls.
  void SetLayout(Layout layout, finalcut::FSize minimum);
  finalcut::FButton& AddButton(int id, const finalcut::FString& text);
  finalcut::FCheckBox& AddCheckBox(int id, const finalcut::FString& text);
  finalcut::FComboBox& AddComboBox(int id);
  finalcut::FLineEdit& AddEdit(int id, bool digitsOnly);
  finalcut::FListBox& AddListBox(int id);
  finalcut::FButtonGroup& AddRadioGroup(const finalcut::FString& title);
  finalcut::FRadioButton& AddRadio(finalcut::FButtonGroup& group, int id,
                                   const finalcut::FString& text);
  finalcut::FLabel& AddLabel(const finalcut::FString& text);
  finalcut::FWidget& AddFrame(const finalcut::FString& title);
  finalcut::FWidget& Control(int id);

  // Runs the dialog until its handler ends it; the result the handler gave.
  int Run();
  // One pass of the application's event loop: wake-ups, focus, terminal size. True when
  // the dialog was laid out anew for a changed terminal size.
  bool Poll();
  // Esc, the close box or a stop signal.
  void Cancel();
  bool Ended() const { return ended_; }

  // DialogWindow
  ListControl& List(int controlId) override;
  void SetText(int controlId, std::string_view text) override;
  std::string GetText(int controlId) override;
  void SetChecked(int controlId, bool checked) override;
  bool IsChecked(int controlId) override;
  void Enable(int controlId, bool enabled) override;
  void ResetComboList(int controlId) override;
  void AddComboItem(int controlId, std::string_view item) override;
  void StartTimer(unsigned milliseconds) override;
  void End(int result) override;
  std::function<void()> Waker() override;

 private:
  class ListAdapter;

  void onKeyPress(finalcut::FKeyEvent* ev) override;
  void onTimer(finalcut::FTimerEvent* ev) override;
  void onClose(finalcut::FCloseEvent* ev) override;

  template <typename Widget>
  Widget& Register(int id, Widget* widget);
  void Command(int id);
  void DefaultCommand();
  void Relayout();
  void FocusFirst();

  DialogHandler& handler_;
  Layout layout_;
  finalcut::FSize minimum_{1, 1};
  std::map<int, finalcut::FWidget*> controls_;
  std::vector<finalcut::FWidget*> parts_;  // every child the layout shows or hides
  std::map<int, finalcut::FButtonGroup*> radioGroups_;
  std::unique_ptr<ListAdapter> list_;
  finalcut::FLabel* tooSmall_ = nullptr;
  std::size_t laidOutColumns_ = 0;
  std::size_t laidOutLines_ = 0;
  bool fits_ = true;
  bool focused_ = false;
  bool ended_ = false;
  int result_ = DialogHandler::kCancel;
  std::shared_ptr<std::atomic<bool>> wakeRequested_ = std::make_shared<std::atomic<bool>>(false);
};

}  // namespace qs::platform::terminal
