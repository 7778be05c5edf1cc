"""Reset and start-up over HTTP, blocking and non-blocking, and the URI listener lists: a
listener that is down or stalled holds nothing back, an expired one is dropped at the next
delivery, a list holds 20 listeners, a start on a lost link is refused at once, and the
orderly stop ends with 4 whatever a listener or the module is doing."""

import os
import signal
import sys
import unittest

sys.path.insert(0, os.path.dirname(__file__))
from gatewaytest import Gateway, Listener, code_of, free_port, message_of  # noqa: E402
from orqtest import DEADLINE, wait_for  # noqa: E402

JOIN = ("<JoiningInfo><PermitDuration>20</PermitDuration><TCSignificance>false</TCSignificance>"
        "</JoiningInfo>")
START = "<StartupAttributeInfo><StartupControl>0</StartupControl></StartupAttributeInfo>"
PERMIT = "/net/default/allwsnnodes/permitjoin"
# The default service's connection in the second message format, and a ZCL toggle of the demo
# network's light (0x1101, end point 1) sent from it.
SERVICE_BC = "/localnode/services/08"
TOGGLE = ("<ZCLCommand><DestinationAddress><NetworkAddress>4353</NetworkAddress>"
          "</DestinationAddress><DestinationEndpoint>1</DestinationEndpoint><ProfileID>260</ProfileID>"
          "<ClusterID>6</ClusterID><SourceEndpoint>8</SourceEndpoint><TxOptions><SecurityEnabled>"
          "false</SecurityEnabled><UseNetworkKey>false</UseNetworkKey><Acknowledged>true"
          "</Acknowledged><PermitFragmentation>false</PermitFragmentation></TxOptions><Radius>10"
          "</Radius><ZCLHeader>0101</ZCLHeader><ZCLPayload>02</ZCLPayload></ZCLCommand>")


class Procedures(unittest.TestCase):
    def setUp(self):
        self.gw = Gateway()
        self.listener = Listener()
        self.assertTrue(self.gw.running(), self.gw.orq.output())

    def tearDown(self):
        self.listener.close()
        # Every scenario ends with the orderly stop (and, in the sanitizer builds, no report).
        self.assertEqual(4, self.gw.close(), "orq did not stop with 4")

    def assertCode(self, reply, code, message=None):
        status, body = reply
        self.assertEqual(200, status, body)
        self.assertEqual(code, code_of(body), body)
        if message is not None:
            self.assertEqual(message, message_of(body), body)
        return body

    def test_reset_to_nvm_then_blocking_and_non_blocking_starts(self):
        # What only it checks: a reset to the stored network and both forms of start, through the
        # emulated module.
        # The gateway's documents are kept: the state read here is the next reply's only
        # until the state moves, and the version document never changes.
        version = self.gw.get("/version")
        self.assertEqual((200, "3"), (version[0], self.gw.state()))
        self.assertCode(self.gw.get("/reset", "startMode=0x01"), 0)
        self.assertTrue(self.gw.orq.wait_output(
            "Gateway initialized (waiting for startup) - StartupMode = 0x01 (NotVolatileMemory)"),
            self.gw.orq.output()[-3000:])
        self.assertEqual("1", self.gw.state())
        self.assertNotIn("USING NVM SETTING", self.gw.orq.output())
        # The blocking start is answered once the network is up, and uses the module's NVM.
        self.assertCode(self.gw.post("/startup", START, "start=true&timeout=7530"), 0)
        self.assertEqual("3", self.gw.state())
        self.assertIn("USING NVM SETTING", self.gw.orq.output())
        # Back to commissioning; the non-blocking start answers with its identifier and
        # notifies the listener when the network is up.
        self.assertCode(self.gw.get("/reset", "startMode=0x00"), 0)
        self.assertTrue(wait_for(lambda: self.gw.state() == "1"))
        body = self.assertCode(self.gw.post(
            "/startup", START, "start=true&timeout=7530&urilistener=" + self.listener.url("start")), 0)
        self.assertIn("RequestIdentifier>", body)
        events = self.listener.wait("start")
        self.assertEqual(0, code_of(events[0]), events)
        self.assertEqual("3", self.gw.state())
        self.assertEqual(1, len(self.listener.bodies("start")))
        self.assertEqual(version, self.gw.get("/version"))

    def test_non_blocking_reset_with_restart_comes_back_running(self):
        # What only it checks: a non-blocking reset with restart POSTs its result and the network
        # runs again.
        self.assertCode(self.gw.get("/reset", "urilistener="), 2, "Missing callbackDestination parameter")
        body = self.assertCode(self.gw.get(
            "/reset", "restart&urilistener=" + self.listener.url("reset")), 0)
        self.assertIn("RequestIdentifier>", body)
        self.assertEqual(0, code_of(self.listener.wait("reset")[0]))
        self.assertTrue(self.gw.running(), self.gw.orq.output()[-3000:])
        # The list is free again: a second reset is started and notified too.
        self.assertCode(self.gw.get("/reset", "restart&urilistener=" + self.listener.url("reset")), 0)
        self.assertEqual(2, len(self.listener.wait("reset", count=2)))
        self.assertTrue(self.gw.running())

    def test_service_folders_come_back_with_the_network(self):
        # What only it checks: the service folders are made again after a reset of the real module
        # link.
        def light_on():
            return " on=1" in self.gw.ctl("show light")

        def served():
            # The folders are made again on the poll loop once the network runs.
            self.assertTrue(wait_for(lambda: self.gw.get(SERVICE_BC)[0] == 200),
                            self.gw.get(SERVICE_BC))
            self.assertCode(self.gw.get(SERVICE_BC + "/wsnconnection",
                                        "urilistener=" + self.listener.url("bc")), 0)
            was_on = light_on()
            self.assertCode(self.gw.post(SERVICE_BC + "/wsnconnection/message", TOGGLE,
                                         "timeout=2710"), 0)
            self.assertTrue(wait_for(lambda: light_on() != was_on), self.gw.ctl("show light"))

        served()
        self.assertCode(self.gw.get("/reset", "restart&urilistener=" + self.listener.url("reset")), 0)
        self.assertTrue(self.listener.wait("reset"))
        self.assertTrue(self.gw.running(), self.gw.orq.output()[-3000:])
        served()
        self.assertCode(self.gw.get("/reset"), 0)
        self.assertTrue(wait_for(lambda: self.gw.state() == "1"))
        self.assertCode(self.gw.post("/startup", START, "start=true&timeout=7530"), 0)
        self.assertTrue(self.gw.running(), self.gw.orq.output()[-3000:])
        served()
        # And the network tree has its folder.
        self.assertEqual(200, self.gw.get("/net/default" + SERVICE_BC)[0])

    def test_listeners_down_or_stalled_hold_nothing_back(self):
        # What only it checks: listeners that are down or never answer hold back neither replies
        # nor later POSTs.
        stalled = Listener(answer=False)
        try:
            down = "http://127.0.0.1:%d/gone" % free_port()
            for url in (down, stalled.url("stalled")):
                self.assertCode(self.gw.post(PERMIT, JOIN, "timeout=7530&urilistener=" + url), 0)
            # Blocking requests are answered meanwhile; a later event reaches a live listener.
            self.assertCode(self.gw.get("/version"), 0)
            self.assertCode(self.gw.post(
                PERMIT, JOIN, "timeout=7530&urilistener=" + self.listener.url("live")), 0)
            live = self.listener.wait("live")
            self.assertTrue(live, self.gw.orq.output()[-6000:])
            self.assertEqual(0, code_of(live[0]))
            self.assertCode(self.gw.get("/version"), 0)
        finally:
            stalled.close()

    def test_expired_listener_is_dropped_at_the_next_delivery(self):
        # What only it checks: a listener whose time-out passed before the module answered gets no
        # POST.
        # A reset has no time-out of its own; the module answers 2.5 s late, when the
        # listener's 1-second time-out has passed.
        self.assertEqual("ok", self.gw.ctl("fault delay 2500").split()[0])
        self.assertCode(self.gw.get("/reset", "timeout=1&urilistener=" + self.listener.url("late")), 0)
        self.assertTrue(self.gw.orq.wait_output("cbinfo -> expired () != 0"),
                        self.gw.orq.output()[-3000:])
        self.gw.ctl("fault delay 0")
        self.assertEqual([], self.listener.bodies("late"))
        # Its list took the next request as a new one.
        self.assertCode(self.gw.get("/reset", "restart&urilistener=" + self.listener.url("next")), 0)
        self.assertEqual(0, code_of(self.listener.wait("next")[0]))
        self.assertTrue(self.gw.running(), self.gw.orq.output()[-3000:])
        self.assertEqual([], self.listener.bodies("late"))

    def test_a_list_holds_twenty_listeners_each_url_once(self):
        # What only it checks: a listener list's bound of twenty, and a reset emptying it, in the
        # running daemon.
        self.assertEqual("ok", self.gw.ctl("module hang").split()[0])
        for i in range(20):
            self.assertCode(self.gw.post(
                PERMIT, JOIN, "timeout=0&urilistener=" + self.listener.url("p%d" % i)), 0)
        # The same URL again replaces its entry; a 21st URL is refused.
        self.assertCode(self.gw.post(PERMIT, JOIN, "timeout=0&urilistener=" + self.listener.url("p0")), 0)
        self.assertCode(self.gw.post(PERMIT, JOIN, "timeout=0&urilistener=" + self.listener.url("p20")),
                        8, "URIListener list maximum size exceeded")
        # A reset empties the list (the module answers again first).
        self.gw.ctl("module resume")
        self.assertCode(self.gw.get("/reset", "restart&urilistener=" + self.listener.url("reset")), 0)
        self.assertTrue(self.listener.wait("reset"))
        self.assertTrue(self.gw.running(), self.gw.orq.output()[-3000:])
        self.assertCode(self.gw.post(PERMIT, JOIN, "timeout=7530&urilistener=" + self.listener.url("p20")), 0)
        self.assertEqual(0, code_of(self.listener.wait("p20")[0]))
        self.assertEqual([], [b for i in range(20) for b in self.listener.bodies("p%d" % i)])

    def test_start_on_a_lost_link_is_refused_at_once_and_the_stop_ends_with_4(self):
        # What only it checks: a start on a lost serial link is refused at once, and the daemon's
        # exit status.
        self.assertEqual("ok", self.gw.ctl("unplug").split()[0])
        self.assertTrue(self.gw.orq.wait_output("the ZigBee device link is lost"),
                        self.gw.orq.output()[-3000:])
        for query in ("start=true&timeout=1e", "start=true&timeout=1e&urilistener=" +
                      self.listener.url("start")):
            status, body = self.gw.request("POST", "/startup", START, query, timeout=DEADLINE)
            self.assertEqual(200, status)
            self.assertEqual(2, code_of(body), body)
            self.assertEqual("ZigBee device link lost", message_of(body))
        self.assertCode(self.gw.get("/version"), 0)
        # A stalled listener with a delivery in flight does not hold the stop back.
        stalled = Listener(answer=False)
        try:
            self.gw.orq.proc.send_signal(signal.SIGTERM)
            self.assertEqual(4, self.gw.orq.proc.wait(DEADLINE), self.gw.orq.output()[-3000:])
        finally:
            stalled.close()


class StopWhileBusy(unittest.TestCase):
    def test_sigint_with_a_hung_module_and_a_stalled_status_listener_ends_with_4(self):
        # What only it checks: SIGINT ends the daemon with a hung module and a stalled status
        # listener.
        stalled = Listener(answer=False)
        gw = Gateway(main="gwStatusChanged_DefaultURIListener = %s" % stalled.url("gwstatus"),
                     extra="[RESTBroker]\nHelloMsgNotifyPeriod = 1\n")
        try:
            self.assertTrue(gw.running(), gw.orq.output())
            gw.ctl("module hang")
            self.assertEqual(200, gw.post(PERMIT, JOIN, "timeout=0&urilistener=" +
                                          stalled.url("pj"))[0])
            self.assertTrue(wait_for(lambda: "notifyGWDescriptorToWsnc" in gw.orq.output()))
            gw.orq.proc.send_signal(signal.SIGINT)
            self.assertEqual(4, gw.orq.proc.wait(DEADLINE), gw.orq.output()[-3000:])
            self.assertIn("RESTBroker - Destructor", gw.orq.output())
        finally:
            gw.close()
            stalled.close()


if __name__ == "__main__":
    unittest.main(verbosity=2)
