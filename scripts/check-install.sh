#!/usr/bin/env bash
# Checks `cmake --install`: a fresh venv of the interpreter the module was
# built for, the install into it, then an import and a call from outside the
# source tree, and the typing stub beside the module.
#
#   scripts/check-install.sh [BUILD_DIR]     (default: build/default)
set -euo pipefail
cd "$(dirname "$0")/.."
build=$(realpath "${1:-build/default}")
python=$(sed -n 's/^Python_EXECUTABLE:[A-Z]*=//p' "$build/CMakeCache.txt")
[ -x "$python" ] || { echo "no interpreter recorded in $build/CMakeCache.txt" >&2; exit 1; }

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
"$python" -m venv "$work/venv"
cmake --install "$build" --prefix "$work/venv" >/dev/null

cd "$work"  # no _quarvel here or on the path but the installed one
env -u PYTHONPATH "$work/venv/bin/python" -I - "$work/venv" <<'PY'
import inspect, json, os, sys, sysconfig
import _quarvel

venv = sys.argv[1]
site = sysconfig.get_path("platlib")
assert sys.prefix == venv, (sys.prefix, venv)
assert os.path.dirname(_quarvel.__file__) == site, (_quarvel.__file__, site)
stub = os.path.join(site, "_quarvel.pyi")
assert os.path.isfile(stub), stub
source = "f(x: f32[2]) -> (y: f32[2]) {\n  y: f32[2] = map[relu](x)\n}\n"
assert _quarvel.fmt_source(source) == source
report = json.loads(_quarvel.check_json(_quarvel.parse_to_json(source)))
assert report["errors"] == [], report
print(f"install check: _quarvel {inspect.signature(_quarvel.fmt_file)} imported from {site}")
PY
