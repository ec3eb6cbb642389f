#!/usr/bin/env bash
# Makes the Debian package: installs what is missing, builds a Release tree in
# build-package, runs cpack there, then looks inside the package: its control fields, no
# maintainer script (installing or upgrading never touches the user's files), and its
# files unpacked into a temporary root and checked as tests/install/install_check.sh checks an
# installed copy. Prints the package's path last.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup.sh

cmake -S . -B build-package -G Ninja -DCMAKE_BUILD_TYPE=Release -DORVEK_BUILD_TESTS=OFF >/dev/null
cmake --build build-package
rm -f build-package/orvekdata_*.deb
(cd build-package && cpack -G DEB >/dev/null)
debs=(build-package/orvekdata_*.deb)
if ((${#debs[@]} != 1)) || [[ ! -f ${debs[0]} ]]; then
  echo "package.sh: cpack made no package" >&2
  exit 1
fi
deb=$PWD/${debs[0]}

dpkg-deb --info "$deb"
members=$(dpkg-deb --ctrl-tarfile "$deb" | tar -t | sed 's|^\./||' | grep -v '^$' | sort | tr '\n' ' ')
if [[ $members != "control md5sums " ]]; then
  echo "package.sh: the package's control part holds more than control and md5sums: $members" >&2
  exit 1
fi
outside=$(dpkg-deb --fsys-tarfile "$deb" | tar -t | grep -v -E '^\./(usr/?.*)?$' || true)
if [[ -n $outside ]]; then
  echo "package.sh: files outside /usr: $outside" >&2
  exit 1
fi

root=$(mktemp -d)
trap 'rm -rf "$root"' EXIT
dpkg -x "$deb" "$root"
bash tests/install/install_check.sh "$root/usr"
echo "$deb"
