// The two dialogs in the terminal: their controls with the shared ids and texts, Tab order and
// cell positions.
#include "platform/posix/ui_posix_terminal_layouts.h"

#include <algorithm>

#include "platform/control_ids.h"
#include "platform/dialog_texts.h"
#include "platform/posix/ui_posix_terminal_controls.h"

namespace qs::platform::terminal {

namespace fc = finalcut;

namespace {

// Centres a dialog of the given size (with its shadow) on the terminal.
void PlaceDialog(TerminalDialog& dialog, std::size_t width, std::size_t height, std::size_t columns,
                 std::size_t lines) {
  const int x = static_cast<int>((columns - std::min(columns, width)) / 2) + 1;
  const int y = static_cast<int>((lines - std::min(lines, height)) / 2) + 1;
  dialog.setGeometry(fc::FPoint{x, y}, fc::FSize{width, height});
}

void Put(fc::FWidget& widget, int x, int y, std::size_t width, std::size_t height = 1) {
  widget.setGeometry(fc::FPoint{x, y}, fc::FSize{width, height});
}

}  // namespace

void BuildMainDialog(TerminalDialog& dialog) {
  auto& end = dialog.AddButton(QS_IDC_MAIN_END, QS_WIDE(QS_TEXT_MAIN_END));
  auto& settings = dialog.AddButton(QS_IDC_MAIN_SETTINGS, QS_WIDE(QS_TEXT_MAIN_SETTINGS));
  auto& list = dialog.AddListBox(QS_IDC_MAIN_EVENTS);
  // 300 x 300 dialog units would be 75 x 38 cells: as much of that as the terminal has.
  dialog.SetLayout(
      [&end, &settings, &list](TerminalDialog& self, std::size_t columns, std::size_t lines) {
        const std::size_t width = std::min<std::size_t>(75, columns);
        const std::size_t height = std::min<std::size_t>(38, lines);
        PlaceDialog(self, width, height, columns, lines);
        const std::size_t clientWidth = width - 2;
        const std::size_t clientHeight = height - 3;
        // A blank line, the buttons and their shadow under the list.
        Put(list, 1, 1, clientWidth, clientHeight - 3);
        const int buttonY = static_cast<int>(clientHeight) - 1;
        const int endX = static_cast<int>(clientWidth * 80 / 300) + 1;
        Put(end, endX, buttonY, 14);
        Put(settings, std::max(static_cast<int>(clientWidth * 160 / 300) + 1, endX + 16), buttonY,
            14);
      },
      fc::FSize{50, 12});
}

void BuildSettingsDialog(TerminalDialog& dialog) {
  // Created in the order Tab visits them; frames and labels take no focus.
  auto& ok = dialog.AddButton(QS_IDC_OK, QS_WIDE(QS_TEXT_SETTINGS_OK));
  auto& cancel = dialog.AddButton(QS_IDC_CANCEL, QS_WIDE(QS_TEXT_SETTINGS_CANCEL));
  auto& serialFrame = dialog.AddFrame(QS_WIDE(QS_TEXT_SETTINGS_SERIAL_GROUP));
  auto& alwaysOpen =
      dialog.AddCheckBox(QS_IDC_SETTINGS_ALWAYS_OPEN, QS_WIDE(QS_TEXT_SETTINGS_ALWAYS_OPEN));
  auto& portLabel = dialog.AddLabel(QS_WIDE(QS_TEXT_SETTINGS_PORT));
  auto& speedLabel = dialog.AddLabel(QS_WIDE(QS_TEXT_SETTINGS_SPEED));
  auto& speed = dialog.AddComboBox(QS_IDC_SETTINGS_SPEED);
  auto& port = dialog.AddComboBox(QS_IDC_SETTINGS_PORT);
  auto& parity = dialog.AddRadioGroup(QS_WIDE(QS_TEXT_SETTINGS_PARITY_GROUP));
  auto& none =
      dialog.AddRadio(parity, QS_IDC_SETTINGS_PARITY_NONE, QS_WIDE(QS_TEXT_SETTINGS_PARITY_NONE));
  auto& even =
      dialog.AddRadio(parity, QS_IDC_SETTINGS_PARITY_EVEN, QS_WIDE(QS_TEXT_SETTINGS_PARITY_EVEN));
  auto& odd =
      dialog.AddRadio(parity, QS_IDC_SETTINGS_PARITY_ODD, QS_WIDE(QS_TEXT_SETTINGS_PARITY_ODD));
  auto& data = dialog.AddRadioGroup(QS_WIDE(QS_TEXT_SETTINGS_DATA_GROUP));
  auto& data8 = dialog.AddRadio(data, QS_IDC_SETTINGS_DATA_8, QS_WIDE(QS_TEXT_SETTINGS_DATA_8));
  auto& data7 = dialog.AddRadio(data, QS_IDC_SETTINGS_DATA_7, QS_WIDE(QS_TEXT_SETTINGS_DATA_7));
  auto& stop = dialog.AddRadioGroup(QS_WIDE(QS_TEXT_SETTINGS_STOP_GROUP));
  auto& stop1 = dialog.AddRadio(stop, QS_IDC_SETTINGS_STOP_1, QS_WIDE(QS_TEXT_SETTINGS_STOP_1));
  auto& stop2 = dialog.AddRadio(stop, QS_IDC_SETTINGS_STOP_2, QS_WIDE(QS_TEXT_SETTINGS_STOP_2));
  auto& note = dialog.AddLabel(Wrap(QS_WIDE(QS_TEXT_SETTINGS_NOTE), 52));
  auto& logFile = dialog.AddEdit(QS_IDC_SETTINGS_LOG_FILE, false);
  auto& logFileLabel = dialog.AddLabel(QS_WIDE(QS_TEXT_SETTINGS_LOG_FILE));
  auto& tcpFrame = dialog.AddFrame(QS_WIDE(QS_TEXT_SETTINGS_TCP_GROUP));
  auto& tcpPort = dialog.AddEdit(QS_IDC_SETTINGS_TCP_PORT, true);
  auto& tcpPortLabel = dialog.AddLabel(QS_WIDE(QS_TEXT_SETTINGS_TCP_PORT));
  auto& tcpNote = dialog.AddLabel(QS_WIDE(QS_TEXT_SETTINGS_TCP_NOTE));
  auto& autoDisconnect = dialog.AddEdit(QS_IDC_SETTINGS_AUTO_DISCONNECT, true);
  auto& autoDisconnectLabel = dialog.AddLabel(QS_WIDE(QS_TEXT_SETTINGS_AUTO_DISCONNECT));

  // 248 x 302 dialog units: a quarter of the width, and the rows packed into 20 lines.
  dialog.SetLayout(
      [&](TerminalDialog& self, std::size_t columns, std::size_t lines) {
        PlaceDialog(self, 62, 23, columns, lines);
        Put(serialFrame, 1, 1, 56, 13);
        Put(alwaysOpen, 5, 2, 33);
        Put(portLabel, 5, 3, 5);
        Put(speedLabel, 30, 3, 8);
        Put(port, 5, 4, 22);
        Put(speed, 30, 4, 20);
        Put(parity, 5, 5, 14, 5);
        Put(none, 1, 1, 10);
        Put(even, 1, 2, 10);
        Put(odd, 1, 3, 10);
        Put(data, 21, 5, 14, 5);
        Put(data8, 1, 1, 10);
        Put(data7, 1, 2, 10);
        Put(stop, 38, 5, 12, 5);
        Put(stop1, 1, 1, 6);
        Put(stop2, 1, 2, 6);
        Put(note, 4, 10, 52, 2);
        Put(autoDisconnectLabel, 5, 12, 24);
        Put(autoDisconnect, 30, 12, 12);
        Put(tcpFrame, 1, 14, 56, 4);
        Put(tcpPortLabel, 5, 15, 10);
        Put(tcpPort, 16, 15, 12);
        Put(tcpNote, 5, 16, 50);
        Put(logFileLabel, 2, 18, 23);
        Put(logFile, 26, 18, 33);
        Put(ok, 16, 19, 12);
        Put(cancel, 33, 19, 12);
      },
      fc::FSize{62, 23});
}

}  // namespace qs::platform::terminal
