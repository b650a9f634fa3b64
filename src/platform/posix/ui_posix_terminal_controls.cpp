// Terminal widgets that behave like the Windows dialog controls: Enter, Esc, frames, combos.
#include "platform/posix/ui_posix_terminal_controls.h"

#include "platform/posix/cp1250.h"

namespace qs::platform::terminal {

finalcut::FString ToScreen(std::string_view bytes) {
  return finalcut::FString{Cp1250ToWide(bytes)};
}

std::string FromScreen(const finalcut::FString& text) {
  std::string bytes;
  for (const wchar_t c : text.toWString()) {
    const std::optional<unsigned char> byte = WideToCp1250(c);
    bytes.push_back(byte ? static_cast<char>(*byte) : '?');
  }
  return bytes;
}

void AcceptOnlyCp1250(finalcut::FLineEdit& edit) {
  static const finalcut::FString filter{Cp1250InputFilter()};
  edit.setInputFilter(filter);
}

finalcut::FString Wrap(const std::wstring& text, std::size_t width) {
  std::wstring out;
  std::size_t lineStart = 0;
  std::size_t lastSpace = std::wstring::npos;
  for (std::size_t i = 0; i < text.size(); ++i) {
    if (text[i] == L' ') lastSpace = out.size();
    out.push_back(text[i]);
    if (out.size() - lineStart > width && lastSpace != std::wstring::npos &&
        lastSpace >= lineStart) {
      out[lastSpace] = L'\n';
      lineStart = lastSpace + 1;
      lastSpace = std::wstring::npos;
    }
  }
  return finalcut::FString{out};
}

Frame::Frame(const finalcut::FString& title, finalcut::FWidget* parent)
    : finalcut::FWidget(parent), title_(title) {
  unsetFocusable();
}

void Frame::draw() {
  // Only the border: the controls inside belong to the dialog and draw themselves.
  const auto& colors = getColorTheme();
  setColor(colors->label_fg, colors->dialog_bg);
  const int width = static_cast<int>(getWidth());
  const int height = static_cast<int>(getHeight());
  for (int y = 1; y <= height; ++y) {
    const bool edge = y == 1 || y == height;
    print() << finalcut::FPoint{1, y};
    if (edge) {
      print() << (y == 1 ? finalcut::UniChar::BoxDrawingsDownAndRight
                         : finalcut::UniChar::BoxDrawingsUpAndRight);
      for (int x = 2; x < width; ++x) print() << finalcut::UniChar::BoxDrawingsHorizontal;
      print() << (y == 1 ? finalcut::UniChar::BoxDrawingsDownAndLeft
                         : finalcut::UniChar::BoxDrawingsUpAndLeft);
    } else {
      print() << finalcut::UniChar::BoxDrawingsVertical;
      print() << finalcut::FPoint{width, y} << finalcut::UniChar::BoxDrawingsVertical;
    }
  }
  if (!title_.isEmpty()) print() << finalcut::FPoint{2, 1} << L' ' << title_ << L' ';
}

ComboBox::ComboBox(finalcut::FWidget* parent, std::function<void()> onEnter)
    : finalcut::FComboBox(parent), onEnter_(std::move(onEnter)) {
  unsetShadow();
  if (finalcut::FLineEdit* input = Input()) {
    AcceptOnlyCp1250(*input);
    input->addCallback("activate", [this] {
      // Enter picks the highlighted entry while the list is open, as on Windows.
      if (DropDownShown()) {
        hideDropDown();
      } else {
        onEnter_();
      }
    });
  }
}

finalcut::FLineEdit* ComboBox::Input() {
  for (finalcut::FObject* child : getChildren()) {
    if (auto* input = dynamic_cast<finalcut::FLineEdit*>(child)) return input;
  }
  return nullptr;
}

bool ComboBox::DropDownShown() {
  for (finalcut::FObject* child : getChildren()) {
    if (auto* list = dynamic_cast<finalcut::FDropDownListBox*>(child)) return list->isShown();
  }
  return false;
}

void ComboBox::showDropDown() {
  finalcut::FComboBox::showDropDown();
  // Inside a modal dialog the open list would never see a key: the edit field keeps the
  // focus and Up/Down move through the list from there.
  if (finalcut::FLineEdit* input = Input()) {
    input->setFocus();
    input->redraw();
  }
}

void ComboBox::onKeyPress(finalcut::FKeyEvent* ev) {
  // With the list closed, Esc belongs to the dialog.
  if (finalcut::isEscapeKey(ev->key()) && !DropDownShown()) return;
  finalcut::FComboBox::onKeyPress(ev);
}

}  // namespace qs::platform::terminal
