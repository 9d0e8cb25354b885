"""load_flat_json: a source file and a TOML configuration to one flat function."""
import json
import os
import shutil
import subprocess
import tempfile
import unittest

import _quarvel
from support import FIXTURES, MISSING, QuarvelCase

DECODER_QRV = os.path.join(FIXTURES, "decoder.qrv")
DECODER_TOML = os.path.join(FIXTURES, "decoder.toml")

# Configured dimensions and a configured loop count.
SIZED = """\
main(x: f32[param.n, param.m]) -> (y: f32[param.n, param.m]) {
  x: f32[param.n, param.m] = loop[step, param.k](x)
  y: f32[param.n, param.m] = map[copy](x)
}

step(x: f32[param.n, param.m]) -> (y: f32[param.n, param.m]) {
  y: f32[param.n, param.m] = map[copy](x)
}
"""

# Weight references as arguments, and in places that are never renamed.
REFERENCES = [
    "weights.embed", "weights.layer.0.attn", "weights.layer.3.attn", "weights.layer.3.mix.1",
    "weights.layer.3.mix", "weights.embed.7", "weights.layer.03.attn", "weights.layer..attn",
    "weights.layer.x1.attn", "weights.other.2", "weights", "Weights.embed",
]
RENAMING = f"""\
main(x: f32[4]) -> (weights.embed: f32[4]) {{
  weights.embed: f32[4] = map[mix](x, 7, {", ".join(REFERENCES)})
}}
"""
WEIGHTS_TOML = """\
[weights]
embed = "tok.weight"
scale = 2
[weights.layer]
attn = "blocks.{}.attn.weight"
mix = "blocks.{}.mix.{}.weight"
[weights.layer.0]
attn = "first.attn.weight"
"""


class Files:
    """A scratch directory that goes away with the test."""

    def __init__(self, case):
        self.dir = tempfile.mkdtemp(prefix="quarvel-flat-")
        case.addCleanup(shutil.rmtree, self.dir, True)

    def write(self, name, content):
        path = os.path.join(self.dir, name)
        with open(path, "wb") as f:
            f.write(content.encode() if isinstance(content, str) else content)
        return path


def main_of(flat_json):
    module = json.loads(flat_json)
    assert list(module["functions"]) == ["main"], module["functions"].keys()
    return module["functions"]["main"]


class DecoderTest(QuarvelCase):
    """The decoder fixture: two stacks of four layers with kv caches."""

    def load(self, *args):
        return main_of(_quarvel.load_flat_json(DECODER_QRV, DECODER_TOML, *args))

    def test_cold_caches(self):
        main = self.load()
        # four ops of main, then per unrolled layer 19 block ops, 5 inlined
        # mlp ops and the cache slot's init, for 2 stacks of 4 layers
        self.assertEqual(len(main["ops"]), 4 + 2 * 4 * 24)
        self.assertEqual([p["name"] for p in main["params"]], ["tokens", "weights"])
        self.assertEqual(main["params"][0]["ty"], {"dtype": "i32", "shape": [2, 128]})
        self.assertEqual([r["name"] for r in main["returns"]],
                         ["logits", "kv.0", "kv.1", "kv.2", "kv.3"])
        self.assertEqual(main["returns"][0]["ty"], {"dtype": "f32", "shape": [2, 128, 32000]})

        args = [a for op in main["ops"] for a in op["args"] if isinstance(a, str)]
        self.assertEqual([a for a in args if a.startswith("weights.")], [])
        renamed = {a for a in args if a.endswith(".weight")}
        self.assertEqual(len(renamed), 3 + 2 * 4 * 9)
        for name in ["tok_embeddings.weight", "norm.weight", "output.weight",
                     "stack0.layers.3.attention.wq.weight",
                     "stack0.layers.0.feed_forward.w3.weight",
                     "stack1.layers.2.ffn_norm.weight"]:
            self.assertIn(name, renamed)
        self.assertEqual(args.count("stack0.layers.3.attention.wq.weight"), 1)

    def test_warm_slot_with_repeated_key(self):
        main = self.load("main", ("kv.1", "kv.1"))
        self.assertEqual(len(main["ops"]), 4 + 2 * 4 * 24)
        self.assertEqual([p["name"] for p in main["params"]], ["tokens", "weights", "kv.1"])
        self.assertEqual([r["name"] for r in main["returns"]],
                         ["logits", "kv.0", "kv.1_new", "kv.2", "kv.3"])
        appends = [op for op in main["ops"] if op["outputs"] == ["kv.1_new"]]
        self.assertEqual(len(appends), 2)  # one per stack
        self.assertEqual(appends[0]["args"][0], "kv.1")

    def test_unknown_entry(self):
        self.assertEqual(self.body_message(_quarvel.load_flat_json, DECODER_QRV, DECODER_TOML,
                                           "nowhere"), "no entry found for key")


class ConfigurationTest(QuarvelCase):
    def setUp(self):
        self.files = Files(self)
        self.qrv = self.files.write("sized.qrv", SIZED)

    def flat(self, toml, qrv=None):
        config = self.files.write("c.toml", toml)
        return main_of(_quarvel.load_flat_json(qrv or self.qrv, config))

    def message(self, toml):
        config = self.files.write("c.toml", toml)
        return self.body_message(_quarvel.load_flat_json, self.qrv, config)

    def test_values(self):
        cases = [
            # toml, shape of x, op count (one per iteration, one after the loop)
            ("[shape]\nn = 4\nm = 3\n[scalar]\nk = 2\n", [4, 3], 3),
            ("[vector]\nk = 3\n[shape]\nn = 2.9\nm = -2.9\n[scalar]\nk = 0\n", [2, -2], 4),
            ("[shape]\nn = inf\nm = -inf\n[scalar]\nk = 1\nq = nan\n",
             [9223372036854775807, -9223372036854775808], 2),
            ("[scalar]\nn = nan\nk = 0\n[vector]\nm = [8]\n", [0, "param.m"], 1),
            # skipped kinds, non-table roots and other tables change nothing
            ("shape = 1\n[other]\nn = 1\n[scalar]\nk = 1\nn = \"4\"\nm = true\n"
             "[scalar.sub]\nx = 1\n", ["param.n", "param.m"], 2),
        ]
        for toml, shape, ops in cases:
            with self.subTest(toml=toml):
                main = self.flat(toml)
                self.assertEqual(main["params"][0]["ty"]["shape"], shape)
                self.assertEqual(len(main["ops"]), ops)

    def test_loop_count_left_as_a_name(self):
        for toml in ["", "[shape]\nk = 4\n[scalar]\nk = 2.5\n", "[scalar]\nk = 2\n[vector]\nk = [2]\n"]:
            with self.subTest(toml=toml):
                self.assertEqual(self.message(toml),
                                 "Loop count 'param.k' not resolved before flattening")

    def test_failures(self):
        cases = [
            ("[shape]\nk = 1\n[vector]\nv = [1, \"a\"]\n", "unexpected value in vector section"),
            ("[scalar]\nv = [[1]]\n", "unexpected value in vector section"),
            ("n = = 1\n",
             "failed to parse {path}: TOML parse error at line 1, column 5\n"
             "  |\n"
             "1 | n = = 1\n"
             "  |     ^\n"
             "Error while parsing value: could not determine value type"),
            (b"[shape]\nn = \"\xc3\x28\"\n", "failed to read {path}: stream did not contain valid UTF-8"),
        ]
        for toml, expected in cases:
            with self.subTest(toml=toml):
                path = os.path.join(self.files.dir, "c.toml")
                self.assertEqual(self.message(toml), expected.format(path=path))

    def test_duplicates_fail_to_parse(self):
        for toml in ["[scalar]\nk = 1\nk = 2\n", "[scalar]\nk = 1\n[scalar]\nj = 2\n"]:
            with self.subTest(toml=toml):
                self.assertTrue(self.message(toml).startswith("failed to parse "))

    def test_missing_files(self):
        # the source file is read first: its error wins over the configuration's
        message = self.body_message(_quarvel.load_flat_json, MISSING, MISSING + ".toml")
        self.assertFalse(message.startswith("failed to read"), message)
        self.assertIn("No such file or directory", message)
        broken = self.files.write("broken.qrv", "main(")
        message = self.body_message(_quarvel.load_flat_json, broken, MISSING + ".toml")
        self.assertFalse(message.startswith("failed to read"), message)
        self.assertEqual(self.body_message(_quarvel.load_flat_json, self.qrv, MISSING + ".toml"),
                         f"failed to read {MISSING}.toml: No such file or directory")


class RenamingTest(QuarvelCase):
    def setUp(self):
        self.files = Files(self)
        self.qrv = self.files.write("refs.qrv", RENAMING)

    def flat(self, toml):
        config = self.files.write("w.toml", toml)
        return main_of(_quarvel.load_flat_json(self.qrv, config))

    def test_references(self):
        main = self.flat(WEIGHTS_TOML)
        op = main["ops"][0]
        self.assertEqual(op["args"], ["x", 7, "tok.weight", "first.attn.weight",
                                      "blocks.3.attn.weight", "blocks.3.mix.1.weight",
                                      "blocks.3.mix.{}.weight", "tok.weight",
                                      "blocks.03.attn.weight", "blocks..attn.weight",
                                      "weights.layer.x1.attn", "weights.other.2", "weights",
                                      "Weights.embed"])
        # outputs and returns are never renamed
        self.assertEqual(op["outputs"], ["weights.embed"])
        self.assertEqual(main["returns"][0]["name"], "weights.embed")

    def test_without_weights(self):
        for toml in ["", "weights = 1\n", "[weights]\nn = 1\n[shape]\nembed = \"x\"\n"]:
            with self.subTest(toml=toml):
                self.assertEqual(self.flat(toml)["ops"][0]["args"], ["x", 7] + REFERENCES)

    def test_quoted_key_after_sub_table(self):
        toml = "[weights]\n\"layer.attn\" = \"y.{}\"\n[weights.layer]\nattn = \"x.{}\"\n"
        self.assertEqual(self.flat(toml)["ops"][0]["args"][3:5], ["y.0", "y.3"])


class TwoReadingsTest(QuarvelCase):
    """The configuration file is read once for its values and again for its
    weight names. A named pipe hands each reading a different document."""

    def run_with(self, first, second):
        files = Files(self)
        qrv = files.write("sized.qrv", SIZED.replace("map[copy](x)", "map[copy](x, weights.w)", 1))
        fifo = os.path.join(files.dir, "c.toml")
        os.mkfifo(fifo)
        # Each write blocks until a reader opens the pipe; the pause keeps the
        # second document out of the first reading.
        writer = subprocess.Popen(
            ["sh", "-c", 'printf %s "$1" > "$3"; sleep 0.5; printf %s "$2" > "$3"', "sh",
             first, second, fifo])
        self.addCleanup(writer.wait)
        self.addCleanup(writer.kill)
        return qrv, fifo

    def test_values_from_first_names_from_second(self):
        qrv, fifo = self.run_with("[shape]\nn = 2\nm = 3\n[scalar]\nk = 2\n"
                                  "[weights]\nw = \"first\"\n",
                                  "[shape]\nn = 9\n[scalar]\nk = 5\n[weights]\nw = \"second\"\n")
        main = main_of(_quarvel.load_flat_json(qrv, fifo))
        self.assertEqual(main["params"][0]["ty"]["shape"], [2, 3])
        self.assertEqual(len(main["ops"]), 3)
        self.assertEqual(main["ops"][-1]["args"], ["x_2", "second"])

    def test_second_reading_fails(self):
        qrv, fifo = self.run_with("[shape]\nn = 2\nm = 3\n[scalar]\nk = 2\n", "k = \n")
        message = self.body_message(_quarvel.load_flat_json, qrv, fifo)
        self.assertTrue(message.startswith(f"failed to parse {fifo}: TOML parse error at line 1"),
                        message)


if __name__ == "__main__":
    unittest.main()
