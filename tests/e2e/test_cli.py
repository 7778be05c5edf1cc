"""The command line of orq: options, usage and version texts, exit statuses, stop signals."""

import os
import socket
import sys
import tempfile
import unittest

sys.path.insert(0, os.path.dirname(__file__))
from orqtest import ORQ, SOURCE_DIR, run  # noqa: E402

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
    "  --check-config     Check the configuration file (-c), print every problem and quit.\n"
    "\n"
)
VERSION = "orq version 5.3.15\nORQ for ZigBee networks\n"
BANNER = "ZigBee Network Device - Gateway (version 5.3.15)"


class CommandLine(unittest.TestCase):
    def setUp(self):
        self.dir = tempfile.TemporaryDirectory(prefix="orq-cli-")
        self.config = os.path.join(self.dir.name, "test.ini")
        with open(self.config, "w") as f:
            f.write("[main]\nautostart = 0\n[DefaultStartupAttributeSet]\nChannelMask = 15\n")

    def tearDown(self):
        self.dir.cleanup()

    def test_version_prints_two_lines_and_exits_6(self):
        # What only it checks: the version text and its exit status.
        status, out, err = run([ORQ, "-V"], cwd=self.dir.name)
        self.assertEqual(6, status)
        self.assertEqual(VERSION, out)
        self.assertEqual("", err)

    def test_version_ignores_options_after_it(self):
        # What only it checks: options after -v are not looked at.
        status, out, _ = run([ORQ, "-V", "-h", "-c", "/nonexistent"], cwd=self.dir.name)
        self.assertEqual(6, status)
        self.assertEqual(VERSION, out)

    def test_help_prints_exact_usage_and_exits_5(self):
        # What only it checks: the usage text and its exit status.
        status, out, err = run([ORQ, "-h"], cwd=self.dir.name)
        self.assertEqual(5, status)
        self.assertEqual(USAGE, out)
        self.assertEqual("", err)

    def test_unknown_option_complains_then_usage_exit_5(self):
        # What only it checks: an unknown option is named before the usage.
        status, out, err = run([ORQ, "-x"], cwd=self.dir.name)
        self.assertEqual(5, status)
        self.assertIn("invalid option -- 'x'", err)
        self.assertEqual(USAGE, out)

    def test_missing_argument_is_an_option_error(self):
        # What only it checks: an option without its argument is an option error.
        status, out, err = run([ORQ, "-c"], cwd=self.dir.name)
        self.assertEqual(5, status)
        self.assertIn("option requires an argument -- 'c'", err)
        self.assertEqual(USAGE, out)

    def test_missing_config_file_exits_3_before_banner(self):
        # What only it checks: a missing configuration file ends the process before its banner.
        missing = os.path.join(self.dir.name, "absent.ini")
        status, out, _ = run([ORQ, "-c", missing], cwd=self.dir.name)
        self.assertEqual(3, status)
        self.assertEqual("ERROR: Loading configuration file %s\n" % missing, out)
        self.assertNotIn(BANNER, out)

    def test_default_config_name_is_config_ini(self):
        # What only it checks: the configuration file read when none is named.
        status, out, _ = run([ORQ], cwd=self.dir.name)
        self.assertEqual(3, status)
        self.assertEqual("ERROR: Loading configuration file config.ini\n", out)

    def test_options_after_help_are_not_looked_at(self):
        # What only it checks: options after -h are not looked at.
        status, out, _ = run([ORQ, "-h", "-x"], cwd=self.dir.name)
        self.assertEqual(5, status)
        self.assertEqual(USAGE, out)

    def test_later_config_option_overrides_earlier(self):
        # What only it checks: of two configuration options, the later holds.
        missing = os.path.join(self.dir.name, "second.ini")
        status, out, _ = run([ORQ, "-c", self.config, "-c", missing], cwd=self.dir.name)
        self.assertEqual(3, status)
        self.assertIn(missing, out)

    def _device_tried(self, args):
        status, out, err = run([ORQ, "-c", self.config] + args, cwd=self.dir.name)
        # No such device: the gateway ends with 1 and names the URL it tried.
        self.assertEqual(1, status, out + err)
        self.assertIn(BANNER, out)
        return err

    def test_device_url_from_option_or_argument(self):
        # What only it checks: the device named by option or by argument.
        first = "zigbee://%s/first?dongle=freescale" % self.dir.name
        second = "zigbee://%s/second?dongle=freescale" % self.dir.name
        opened = 'ERROR: cannot open the ZigBee device "%s"'
        self.assertIn(opened % first, self._device_tried(["-d", first]))
        self.assertIn(opened % first, self._device_tried([first]))
        err = self._device_tried(["-d", first, second, "ignored-third"])
        self.assertIn(opened % second, err)
        self.assertNotIn(opened % first, err)

    def test_unknown_section_and_key_are_warned_about_at_start(self):
        # What only it checks: unknown sections and keys are warned about at start.
        with open(self.config, "a") as f:
            f.write("[RESTSever]\nserverPort = 9001\n")
        err = self._device_tried(["zigbee://%s/none?dongle=freescale" % self.dir.name])
        self.assertEqual([
            "WARNING: %s:5: unknown section [RESTSever] - did you mean RESTServer?" % self.config,
            "WARNING: %s:6: unknown key RESTSever:serverPort - did you mean "
            "RESTServer:serverPorts?" % self.config,
        ], [line for line in err.splitlines() if line.startswith("WARNING")])

    def test_default_device_url(self):
        # What only it checks: the device opened when none is named.
        err = self._device_tried(["-v", "-n", "wsn-1"])
        self.assertIn('"zigbee:///dev/ttyUSB0?dongle=ezsp"', err)

    def test_a_device_that_cannot_be_opened_is_explained_once(self):
        # What only it checks: a device that cannot be opened is explained once, with what to do.
        form = ('A device URL has the form zigbee://<device>?dongle=freescale, for example '
                'zigbee:///dev/ttyUSB0?dongle=freescale ("freescale" is the one supported '
                'back-end)')
        cases = [(["zigbee://%s/ttyUSB7?dongle=freescale" % self.dir.name],
                  "No such file or directory"),
                 ([os.path.join(self.dir.name, "ttyUSB0")], "not a device URL"),
                 ([], "dongle ezsp not supported")]  # the built-in default URL
        for args, reason in cases:
            status, out, err = run([ORQ, "-c", self.config] + args, cwd=self.dir.name)
            both = out + err
            self.assertEqual(1, status, both)
            # One line on standard error says what failed and why, the next one what to write.
            self.assertEqual(1, both.count("cannot open the ZigBee device"), both)
            self.assertEqual(1, both.count(reason), both)
            self.assertIn("(%s) - exit\n%s\n" % (reason, form), err)
        self.assertIn('No device URL given: trying the built-in default '
                      '"zigbee:///dev/ttyUSB0?dongle=ezsp"', err)


if __name__ == "__main__":
    unittest.main(verbosity=2)


class CheckConfig(unittest.TestCase):
    """orq --check-config reads the file as a start does, prints each problem and opens nothing."""

    def setUp(self):
        self.dir = tempfile.TemporaryDirectory(prefix="orq-check-")
        self.config = os.path.join(self.dir.name, "orq.ini")
        self.device = "zigbee://%s/absent?dongle=freescale" % self.dir.name

    def tearDown(self):
        self.dir.cleanup()

    def check(self, text):
        with open(self.config, "w") as f:
            f.write(text)
        return run([ORQ, "--check-config", "-c", self.config, self.device], cwd=self.dir.name)

    def test_a_good_configuration_passes_without_opening_device_or_port(self):
        # What only it checks: the configuration check passes a good file without opening the
        # device or the port.
        with socket.socket() as held:
            held.bind(("127.0.0.1", 0))
            held.listen(1)
            port = held.getsockname()[1]
            status, out, err = self.check(
                "[main]\nautostart = 0\n[Storage]\n; nothing set yet\n[RESTServer]\n"
                "serverPorts = 127.0.0.1:%d\nssl = 0\nsslCertFile = /absent.pem\n"
                "[DefaultStartupAttributeSet]\nChannelMask = 15\n" % port)
        # A start would have ended with 1 on the absent device (or 2 on the held port).
        self.assertEqual((0, "%s: configuration OK\n" % self.config, ""), (status, out, err))
        with open(os.path.join(SOURCE_DIR, "config", "config.ini")) as f:
            status, out, _ = self.check(f.read())
        self.assertEqual(0, status, out)

    def test_every_problem_is_printed_and_the_status_is_10(self):
        # What only it checks: the configuration check prints every problem and ends with 10.
        status, out, err = self.check(
            "[main]\nautostart = 0\nstartupMod = 1\n[RESTServer]\nssl = 1\n"
            "sslCertFile = %s\nconnectionsPerAddress = 300\n"
            "[DefaultStartupAttributeSet]\nChannelMask = 0x100000\n" % self.dir.name)
        self.assertEqual(10, status, out + err)
        self.assertEqual([
            "WARNING: %s:3: unknown key main:startupMod - did you mean main:startupMode?",
            "ERROR: %s:6: RESTServer:sslCertFile = " + self.dir.name +
            " - cannot be read: Is a directory",
            "ERROR: %s:7: RESTServer:connectionsPerAddress = 300 - not 1 to 256",
            "ERROR: %s:9: DefaultStartupAttributeSet:ChannelMask = 0x100000 - not 0 (every "
            "channel) or a channel 11 to 26",
            "%s: 4 problems",
        ], [line.replace(self.config, "%s") for line in out.splitlines()])
        self.assertNotIn(BANNER, out)
        status, out, _ = self.check("[main]\nautostart = 0\n")
        self.assertEqual((10, "ERROR: %s: DefaultStartupAttributeSet:ChannelMask - absent: it "
                          "must be set\n%s: 1 problem\n" % (self.config, self.config)),
                         (status, out))
