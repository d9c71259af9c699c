; The Windows installer: a per-machine install in Program Files with a Start-menu shortcut,
; an uninstaller and an entry in Add/Remove Programs. scripts/build-windows passes VERSION,
; EXE (the built player), ICON and OUTFILE with -D.
; A 64-bit installer for the 64-bit player: it needs no 32-bit subsystem (WoW64) to run.
Target amd64-unicode

!define NAME "tamselRadio"
!define PUBLISHER "Tamsel Radio"
!define UNINSTALL_KEY "Software\Microsoft\Windows\CurrentVersion\Uninstall\${NAME}"

Name "${NAME} ${VERSION}"
OutFile "${OUTFILE}"
InstallDir "$PROGRAMFILES64\${NAME}"
RequestExecutionLevel admin
SetCompressor /SOLID lzma
Icon "${ICON}"
UninstallIcon "${ICON}"
ShowInstDetails nevershow
ShowUninstDetails nevershow

VIProductVersion "${VERSION}.0"
VIAddVersionKey /LANG=1033 "ProductName" "${NAME}"
VIAddVersionKey /LANG=1033 "CompanyName" "${PUBLISHER}"
VIAddVersionKey /LANG=1033 "FileDescription" "${NAME} installer"
VIAddVersionKey /LANG=1033 "FileVersion" "${VERSION}"
VIAddVersionKey /LANG=1033 "ProductVersion" "${VERSION}"
VIAddVersionKey /LANG=1033 "LegalCopyright" "Copyright ${PUBLISHER}"

Page directory
Page instfiles
UninstPage uninstConfirm
UninstPage instfiles

; The player is a 64-bit program: it goes to the 64-bit Program Files and registry view,
; for every user of the machine.
Function .onInit
    SetShellVarContext all
    SetRegView 64
FunctionEnd

Function un.onInit
    SetShellVarContext all
    SetRegView 64
FunctionEnd

; A running player holds its exe: Windows refuses to open a mapped image for writing, so the
; installer could not replace it nor the uninstaller remove it, and a half install or removal
; would follow. Asked before anything is changed: interactively the user may close the player
; and retry; silently (or on Cancel) the run ends with exit code 2 and nothing changed.
!macro PLAYER_MUST_BE_CLOSED PREFIX
Function ${PREFIX}PlayerMustBeClosed
    retry:
    IfFileExists "$INSTDIR\${NAME}.exe" 0 closed
    ClearErrors
    ; Append mode opens for writing without truncating; nothing is written.
    FileOpen $0 "$INSTDIR\${NAME}.exe" a
    IfErrors running
    FileClose $0
    Goto closed
    running:
    IfSilent give_up
    MessageBox MB_RETRYCANCEL|MB_ICONEXCLAMATION \
        "${NAME} is running. Please close it, then click Retry." /SD IDCANCEL IDRETRY retry
    give_up:
    SetErrorLevel 2
    Quit
    closed:
FunctionEnd
!macroend
!insertmacro PLAYER_MUST_BE_CLOSED ""
!insertmacro PLAYER_MUST_BE_CLOSED "un."

Section "Install"
    Call PlayerMustBeClosed
    SetOutPath "$INSTDIR"
    File "/oname=${NAME}.exe" "${EXE}"
    WriteUninstaller "$INSTDIR\uninstall.exe"
    CreateShortcut "$SMPROGRAMS\${NAME}.lnk" "$INSTDIR\${NAME}.exe" "" "$INSTDIR\${NAME}.exe" 0

    WriteRegStr HKLM "${UNINSTALL_KEY}" "DisplayName" "${NAME}"
    WriteRegStr HKLM "${UNINSTALL_KEY}" "DisplayVersion" "${VERSION}"
    WriteRegStr HKLM "${UNINSTALL_KEY}" "Publisher" "${PUBLISHER}"
    WriteRegStr HKLM "${UNINSTALL_KEY}" "DisplayIcon" "$INSTDIR\${NAME}.exe,0"
    WriteRegStr HKLM "${UNINSTALL_KEY}" "InstallLocation" "$INSTDIR"
    WriteRegStr HKLM "${UNINSTALL_KEY}" "UninstallString" '"$INSTDIR\uninstall.exe"'
    WriteRegStr HKLM "${UNINSTALL_KEY}" "QuietUninstallString" '"$INSTDIR\uninstall.exe" /S'
    WriteRegDWORD HKLM "${UNINSTALL_KEY}" "NoModify" 1
    WriteRegDWORD HKLM "${UNINSTALL_KEY}" "NoRepair" 1
    SectionGetSize 0 $0
    WriteRegDWORD HKLM "${UNINSTALL_KEY}" "EstimatedSize" $0
SectionEnd

Section "Uninstall"
    Call un.PlayerMustBeClosed
    Delete "$INSTDIR\${NAME}.exe"
    Delete "$INSTDIR\uninstall.exe"
    RMDir "$INSTDIR"
    Delete "$SMPROGRAMS\${NAME}.lnk"
    DeleteRegKey HKLM "${UNINSTALL_KEY}"
SectionEnd
