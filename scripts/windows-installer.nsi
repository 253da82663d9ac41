; The Windows installer, made by scripts/build-windows.sh:
;   makensis -DVERSION=V -DSTAGE=DIR -DOUTFILE=FILE [-DWITH_MONITOR] windows-installer.nsi
; STAGE holds what the zip holds. Installs for every user into Program Files, adds the Start menu
; entries and an uninstaller listed under Apps & features.
; A 64-bit installer for 64-bit programs (and for a Wine without 32-bit support).
Target amd64-unicode
SetCompressor /SOLID lzma

!define APP "Orvendal"
!define UNINSTALL_KEY "Software\Microsoft\Windows\CurrentVersion\Uninstall\Orvendal"

Name "${APP} ${VERSION}"
OutFile "${OUTFILE}"
InstallDir "$PROGRAMFILES64\${APP}"
InstallDirRegKey HKLM "${UNINSTALL_KEY}" "InstallLocation"
RequestExecutionLevel admin
ShowInstDetails show

Page directory
Page instfiles
UninstPage uninstConfirm
UninstPage instfiles

Section "Orvendal"
    SetShellVarContext all
    SetOutPath "$INSTDIR"
    File "${STAGE}\stationctl.exe"
    File "${STAGE}\README.md"
    File "${STAGE}\user-guide.md"
    File "${STAGE}\windows.md"
    SetOutPath "$INSTDIR\licences"
    File "${STAGE}\licences\*.txt"
    SetOutPath "$INSTDIR"
    CreateDirectory "$SMPROGRAMS\${APP}"
!ifdef WITH_MONITOR
    File "${STAGE}\orvendal.exe"
    CreateShortcut "$SMPROGRAMS\${APP}\${APP}.lnk" "$INSTDIR\orvendal.exe"
!endif
    CreateShortcut "$SMPROGRAMS\${APP}\Guía del usuario.lnk" "$WINDIR\notepad.exe" \
        '"$INSTDIR\user-guide.md"'
    CreateShortcut "$SMPROGRAMS\${APP}\Desinstalar ${APP}.lnk" "$INSTDIR\uninstall.exe"

    WriteUninstaller "$INSTDIR\uninstall.exe"
    WriteRegStr HKLM "${UNINSTALL_KEY}" "DisplayName" "${APP}"
    WriteRegStr HKLM "${UNINSTALL_KEY}" "DisplayVersion" "${VERSION}"
    WriteRegStr HKLM "${UNINSTALL_KEY}" "Publisher" "Orvendal developers"
    WriteRegStr HKLM "${UNINSTALL_KEY}" "InstallLocation" "$INSTDIR"
    WriteRegStr HKLM "${UNINSTALL_KEY}" "UninstallString" '"$INSTDIR\uninstall.exe"'
    WriteRegStr HKLM "${UNINSTALL_KEY}" "QuietUninstallString" '"$INSTDIR\uninstall.exe" /S'
    WriteRegDWORD HKLM "${UNINSTALL_KEY}" "NoModify" 1
    WriteRegDWORD HKLM "${UNINSTALL_KEY}" "NoRepair" 1
SectionEnd

; Removes only what the installer put there: a station file or a data file that someone placed
; in the folder stays, and so does the folder then.
Section "Uninstall"
    SetShellVarContext all
    Delete "$INSTDIR\orvendal.exe"
    Delete "$INSTDIR\stationctl.exe"
    Delete "$INSTDIR\README.md"
    Delete "$INSTDIR\user-guide.md"
    Delete "$INSTDIR\windows.md"
    Delete "$INSTDIR\licences\*.txt"
    RMDir "$INSTDIR\licences"
    Delete "$INSTDIR\uninstall.exe"
    RMDir "$INSTDIR"
    Delete "$SMPROGRAMS\${APP}\*.lnk"
    RMDir "$SMPROGRAMS\${APP}"
    DeleteRegKey HKLM "${UNINSTALL_KEY}"
SectionEnd
