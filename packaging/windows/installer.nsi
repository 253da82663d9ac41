; The Windows installer, made by scripts/build-windows.sh:
;   makensis -DVERSION=V -DSTAGE=DIR -DOUTFILE=FILE -DREMOVAL=NSH [-DWITH_MONITOR] installer.nsi
; STAGE holds what the zip holds; REMOVAL lists its files and folders for the uninstaller. Installs
; for every user into Program Files, on the system's Path, with the Start menu entries and an
; uninstaller listed under Apps & features. It asks for the station file that the Start menu entry
; watches (/STATIONFILE=PATH), and offers stationctl's watcher as the Windows service Orvendal on
; that file (/SERVICE=1, /JOURNAL=PATH, /ACCOUNT=DOMAIN\USER), started at once.
; Over an installed Orvendal it upgrades in place: the choices made last time are kept unless
; changed (they are recorded under HKLM\Software\Orvendal; 0.1.0 recorded none, so they are read
; back from its service's command line and its Start menu entry), the watcher services are
; stopped, the programs replaced, and the services run the new stationctl.exe and start again.
; An older version over a newer one is refused. Whatever fails leaves nothing installed, or the
; old version as it was, and is written to %TEMP%\orvendal-install.log; silently, exit status 2.
; The uninstaller removes every watcher service and keeps their journals.
; A 64-bit installer for 64-bit programs (and for a Wine without 32-bit support).
Target amd64-unicode
SetCompressor /SOLID lzma

!include FileFunc.nsh
!include LogicLib.nsh
!include nsDialogs.nsh
!include WinMessages.nsh
!include WordFunc.nsh

!define APP "Orvendal"
!define UNINSTALL_KEY "Software\Microsoft\Windows\CurrentVersion\Uninstall\Orvendal"
; The choices of the last install, read back by the next one.
!define CHOICES_KEY "Software\Orvendal"
!define SERVICE_KEY "SYSTEM\CurrentControlSet\Services\Orvendal"
!define ENVIRONMENT_KEY "SYSTEM\CurrentControlSet\Control\Session Manager\Environment"
; The account's own temporary folder: nobody else may plant a link there, and it exists before
; anything is installed, so a failed install leaves no folder of ours behind.
!define LOG "$TEMP\orvendal-install.log"
; HKEY_LOCAL_MACHINE as a 64-bit handle: (HKEY)(LONG)0x80000002, sign-extended.
!define HKLM_HANDLE -2147483646

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
Var Account
Var AccountField
Var Password
Var PasswordField
Var StartService
Var StartField
; The version installed before, and its service's settings; empty on a first install.
Var Previous
Var OldService
Var OldStationFile
Var OldJournal
Var OldAccount
; What the install has done so far, for the way back when a later step fails.
Var Stopped
Var Backup
Var InstalledService
Var InUse

Page directory skipUpgrade
Page custom stationFilePage stationFilePageLeave
Page custom servicePage servicePageLeave
Page instfiles
UninstPage uninstConfirm
UninstPage instfiles

; Appends the line on the stack to the log, with the time, in UTF-16 as Notepad reads it.
!macro LOG_FUNCTION PREFIX
Function ${PREFIX}log
    Exch $0
    Push $1
    Push $2
    Push $3
    Push $4
    Push $5
    Push $6
    Push $7
    ${GetTime} "" "L" $2 $3 $4 $5 $6 $7 $1
    ClearErrors
    FileOpen $1 "${LOG}" a
    ${IfNot} ${Errors}
        FileSeek $1 0 END
        FileWriteUTF16LE /BOM $1 "$4-$3-$2 $6:$7 ${APP} ${VERSION}: $0$\r$\n"
        FileClose $1
    ${EndIf}
    Pop $7
    Pop $6
    Pop $5
    Pop $4
    Pop $3
    Pop $2
    Pop $1
    Pop $0
FunctionEnd
!macroend
!insertmacro LOG_FUNCTION ""
!insertmacro LOG_FUNCTION "un."

; Adds $INSTDIR to the system's Path ($R9 = 1) or takes it out ($R9 = 0). The Path is read,
; edited and written in memory: it may be longer than NSIS's strings, which would cut it.
!macro PATH_FUNCTION PREFIX
Function ${PREFIX}editPath
    System::Call 'advapi32::RegOpenKeyExW(p ${HKLM_HANDLE}, w "${ENVIRONMENT_KEY}", i 0, i 0x2001F, *p .r1) i .r0'
    ${If} $0 != 0
        Push "no se pudo abrir la clave del Path del sistema (código $0)"
        Call ${PREFIX}log
        Return
    ${EndIf}
    ; ";" before and after, so that every entry is found as ";ENTRY;".
    System::Alloc 65600
    Pop $2
    System::Call 'kernel32::lstrcpyW(p r2, w ";")'
    IntPtrOp $3 $2 + 2
    System::Call 'advapi32::RegQueryValueExW(p r1, w "Path", p 0, *i .r4, p r3, *i 65536) i .r0'
    ${If} $0 != 0
        StrCpy $4 2
        System::Call 'kernel32::lstrcpyW(p r3, w "")'
    ${EndIf}
    System::Call 'kernel32::lstrcatW(p r2, w ";")'
    StrLen $5 "$INSTDIR"
    IntOp $5 $5 + 1
    IntOp $5 $5 * 2
    StrCpy $6 0
    ${Do}
        System::Call 'shlwapi::StrStrIW(p r2, w ";$INSTDIR;") p .r7'
        ${If} $7 == 0
            ${Break}
        ${EndIf}
        ${If} $R9 == 1
            StrCpy $6 1
            ${Break}
        ${EndIf}
        ; The tail, from the ";" after the entry, moved over it.
        IntPtrOp $8 $7 + $5
        System::Call 'kernel32::lstrlenW(p r8) i .r9'
        IntOp $9 $9 + 1
        IntOp $9 $9 * 2
        System::Call 'kernel32::RtlMoveMemory(p r7, p r8, i r9)'
    ${Loop}
    ${If} $6 == 0
        ${If} $R9 == 1
            System::Call 'kernel32::lstrcatW(p r2, w "$INSTDIR;")'
        ${EndIf}
        ; Without the closing ";".
        System::Call 'kernel32::lstrlenW(p r3) i .r9'
        ${If} $9 > 0
            IntOp $8 $9 - 1
            IntOp $8 $8 * 2
            IntPtrOp $8 $3 + $8
            System::Call '*$8(&i2 0)'
            IntOp $9 $9 - 1
        ${EndIf}
        IntOp $9 $9 + 1
        IntOp $9 $9 * 2
        System::Call 'advapi32::RegSetValueExW(p r1, w "Path", i 0, i r4, p r3, i r9) i .r0'
        ${If} $0 != 0
            Push "no se pudo escribir el Path del sistema (código $0)"
            Call ${PREFIX}log
        ${EndIf}
        ; New Command Prompts, and Explorer, read the changed Path.
        SendMessage ${HWND_BROADCAST} ${WM_SETTINGCHANGE} 0 "STR:Environment" /TIMEOUT=5000
    ${EndIf}
    System::Free $2
    System::Call 'advapi32::RegCloseKey(p r1)'
FunctionEnd
!macroend
!insertmacro PATH_FUNCTION ""
!insertmacro PATH_FUNCTION "un."

; The arguments of the shortcut $0, in $1: the station file that 0.1.0's Start menu entry watches.
Function shortcutArguments
    StrCpy $1 ""
    System::Call 'ole32::CoCreateInstance(g "{00021401-0000-0000-C000-000000000046}", p 0, i 1, g "{000214F9-0000-0000-C000-000000000046}", *p .r2) i .r3'
    ${If} $3 != 0
        Return
    ${EndIf}
    ; IShellLinkW's IPersistFile::Load, then IShellLinkW::GetArguments.
    System::Call '$2->0(g "{0000010b-0000-0000-C000-000000000046}", *p .r4) i .r3'
    ${If} $3 == 0
        System::Call '$4->5(w r0, i 0) i .r3'
        ${If} $3 == 0
            System::Call '$2->10(w .r1, i ${NSIS_MAX_STRLEN})'
        ${EndIf}
        System::Call '$4->2()'
    ${EndIf}
    System::Call '$2->2()'
FunctionEnd

; The service Orvendal's station file and journal, from its command line $0
; ("PROGRAM" service run FILE --journal DB ...), as CommandLineToArgvW splits it: in $OldStationFile
; and $OldJournal.
Function readServiceCommandLine
    System::Call 'shell32::CommandLineToArgvW(w r0, *i .r2) p .r3'
    ${If} $3 == 0
        Return
    ${EndIf}
    StrCpy $5 ""
    StrCpy $6 0
    ${DoWhile} $6 < $2
        IntOp $7 $6 * 8
        IntPtrOp $7 $3 + $7
        System::Call '*$7(p .r8)'
        System::Call 'kernel32::lstrcpynW(w .r9, p r8, i ${NSIS_MAX_STRLEN})'
        ${If} $5 == "--journal"
            StrCpy $OldJournal $9
        ${ElseIf} $6 == 3
            StrCpy $OldStationFile $9
        ${EndIf}
        StrCpy $5 $9
        IntOp $6 $6 + 1
    ${Loop}
    System::Call 'kernel32::LocalFree(p r3)'
FunctionEnd

; The choices of the install before this one.
Function readPreviousChoices
    ReadRegStr $0 HKLM "${SERVICE_KEY}" "ImagePath"
    ${If} $0 != ""
        StrCpy $OldService 1
        Call readServiceCommandLine
        ReadRegStr $OldAccount HKLM "${SERVICE_KEY}" "ObjectName"
        ${If} $OldAccount == "NT AUTHORITY\LocalService"
            StrCpy $OldAccount ""
        ${EndIf}
    ${EndIf}
    ClearErrors
    ReadRegDWORD $Service HKLM "${CHOICES_KEY}" "Service"
    ${If} ${Errors}
        ; 0.1.0 recorded nothing: its service, or its Start menu entry, says what it was given.
        StrCpy $Service $OldService
        StrCpy $StationFile $OldStationFile
        ${If} $StationFile == ""
            StrCpy $0 "$SMPROGRAMS\${APP}\${APP}.lnk"
            Call shortcutArguments
            StrCpy $StationFile $1
            Call stripQuotes
        ${EndIf}
        ${If} $OldJournal != ""
            StrCpy $Journal $OldJournal
        ${EndIf}
        StrCpy $Account $OldAccount
    ${Else}
        ReadRegStr $StationFile HKLM "${CHOICES_KEY}" "StationFile"
        ReadRegStr $0 HKLM "${CHOICES_KEY}" "Journal"
        ${If} $0 != ""
            StrCpy $Journal $0
        ${EndIf}
        ReadRegStr $Account HKLM "${CHOICES_KEY}" "Account"
    ${EndIf}
FunctionEnd

; Explorer's "Copy as path" gives the path in quotes, and so does a shortcut: they are not part
; of it.
Function stripQuotes
    StrCpy $0 $StationFile 1
    ${If} $0 == '"'
        StrCpy $StationFile $StationFile "" 1
        StrCpy $0 $StationFile 1 -1
        ${If} $0 == '"'
            StrCpy $StationFile $StationFile -1
        ${EndIf}
    ${EndIf}
FunctionEnd

; Tells the failure on the stack, logs it, undoes what was done, and stops with exit status 2.
Function fail
    Exch $0
    DetailPrint "$0"
    Push $0
    Call log
    MessageBox MB_ICONSTOP|MB_OK "$0" /SD IDOK
    Call rollBack
    SetErrorLevel 2
    Abort "$0"
FunctionEnd

Function .onInit
    SetShellVarContext all
    StrCpy $Service 0
    StrCpy $StartService 1
    ; With the context of all users, $APPDATA is %ProgramData%.
    StrCpy $Journal "$APPDATA\${APP}\journal.db"
    ReadRegStr $Previous HKLM "${UNINSTALL_KEY}" "DisplayVersion"
    ${If} $Previous != ""
        ${VersionCompare} "${VERSION}" "$Previous" $0
        ${If} $0 == 2
            StrCpy $0 "Orvendal $Previous está instalado, y es más nuevo que esta versión ${VERSION}: no se instala una versión anterior sobre una posterior. Desinstale $Previous antes si quiere volver a ${VERSION}."
            Push $0
            Call log
            MessageBox MB_ICONSTOP|MB_OK "$0" /SD IDOK
            SetErrorLevel 2
            Quit
        ${EndIf}
        Call readPreviousChoices
    ${EndIf}
    ${GetParameters} $0
    ; /STATIONFILE="PATH" or "/STATIONFILE=PATH", as shells quote a path with blanks.
    ${WordReplace} $0 '"/STATIONFILE=' '/STATIONFILE="' "+" $0
    ${WordReplace} $0 '"/JOURNAL=' '/JOURNAL="' "+" $0
    ${WordReplace} $0 '"/ACCOUNT=' '/ACCOUNT="' "+" $0
    ClearErrors
    ${GetOptions} $0 "/STATIONFILE=" $1
    ${IfNot} ${Errors}
        StrCpy $StationFile $1
    ${EndIf}
    ClearErrors
    ${GetOptions} $0 "/JOURNAL=" $1
    ${IfNot} ${Errors}
        StrCpy $Journal $1
    ${EndIf}
    ClearErrors
    ${GetOptions} $0 "/ACCOUNT=" $1
    ${IfNot} ${Errors}
        StrCpy $Account $1
    ${EndIf}
    ClearErrors
    ${GetOptions} $0 "/SERVICE=" $1
    ${IfNot} ${Errors}
        StrCpy $Service 0
        ${If} $1 == 1
            StrCpy $Service 1
        ${EndIf}
    ${EndIf}
    ; Refused before anything is installed; the pages check the same when they are left.
    ${If} ${Silent}
        Call checkChoices
        Pop $0
        ${If} $0 != ""
            Push $0
            Call log
            SetErrorLevel 2
            Quit
        ${EndIf}
    ${EndIf}
FunctionEnd

; An upgrade stays where the version it replaces is.
Function skipUpgrade
    ${If} $Previous != ""
        Abort
    ${EndIf}
FunctionEnd

; Program Files is no place for the station file, which ordinary users may not create there:
; the workstations' shared file is what the monitor is for.
Function stationFilePage
    nsDialogs::Create 1018
    Pop $0
    StrCpy $1 ""
    ${If} $Previous != ""
        StrCpy $1 "Orvendal $Previous está instalado en $INSTDIR: se actualiza a ${VERSION}, con las opciones que se eligieron entonces.$\r$\n$\r$\n"
    ${EndIf}
    StrCpy $1 "$1El fichero de estaciones que vigilará Orvendal: el MARLOVEN.SIT compartido de la "
    StrCpy $1 "$1aplicación, normalmente con la ruta UNC de su servidor, por ejemplo "
    StrCpy $1 "$1\\servidor\aplicacion\MARLOVEN.SIT. En blanco, Orvendal vigila "
    StrCpy $1 "$1MARLOVEN.SIT en su propia carpeta, que un usuario sin permisos de administrador "
    StrCpy $1 "$1no puede crear."
    ${NSD_CreateLabel} 0 0 100% 72u "$1"
    Pop $0
    ${NSD_CreateText} 0 78u 80% 13u "$StationFile"
    Pop $StationFileField
    ${NSD_CreateBrowseButton} 82% 77u 18% 15u "Examinar..."
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

Function stationFilePageLeave
    ${NSD_GetText} $StationFileField $StationFile
    Call stripQuotes
    Call checkStationFile
    Pop $0
    ${If} $0 != ""
        MessageBox MB_ICONEXCLAMATION|MB_OK "$0"
        Abort
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
    StrCpy $1 "$1ventana. En blanco, la cuenta es LocalService, que lee un fichero de este "
    StrCpy $1 "$1equipo; un fichero de un servidor necesita una cuenta que el servidor admita "
    StrCpy $1 "$1(DOMINIO\usuario, o DOMINIO\nombre$$ de una cuenta de servicio administrada, sin contraseña)."
    ${NSD_CreateLabel} 0 14u 100% 40u "$1"
    Pop $0
    ${NSD_CreateLabel} 0 56u 100% 10u "Diario de sesiones:"
    Pop $0
    ${NSD_CreateText} 0 67u 100% 13u "$Journal"
    Pop $JournalField
    ${NSD_CreateLabel} 0 84u 48% 10u "Cuenta:"
    Pop $0
    ${NSD_CreateText} 0 95u 48% 13u "$Account"
    Pop $AccountField
    ${NSD_CreateLabel} 52% 84u 48% 10u "Contraseña:"
    Pop $0
    ${NSD_CreatePassword} 52% 95u 48% 13u ""
    Pop $PasswordField
    ${NSD_CreateCheckbox} 0 114u 100% 12u "Arrancar el servicio ahora"
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

; The journal, the account and the start matter only with the service.
Function serviceToggled
    Pop $0
    ${NSD_GetState} $ServiceField $0
    StrCpy $1 0
    ${If} $0 == ${BST_CHECKED}
        StrCpy $1 1
    ${EndIf}
    EnableWindow $JournalField $1
    EnableWindow $AccountField $1
    EnableWindow $PasswordField $1
    EnableWindow $StartField $1
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
    ${NSD_GetText} $AccountField $Account
    ${NSD_GetText} $PasswordField $Password
    Call checkChoices
    Pop $0
    ${If} $0 != ""
        MessageBox MB_ICONEXCLAMATION|MB_OK "$0"
        Abort
    ${EndIf}
FunctionEnd

; Pushes why the station file cannot be watched, or "".
Function checkStationFile
    ${If} $StationFile != ""
    ${AndIf} ${FileExists} "$StationFile\*.*"
        Push "El fichero de estaciones es una carpeta: escriba la ruta del fichero (MARLOVEN.SIT), no la de su carpeta: $StationFile"
        Return
    ${EndIf}
    Push ""
FunctionEnd

; Whether the service must be installed anew: the choices differ from the service's own.
Function serviceChanged
    ${If} $StationFile != $OldStationFile
    ${OrIf} $Journal != $OldJournal
    ${OrIf} $Account != $OldAccount
        Push 1
    ${Else}
        Push 0
    ${EndIf}
FunctionEnd

; Whether the account $Account signs in without a password: LocalService (empty), the built-in
; ones, or a group-managed service account (DOMAIN\name$).
Function accountNeedsPassword
    StrCpy $0 $Account 1 -1
    ${If} $Account == ""
    ${OrIf} $0 == "$$"
    ${OrIf} $Account == "NT AUTHORITY\LocalService"
    ${OrIf} $Account == "NT AUTHORITY\NetworkService"
    ${OrIf} $Account == "LocalSystem"
        Push 0
    ${Else}
        Push 1
    ${EndIf}
FunctionEnd

; Pushes why the choices cannot be installed, or "" when they can.
Function checkChoices
    Call checkStationFile
    Pop $0
    ${If} $0 != ""
        Push $0
        Return
    ${EndIf}
    ${If} $Service != 1
        Push ""
        Return
    ${EndIf}
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
    StrCpy $0 $StationFile 2
    ${If} $0 == "\\"
    ${AndIf} $Account == ""
        Push "Un fichero de un servidor necesita una cuenta que el servidor admita para el servicio: DOMINIO\usuario, o DOMINIO\nombre$$ de una cuenta de servicio administrada (con /ACCOUNT=CUENTA en una instalación silenciosa)."
        Return
    ${EndIf}
    ; A service kept as it is keeps its password; a new one needs it, which only the page asks.
    Call serviceChanged
    Pop $1
    Call accountNeedsPassword
    Pop $0
    ${If} $0 == 1
    ${AndIf} $Password == ""
    ${AndIf} $1 == 1
        Push "La cuenta $Account necesita su contraseña, que se escribe en la página del servicio y nunca en la línea de órdenes: instale sin /S, use una cuenta de servicio administrada (DOMINIO\nombre$$), o instale el servicio después con «stationctl service install»."
        Return
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

; Runs $R0 (a command line) with $R1 and a line end on its standard input, through a pipe that
; only the installer and the program hold: a password so handed over reaches no command line,
; registry value or log. Leaves the exit status in $R2 and the output, UTF-8, in $R3.
Function runWithInput
    System::Call 'kernel32::CreatePipe(*p .r1, *p .r2, p 0, i 0) i .r0'
    System::Call 'kernel32::CreatePipe(*p .r3, *p .r4, p 0, i 0) i .r0'
    ; Only the child's ends are inherited.
    System::Call 'kernel32::SetHandleInformation(p r1, i 1, i 1)'
    System::Call 'kernel32::SetHandleInformation(p r4, i 1, i 1)'
    ; STARTUPINFOW of 104 bytes: dwFlags at 60 (STARTF_USESTDHANDLES | STARTF_USESHOWWINDOW),
    ; wShowWindow at 64 (SW_HIDE), the three handles from 80.
    System::Alloc 104
    Pop $5
    System::Call '*$5(i 104)'
    IntPtrOp $6 $5 + 60
    System::Call '*$6(i 0x101, &i2 0)'
    IntPtrOp $6 $5 + 80
    System::Call '*$6(p r1, p r4, p r4)'
    System::Alloc 24
    Pop $7
    System::Call 'kernel32::CreateProcessW(p 0, w R0, p 0, p 0, i 1, i 0x08000000, p 0, p 0, p r5, p r7) i .r0'
    System::Call 'kernel32::CloseHandle(p r1)'
    System::Call 'kernel32::CloseHandle(p r4)'
    StrCpy $R2 -1
    StrCpy $R3 ""
    System::Alloc 1100
    Pop $6
    ${If} $0 != 0
        System::Call '*$7(p .r8, p .r9)'
        System::Call 'kernel32::CloseHandle(p r9)'
        System::Call 'kernel32::WideCharToMultiByte(i 65001, i 0, w "$R1$\r$\n", i -1, p r6, i 1024, p 0, p 0) i .r0'
        ${If} $0 > 0
            IntOp $0 $0 - 1
            System::Call 'kernel32::WriteFile(p r2, p r6, i r0, *i .r1, p 0)'
        ${EndIf}
        System::Call 'ntdll::RtlZeroMemory(p r6, i 1100)'
        System::Call 'kernel32::CloseHandle(p r2)'
        ${Do}
            System::Call 'kernel32::ReadFile(p r3, p r6, i 1000, *i .r1, p 0) i .r0'
            ${If} $0 == 0
            ${OrIf} $1 == 0
                ${Break}
            ${EndIf}
            IntPtrOp $9 $6 + $1
            System::Call '*$9(&i1 0)'
            System::Call 'kernel32::MultiByteToWideChar(i 65001, i 0, p r6, i -1, w .r9, i ${NSIS_MAX_STRLEN}) i .r0'
            StrCpy $R3 "$R3$9"
        ${Loop}
        System::Call 'kernel32::WaitForSingleObject(p r8, i -1)'
        System::Call 'kernel32::GetExitCodeProcess(p r8, *i .R2)'
        System::Call 'kernel32::CloseHandle(p r8)'
    ${Else}
        System::Call 'kernel32::CloseHandle(p r2)'
        StrCpy $R3 "no se pudo ejecutar $R0"
    ${EndIf}
    System::Call 'kernel32::CloseHandle(p r3)'
    System::Free $5
    System::Free $6
    System::Free $7
FunctionEnd

; Runs stationctl.exe of the install folder with the arguments $0: exit status in $0, its
; output in $1, shown in the details.
Function stationctl
    nsExec::ExecToStack '"$INSTDIR\stationctl.exe" $0'
    Pop $0
    Call fromUtf8
    Pop $1
    DetailPrint "$1"
FunctionEnd

; Starts again, with whichever program is now in place, the services that the upgrade stopped
; ($Stopped: stationctl's lines "Servicio NAME detenido."). $R5 says whether a failure is fatal.
Function startStopped
    StrCpy $R6 1
    ${Do}
        ClearErrors
        ${WordFind} "$Stopped" "$\n" "E+$R6" $R7
        ${If} ${Errors}
            ${Break}
        ${EndIf}
        ${WordFind} "$R7" " " "+2" $R8
        ${If} $R5 == 1
            StrCpy $0 "service start"
            ${If} $R8 != "${APP}"
                StrCpy $R8 $R8 "" 9
                StrCpy $0 "service start --name $R8"
            ${EndIf}
            Call stationctl
            ${If} $0 != 0
                ${If} $Previous != ""
                    Push "El servicio no arrancó con la versión ${VERSION}; queda la versión $Previous como estaba.$\r$\n$\r$\n$1"
                ${Else}
                    Push "El servicio no arrancó, y no se instala nada.$\r$\n$\r$\n$1"
                ${EndIf}
                Call fail
            ${EndIf}
        ${Else}
            nsExec::ExecToStack /OEM '"$SYSDIR\net.exe" start "$R8"'
            Pop $0
            Pop $1
        ${EndIf}
        IntOp $R6 $R6 + 1
    ${Loop}
FunctionEnd

; Undoes what the install did before it failed: a first install leaves nothing, an upgrade
; leaves the version before it with its services running as they were.
Function rollBack
    ${If} $InstalledService == 1
        StrCpy $0 "service remove"
        Call stationctl
    ${EndIf}
!include "${REMOVAL}"
    ${If} $Backup == 1
        CopyFiles /SILENT "$PLUGINSDIR\previous\*.*" "$INSTDIR"
        StrCpy $R5 0
        Call startStopped
    ${Else}
        ; The installer's own current folder could not be removed.
        SetOutPath "$TEMP"
        RMDir "$INSTDIR"
    ${EndIf}
FunctionEnd

; Windows refuses to replace a program that runs (orvendal.exe open on a terminal server) but
; lets it be renamed: the running copy goes aside, deleted at the next restart, and its users
; get the new version when they next open it.
!macro MOVE_ASIDE FILE
    ${If} ${FileExists} "$INSTDIR\${FILE}"
        Delete "$INSTDIR\${FILE}"
        ${If} ${FileExists} "$INSTDIR\${FILE}"
            GetTempFileName $0 "$INSTDIR"
            Delete "$0"
            Rename "$INSTDIR\${FILE}" "$0"
            Delete /REBOOTOK "$0"
            StrCpy $InUse 1
        ${EndIf}
    ${EndIf}
!macroend

Section "Orvendal"
    SetShellVarContext all
    InitPluginsDir
    StrCpy $Backup 0
    StrCpy $InstalledService 0
    StrCpy $InUse 0
    StrCpy $Stopped ""
    ${If} $Previous != ""
        DetailPrint "Actualizando Orvendal $Previous a ${VERSION}…"
        ; The new stationctl stops every watcher service from its temporary copy, since the old
        ; one may not know them all; the old programs are kept for the way back.
        File "/oname=$PLUGINSDIR\stationctl.exe" "${STAGE}\stationctl.exe"
        nsExec::ExecToStack '"$PLUGINSDIR\stationctl.exe" service stop --all'
        Pop $0
        Call fromUtf8
        Pop $Stopped
        DetailPrint "$Stopped"
        ${If} $0 != 0
            Push "No se pudieron detener los servicios de Orvendal (código $0): $Stopped"
            StrCpy $Stopped ""
            Call fail
        ${EndIf}
        CreateDirectory "$PLUGINSDIR\previous"
        CopyFiles /SILENT "$INSTDIR\*.*" "$PLUGINSDIR\previous"
        StrCpy $Backup 1
    ${EndIf}
    !insertmacro MOVE_ASIDE "orvendal.exe"
    !insertmacro MOVE_ASIDE "stationctl.exe"
    SetOutPath "$INSTDIR"
    ClearErrors
    File /r "${STAGE}\*.*"
    ${If} ${Errors}
        Push "No se pudieron copiar los programas en $INSTDIR."
        Call fail
    ${EndIf}

    ; The service Orvendal: kept as it is when its choices are, with the new program; installed
    ; anew when they changed; removed when it is no longer wanted.
    Call serviceChanged
    Pop $R4
    ${If} $OldService == 1
        ${If} $Service == 1
        ${AndIf} $R4 == 0
            StrCpy $0 "service update"
            Call stationctl
            ${If} $0 != 0
                Push "No se pudo actualizar el servicio Orvendal (código $0):$\r$\n$\r$\n$1"
                Call fail
            ${EndIf}
        ${Else}
            StrCpy $0 "service remove"
            Call stationctl
            ${If} $0 != 0
                Push "No se pudo quitar el servicio Orvendal (código $0):$\r$\n$\r$\n$1"
                Call fail
            ${EndIf}
            ; Not started again as it was: it is gone, or a new one replaces it.
            ${WordReplace} "$Stopped" "Servicio ${APP} detenido." "" "+" $Stopped
        ${EndIf}
    ${EndIf}
    StrCpy $R3 0
    ${If} $Service == 1
        ${If} $OldService != 1
        ${OrIf} $R4 == 1
            StrCpy $R3 1
        ${EndIf}
    ${EndIf}
    ${If} $R3 == 1
        DetailPrint "Instalando el servicio Orvendal…"
        StrCpy $R0 '"$INSTDIR\stationctl.exe" service install "$StationFile"'
        ${If} $Journal != "$APPDATA\${APP}\journal.db"
            ; The default journal's folder is made by stationctl itself, with a DACL that
            ; admits only the administrators, SYSTEM and the service.
            StrCpy $R0 '$R0 --journal "$Journal"'
        ${EndIf}
        ${If} $Account != ""
            StrCpy $R0 '$R0 --account "$Account" --password-stdin'
        ${EndIf}
        StrCpy $R1 $Password
        Call runWithInput
        StrCpy $R1 ""
        DetailPrint "$R3"
        ${If} $R2 != 0
            Push "No se pudo instalar el servicio Orvendal (código $R2):$\r$\n$\r$\n$R3"
            Call fail
        ${EndIf}
        StrCpy $InstalledService 1
        ${If} $StartService == 1
            StrCpy $Stopped "$Stopped$\nServicio ${APP} detenido."
        ${EndIf}
    ${EndIf}
    StrCpy $R5 1
    Call startStopped

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
    CreateShortcut "$SMPROGRAMS\${APP}\Desinstalar ${APP}.lnk" "$INSTDIR\uninstall.exe" "_?=$INSTDIR"

    ; _?= runs the uninstaller where it is, so that whoever started it waits for its end.
    WriteUninstaller "$INSTDIR\uninstall.exe"
    WriteRegStr HKLM "${UNINSTALL_KEY}" "DisplayName" "${APP}"
    WriteRegStr HKLM "${UNINSTALL_KEY}" "DisplayVersion" "${VERSION}"
    WriteRegStr HKLM "${UNINSTALL_KEY}" "Publisher" "Orvendal developers"
    WriteRegStr HKLM "${UNINSTALL_KEY}" "InstallLocation" "$INSTDIR"
    WriteRegStr HKLM "${UNINSTALL_KEY}" "UninstallString" '"$INSTDIR\uninstall.exe" _?=$INSTDIR'
    WriteRegStr HKLM "${UNINSTALL_KEY}" "QuietUninstallString" '"$INSTDIR\uninstall.exe" /S _?=$INSTDIR'
    WriteRegDWORD HKLM "${UNINSTALL_KEY}" "NoModify" 1
    WriteRegDWORD HKLM "${UNINSTALL_KEY}" "NoRepair" 1
    WriteRegStr HKLM "${CHOICES_KEY}" "StationFile" "$StationFile"
    WriteRegDWORD HKLM "${CHOICES_KEY}" "Service" $Service
    WriteRegStr HKLM "${CHOICES_KEY}" "Journal" "$Journal"
    WriteRegStr HKLM "${CHOICES_KEY}" "Account" "$Account"
    StrCpy $R9 1
    Call editPath
    ${If} $InUse == 1
        StrCpy $0 "Orvendal estaba abierto en este equipo (por ejemplo, en las sesiones de un servidor de terminales): quienes lo tienen abierto siguen con la versión anterior hasta que lo cierren, y tendrán la ${VERSION} la próxima vez que lo abran. La copia anterior se borra al reiniciar Windows."
        DetailPrint "$0"
        MessageBox MB_ICONINFORMATION|MB_OK "$0" /SD IDOK
    ${EndIf}
    ${If} $Previous != ""
        Push "actualizado desde $Previous en $INSTDIR"
    ${Else}
        Push "instalado en $INSTDIR"
    ${EndIf}
    Call log
SectionEnd

; Removes only what the installer put there and what the programs made in their own folder: a
; station file or a data file that someone placed in the folder stays, and so does the folder
; then. Every watcher service goes; their journals stay, and the uninstaller says where.
Section "Uninstall"
    SetShellVarContext all
    StrCpy $2 ""
    ${If} ${FileExists} "$INSTDIR\stationctl.exe"
        DetailPrint "Quitando los servicios de Orvendal…"
        nsExec::ExecToStack '"$INSTDIR\stationctl.exe" service remove --all'
        Pop $0
        Call un.fromUtf8
        Pop $2
        DetailPrint "$2"
        ${If} $0 != 0
            MessageBox MB_ICONSTOP|MB_OK "No se pudieron quitar los servicios de Orvendal (código $0):$\r$\n$\r$\n$2" /SD IDOK
            Push "no se pudieron quitar los servicios (código $0): $2"
            Call un.log
            SetErrorLevel 2
            Abort "No se pudieron quitar los servicios de Orvendal (código $0)."
        ${EndIf}
    ${EndIf}
!include "${REMOVAL}"
    ; The window creates the station file it is given when it is missing: an empty one in the
    ; program's folder is its doing, never a workstation's.
    ClearErrors
    FileOpen $0 "$INSTDIR\MARLOVEN.SIT" r
    ${IfNot} ${Errors}
        FileSeek $0 0 END $1
        FileClose $0
        ${If} $1 == 0
            Delete "$INSTDIR\MARLOVEN.SIT"
        ${EndIf}
    ${EndIf}
    ; This uninstaller runs from the folder (_?=): Windows lets it move aside, not delete itself.
    ; Where neither works (Wine), it and the folder go at the next restart.
    Delete "$INSTDIR\uninstall.exe"
    ${If} ${FileExists} "$INSTDIR\uninstall.exe"
        GetTempFileName $0
        Delete "$0"
        ClearErrors
        Rename "$INSTDIR\uninstall.exe" "$0"
        ${If} ${Errors}
            StrCpy $0 "$INSTDIR\uninstall.exe"
        ${EndIf}
        Delete /REBOOTOK "$0"
    ${EndIf}
    RMDir /REBOOTOK "$INSTDIR"
    StrCpy $R9 0
    Call un.editPath
    Delete "$SMPROGRAMS\${APP}\*.lnk"
    RMDir "$SMPROGRAMS\${APP}"
    DeleteRegKey HKLM "${UNINSTALL_KEY}"
    DeleteRegKey HKLM "${CHOICES_KEY}"
    Push "desinstalado de $INSTDIR"
    Call un.log
    ${If} $2 != ""
        MessageBox MB_ICONINFORMATION|MB_OK "$2" /SD IDOK
    ${EndIf}
SectionEnd
