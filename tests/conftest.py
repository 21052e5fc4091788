"""Shared test set-up."""

import os
import sys
from pathlib import Path

ROOT = Path(__file__).resolve().parent.parent
# devtools/ (the local PostgreSQL server used by tests and the demo) lives at the top.
sys.path.insert(0, str(ROOT))

IN_CI = os.environ.get("CI") == "true"
