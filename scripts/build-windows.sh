#!/usr/bin/env bash
# Cross-builds the Windows programs (Release, mingw-w64, statically linked) and packages them:
#   BUILD_DIR/orvendal-<version>-windows-x64.zip        the .exe files, the guides, the licences,
#                                                       with no folder of its own
#   BUILD_DIR/orvendal-<version>-windows-x64-setup.exe  an installer with a Start menu entry
# Installs the cross compiler, Wine and NSIS first when they are missing. The window's program
# orvendal.exe is packaged whenever the build makes it.
#   scripts/build-windows.sh [BUILD_DIR]     (default build/windows)
set -euo pipefail
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
# Absolute: the packaging steps work from other folders.
build=$(realpath -m "${1:-$root/build/windows}")
cd "$root"
# Absolute: the packaging steps below work from the staging folder.
mkdir -p "$build"
build=$(cd "$build" && pwd)

bash scripts/install-deps.sh g++-mingw-w64-x86-64-posix wine wine64 nsis sqlite3 unixodbc \
    libsqliteodbc libsqlite3-dev tcl dpkg-dev libcpp-httplib-dev
bash scripts/sqlite-for-windows.sh "$build"
sqlite=$build/sqlite/$(dpkg-query -W -f '${source:Version}' libsqlite3-dev)
bash scripts/httplib-for-windows.sh "$build"
httplib=$build/httplib/$(dpkg-query -W -f '${source:Version}' libcpp-httplib-dev)

ui=OFF
[[ -f src/ui/win32/CMakeLists.txt ]] && ui=ON
cmake -S . -B "$build" -G Ninja -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64.cmake \
    -DCMAKE_BUILD_TYPE=Release -DORVENDAL_WITH_UI=$ui -DORVENDAL_SQLITE_WINDOWS="$sqlite" \
    -DORVENDAL_HTTPLIB_WINDOWS="$httplib" \
    -Wno-dev >/dev/null
cmake --build "$build" -j "$(nproc)"

version=$(sed -n 's/^CMAKE_PROJECT_VERSION:STATIC=//p' "$build/CMakeCache.txt")
name=orvendal-$version-windows-x64
stage=$build/package/$name
rm -rf "$build/package" "$build/$name.zip" "$build/$name-setup.exe"
mkdir -p "$stage/licences"

# The programs as the build installs them: orvendal.exe once the window's target exists.
cmake --install "$build" --prefix "$build/package/install" >/dev/null
cp "$build"/package/install/bin/*.exe "$stage/"
rm -rf "$build/package/install"
x86_64-w64-mingw32-strip "$stage"/*.exe
[[ -f $stage/stationctl.exe ]] || { echo "$0: stationctl.exe was not built" >&2; exit 1; }
[[ $ui == OFF || -f $stage/orvendal.exe ]] || { echo "$0: orvendal.exe was not built" >&2; exit 1; }

# Only DLLs that every Windows has: the mingw runtime, libstdc++ and winpthreads are linked in.
system_dlls='^(kernel32|user32|gdi32|comctl32|comdlg32|advapi32|shell32|ole32|oleaut32|uxtheme|odbc32|msvcrt|ws2_32|version|shlwapi|api-ms-win-[a-z0-9-]+)\.dll$'
for exe in "$stage"/*.exe; do
    while read -r dll; do
        if ! grep -qiE "$system_dlls" <<<"$dll"; then
            echo "$0: $(basename "$exe") needs $dll, which Windows does not ship" >&2
            exit 1
        fi
    done < <(x86_64-w64-mingw32-objdump -p "$exe" | sed -n 's/^\s*DLL Name: //p')
done

# The README and every file that its links, and theirs, name, at the same places as in the source
# tree: the links then work in the unpacked zip and in the install folder.
cp README.md "$stage/"
pending=(README.md)
while ((${#pending[@]} > 0)); do
    doc=${pending[0]}
    pending=("${pending[@]:1}")
    while read -r target; do
        file=$(realpath -m --relative-to="$root" "$root/$(dirname "$doc")/$target")
        [[ -e $stage/$file ]] && continue
        [[ -f $file ]] || { echo "$0: $doc links to $target, which does not exist" >&2; exit 1; }
        mkdir -p "$stage/$(dirname "$file")"
        cp "$file" "$stage/$file"
        [[ $file != *.md ]] || pending+=("$file")
    done < <(grep -oE '\]\([^)#]+' "$doc" | cut -c3- | grep -vE '^[a-z]+:' || true)
done
cp /usr/share/doc/mingw-w64-x86-64-dev/copyright "$stage/licences/mingw-w64-runtime-and-winpthreads.txt"
cp /usr/share/doc/gcc-mingw-w64-base/copyright "$stage/licences/gcc-libstdc++-libgcc.txt"
cp "$sqlite/LICENSE.md" "$stage/licences/sqlite.txt"
cp "$httplib/LICENSE" "$stage/licences/cpp-httplib.txt"
cat >"$stage/licences/README.txt" <<'TXT'
The programs are linked statically with parts of their compiler's runtime:
  mingw-w64-runtime-and-winpthreads.txt  the mingw-w64 C runtime and winpthreads
  gcc-libstdc++-libgcc.txt               libstdc++ and libgcc (GPL with the GCC Runtime
                                         Library Exception, which allows this use)
stationctl.exe holds SQLite, for its journal, and cpp-httplib, for its web page:
  sqlite.txt                             SQLite's notice: its authors put it in the public domain
  cpp-httplib.txt                        cpp-httplib's MIT licence
TXT

# No folder of its own in the zip: unpacked into the folder of the shared MARLOVEN.SIT, the
# programs land beside it, where they look for it.
(cd "$stage" && cmake -E tar cf "$build/$name.zip" --format=zip -- *)

# What the uninstaller removes: exactly the files and folders installed, deepest first.
removal=$build/package/uninstall-files.nsh
(cd "$stage" && find . -type f | sort | sed 's|^\./||; s|/|\\|g; s|.*|    Delete "$INSTDIR\\&"|' &&
    find . -mindepth 1 -type d | sort -r | sed 's|^\./||; s|/|\\|g; s|.*|    RMDir "$INSTDIR\\&"|') \
    >"$removal"

monitor=()
[[ -f $stage/orvendal.exe ]] && monitor=(-DWITH_MONITOR)
makensis -V2 -DVERSION="$version" -DSTAGE="$stage" -DOUTFILE="$build/$name-setup.exe" \
    -DREMOVAL="$removal" "${monitor[@]}" packaging/windows/installer.nsi
echo "windows: $build/$name.zip"
echo "windows: $build/$name-setup.exe"
