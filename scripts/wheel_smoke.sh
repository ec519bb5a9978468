#!/usr/bin/env bash
# Builds the repaired wheel (scripts/build_wheel.sh) and tries it on its own: a fresh virtual
# environment holding only the wheel and numpy runs the demo and an import and round-trip smoke
# from a directory outside the checkout, so a file the wheel forgets cannot be picked up from the
# development build or the source tree. Fails if the extension loads an Abseil library from
# anywhere but the wheel.
# Usage: bash scripts/wheel_smoke.sh   (PYTHON=... picks the interpreter that builds; default .venv)
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD
python=${PYTHON:-$root/.venv/bin/python}
wheel=$(PYTHON=$python bash scripts/build_wheel.sh | tail -1)
version=$("$python" -c 'import tomllib; print(tomllib.load(open("pyproject.toml", "rb"))["project"]["version"])')
echo "wheel_smoke: trying $(basename "$wheel")"

tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT
"$python" -m venv "$tmp/venv"
venv_python=$tmp/venv/bin/python
"$venv_python" -m pip install -q --disable-pip-version-check "$wheel" numpy
cp -r "$root/examples" "$tmp/examples"
cd "$tmp"

"$venv_python" - "$version" <<'EOF'
import importlib.metadata
import pickle
import sys
from pathlib import Path

import tarnvel_core as tc

where = Path(tc.__file__).resolve()
assert where.is_relative_to(Path(sys.prefix).resolve()), f"imported from outside the venv: {where}"
# Every Abseil library the process maps must be one the wheel carries.
bundled = (where.parent / "tarnvel_core.libs").resolve()
abseil = {Path(line.split()[-1]) for line in Path("/proc/self/maps").read_text().splitlines()
          if "/libabsl_" in line}
assert abseil, "no Abseil library is loaded: the check below would prove nothing"
foreign = sorted(str(path) for path in abseil if path.parent.resolve() != bundled)
assert not foreign, f"Abseil loaded from outside the wheel: {foreign}"
distribution = importlib.metadata.distribution("tarnvel-core")
assert distribution.metadata["License-Expression"] == "Apache-2.0", distribution.metadata["License-Expression"]
assert any(file.name == "LICENSE" for file in distribution.files or []), "the wheel carries no LICENSE"
stubs = where.parent / "tarnvel_core-stubs" / "__init__.pyi"
assert stubs.is_file(), f"type stubs not installed beside the module: {stubs}"
assert tc.version() == sys.argv[1], (tc.version(), sys.argv[1])

store = tc.GraphStore()
x = store.add_source("x", {"rows": 3})
y = store.add_op("mul", [x], {"scalar": 1.0, "side": "r"})
total = store.add_reduction("sum", [store.add_op("add", [x, y])])
reduced, report = store.reduce(outputs=[total])
blob = reduced.serialize()
assert blob[:4] == b"TIR1" and tc.GraphStore.deserialize(blob).serialize() == blob
assert report["reduced_nodes"] == len(reduced.nodes())
assert pickle.loads(pickle.dumps(reduced)).serialize() == blob
print(f"wheel_smoke: import, reduce and blob round trip fine ({where.parent}), "
      f"Abseil from the wheel: {', '.join(sorted(path.name for path in abseil))}")
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
