#!/usr/bin/env bash
# Builds the wheel and tries it on its own: a fresh virtual environment holding only the wheel and
# numpy runs the demo and an import and round-trip smoke from a directory outside the checkout, so
# a file the wheel forgets cannot be picked up from the development build or the source tree.
# Usage: bash scripts/wheel_smoke.sh   (PYTHON=... picks the interpreter that builds; default .venv)
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD
python=${PYTHON:-$root/.venv/bin/python}
wheelhouse=$root/build/wheelhouse

# A build directory of its own, so the wheel never reuses the development install's objects.
rm -f "$wheelhouse"/tarnvel_core-*.whl
"$python" -m pip wheel . -w "$wheelhouse" --no-deps --no-build-isolation -q \
  --disable-pip-version-check -C build-dir="build/wheel-smoke/{wheel_tag}"
wheels=("$wheelhouse"/tarnvel_core-*.whl)
[ ${#wheels[@]} -eq 1 ] && [ -f "${wheels[0]}" ] || { echo "wheel_smoke: expected one wheel in $wheelhouse" >&2; exit 1; }
wheel=${wheels[0]}
echo "wheel_smoke: built $(basename "$wheel")"

tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT
"$python" -m venv "$tmp/venv"
venv_python=$tmp/venv/bin/python
"$venv_python" -m pip install -q --disable-pip-version-check "$wheel" numpy
cp -r "$root/examples" "$tmp/examples"
cd "$tmp"

"$venv_python" - <<'EOF'
import pickle
import sys
from pathlib import Path

import tarnvel_core as tc

where = Path(tc.__file__).resolve()
assert where.is_relative_to(Path(sys.prefix).resolve()), f"imported from outside the venv: {where}"
stubs = where.parent / "tarnvel_core-stubs" / "__init__.pyi"
assert stubs.is_file(), f"type stubs not installed beside the module: {stubs}"
assert tc.version() == "0.0.7", tc.version()

store = tc.GraphStore()
x = store.add_source("x", {"rows": 3})
y = store.add_op("mul", [x], {"scalar": 1.0, "side": "r"})
total = store.add_reduction("sum", [store.add_op("add", [x, y])])
reduced, report = store.reduce(outputs=[total])
blob = reduced.serialize()
assert blob[:4] == b"TIR1" and tc.GraphStore.deserialize(blob).serialize() == blob
assert report["reduced_nodes"] == len(reduced.nodes())
assert pickle.loads(pickle.dumps(reduced)).serialize() == blob
print(f"wheel_smoke: import, reduce and blob round trip fine ({where.parent})")
EOF

"$venv_python" examples/demo.py --out "$tmp/out/demo" > demo.log || { cat demo.log; exit 1; }
grep -q "round trip byte-identical: True" demo.log
grep -q "meaning kept at every output: True" demo.log
for file in before.dot after.dot before.svg after.svg before.png after.png; do
  [ -s "$tmp/out/demo/$file" ] || { cat demo.log; echo "wheel_smoke: demo did not write $file" >&2; exit 1; }
done
echo "wheel_smoke: demo ran from the wheel and wrote its graphs"

# The installed stubs are found the way users' type checkers find them (PEP 561), when mypy exists.
if "$python" -c "import mypy" 2>/dev/null; then
  "$python" -m mypy --strict --no-incremental --python-executable "$venv_python" examples/
  echo "wheel_smoke: mypy --strict finds the installed stubs"
fi
echo "wheel_smoke: OK"
