"""scripts/bench --quick runs every measurement on the test build and writes valid JSON: each
figure a number with its unit, or a row that says why it was skipped, and no measurement that
failed."""

import json
import math
import os
import sys
import tempfile
import unittest

from orqtest import BUILD_DIR, SOURCE_DIR, run

GROUPS = ("line", "http", "scale")


class QuickBench(unittest.TestCase):
    def test_quick_run_writes_every_figure_as_json(self):
        with tempfile.TemporaryDirectory(prefix="orq-bench-test-") as tmp:
            out = os.path.join(tmp, "bench.json")
            status, stdout, stderr = run(
                [sys.executable, os.path.join(SOURCE_DIR, "bench", "run.py"), "--quick",
                 "--build", BUILD_DIR, "--json", out], timeout=600)
            self.assertEqual(status, 0, stdout + stderr)
            with open(out) as f:
                result = json.load(f)

        self.assertEqual(result["failures"], [])
        self.assertTrue(result["quick"])
        rows = result["results"]
        self.assertEqual({r["group"] for r in rows} & set(GROUPS), set(GROUPS))
        for r in rows:
            with self.subTest(row=r["group"] + ": " + r["name"]):
                if r["value"] is None:
                    self.assertTrue(r["note"].startswith("skipped: "), r)
                    continue
                self.assertIsInstance(r["value"], (int, float))
                self.assertTrue(math.isfinite(r["value"]) and r["value"] >= 0, r)
                self.assertTrue(r["unit"], r)
                self.assertIn(r["met"], (True, False, None))
                if r["target"]:
                    self.assertIsNotNone(r["met"], r)
                # The table printed on standard output carries every measured row.
                self.assertIn(r["group"] + ": " + r["name"], stdout)
        self.assertGreater(len([r for r in rows if r["value"] is not None]), len(GROUPS))


if __name__ == "__main__":
    unittest.main()
