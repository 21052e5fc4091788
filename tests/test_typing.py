"""The public API type-checks under ``mypy --strict`` through the shipped stubs."""

import subprocess
import sys
from pathlib import Path

USAGE = Path(__file__).parent / "typing" / "usage.py"


def test_usage_example_passes_mypy_strict(tmp_path):
    result = subprocess.run(
        [sys.executable, "-m", "mypy", "--strict", "--no-incremental",
         "--cache-dir", str(tmp_path / "cache"), str(USAGE)],
        capture_output=True, text=True, timeout=300,
    )
    assert result.returncode == 0, result.stdout + result.stderr
