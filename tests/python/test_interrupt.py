"""Ctrl-C ends a call that waits on a file, as it ends Python's own open()."""
import json
import os
import signal
import subprocess
import sys
import tempfile
import textwrap
import time
import unittest

from support import FIXTURES

# The call runs in a child process, which gets SIGINT from here: the call
# holds the interpreter lock, so no thread of the child could send it, and a
# call that ignores it must not hang the suite.
CHILD = textwrap.dedent("""
    import json, os, signal, sys, time
    import _quarvel

    fifo, call = sys.argv[1], sys.argv[2]
    decoder = os.path.join(os.environ["QUARVEL_FIXTURES"], "decoder.qrv")
    calls = {
        "fmt_file": lambda: _quarvel.fmt_file(fifo),
        "check_file": lambda: _quarvel.check_file(fifo),
        "load_flat_json source": lambda: _quarvel.load_flat_json(fifo, fifo),
        "load_flat_json configuration": lambda: _quarvel.load_flat_json(decoder, fifo),
    }
    # A shell may start its background jobs with SIGINT ignored.
    signal.signal(signal.SIGINT, signal.default_int_handler)
    print("ready", flush=True)
    start = time.monotonic()
    try:
        calls[call]()
        outcome = "returned"
    except BaseException as e:
        outcome = type(e).__name__
    print(json.dumps({"outcome": outcome, "seconds": time.monotonic() - start}))
""")

GIVE_UP = 5.0


class InterruptTest(unittest.TestCase):
    # Needs the whole-file reader to poll for a pending interrupt when open()
    # or read() is interrupted by a signal: a reader that simply retries keeps
    # waiting on the FIFO, which has no writer, and this test fails.
    def test_sigint_ends_a_call_waiting_on_a_fifo(self):
        for call in ["fmt_file", "check_file", "load_flat_json source",
                     "load_flat_json configuration"]:
            with self.subTest(call=call), tempfile.TemporaryDirectory() as tmp:
                fifo = os.path.join(tmp, "pipe.qrv")
                os.mkfifo(fifo)
                proc = subprocess.Popen(
                    [sys.executable, "-c", CHILD, fifo, call], stdout=subprocess.PIPE,
                    stderr=subprocess.PIPE, text=True,
                    env=dict(os.environ, QUARVEL_FIXTURES=FIXTURES))
                try:
                    self.assertEqual(proc.stdout.readline(), "ready\n")
                    time.sleep(0.2)  # into the call, waiting on the FIFO
                    proc.send_signal(signal.SIGINT)
                    out, err = proc.communicate(timeout=GIVE_UP)
                except subprocess.TimeoutExpired:
                    proc.kill()
                    proc.communicate()
                    self.fail(f"{call}: still waiting {GIVE_UP} s after SIGINT")
                self.assertEqual(proc.returncode, 0, err)
                child = json.loads(out)
                self.assertEqual(child["outcome"], "KeyboardInterrupt", err)
                self.assertLess(child["seconds"], 1.0)


if __name__ == "__main__":
    unittest.main()
