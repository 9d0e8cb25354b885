#!/usr/bin/env python3
"""Time the _quarvel module through Python, beside CPython's json on the same text.

The module is imported from PYTHONPATH (the build puts it in build/<preset>/pkg):

  PYTHONPATH=build/default/pkg python3.13 bench/py_bench.py [--functions N] [--ops N] [--runs N]
  PYTHONPATH=build/default/pkg python3.13 bench/py_bench.py --flatten [--loop-count N]

The workload is the `wide` workload of gen_workload.py (1000 functions of 60 ops by default).
Every contender runs once per round, in the same order, for --runs rounds in one process
(--lin-runs for the two sizes of the linearity figures, whose ratio of two medians needs
more rounds to settle on a shared machine); the figures are medians over the rounds. The
ratios printed:

  infer_axes_json(module_json)  against json.dumps(json.loads(module_json))    time ratio
  parse_to_json(source)         bytes of source per second against bytes of
                                module JSON per second of json.loads + dumps   throughput ratio
  fmt_json(module_json)         against json.loads(module_json)                time ratio
  check_json(module_json)       against json.loads(module_json)                time ratio
  linearity                     time on the workload with twice the functions
                                over time on the workload itself, per call
  parse_to_json memory          peak RSS growth of the call alone, in a fresh
                                process, over (source + module JSON) bytes

With --flatten (or --flatten-only) it also times flatten_json(module_json, "main") on a
module whose main is one loop of --loop-count iterations over a body of one op, against
json.loads of the flat JSON it returns; the time ratio for twice the iterations; and the
peak RSS growth of flatten_json in a fresh process over its output JSON bytes.
"""
import argparse
import ctypes
import gc
import importlib.util
import json
import os
import platform
import statistics
import subprocess
import sys
import tempfile
import time

HERE = os.path.dirname(os.path.abspath(__file__))

try:
    import _quarvel
except ImportError as e:
    sys.exit(f"cannot import _quarvel ({e}); put the build's pkg directory on PYTHONPATH")


def load_generator():
    found = importlib.util.spec_from_file_location("gen_workload", os.path.join(HERE, "gen_workload.py"))
    module = importlib.util.module_from_spec(found)
    found.loader.exec_module(module)
    return module


def nbytes(text):
    return len(text.encode("utf-8"))


def timed(step):
    """Wall time in seconds of one call of step; the result is dropped after the clock stops."""
    gc.collect()
    if getattr(step, "trim", False):
        _libc.malloc_trim(0)
    start = time.perf_counter()
    result = step()
    seconds = time.perf_counter() - start
    del result
    return seconds


_libc = ctypes.CDLL(None)


def trimmed(step):
    """`step` behind a marker that `timed` reads: before the clock starts, the allocator gives
    its free memory back to the system."""
    step.trim = True
    return step


def rounds(steps, runs):
    """Runs every (name, step) once per round, in order, for `runs` rounds after one untimed
    warm-up round; returns the median seconds per name."""
    for _, step in steps:
        step()
    times = {name: [] for name, _ in steps}
    for _ in range(runs):
        for name, step in steps:
            times[name].append(timed(step))
    return {name: statistics.median(t) for name, t in times.items()}


# A fresh interpreter that reads its input, resets its peak RSS to the current RSS, makes the
# one call and prints the growth of the peak in bytes and the output's length in UTF-8 bytes.
# -P keeps the current directory off sys.path, so the module comes from PYTHONPATH here too.
CHILD = r"""
import gc, sys
import _quarvel
call = sys.argv[1]
with open(sys.argv[2], encoding="utf-8") as fh:
    text = fh.read()
args = (text,) + tuple(sys.argv[3:])

def vm(key):
    with open("/proc/self/status") as fh:
        for line in fh:
            if line.startswith(key + ":"):
                return int(line.split()[1]) * 1024
    raise RuntimeError(key + " not in /proc/self/status")

gc.collect()
try:
    with open("/proc/self/clear_refs", "w") as fh:
        fh.write("5")
    reset = True
except OSError:
    reset = False
before = vm("VmHWM")
out = getattr(_quarvel, call)(*args)
after = vm("VmHWM")
print(after - before, len(out.encode("utf-8")), int(reset), _quarvel.__file__)
"""


def peak_growth(call, text, *extra):
    """Peak RSS growth in bytes of `_quarvel.<call>(text, *extra)` alone in a fresh process,
    with the byte length of its output and whether the peak could be reset after loading."""
    with tempfile.TemporaryDirectory(prefix="py_bench.") as tmp:
        path = os.path.join(tmp, "input.txt")
        with open(path, "w", encoding="utf-8") as fh:
            fh.write(text)
        done = subprocess.run([sys.executable, "-P", "-c", CHILD, call, path, *extra],
                              capture_output=True, text=True)
    if done.returncode != 0:
        sys.exit(f"memory probe of {call} failed:\n{done.stderr}")
    growth, out_bytes, reset, where = done.stdout.split(maxsplit=3)
    if os.path.realpath(where.strip()) != os.path.realpath(_quarvel.__file__):
        sys.exit(f"memory probe imported another module: {where.strip()}")
    return int(growth), int(out_bytes), reset == "1"


def verdict(value, target, higher_is_better=True):
    ok = value >= target if higher_is_better else value <= target
    return "ok" if ok else "below target" if higher_is_better else "above target"


def mb(n):
    return n / 1e6


def bench_wide(gen, a):
    source = gen.wide(a.functions, a.ops)
    source2 = gen.wide(2 * a.functions, a.ops)
    module_json = _quarvel.parse_to_json(source)
    module_json2 = _quarvel.parse_to_json(source2)
    src_b, json_b = nbytes(source), nbytes(module_json)
    print(f"workload: wide, {a.functions} functions x {a.ops} ops: {mb(src_b):.2f} MB of source, "
          f"{mb(json_b):.2f} MB of module JSON; twice the functions: {mb(nbytes(source2)):.2f} MB, "
          f"{mb(nbytes(module_json2)):.2f} MB")

    med = rounds([
        ("json.loads+dumps", lambda: json.dumps(json.loads(module_json))),
        ("json.loads", lambda: json.loads(module_json)),
        ("infer_axes_json", lambda: _quarvel.infer_axes_json(module_json)),
        ("parse_to_json", lambda: _quarvel.parse_to_json(source)),
        ("fmt_json", lambda: _quarvel.fmt_json(module_json)),
        ("check_json", lambda: _quarvel.check_json(module_json)),
    ], a.runs)

    print(f"\nmedians of {a.runs} interleaved rounds:")
    for name, seconds in med.items():
        print(f"  {name:20s} {seconds * 1e3:9.2f} ms")

    dumps_loads = med["json.loads+dumps"]
    loads = med["json.loads"]
    parse_ratio = (src_b / med["parse_to_json"]) / (json_b / dumps_loads)
    print("\nratios (peer time / ours; higher is better):")
    rows = [
        ("infer_axes_json vs json.loads+dumps", dumps_loads / med["infer_axes_json"], 14),
        ("parse_to_json source B/s vs loads+dumps JSON B/s", parse_ratio, 10),
        ("fmt_json vs json.loads", loads / med["fmt_json"], 10),
        ("check_json vs json.loads", loads / med["check_json"], 10),
    ]
    for label, value, target in rows:
        print(f"  {label:50s} {value:7.2f}  (target >= {target}: {verdict(value, target)})")

    # Both sizes start from the same state of the allocator: free memory that an
    # earlier, larger call left mapped would otherwise spare the smaller call its
    # page faults and flatter the ratio.
    print("\nlinearity (time on twice the functions / time, each call after malloc_trim; "
          "target <= 2.1):")
    inputs = {"parse_to_json": (source, source2)}
    for name in ("parse_to_json", "infer_axes_json", "fmt_json", "check_json"):
        one, two = inputs.get(name, (module_json, module_json2))
        fn = getattr(_quarvel, name)
        lin = rounds([("1x", trimmed(lambda: fn(one))), ("2x", trimmed(lambda: fn(two)))],
                     a.lin_runs)
        value = lin["2x"] / lin["1x"]
        print(f"  {name:50s} {value:7.2f}  ({lin['1x'] * 1e3:.1f} ms, {lin['2x'] * 1e3:.1f} ms; "
              f"{verdict(value, 2.1, False)})")

    if not a.no_memory:
        growth, out_b, reset = peak_growth("parse_to_json", source)
        value = growth / (src_b + out_b)
        print("\nmemory (fresh process, the call alone):")
        print(f"  parse_to_json peak RSS growth {mb(growth):.1f} MB over source + JSON "
              f"{mb(src_b + out_b):.1f} MB: {value:.2f}  (target <= 2.5: {verdict(value, 2.5, False)})"
              + ("" if reset else "  [peak not reset after loading: growth may be understated]"))


def loop_module(count):
    return ("body(x: f32[1]) -> (y: f32[1]) {\n"
            "  y: f32[1] = map[relu](x)\n"
            "}\n\n"
            "main(x: f32[1]) -> (x: f32[1]) {\n"
            f"  x = loop[body, {count}](x)\n"
            "}\n")


def bench_flatten(a):
    module_json = _quarvel.parse_to_json(loop_module(a.loop_count))
    module_json2 = _quarvel.parse_to_json(loop_module(2 * a.loop_count))
    start = time.perf_counter()
    flat = _quarvel.flatten_json(module_json, "main")
    first = time.perf_counter() - start
    flat_b = nbytes(flat)
    print(f"\nflatten: main = loop[body, {a.loop_count}] over a body of one op; "
          f"flat JSON {mb(flat_b):.1f} MB (first call {first:.2f} s)")

    med = rounds([
        ("json.loads(flat)", lambda: json.loads(flat)),
        ("flatten_json", lambda: _quarvel.flatten_json(module_json, "main")),
    ], a.flatten_runs)
    # As for the wide workload, both sizes start from the allocator's state after malloc_trim.
    lin = rounds([
        ("1x", trimmed(lambda: _quarvel.flatten_json(module_json, "main"))),
        ("2x", trimmed(lambda: _quarvel.flatten_json(module_json2, "main"))),
    ], a.flatten_runs)
    print(f"medians of {a.flatten_runs} interleaved rounds:")
    for name, seconds in med.items():
        print(f"  {name:20s} {seconds * 1e3:9.1f} ms")
    value = med["json.loads(flat)"] / med["flatten_json"]
    print(f"  {'flatten_json vs json.loads of its output':50s} {value:7.2f}  "
          f"(target >= 6: {verdict(value, 6)})")
    value = lin["2x"] / lin["1x"]
    print(f"  {'linearity, twice the iterations, after malloc_trim':50s} {value:7.2f}  "
          f"({lin['1x'] * 1e3:.1f} ms, {lin['2x'] * 1e3:.1f} ms; "
          f"target <= 2.1: {verdict(value, 2.1, False)})")
    del flat

    if not a.no_memory:
        growth, out_b, reset = peak_growth("flatten_json", module_json, "main")
        value = growth / out_b
        print(f"  flatten_json peak RSS growth {mb(growth):.1f} MB over flat JSON {mb(out_b):.1f} MB: "
              f"{value:.2f}  (target <= 3: {verdict(value, 3, False)})"
              + ("" if reset else "  [peak not reset after loading: growth may be understated]"))


def main():
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("--functions", type=int, default=1000, help="functions of the wide workload (1000)")
    ap.add_argument("--ops", type=int, default=60, help="ops per function (60)")
    ap.add_argument("--runs", type=int, default=7, help="interleaved rounds (7)")
    ap.add_argument("--lin-runs", type=int, default=15,
                    help="interleaved rounds for each linearity figure (15)")
    ap.add_argument("--no-memory", action="store_true", help="skip the peak-memory probes")
    ap.add_argument("--flatten", action="store_true", help="also time flatten_json on one long loop")
    ap.add_argument("--flatten-only", action="store_true", help="time flatten_json only")
    ap.add_argument("--loop-count", type=int, default=1000000, help="iterations of the loop (1000000)")
    ap.add_argument("--flatten-runs", type=int, default=3, help="interleaved rounds for flatten (3)")
    a = ap.parse_args()
    if a.runs < 1 or a.lin_runs < 1 or a.flatten_runs < 1 or a.functions < 1 or a.ops < 1 or a.loop_count < 1:
        ap.error("sizes and runs must be at least 1")

    print(f"_quarvel from {_quarvel.__file__}")
    print(f"CPython {platform.python_version()}, json C accelerator: "
          f"{json.decoder.c_scanstring is not None}")
    start = time.perf_counter()
    if not a.flatten_only:
        bench_wide(load_generator(), a)
    if a.flatten or a.flatten_only:
        bench_flatten(a)
    print(f"\ntotal {time.perf_counter() - start:.1f} s")


if __name__ == "__main__":
    main()
