#!/usr/bin/env bash
# SQLite for the Windows build, from Debian's own source package of the version the Linux build
# links (libsqlite3-dev): fetched through a private apt configuration in the build folder, which
# leaves /etc/apt, /var/lib/apt and /var/cache/apt as they are, checked by apt against the
# archive's signed index, its amalgamation made once and compiled with mingw into a static
# library. A later build finds the library of that version and reuses it as it is.
#   scripts/sqlite-for-windows.sh BUILD_DIR
# Leaves BUILD_DIR/sqlite/VERSION/ with sqlite3.h, libsqlite3.a, LICENSE.md and sqlite3.c.sha256.
set -euo pipefail
build=$(realpath -m "${1:?usage: $0 BUILD_DIR}")

version=$(dpkg-query -W -f '${source:Version}' libsqlite3-dev 2>/dev/null || true)
[[ -n $version ]] || { echo "$0: libsqlite3-dev is not installed" >&2; exit 1; }
out=$build/sqlite/$version
if [[ -s $out/libsqlite3.a && -s $out/sqlite3.h && -s $out/LICENSE.md && -s $out/sqlite3.c.sha256 ]]; then
    echo "sqlite: reused the library of $version built before in $out"
    echo "sqlite: amalgamation sha256 $(cat "$out/sqlite3.c.sha256")"
    exit 0
fi

work=$build/sqlite/work
rm -rf "$work" "$out"
mkdir -p "$work/apt/sources.list.d" "$work/apt/lists/partial" "$work/apt/cache/archives/partial" \
    "$work/src"
sed 's/^Types: deb$/Types: deb-src/' /etc/apt/sources.list.d/debian.sources \
    >"$work/apt/sources.list.d/debian.sources"
# Everything apt writes stays in $work/apt: its lists, its caches and their locks. The download
# runs as the _apt user, which must reach the folders.
chmod -R a+rX "$work"
chown -R _apt "$work/apt/lists/partial" "$work/apt/cache/archives/partial" "$work/src" 2>/dev/null ||
    true
apt=(apt-get -q -o Dir::Etc::SourceList=/dev/null -o "Dir::Etc::SourceParts=$work/apt/sources.list.d"
    -o "Dir::State::Lists=$work/apt/lists" -o "Dir::Cache=$work/apt/cache"
    -o Dir::Cache::pkgcache= -o Dir::Cache::srcpkgcache=)
"${apt[@]}" update
(cd "$work/src" && "${apt[@]}" source --download-only "sqlite3=$version") || {
    echo "$0: Debian's archive has no source package sqlite3 $version, the version of" \
        "libsqlite3-dev the Linux build links; update libsqlite3-dev or the archive's lists" >&2
    exit 1
}
dsc=$(ls "$work"/src/sqlite3_*.dsc)
got=$(sed -n 's/^Version: //p' "$dsc")
[[ $got == "$version" ]] || {
    echo "$0: the source package is sqlite3 $got, libsqlite3-dev is $version: they must match" >&2
    exit 1
}
# apt has checked every file against the archive's signed index; dpkg-source checks them against
# the .dsc again, and cannot check the uploader's signature without debian-keyring, which it says.
dpkg-source -x "$dsc" "$work/src/tree" >"$work/dpkg-source.log" 2>&1 || {
    cat "$work/dpkg-source.log" >&2
    exit 1
}

# The amalgamation, made by the source's own tools (tclsh).
mkdir "$work/src/tree/amalgamation"
(cd "$work/src/tree/amalgamation" && ../configure >configure.log && make sqlite3.c >make.log)
amalgamation=$work/src/tree/amalgamation
sha=$(sha256sum "$amalgamation/sqlite3.c" | cut -d' ' -f1)
echo "sqlite: amalgamation sha256 $sha (sqlite3 $version)"

# What the journal needs: threads, no extensions loaded from DLLs, no double-quoted strings
# taken for names.
mkdir -p "$out"
x86_64-w64-mingw32-gcc -O2 -DSQLITE_THREADSAFE=1 -DSQLITE_OMIT_LOAD_EXTENSION -DSQLITE_DQS=0 \
    -c "$amalgamation/sqlite3.c" -o "$work/sqlite3.o"
x86_64-w64-mingw32-ar rcs "$out/libsqlite3.a.new" "$work/sqlite3.o"
cp "$amalgamation/sqlite3.h" "$out/"
cp "$work/src/tree/LICENSE.md" "$out/"
echo "$sha" >"$out/sqlite3.c.sha256"
# Last: a library there means everything beside it is complete.
mv "$out/libsqlite3.a.new" "$out/libsqlite3.a"
rm -rf "$work"
echo "sqlite: built $out/libsqlite3.a"
