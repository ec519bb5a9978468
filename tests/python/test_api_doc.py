"""docs/api.md is generated from the module and its stubs; it must be current, and the generator must
refuse stubs that describe another surface than the module's."""
import importlib.util
import subprocess
import sys
from pathlib import Path

import pytest

import tarnvel_core as tc

ROOT = Path(__file__).resolve().parents[2]
SCRIPT = ROOT / "scripts" / "gen_api_doc.py"


def load_generator():
    spec = importlib.util.spec_from_file_location("gen_api_doc", SCRIPT)
    module = importlib.util.module_from_spec(spec)
    spec.loader.exec_module(module)
    return module


def test_api_doc_is_current():
    done = subprocess.run([sys.executable, str(SCRIPT), "--check"], capture_output=True, text=True)
    assert done.returncode == 0, done.stderr


@pytest.mark.parametrize("old, new", [
    ("def cone(self, *, outputs: Sequence[int])", "def cone(self, *, output: Sequence[int])"),
    ("self, *, maximal_fusion: bool = False", "self, *, maximal_fusion: bool = True"),
    ("def reduction_report(self, *, outputs", "def reduction_report(self, outputs"),
    ("    def to_dot(self) -> str:", "    def to_text(self) -> str:"),
    ('    def watermark(self) -> int:\n        """How many of the store\'s nodes have been consumed."""\n', ""),
    ("def version() -> str:", "def release() -> str: ...\ndef version() -> str:"),
    ('    @property\n    def io_schema(self) -> str:\n        """The schema of the payload\'s inputs and outputs."""\n',
     ""),
], ids=["renamed", "default", "keyword-only", "method-name", "missing-method", "extra-function",
        "missing-property"])
def test_generator_refuses_stubs_that_disagree(old, new):
    generator = load_generator()
    stub = generator.STUB.read_text()
    assert stub.count(old) == 1
    generator.render(stub, tc)  # the real stubs agree
    with pytest.raises(generator.Mismatch):
        generator.render(stub.replace(old, new), tc)


def test_page_shows_types_and_documentation():
    page = (ROOT / "docs" / "api.md").read_text()
    assert "def cone(self, *, outputs: Sequence[int]) -> GraphStore" in page
    assert tc.GraphStore.cone.__doc__.splitlines()[0] in page  # the module's own docstring
    assert "| `members` | `NotRequired[list[Member]]` |" in page  # the node view's shape
    # A slot's generic docstring gives way to the stub's, and positional-only parameters show.
    assert "def __eq__(self, value: object, /) -> bool\n```\n\nEqual to another descriptor" in page
    assert "The view of node `id` alone" in page
