// Resource ids shared by the resource script and the Win32 dialog code.
#pragma once

#define IDD_MAIN 100
#define IDD_SETTINGS 200

#define IDC_MAIN_END 1
#define IDC_MAIN_SETTINGS 216
#define IDC_MAIN_EVENTS 215

#define IDC_SET_ALWAYS_OPEN 201
#define IDC_SET_SPEED 202
#define IDC_SET_PORT 204
#define IDC_SET_PARITY_GROUP 205
#define IDC_SET_PARITY_NONE 206
#define IDC_SET_PARITY_EVEN 207
#define IDC_SET_PARITY_ODD 208
#define IDC_SET_DATA_8 209
#define IDC_SET_STOP_1 211
#define IDC_SET_STOP_2 212
#define IDC_SET_LOG_FILE 213
#define IDC_SET_DATA_7 214
#define IDC_SET_TCP_PORT 1000
#define IDC_SET_AUTO_DISCONNECT 1001
