#!/usr/bin/env bash
# Builds the wheels (scripts/build_wheel.sh: one per environment in build/venvs.txt, or PYTHON's
# alone) and tries each on its own: a fresh virtual environment holding only the wheel and numpy
# runs an import, a reduction and a round trip, then the demo, from a directory outside the
# checkout, so a file the wheel forgets cannot be picked up from the development build or the
# source tree. Fails if the extension needs, exports or maps any shared library beyond glibc's and
# the interpreter's, or exports any symbol but its init function.
# Usage: bash scripts/wheel_smoke.sh   (PYTHON=... tries that interpreter's wheel alone)
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD
# Absolute, since each pass runs from a directory of its own.
if [ -n "${PYTHON:-}" ]; then pythons=("$(cd "$(dirname "$PYTHON")" && pwd)/$(basename "$PYTHON")"); else
  pythons=(); for venv in $(cat build/venvs.txt); do pythons+=("$root/$venv/bin/python"); done
fi
version=$("${pythons[0]}" -c 'import tomllib; print(tomllib.load(open("pyproject.toml", "rb"))["project"]["version"])')

# One pass per wheel (the body is not indented, for the here-document's sake).
for python in "${pythons[@]}"; do
wheel=$(PYTHON=$python bash scripts/build_wheel.sh | tail -1)
echo "wheel_smoke: trying $(basename "$wheel")"

tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT
"$python" -m venv "$tmp/venv"
venv_python=$tmp/venv/bin/python
"$venv_python" -m pip install -q --disable-pip-version-check "$wheel" numpy
cp -r "$root/examples" "$tmp/examples"
cd "$tmp"

# What the extension asks of the dynamic loader: glibc's libraries, and one exported symbol.
extension=$(find "$tmp/venv" -name 'tarnvel_core*.so')
needed=$(readelf -dW "$extension" | sed -n 's/.*(NEEDED).*\[\(.*\)\]/\1/p' | sort | tr '\n' ' ')
for library in $needed; do
  case "$library" in libc.so.6|libm.so.6|ld-linux-x86-64.so.2|libpthread.so.0|libdl.so.2|librt.so.1) ;;
    *) echo "wheel_smoke: the extension needs $library (needs: $needed)" >&2; exit 1 ;;
  esac
done
exported=$(nm -D --defined-only "$extension" | awk '{print $3}' | tr '\n' ' ')
[ "$exported" = "PyInit_tarnvel_core " ] || { echo "wheel_smoke: the extension exports: $exported" >&2; exit 1; }

"$venv_python" - "$version" <<'EOF'
import importlib.metadata
import pickle
import sys
from pathlib import Path


def mapped() -> set[Path]:
    """The shared objects this process has mapped."""
    return {Path(fields[-1]) for fields in map(str.split, Path("/proc/self/maps").read_text().splitlines())
            if len(fields) == 6 and ".so" in fields[-1]}


interpreters = mapped()  # the interpreter's own, with what its standard library loaded above

import tarnvel_core as tc  # noqa: E402

where = Path(tc.__file__).resolve()
assert where.is_relative_to(Path(sys.prefix).resolve()), f"imported from outside the venv: {where}"

store = tc.GraphStore()
x = store.add_source("x", {"rows": 3})
y = store.add_op("mul", [x], {"scalar": 1.0, "side": "r"})
total = store.add_reduction("sum", [store.add_op("add", [x, y])])
reduced, report = store.reduce(outputs=[total])
blob = reduced.serialize()
assert blob[:4] == b"TIR1" and tc.GraphStore.deserialize(blob).serialize() == blob
assert report["reduced_nodes"] == len(reduced.nodes())
assert pickle.loads(pickle.dumps(reduced)).serialize() == blob
try:
    store.add_op("neg", [99])
except ValueError as error:
    assert str(error) == "no node with id 99"

# What the extension brought in must be itself and glibc's libraries, nothing else: no Abseil,
# no libstdc++, no libgcc_s.
glibc = {"libc.so.6", "libm.so.6", "ld-linux-x86-64.so.2", "libpthread.so.0", "libdl.so.2", "librt.so.1"}
now = mapped()
assert where in now, "the extension is not mapped: the check below would prove nothing"
foreign = sorted(str(path) for path in now - interpreters if path.name not in glibc and path != where)
assert not foreign, f"shared libraries beyond glibc and the interpreter: {foreign}"
distribution = importlib.metadata.distribution("tarnvel-core")
assert distribution.metadata["License-Expression"] == "Apache-2.0", distribution.metadata["License-Expression"]
assert any(file.name == "LICENSE" for file in distribution.files or []), "the wheel carries no LICENSE"
stubs = where.parent / "tarnvel_core-stubs" / "__init__.pyi"
assert stubs.is_file(), f"type stubs not installed beside the module: {stubs}"
assert tc.version() == sys.argv[1], (tc.version(), sys.argv[1])

print(f"wheel_smoke: import, reduce and blob round trip fine ({where.parent}), "
      f"nothing mapped beyond glibc and the interpreter")
EOF

"$venv_python" examples/demo.py --out "$tmp/out/demo" > demo.log || { cat demo.log; exit 1; }
grep -q "round trip byte-identical: True" demo.log
grep -q "meaning kept at every output: True" demo.log
for file in before.dot after.dot before.svg after.svg before.png after.png; do
  [ -s "$tmp/out/demo/$file" ] || { cat demo.log; echo "wheel_smoke: demo did not write $file" >&2; exit 1; }
done
echo "wheel_smoke: demo ran from the wheel and wrote its graphs"

# The installed stubs are found the way users' type checkers find them (PEP 561), when mypy exists;
# once is enough.
if [ "$python" = "${pythons[0]}" ] && "$python" -c "import mypy" 2>/dev/null; then
  "$python" -m mypy --strict --no-incremental --python-executable "$venv_python" examples/
  echo "wheel_smoke: mypy --strict finds the installed stubs"
fi
cd "$root"
rm -rf "$tmp"
done
echo "wheel_smoke: OK"
