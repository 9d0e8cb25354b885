"""Conversion of the arguments of _quarvel: texts, width, cache keys, the prefix rule."""
import sys
import unittest

import _quarvel
from support import MISSING, QuarvelCase, body_failure


class Str(str):
    pass


class Int(int):
    pass


class Index:
    def __init__(self, value):
        self.value = value

    def __index__(self):
        if isinstance(self.value, BaseException):
            raise self.value
        return self.value


class Seq:
    """A user-defined sequence; `length` may lie, `fail_len` is raised by __len__."""

    def __init__(self, items, length=None, fail_len=None, fail_after=None):
        self.items, self.length, self.fail_len, self.fail_after = items, length, fail_len, fail_after

    def __len__(self):
        if self.fail_len is not None:
            raise self.fail_len
        return len(self.items) if self.length is None else self.length

    def __getitem__(self, i):
        return self.items[i]

    def __iter__(self):
        yield from self.items
        if self.fail_after is not None:
            raise self.fail_after


class OwnTypeError(TypeError):
    pass


def type_error_with_cause():
    e = TypeError("no index here")
    e.__cause__ = KeyError("underneath")
    return e


class TextTest(QuarvelCase):
    def test_rejected(self):
        cases = [
            (_quarvel.fmt_file, (1,), "argument 'path': 'int' object cannot be converted to 'PyString'"),
            (_quarvel.fmt_file, (None,), "argument 'path': 'NoneType' object cannot be converted to 'PyString'"),
            (_quarvel.parse_to_json, (b"x",), "argument 'source': 'bytes' object cannot be converted to 'PyString'"),
            (_quarvel.check_json, (Seq([]),), "argument 'module_json': 'Seq' object cannot be converted to 'PyString'"),
            (_quarvel.resolve_json, ("{}", 1.0), "argument 'config_json': 'float' object cannot be converted to 'PyString'"),
            # Parameters are converted in order; the first failure ends the call.
            (_quarvel.flatten_json, (1, 2), "argument 'module_json': 'int' object cannot be converted to 'PyString'"),
            (_quarvel.flatten_json, ("", 2, "x"), "argument 'entry': 'int' object cannot be converted to 'PyString'"),
            # None never stands for a default.
            (_quarvel.load_flat_json, ("a", "b", None), "argument 'entry': 'NoneType' object cannot be converted to 'PyString'"),
        ]
        for fn, args, text in cases:
            with self.subTest(fn=fn.__name__, args=args):
                e = self.assert_raises_text(TypeError, text, fn, *args)
                self.assertIsNone(e.__cause__)

    def test_qualified_type_name(self):
        class Inner:
            pass
        self.assert_raises_text(
            TypeError,
            "argument 'path': 'TextTest.test_qualified_type_name.<locals>.Inner' object cannot be "
            "converted to 'PyString'", _quarvel.check_file, Inner())

    def test_lone_surrogate_passes_unprefixed(self):
        for fn, args in [(_quarvel.parse_to_json, ("a\ud800b",)),
                         (_quarvel.fmt_source, ("\udfff",)),
                         (_quarvel.flatten_json, ("", "main", ["ok", "\ud800"]))]:
            with self.subTest(fn=fn.__name__):
                with self.assertRaises(UnicodeEncodeError) as cm:
                    fn(*args)
                self.assertNotIn("argument", str(cm.exception))

    def test_accepted(self):
        for path in [MISSING, Str(MISSING), MISSING + "\u00e9\U0001f600"]:
            with self.subTest(path=path):
                self.assert_reaches_body(_quarvel.fmt_file, path)


class WidthTest(QuarvelCase):
    def test_accepted(self):
        for width in [0, 1, 100, 2**64 - 1, True, False, Int(7), Index(5), Index(2**64 - 1)]:
            with self.subTest(width=width):
                self.assert_reaches_body(_quarvel.fmt_file, MISSING, width=width)

    def test_rejected(self):
        cases = [
            # (width, exception type, text or None for the interpreter's own text)
            (-1, OverflowError, None),
            (2**64, OverflowError, None),
            (-(2**70), OverflowError, None),
            (Index(-3), OverflowError, None),
            (Index(ValueError("bad index")), ValueError, "bad index"),
            (None, TypeError, "argument 'width': 'NoneType' object cannot be interpreted as an integer"),
            (1.5, TypeError, "argument 'width': 'float' object cannot be interpreted as an integer"),
            ("80", TypeError, "argument 'width': 'str' object cannot be interpreted as an integer"),
            (Index(OwnTypeError("own")), OwnTypeError, "own"),  # a subclass gets no prefix
        ]
        for width, exc_type, text in cases:
            with self.subTest(width=width):
                with self.assertRaises(BaseException) as cm:
                    _quarvel.fmt_source("x", width=width)
                self.assertIs(type(cm.exception), exc_type, repr(cm.exception))
                if text is not None:
                    self.assertEqual(str(cm.exception), text)
                else:
                    self.assertFalse(str(cm.exception).startswith("argument"))

    def test_conversion_comes_before_the_body(self):
        # The file does not exist, but the width is refused first.
        with self.assertRaises(OverflowError):
            _quarvel.fmt_file(MISSING, width=-1)

    def test_prefix_keeps_the_cause(self):
        with self.assertRaises(TypeError) as cm:
            _quarvel.fmt_json("{}", width=Index(type_error_with_cause()))
        self.assertEqual(str(cm.exception), "argument 'width': no index here")
        self.assertIsInstance(cm.exception.__cause__, KeyError)

    def test_prefixed_error_hides_the_handled_exception(self):
        # The replacement takes the original's cause, None here, as `raise
        # ... from None` would: a traceback shows no "during handling" chain.
        for width in [None, Index(TypeError("no index here"))]:
            with self.subTest(width=width):
                try:
                    raise KeyError("being handled")
                except KeyError:
                    with self.assertRaises(TypeError) as cm:
                        _quarvel.fmt_json("{}", width=width)
                self.assertIsNone(cm.exception.__cause__)
                self.assertTrue(cm.exception.__suppress_context__)


class CacheKeysTest(QuarvelCase):
    def accepted(self, keys):
        # Both bodies fail before they use the keys: the same failure as without any.
        for fn, args in [(_quarvel.flatten_json, ("", "main")),
                         (_quarvel.load_flat_json, (MISSING, MISSING, "main"))]:
            self.assertEqual(repr(body_failure(fn, *args, keys)), repr(body_failure(fn, *args, [])))

    def test_accepted(self):
        cases = [[], ["a", "b"], ("a", "a"), range(0), b"", bytearray(), Seq(["a", Str("b")]),
                 [Str("x")],
                 # __len__ is only a capacity hint: a failing or absurd one is ignored.
                 Seq(["a"], fail_len=ValueError("no length")),
                 Seq(["a"], length=sys.maxsize), Seq(["a"], length=2**40)]
        for keys in cases:
            with self.subTest(keys=keys):
                self.accepted(keys)

    def test_rejected(self):
        def gen():
            yield "a"
        cases = [
            ("main", TypeError, "argument 'cache_keys': Can't extract `str` to `Vec`"),
            (Str("main"), TypeError, "argument 'cache_keys': Can't extract `str` to `Vec`"),
            ({"a"}, TypeError, "argument 'cache_keys': 'set' object cannot be converted to 'Sequence'"),
            ({"a": 1}, TypeError, "argument 'cache_keys': 'dict' object cannot be converted to 'Sequence'"),
            (gen(), TypeError, "argument 'cache_keys': 'generator' object cannot be converted to 'Sequence'"),
            (None, TypeError, "argument 'cache_keys': 'NoneType' object cannot be converted to 'Sequence'"),
            (7, TypeError, "argument 'cache_keys': 'int' object cannot be converted to 'Sequence'"),
            ([1], TypeError, "argument 'cache_keys': 'int' object cannot be converted to 'PyString'"),
            (["a", None], TypeError, "argument 'cache_keys': 'NoneType' object cannot be converted to 'PyString'"),
            (range(3), TypeError, "argument 'cache_keys': 'int' object cannot be converted to 'PyString'"),
            (b"ab", TypeError, "argument 'cache_keys': 'int' object cannot be converted to 'PyString'"),
            # An error of the caller's own iterator passes unchanged.
            (Seq(["a"], fail_after=ValueError("iteration broke")), ValueError, "iteration broke"),
        ]
        for keys, exc_type, text in cases:
            for fn, args in [(_quarvel.flatten_json, ("", "main")),
                             (_quarvel.load_flat_json, (MISSING, MISSING, "main"))]:
                with self.subTest(fn=fn.__name__, keys=keys):
                    e = self.assert_raises_text(exc_type, text, fn, *args, keys)
                    self.assertIsNone(e.__cause__)

    def test_interrupt_in_len_is_not_swallowed(self):
        with self.assertRaises(KeyboardInterrupt):
            _quarvel.flatten_json("", "main", Seq(["a"], fail_len=KeyboardInterrupt()))


if __name__ == "__main__":
    unittest.main()
