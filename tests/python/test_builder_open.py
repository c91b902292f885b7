"""Builder: a path that can never take a database fails at the open."""

import os

import qef64
from support import TempDirTest


class PathChecks(TempDirTest):
    def test_directory_and_missing_directory_fail_at_once(self):
        os.mkdir(self.path("taken"))
        with self.assertRaises(IsADirectoryError) as caught:
            qef64.Builder(self.path("taken"))
        self.assertEqual(caught.exception.filename, self.path("taken"))
        with self.assertRaises(FileNotFoundError):
            qef64.Builder(self.path("missing/x.db"))
        self.assertEqual(os.listdir(self.dir), ["taken"])
