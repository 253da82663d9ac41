; The Windows installer, made by scripts/build-windows.sh:
;   makensis -DVERSION=V -DSTAGE=DIR -DOUTFILE=FILE -DREMOVAL=NSH [-DWITH_MONITOR] windows-installer.nsi
; STAGE holds what the zip holds; REMOVAL lists its files and folders for the uninstaller. Installs
; for every user into Program Files, adds the Start menu entries and an uninstaller listed under
; Apps & features. It asks for the station file that the Start menu entry watches; a silent
; install takes it as /STATIONFILE=PATH, and without it the entry watches MARLOVEN.SIT beside
; the program.
; A 64-bit installer for 64-bit programs (and for a Wine without 32-bit support).
Target amd64-unicode
SetCompressor /SOLID lzma

!include FileFunc.nsh
!include LogicLib.nsh
!include nsDialogs.nsh
!include WordFunc.nsh

!define APP "Orvendal"
!define UNINSTALL_KEY "Software\Microsoft\Windows\CurrentVersion\Uninstall\Orvendal"

Name "${APP} ${VERSION}"
OutFile "${OUTFILE}"
InstallDir "$PROGRAMFILES64\${APP}"
InstallDirRegKey HKLM "${UNINSTALL_KEY}" "InstallLocation"
RequestExecutionLevel admin
ShowInstDetails show
; The program speaks Spanish; so do the installer's own pages.
LoadLanguageFile "${NSISDIR}\Contrib\Language files\Spanish.nlf"

Var StationFile
Var StationFileField

Page directory
!ifdef WITH_MONITOR
Page custom stationFilePage stationFilePageLeave
!endif
Page instfiles
UninstPage uninstConfirm
UninstPage instfiles

Function .onInit
    ${GetParameters} $0
    ; /STATIONFILE="PATH" or "/STATIONFILE=PATH", as shells quote a path with blanks.
    ${WordReplace} $0 '"/STATIONFILE=' '/STATIONFILE="' "+" $0
    ClearErrors
    ${GetOptions} $0 "/STATIONFILE=" $StationFile
FunctionEnd

!ifdef WITH_MONITOR
; Program Files is no place for the station file, which ordinary users may not create there:
; the workstations' shared file is what the monitor is for.
Function stationFilePage
    nsDialogs::Create 1018
    Pop $0
    StrCpy $1 "El fichero de estaciones que vigilará Orvendal: el MARLOVEN.SIT compartido de la "
    StrCpy $1 "$1aplicación, normalmente con la ruta UNC de su servidor, por ejemplo:$\r$\n"
    StrCpy $1 "$1\\servidor\aplicacion\MARLOVEN.SIT$\r$\n$\r$\nEn blanco, Orvendal vigila "
    StrCpy $1 "$1MARLOVEN.SIT en su propia carpeta, que un usuario sin permisos de administrador "
    StrCpy $1 "$1no puede crear."
    ${NSD_CreateLabel} 0 0 100% 64u "$1"
    Pop $0
    ${NSD_CreateText} 0 70u 80% 13u "$StationFile"
    Pop $StationFileField
    ${NSD_CreateBrowseButton} 82% 69u 18% 15u "Examinar..."
    Pop $0
    ${NSD_OnClick} $0 browseStationFile
    nsDialogs::Show
FunctionEnd

Function browseStationFile
    ${NSD_GetText} $StationFileField $0
    nsDialogs::SelectFileDialog open "$0" "MARLOVEN.SIT|MARLOVEN.SIT|*.*|*.*"
    Pop $0
    ${If} $0 != ""
        ${NSD_SetText} $StationFileField $0
    ${EndIf}
FunctionEnd

; Explorer's "Copy as path" gives the path in quotes: they are not part of it.
Function stationFilePageLeave
    ${NSD_GetText} $StationFileField $StationFile
    StrCpy $0 $StationFile 1
    ${If} $0 == '"'
        StrCpy $StationFile $StationFile "" 1
        StrCpy $0 $StationFile 1 -1
        ${If} $0 == '"'
            StrCpy $StationFile $StationFile -1
        ${EndIf}
    ${EndIf}
FunctionEnd
!endif

Section "Orvendal"
    SetShellVarContext all
    SetOutPath "$INSTDIR"
    File /r "${STAGE}\*.*"
    CreateDirectory "$SMPROGRAMS\${APP}"
!ifdef WITH_MONITOR
    ${If} $StationFile == ""
        CreateShortcut "$SMPROGRAMS\${APP}\${APP}.lnk" "$INSTDIR\orvendal.exe"
    ${Else}
        ; Started in the station file's folder, as a copy of the program beside the file is:
        ; the " LOCK" marker out.vrl is looked for in the current folder. Only the shortcut's
        ; folder is set here; nothing is created there.
        ${GetParent} "$StationFile" $0
        StrCpy $OUTDIR $0
        CreateShortcut "$SMPROGRAMS\${APP}\${APP}.lnk" "$INSTDIR\orvendal.exe" '"$StationFile"'
        SetOutPath "$INSTDIR"
    ${EndIf}
    WriteRegStr HKLM "${UNINSTALL_KEY}" "DisplayIcon" '"$INSTDIR\orvendal.exe",0'
!endif
    CreateShortcut "$SMPROGRAMS\${APP}\Guía del usuario.lnk" "$WINDIR\notepad.exe" \
        '"$INSTDIR\docs\user-guide.md"'
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
!include "${REMOVAL}"
    Delete "$INSTDIR\uninstall.exe"
    RMDir "$INSTDIR"
    Delete "$SMPROGRAMS\${APP}\*.lnk"
    RMDir "$SMPROGRAMS\${APP}"
    DeleteRegKey HKLM "${UNINSTALL_KEY}"
SectionEnd
