// The dialogs' texts, UTF-8, read by the resource compiler and the terminal dialogs alike.
#pragma once

// Plain string literals only: windres reads this file through the C preprocessor (the
// resource script says code page 65001), C++ widens them with QS_WIDE.

#define QS_TEXT_MAIN_CAPTION "Vantrel Quillon Smart wersja 1.4 styczeń 2021"
#define QS_TEXT_MAIN_END "Koniec"
#define QS_TEXT_MAIN_SETTINGS "Ustawienia"

#define QS_TEXT_SETTINGS_CAPTION "Ustawienia"
#define QS_TEXT_SETTINGS_OK "OK"
#define QS_TEXT_SETTINGS_CANCEL "Anuluj"
#define QS_TEXT_SETTINGS_SERIAL_GROUP "Port szeregowy"
#define QS_TEXT_SETTINGS_ALWAYS_OPEN "Port szeregowy zawsze otwarty"
#define QS_TEXT_SETTINGS_PORT "Port:"
#define QS_TEXT_SETTINGS_SPEED "Szybko:"
#define QS_TEXT_SETTINGS_PARITY_GROUP "Parzystość"
#define QS_TEXT_SETTINGS_PARITY_NONE "&None"
#define QS_TEXT_SETTINGS_PARITY_EVEN "&Even"
#define QS_TEXT_SETTINGS_PARITY_ODD "&Odd"
#define QS_TEXT_SETTINGS_DATA_GROUP "Data"
#define QS_TEXT_SETTINGS_DATA_8 "&8 BIT"
#define QS_TEXT_SETTINGS_DATA_7 "&7 BIT"
#define QS_TEXT_SETTINGS_STOP_GROUP "Stop"
#define QS_TEXT_SETTINGS_STOP_1 "&1"
#define QS_TEXT_SETTINGS_STOP_2 "&2"
#define QS_TEXT_SETTINGS_NOTE                                                                      \
  "Nie ma potrzeby wskazania i włączania portu. Merovia wysyła do Quillona informacje, który " \
  "port otworzyć."
#define QS_TEXT_SETTINGS_LOG_FILE "Plik log-u komunikacji:"
#define QS_TEXT_SETTINGS_TCP_GROUP "Ustawienia TCP"
#define QS_TEXT_SETTINGS_TCP_PORT "Port TCP:"
#define QS_TEXT_SETTINGS_TCP_NOTE "UWAGA: Domyślnym portem jest 1336 (protokół TCP)"
#define QS_TEXT_SETTINGS_AUTO_DISCONNECT "Czas autorozłączania COM"

// A text as a wide literal: a plain literal joined to a wide one is read as wide.
#define QS_WIDE(text) L"" text
