; The Windows installer: the program under Program Files, a Start-menu shortcut and, when
; chosen, a Startup shortcut, both working in %LOCALAPPDATA%\Quillon Smart.
; Built by CMake (target windows-installer), which defines VERSION, VERSION_QUAD, STAGE_DIR,
; ICON_FILE and OUT_FILE. Silent: setup.exe /S [/STARTUP] [/D=folder].
Unicode true
Target amd64-unicode
SetCompressor /SOLID lzma
RequestExecutionLevel admin
ManifestDPIAware true

!include MUI2.nsh
!include FileFunc.nsh
!include LogicLib.nsh
!include Sections.nsh

!define PRODUCT "Quillon Smart"
!define COMPANY "Vantrel"
!define EXE "QuillonSmart.exe"
!define UNINSTALL_KEY "Software\Microsoft\Windows\CurrentVersion\Uninstall\QuillonSmart"
; The working folder: "setuplite.dat" and the log file are kept there, also after uninstalling.
!define WORK_DIR "$LOCALAPPDATA\${PRODUCT}"
!define SHORTCUT "${PRODUCT}.lnk"

Name "${PRODUCT} ${VERSION}"
OutFile "${OUT_FILE}"
InstallDir "$PROGRAMFILES64\${PRODUCT}"
InstallDirRegKey HKLM "${UNINSTALL_KEY}" "InstallLocation"
BrandingText "${COMPANY} ${PRODUCT} ${VERSION}"

!define MUI_ICON "${ICON_FILE}"
!define MUI_UNICON "${ICON_FILE}"
!define MUI_ABORTWARNING
!define MUI_COMPONENTSPAGE_NODESC
!define MUI_FINISHPAGE_RUN
!define MUI_FINISHPAGE_RUN_FUNCTION StartFromWorkingFolder

!insertmacro MUI_PAGE_DIRECTORY
!insertmacro MUI_PAGE_COMPONENTS
!insertmacro MUI_PAGE_INSTFILES
!insertmacro MUI_PAGE_FINISH
!insertmacro MUI_UNPAGE_CONFIRM
!insertmacro MUI_UNPAGE_INSTFILES

!insertmacro MUI_LANGUAGE "Polish"
!insertmacro MUI_LANGUAGE "English"

LangString SectionProgram ${LANG_POLISH} "Program i skrót w menu Start"
LangString SectionProgram ${LANG_ENGLISH} "Program and Start-menu shortcut"
LangString SectionStartup ${LANG_POLISH} "Uruchamiaj po zalogowaniu"
LangString SectionStartup ${LANG_ENGLISH} "Start at logon"

VIProductVersion "${VERSION_QUAD}"
VIFileVersion "${VERSION_QUAD}"
VIAddVersionKey /LANG=${LANG_POLISH} "ProductName" "${PRODUCT}"
VIAddVersionKey /LANG=${LANG_POLISH} "CompanyName" "${COMPANY}"
VIAddVersionKey /LANG=${LANG_POLISH} "FileDescription" "Instalator programu ${PRODUCT}"
VIAddVersionKey /LANG=${LANG_POLISH} "FileVersion" "${VERSION}"
VIAddVersionKey /LANG=${LANG_POLISH} "ProductVersion" "${VERSION}"
VIAddVersionKey /LANG=${LANG_POLISH} "LegalCopyright" "© 2021 ${COMPANY}"
VIAddVersionKey /LANG=${LANG_ENGLISH} "ProductName" "${PRODUCT}"
VIAddVersionKey /LANG=${LANG_ENGLISH} "CompanyName" "${COMPANY}"
VIAddVersionKey /LANG=${LANG_ENGLISH} "FileDescription" "${PRODUCT} installer"
VIAddVersionKey /LANG=${LANG_ENGLISH} "FileVersion" "${VERSION}"
VIAddVersionKey /LANG=${LANG_ENGLISH} "ProductVersion" "${VERSION}"
VIAddVersionKey /LANG=${LANG_ENGLISH} "LegalCopyright" "© 2021 ${COMPANY}"

Section "!$(SectionProgram)" SecProgram
  SectionIn RO
  SetOutPath "$INSTDIR"
  File "${STAGE_DIR}\${EXE}"
  File "${STAGE_DIR}\README.md"
  SetOutPath "$INSTDIR\sample"
  File "${STAGE_DIR}\sample\setuplite.dat"

  ; A first installation gets the sample settings; an existing "setuplite.dat" is the user's.
  SetOutPath "${WORK_DIR}"
  ${IfNot} ${FileExists} "${WORK_DIR}\setuplite.dat"
    CopyFiles /SILENT "$INSTDIR\sample\setuplite.dat" "${WORK_DIR}\setuplite.dat"
  ${EndIf}
  ; A shortcut's working folder is the output folder at the time it is made.
  CreateShortcut "$SMPROGRAMS\${SHORTCUT}" "$INSTDIR\${EXE}" "" "$INSTDIR\${EXE}" 0

  WriteUninstaller "$INSTDIR\uninstall.exe"
  WriteRegStr HKLM "${UNINSTALL_KEY}" "DisplayName" "${PRODUCT}"
  WriteRegStr HKLM "${UNINSTALL_KEY}" "DisplayVersion" "${VERSION}"
  WriteRegStr HKLM "${UNINSTALL_KEY}" "Publisher" "${COMPANY}"
  WriteRegStr HKLM "${UNINSTALL_KEY}" "DisplayIcon" "$INSTDIR\${EXE},0"
  WriteRegStr HKLM "${UNINSTALL_KEY}" "InstallLocation" "$INSTDIR"
  WriteRegStr HKLM "${UNINSTALL_KEY}" "UninstallString" '"$INSTDIR\uninstall.exe"'
  WriteRegStr HKLM "${UNINSTALL_KEY}" "QuietUninstallString" '"$INSTDIR\uninstall.exe" /S'
  WriteRegDWORD HKLM "${UNINSTALL_KEY}" "NoModify" 1
  WriteRegDWORD HKLM "${UNINSTALL_KEY}" "NoRepair" 1
  ${GetSize} "$INSTDIR" "/S=0K" $0 $1 $2
  WriteRegDWORD HKLM "${UNINSTALL_KEY}" "EstimatedSize" $0
SectionEnd

Section /o "$(SectionStartup)" SecStartup
  SetOutPath "${WORK_DIR}"
  CreateShortcut "$SMSTARTUP\${SHORTCUT}" "$INSTDIR\${EXE}" "" "$INSTDIR\${EXE}" 0
SectionEnd

Function .onInit
  ; Shortcuts and the working folder belong to the user who installs.
  SetShellVarContext current
  SetRegView 64
  ; /STARTUP on the command line ticks "Start at logon" (for /S, where no page is shown).
  ${GetParameters} $R0
  ClearErrors
  ${GetOptions} $R0 "/STARTUP" $R1
  ${IfNot} ${Errors}
    !insertmacro SelectSection ${SecStartup}
  ${EndIf}
FunctionEnd

Function StartFromWorkingFolder
  SetOutPath "${WORK_DIR}"
  Exec '"$INSTDIR\${EXE}"'
FunctionEnd

Function un.onInit
  SetShellVarContext current
  SetRegView 64
FunctionEnd

; Removes what the installer put down; the working folder, with the user's "setuplite.dat"
; and log file, stays.
Section "Uninstall"
  Delete "$SMPROGRAMS\${SHORTCUT}"
  Delete "$SMSTARTUP\${SHORTCUT}"
  Delete "$INSTDIR\${EXE}"
  Delete "$INSTDIR\README.md"
  Delete "$INSTDIR\sample\setuplite.dat"
  RMDir "$INSTDIR\sample"
  Delete "$INSTDIR\uninstall.exe"
  RMDir "$INSTDIR"
  DeleteRegKey HKLM "${UNINSTALL_KEY}"
SectionEnd
