"""The co-processor goes away, hangs or resets itself: orq notices, brings the network back by
itself and keeps its clients informed. orq and zbsim as processes, an HTTP client, a status
listener and a listener for non-blocking results."""

import os
import re
import sys
import tempfile
import time
import unittest

sys.path.insert(0, os.path.dirname(__file__))
from gatewaytest import Gateway, Listener, code_of, message_of  # noqa: E402
from orqtest import DEADLINE, wait_for  # noqa: E402

JOIN = ("<JoiningInfo><PermitDuration>30</PermitDuration><TCSignificance>true</TCSignificance>"
        "</JoiningInfo>")
NET = "/net/default"
PERMIT = NET + "/allwsnnodes/permitjoin"
MESSAGE = NET + "/localnode/services/08/wsnconnection/message"
TX = ("<TxOptions><SecurityEnabled>false</SecurityEnabled><UseNetworkKey>false</UseNetworkKey>"
      "<Acknowledged>true</Acknowledged><PermitFragmentation>false</PermitFragmentation>"
      "</TxOptions>")
# ZCL toggle to the demo network's light (0x1101, end point 1) from the gateway's end point 8.
TOGGLE = ("<ZCLCommand><DestinationAddress><NetworkAddress>4353</NetworkAddress>"
          "</DestinationAddress><DestinationEndpoint>1</DestinationEndpoint>"
          "<ProfileID>260</ProfileID><ClusterID>6</ClusterID><SourceEndpoint>8</SourceEndpoint>"
          "%s<Radius>10</Radius><ZCLHeader>0102</ZCLHeader><ZCLPayload>02</ZCLPayload>"
          "</ZCLCommand>" % TX)
# Short recovery settings: 200 ms back-off doubling to 800 ms, 1.5 s confirm deadline, an idle
# probe every second, 5 s for a restart to reach the running state.
RECOVERY = ("[Recovery]\nbackoffFirstMs = 200\nbackoffMaxMs = 800\nconfirmTimeoutMs = 1500\n"
            "missedConfirms = 2\nprobePeriod = 1\nrestartTimeoutMs = 5000\nstartMode = 1\n"
            # A soft reset unanswered for 3 s calls for the reset line, which is not there.
            "resetLine = /nonexistent/orq-test/cmd\nresetTimeoutMs = 3000\n"
            # No periodic descriptor: the status listener hears state changes only.
            "[RESTBroker]\nHelloMsgNotifyPeriod = 100000\n"
            "HelloMsg_WSNCAttached_NotifyPeriod = 100000\n")


def states(bodies):
    """(state, error code) of every bare status document, in the order they came."""
    out = []
    for b in bodies:
        if b.startswith("<?xml") and "<GWDescriptor>" in b[:120]:
            s = re.search(r"<GWState>(\d+)<", b)
            e = re.search(r"<ErrorCode>([0-9A-F]+)<", b)
            out.append((int(s.group(1)), int(e.group(1), 16) if e else None))
    return out


class RecoveryCase(unittest.TestCase):
    """A running demo network with its nodes discovered, a status listener and a listener for
    non-blocking results; the recovery keys of `EXTRA`."""
    EXTRA = RECOVERY
    SIM_ARGS = ("--trace",)

    def setUp(self):
        self.status = Listener()
        self.results = Listener()
        self.gw = Gateway(main="gwStatusChanged_DefaultURIListener = %s"
                          % self.status.url("gwstatus"), extra=self.EXTRA,
                          sim_args=self.SIM_ARGS)
        self.assertTrue(self.gw.running(), self.gw.orq.output()[-3000:])
        self.assertTrue(self.wait_states([(3, 0)]), self.seen())
        self.nodes = self.discover()
        self.before = len(self.seen())

    def tearDown(self):
        self.gw.close()
        self.status.close()
        self.results.close()

    def seen(self):
        return states(self.status.bodies("gwstatus"))

    def wait_states(self, tail, timeout=DEADLINE):
        """True once the states since setUp end with `tail` (the whole sequence is checked by
        the caller)."""
        return wait_for(lambda: self.seen()[-len(tail):] == tail, timeout)

    def pending_request(self, name, node="1101"):
        """A non-blocking node descriptor request without a time-out that the module does not
        answer before the fault: only the fault can end it."""
        status, body = self.gw.get(NET + "/wsnnodes/%s/nodedescriptor" % node,
                                   "timeout=ffffffff&urilistener=" + self.results.url(name))
        self.assertEqual(200, status, body)
        self.assertEqual(0, code_of(body), body)

    def answered_with_error(self, pending):
        """The pending request's one answer, an error."""
        events = self.results.wait(pending)
        self.assertTrue(events, self.gw.orq.output()[-3000:])
        self.assertEqual(1, len(events), events)
        self.assertNotEqual(0, code_of(events[0]), events[0])
        self.assertEqual("Generic Agent error", message_of(events[0]), events[0])

    def refused_while_away(self):
        """Requests that need the module are refused at once, not left to time out; a message
        is refused, not queued to go out later."""
        light = re.search(r" on=\d", self.gw.ctl("show light")).group(0)
        started = time.monotonic()
        status, body = self.gw.post(PERMIT, JOIN, "timeout=bb8")
        self.assertEqual(200, status, body)
        self.assertNotEqual(0, code_of(body), body)
        self.assertEqual("ORQ not running", message_of(body), body)
        status, body = self.gw.post(MESSAGE, TOGGLE, "timeout=bb8")
        self.assertEqual(200, status, body)
        self.assertNotEqual(0, code_of(body), body)
        self.assertIn("Message not sent", body)
        self.assertLess(time.monotonic() - started, 2.5)  # well under the 3 s time-outs
        return light

    def node_list(self):
        """The short addresses of the cached node list."""
        return sorted(re.findall(r"NetworkAddress>(\d+)<", self.gw.get(NET + "/wsnnodes",
                                                                         "mode=cache")[1]))

    def discover(self):
        self.gw.get(NET + "/wsnnodes", "inquiry&urilistener=%s&timeout=ea60"
                    % self.results.url("inquiry"))
        self.results.wait("inquiry", 6, timeout=60)
        nodes = self.node_list()
        self.assertGreaterEqual(len(nodes), 6, nodes)
        return nodes

    def toggles(self):
        """The light changes state through the message resource."""
        was_on = " on=1" in self.gw.ctl("show light")
        status, body = self.gw.post(MESSAGE, TOGGLE, "timeout=bb8")
        self.assertEqual(200, status, body)
        self.assertEqual(0, code_of(body), body)
        want = " on=0" if was_on else " on=1"
        self.assertTrue(wait_for(lambda: want in self.gw.ctl("show light")),
                        self.gw.ctl("show light"))

    def recovered(self, fault):
        """The recovery line orq printed: its measured time, reported by the test."""
        line = wait_for(lambda: re.search(r"recovery - running again (\d+) ms after the fault \((%s)\)"
                                          % fault, self.gw.orq.output()))
        self.assertTrue(line, self.gw.orq.output()[-3000:])
        print("\n%s: running again %s ms after the fault" % (fault, line.group(1)), file=sys.stderr)
        return int(line.group(1))

    def after_recovery(self, pending):
        self.answered_with_error(pending)
        # The network works again: a permit join goes out and is confirmed.
        self.assertEqual(0, code_of(self.gw.post(PERMIT, JOIN, "timeout=7530&urilistener="
                                                 + self.results.url("again"))[1]))
        again = self.results.wait("again")
        self.assertEqual(0, code_of(again[0]), again[0])
        self.assertEqual(1, len(self.results.bodies(pending)), self.results.bodies(pending))
        self.assertEqual("3", self.gw.state())


class Recovery(RecoveryCase):
    def test_unplugged_briefly(self):
        # What only it checks: a serial link lost for a moment is reopened and the network
        # restarted.
        # The router answers a minute late: its descriptor is still awaited when the device goes.
        self.assertTrue(self.gw.ctl("latency 2001 60000").startswith("ok"))
        self.pending_request("pending", "2001")
        self.assertTrue(self.gw.ctl("unplug 300").startswith("ok"))
        self.assertTrue(self.wait_states([(4, 1), (1, 1), (2, 1), (3, 0)]), self.seen())
        self.assertEqual([(4, 1), (1, 1), (2, 1), (3, 0)], self.seen()[self.before:])
        self.recovered("device lost")
        self.gw.ctl("latency 2001 0")
        self.after_recovery("pending")
        # The database and the REST tree survived; the light answers again.
        self.assertEqual(self.nodes, self.node_list())
        self.toggles()

    def test_unplugged_for_several_back_off_steps(self):
        # What only it checks: the reopening of a lost link backs off step by step until it comes
        # back.
        self.assertTrue(self.gw.ctl("unplug 4000").startswith("ok"))
        self.assertTrue(self.wait_states([(4, 1)]), self.seen())
        light = self.refused_while_away()
        self.assertTrue(self.wait_states([(4, 1), (1, 1), (2, 1), (3, 0)]), self.seen())
        self.assertEqual([(4, 1), (1, 1), (2, 1), (3, 0)], self.seen()[self.before:])
        out = self.gw.orq.output()
        delays = [int(d) for d in re.findall(r"cannot reopen the ZigBee device: next attempt in (\d+) ms", out)]
        # 200 ms doubling, capped at 800 ms: at least 400, 800, 800 over four seconds.
        self.assertGreaterEqual(len(delays), 3, out[-3000:])
        self.assertEqual([400, 800], delays[:2])
        self.assertEqual(800, max(delays))
        self.assertGreaterEqual(self.recovered("device lost"), 4000)
        # The message refused during the outage never went out later.
        self.toggles()  # a message that is sent goes out at once ...
        self.toggles()  # ... and twice toggled is where the light was before the outage
        self.assertIn(light, self.gw.ctl("show light"))
        # The status listener registered before the outage is still told of changes.
        self.gw.ctl("module reset")
        self.assertTrue(self.wait_states([(4, 0x1F6), (2, 0x1F6), (3, 0)]), self.seen())

    def test_hung_module(self):
        # What only it checks: a module that stops answering is reset and the network restarted.
        self.gw.ctl("module hang")
        self.pending_request("pending")
        # The idle probe goes unanswered: "not answering", then the module is reset.
        self.assertTrue(self.wait_states([(4, 0x1F5), (2, 0x1F5)]), self.seen())
        # Answered while the module is still hung, not left waiting for its recovery.
        self.answered_with_error("pending")
        self.refused_while_away()
        # Without a reset line the gateway says so, once, and goes on with soft resets.
        no_line = "and the reset line \"/nonexistent/orq-test/cmd\" cannot be written"
        self.assertTrue(wait_for(lambda: no_line in self.gw.orq.output()),
                        self.gw.orq.output()[-3000:])
        self.assertTrue(self.gw.ctl("module resume").startswith("ok"))
        self.assertTrue(self.wait_states([(4, 0x1F5), (2, 0x1F5), (3, 0)]), self.seen())
        self.assertEqual([(4, 0x1F5), (2, 0x1F5), (3, 0)], self.seen()[self.before:])
        self.assertIn("recovery - the ZigBee module does not answer (liveness probe unanswered)",
                      self.gw.orq.output())
        self.assertEqual(1, self.gw.orq.output().count(no_line))
        self.recovered("module not answering")
        self.after_recovery("pending")

    def test_module_reset_by_itself(self):
        # What only it checks: a module that resets by itself is seen and its network restarted.
        self.gw.ctl("module hang")
        self.pending_request("pending")
        self.assertTrue(self.gw.ctl("module reset").startswith("ok"))
        self.assertTrue(self.wait_states([(4, 0x1F6), (2, 0x1F6), (3, 0)]), self.seen())
        self.assertEqual([(4, 0x1F6), (2, 0x1F6), (3, 0)], self.seen()[self.before:])
        self.recovered("module reset by itself")
        self.after_recovery("pending")


class ResetLine(RecoveryCase):
    """A module that hangs for good, with the board's reset line (zbsim's FIFO) set."""

    def setUp(self):
        self.line_dir = tempfile.TemporaryDirectory()
        line = os.path.join(self.line_dir.name, "cmd")
        self.SIM_ARGS = ("--trace", "--reset-line", line)
        self.EXTRA = RECOVERY.replace("/nonexistent/orq-test/cmd", line)
        super().setUp()

    def tearDown(self):
        super().tearDown()
        self.line_dir.cleanup()

    def test_a_module_hung_for_good_runs_again_by_itself(self):
        # What only it checks: a module hung for good is reset through the board's reset line.
        hung_at = time.monotonic()
        self.gw.ctl("module hang")  # and never "module resume"
        self.pending_request("pending")
        after = [(4, 0x1F5), (2, 0x1F5), (1, 0x1F5), (2, 0x1F5), (3, 0)]
        self.assertTrue(self.wait_states(after), (self.seen(), self.gw.orq.output()[-3000:]))
        print("\nhung for good: running again %.1f s after the hang"
              % (time.monotonic() - hung_at), file=sys.stderr)
        self.assertEqual(after, self.seen()[self.before:])
        out = self.gw.orq.output()
        self.assertIn("recovery - the ZigBee module did not answer its reset in 3000 ms: reset "
                      "through the reset line", out)
        self.assertIn("zbsim: reset line: the module is reset (it was hung)", self.gw.sim.output())
        # Soft resets first: the one of the restart that went unanswered, then the one of the
        # restart after the device was reopened, besides the start's own.
        self.assertEqual(3, out.count("ZTC_RESET->"), out[-3000:])
        self.recovered("module not answering")
        self.after_recovery("pending")


class MissedConfirms(RecoveryCase):
    """With the idle probe off, a module that stops confirming what the gateway sends is found
    by the count of missed confirms."""
    EXTRA = RECOVERY.replace("probePeriod = 1", "probePeriod = 0")

    def test_module_hangs_while_the_gateway_sends(self):
        # What only it checks: confirms missed while the gateway sends lead to a reset.
        self.gw.ctl("module hang")
        for _ in range(2):  # missedConfirms
            status, body = self.gw.post(MESSAGE, TOGGLE, "timeout=bb8")
            self.assertEqual((200, 0), (status, code_of(body)), body)
        self.assertTrue(self.wait_states([(4, 0x1F5), (2, 0x1F5)]), self.seen())
        self.assertIn("recovery - the ZigBee module does not answer (missed confirms)",
                      self.gw.orq.output())
        self.assertTrue(self.gw.ctl("module resume").startswith("ok"))
        self.assertTrue(self.wait_states([(4, 0x1F5), (2, 0x1F5), (3, 0)]), self.seen())
        self.assertEqual([(4, 0x1F5), (2, 0x1F5), (3, 0)], self.seen()[self.before:])
        self.recovered("module not answering")
        self.toggles()


class InstallerTraffic(RecoveryCase):
    """What an installer sends within a few seconds while setting a network up. With one missed
    answer enough to reset the module, each request the supervision counts has to be one the
    module answers itself, and what only a remote node answers is not counted."""
    EXTRA = RECOVERY.replace("missedConfirms = 2", "missedConfirms = 1").replace(
        "confirmTimeoutMs = 1500", "confirmTimeoutMs = 3000")

    def test_a_module_that_answers_is_never_reset(self):
        # What only it checks: what only a remote node answers is not counted, so a module that
        # answers is never reset.
        # Router 2 answers a minute late: what is sent to it stays unanswered throughout.
        self.assertTrue(self.gw.ctl("latency 2001 60000").startswith("ok"))
        late = "timeout=bb8&urilistener=" + self.results.url("late")
        bind = ("<Binding><SourceIEEEAddress>%d</SourceIEEEAddress><SourceEndpoint>1"
                "</SourceEndpoint><ClusterID>6</ClusterID><DeviceDestination><Address>%d"
                "</Address><Endpoint>8</Endpoint></DeviceDestination></Binding>"
                % (0x00124B0000001101, 0x00124B0000000001))
        steps = [
            ("POST", NET + "/wsnnodes/1001/permitjoin", JOIN, "timeout=bb8"),
            ("POST", NET + "/wsnnodes/2001/permitjoin", JOIN, late),
            ("POST", PERMIT, JOIN, "timeout=bb8"),
            ("GET", NET + "/wsnnodes/1101/nodedescriptor", None, "timeout=bb8"),
            ("GET", NET + "/wsnnodes/1101/powerdescriptor", None, None),
            ("POST", NET + "/wsnnodes/00124b0000001101/bindings", bind, "timeout=bb8"),
            ("POST", MESSAGE, TOGGLE, "timeout=bb8"),
            ("DELETE", NET + "/wsnnodes/2101", None, "rejoin"),  # the plug leaves and rejoins
            ("GET", NET + "/wsnnodes/2001/nodedescriptor", None, late),
            ("POST", NET + "/wsnnodes/1001/permitjoin", JOIN, "timeout=bb8"),
            ("POST", PERMIT, JOIN, "timeout=bb8"),
        ]
        probes = lambda: self.gw.sim.output().count("zbsim: -> A4 12 ")  # noqa: E731
        for method, path, body, query in steps:
            seen_probes = probes()
            status, reply = self.gw.request(method, path, body, query)
            self.assertEqual((200, 0), (status, code_of(reply)), (method, path, reply))
        # The idle probe goes out only once nothing counted is outstanding: by its answer every
        # request above has been settled, or missed.
        self.assertTrue(wait_for(lambda: probes() > seen_probes), self.gw.sim.output()[-3000:])
        out = self.gw.orq.output()
        self.assertEqual([], [line for line in out.splitlines() if line.startswith("recovery - ")])
        self.assertEqual(1, out.count("ZTC_RESET->"))  # the start's own reset only
        self.assertEqual([], self.seen()[self.before:])
        self.assertEqual("3", self.gw.state())
        # Router 2 never answered meanwhile (its permit joining was replaced by the next one).
        self.assertEqual([], [b for b in self.results.bodies("late") if code_of(b) == 0])


if __name__ == "__main__":
    unittest.main(verbosity=2)
