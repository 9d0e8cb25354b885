"""flatten_json: calls inlined, loops unrolled, cache slots lowered."""
import json
import unittest

import _quarvel
from support import QuarvelCase

SMALL = """// net
main(x: f32[4]) -> (y: f32[4]) {
  y: f32[4] = call[g](x)
}
g(a: f32[4]) -> (b: f32[4]) {
  t: f32[4] = map[relu](a)
  b: f32[4] = map[neg](t)
}
"""

SMALL_FLAT = (
    '{"header_comments":["// net"],"functions":{"main":{"name":"main",'
    '"params":[{"name":"x","ty":{"dtype":"f32","shape":[4]}}],'
    '"returns":[{"name":"y","ty":{"dtype":"f32","shape":[4]}}],"ops":['
    '{"kind":"map","function":"relu","outputs":["y.t"],'
    '"output_types":[{"dtype":"f32","shape":[4]}],"args":["x"]},'
    '{"kind":"map","function":"neg","outputs":["y"],'
    '"output_types":[{"dtype":"f32","shape":[4]}],"args":["y.t"]}]}}}')

NAMED_COUNT = """main(x: f32[4], w: *) -> (x: f32[4]) {
  x: f32[4] = loop[layer, param.layers](x, w.*)
}
layer(a: f32[4], p: *) -> (b: f32[4]) {
  b: f32[4] = map[add](a, p.bias)
}
"""

CACHED = """main(x: f32[4]) -> (y: f32[4]) {
  c: f32[4] = cache[kv, kv_init, kv_ext](x)
  y: f32[4] = map[add](x, c)
}
kv_init(k: f32[4]) -> (c: f32[4]) {
  c: f32[4] = map[copy](k)
}
kv_ext(c: f32[4], k: f32[4]) -> (n: f32[4]) {
  n: f32[4] = map[concat](c, k)
}
"""


def signature(flat_json):
    """(param names, return names, [(outputs, args)]) of the one flat function."""
    [fn] = json.loads(flat_json)["functions"].values()
    return ([p["name"] for p in fn["params"]], [r["name"] for r in fn["returns"]],
            [(op["outputs"], op["args"]) for op in fn["ops"]])


class FlattenJsonTest(QuarvelCase):
    def module_json(self, source):
        return _quarvel.parse_to_json(source)

    def test_small_module(self):
        flat = _quarvel.flatten_json(self.module_json(SMALL), "main")
        self.assertEqual(flat, SMALL_FLAT)
        # The flat module reads back and flattens to itself.
        self.assertEqual(_quarvel.flatten_json(flat, "main"), SMALL_FLAT)

    def test_missing_entry(self):
        text = self.module_json(SMALL)
        self.assertEqual(self.body_message(_quarvel.flatten_json, text, "nope"),
                         "no entry found for key")

    def test_named_count_needs_resolving(self):
        text = self.module_json(NAMED_COUNT)
        self.assertEqual(self.body_message(_quarvel.flatten_json, text, "main"),
                         "Loop count 'param.layers' not resolved before flattening")
        resolved = _quarvel.resolve_json(text, '{"layers": 2}')
        params, returns, ops = signature(_quarvel.flatten_json(resolved, "main"))
        self.assertEqual(params, ["x", "w"])
        self.assertEqual(returns, ["x"])
        self.assertEqual(ops, [(["x_1"], ["x", "w.0.bias"]), (["x_2"], ["x_1", "w.1.bias"])])

    def test_cache_slots(self):
        text = self.module_json(CACHED)
        cases = [
            ([], ["x"], ["y", "kv"], [(["kv"], ["x"]), (["y"], ["x", "c"])]),
            (["kv"], ["x", "kv"], ["y", "kv_new"], [(["kv_new"], ["kv", "x"]), (["y"], ["x", "c"])]),
            (["other"], ["x"], ["y", "kv"], [(["kv"], ["x"]), (["y"], ["x", "c"])]),
        ]
        for keys, params, returns, ops in cases:
            with self.subTest(keys=keys):
                flat = _quarvel.flatten_json(text, "main", keys)
                self.assertEqual(signature(flat), (params, returns, ops))

    def test_repeated_cache_key(self):
        text = self.module_json(CACHED)
        once = _quarvel.flatten_json(text, "main", ["kv"])
        self.assertEqual(_quarvel.flatten_json(text, "main", ["kv", "kv"]), once)
        self.assertEqual(_quarvel.flatten_json(text, "main", ("kv", "kv")), once)
        self.assertEqual(_quarvel.flatten_json(text, "main", cache_keys=["kv"]),
                         once)

    def test_cache_slot_without_type(self):
        text = self.module_json(CACHED.replace("c: f32[4] = cache", "c = cache"))
        self.assertEqual(self.body_message(_quarvel.flatten_json, text, "main"),
                         "cache slot must have a declared type")

    def test_cycle_and_bounds(self):
        cases = [
            ("main(x: f32[]) -> (y: f32[]) { y = call[block](x) }\n"
             "block(a: f32[]) -> (b: f32[]) { b = call[main](a) }",
             "call cycle: main -> block -> main"),
            ("main(x: f32[]) -> (x: f32[]) { x = loop[b, -1](x) }\n"
             "b(a: f32[]) -> (o: f32[]) { o = map[neg](a) }",
             "loop count 18446744073709551615 exceeds the limit of 16777216 iterations"),
            ("main(x: f32[]) -> (x: f32[]) { x = loop[b, 5000](x) }\n"
             "b(a: f32[]) -> (a: f32[]) { a = loop[c, 5000](a) }\n"
             "c(a: f32[]) -> (o: f32[]) { o = map[neg](a) }",
             "flattened function exceeds 16777216 operations"),
        ]
        for source, message in cases:
            with self.subTest(message=message):
                self.assertEqual(
                    self.body_message(_quarvel.flatten_json, self.module_json(source), "main"),
                    message)

    def test_negative_configured_count_is_refused(self):
        text = self.module_json(NAMED_COUNT)
        resolved = _quarvel.resolve_json(text, '{"layers": -1}')
        message = self.body_message(_quarvel.flatten_json, resolved, "main")
        self.assertRegex(message, r"^loop count \d+ exceeds the limit of 16777216 iterations$")

    def test_deep_call_chain_is_refused(self):
        n = 2000
        source = "".join(
            f"f{i}(x: f32[]) -> (y: f32[]) {{ y = call[f{i + 1}](x) }}\n" for i in range(n))
        source += f"f{n}(x: f32[]) -> (y: f32[]) {{ y = map[neg](x) }}\n"
        self.assertEqual(
            self.body_message(_quarvel.flatten_json, self.module_json(source), "f0"),
            "call nesting exceeds 256 levels at function 'f257'")


if __name__ == "__main__":
    unittest.main()
