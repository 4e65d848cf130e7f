#!/usr/bin/env bash
# Builds the Debian packages (libvorasel0, libvorasel-dev, vorasel-tools, libifd-vorasel) with
# dpkg-buildpackage and debhelper from an existing build tree, so packaging adds an install,
# not another build, and runs lintian on them.
# Usage: scripts/package.sh [BUILD_DIR [OUT_DIR]]   (default build/default, build/packages)
# Without BUILD_DIR on a fresh checkout, the default tree is configured and built first.
set -euo pipefail
cd "$(dirname "$0")/.."
src=$PWD
build=$(realpath "${1:-build/default}")
out=$(realpath -m "${2:-build/packages}")
if [ ! -f "$build/CMakeCache.txt" ]; then
    if [ "$build" != "$src/build/default" ]; then
        echo "no build tree at $build" >&2
        exit 2
    fi
    # A fresh checkout: the default tree first.
    scripts/install-deps.sh build
    cmake --preset default
    cmake --build --preset default
fi

version=$(sed -n '1s/^[^(]*(\([^)]*\)).*/\1/p' packaging/debian/changelog)
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
# dpkg-buildpackage wants a source tree with debian/ at its top and writes beside it.
tree=$work/libvorasel-$version
mkdir -p "$tree"
cp -r packaging/debian "$tree/debian"

(cd "$tree" && VORASEL_BUILD_DIR="$build" DEB_BUILD_OPTIONS="noautodbgsym ${DEB_BUILD_OPTIONS:-}" \
    dpkg-buildpackage -b -us -uc --no-check-builddeps) >"$work/build.log" 2>&1 || {
    cat "$work/build.log" >&2
    exit 1
}
mkdir -p "$out"
rm -f "$out"/*.deb
mv "$work"/*.deb "$out"/
echo "packages in $out:"
for deb in "$out"/*.deb; do
    printf '  %-48s %8s bytes\n' "$(basename "$deb")" "$(stat -c %s "$deb")"
done

if command -v lintian >/dev/null; then
    # Errors fail the build; warnings are listed (each explained in the README).
    lintian --fail-on error \
        "$out"/*.deb || exit 1
fi
