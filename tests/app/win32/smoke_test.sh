#!/usr/bin/env bash
# orvendal.exe itself under Wine, on the X display (DISPLAY, with a window manager) and in the Wine
# prefix (WINEPREFIX) it is run with:
#   window          a station file of three stations with a tally of 2: the window comes up as
#                   "Conexiones activas: 2", never showing its design caption, topmost, with the
#                   program's icon and no message box; Alt+F4 closes it and the program ends with
#                   status 0
#   missing-folder  a station file in a folder that does not exist: the open's error box, with the
#                   window still hidden, answered with Return; then the window comes up as
#                   "Conexiones activas: sin acceso" and shows no more boxes; Alt+F4 closes it,
#                   status 0, and no folder was made
#   default-file    no station file given: MARLOVEN.SIT beside the program is created empty and
#                   the window comes up as "Conexiones activas: 0"; Alt+F4 closes it, status 0
#   usage           --help, --version, an unknown option, a credentials file and an smb:// URL:
#                   the usage (or the version) in a box, answered with Return; status 0 for help
#                   and the version, 2 for the others
# Either way no process or window of the program is left once it has ended. Exits 77 (skipped)
# without a display or without xdotool and xprop.
#   tests/app/win32/smoke_test.sh window|missing-folder|default-file|usage ORVENDAL_EXE STATIONCTL_EXE
set -euo pipefail
case=${1:?usage: $0 window|missing-folder|default-file|usage ORVENDAL_EXE STATIONCTL_EXE}
orvendal=$(realpath "${2:?the path of orvendal.exe}")
stationctl=$(realpath "${3:?the path of stationctl.exe}")

skip() {
    echo "skipped: $*"
    exit 77
}
[[ -n ${DISPLAY:-} ]] || skip "no X display: DISPLAY is not set"
for tool in xdotool xprop; do
    command -v "$tool" >/dev/null || skip "$tool is not installed (Debian: xdotool, x11-utils)"
done

# Wine converts the command line, and winepath its answer, with the locale's character set.
export LC_ALL=C.UTF-8
scratch=$(mktemp -d /tmp/orvendal-smoke.XXXXXX)
monitor=
stop() {
    if [[ -n $monitor ]] && kill -0 "$monitor" 2>/dev/null; then
        kill -KILL "$monitor" 2>/dev/null || true
    fi
    [[ -z $monitor ]] || wait "$monitor" 2>/dev/null || true
    rm -rf "$scratch"
}
trap stop EXIT

fail() {
    echo "smoke test ($case): $*" >&2
    if [[ -s $scratch/wine.log ]]; then
        echo "--- the program's Wine output:" >&2
        cat "$scratch/wine.log" >&2
    fi
    exit 1
}

# Wine's own Windows form of a host path.
windows_path() {
    wine winepath -w "$1" </dev/null 2>/dev/null | tr -d '\r'
}

# Starts orvendal.exe from the scratch folder, where no out.vrl adds " LOCK" to its caption.
# Wine's msgbox channel logs the text of every message box it opens.
start_monitor() {
    (cd "$scratch" && WINEDEBUG=-all,+msgbox exec wine "$orvendal" "$@" </dev/null \
        >"$scratch/wine.log" 2>&1) &
    monitor=$!
}

# The program has not ended yet (an ended child waits as a zombie until it is reaped).
running() {
    local state
    state=$(ps -o stat= -p "$monitor" 2>/dev/null) && [[ $state != Z* ]]
}

# The program's mapped windows whose title matches the regular expression $1.
windows_titled() {
    xdotool search --all --onlyvisible --pid "$monitor" --name "$1" 2>/dev/null || true
}

# The texts of the message boxes the program has opened, one a line, as Wine logs them.
box_texts() {
    sed -n 's/.*:msgbox:MSGBOX_OnInit \(.*\)$/\1/p' "$scratch/wine.log"
}

# Waits up to $1 seconds for the program to end; then its exit status is in $status.
wait_for_end() {
    local tenths=$(($1 * 10))
    while running && ((tenths-- > 0)); do
        sleep 0.1
    done
    running && return 1
    status=0
    wait "$monitor" || status=$?
    return 0
}

# Once the program has ended, nothing of it may remain: no process that names the scratch folder
# (the station file is an argument), and no window of its process.
check_nothing_left() {
    local name proc parts
    name=$(basename "$scratch")
    for proc in /proc/[0-9]*; do
        # A process may end while it is read: what cannot be read is left out.
        mapfile -d '' -t parts 2>/dev/null <"$proc/cmdline" || continue
        [[ ${parts[*]} != *"$name"* ]] || fail "left running: ${proc#/proc/} ${parts[*]}"
    done
    [[ -z $(xdotool search --pid "$monitor" 2>/dev/null || true) ]] ||
        fail "windows of the ended program are still there"
}

# The window's 32x32 icon as Wine gives it to the window manager: _NET_WM_ICON holds each image
# as its width, its height and then its ARGB pixels row by row.
check_icon() {
    local -a values
    read -r -a values < <(xprop -id "$1" -notype 32c _NET_WM_ICON | sed 's/^[^=]*= *//; s/,//g')
    local at=0 found=
    while ((at + 2 <= ${#values[@]})); do
        local width=${values[at]} height=${values[at + 1]}
        if ((width == 32 && height == 32)); then
            found=$((at + 2))
            break
        fi
        at=$((at + 2 + width * height))
    done
    [[ -n $found ]] || fail "the window has no 32x32 icon (_NET_WM_ICON: ${values[*]:0:2}...)"
    # The 16 standard colours in a 4x4 grid of 7-pixel squares, each followed by a black line.
    local palette=(0x000000 0x800000 0x008000 0x808000 0x000080 0x800080 0x008080 0xC0C0C0
        0x808080 0xFF0000 0x00FF00 0xFFFF00 0x0000FF 0xFF00FF 0x00FFFF 0xFFFFFF)
    local colour x y point px py want got
    for colour in $(seq 0 15); do
        x=$((colour % 4 * 8)) y=$((colour / 4 * 8))
        for point in "$x $y ${palette[colour]}" "$((x + 6)) $((y + 6)) ${palette[colour]}" \
            "$((x + 7)) $((y + 3)) 0" "$((x + 3)) $((y + 7)) 0"; do
            read -r px py want <<<"$point"
            got=$((values[found + py * 32 + px] & 0xFFFFFFFF))
            ((got == (0xFF000000 | want))) ||
                fail "icon pixel ($px,$py) is $(printf '%#x' "$got"), not $(printf '%#x' $((0xFF000000 | want)))"
        done
    done
}

# Waits up to 30 s for a mapped window of the program titled exactly $1, and prints it. The
# design caption must never be seen meanwhile.
wait_for_window() {
    local window
    for _ in $(seq 300); do
        running || fail "the program ended before its window \"$1\" came up"
        [[ -z $(windows_titled 'Reales Activas') ]] || fail "the window showed its design caption"
        window=$(windows_titled "^$1\$" | head -n 1)
        [[ -n $window ]] && echo "$window" && return 0
        sleep 0.1
    done
    fail "no window \"$1\" within 30 s"
}

# Closes the window with Alt+F4 through the window manager; the program must then end with status 0.
close_window() {
    # An Alt+F4 may be lost while the window is still taking the focus.
    for _ in $(seq 5); do
        xdotool windowactivate --sync "$1" key alt+F4 2>/dev/null || true
        wait_for_end 3 && break
    done
    running && fail "Alt+F4 did not close the window"
    ((status == 0)) || fail "the program ended with status $status, not 0"
}

# Waits up to 30 s for a message box of the program (titled with the program's title, "Orvendal",
# its window meanwhile hidden) and answers it with Return. Wine's box may take a second Return:
# each press waits for the box to go first.
answer_box() {
    local box=
    for _ in $(seq 300); do
        box=$(windows_titled '^Orvendal$' | head -n 1)
        [[ -n $box ]] && break
        running || fail "the program ended before its message box"
        sleep 0.1
    done
    [[ -n $box ]] || fail "no message box titled \"Orvendal\" within 30 s"
    [[ -z $(windows_titled 'Conexiones') ]] || fail "the window was shown while the box was open"
    for _ in $(seq 5); do
        xdotool windowactivate --sync "$box" key Return 2>/dev/null || true
        for _ in $(seq 20); do
            windows_titled '^Orvendal$' | grep -qx "$box" || return 0
            sleep 0.1
        done
    done
    fail "Return did not close the box"
}

# Runs the program with ARGS, answers its one box and checks its exit status and the box's text
# (as Wine logs it: L"...", \n for a new line, \00f1 for ñ).
#   run_with_box STATUS TEXT-PREFIX ARGS...
run_with_box() {
    local want=$1 text=$2
    shift 2
    start_monitor "$@"
    answer_box
    wait_for_end 10 || fail "orvendal.exe $* went on after its box"
    ((status == want)) || fail "orvendal.exe $* ended with status $status, not $want"
    mapfile -t boxes < <(box_texts)
    [[ ${#boxes[@]} == 1 && ${boxes[0]} == "$text"* ]] ||
        fail "orvendal.exe $* showed ${#boxes[@]} boxes, not one starting $text: ${boxes[*]}"
    check_nothing_left
}

case $case in
window)
    # A folder name beyond ASCII, as the command line carries it to the program.
    mkdir "$scratch/estación"
    file=$scratch/estación/MARLOVEN.SIT
    wine "$stationctl" create "$(windows_path "$file")" --stations 3 </dev/null >/dev/null
    wine "$stationctl" set "$(windows_path "$file")" --header --tally 2 </dev/null >/dev/null
    start_monitor "$(windows_path "$file")"
    window=$(wait_for_window 'Conexiones activas: 2')

    above=
    for _ in $(seq 100); do
        xprop -id "$window" _NET_WM_STATE | grep -q '_NET_WM_STATE_ABOVE' && above=yes && break
        sleep 0.1
    done
    [[ -n $above ]] || fail "the window is not topmost: $(xprop -id "$window" _NET_WM_STATE)"
    check_icon "$window"
    [[ -z $(box_texts) ]] || fail "message boxes were shown: $(box_texts)"
    close_window "$window"
    ;;
missing-folder)
    # The open fails with error 3 (path not found): its box comes first, with the window still
    # hidden; once it is answered the window comes up with the outage in its caption, and the
    # next refreshes, failing alike, show no box again.
    start_monitor "$(windows_path "$scratch/missing/MARLOVEN.SIT")"
    answer_box
    window=$(wait_for_window 'Conexiones activas: sin acceso')
    # Four more refreshes of the missing file.
    sleep 2
    mapfile -t boxes < <(box_texts)
    ((${#boxes[@]} == 1)) || fail "${#boxes[@]} message boxes, not 1: ${boxes[*]}"
    [[ ${boxes[0]} == 'L"3-'* ]] || fail "the box is not the open's error 3: ${boxes[0]}"
    close_window "$window"
    [[ ! -e $scratch/missing ]] || fail "the program made the missing folder"
    ;;
default-file)
    # No station file given: MARLOVEN.SIT beside the program, whatever folder it starts from; a
    # missing one is created empty.
    mkdir "$scratch/program"
    cp "$orvendal" "$scratch/program/orvendal.exe"
    orvendal=$scratch/program/orvendal.exe
    start_monitor
    window=$(wait_for_window 'Conexiones activas: 0')
    [[ -f $scratch/program/MARLOVEN.SIT && ! -s $scratch/program/MARLOVEN.SIT ]] ||
        fail "no empty MARLOVEN.SIT beside the program: $(ls -l "$scratch/program")"
    [[ ! -e $scratch/MARLOVEN.SIT ]] || fail "MARLOVEN.SIT was made in the current folder"
    [[ -z $(box_texts) ]] || fail "message boxes were shown: $(box_texts)"
    close_window "$window"
    ;;
usage)
    # A window program has no console: help and command line errors come in a box.
    run_with_box 0 'L"Uso: orvendal.exe [FICHERO-DE-ESTACIONES]\n' --help
    run_with_box 0 "L\"orvendal ${ORVENDAL_VERSION:?ORVENDAL_VERSION is the version of the build}\\n" --version
    run_with_box 2 'L"orvendal: opci\00f3n desconocida: --bogus-\00f1\n\nUso: orvendal.exe ' --bogus-ñ
    # Windows reaches a server's file by its UNC path: a credentials file is refused.
    printf 'username=ana\npassword=secreta\n' >"$scratch/credentials"
    run_with_box 2 'L"orvendal: en Windows el fichero de un servidor se indica con su ruta UNC' \
        --credentials "$(windows_path "$scratch/credentials")"
    # So is an smb:// URL, at start-up: no window comes up to fail at its first refresh.
    run_with_box 2 'L"orvendal: en Windows el fichero de un servidor se indica con su ruta UNC' \
        smb://servidor/datos/MARLOVEN.SIT
    ;;
*)
    echo "$0: unknown case $case" >&2
    exit 2
    ;;
esac

check_nothing_left
echo "smoke test ($case): passed"
