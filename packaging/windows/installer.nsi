; The Windows installer, made by scripts/build-windows.sh:
;   makensis -DVERSION=V -DSTAGE=DIR -DOUTFILE=FILE -DREMOVAL=NSH [-DWITH_MONITOR] installer.nsi
; STAGE holds what the zip holds; REMOVAL lists its files and folders for the uninstaller. Installs
; for every user into Program Files, adds the Start menu entries and an uninstaller listed under
; Apps & features. It asks for the station file that the Start menu entry watches; a silent
; install takes it as /STATIONFILE=PATH, and without it the entry watches MARLOVEN.SIT beside
; the program. Its service page installs stationctl's watcher as the Windows service Orvendal on
; that station file; a silent install does so given /SERVICE=1, with the journal of /JOURNAL=PATH
; or the default one, and starts it. The uninstaller removes the service and keeps its journal.
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
Var Service
Var ServiceField
Var Journal
Var JournalField
Var StartService
Var StartField

Page directory
Page custom stationFilePage stationFilePageLeave
Page custom servicePage servicePageLeave
Page instfiles
UninstPage uninstConfirm
UninstPage instfiles

Function .onInit
    SetShellVarContext all
    StrCpy $Service 0
    StrCpy $StartService 1
    ; With the context of all users, $APPDATA is %ProgramData%.
    StrCpy $Journal "$APPDATA\${APP}\journal.db"
    ${GetParameters} $0
    ; /STATIONFILE="PATH" or "/STATIONFILE=PATH", as shells quote a path with blanks.
    ${WordReplace} $0 '"/STATIONFILE=' '/STATIONFILE="' "+" $0
    ${WordReplace} $0 '"/JOURNAL=' '/JOURNAL="' "+" $0
    ClearErrors
    ${GetOptions} $0 "/STATIONFILE=" $StationFile
    ClearErrors
    ${GetOptions} $0 "/JOURNAL=" $1
    ${IfNot} ${Errors}
        StrCpy $Journal $1
    ${EndIf}
    ClearErrors
    ${GetOptions} $0 "/SERVICE=" $1
    ${If} $1 == 1
        StrCpy $Service 1
    ${EndIf}
    ; Refused before anything is installed; the page checks the same when it is left.
    ${If} ${Silent}
    ${AndIf} $Service == 1
        Call checkServiceChoice
        Pop $0
        ${If} $0 != ""
            SetErrorLevel 2
            Abort
        ${EndIf}
    ${EndIf}
FunctionEnd

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

Function servicePage
    nsDialogs::Create 1018
    Pop $0
    ${NSD_CreateCheckbox} 0 0 100% 12u "Instalar el vigilante como servicio de Windows"
    Pop $ServiceField
    ${NSD_OnClick} $ServiceField serviceToggled
    StrCpy $1 "El servicio Orvendal arranca con Windows y anota en el diario de sesiones qué "
    StrCpy $1 "$1puestos se conectan al fichero de estaciones, aunque nadie tenga abierta la "
    StrCpy $1 "$1ventana. Vigila un fichero de este equipo con la cuenta LocalService. Un fichero "
    StrCpy $1 "$1de un servidor necesita una cuenta que el servidor admita: instale entonces el "
    StrCpy $1 "$1servicio desde el Símbolo del sistema con «stationctl service install FICHERO "
    StrCpy $1 "$1--account DOMINIO\USUARIO» (véase docs\windows.md)."
    ${NSD_CreateLabel} 0 16u 100% 54u "$1"
    Pop $0
    ${NSD_CreateLabel} 0 74u 100% 10u "Diario de sesiones:"
    Pop $0
    ${NSD_CreateText} 0 86u 100% 13u "$Journal"
    Pop $JournalField
    ${NSD_CreateCheckbox} 0 106u 100% 12u "Arrancar el servicio ahora"
    Pop $StartField
    ${If} $Service == 1
        ${NSD_Check} $ServiceField
    ${EndIf}
    ${If} $StartService == 1
        ${NSD_Check} $StartField
    ${EndIf}
    Push $ServiceField
    Call serviceToggled
    nsDialogs::Show
FunctionEnd

; The journal and the start matter only with the service.
Function serviceToggled
    Pop $0
    ${NSD_GetState} $ServiceField $0
    ${If} $0 == ${BST_CHECKED}
        EnableWindow $JournalField 1
        EnableWindow $StartField 1
    ${Else}
        EnableWindow $JournalField 0
        EnableWindow $StartField 0
    ${EndIf}
FunctionEnd

Function servicePageLeave
    StrCpy $Service 0
    ${NSD_GetState} $ServiceField $0
    ${If} $0 == ${BST_CHECKED}
        StrCpy $Service 1
    ${EndIf}
    StrCpy $StartService 0
    ${NSD_GetState} $StartField $0
    ${If} $0 == ${BST_CHECKED}
        StrCpy $StartService 1
    ${EndIf}
    ${NSD_GetText} $JournalField $Journal
    ${If} $Service == 1
        Call checkServiceChoice
        Pop $0
        ${If} $0 != ""
            MessageBox MB_ICONEXCLAMATION|MB_OK "$0"
            Abort
        ${EndIf}
    ${EndIf}
FunctionEnd

; Pushes why the service cannot be installed as chosen, or "" when it can.
Function checkServiceChoice
    ${If} $StationFile == ""
        Push "El servicio necesita el fichero de estaciones que vigilará: escríbalo en la página del fichero de estaciones, o con /STATIONFILE=RUTA."
        Return
    ${EndIf}
    StrCpy $R0 $StationFile
    StrCpy $R1 "El fichero de estaciones"
    Call checkServicePath
    ${If} $R2 != ""
        Push $R2
        Return
    ${EndIf}
    StrCpy $R0 $Journal
    StrCpy $R1 "El diario de sesiones"
    Call checkServicePath
    ${If} $R2 != ""
        Push $R2
        Return
    ${EndIf}
    ${If} $Journal != "$APPDATA\${APP}\journal.db"
        ${GetParent} $Journal $R0
        ${IfNot} ${FileExists} "$R0\*.*"
            Push "La carpeta del diario de sesiones no existe: $R0"
            Return
        ${EndIf}
    ${EndIf}
    Push ""
FunctionEnd

; Sets $R2 to why the path $R0 (named $R1) cannot go on the service's command line, or "".
; It goes there between quotes: a quote would end it early and a backslash before the closing
; one would escape it; the SCM expands %NAME%; a relative path would be taken from the
; installer's folder.
Function checkServicePath
    StrCpy $R2 ""
    StrCpy $R3 0
    ${Do}
        StrCpy $R4 $R0 1 $R3
        ${If} $R4 == ""
            ${Break}
        ${ElseIf} $R4 == '"'
        ${OrIf} $R4 == "%"
            StrCpy $R2 "$R1 no puede llevar comillas ($\") ni el signo %: $R0"
            Return
        ${EndIf}
        IntOp $R3 $R3 + 1
    ${Loop}
    StrCpy $R4 $R0 1 -1
    StrCpy $R5 $R0 2 1
    StrCpy $R6 $R0 2
    ${If} $R4 == "\"
        StrCpy $R2 "$R1 ha de ser un fichero, no una carpeta: $R0"
    ${ElseIf} $R5 != ":\"
    ${AndIf} $R6 != "\\"
        StrCpy $R2 "$R1 necesita la ruta completa (C:\... o \\servidor\recurso\...): $R0"
    ${EndIf}
FunctionEnd

; nsExec reads a program's output in the ANSI code page, stationctl writes UTF-8: the text goes
; back to its bytes and is read again as UTF-8. Takes and leaves the text on the stack.
!macro FROM_UTF8 PREFIX
Function ${PREFIX}fromUtf8
    Exch $0
    Push $1
    Push $2
    System::Call 'kernel32::MultiByteToWideChar(i 65001, i 0, m r0, i -1, w .r1, i ${NSIS_MAX_STRLEN}) i .r2'
    ${If} $2 > 0
        StrCpy $0 $1
    ${EndIf}
    Pop $2
    Pop $1
    Exch $0
FunctionEnd
!macroend
!insertmacro FROM_UTF8 ""
!insertmacro FROM_UTF8 "un."

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

    ${If} $Service == 1
        DetailPrint "Instalando el servicio Orvendal…"
        ${If} $Journal == "$APPDATA\${APP}\journal.db"
            ; The default journal's folder is made by stationctl itself, with a DACL that
            ; admits only the administrators, SYSTEM and the service.
            nsExec::ExecToStack '"$INSTDIR\stationctl.exe" service install "$StationFile"'
        ${Else}
            nsExec::ExecToStack '"$INSTDIR\stationctl.exe" service install "$StationFile" --journal "$Journal"'
        ${EndIf}
        Pop $0
        Call fromUtf8
        Pop $1
        DetailPrint "$1"
        ${If} $0 != 0
            MessageBox MB_ICONSTOP|MB_OK "No se pudo instalar el servicio Orvendal (código $0):$\r$\n$\r$\n$1" /SD IDOK
            Abort "No se pudo instalar el servicio Orvendal (código $0)."
        ${EndIf}
        ${If} $StartService == 1
            DetailPrint "Arrancando el servicio Orvendal…"
            nsExec::ExecToStack /OEM '"$SYSDIR\net.exe" start ${APP}'
            Pop $0
            Pop $1
            DetailPrint "$1"
            ${If} $0 != 0
                MessageBox MB_ICONSTOP|MB_OK "El servicio Orvendal está instalado, pero no arrancó (código $0):$\r$\n$\r$\n$1$\r$\nArránquelo con «net start Orvendal» cuando lo haya corregido." /SD IDOK
                Abort "El servicio Orvendal no arrancó (código $0)."
            ${EndIf}
        ${EndIf}
    ${EndIf}
SectionEnd

; Removes only what the installer put there: a station file or a data file that someone placed
; in the folder stays, and so does the folder then.
Section "Uninstall"
    SetShellVarContext all
    ; The service runs stationctl.exe from this folder: it is stopped and removed first. Its
    ; journal stays, and the uninstaller says where, as stationctl does.
    StrCpy $2 ""
    ${If} ${FileExists} "$INSTDIR\stationctl.exe"
        nsExec::ExecToStack '"$INSTDIR\stationctl.exe" service status'
        Pop $0
        Pop $1
        ${If} $0 != 4
            DetailPrint "Quitando el servicio Orvendal…"
            nsExec::ExecToStack '"$INSTDIR\stationctl.exe" service remove'
            Pop $0
            Call un.fromUtf8
            Pop $1
            ${If} $0 != 0
                MessageBox MB_ICONSTOP|MB_OK "No se pudo quitar el servicio Orvendal (código $0):$\r$\n$\r$\n$1" /SD IDOK
                Abort "No se pudo quitar el servicio Orvendal (código $0)."
            ${EndIf}
            ClearErrors
            ${WordFind} "$1" "Su diario se conserva: " "E+1}" $2
            ${If} ${Errors}
                StrCpy $2 "El diario de sesiones se conserva."
            ${Else}
                ${Do}
                    StrCpy $3 $2 1 -1
                    ${If} $3 != "$\r"
                    ${AndIf} $3 != "$\n"
                        ${Break}
                    ${EndIf}
                    StrCpy $2 $2 -1
                ${Loop}
                StrCpy $2 "El diario de sesiones se conserva en $2."
            ${EndIf}
            DetailPrint "Servicio Orvendal quitado. $2"
        ${EndIf}
    ${EndIf}
!include "${REMOVAL}"
    Delete "$INSTDIR\uninstall.exe"
    RMDir "$INSTDIR"
    Delete "$SMPROGRAMS\${APP}\*.lnk"
    RMDir "$SMPROGRAMS\${APP}"
    DeleteRegKey HKLM "${UNINSTALL_KEY}"
    ${If} $2 != ""
        MessageBox MB_ICONINFORMATION|MB_OK "$2" /SD IDOK
    ${EndIf}
SectionEnd
