"""The README's examples and the demo run as written, so they cannot rot."""
import re
import shutil
import subprocess
import sys
from pathlib import Path

ROOT = Path(__file__).resolve().parents[2]


def readme_blocks() -> list[tuple[int, str]]:
    """Every ```python block of the README with the line it starts on."""
    readme = (ROOT / "README.md").read_text()
    return [(readme.count("\n", 0, m.start(1)) + 1, m.group(1))
            for m in re.finditer(r"^```python\n(.*?)^```", readme, re.S | re.M)]


def test_readme_examples_run_in_order():
    # The guide's examples continue one another, so they share one namespace; padding each block
    # to its README line makes a failure point at the README line that failed.
    blocks = readme_blocks()
    assert len(blocks) >= 6, "the usage guide lost its examples"
    namespace: dict[str, object] = {"__name__": "readme"}
    for line, block in blocks:
        exec(compile("\n" * (line - 1) + block, str(ROOT / "README.md"), "exec"), namespace)


def test_demo_runs_from_a_fresh_directory(tmp_path):
    # The way `make demo` runs it: a fresh interpreter, its own folder on sys.path, default output.
    done = subprocess.run([sys.executable, str(ROOT / "examples" / "demo.py")], cwd=tmp_path,
                          capture_output=True, text=True, timeout=240)
    assert done.returncode == 0, done.stderr
    out = done.stdout
    for claim in ("round trip byte-identical: True", "same nodes: True",
                  "finalize gives the same bytes: True", "meaning kept at every output: True"):
        assert claim in out
    assert "equal: False" not in out
    assert "out/demo" in out, "the demo must name the folder it writes"
    graphs = tmp_path / "out" / "demo"
    assert (graphs / "before.dot").read_text().startswith("digraph tarnvel {")
    assert "shape=doublecircle" in (graphs / "after.dot").read_text()
    if shutil.which("dot"):
        for name in ("before", "after"):
            assert (graphs / f"{name}.svg").read_text().lstrip().startswith(("<?xml", "<svg"))
            assert (graphs / f"{name}.png").read_bytes()[:8] == b"\x89PNG\r\n\x1a\n"

