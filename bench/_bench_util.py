"""What the Python benches share."""

import os
import sys


def interpreter_of(module_dir: str) -> str:
    """The interpreter the build made the module in `module_dir` for (its
    interpreter.txt), or this one when the file is missing or empty."""
    try:
        with open(os.path.join(module_dir, "interpreter.txt"), encoding="utf-8") as f:
            return f.read().strip() or sys.executable
    except OSError:
        return sys.executable
