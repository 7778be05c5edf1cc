"""The "timeout" query parameter as the agents take it, over HTTP against zbsim's demo network:
hexadecimal milliseconds, so a request to a node that does not answer ends after that long, and
the procedure takes the next request of its kind; a non-blocking request's listener lives the
same number of seconds, long enough to hear the time-out."""

import os
import sys
import time
import unittest

sys.path.insert(0, os.path.dirname(__file__))
from brokertest import NODES, Gateway  # noqa: E402
from gatewaytest import code_of, message_of  # noqa: E402
from orqtest import wait_for  # noqa: E402

NET = "/net/default"
LIGHT = NET + "/wsnnodes/1101"
LIGHT_IEEE = NET + "/wsnnodes/" + NODES["light"][1]
# 7d0 is 2000 ms; read as seconds it would be over half an hour.
TWO_SECONDS = "timeout=7d0"
# Far below what the misread 2000 s would take, far above 2 s on a loaded machine.
ANSWER_WITHIN = 20.0
# The requests of the discovery agent and of the service agent that wait for a node's answer.
REQUESTS = [("GET", LIGHT + "/nodedescriptor", "NodeDescriptor"),
            ("GET", LIGHT + "/services", "ActiveEndpoints"),
            ("GET", LIGHT + "/services/01", "SimpleDescriptor"),
            ("GET", LIGHT_IEEE + "/bindings", "Bindings")]


class Timeouts(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.gw = Gateway()
        # The light's folders come from its announcement, its end point folder from the
        # answer to an active end point request.
        assert cls.gw.ctl("announce light").startswith("ok")
        assert wait_for(lambda: cls.gw.get(LIGHT)[0] == 200), cls.gw.orq.output()[-3000:]
        assert code_of(cls.gw.get(LIGHT + "/services", "timeout=1388")[1]) == 0

    @classmethod
    def tearDownClass(cls):
        cls.gw.close()

    def timed(self, method, path, query):
        started = time.monotonic()
        status, body = self.gw.request(method, path, None, query, timeout=ANSWER_WITHIN)
        self.assertEqual(200, status, body)
        return time.monotonic() - started, body

    def assertTimedOut(self, elapsed, body, what):
        self.assertEqual(1, code_of(body), "%s: %s" % (what, body))
        self.assertEqual("Timer expired", message_of(body), body)
        # Armed in whole seconds: 2000 ms is two of them, not one.
        self.assertGreater(elapsed, 1.5, what)

    def test_blocking_requests_to_a_silent_node_end_after_the_milliseconds_given(self):
        # What only it checks: the timeout query read as hexadecimal milliseconds by every waiting
        # agent, over the wire, and the agent free again after.
        self.assertTrue(self.gw.ctl("silence light").startswith("ok"))
        try:
            for method, path, element in REQUESTS:
                elapsed, body = self.timed(method, path, TWO_SECONDS)
                self.assertTimedOut(elapsed, body, path)
        finally:
            self.assertTrue(self.gw.ctl("revive light").startswith("ok"))
        # Each procedure is free again: the same request is served, not "Agent Busy".
        for method, path, element in REQUESTS:
            elapsed, body = self.timed(method, path, TWO_SECONDS)
            self.assertEqual(0, code_of(body), "%s: %s" % (path, body))
            self.assertIn(element, body, path)

    def test_a_listener_lives_the_same_number_of_seconds_and_hears_the_time_out(self):
        # What only it checks: a non-blocking request's listener is still there when the node's
        # time-out is POSTed.
        listener = self.gw.listener
        self.assertTrue(self.gw.ctl("silence light").startswith("ok"))
        try:
            started = time.monotonic()
            status, body = self.gw.get(LIGHT + "/nodedescriptor",
                                       TWO_SECONDS + "&urilistener=" + listener.url("silent"))
            self.assertEqual((200, 0), (status, code_of(body)), body)
            events = listener.wait("silent", timeout=ANSWER_WITHIN)
            self.assertEqual(1, len(events), events)
            self.assertTimedOut(time.monotonic() - started, events[0], "notification")
        finally:
            self.assertTrue(self.gw.ctl("revive light").startswith("ok"))
        status, body = self.gw.get(LIGHT + "/nodedescriptor",
                                   TWO_SECONDS + "&urilistener=" + listener.url("again"))
        self.assertEqual((200, 0), (status, code_of(body)), body)
        events = listener.wait("again", timeout=ANSWER_WITHIN)
        self.assertEqual(1, len(events), events)
        self.assertEqual(0, code_of(events[0]), events[0])
        self.assertIn("NodeDescriptor", events[0])


if __name__ == "__main__":
    unittest.main(verbosity=2)
