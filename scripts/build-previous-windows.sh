#!/usr/bin/env bash
# Builds the installer of the release before the version of BUILD_DIR (a build of
# scripts/build-windows.sh) from git history, with that release's own build script, for the
# upgrade check of scripts/check-windows-package.sh. The release is its tag (vX.Y.Z, the newest
# older than this version); a clone without tags takes the commit before the one that set this
# version in CMakeLists.txt. Reuses BUILD_DIR's SQLite, and an installer built before.
#   scripts/build-previous-windows.sh BUILD_DIR
# Prints the installer's path; exits 3 when git history holds no earlier release.
set -euo pipefail
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
build=$(cd "${1:?usage: $0 BUILD_DIR}" && pwd)
version=$(sed -n 's/^CMAKE_PROJECT_VERSION:STATIC=//p' "$build/CMakeCache.txt")

commit=
while read -r tag; do
    older=${tag#v}
    if [[ $older != "$version" && $(printf '%s\n%s\n' "$older" "$version" | sort -V | head -n 1) == "$older" ]]; then
        commit=$(git -C "$root" rev-parse "$tag^{commit}")
        break
    fi
done < <(git -C "$root" tag -l 'v[0-9]*' --sort=-v:refname)
if [[ -z $commit ]]; then
    bump=$(git -C "$root" log --reverse --format=%H -S"VERSION $version" -- CMakeLists.txt | head -n 1)
    [[ -n $bump ]] && commit=$(git -C "$root" rev-parse -q --verify "$bump^" || true)
fi
[[ -n $commit ]] || { echo "$0: git history holds no release before $version" >&2; exit 3; }
older=$(git -C "$root" show "$commit:CMakeLists.txt" | sed -n 's/^project(Orvendal VERSION \([0-9.]*\).*/\1/p')
[[ -n $older && $older != "$version" ]] || {
    echo "$0: $commit is no earlier release (version ${older:-unknown})" >&2
    exit 3
}

out=$build/previous
setup=$out/orvendal-$older-windows-x64-setup.exe
if [[ -s $setup ]]; then
    echo "$setup"
    exit 0
fi
scratch=$(mktemp -d /tmp/orvendal-previous.XXXXXX)
trap 'rm -rf "$scratch"' EXIT
mkdir "$scratch/src" "$scratch/build"
git -C "$root" archive "$commit" | tar -x -C "$scratch/src"
cp -a "$build/sqlite" "$scratch/build/"
bash "$scratch/src/scripts/build-windows.sh" "$scratch/build" >"$scratch/build.log" 2>&1 || {
    tail -n 30 "$scratch/build.log" >&2
    exit 1
}
mkdir -p "$out"
cp "$scratch/build/orvendal-$older-windows-x64-setup.exe" "$setup"
echo "$setup"
