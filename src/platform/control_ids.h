// Dialog and control ids, read by the resource compiler, the ui backends and the core alike.
#pragma once

// Plain numbers only: windres reads this file through the C preprocessor.

#define QS_IDD_MAIN 100
#define QS_IDD_SETTINGS 200

// What Enter and Esc send in every dialog: the values of Windows' IDOK and IDCANCEL.
#define QS_IDC_OK 1
#define QS_IDC_CANCEL 2
// Labels and frames that nobody addresses.
#define QS_IDC_STATIC (-1)

// The main dialog; "Koniec" is its default command.
#define QS_IDC_MAIN_END QS_IDC_OK
#define QS_IDC_MAIN_EVENTS 215
#define QS_IDC_MAIN_SETTINGS 216

// The settings dialog.
#define QS_IDC_SETTINGS_ALWAYS_OPEN 201
#define QS_IDC_SETTINGS_SPEED 202
#define QS_IDC_SETTINGS_PORT 204
#define QS_IDC_SETTINGS_PARITY_GROUP 205
#define QS_IDC_SETTINGS_PARITY_NONE 206
#define QS_IDC_SETTINGS_PARITY_EVEN 207
#define QS_IDC_SETTINGS_PARITY_ODD 208
#define QS_IDC_SETTINGS_DATA_8 209
#define QS_IDC_SETTINGS_STOP_1 211
#define QS_IDC_SETTINGS_STOP_2 212
#define QS_IDC_SETTINGS_LOG_FILE 213
#define QS_IDC_SETTINGS_DATA_7 214
#define QS_IDC_SETTINGS_TCP_PORT 1000
#define QS_IDC_SETTINGS_AUTO_DISCONNECT 1001
