"""What the ten functions of _quarvel return, end to end through the toolkit."""
import json
import os
import re
import tempfile
import unittest

import _quarvel
from support import FIXTURES, MISSING, QuarvelCase

DECODER_QRV = os.path.join(FIXTURES, "decoder.qrv")
DECODER_TOML = os.path.join(FIXTURES, "decoder.toml")

LOOPED = """\
// a loop whose count comes from the configuration
main(x: f32[n]) -> (y: f32[n]) {
  y: f32[n] = map[copy](x)
  y: f32[n] = loop[step, param.count](y)
}

step(x: f32[n]) -> (y: f32[n]) {
  y: f32[n] = map[copy](x)
}
"""

UNSCOPED = """\
main(x: f32[n]) -> (y: f32[n]) {
  y: f32[n] = map[copy](nowhere)
}
"""

LONG_HEADER = """\
main(first_input: f32[batch, sequence], second_input: f32[batch, sequence]) -> (y: f32[batch, sequence]) {
  y: f32[batch, sequence] = map[add](first_input, second_input)
}
"""


def write_temp(text, suffix=".qrv"):
    fd, path = tempfile.mkstemp(suffix=suffix)
    with os.fdopen(fd, "w", encoding="utf-8") as f:
        f.write(text)
    return path


def unwrap_json(description, line, column):
    return ('called `Result::unwrap()` on an `Err` value: '
            f'Error("{description}", line: {line}, column: {column})')


class SourceBodiesTest(QuarvelCase):
    def setUp(self):
        with open(DECODER_QRV, encoding="utf-8") as f:
            self.source = f.read()

    def test_parse_to_json(self):
        text = _quarvel.parse_to_json(self.source)
        self.assertIs(type(text), str)
        module = json.loads(text)
        self.assertEqual(list(module["functions"]), ["main", "block0", "block1", "mlp", "kv_init",
                                                     "kv_append"])

    def test_parse_to_json_keeps_text_bytes_as_written(self):
        # An escape in a quoted argument or a comment is kept as written, so an
        # ASCII source gives an ASCII result; characters beyond ASCII reach the
        # result only from the source itself, whole.
        escapes = ["\\u00e9", "\\xe9", "\\303\\251", "\\N{DIGIT ONE}", "\\U0001f600"]
        beyond = ["caf\u00e9", "\u00e9\U0001f600", "\u4e2d"]
        for text in escapes + beyond:
            source = ("// c " + text + "\n"
                      "main(x: f32[n]) -> (y: f32[n]) {\n"
                      "  // o " + text + "\n"
                      "  y: f32[n] = map[copy](x, \"" + text + "\")\n"
                      "}\n")
            with self.subTest(text=text):
                result = _quarvel.parse_to_json(source)
                self.assertEqual(result.isascii(), text.isascii())
                module = json.loads(result)
                self.assertEqual(module["header_comments"], ["// c " + text])
                main = module["functions"]["main"]
                self.assertEqual(main["comments"], ["// o " + text])
                self.assertEqual(main["ops"][0]["args"], ["x", text])

    def test_formatting_paths_agree(self):
        by_source = _quarvel.fmt_source(self.source)
        self.assertIs(type(by_source), str)
        self.assertEqual(_quarvel.fmt_file(DECODER_QRV), by_source)
        module_json = _quarvel.parse_to_json(self.source)
        self.assertEqual(_quarvel.fmt_json(module_json), by_source)

    def test_width_is_handed_on(self):
        default = _quarvel.fmt_source(LONG_HEADER)
        widest = _quarvel.fmt_source(LONG_HEADER, width=2**64 - 1)
        narrow = _quarvel.fmt_source(LONG_HEADER, width=0)
        self.assertEqual(widest.count("\n"), LONG_HEADER.count("\n"))
        self.assertGreater(narrow.count("\n"), widest.count("\n"))
        self.assertEqual(default, narrow)  # the header is longer than 100 bytes
        self.assertEqual(_quarvel.fmt_source(LONG_HEADER, width=True), narrow)
        module_json = _quarvel.parse_to_json(LONG_HEADER)
        self.assertEqual(_quarvel.fmt_json(module_json, width=2**64 - 1), widest)

    def test_unreadable_file(self):
        for fn in (_quarvel.fmt_file, _quarvel.check_file):
            with self.subTest(fn.__name__):
                message = self.body_message(fn, MISSING)
                self.assertTrue(message.startswith("called `Result::unwrap()` on an `Err` value: "),
                                message)


class JsonBodiesTest(QuarvelCase):
    def test_module_json_errors(self):
        cases = [("", unwrap_json("EOF while parsing a value", 1, 0)),
                 ("{}", unwrap_json("missing field `functions`", 1, 2))]
        for fn in (_quarvel.check_json, _quarvel.fmt_json, _quarvel.infer_axes_json):
            for text, message in cases:
                with self.subTest(fn=fn.__name__, text=text):
                    self.assertEqual(self.body_message(fn, text), message)

    def test_resolve_reads_the_module_first(self):
        self.assertEqual(self.body_message(_quarvel.resolve_json, "", "not json"),
                         unwrap_json("EOF while parsing a value", 1, 0))

    def test_resolve_with_empty_config_only_infers_axes(self):
        module_json = _quarvel.parse_to_json(LOOPED)
        self.assertEqual(_quarvel.resolve_json(module_json, "{}"),
                         _quarvel.infer_axes_json(module_json))

    def test_flatten(self):
        module_json = _quarvel.parse_to_json(LOOPED)
        self.assertEqual(self.body_message(_quarvel.flatten_json, module_json, "absent"),
                         "no entry found for key")
        message = self.body_message(_quarvel.flatten_json, module_json, "main")
        self.assertRegex(message, r"^Loop count '(param\.)?count' not resolved before flattening$")
        resolved = _quarvel.resolve_json(module_json, '{"count": 2}')
        flat = _quarvel.flatten_json(resolved, "main")
        self.assertEqual(list(json.loads(flat)["functions"]), ["main"])
        self.assertEqual(_quarvel.flatten_json(resolved, "main", ("k", "k")),
                         _quarvel.flatten_json(resolved, "main", ["k"]))

    def test_check_reports_problems_as_data(self):
        path = write_temp(UNSCOPED)
        try:
            by_file = _quarvel.check_file(path)
        finally:
            os.unlink(path)
        report = json.loads(by_file)
        self.assertEqual(set(report), {"errors", "constraints"})
        self.assertTrue(report["errors"])
        self.assertTrue(any("nowhere" in e for e in report["errors"]))
        module_json = _quarvel.parse_to_json(UNSCOPED)
        self.assertEqual(_quarvel.check_json(module_json), by_file)


class FlatLoadTest(QuarvelCase):
    def test_defaults(self):
        flat = _quarvel.load_flat_json(DECODER_QRV, DECODER_TOML)
        self.assertEqual(list(json.loads(flat)["functions"]), ["main"])
        self.assertEqual(_quarvel.load_flat_json(DECODER_QRV, DECODER_TOML,
                                         "main", []), flat)

    def test_missing_configuration(self):
        message = self.body_message(_quarvel.load_flat_json, DECODER_QRV, MISSING)
        self.assertTrue(re.match(r"failed to read " + re.escape(MISSING) + ": ", message), message)


if __name__ == "__main__":
    unittest.main()
