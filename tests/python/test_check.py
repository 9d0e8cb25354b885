"""End-to-end checks of `check_file` and `check_json`: the report text."""
import os
import tempfile
import unittest

import _quarvel

DASH = "\u2014"
INDEX_TEXT = "index out of bounds: the len is 0 but the index is 0"

PROBLEMS = """\
g(a: f32[4], b: f32[3]) -> () {}

main(x: f32[param.b, 6], w: *) -> (y: f32[2, 3], gone: f32[]) {
  v: f32[4, 2] = view(x)
  m: i32[param.b, 6] = map[relu](x, ghost)
  c: f32[1] = call[g](w.q, w.k)
  d: f32[1] = call[g](w.q, v)
  y: f32[2, 3] = loop[g, param.steps](x, w.q)
}
"""

PROBLEMS_REPORT = (
    '{"errors":['
    '"main/m: input \'ghost\' not in scope",'
    '"main/m: declared Ty { dtype: \\"i32\\", shape: [Named(\\"param.b\\"), Concrete(6)] }, '
    'expected Ty { dtype: \\"f32\\", shape: [Named(\\"param.b\\"), Concrete(6)] } ' + DASH
    + ' dtype: f32 vs i32",'
    '"main/d: arg 1 \'b\' ' + DASH + ' dim 0: 2 vs 3",'
    '"main/y: arg 0 \'a\' ' + DASH + ' dim 0: 6 vs 4",'
    '"main/y: weight \'w.q\' used with conflicting types: TensorType { dtype: \\"f32\\", '
    'shape: [Concrete(4)] } vs TensorType { dtype: \\"f32\\", shape: [Concrete(3)] }",'
    '"main: return \'gone\' not found in env"'
    '],"constraints":{"params":["param.b","param.steps"],'
    '"weights":{"main":{"w.k":{"dtype":"f32","shape":[3]},"w.q":{"dtype":"f32","shape":[4]}}}}}'
)


def function_json(name, params, ops):
    def param(n, dtype, shape):
        return '{"name":"%s","ty":{"dtype":"%s","shape":%s}}' % (n, dtype, shape)

    return '{"name":"%s","params":[%s],"returns":[],"ops":[%s]}' % (
        name, ",".join(param(*p) for p in params), ",".join(ops))


class CheckFileTest(unittest.TestCase):
    def check_source(self, text):
        with tempfile.TemporaryDirectory() as d:
            path = os.path.join(d, "m.qrv")
            with open(path, "w", encoding="utf-8") as f:
                f.write(text)
            return _quarvel.check_file(path)

    def test_problems_are_reported_not_raised(self):
        self.maxDiff = None
        self.assertEqual(self.check_source(PROBLEMS), PROBLEMS_REPORT)

    def test_clean_module(self):
        report = self.check_source("f(x: f32[n]) -> (x: f32[4]) {}\n")
        self.assertEqual(report, '{"errors":[],"constraints":{"params":[],"weights":{}}}')

    def test_malformed_operation_raises(self):
        with self.assertRaises(BaseException) as cm:
            self.check_source("f(x: f32[2]) -> () {\n  (): () = iota()\n}\n")
        self.assertEqual(type(cm.exception).__name__, "PanicException")
        self.assertEqual(cm.exception.args, (INDEX_TEXT,))


class CheckJsonTest(unittest.TestCase):
    def test_functions_are_named_by_key(self):
        ops = ['{"kind":"map","function":"relu","outputs":["y"],'
               '"output_types":[{"dtype":"*","shape":[]}],"args":["x"]}']
        module = '{"functions":{"key":%s}}' % function_json("other", [("x", "f32", "[4]")], ops)
        self.assertEqual(
            _quarvel.check_json(module),
            '{"errors":["key/y: declared Ty { dtype: \\"*\\", shape: [] }, expected Ty { dtype: '
            '\\"f32\\", shape: [Concrete(4)] } ' + DASH + ' dtype: f32 vs *"],'
            '"constraints":{"params":[],"weights":{}}}')

    def test_weights_sorted_by_bytes(self):
        callee = function_json("g", [("a", "f32", "[4]")], [])
        ops = ['{"kind":"call","target":"g","outputs":["%s"],"output_types":[{"dtype":"f32",'
               '"shape":[]}],"args":["%s"]}' % (out, arg)
               for out, arg in (("y", "w.b"), ("z", "w.a"), ("v", "w.B"))]
        caller = function_json("main", [("w", "*", "[]")], ops)
        module = '{"functions":{"main":%s,"g":%s,"B":%s}}' % (caller, callee, caller)
        inner = ('{"w.B":{"dtype":"f32","shape":[4]},"w.a":{"dtype":"f32","shape":[4]},'
                 '"w.b":{"dtype":"f32","shape":[4]}}')
        self.assertEqual(
            _quarvel.check_json(module),
            '{"errors":[],"constraints":{"params":[],"weights":{"B":%s,"main":%s}}}' % (inner, inner))

    def test_missing_output_types_raise(self):
        ops = ['{"kind":"iota","outputs":["y"],"output_types":[],"args":[]}']
        module = '{"functions":{"f":%s}}' % function_json("f", [], ops)
        with self.assertRaises(BaseException) as cm:
            _quarvel.check_json(module)
        self.assertEqual(type(cm.exception).__name__, "PanicException")
        self.assertEqual(cm.exception.args, (INDEX_TEXT,))


if __name__ == "__main__":
    unittest.main()
