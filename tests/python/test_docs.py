"""The README's usage example and the demo run as written, so they cannot rot."""
import re
import runpy
from pathlib import Path

ROOT = Path(__file__).resolve().parents[2]


def test_readme_example_runs():
    readme = (ROOT / "README.md").read_text()
    for block in re.findall(r"```python\n(.*?)```", readme, re.S):
        exec(compile(block, "README.md", "exec"), {})


def test_demo_runs(tmp_path, monkeypatch, capsys):
    monkeypatch.chdir(tmp_path)
    runpy.run_path(str(ROOT / "examples" / "demo.py"), run_name="__main__")
    assert "round trip byte-identical: True" in capsys.readouterr().out
    assert (tmp_path / "out" / "after.dot").read_text().startswith("digraph tarnvel {")
