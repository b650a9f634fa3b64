// Resource ids shared by the resource script and the Win32 dialog code.
#pragma once

#define IDD_MAIN 100
#define IDD_SETTINGS 200

#define IDC_MAIN_END 1
#define IDC_MAIN_SETTINGS 216
#define IDC_MAIN_EVENTS 215
