"""scripts/bench --quick runs every measurement on the test build and writes valid JSON: each
figure a number with its unit, or a row that says why it was skipped, and no measurement that
failed; without the benchmark tools (wrk, nginx) the rows that need them say which is missing
and the others are still measured."""

import json
import math
import os
import shutil
import subprocess
import sys
import tempfile
import unittest

from orqtest import BUILD_DIR, SOURCE_DIR

GROUPS = ("line", "http", "scale", "store", "events")


def quick(*args, env=None):
    """(result document, standard output) of bench/run.py --quick on the test build."""
    with tempfile.TemporaryDirectory(prefix="orq-bench-test-") as tmp:
        out = os.path.join(tmp, "bench.json")
        done = subprocess.run(
            [sys.executable, os.path.join(SOURCE_DIR, "bench", "run.py"), "--quick",
             "--build", BUILD_DIR, "--json", out] + list(args),
            capture_output=True, text=True, timeout=600, env=env)
        if done.returncode != 0:
            raise AssertionError("bench/run.py ended with %d:\n%s%s"
                                 % (done.returncode, done.stdout, done.stderr))
        with open(out) as f:
            return json.load(f), done.stdout


def path_without(tmp, *tools):
    """The PATH with `tools` hidden: each directory holding one of them is replaced by a copy
    in `tmp` made of links to everything else in it."""
    dirs = []
    for i, d in enumerate(os.environ["PATH"].split(os.pathsep)):
        if any(os.path.exists(os.path.join(d, t)) for t in tools):
            copy = os.path.join(tmp, str(i))
            os.mkdir(copy)
            for name in os.listdir(d):
                if name not in tools:
                    os.symlink(os.path.join(d, name), os.path.join(copy, name))
            d = copy
        dirs.append(d)
    return os.pathsep.join(dirs)


# The rows that need wrk, and the one measured without it.
NEEDS_WRK = ("throughput against nginx", "orq plain HTTP during TLS handshake flood")
WITHOUT_WRK = "transport alone during TLS handshake flood"


def check_missing_tools(test, result):
    """Without wrk, the rows that need it say so and the transport is still measured."""
    notes = {r["name"]: r["note"] for r in result["results"] if r["value"] is None}
    for name in NEEDS_WRK:
        test.assertTrue(notes.get(name, "").startswith("skipped: wrk not installed"), notes)
    measured = [r["name"] for r in result["results"] if r["value"] is not None]
    test.assertIn(WITHOUT_WRK, measured)


class QuickBench(unittest.TestCase):
    def test_quick_run_writes_every_figure_as_json(self):
        # What only it checks: the benchmark script runs every measurement and writes each figure
        # as JSON.
        result, stdout = quick()
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
        if shutil.which("wrk") is None and shutil.which("openssl") is not None:
            check_missing_tools(self, result)

    @unittest.skipIf(shutil.which("openssl") is None, "openssl not installed")
    @unittest.skipIf(shutil.which("wrk") is None and shutil.which("nginx") is None,
                     "neither wrk nor nginx installed: the quick run above went without them")
    def test_rows_needing_a_missing_tool_say_so_and_the_rest_run(self):
        # What only it checks: with wrk and nginx hidden, their rows say so and the others are
        # measured.
        with tempfile.TemporaryDirectory(prefix="orq-bench-path-") as tmp:
            path = path_without(tmp, "wrk", "nginx")
            result, _ = quick("--only", "http", env=dict(os.environ, PATH=path))
        self.assertEqual(result["failures"], [])
        check_missing_tools(self, result)


if __name__ == "__main__":
    unittest.main()
