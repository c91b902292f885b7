"""Databases built in Python against qef64make's."""

import qef64
from support import TempDirTest, framing, random_records, run_tool, seeded, tool


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

