"""Databases built in Python against qef64make's, and the Python recipe of
docs/recipes.md."""

import os
import re
import subprocess
import sys

import qef64
from support import (SOURCE_DIR, TempDirTest, framing, random_records, run_tool,
                     seeded, tool)


class SameBytesAsQef64make(TempDirTest):
    def made_by_qef64make(self, records):
        path = self.path("made.db")
        result = run_tool([tool("qef64make"), path, path + ".tmp"], framing(records))
        self.assertEqual(result.returncode, 0, result.stderr)
        with open(path, "rb") as f:
            return f.read()

    def test_build_and_builder_write_qef64makes_bytes(self):
        for n in (0, 1, 2000):
            records = random_records(seeded(self.id()), n)[:n]
            expected = self.made_by_qef64make(records)
            qef64.build(self.path("built.db"), iter(records))
            with qef64.Builder(self.path("added.db")) as b:
                for key, value in records:
                    b.add(bytearray(key), memoryview(value))
            for name in ("built.db", "added.db"):
                with open(self.path(name), "rb") as f:
                    self.assertEqual(f.read(), expected, (n, name))


class TabSeparatedRecipe(TempDirTest):
    def recipe(self):
        """The tab-separated recipe of docs/recipes.md, as its reader copies
        it."""
        with open(os.path.join(SOURCE_DIR, "docs", "recipes.md"), encoding="utf-8") as f:
            text = f.read()
        found = re.search(r"<!-- recipe: tsv2qef64 -->\n```python\n(.*?)```", text, re.S)
        self.assertIsNotNone(found, "docs/recipes.md lacks the recipe")
        path = self.path("tsv2qef64.py")
        with open(path, "w", encoding="utf-8") as f:
            f.write(found.group(1))
        return path

    def test_recipe_builds_what_each_line_says(self):
        lines = ["Asunción\tParaguay", "Zürich\tSwitzerland", "Asunción\tcapital",
                 "no tab here", "\tempty key", "tabs\tin\tvalue", "ünïcödé\t"]
        tsv = self.path("places.tsv")
        with open(tsv, "wb") as f:
            f.write("\n".join(lines).encode() + b"\n")
        db_path = self.path("places.db")
        # The interpreter, unlike the programs, keeps whatever is preloaded.
        result = subprocess.run([sys.executable, self.recipe(), tsv, db_path],
                                capture_output=True, check=False)
        self.assertEqual(result.returncode, 0, result.stderr)
        with qef64.open(db_path) as db:
            self.assertEqual(db.get_all("Asunción".encode()), [b"Paraguay", b"capital"])
            self.assertEqual(db[b"no tab here"], b"")
            self.assertEqual(db[b""], b"empty key")
            self.assertEqual(db[b"tabs"], b"in\tvalue")
            self.assertEqual(len(db), len(lines))
        # The command line finds the same bytes.
        with open(db_path, "rb") as f:
            got = run_tool([tool("qef64get"), "Asunción", "1"], stdin=f)
        self.assertEqual((got.returncode, got.stdout), (0, b"capital"))
