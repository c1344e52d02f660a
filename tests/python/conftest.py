"""The package under test is python/ of this tree; the library is NEL_C_LIBRARY (set by CTest)."""
import os
import sys
import tempfile
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parents[2] / "python"))
# The port search meets no device of this machine.
os.environ.setdefault("NEL_PORT_DIR", tempfile.mkdtemp(prefix="nel_py_ports_"))
