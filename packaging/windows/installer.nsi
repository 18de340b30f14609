; The Windows installer: puts the program's folder in Program Files, adds a Start-menu entry and
; an uninstaller, and registers both with Windows' list of installed programs. Made by
; tools/windows/build.sh, which passes VERSION, SOURCE (the program's folder), ICON, UNINSTALL
; (a file of the uninstaller's commands that remove SOURCE's files and folders by name) and
; OUTFILE.
;
; Run with /S it asks nothing; its exit code then says what happened: 0 installed, 2 not
; installed (the program is running, or the operator cancelled).

; A 64-bit installer for a 64-bit program, which Windows 10 and 11 run as they are.
Target amd64-unicode
!include "MUI2.nsh"
!include "FileFunc.nsh"
!include "LogicLib.nsh"

Name "Zelvor Upload ${VERSION}"
OutFile "${OUTFILE}"
InstallDir "$PROGRAMFILES64\Zelvor Upload"
InstallDirRegKey HKLM "Software\Zelvor Upload" "InstallDir"
RequestExecutionLevel admin
SetCompressor /SOLID lzma
; Sharp text at any display scale, instead of a bitmap Windows stretches.
ManifestDPIAware true
ManifestDPIAwareness "PerMonitorV2,System"
ManifestSupportedOS all

!define UNINSTALL_KEY "Software\Microsoft\Windows\CurrentVersion\Uninstall\Zelvor Upload"
!define PUBLISHER "The zelvor-upload developers"

; What Explorer's Properties and Windows' "unknown publisher" prompt show about this file.
VIProductVersion "${VERSION}.0"
VIFileVersion "${VERSION}.0"
VIAddVersionKey /LANG=1033 "ProductName" "Zelvor Upload"
VIAddVersionKey /LANG=1033 "ProductVersion" "${VERSION}"
VIAddVersionKey /LANG=1033 "FileVersion" "${VERSION}"
VIAddVersionKey /LANG=1033 "FileDescription" "Zelvor Upload ${VERSION} Setup"
VIAddVersionKey /LANG=1033 "CompanyName" "${PUBLISHER}"
VIAddVersionKey /LANG=1033 "LegalCopyright" "Copyright (C) 2026 ${PUBLISHER}"
VIAddVersionKey /LANG=1033 "OriginalFilename" "zelvor-upload-${VERSION}-setup.exe"

!define MUI_ICON "${ICON}"
!define MUI_UNICON "${ICON}"
!insertmacro MUI_PAGE_LICENSE "${SOURCE}\LICENSE.txt"
!insertmacro MUI_PAGE_DIRECTORY
!insertmacro MUI_PAGE_INSTFILES
!insertmacro MUI_PAGE_FINISH
!insertmacro MUI_UNPAGE_CONFIRM
!insertmacro MUI_UNPAGE_INSTFILES
!insertmacro MUI_LANGUAGE "English"

; Waits until the program in $INSTDIR is not running, asking the operator to close it; silent,
; it does not wait but gives up with exit code 2. A running program keeps its .exe open as an
; image section, and Windows refuses to open such a file for writing until the process ends
; (Microsoft Learn, CreateFileW: ERROR_SHARING_VIOLATION), so its files could be neither
; replaced nor removed: the installer would report success and leave the old program in place.
!macro WAIT_UNTIL_CLOSED UN
Function ${UN}waitUntilClosed
    retry:
    IfFileExists "$INSTDIR\zelvor-upload.exe" 0 closed
    ; GENERIC_WRITE, no sharing, OPEN_EXISTING
    System::Call 'kernel32::CreateFileW(w "$INSTDIR\zelvor-upload.exe", i 0x40000000, i 0, \
                                        p 0, i 3, i 0, p 0) p .r0'
    IntPtrCmp $0 -1 running
    System::Call 'kernel32::CloseHandle(p r0)'
    Goto closed
    running:
    MessageBox MB_RETRYCANCEL|MB_ICONEXCLAMATION \
        "Zelvor Upload is running from $INSTDIR.$\r$\n$\r$\nClose it, then choose Retry." \
        /SD IDCANCEL IDRETRY retry
    DetailPrint "Zelvor Upload is running from $INSTDIR: nothing was changed."
    SetErrorLevel 2
    Abort
    closed:
FunctionEnd
!macroend
!insertmacro WAIT_UNTIL_CLOSED ""
!insertmacro WAIT_UNTIL_CLOSED "un."

Section "Zelvor Upload"
    SetRegView 64
    SetShellVarContext all
    Call waitUntilClosed
    SetOutPath "$INSTDIR"
    File /r "${SOURCE}\*.*"
    WriteUninstaller "$INSTDIR\uninstall.exe"
    CreateShortCut "$SMPROGRAMS\Zelvor Upload.lnk" "$INSTDIR\zelvor-upload.exe"
    WriteRegStr HKLM "Software\Zelvor Upload" "InstallDir" "$INSTDIR"
    ; What Apps & features and the tools of an IT department read about the installed program.
    ${GetSize} "$INSTDIR" "/S=0K" $0 $1 $2
    WriteRegStr HKLM "${UNINSTALL_KEY}" "DisplayName" "Zelvor Upload"
    WriteRegStr HKLM "${UNINSTALL_KEY}" "DisplayVersion" "${VERSION}"
    WriteRegStr HKLM "${UNINSTALL_KEY}" "Publisher" "${PUBLISHER}"
    WriteRegStr HKLM "${UNINSTALL_KEY}" "DisplayIcon" "$INSTDIR\zelvor-upload.exe,0"
    WriteRegStr HKLM "${UNINSTALL_KEY}" "InstallLocation" "$INSTDIR"
    WriteRegStr HKLM "${UNINSTALL_KEY}" "UninstallString" '"$INSTDIR\uninstall.exe"'
    WriteRegStr HKLM "${UNINSTALL_KEY}" "QuietUninstallString" '"$INSTDIR\uninstall.exe" /S'
    WriteRegDWORD HKLM "${UNINSTALL_KEY}" "EstimatedSize" $0
    WriteRegDWORD HKLM "${UNINSTALL_KEY}" "NoModify" 1
    WriteRegDWORD HKLM "${UNINSTALL_KEY}" "NoRepair" 1
SectionEnd

; Removes what the installer put there, file by file, and a folder only when that leaves it
; empty: whatever else the folder holds (the operator's download files, when the program went
; into a folder of theirs) stays, and so does the folder.
Section "Uninstall"
    SetRegView 64
    SetShellVarContext all
    Call un.waitUntilClosed
    Delete "$SMPROGRAMS\Zelvor Upload.lnk"
    !include "${UNINSTALL}"
    Delete "$INSTDIR\uninstall.exe"
    RMDir "$INSTDIR"
    DeleteRegKey HKLM "${UNINSTALL_KEY}"
    DeleteRegKey HKLM "Software\Zelvor Upload"
SectionEnd
