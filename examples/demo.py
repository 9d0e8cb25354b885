"""Prints a small model canonically and as JSON through the _quarvel module.

    python3.13 demo.py [model.qrv]
"""
import json
import os
import sys

import _quarvel

HERE = os.path.dirname(os.path.abspath(__file__))


def main(argv):
    path = argv[1] if len(argv) > 1 else os.path.join(HERE, "mlp.qrv")

    name = os.path.basename(path)
    print(f"== {name}: canonical source ==")
    print(_quarvel.fmt_file(path), end="")

    with open(path, encoding="utf-8") as f:
        module_json = _quarvel.parse_to_json(f.read())
    print(f"\n== {name}: JSON form ==")
    print(module_json)

    report = json.loads(_quarvel.check_file(path))
    print(f"\n== check: {len(report['errors'])} error(s), "
          f"params {sorted(report['constraints']['params'])} ==")
    for error in report["errors"]:
        print("  " + error)
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
