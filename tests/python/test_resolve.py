"""Configuration substitution and axis inference through resolve_json and infer_axes_json."""
import json
import unittest

import _quarvel
from support import QuarvelCase, body_failure

CONFIGURED = """\
// sizes come from the configuration
main(x: f32[param.b, param.n]) -> (y: *) {
  y: f32[param.b, 12] = view["b n -> b (n k)"](x)
  z: f32[param.b, 12] = loop[step, layers](y)
}

step(x: f32[b, 12]) -> (y: f32[b, 12]) {
  y: f32[b, 2, 6] = view["b (h w) -> b h w"](x)
}
"""


def unwrap_json(description, line, column):
    return ('called `Result::unwrap()` on an `Err` value: '
            f'Error("{description}", line: {line}, column: {column})')


class ResolveTest(QuarvelCase):
    def setUp(self):
        self.module_json = _quarvel.parse_to_json(CONFIGURED)

    def resolve(self, config_json):
        return json.loads(_quarvel.resolve_json(self.module_json, config_json))

    def test_empty_config_only_infers_axes(self):
        inferred = _quarvel.infer_axes_json(self.module_json)
        self.assertEqual(_quarvel.resolve_json(self.module_json, "{}"), inferred)
        ops = json.loads(inferred)["functions"]
        # Named sizes give nothing to infer from; concrete ones do.
        self.assertNotIn("axes", ops["main"]["ops"][0])
        self.assertEqual(ops["step"]["ops"][0]["axes"], {"h": 2, "w": 6})

    def test_axes_are_inferred_from_substituted_shapes(self):
        cases = [
            ('{"b": 2, "n": 3, "layers": 5}', [2, 3], {"k": 4}, 5),
            ('{"b": 2, "n": 3.7}', [2, 3], {"k": 4}, "layers"),  # a Float truncates
            ('{"b": 2, "n": [3]}', [2, "param.n"], None, "layers"),  # a List substitutes nothing
            ('{"n": 6, "param.layers": 5, "layers": -1}', ["param.b", 6], {"k": 2},
             18446744073709551615),
        ]
        for config, shape, axes, count in cases:
            with self.subTest(config=config):
                main = self.resolve(config)["functions"]["main"]
                self.assertEqual(main["params"][0]["ty"]["shape"], shape)
                self.assertEqual(main["ops"][0].get("axes"), axes)
                self.assertEqual(main["ops"][1]["count"], count)

    def test_module_text_is_read_before_configuration(self):
        self.assertEqual(self.body_message(_quarvel.resolve_json, "", '{"a": true}'),
                         unwrap_json("EOF while parsing a value", 1, 0))
        self.assertEqual(self.body_message(_quarvel.resolve_json, self.module_json, '{"a": true}'),
                         unwrap_json("data did not match any variant of untagged enum ConfigValue",
                                     1, 11))

    def test_configuration_failures(self):
        untagged = "data did not match any variant of untagged enum ConfigValue"
        cases = [
            ('{"a": true}', untagged, 1, 11),
            ('{"a": "x", "b": 1}', untagged, 1, 9),
            ('{"a": [1, "x"]}', untagged, 1, 15),
            ("[]", "invalid type: sequence, expected a map", 1, 0),
            ("5", "invalid type: integer `5`, expected a map", 1, 1),
            ('{"a": 1} {}', "trailing characters", 1, 10),
        ]
        for config, description, line, column in cases:
            with self.subTest(config=config):
                e = body_failure(_quarvel.resolve_json, self.module_json, config)
                self.assertEqual(type(e).__name__, "PanicException")
                self.assertEqual(e.args[0], unwrap_json(description, line, column))


if __name__ == "__main__":
    unittest.main()
