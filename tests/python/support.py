"""Helpers shared by the Python suites of _quarvel."""
import atexit
import contextlib
import os
import shutil
import sys
import tempfile
import unittest

import _quarvel

FIXTURES = os.environ.get(
    "QUARVEL_FIXTURES",
    os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "fixtures"))

# A path that cannot be read: every call that reaches a body reading it fails
# there.
_missing_dir = tempfile.mkdtemp(prefix="quarvel-test-")
atexit.register(shutil.rmtree, _missing_dir, ignore_errors=True)
MISSING = os.path.join(_missing_dir, "absent.qrv")

UNDER_ASAN = "libasan" in os.environ.get("LD_PRELOAD", "")


@contextlib.contextmanager
def captured_fd2():
    """Redirects file descriptor 2 into a temporary file; yields a reader of it."""
    sys.stderr.flush()
    with tempfile.TemporaryFile() as tmp:
        saved = os.dup(2)
        os.dup2(tmp.fileno(), 2)
        try:
            yield lambda: (tmp.seek(0), tmp.read().decode("utf-8", "replace"))[1]
        finally:
            os.dup2(saved, 2)
            os.close(saved)


def body_failure(fn, *args, **kwargs):
    """Calls fn, which must get past its arguments and fail in its body.

    Returns the raised exception (a PanicException). The report on file
    descriptor 2 is swallowed.
    """
    with captured_fd2():
        try:
            fn(*args, **kwargs)
        except BaseException as e:  # PanicException is no Exception
            return e
    raise AssertionError(f"{fn.__name__} did not fail")


PanicException = type(body_failure(_quarvel.fmt_file, MISSING))


class QuarvelCase(unittest.TestCase):
    def assert_reaches_body(self, fn, *args, **kwargs):
        """The arguments were accepted: the call got to its body and failed there."""
        e = body_failure(fn, *args, **kwargs)
        self.assertIs(type(e), PanicException, f"{type(e).__name__}: {e}")

    def assert_raises_text(self, exc_type, text, fn, *args, **kwargs):
        with self.assertRaises(BaseException) as cm:
            fn(*args, **kwargs)
        self.assertIs(type(cm.exception), exc_type, repr(cm.exception))
        self.assertEqual(str(cm.exception), text)
        return cm.exception

    def body_message(self, fn, *args, **kwargs):
        """The failure message of a call that must fail in its body."""
        e = body_failure(fn, *args, **kwargs)
        self.assertIs(type(e), PanicException, repr(e))
        return str(e)
