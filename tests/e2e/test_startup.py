"""Gateway start-up as a process: orq forms the network on zbsim, stops on SIGTERM, and ends
with its own status when the link or the channel setting is wrong."""

import os
import signal
import sys
import tempfile
import unittest

sys.path.insert(0, os.path.dirname(__file__))
from orqtest import BUILD_DIR, ORQ, SOURCE_DIR, Process, run, sample_config, wait_for  # noqa: E402

ZBSIM = os.path.join(BUILD_DIR, "sim", "zbsim")
ZBSIM_CTL = os.path.join(BUILD_DIR, "sim", "zbsim-ctl")
NETWORK = os.path.join(SOURCE_DIR, "config", "networks", "demo.ini")
DEVICE_STARTED = "Device started (ORQ shortAddr = 0x0000 - ORQ IEEE address = "


class Startup(unittest.TestCase):
    def setUp(self):
        self.dir = tempfile.TemporaryDirectory(prefix="orq-startup-")
        self.link = os.path.join(self.dir.name, "ttyZB")
        self.control = os.path.join(self.dir.name, "zbsim.sock")
        self.sim = Process([ZBSIM, "--network", NETWORK, "--link", self.link,
                            "--control", self.control])
        self.assertTrue(self.sim.wait_output("zbsim: ready"), self.sim.output())
        self.url = "zigbee://%s?dongle=freescale" % self.link
        self.sample = self.write_config(sample_config(), "sample.ini")
        self.orq = None

    def tearDown(self):
        if self.orq is not None:
            self.orq.close()
        self.sim.stop(signal.SIGTERM)
        self.sim.close()
        self.dir.cleanup()

    def write_config(self, text, name="test.ini"):
        path = os.path.join(self.dir.name, name)
        with open(path, "w") as f:
            f.write(text)
        return path

    def sim_status(self):
        status, out, _ = run([ZBSIM_CTL, self.control, "status"])
        return out if status == 0 else ""

    def test_forms_the_network_and_stops_on_sigterm_with_4(self):
        # What only it checks: the daemon forms the network on the emulated module and ends with 4
        # at SIGTERM.
        self.orq = Process([ORQ, "-c", self.sample, "-n", "wsn-e2e", self.url], cwd=self.dir.name)
        self.assertTrue(self.orq.wait_output(DEVICE_STARTED), self.orq.output())
        out = self.orq.output()
        self.assertIn("ZigBee Network Device - Gateway (version 5.3.15)", out)
        self.assertIn("ORQ IEEE address = 00:12:4b:00:00:00:00:01 - Channel Mask = 15)", out)
        self.assertTrue(wait_for(lambda: "network=up role=coordinator" in self.sim_status()),
                        self.sim_status())
        self.assertIsNone(self.orq.proc.poll())
        self.assertEqual(4, self.orq.stop(signal.SIGTERM), self.orq.output())
        out = self.orq.output()
        # The link was closed on the way out.
        self.assertIn("LocalNode<T>::stop", out)
        self.assertIn("OrqZbIf::ZbIfDisconnect_W", out)

    def test_without_autostart_the_module_is_reset_and_waits(self):
        # What only it checks: without autostart the module is reset and the daemon waits for a
        # start.
        config = self.write_config(
            "[main]\nplatform = 1\nautostart = 0\n"
            "[DefaultStartupAttributeSet]\nChannelMask = 15\n")
        self.orq = Process([ORQ, "-c", config, self.url], cwd=self.dir.name)
        self.assertTrue(self.orq.wait_output(
            "Gateway initialized (waiting for startup) - StartupMode = 0x00 (Commissioning)"),
            self.orq.output())
        self.assertNotIn("Device started", self.orq.output())
        self.assertIn("network=down", self.sim_status())
        self.assertEqual(4, self.orq.stop(signal.SIGINT), self.orq.output())

    def test_option_a_starts_even_when_autostart_is_off_and_m_uses_nvm(self):
        # What only it checks: -a starts the network whatever autostart says, and -m starts from
        # the stored network.
        config = self.write_config(
            "[main]\nplatform = 1\nautostart = 0\n"
            "[DefaultStartupAttributeSet]\nChannelMask = 15\n")
        self.orq = Process([ORQ, "-c", config, "-a", "-m", self.url], cwd=self.dir.name)
        self.assertTrue(self.orq.wait_output(DEVICE_STARTED), self.orq.output())
        self.assertIn("USING NVM SETTING", self.orq.output())
        self.assertEqual(4, self.orq.stop(signal.SIGTERM), self.orq.output())

    def test_a_device_that_cannot_be_opened_ends_with_1_naming_it(self):
        # What only it checks: a device that cannot be opened ends the daemon with 1, naming it.
        missing = "zigbee://%s/absent?dongle=freescale" % self.dir.name
        status, out, err = run([ORQ, "-c", self.sample, missing], cwd=self.dir.name)
        self.assertEqual(1, status, out + err)
        self.assertIn('ERROR: cannot open the ZigBee device "%s"' % missing, err)

    def test_an_invalid_channel_setting_ends_with_7(self):
        # What only it checks: an invalid channel setting ends the daemon with 7.
        config = self.write_config(
            "[main]\nplatform = 1\n[DefaultStartupAttributeSet]\nChannelMask = 27\n")
        status, out, _ = run([ORQ, "-c", config, self.url], cwd=self.dir.name)
        self.assertEqual(7, status, out)
        self.assertIn("loadDefaultStartAttributeSet - INVALID CHANNEL MASK: 1b", out)


if __name__ == "__main__":
    unittest.main(verbosity=2)
