#!/usr/bin/env bash
# Checks the Windows packages that scripts/build-windows.sh made in BUILD_DIR: the zip, unpacked
# beside a station file, puts every file there, and its stationctl.exe names that station file;
# the installer installs silently into Program Files with its Start menu entries, the one of the
# monitor watching the station file given to it, and its uninstall entry, and its uninstaller
# removes them all again, waiting for its end. The guides' links work in both, and stationctl on
# the Path in a new Command Prompt. Given /SERVICE=1 and a local station file, the installer
# installs the watcher as the service Orvendal and starts it; the uninstaller removes the service,
# the lock and the empty MARLOVEN.SIT the programs made, and keeps the journal. Without /SERVICE=1
# no service is installed. A folder as the station file is refused, and a service that cannot
# start leaves nothing installed, each with its reason in the log. Over the release before this
# one (built from git history by build-previous-windows.sh), installed with its service running,
# a silent install alone upgrades: the service runs the new stationctl.exe on the same station
# file, journal and account, and the journal keeps what it held; an installer of the older
# version is then refused and changes nothing. Runs under the Wine prefix of the environment (WINEPREFIX), which
# the caller has started.
#   scripts/check-windows-package.sh BUILD_DIR
set -euo pipefail
build=$(cd "${1:?usage: $0 BUILD_DIR}" && pwd)
: "${WINEPREFIX:?WINEPREFIX must name a started Wine prefix}"
version=$(sed -n 's/^CMAKE_PROJECT_VERSION:STATIC=//p' "$build/CMakeCache.txt")
name=orvendal-$version-windows-x64
scratch=$(mktemp -d /tmp/orvendal-windows-package.XXXXXX)
# Wine ends its services once no ordinary process is left in the prefix: one waits on a FIFO
# until the script ends.
mkfifo "$scratch/keep"
wine cmd /c 'set /p x=' <"$scratch/keep" >/dev/null 2>&1 &
keeper=$!
exec 3>"$scratch/keep"
# A service left by a failure is taken away; the keeper, which Wine may keep while a service
# ran, gets a bound to end.
cleanup() {
    if [[ -n $(wine sc query Orvendal </dev/null 2>/dev/null) ]]; then
        wine sc stop Orvendal </dev/null >/dev/null 2>&1 || true
        wine sc delete Orvendal </dev/null >/dev/null 2>&1 || true
    fi
    exec 3>&-
    local end=$((SECONDS + 10))
    while ((SECONDS < end)) && kill -0 "$keeper" 2>/dev/null; do
        sleep 0.1
    done
    kill "$keeper" 2>/dev/null || true
    wait "$keeper" 2>/dev/null || true
    rm -rf "$scratch"
}
trap cleanup EXIT

failures=0
fail() {
    echo "windows package: $*" >&2
    failures=$((failures + 1))
}

path_has_programs() {
    wine reg query 'HKLM\SYSTEM\CurrentControlSet\Control\Session Manager\Environment' /v Path \
        </dev/null 2>/dev/null | tr -d '\r' | grep -qiF ';C:\Program Files\Orvendal'
}
log=$WINEPREFIX/drive_c/users/$(id -un)/Temp/orvendal-install.log
logged() { iconv -f UTF-16 -t UTF-8 "$log" 2>/dev/null | grep -qF "$1"; }

# Every relative link of the guides in folder $1 names a file there.
check_links() {
    local doc target
    while read -r doc; do
        while read -r target; do
            [[ -e $(dirname "$doc")/$target ]] || fail "${doc#"$1"/} links to $target, missing in $2"
        done < <(grep -oE '\]\([^)#]+' "$doc" | cut -c3- | grep -vE '^[a-z]+:' || true)
    done < <(find "$1" -name '*.md')
}

# The build's SQLite is made once: asked again, the script reuses it, without apt or a compiler.
again=$(bash "$(dirname "$0")/sqlite-for-windows.sh" "$build" 2>&1)
grep -q '^sqlite: reused ' <<<"$again" || fail "SQLite was not reused by a second build: $again"
! grep -qE '^(Get:|Hit:|Reading package lists)' <<<"$again" || fail "a second build ran apt: $again"

# Unpacked as the README says, into the folder that holds the shared station file: the programs
# land beside it and take it for theirs, and the file is left as it was.
share=$scratch/share
mkdir "$share"
printf '%243s' '' >"$share/MARLOVEN.SIT"
(cd "$share" && cmake -E tar xf "$build/$name.zip")
expected=(stationctl.exe README.md docs/user-guide.md docs/windows.md licences/README.txt
    licences/mingw-w64-runtime-and-winpthreads.txt licences/gcc-libstdc++-libgcc.txt licences/sqlite.txt)
# The window's program, once the build makes it.
[[ -f $build/src/app/orvendal.exe ]] && expected+=(orvendal.exe)
for file in "${expected[@]}"; do
    [[ -s $share/$file ]] || fail "the zip lacks $file, or holds it elsewhere"
done
[[ $(cat "$share/MARLOVEN.SIT") == "$(printf '%243s' '')" ]] || fail "unpacking changed MARLOVEN.SIT"
check_links "$share" "the zip"
station_file=$(wine winepath -w "$share/MARLOVEN.SIT" </dev/null 2>/dev/null | tr -d '\r')
where=$(cd "$scratch" && wine "$share/stationctl.exe" where </dev/null 2>&1 | tr -d '\r' | head -n 1)
[[ $where == "$station_file" ]] || fail "stationctl where from the zip said $where, not $station_file"

# The window's program as shipped (build-windows.sh has checked its DLLs): a window program, with
# no console, and its resources: the icon (ICON 3, GROUP_ICON 14), the version (16), the manifest (24).
monitor=$share/orvendal.exe
if [[ -s $monitor ]]; then
    headers=$(x86_64-w64-mingw32-objdump -p "$monitor")
    grep -q '^Subsystem.*(Windows GUI)' <<<"$headers" || fail "orvendal.exe is not a window program"
    # The resource types are the entries of the directory's first level.
    types=$(sed -n '/Resource Directory section/,$s/^[0-9a-f]\{3\}   Entry: ID: 0x0*\([0-9a-f]*\),.*/\1/p' \
        <<<"$headers" | tr '\n' ' ')
    [[ $types == "3 e 10 18 " ]] || fail "orvendal.exe's resource types are ${types:-none}, not 3 e 10 18"
    # The version's texts are UTF-16, the manifest's UTF-8.
    version_texts=$(x86_64-w64-mingw32-strings -el "$monitor")
    for text in "Orvendal developers" "$version" orvendal.exe Orvendal; do
        grep -qxF "$text" <<<"$version_texts" || fail "orvendal.exe's version lacks \"$text\""
    done
    manifest=$(x86_64-w64-mingw32-strings -a "$monitor")
    for text in 'name="Microsoft.Windows.Common-Controls" version="6.0.0.0"' PerMonitorV2 \
        '{8e0f7a12-bfb3-4fe8-b9a5-48fd50a15a9a}' 'level="asInvoker"' \
        '<longPathAware xmlns="http://schemas.microsoft.com/SMI/2016/WindowsSettings">true<'; do
        grep -qF "$text" <<<"$manifest" || fail "orvendal.exe's manifest lacks $text"
    done
fi

programs=$WINEPREFIX/drive_c/Program\ Files/Orvendal
menu=$WINEPREFIX/drive_c/ProgramData/Microsoft/Windows/Start\ Menu/Programs/Orvendal
key='HKLM\Software\Microsoft\Windows\CurrentVersion\Uninstall\Orvendal'
# A silent install given the server's station file, as an administrator deploys it: the Start
# menu entry watches that file, started in its folder.
served='\\servidor\datos app\MARLOVEN.SIT'
wine "$build/$name-setup.exe" /S "/STATIONFILE=$served" </dev/null >/dev/null 2>&1 ||
    fail "the installer failed"
for file in "${expected[@]}" uninstall.exe; do
    [[ -s $programs/$file ]] || fail "the installer did not install $file"
done
check_links "$programs" "the install folder"
[[ -f "$menu/Guía del usuario.lnk" ]] || fail "no Start menu entry for the user guide"
if [[ -f $build/src/app/orvendal.exe ]]; then
    [[ -f $menu/Orvendal.lnk ]] || fail "no Start menu entry"
    shortcut=$(x86_64-w64-mingw32-strings -el "$menu/Orvendal.lnk" 2>/dev/null || true)
    grep -qF "\"$served\"" <<<"$shortcut" ||
        fail "the Start menu entry does not watch $served: $(tr '\n' ' ' <<<"$shortcut")"
    grep -qxF "${served%\\*}" <<<"$shortcut" ||
        fail "the Start menu entry does not start in ${served%\\*}: $(tr '\n' ' ' <<<"$shortcut")"
    wine reg query "$key" /v DisplayIcon </dev/null 2>/dev/null | tr -d '\r' |
        grep -qF '"C:\Program Files\Orvendal\orvendal.exe",0' || fail "the uninstall entry has no icon"
fi
wine reg query "$key" /v DisplayVersion </dev/null 2>/dev/null | grep -q "$version" ||
    fail "no uninstall entry of version $version"
installed=$(wine "C:\\Program Files\\Orvendal\\stationctl.exe" where </dev/null 2>&1 |
    tr -d '\r' | head -n 1)
[[ $installed == 'C:\Program Files\Orvendal\MARLOVEN.SIT' ]] ||
    fail "the installed stationctl where said: $installed"
path_has_programs || fail "the installer did not put the programs' folder on the Path"
# The guide's commands, pasted into a new Command Prompt.
pasted=$(wine cmd /c 'stationctl where' </dev/null 2>&1 | tr -d '\r' | head -n 1)
[[ $pasted == 'C:\Program Files\Orvendal\MARLOVEN.SIT' ]] ||
    fail "stationctl where in a new Command Prompt said: $pasted"
service_status() {
    wine "C:\\Program Files\\Orvendal\\stationctl.exe" service status </dev/null >/dev/null 2>&1
}
status=0
service_status || status=$?
((status == 4)) || fail "an install without /SERVICE=1 left a service: status $status, not 4"


# The uninstaller as its uninstall entry runs it, quietly: it is done when it returns.
uninstall() {
    local quiet
    quiet=$(wine reg query "$key" /v QuietUninstallString </dev/null 2>/dev/null | tr -d '\r' |
        sed -n 's/.*REG_SZ *//p')
    [[ $quiet == '"C:\Program Files\Orvendal\uninstall.exe" /S _?=C:\Program Files\Orvendal' ]] ||
        fail "the quiet uninstall command is $quiet"
    # Pasted into a batch file, as cmd.exe reads it: Wine would quote _?= given as an argument.
    printf '%s\r\n' "$quiet" >"$scratch/uninstall.bat"
    wine cmd /c "$(wine winepath -w "$scratch/uninstall.bat" </dev/null 2>/dev/null | tr -d '\r')" \
        </dev/null >/dev/null 2>&1 || fail "the uninstaller failed"
    # Wine neither deletes nor renames a running program: the uninstaller and its folder are then
    # left to the next restart, which Windows, where it moves aside, does not need.
    if [[ $(ls "$programs" 2>/dev/null) == uninstall.exe ]] &&
        wine reg query 'HKLM\System\CurrentControlSet\Control\Session Manager' \
            /v PendingFileRenameOperations </dev/null 2>/dev/null | grep -qF 'Orvendal\uninstall.exe'; then
        rm -rf "$programs"
    fi
    [[ ! -e $programs ]] || fail "the uninstaller left $(ls "$programs" | tr '\n' ' ')"
    [[ ! -e $menu ]] || fail "the uninstaller left the Start menu folder"
    ! wine reg query "$key" </dev/null >/dev/null 2>&1 || fail "the uninstall entry is still there"
    ! path_has_programs || fail "the uninstaller left the programs' folder on the Path"
}
# The empty station file the window makes beside itself when it is given none.
: >"$programs/MARLOVEN.SIT"
uninstall

# Refused before anything is installed, with the reason in the log: a folder as the station file.
wine "$build/$name-setup.exe" /S "/STATIONFILE=$(wine winepath -w "$share" </dev/null 2>/dev/null | tr -d '\r')" \
    </dev/null >/dev/null 2>&1 && fail "the installer took a folder as the station file"
[[ ! -e $programs ]] || fail "a refused install installed $(ls "$programs" | tr '\n' ' ')"
logged "El fichero de estaciones es una carpeta" || fail "the log lacks the refused folder"

# The watcher as a service on the zip's station file, with the default journal. A journal path
# that the service's command line cannot hold is refused before anything is installed.
journal=$WINEPREFIX/drive_c/ProgramData/Orvendal/journal.db
rm -rf "$WINEPREFIX/drive_c/ProgramData/Orvendal"
wine "$build/$name-setup.exe" /S /SERVICE=1 "/STATIONFILE=$station_file" '/JOURNAL=C:\datos%x\journal.db' \
    </dev/null >/dev/null 2>&1 && fail "the installer took a journal path with %"
[[ ! -e $programs ]] || fail "a refused service install installed $(ls "$programs" | tr '\n' ' ')"
wine "$build/$name-setup.exe" /S /SERVICE=1 "/STATIONFILE=$station_file" </dev/null >/dev/null 2>&1 ||
    fail "the installer failed with /SERVICE=1"
status=0
service_status || status=$?
((status == 0)) || fail "with /SERVICE=1 the service's status is $status, not 0 (running)"
end=$((SECONDS + 60))
while ((SECONDS < end)) && [[ ! -s $journal ]]; do
    sleep 0.2
done
[[ -s $journal ]] || fail "the service wrote no journal in C:\\ProgramData\\Orvendal within 60 s"
uninstall
[[ ! -e $journal.lock ]] || fail "the uninstaller left journal.db.lock"
[[ -z $(wine sc query Orvendal </dev/null 2>/dev/null | tr -d '\r') ]] ||
    fail "the uninstaller left the service Orvendal"
[[ -s $journal ]] || fail "the uninstaller removed the service's journal"

# A service that cannot start (another watcher holds its journal) leaves nothing installed.
held=$scratch/held.db
wine "$share/stationctl.exe" watch "$station_file" --journal "$(wine winepath -w "$held" </dev/null 2>/dev/null | tr -d '\r')" \
    </dev/null >/dev/null 2>&1 &
holder=$!
end=$((SECONDS + 60))
while ((SECONDS < end)) && [[ ! -s $held ]]; do sleep 0.2; done
status=0
wine "$build/$name-setup.exe" /S /SERVICE=1 "/STATIONFILE=$station_file" \
    "/JOURNAL=$(wine winepath -w "$held" </dev/null 2>/dev/null | tr -d '\r')" </dev/null >/dev/null 2>&1 || status=$?
kill "$holder"
wait "$holder" 2>/dev/null || true
((status == 2)) || fail "a service that could not start gave exit status $status, not 2"
[[ ! -e $programs && -z $(wine sc query Orvendal </dev/null 2>/dev/null | tr -d '\r') ]] ||
    fail "a failed install left the programs or the service"
! path_has_programs || fail "a failed install left the programs' folder on the Path"
logged "lo está usando otro vigilante" || fail "the log lacks why the service did not start"
rm -rf "$WINEPREFIX/drive_c/ProgramData/Orvendal"

# The upgrade over the release before this one, with its service running.
# The Linux process of the service Orvendal (Wine maps each program into one).
service_process() {
    local proc
    for proc in /proc/[0-9]*; do
        if tr '\0' ' ' <"$proc/cmdline" 2>/dev/null | grep -q 'stationctl.exe service run'; then
            echo "${proc#/proc/}"
        fi
    done | head -n 1
}
# Whether the process $1 runs the installed stationctl.exe as it is now, not a file replaced.
runs_installed() {
    local inode
    inode=$(stat -c %i "$programs/stationctl.exe")
    awk -v inode="$inode" '$5 == inode && /stationctl\.exe$/ { found = 1 } END { exit !found }' \
        "/proc/$1/maps"
}
journal_count() { sqlite3 -readonly "$journal" "SELECT count(*) FROM $1" 2>/dev/null || echo 0; }
previous=
code=0
previous=$(bash "$(dirname "$0")/build-previous-windows.sh" "$build") || code=$?
if ((code == 3)); then
    echo "windows package: SKIPPED the upgrade: git history holds no earlier release"
elif ((code != 0)); then
    fail "the release before $version could not be built"
else
    wine "$previous" /S /SERVICE=1 "/STATIONFILE=$station_file" </dev/null >/dev/null 2>&1 ||
        fail "the previous release's installer failed"
    old_version=$(wine reg query "$key" /v DisplayVersion </dev/null 2>/dev/null | tr -d '\r' | sed -n 's/.*REG_SZ *//p')
    end=$((SECONDS + 60))
    while ((SECONDS < end)) && (($(journal_count watches) < 1)); do sleep 0.2; done
    # An outage in the journal before the upgrade: Wine reads locked records, so no sessions.
    mv "$share/MARLOVEN.SIT" "$share/MARLOVEN.away"
    while ((SECONDS < end)) && (($(journal_count outages) < 1)); do sleep 0.2; done
    mv "$share/MARLOVEN.away" "$share/MARLOVEN.SIT"
    (($(journal_count outages) == 1)) || fail "the previous release's service wrote no outage"
    image() {
        wine reg query 'HKLM\SYSTEM\CurrentControlSet\Services\Orvendal' /v "$1" </dev/null 2>/dev/null |
            tr -d '\r' | sed -n 's/.*REG_[A-Z_]*SZ *//p'
    }
    old_image=$(image ImagePath)
    old_account=$(image ObjectName)
    before=$(date +%s%3N)
    wine "$build/$name-setup.exe" /S </dev/null >/dev/null 2>&1 || fail "the upgrade failed"
    wine reg query "$key" /v DisplayVersion </dev/null 2>/dev/null | grep -q "$version" ||
        fail "the upgrade left version $old_version in the uninstall entry"
    [[ $(image ImagePath) == "$old_image" && $(image ObjectName) == "$old_account" ]] ||
        fail "the upgrade changed the service: $(image ImagePath) as $(image ObjectName), was $old_image as $old_account"
    process=$(service_process)
    [[ -n $process ]] && runs_installed "$process" ||
        fail "after the upgrade the service does not run the installed stationctl.exe"
    started=$(sqlite3 -readonly "$journal" "SELECT max(started_ms) FROM watches" 2>/dev/null || echo 0)
    ((${started:-0} > before)) || fail "no watch in the journal began after the upgrade"
    (($(journal_count outages) == 1)) || fail "the upgrade lost the journal's outage"
    # The release before knew no refusal of its own: this installer, made for its version, stands
    # for an older one.
    monitor=()
    [[ -f $build/src/app/orvendal.exe ]] && monitor=(-DWITH_MONITOR)
    makensis -V1 -DVERSION="$old_version" -DSTAGE="$build/package/$name" \
        -DOUTFILE="$scratch/older-setup.exe" -DREMOVAL="$build/package/uninstall-files.nsh" \
        "${monitor[@]}" "$(dirname "$0")/../packaging/windows/installer.nsi"
    before_refusal=$(stat -c %i "$programs/stationctl.exe")
    status=0
    wine "$scratch/older-setup.exe" /S </dev/null >/dev/null 2>&1 || status=$?
    ((status == 2)) || fail "the older installer over this version gave exit status $status, not 2"
    wine reg query "$key" /v DisplayVersion </dev/null 2>/dev/null | grep -q "$version" &&
        [[ $(stat -c %i "$programs/stationctl.exe") == "$before_refusal" ]] ||
        fail "the refused older installer changed the install"
    logged "no se instala una versión anterior sobre una posterior" ||
        fail "the log lacks the refused older version"
    uninstall
fi
rm -rf "$WINEPREFIX/drive_c/ProgramData/Orvendal"

((failures == 0)) || exit 1
echo "windows package: the zip, the installer with its service and the uninstaller are complete"
