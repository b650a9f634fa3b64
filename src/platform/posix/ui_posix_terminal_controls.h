// Terminal widgets that behave like the Windows dialog controls: Enter, Esc, frames, combos.
#pragma once

#include <final/final.h>

#include <functional>
#include <string>
#include <string_view>

namespace qs::platform::terminal {

// Settings texts are bytes of code page 1250, shown as the characters they stand for; a text
// read back gives the same bytes. Edit boxes only take characters that 1250 holds, so the
// '?' for any other character is never reached from the keyboard.
finalcut::FString ToScreen(std::string_view bytes);
std::string FromScreen(const finalcut::FString& text);

// Makes an edit box refuse the keys for characters that 1250 cannot hold.
void AcceptOnlyCp1250(finalcut::FLineEdit& edit);

// Wraps text into lines of at most width columns, breaking at spaces.
finalcut::FString Wrap(const std::wstring& text, std::size_t width);

// A control that, like every non-button control of a Windows dialog, hands Enter to the
// dialog's default command instead of acting on it.
template <typename Widget>
class EnterToDefault final : public Widget {
 public:
  EnterToDefault(const finalcut::FString& label, finalcut::FWidget* parent,
                 std::function<void()> onEnter)
      : Widget(label, parent), onEnter_(std::move(onEnter)) {}
  EnterToDefault(finalcut::FWidget* parent, std::function<void()> onEnter)
      : Widget(parent), onEnter_(std::move(onEnter)) {}

  void onKeyPress(finalcut::FKeyEvent* ev) override {
    if (finalcut::isEnterKey(ev->key())) {
      ev->accept();
      onEnter_();
      return;
    }
    Widget::onKeyPress(ev);
  }

 private:
  std::function<void()> onEnter_;
};

// A titled frame that only draws its border: a group box that holds no controls.
class Frame final : public finalcut::FWidget {
 public:
  Frame(const finalcut::FString& title, finalcut::FWidget* parent);

 private:
  void draw() override;
  finalcut::FString title_;
};

// An editable combo box whose drop-down stays keyboard-driven inside a modal dialog, and
// which lets Esc and Enter through to the dialog while its list is closed.
class ComboBox final : public finalcut::FComboBox {
 public:
  ComboBox(finalcut::FWidget* parent, std::function<void()> onEnter);

  void showDropDown() override;
  void onKeyPress(finalcut::FKeyEvent* ev) override;
  bool DropDownShown();

 private:
  finalcut::FLineEdit* Input();
  std::function<void()> onEnter_;
};

}  // namespace qs::platform::terminal
