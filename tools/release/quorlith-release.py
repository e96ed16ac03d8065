#!/usr/bin/env python3
"""Launcher of the release tooling: runs quorlith_release from this folder, no installation needed."""
import os
import sys

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))

from quorlith_release.__main__ import main  # noqa: E402

if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
