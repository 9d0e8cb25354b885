"""Each function's text signature, argument matching, defaults and typing stub agree."""
import ast
import inspect
import os
import unittest

import _quarvel
from support import FIXTURES, MISSING, QuarvelCase

STUB = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "python",
                    "_quarvel.pyi")

POSITIONAL = inspect.Parameter.POSITIONAL_OR_KEYWORD
KEYWORD_ONLY = inspect.Parameter.KEYWORD_ONLY
EMPTY = inspect.Parameter.empty


def signature(fn):
    return list(inspect.signature(fn).parameters.values())


def quoted(names):
    names = [f"'{n}'" for n in names]
    if len(names) <= 2:
        return " and ".join(names)
    return ", ".join(names[:-1]) + ", and " + names[-1]


class SignatureMatchesMatchingTest(QuarvelCase):
    """The text signature and the parameter table come from one declaration."""

    def test_every_function(self):
        for name in _quarvel.__all__:
            fn = getattr(_quarvel, name)
            params = signature(fn)
            positional = [p for p in params if p.kind == POSITIONAL]
            required = [p.name for p in positional if p.default is EMPTY]
            with self.subTest(name):
                # Only positional-or-keyword and keyword-only parameters, the
                # required ones first; keyword-only ones have defaults.
                self.assertEqual([p.kind for p in params],
                                 sorted((p.kind for p in params), key=[POSITIONAL, KEYWORD_ONLY].index))
                self.assertEqual(required, [p.name for p in positional][:len(required)])
                self.assertTrue(all(p.default is not EMPTY for p in params if p.kind == KEYWORD_ONLY))

                too_many = (f"takes {len(positional)} positional arguments"
                            if len(required) == len(positional) else
                            f"takes from {len(required)} to {len(positional)} positional arguments")
                self.assert_raises_text(
                    TypeError, f"{name}() {too_many} but {len(positional) + 1} were given",
                    fn, *[MISSING] * (len(positional) + 1))
                self.assert_raises_text(
                    TypeError, f"{name}() missing {len(required)} required positional "
                               f"argument{'s' if len(required) > 1 else ''}: {quoted(required)}", fn)
                self.assert_raises_text(
                    TypeError, f"{name}() got an unexpected keyword argument 'nope'",
                    fn, *[MISSING] * len(required), nope=1)
                # Every parameter by its name.
                self.assert_reaches_body(fn, **{n: MISSING for n in required})
                for p in params:
                    if p.default is not EMPTY:
                        value = [] if p.default is Ellipsis else p.default
                        self.assert_reaches_body(fn, *[MISSING] * len(required), **{p.name: value})


class DefaultsTest(QuarvelCase):
    """An omitted argument behaves as its default shown in the signature."""

    def test_defaults(self):
        qrv = os.path.join(FIXTURES, "decoder.qrv")
        toml = os.path.join(FIXTURES, "decoder.toml")
        header = "f(" + ", ".join(f"a{i}: f32[{i}]" for i in range(12)) + ") -> (y: f32[]) {\n}\n"
        module_json = _quarvel.parse_to_json(header)
        calls = {
            "load_flat_json": (qrv, toml),
            "flatten_json": (_quarvel.load_flat_json(qrv, toml), "main"),
            "fmt_source": (header,),
            "fmt_json": (module_json,),
        }
        for name, args in calls.items():
            fn = getattr(_quarvel, name)
            for p in signature(fn)[len(args):]:
                with self.subTest(name=name, param=p.name):
                    value = [] if p.default is Ellipsis else p.default
                    self.assertEqual(fn(*args), fn(*args, **{p.name: value}))
        checked = {n for n in _quarvel.__all__ if any(p.default is not EMPTY
                                                      for p in signature(getattr(_quarvel, n)))}
        self.assertEqual(checked, set(calls) | {"fmt_file"})
        path = os.path.join(FIXTURES, "decoder.qrv")
        self.assertEqual(_quarvel.fmt_file(path), _quarvel.fmt_file(path, width=100))


class StubTest(unittest.TestCase):
    """python/_quarvel.pyi declares what the module has."""

    def test_stub_matches_the_module(self):
        with open(STUB, encoding="utf-8") as f:
            tree = ast.parse(f.read())
        defs = [node for node in tree.body if isinstance(node, ast.FunctionDef)]
        self.assertEqual([d.name for d in defs], _quarvel.__all__)
        for node in tree.body:
            if isinstance(node, ast.Assign) and node.targets[0].id == "__all__":
                self.assertEqual(ast.literal_eval(node.value), _quarvel.__all__)
        for d in defs:
            with self.subTest(d.name):
                stub = [(a.arg, POSITIONAL) for a in d.args.args] + \
                       [(a.arg, KEYWORD_ONLY) for a in d.args.kwonlyargs]
                defaults = [None] * (len(d.args.args) - len(d.args.defaults)) + \
                    [ast.literal_eval(v) for v in d.args.defaults] + \
                    [None if v is None else ast.literal_eval(v) for v in d.args.kw_defaults]
                params = signature(getattr(_quarvel, d.name))
                self.assertEqual(stub, [(p.name, p.kind) for p in params])
                self.assertEqual(defaults, [None if p.default is EMPTY else p.default
                                            for p in params])
                self.assertEqual(ast.unparse(d.returns), "str")
                for a in d.args.args + d.args.kwonlyargs:
                    self.assertIn(ast.unparse(a.annotation), {"str", "int", "Sequence[str]"})
                # One line of documentation.
                doc = ast.get_docstring(d)
                self.assertTrue(doc and "\n" not in doc, doc)


if __name__ == "__main__":
    unittest.main()
