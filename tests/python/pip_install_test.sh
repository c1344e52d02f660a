#!/usr/bin/env bash
# pip_install_test.sh PYTHON SOURCE_DIR WORK_DIR
# Installs python/ with pip into a fresh virtual environment (the library in
# NEL_C_LIBRARY goes inside the package) and runs the Python example from a
# folder outside the tree, with nothing on PYTHONPATH and no NEL_C_LIBRARY.
set -euo pipefail
python="$1"; src="$2"; work="$3"
rm -rf "$work"; mkdir -p "$work/ports"
"$python" -m venv --system-site-packages "$work/venv"
"$work/venv/bin/pip" install -q --no-build-isolation "$src/python"
cd "$work"
out="$(env -u NEL_C_LIBRARY -u PYTHONPATH NEL_EXAMPLE_SPEED=20 NEL_PORT_DIR="$work/ports" \
  "$work/venv/bin/python" "$src/examples/python/measure.py")"
echo "$out"
grep -q "^analysis complete" <<<"$out"
[[ "$(grep -c ' ok$' <<<"$out")" == 4 ]]
