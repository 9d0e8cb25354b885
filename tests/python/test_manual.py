"""Runs every example of the manual (README.md and docs/*.md), checking the shown results.

Fenced blocks, per document and in order:
- `pycon`: doctest examples, run in one namespace per document, in a
  temporary working directory;
- a block right after a line `<!-- file: NAME -->`: written there as NAME
  before the examples run (a `.qrv` file must parse, a `.toml` file must load);
- `sh`: commands; the presets and scripts they name must exist;
- `text`: an illustration, not run.
Any other block fails the test, so that no example escapes it.
"""
import doctest
import glob
import json
import os
import re
import shlex
import tempfile
import tomllib
import unittest

import _quarvel
from support import captured_fd2

ROOT = os.path.normpath(os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", ".."))
DOCUMENTS = [os.path.join(ROOT, "README.md")] + sorted(glob.glob(os.path.join(ROOT, "docs", "*.md")))

FENCE = re.compile(r"^```([a-z]*)\n(.*?)^```$", re.M | re.S)
FILE_MARK = re.compile(r"<!-- file: ([\w.-]+) -->\n$")


def blocks(text):
    """(language, body, file name or None, line number) of each fenced block."""
    for m in FENCE.finditer(text):
        before = text[:m.start()]
        mark = FILE_MARK.search(before)
        yield m.group(1), m.group(2), mark.group(1) if mark else None, before.count("\n") + 1


class ManualTest(unittest.TestCase):
    def test_documents_exist(self):
        self.assertTrue(os.path.isfile(DOCUMENTS[0]))
        self.assertIn(os.path.join(ROOT, "docs", "language.md"), DOCUMENTS)

    def test_examples(self):
        for path in DOCUMENTS:
            with self.subTest(os.path.relpath(path, ROOT)):
                self.run_document(path)

    def run_document(self, path):
        with open(path, encoding="utf-8") as f:
            text = f.read()
        name = os.path.relpath(path, ROOT)
        files, examples, commands = {}, [], []
        for language, body, file_name, line in blocks(text):
            where = f"{name}:{line}"
            if file_name is not None:
                self.assertNotIn(file_name, files, where)
                files[file_name] = body
            elif language == "pycon":
                examples.append((body, line))
            elif language == "sh":
                commands.extend((c, where) for c in body.splitlines())
            else:
                self.assertEqual(language, "text", f"{where}: a ```{language} block is not run")
        self.assertTrue(examples, f"{name} has no examples")
        for command, where in commands:
            self.check_command(command, where)

        with tempfile.TemporaryDirectory() as tmp:
            for file_name, body in files.items():
                with open(os.path.join(tmp, file_name), "w", encoding="utf-8") as f:
                    f.write(body)
                if file_name.endswith(".qrv"):
                    _quarvel.parse_to_json(body)
                elif file_name.endswith(".toml"):
                    tomllib.loads(body)
            saved = os.getcwd()
            os.chdir(tmp)
            try:
                failures = self.run_examples(name, examples)
            finally:
                os.chdir(saved)
        self.assertEqual(failures, "", f"examples of {name} failed:\n{failures}")

    def run_examples(self, name, examples):
        parser = doctest.DocTestParser()
        runner = doctest.DocTestRunner(verbose=False, optionflags=doctest.ELLIPSIS)
        globs = {"__name__": "manual"}
        out = []
        # Failures inside the examples write their reports to fd 2.
        with captured_fd2():
            for body, line in examples:
                test = parser.get_doctest(body, globs, name, name, line)
                runner.run(test, out=out.append, clear_globs=False)
                globs = test.globs  # a copy, which the next block goes on from
        return "".join(out)

    def check_command(self, command, where):
        words = shlex.split(command)
        with open(os.path.join(ROOT, "CMakePresets.json"), encoding="utf-8") as f:
            presets = json.load(f)
        for i, word in enumerate(words):
            if word == "--preset":
                kind = "workflowPresets" if "--workflow" in words[:i] else "configurePresets"
                self.assertIn(words[i + 1], [p["name"] for p in presets[kind]], where)
            if word.startswith("scripts/"):
                self.assertTrue(os.access(os.path.join(ROOT, word), os.X_OK), f"{where}: {word}")
            if word == "--install":
                self.assertEqual(words[i + 1], "build/default", where)


if __name__ == "__main__":
    unittest.main()
