#!/usr/bin/env bash
# cpp-httplib for the Windows build. Debian's libcpp-httplib-dev splits the library into a header
# that only declares and a Linux shared library; its source package holds the whole header-only
# httplib.h, which the Windows build compiles into stationctl.exe. Fetched the way SQLite is
# (scripts/sqlite-for-windows.sh): a private apt configuration in the build folder, the files
# checked by apt against the archive's signed index, the version of the Linux build's header. A
# later build finds the header of that version and reuses it as it is.
#   scripts/httplib-for-windows.sh BUILD_DIR
# Leaves BUILD_DIR/httplib/VERSION/ with httplib.h, LICENSE and httplib.h.sha256.
set -euo pipefail
build=$(realpath -m "${1:?usage: $0 BUILD_DIR}")

version=$(dpkg-query -W -f '${source:Version}' libcpp-httplib-dev 2>/dev/null || true)
[[ -n $version ]] || { echo "$0: libcpp-httplib-dev is not installed" >&2; exit 1; }
out=$build/httplib/$version
if [[ -s $out/httplib.h && -s $out/LICENSE && -s $out/httplib.h.sha256 ]]; then
    echo "httplib: reused the header of $version fetched before in $out"
    echo "httplib: httplib.h sha256 $(cat "$out/httplib.h.sha256")"
    exit 0
fi

work=$build/httplib/work
rm -rf "$work" "$out"
mkdir -p "$work/apt/sources.list.d" "$work/apt/lists/partial" "$work/apt/cache/archives/partial" \
    "$work/src"
sed 's/^Types: deb$/Types: deb-src/' /etc/apt/sources.list.d/debian.sources \
    >"$work/apt/sources.list.d/debian.sources"
# Everything apt writes stays in $work/apt. The download runs as the _apt user, which must reach
# the folders.
chmod -R a+rX "$work"
chown -R _apt "$work/apt/lists/partial" "$work/apt/cache/archives/partial" "$work/src" 2>/dev/null ||
    true
apt=(apt-get -q -o Dir::Etc::SourceList=/dev/null -o "Dir::Etc::SourceParts=$work/apt/sources.list.d"
    -o "Dir::State::Lists=$work/apt/lists" -o "Dir::Cache=$work/apt/cache"
    -o Dir::Cache::pkgcache= -o Dir::Cache::srcpkgcache=)
"${apt[@]}" update
(cd "$work/src" && "${apt[@]}" source --download-only "cpp-httplib=$version") || {
    echo "$0: Debian's archive has no source package cpp-httplib $version, the version of" \
        "libcpp-httplib-dev the Linux build uses; update libcpp-httplib-dev or the archive's lists" >&2
    exit 1
}
dsc=$(ls "$work"/src/cpp-httplib_*.dsc)
got=$(sed -n 's/^Version: //p' "$dsc")
[[ $got == "$version" ]] || {
    echo "$0: the source package is cpp-httplib $got, libcpp-httplib-dev is $version: they must match" >&2
    exit 1
}
# apt has checked every file against the archive's signed index; dpkg-source checks them against
# the .dsc again and applies Debian's patches.
dpkg-source -x "$dsc" "$work/src/tree" >"$work/dpkg-source.log" 2>&1 || {
    cat "$work/dpkg-source.log" >&2
    exit 1
}

mkdir -p "$out"
sha=$(sha256sum "$work/src/tree/httplib.h" | cut -d' ' -f1)
cp "$work/src/tree/LICENSE" "$out/"
echo "$sha" >"$out/httplib.h.sha256"
# Last: a header there means everything beside it is complete.
cp "$work/src/tree/httplib.h" "$out/httplib.h.new"
mv "$out/httplib.h.new" "$out/httplib.h"
rm -rf "$work"
echo "httplib: httplib.h sha256 $sha (cpp-httplib $version)"
