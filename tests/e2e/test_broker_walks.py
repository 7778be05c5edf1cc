"""Discovery walks over HTTP against zbsim, with the real 800 ms pacing: the combined discovery
reaches every node of the demo network; a walk that ends early (its timer, a cancel) keeps what
was known of the nodes it did not reach; an inquiry still asks a node that announced itself
while the walk ran, and that node's children."""

import os
import sys
import tempfile
import unittest

sys.path.insert(0, os.path.dirname(__file__))
from brokertest import NODES, Gateway, address_block, info, p, r  # noqa: E402

NET = "/net/default"
ORDER = ["module", "router1", "light", "sensor", "router2", "plug"]  # by short address
END_POINTS = {"module": [8], "router1": [1], "light": [1], "sensor": [1], "router2": [1],
              "plug": [1, 2]}
LONG = "timeout=ea60"  # long enough for any walk here


def services(name):
    return address_block(name) + "".join(p("ActiveEndpoints", p("EndPoint", str(e)))
                                         for e in END_POINTS[name])


ALL_SERVICES = info(r("NodeServicesList", "".join(p("NodeServices", services(n)) for n in ORDER)))


class DemoWalks(unittest.TestCase):
    """The demo network found by an inquiry, with every node's end points asked for."""

    @classmethod
    def setUpClass(cls):
        cls.gw = Gateway(pacing_ms=None)
        cls.gw.get(NET + "/wsnnodes", "inquiry&urilistener=%s&%s" %
                   (cls.gw.listener.url("inquiry"), LONG))
        cls.gw.listener.wait("inquiry", len(NODES), timeout=60)
        cls.known = [cls.gw.get(NET + "/wsnnodes/%04x/services" % NODES[n][0], LONG)
                     for n in ORDER]

    @classmethod
    def tearDownClass(cls):
        cls.gw.close()

    def combined_discovery(self):
        return self.gw.request("GET", NET + "/allwsnnodes/services", timeout=90)

    def test_1_combined_discovery_reaches_every_node(self):
        # What only it checks: a walk paced at the real 800 ms outlasts the timer's base and still
        # completes.
        for name, answer in zip(ORDER, self.known):
            self.assertEqual(200, answer[0], name)
            self.assertIn(r("NodeServices", services(name)), answer[1])
        # 18 requests 800 ms apart take 14.4 s, more than the 10 s base of the walk's timer.
        self.assertEqual((200, ALL_SERVICES), self.combined_discovery())
        self.assertTrue(self.gw.orq.wait_output("superDiscovery_PD_Cb - superDiscovery completed"))
        self.assertNotIn("superDiscovery canceled", self.gw.orq.output())
        self.assertEqual((200, ALL_SERVICES),
                         self.gw.get(NET + "/allwsnnodes/services", "mode=cache"))

    def test_2_walks_that_end_early_keep_what_they_did_not_reach(self):
        # What only it checks: walks ended by their own timer or a cancel keep the nodes they did
        # not reach.
        self.assertEqual("ok", self.gw.ctl("silence router2"))
        # The combined discovery waits for router2 until its timer ends it.
        self.assertEqual((200, ALL_SERVICES), self.combined_discovery())
        self.assertTrue(self.gw.orq.wait_output("onTimer - superDiscovery canceled (Failed)"))
        # An inquiry canceled while it waits for router2.
        listener = self.gw.listener
        self.gw.get(NET + "/wsnnodes", "inquiry&urilistener=%s&%s" %
                    (listener.url("canceled"), LONG))
        light = address_block("light")
        self.assertTrue(listener.wait("canceled", where=lambda body: light in body, timeout=60))
        self.gw.get(NET + "/wsnnodes", "urilistener=%s&%s" % (listener.url("canceled"), LONG))
        self.assertTrue(self.gw.orq.wait_output("cancelInquiry - Inquiry canceled"))
        self.assertEqual((200, ALL_SERVICES),
                         self.gw.get(NET + "/allwsnnodes/services", "mode=cache"))
        for folder in ("2001", NODES["plug"][1], "2101/services/02"):
            self.assertEqual(200, self.gw.get(NET + "/wsnnodes/" + folder)[0], folder)


# A router whose answers come late, so that the node behind it announces itself before the
# walk learns of it from the router.
LATE_PARENT = """
[module]
ieee = 00124B0000000001
[relay]
ieee = 00124B0000003001
short = 0x3001
latency_ms = 5000
[hub]
ieee = 00124B0000003101
short = 0x3101
parent = relay
[leaf]
ieee = 00124B0000003111
short = 0x3111
type = end_device
rx_on_idle = true
parent = hub
"""


def walk_node(short, ieee):
    return p("Address", p("NetworkAddress", str(short)) + p("IeeeAddress", str(int(ieee, 16))))


class AnnouncedDuringAnInquiry(unittest.TestCase):
    def test_a_node_announced_during_the_walk_is_reported_with_its_children(self):
        # What only it checks: a node that announces itself mid-walk, and its children, reach the
        # inquiry's listener.
        with tempfile.TemporaryDirectory(prefix="orq-walk-") as d:
            network = os.path.join(d, "late_parent.ini")
            with open(network, "w") as f:
                f.write(LATE_PARENT)
            gw = Gateway(network=network, pacing_ms=None)
            try:
                self.run_scenario(gw)
            finally:
                gw.close()

    def run_scenario(self, gw):
        listener = gw.listener
        gw.get(NET + "/wsnnodes", "announcements&urilistener=%s&%s" %
               (listener.url("announce"), LONG))
        gw.get(NET + "/wsnnodes", "inquiry&urilistener=%s&%s" % (listener.url("inquiry"), LONG))
        self.assertEqual("ok", gw.ctl("announce hub"))
        hub = walk_node(0x3101, "00124B0000003101")
        self.assertTrue(listener.wait("announce", where=lambda body: hub in body))
        relay = walk_node(0x3001, "00124B0000003001")
        # The walk has not heard from the relay yet: it learns of the hub only now.
        self.assertFalse([b for b in listener.bodies("inquiry") if relay in b])
        nodes = [walk_node(0, "00124B0000000001"), relay, hub,
                 walk_node(0x3111, "00124B0000003111")]
        events = listener.wait("inquiry", len(nodes), timeout=60)
        self.assertEqual(sorted(nodes), sorted(n for n in nodes for b in events if n in b))


if __name__ == "__main__":
    unittest.main()
