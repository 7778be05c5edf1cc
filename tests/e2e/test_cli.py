"""The command line of orq: options, usage and version texts, exit statuses, stop signals."""

import os
import signal
import sys
import tempfile
import unittest

sys.path.insert(0, os.path.dirname(__file__))
from orqtest import ORQ, Process, run  # noqa: E402

USAGE = (
    "Usage: orq [options...] <device url>\n"
    "Options:\n"
    "  -h                 Show this information\n"
    "  -c <filename>      Main configuration filename (default: \"config.ini\"\n"
    "  -a                 If present, create the network on startup (ignore config.ini setting)\n"
    "  -m                 If present, use the NVM setting (ignore config.ini setting)\n"
    "  -d                 Specify the device url\n"
    "  -n <WSN name>      WSN name (i.e. QLM ethernet MAC address) \n"
    "  -v                 Be verbose.\n"
    "  -V                 Show the program version and quit.\n"
    "\n"
)
VERSION = "orq version 5.3.15\nORQ for ZigBee networks\n"
BANNER = "ZigBee Network Device - Gateway (version 5.3.15)"


class CommandLine(unittest.TestCase):
    def setUp(self):
        self.dir = tempfile.TemporaryDirectory(prefix="orq-cli-")
        self.config = os.path.join(self.dir.name, "test.ini")
        with open(self.config, "w") as f:
            # No device URL that exists: the gateway stays up without its module.
            f.write("[main]\nautostart = 0\n[DefaultStartupAttributeSet]\nChannelMask = 15\n")

    def tearDown(self):
        self.dir.cleanup()

    def test_version_prints_two_lines_and_exits_6(self):
        status, out, err = run([ORQ, "-V"], cwd=self.dir.name)
        self.assertEqual(6, status)
        self.assertEqual(VERSION, out)
        self.assertEqual("", err)

    def test_version_ignores_options_after_it(self):
        status, out, _ = run([ORQ, "-V", "-h", "-c", "/nonexistent"], cwd=self.dir.name)
        self.assertEqual(6, status)
        self.assertEqual(VERSION, out)

    def test_help_prints_exact_usage_and_exits_5(self):
        status, out, err = run([ORQ, "-h"], cwd=self.dir.name)
        self.assertEqual(5, status)
        self.assertEqual(USAGE, out)
        self.assertEqual("", err)

    def test_unknown_option_complains_then_usage_exit_5(self):
        status, out, err = run([ORQ, "-x"], cwd=self.dir.name)
        self.assertEqual(5, status)
        self.assertIn("invalid option -- 'x'", err)
        self.assertEqual(USAGE, out)

    def test_missing_argument_is_an_option_error(self):
        status, out, err = run([ORQ, "-c"], cwd=self.dir.name)
        self.assertEqual(5, status)
        self.assertIn("option requires an argument -- 'c'", err)
        self.assertEqual(USAGE, out)

    def test_missing_config_file_exits_3_before_banner(self):
        missing = os.path.join(self.dir.name, "absent.ini")
        status, out, _ = run([ORQ, "-c", missing], cwd=self.dir.name)
        self.assertEqual(3, status)
        self.assertEqual("ERROR: Loading configuration file %s\n" % missing, out)
        self.assertNotIn(BANNER, out)

    def test_default_config_name_is_config_ini(self):
        status, out, _ = run([ORQ], cwd=self.dir.name)
        self.assertEqual(3, status)
        self.assertEqual("ERROR: Loading configuration file config.ini\n", out)

    def test_options_after_help_are_not_looked_at(self):
        status, out, _ = run([ORQ, "-h", "-x"], cwd=self.dir.name)
        self.assertEqual(5, status)
        self.assertEqual(USAGE, out)

    def test_later_config_option_overrides_earlier(self):
        missing = os.path.join(self.dir.name, "second.ini")
        status, out, _ = run([ORQ, "-c", self.config, "-c", missing], cwd=self.dir.name)
        self.assertEqual(3, status)
        self.assertIn(missing, out)

    def _serve_until(self, args, sig):
        proc = Process([ORQ, "-c", self.config] + args, cwd=self.dir.name)
        try:
            self.assertTrue(proc.wait_output(BANNER), proc.output())
            self.assertIsNone(proc.proc.poll(), "orq must keep running: " + proc.output())
            return proc.stop(sig), proc.output()
        finally:
            proc.close()

    def test_sigterm_while_serving_exits_4(self):
        status, out = self._serve_until([], signal.SIGTERM)
        self.assertEqual(4, status, out)

    def test_sigint_while_serving_exits_4(self):
        status, out = self._serve_until(["-v", "-n", "wsn-1"], signal.SIGINT)
        self.assertEqual(4, status, out)


if __name__ == "__main__":
    unittest.main(verbosity=2)
