"""Module surface, argument matching and the failure boundary of _quarvel."""
import importlib
import inspect
import io
import json
import os
import re
import shutil
import subprocess
import sys
import textwrap
import unittest

import _quarvel
from support import MISSING, UNDER_ASAN, PanicException, QuarvelCase, body_failure, captured_fd2

NAMES = ["load_flat_json", "parse_to_json", "resolve_json", "flatten_json", "infer_axes_json",
         "check_json", "fmt_source", "fmt_json", "check_file", "fmt_file"]

SIGNATURES = {
    "load_flat_json": "(qrv_path, config_path, entry='main', cache_keys=Ellipsis)",
    "parse_to_json": "(source)",
    "resolve_json": "(module_json, config_json)",
    "flatten_json": "(module_json, entry, cache_keys=Ellipsis)",
    "infer_axes_json": "(module_json)",
    "check_json": "(module_json)",
    "fmt_source": "(source, *, width=100)",
    "fmt_json": "(module_json, *, width=100)",
    "check_file": "(path)",
    "fmt_file": "(path, *, width=100)",
}


def run_child(code):
    """Runs code in a fresh interpreter; returns (stdout, stderr as bytes)."""
    proc = subprocess.run([sys.executable, "-c", textwrap.dedent(code)], capture_output=True,
                          timeout=120, env=dict(os.environ), cwd=os.path.dirname(__file__))
    if proc.returncode != 0:
        raise AssertionError(f"child failed ({proc.returncode}):\n{proc.stderr.decode()}")
    return proc.stdout.decode(), proc.stderr


class ModuleSurfaceTest(unittest.TestCase):
    def test_module_attributes(self):
        self.assertEqual(_quarvel.__doc__, "")
        self.assertEqual(_quarvel.__name__, "_quarvel")
        self.assertIsInstance(_quarvel.__all__, list)
        self.assertEqual(_quarvel.__all__, NAMES)
        # No classes, constants or exception types of its own.
        public = sorted(n for n in dir(_quarvel) if not n.startswith("_"))
        self.assertEqual(public, sorted(NAMES))

    def test_functions(self):
        for name in NAMES:
            with self.subTest(name):
                fn = getattr(_quarvel, name)
                self.assertEqual(fn.__name__, name)
                self.assertEqual(str(inspect.signature(fn)), SIGNATURES[name])
                self.assertIsNone(fn.__doc__)
                self.assertEqual(fn.__module__, "_quarvel")
                self.assertIs(fn.__self__, _quarvel)

    def test_only_the_entry_point_is_exported(self):
        nm = shutil.which("nm")
        if nm is None:
            self.skipTest("no nm")
        out = subprocess.run([nm, "-D", "--defined-only", _quarvel.__file__], capture_output=True,
                             text=True, check=True).stdout
        self.assertEqual([line.split()[-1] for line in out.splitlines()], ["PyInit__quarvel"])

    def test_repeated_import_gives_the_same_module(self):
        first = _quarvel
        fmt_file = _quarvel.fmt_file
        del sys.modules["_quarvel"]
        try:
            again = importlib.import_module("_quarvel")
        finally:
            sys.modules["_quarvel"] = first
        self.assertIs(again, first)
        self.assertIs(again.fmt_file, fmt_file)
        self.assertEqual(again.__all__, NAMES)

    def test_second_interpreter_is_refused(self):
        try:
            import _interpreters
        except ImportError:
            self.skipTest("no _interpreters module")
        # "legacy" lets the import reach the module's own check; "isolated"
        # (the default) is refused by the interpreter before that.
        for config in ("legacy", "isolated"):
            with self.subTest(config):
                iid = _interpreters.create(config)
                try:
                    failure = _interpreters.run_string(iid, "import _quarvel")
                finally:
                    _interpreters.destroy(iid)
                self.assertIsNotNone(failure)
                self.assertEqual(failure.type.__name__, "ImportError")
                if config == "legacy":
                    self.assertIn("sub-interpreters", failure.msg)
        # The main interpreter keeps its module.
        self.assertIs(importlib.import_module("_quarvel"), _quarvel)


class MatchingTest(QuarvelCase):
    CASES = [
        # (function, positional, keywords, TypeError text)
        ("fmt_file", ("a.qrv", 80), {},
         "fmt_file() takes 1 positional arguments but 2 were given"),
        ("fmt_file", (), {"size": 1}, "fmt_file() got an unexpected keyword argument 'size'"),
        ("fmt_file", ("a.qrv",), {"path": "b.qrv"},
         "fmt_file() got multiple values for argument 'path'"),
        ("fmt_file", (), {}, "fmt_file() missing 1 required positional argument: 'path'"),
        ("fmt_file", (), {"width": 80},
         "fmt_file() missing 1 required positional argument: 'path'"),
        ("fmt_source", ("x",), {"width": 1, "Width": 2},
         "fmt_source() got an unexpected keyword argument 'Width'"),
        ("flatten_json", ("m",), {}, "flatten_json() missing 1 required positional argument: 'entry'"),
        ("flatten_json", ("m", "e", [], "x"), {},
         "flatten_json() takes from 2 to 3 positional arguments but 4 were given"),
        ("flatten_json", ("m", "e"), {"entry": "f"},
         "flatten_json() got multiple values for argument 'entry'"),
        ("flatten_json", (), {"entry": "e", "entry2": 1},
         "flatten_json() got an unexpected keyword argument 'entry2'"),
        ("resolve_json", (), {},
         "resolve_json() missing 2 required positional arguments: 'module_json' and 'config_json'"),
        ("resolve_json", (), {"config_json": "{}"},
         "resolve_json() missing 1 required positional argument: 'module_json'"),
        ("resolve_json", ("a", "b", "c"), {},
         "resolve_json() takes 2 positional arguments but 3 were given"),
        ("load_flat_json", ("a", "b", "c", [], "d"), {},
         "load_flat_json() takes from 2 to 4 positional arguments but 5 were given"),
        ("load_flat_json", ("a",), {"qrv_path": "b"},
         "load_flat_json() got multiple values for argument 'qrv_path'"),
        ("check_json", (), {"\ud800": 1}, "check_json() got an unexpected keyword argument '\ud800'"),
        # Matching comes before conversion: the int is never looked at.
        ("parse_to_json", (1, 2), {}, "parse_to_json() takes 1 positional arguments but 2 were given"),
    ]

    def test_matching_errors(self):
        for name, args, kwargs, text in self.CASES:
            with self.subTest(name=name, args=args, kwargs=kwargs):
                self.assert_raises_text(TypeError, text, getattr(_quarvel, name), *args, **kwargs)

    def test_accepted_layouts(self):
        # Positional-or-keyword parameters by keyword in any order, width by keyword.
        calls = [
            (_quarvel.fmt_file, (), {"path": MISSING}),
            (_quarvel.fmt_file, (MISSING,), {"width": 80}),
            (_quarvel.fmt_file, (), {"width": 80, "path": MISSING}),
            (_quarvel.check_file, (), {"path": MISSING}),
            (_quarvel.flatten_json, (), {"entry": "main", "module_json": ""}),
            (_quarvel.flatten_json, ("",), {"cache_keys": [], "entry": "main"}),
            (_quarvel.load_flat_json, (MISSING,), {"config_path": MISSING, "cache_keys": ["k"]}),
            (_quarvel.resolve_json, ("",), {"config_json": "{}"}),
        ]
        for fn, args, kwargs in calls:
            with self.subTest(fn=fn.__name__, args=args, kwargs=kwargs):
                self.assert_reaches_body(fn, *args, **kwargs)

    def test_argument_errors_write_nothing_to_stderr(self):
        with captured_fd2() as read:
            for fn, args, kwargs in [(_quarvel.fmt_file, (), {}), (_quarvel.fmt_file, (1,), {}),
                                     (_quarvel.fmt_file, (MISSING,), {"width": -1})]:
                with self.assertRaises((TypeError, OverflowError)):
                    fn(*args, **kwargs)
            self.assertEqual(read(), "")


class PanicExceptionTest(QuarvelCase):
    def test_type(self):
        self.assertEqual(PanicException.__name__, "PanicException")
        self.assertEqual(PanicException.__module__, "pyo3_runtime")
        self.assertEqual(PanicException.__qualname__, "PanicException")
        self.assertEqual(PanicException.__bases__, (BaseException,))
        self.assertFalse(issubclass(PanicException, Exception))
        self.assertIn("BaseException", PanicException.__doc__)
        self.assertFalse(hasattr(_quarvel, "PanicException"))
        with self.assertRaises(ImportError):
            importlib.import_module("pyo3_runtime")

    def test_instance(self):
        first = body_failure(_quarvel.fmt_file, MISSING)
        second = body_failure(_quarvel.check_json, "")
        self.assertIs(type(second), type(first))  # one type for the process
        for e in (first, second):
            self.assertEqual(len(e.args), 1)
            self.assertIsInstance(e.args[0], str)
            self.assertTrue(e.args[0])
            self.assertEqual(str(e), e.args[0])

    def test_raised_by_callers_code_during_conversion(self):
        class Keys:
            def __init__(self, where):
                self.where = where

            def __len__(self):
                if self.where == "len":
                    raise PanicException("from len")
                return 1

            def __getitem__(self, i):
                if self.where == "item":
                    raise PanicException("from item", "second")
                if i:
                    raise IndexError
                return "k"

        class Width:
            def __index__(self):
                raise PanicException("from index")

        calls = [
            (_quarvel.flatten_json, ("", "main", Keys("len")), {}, "from len"),
            (_quarvel.load_flat_json, (MISSING, MISSING, "main", Keys("item")), {},
             "('from item', 'second')"),
            (_quarvel.fmt_source, ("",), {"width": Width()}, "from index"),
        ]
        for fn, args, kwargs, message in calls:
            with self.subTest(fn=fn.__name__, message=message):
                saved, sys.stderr = sys.stderr, io.StringIO()
                try:
                    with captured_fd2() as read:
                        with self.assertRaises(PanicException) as cm:
                            fn(*args, **kwargs)
                        notice = read()
                    traceback = sys.stderr.getvalue()
                finally:
                    sys.stderr = saved
                # A new exception that carries the message alone.
                self.assertEqual(cm.exception.args, (message,))
                self.assertIn("PanicException", notice)
                self.assertNotIn("panicked at", notice)
                self.assertTrue(traceback.startswith("Traceback"), traceback)
                self.assertIn("pyo3_runtime.PanicException: " + message, traceback)

    def test_except_exception_lets_it_pass(self):
        caught_by = None
        with captured_fd2():
            try:
                try:
                    _quarvel.fmt_file(MISSING)
                except Exception:
                    caught_by = "Exception"
            except BaseException:
                caught_by = "BaseException"
        self.assertEqual(caught_by, "BaseException")


class StandardErrorReportTest(unittest.TestCase):
    def test_reports_on_file_descriptor_2(self):
        out, err = run_child(f"""
            import io, json, sys, threading
            import _quarvel
            seen = []
            def fail():
                try:
                    _quarvel.fmt_file({MISSING!r})
                except BaseException as e:
                    seen.append([threading.get_native_id(), str(e)])
            sys.stderr = io.StringIO()
            for _ in range(2):
                t = threading.Thread(target=fail)
                t.start()
                t.join()
            print(json.dumps({{"seen": seen, "captured": sys.stderr.getvalue()}}))
        """)
        child = json.loads(out)
        self.assertEqual(child["captured"], "")  # sys.stderr never sees it
        (tid1, msg1), (tid2, msg2) = child["seen"]
        report = (r"\nthread '<unnamed>' \({}\) panicked at "
                  r"(?:core|python)/[a-z_]+\.(?:cpp|h):[1-9][0-9]*:[0-9]+:\n{}\n")
        expected = (report.format(tid1, re.escape(msg1)) + r"note: [^\n]*backtrace[^\n]*\n"
                    + report.format(tid2, re.escape(msg2)))
        self.assertRegex(err.decode(), "^" + expected + "$")


@unittest.skipIf(UNDER_ASAN, "the sanitizer runtime needs more address space than the limit")
class MemoryExhaustionTest(unittest.TestCase):
    def test_allocation_failure_raises_memory_error(self):
        # The cache key is copied out of the str: with the address space capped
        # just above what the process holds, that copy cannot be allocated.
        out, _ = run_child(f"""
            import resource
            import _quarvel
            key = "k" * (256 << 20)
            with open("/proc/self/status") as f:
                vm = next(int(l.split()[1]) for l in f if l.startswith("VmSize:")) * 1024
            resource.setrlimit(resource.RLIMIT_AS, (vm + (64 << 20), resource.RLIM_INFINITY))
            try:
                _quarvel.flatten_json("", "main", [key])
            except MemoryError:
                print("MemoryError")
            try:
                _quarvel.fmt_file({MISSING!r})
            except BaseException as e:
                print(type(e).__name__)
        """)
        self.assertEqual(out.split(), ["MemoryError", "PanicException"])


if __name__ == "__main__":
    unittest.main()
