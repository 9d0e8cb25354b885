"""Reading module JSON: the failure messages that reach Python through fmt_json."""
import unittest

import _quarvel
from support import QuarvelCase


def unwrap(quoted_description, line, column):
    """The message of a JSON error; the description is given in its quoted form."""
    return ('called `Result::unwrap()` on an `Err` value: '
            f'Error({quoted_description}, line: {line}, column: {column})')


OPS = '{"functions":{"f":{"name":"f","params":[],"returns":[],"ops":['
END = ']}}}'
TAIL = ',"outputs":[],"output_types":[],"args":[]}'

# (module text, quoted description, line, column)
MODULE_ERRORS = [
    ('', '"EOF while parsing a value"', 1, 0),
    ('[]', '"invalid length 1, expected struct Module with 2 elements"', 1, 2),
    ('{}', '"missing field `functions`"', 1, 2),
    ('"m"', r'"invalid type: string \"m\", expected struct Module"', 1, 3),
    ('{"functions":[]}', '"invalid type: sequence, expected a map"', 1, 13),
    ('{"functions":{},"functions":{}}', '"duplicate field `functions`"', 1, 27),
    ('{"functions":{}} x', '"trailing characters"', 1, 18),
    ('[[],{},1]', '"trailing characters"', 1, 8),
    ('{"header_comments":null,"functions":{}}',
     '"invalid type: null, expected a sequence"', 1, 23),
    ('{"functions":{"f":{"name":"f"}}}', '"missing field `params`"', 1, 30),
    ('{"functions":{"f":["f"]}}',
     '"invalid length 2, expected struct Function with 5 elements"', 1, 23),
    ('{"functions":{"f":{"name":100000000000000000000}}}',
     '"invalid type: floating point `1e+20`, expected a string"', 1, 47),
    ('{"functions":{"f":{"name":"f","params":[],"returns":[],"ops":[],}}}',
     '"trailing comma"', 1, 65),
    ('{"functions":{"f":{"name":"f","params":[],"returns":[],"ops":[]}}',
     '"EOF while parsing an object"', 1, 65),
    ('[[],{"f":{"name":"f","params":5,"returns":[],"ops":[]}}]',
     '"invalid type: integer `5`, expected a sequence"', 1, 31),
    ('[[],{"f":["f",[],[["x",["f32",[1.5]]]],[],[]]]]',
     '"data did not match any variant of untagged enum Dim"', 1, 35),
    ('[[],{"f":["f",[],[["x",["f32",[1.5, 2]]]],[],[]]]]',
     '"data did not match any variant of untagged enum Dim"', 1, 36),
    ('[[],{"f":["f",[],[],[],[{"kind":"iota","outputs":["y"],"output_types":[null],'
     '"args":[true]}]]}]',
     '"data did not match any variant of untagged enum Atom"', 1, 90),
    ('[[],{"f":["f",[],[],[],[{"kind":"view","pattern":"","axes":{"i":1.5},"outputs":[],'
     '"output_types":[],"args":[]}]]}]',
     '"invalid type: floating point `1.5`, expected i64"', 1, 67),
    ('\n{"functions":{},\n "x": 1,\n "functions":{}}', '"duplicate field `functions`"', 4, 12),
    ('\ufeff{"functions":{}}', '"expected value"', 1, 1),
    ('  \n', '"EOF while parsing a value"', 2, 0),
    # Columns count bytes: the accented letter takes two.
    ('{"functions":{"\u00e9":5}}',
     '"invalid type: integer `5`, expected struct Function"', 1, 20),
    ('{"functions":{"a\x01":1}}',
     r'"control character (\\u0000-\\u001F) found while parsing a string"', 1, 17),
]

# (op element, quoted description, column); each stands alone in an "ops" list.
OP_ERRORS = [
    ('"x"', r'"invalid type: string \"x\", expected struct OpRaw"', 65),
    ('5', '"invalid type: integer `5`, expected struct OpRaw"', 63),
    ('[]', '"invalid length 0, expected struct OpRaw with 17 elements"', 64),
    ('["iota"]', '"invalid length 13, expected struct OpRaw with 17 elements"', 70),
    ('["iota","p","f","r",{},null,null,null,"t",null,"v","i",null,[]]',
     '"invalid length 14, expected struct OpRaw with 17 elements"', 125),
    ('["iota","p","f","r",{},null,null,null,"t",null,"v","i",null,[],[]]',
     '"invalid length 15, expected struct OpRaw with 17 elements"', 128),
    ('{}', '"missing field `kind`"', 64),
    ('{"kind":"iota"}', '"missing field `outputs`"', 77),
    ('{"kind":"iota","outputs":[]}', '"missing field `output_types`"', 90),
    ('{"kind":"iota","outputs":[],"output_types":[]}', '"missing field `args`"', 108),
    ('{"kind":"literal","value":null,"value":null}', '"duplicate field `value`"', 100),
    ('{"kind":5}', '"invalid type: integer `5`, expected a string"', 71),
    ('{"kind":"view","pattern":null}', '"invalid type: null, expected a string"', 91),
    ('{"kind":"random","lower":"1"}', r'"invalid type: string \"1\", expected f64"', 90),
    ('{"kind":"view","axes":[]}', '"invalid type: sequence, expected a map"', 84),
    ('{"kind":"view","outputs":"y"}', r'"invalid type: string \"y\", expected a sequence"', 90),
    ('{"kind":"literal","value":"Inf"}', '"unexpected string: Inf"', 93),
    ('{"kind":"literal","value":true}',
     r'"invalid type: boolean `true`, expected integer, float, \"inf\"/\"-inf\", or array"', 92),
    ('{"kind":"literal","value":[1, null]}',
     r'"invalid type: null, expected integer, float, \"inf\"/\"-inf\", or array"', 96),
    ('{"kind":"View"' + TAIL, '"unknown op kind: View"', 119),
]

# (op element, message): conversion failures carry no position.
OP_CONVERSION_FAILURES = [
    ('{"kind":"random"' + TAIL, "random requires 'lower' field"),
    ('{"kind":"random","lower":null' + TAIL, "random requires 'lower' field"),
    ('{"kind":"random","lower":0' + TAIL, "random requires 'upper' field"),
] + [
    ('{"kind":"loop","count":%s%s' % (count, TAIL), "called `Option::unwrap()` on a `None` value")
    for count in ("-1", "-0", "2.5", "3.0", "1e2")
]


class JsonReadFailureTest(QuarvelCase):
    def assert_fails(self, text, message):
        self.assertEqual(self.body_message(_quarvel.fmt_json, text), message)

    def test_module_errors(self):
        for text, description, line, column in MODULE_ERRORS:
            with self.subTest(text=text):
                self.assert_fails(text, unwrap(description, line, column))

    def test_op_errors(self):
        for op, description, column in OP_ERRORS:
            with self.subTest(op=op):
                self.assert_fails(OPS + op + END, unwrap(description, 1, column))

    def test_op_conversion_failures(self):
        for op, message in OP_CONVERSION_FAILURES:
            with self.subTest(op=op):
                self.assert_fails(OPS + op + END, message)

    def test_nesting_budget(self):
        shape = '{"functions":{"f":{"name":"f","params":[{"name":"x","ty":{"dtype":"f32","shape":['
        rest = ']}}],"returns":[],"ops":[]}}}'
        self.assert_fails(shape + "[" * 120 + "]" * 120 + rest,
                          unwrap('"data did not match any variant of untagged enum Dim"',
                                 1, len(shape) + 241))
        self.assert_fails(shape + "[" * 121 + "]" * 121 + rest,
                          unwrap('"recursion limit exceeded"', 1, len(shape) + 121))

    def test_reads_what_it_accepts(self):
        # An unknown member is skipped however deep it goes.
        deep = '{"functions":{},"x":' + "[" * 100000 + "]" * 100000 + "}"
        self.assertEqual(_quarvel.fmt_json(deep),
                         _quarvel.fmt_json('{"functions":{}}'))


if __name__ == "__main__":
    unittest.main()
