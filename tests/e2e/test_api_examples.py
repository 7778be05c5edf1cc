"""docs/api.md as a new user meets it: orq with the sample configuration/config.ini (only its
port changed) on zbsim's demo network, every example of docs/api.md run in order with curl and
zbsim-ctl, each answered as the page says; and the sample runs without the debug log."""

import os
import re
import shlex
import shutil
import sys
import tempfile
import unittest

sys.path.insert(0, os.path.dirname(__file__))
from gatewaytest import (DEMO, ZBSIM, ZBSIM_CTL, Listener, code_of, free_port,  # noqa: E402
                         value_of)
from orqtest import ORQ, SOURCE_DIR, Process, run, sample_config, wait_for  # noqa: E402

API = os.path.join(SOURCE_DIR, "docs", "api.md")
# A line of the debug log: "<file>:<line> - <text>".
DEBUG_LINE = re.compile(r"^\S+\.(?:cpp|h):\d+ - ", re.M)


def examples(text):
    """The commands of the page's code blocks, in order, as (command, comment): curl and
    zbsim-ctl lines, continuation lines joined; the comment is what follows " # "."""
    commands = []
    for block in re.findall(r"^```\n(.*?)^```", text, re.S | re.M):
        for line in block.replace("\\\n", " ").splitlines():
            if not line.startswith(("curl ", "build/sim/zbsim-ctl ")):
                continue
            m = re.match(r"^(.*?)\s+#\s+(.*)$", line)
            if m and m.group(1).count("'") % 2 == 0:
                commands.append((m.group(1), m.group(2)))
            else:
                commands.append((line, ""))
    return commands


@unittest.skipIf(shutil.which("curl") is None, "curl not installed")
class ApiExamples(unittest.TestCase):
    def setUp(self):
        self.dir = tempfile.TemporaryDirectory(prefix="orq-api-")
        self.control = os.path.join(self.dir.name, "zbsim.sock")
        link = os.path.join(self.dir.name, "ttyZB")
        self.sim = Process([ZBSIM, "--network", DEMO, "--link", link, "--control", self.control])
        self.assertTrue(self.sim.wait_output("zbsim: ready"), self.sim.output())
        self.port = free_port()
        sample = sample_config()
        config = os.path.join(self.dir.name, "config.ini")
        with open(config, "w") as f:
            f.write(re.sub(r"(?m)^serverPorts = 9000$", "serverPorts = %d" % self.port, sample))
        self.listener = Listener()
        self.orq = Process([ORQ, "-c", config, "zigbee://%s?dongle=freescale" % link],
                           cwd=self.dir.name)
        self.assertTrue(self.orq.wait_output("Device started"), self.orq.output()[-3000:])

    def tearDown(self):
        self.orq.stop()
        self.orq.close()
        self.sim.stop()
        self.sim.close()
        self.listener.close()
        self.dir.cleanup()

    def curl(self, command, callback):
        command = (command.replace("http://localhost:9000", "http://127.0.0.1:%d" % self.port)
                   .replace("http://127.0.0.1:9100", "http://127.0.0.1:%d" % self.listener.port)
                   .replace("<id>", callback))
        return run(shlex.split(command))[1]

    def running(self):
        return value_of(run(["curl", "-s", "http://127.0.0.1:%d/ib/00/00" % self.port])[1]) == "3"

    def test_every_example_in_order_as_the_page_says(self):
        # What only it checks: every example of the API page, run as a new user runs it, gets the
        # answer the page shows.
        with open(API) as f:
            page = f.read()
        callback = ""
        for command, comment in examples(page):
            if command.startswith("build/sim/zbsim-ctl "):
                args = shlex.split(command.replace("<socket>", self.control))
                status, out, _ = run([ZBSIM_CTL] + args[1:])
                self.assertEqual(0, status, "%s: %s" % (command, out))
                continue
            quoted = re.search(r'"([^"]+)"', comment)
            bare = re.fullmatch(r"\d+", comment.split()[0]) if comment else None

            def answered(out):
                if quoted:
                    return quoted.group(1) in out
                if bare:
                    return out.strip() == bare.group(0)
                return code_of(out) == 0
            # What reads is asked again until the page's answer comes (the network may be
            # busy with the walk an earlier example started); what changes is asked once.
            outs = []

            def attempt():
                outs.append(self.curl(command, callback))
                return answered(outs[-1])
            reads = " -X " not in command and " -d " not in command
            ok = wait_for(attempt) if reads else attempt()
            out = outs[-1]
            self.assertTrue(ok, "%s\n  -> %s\n%s" % (command, out, self.orq.output()[-2000:]))
            m = re.search(r"<(?:\w+:)?CallbackIdentifier>(\d+)<", out)
            if m and "/callbacks " in command + " " and not reads:
                callback = "%08x" % int(m.group(1))
            walk = re.search(r"[?&]inquiry&.*urilistener=http://127.0.0.1:9100/(\w+)", command)
            if walk:
                # The reader waits for the walk's end, one event per node, as the page says.
                nodes = int(run([ZBSIM_CTL, self.control, "list"])[1].split()[1])
                self.assertTrue(self.listener.wait(walk.group(1), nodes), self.orq.output()[-3000:])
            if "/reset?restart" in command:
                # The network starts again (the "Device started" banner) before it is used.
                self.assertTrue(wait_for(self.running), self.orq.output()[-3000:])

    def test_the_sample_configuration_runs_without_the_debug_log(self):
        # What only it checks: the sample configuration runs the daemon without writing the debug
        # log.
        self.assertEqual(0, code_of(self.curl(
            "curl -s 'http://localhost:9000/net/default/wsnnodes?inquiry&timeout=ea60"
            "&urilistener=http://127.0.0.1:9100/inquiry'", "")))
        self.assertTrue(self.listener.wait("inquiry", 6), self.orq.output()[-3000:])
        self.assertIsNone(DEBUG_LINE.search(self.orq.output()), self.orq.output()[-3000:])


if __name__ == "__main__":
    unittest.main(verbosity=2)
