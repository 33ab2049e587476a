#!/usr/bin/env bash
# Builds the Debian package nestrap_<version>_<arch>.deb with debhelper from a
# copy of the source tree (uncommitted changes included), checks it with
# lintian (no error, no warning) and prints its path.
# Usage: tools/package.sh [output directory]   (default: build/package)
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
"$top/tools/deps.sh" --package >&2
out=$(mkdir -p "${1:-${NESTRAP_BUILD_DIR:-$top/build}/package}" && cd "${1:-${NESTRAP_BUILD_DIR:-$top/build}/package}" && pwd)
version=$(sed -n 's/^project(nestrap VERSION \([0-9.]*\) .*/\1/p' "$top/CMakeLists.txt")
[ -n "$version" ] || { echo "no project version in CMakeLists.txt" >&2; exit 1; }

# The copy has no .git: the commit goes in as NESTRAP_COMMIT, as the
# version text of a build from the checkout would show it.
commit=""
if git -C "$top" rev-parse --git-dir >/dev/null 2>&1; then
  commit=$(git -C "$top" rev-parse --short=12 HEAD)
  git -C "$top" diff --quiet HEAD -- || commit="$commit-dirty"
fi

work="$out/work"
rm -rf "$work"
src="$work/nestrap-$version"
mkdir -p "$src"
if [ -n "$commit" ]; then
  (cd "$top" && git ls-files -z --cached --others --exclude-standard |
     xargs -0 -I{} sh -c 'test -e "{}" && printf "%s\0" "{}"' | tar --null -T - -cf -) |
    tar -C "$src" -xf -
else
  tar -C "$top" --exclude='./build*' -cf - . | tar -C "$src" -xf -
fi
cp -r "$top/dist/debian" "$src/debian"
cat > "$src/debian/changelog" <<CHANGES
nestrap ($version) unstable; urgency=medium

  * Built from ${commit:-a source tree without git}.

 -- $(sed -n 's/^Maintainer: //p' "$src/debian/control")  $(date -R)
CHANGES

(cd "$src" && NESTRAP_COMMIT="$commit" dpkg-buildpackage -b -us -uc >"$work/build.log" 2>&1) ||
  { tail -c 4000 "$work/build.log" >&2; exit 1; }
deb="$out/nestrap_${version}_$(dpkg-architecture -qDEB_HOST_ARCH).deb"
mv "$work/$(basename "$deb")" "$deb"
# Lintian as root says so on standard error; that is no finding.
lintian --fail-on error,warning --suppress-tags-from-file /dev/null "$deb" >&2
echo "$deb"
