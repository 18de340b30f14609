; The Windows installer: puts the program's folder in Program Files, adds a Start-menu entry and
; an uninstaller, and registers both with Windows' list of installed programs. Made by
; tools/windows/build.sh, which passes VERSION, SOURCE (the program's folder) and OUTFILE.

; A 64-bit installer for a 64-bit program, which Windows 10 and 11 run as they are.
Target amd64-unicode
!include "MUI2.nsh"

Name "Zelvor Upload ${VERSION}"
OutFile "${OUTFILE}"
InstallDir "$PROGRAMFILES64\Zelvor Upload"
InstallDirRegKey HKLM "Software\Zelvor Upload" "InstallDir"
RequestExecutionLevel admin
SetCompressor /SOLID lzma

!define UNINSTALL_KEY "Software\Microsoft\Windows\CurrentVersion\Uninstall\Zelvor Upload"

!insertmacro MUI_PAGE_LICENSE "${SOURCE}\LICENSE.txt"
!insertmacro MUI_PAGE_DIRECTORY
!insertmacro MUI_PAGE_INSTFILES
!insertmacro MUI_PAGE_FINISH
!insertmacro MUI_UNPAGE_CONFIRM
!insertmacro MUI_UNPAGE_INSTFILES
!insertmacro MUI_LANGUAGE "English"

Section "Zelvor Upload"
    SetRegView 64
    SetShellVarContext all
    SetOutPath "$INSTDIR"
    File /r "${SOURCE}\*.*"
    WriteUninstaller "$INSTDIR\uninstall.exe"
    CreateShortCut "$SMPROGRAMS\Zelvor Upload.lnk" "$INSTDIR\zelvor-upload.exe"
    WriteRegStr HKLM "Software\Zelvor Upload" "InstallDir" "$INSTDIR"
    WriteRegStr HKLM "${UNINSTALL_KEY}" "DisplayName" "Zelvor Upload"
    WriteRegStr HKLM "${UNINSTALL_KEY}" "DisplayVersion" "${VERSION}"
    WriteRegStr HKLM "${UNINSTALL_KEY}" "Publisher" "The zelvor-upload developers"
    WriteRegStr HKLM "${UNINSTALL_KEY}" "DisplayIcon" "$INSTDIR\zelvor-upload.exe"
    WriteRegStr HKLM "${UNINSTALL_KEY}" "UninstallString" '"$INSTDIR\uninstall.exe"'
    WriteRegDWORD HKLM "${UNINSTALL_KEY}" "NoModify" 1
    WriteRegDWORD HKLM "${UNINSTALL_KEY}" "NoRepair" 1
SectionEnd

Section "Uninstall"
    SetRegView 64
    SetShellVarContext all
    Delete "$SMPROGRAMS\Zelvor Upload.lnk"
    RMDir /r "$INSTDIR"
    DeleteRegKey HKLM "${UNINSTALL_KEY}"
    DeleteRegKey HKLM "Software\Zelvor Upload"
SectionEnd
