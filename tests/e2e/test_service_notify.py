"""systemd's notify protocol: orq, started with NOTIFY_SOCKET naming a datagram socket of the
test's own, says READY=1 once it serves, the gateway state in words on every change, WATCHDOG=1
while it makes progress and STOPPING=1 at SIGTERM. A serial reader stuck in a write that blocks
(zbsim's line stalled while the module reboots) holds the pings back while HTTP is still served."""

import os
import signal
import socket
import sys
import tempfile
import threading
import time
import unittest
import urllib.request

sys.path.insert(0, os.path.dirname(__file__))
from gatewaytest import Gateway, free_port  # noqa: E402
from orqtest import DEADLINE, wait_for  # noqa: E402

# A one-second watchdog: pings every half second, a reader silent for two seconds is stuck.
WATCHDOG_USEC = 1000000
INITIALIZED = "GW ZigBee Network Processor initialized"
STARTING = "GW is starting (ZigBee Network Processor configuration)"
STARTED = "GW successfully started"


class NotifySocket:
    """The service manager's end: keeps every message with the time it came. On READY=1 it asks
    /version at once, as a client that waited for readiness would."""

    def __init__(self, port):
        self.dir = tempfile.TemporaryDirectory(prefix="orq-notify-")
        self.path = os.path.join(self.dir.name, "notify")
        self.sock = socket.socket(socket.AF_UNIX, socket.SOCK_DGRAM)
        self.sock.bind(self.path)
        self.port = port
        self.messages = []
        self.version_at_ready = None
        self.lock = threading.Lock()
        threading.Thread(target=self.receive, daemon=True).start()

    def receive(self):
        while True:
            try:
                text = self.sock.recv(4096).decode()
            except OSError:
                return
            if text.startswith("READY=1"):
                try:
                    url = "http://127.0.0.1:%d/version" % self.port
                    with urllib.request.urlopen(url, timeout=DEADLINE) as reply:
                        self.version_at_ready = reply.status
                except OSError as e:
                    self.version_at_ready = str(e)
            with self.lock:
                self.messages.append((time.monotonic(), text))

    def texts(self):
        with self.lock:
            return [t for (_, t) in self.messages]

    def statuses(self):
        """The STATUS= texts, READY's included, in order."""
        return [line[len("STATUS="):] for t in self.texts() for line in t.split("\n")
                if line.startswith("STATUS=")]

    def pings(self, since=0.0):
        with self.lock:
            return [at for (at, t) in self.messages if t == "WATCHDOG=1" and at > since]

    def time_of(self, text):
        with self.lock:
            return next((at for (at, t) in self.messages if t == text), None)

    def close(self):
        self.sock.close()
        self.dir.cleanup()


class ServiceNotify(unittest.TestCase):
    def setUp(self):
        port = free_port()
        self.notify = NotifySocket(port)
        # A restart whose reset went unanswered while the line was stalled is tried again
        # within seconds, not half a minute.
        self.gw = Gateway(port=port, extra="[Recovery]\nrestartTimeoutMs = 5000\n",
                          orq_env={"NOTIFY_SOCKET": self.notify.path,
                                   "WATCHDOG_USEC": str(WATCHDOG_USEC)})
        self.assertTrue(wait_for(lambda: STARTED in self.notify.statuses()),
                        "%s\n%s" % (self.notify.texts(), self.gw.orq.output()[-3000:]))

    def tearDown(self):
        self.gw.close()
        self.notify.close()

    def test_ready_status_pings_and_stopping(self):
        # What only it checks: READY, the state, the watchdog pings and STOPPING reach systemd's
        # socket.
        texts = self.notify.texts()
        self.assertTrue(texts[0].startswith("READY=1\nSTATUS="), texts)
        self.assertEqual(self.notify.version_at_ready, 200)
        statuses = self.notify.statuses()
        self.assertIn(statuses[0], (INITIALIZED, STARTING), statuses)
        self.assertEqual(statuses[-2:], [STARTING, STARTED], statuses)

        # The line is quiet once the network runs: the reader waits, and that is progress.
        started = self.notify.time_of("STATUS=" + STARTED)
        self.assertTrue(wait_for(lambda: self.notify.pings(started + 5.0)),
                        "%s\n%s" % (texts, self.gw.orq.output()[-3000:]))
        self.assertGreaterEqual(len(self.notify.pings(started)), 8)

        self.assertEqual(self.gw.orq.stop(signal.SIGTERM), 4)
        self.assertTrue(wait_for(lambda: self.notify.texts()[-1] == "STOPPING=1"),
                        self.notify.texts()[-5:])
        self.assertEqual(self.notify.texts().count("STOPPING=1"), 1)

    def test_a_stuck_serial_reader_holds_the_pings_back(self):
        # What only it checks: a serial reader stuck in a write holds the watchdog pings back.
        self.assertTrue(wait_for(lambda: len(self.notify.pings()) >= 2), self.notify.texts())
        # The module reboots while the line takes nothing: the restart's reset blocks in its
        # write, and the reader, once it has the reset's answer, blocks sending what follows.
        self.assertEqual(self.gw.ctl("fault stall on"), "ok")
        self.assertEqual(self.gw.ctl("module reset"), "ok")
        quiet = lambda: time.monotonic() - self.notify.pings()[-1] > 3.0  # noqa: E731
        self.assertTrue(wait_for(quiet), self.notify.texts()[-8:])
        self.assertEqual(self.gw.get("/version")[0], 200)  # the HTTP poll loop still serves
        out = self.gw.orq.output()
        self.assertIn("watchdog ping held back: the serial reader makes no progress", out)
        self.assertNotIn("the HTTP poll loop makes no progress", out)

        released = time.monotonic()
        self.assertEqual(self.gw.ctl("fault stall off"), "ok")
        self.assertTrue(wait_for(lambda: self.notify.pings(released)), self.notify.texts()[-8:])
        self.assertTrue(self.gw.running(), self.gw.orq.output()[-3000:])
        self.assertIn("the serial reader makes progress again", self.gw.orq.output())


if __name__ == "__main__":
    unittest.main()
