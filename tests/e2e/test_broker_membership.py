"""Nodes coming and going, seen over HTTP against zbsim's demo network: announcements when a
node joins, a node rejoining under a new short address, a node removed by DELETE (the leave
reaches zbsim), DELETE of all nodes, and freshness reporting a killed router with the node
behind it. A removed node leaves no folder behind."""

import os
import sys
import unittest

sys.path.insert(0, os.path.dirname(__file__))
from brokertest import NODES, Gateway, address_block, info, p, r  # noqa: E402
from orqtest import wait_for  # noqa: E402

NET = "/net/default"


def folders_gone(gw, name, short=None):
    short = NODES[name][0] if short is None else short
    return (gw.get(NET + "/wsnnodes/%04x" % short)[0] == 404 and
            gw.get(NET + "/wsnnodes/" + NODES[name][1])[0] == 404)


def cache(gw):
    return gw.get(NET + "/wsnnodes", "mode=cache")[1]


def inquiry(gw, path="inquiry"):
    gw.get(NET + "/wsnnodes", "inquiry&urilistener=%s&timeout=ea60" % gw.listener.url(path))
    return gw.listener.wait(path, len(NODES), timeout=60)


class Membership(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.gw = Gateway()
        inquiry(cls.gw)
        status, body = cls.gw.get(NET + "/wsnnodes", "announcements&timeout=0&urilistener=" +
                                  cls.gw.listener.url("announce"))
        assert status == 200, body

    @classmethod
    def tearDownClass(cls):
        cls.gw.close()

    def test_1_rejoin_keeps_one_folder_set_and_the_ieee_alias(self):
        gw = self.gw
        # Read once before the move: the kept list must not outlive it.
        self.assertIn(p("NetworkAddress", str(0x2101)), gw.get(NET + "/allaliases")[1])
        self.assertTrue(gw.ctl("rejoin plug 0x2199").startswith("ok"))
        moved = info(r("WSNNode", p("Address", p("NetworkAddress", str(0x2199)) +
                                    p("IeeeAddress", str(int(NODES["plug"][1], 16))))))
        self.assertTrue(wait_for(lambda: any(moved.split("\n")[2] in b
                                             for b in gw.listener.bodies("announce"))),
                        gw.listener.bodies("announce"))
        self.assertEqual(404, gw.get(NET + "/wsnnodes/2101")[0])
        self.assertEqual(200, gw.get(NET + "/wsnnodes/2199")[0])
        self.assertEqual(200, gw.get(NET + "/wsnnodes/" + NODES["plug"][1])[0])
        aliases = gw.get(NET + "/allaliases")[1]
        self.assertEqual(1, aliases.count(p("IeeeAddress", str(int(NODES["plug"][1], 16)))))
        self.assertIn(p("NetworkAddress", str(0x2199)), aliases)
        self.assertNotIn(p("NetworkAddress", str(0x2101)), aliases)
        # The IEEE folder names the node under its new address.
        self.assertEqual(200, gw.get(NET + "/wsnnodes/%s/nodedescriptor" % NODES["plug"][1],
                                     "timeout=1388")[0])

    def test_2_delete_of_a_node_sends_the_leave_and_removes_it(self):
        gw = self.gw
        self.assertEqual((200, info()), gw.delete(NET + "/wsnnodes/1101"))
        self.assertTrue(folders_gone(gw, "light"))
        self.assertNotIn(address_block("light"), cache(gw))
        self.assertTrue(wait_for(lambda: "light:1101:router:absent" in gw.ctl("list")),
                        gw.ctl("list"))
        self.assertEqual(404, gw.delete(NET + "/wsnnodes/1101")[0])

    def test_3_a_joining_node_is_announced(self):
        gw = self.gw
        self.assertTrue(gw.ctl("join light force").startswith("ok"), gw.ctl("show light"))
        event = r("WSNNode", address_block("light"))
        self.assertTrue(wait_for(lambda: any(event in b for b in gw.listener.bodies("announce"))),
                        gw.listener.bodies("announce"))
        self.assertTrue(wait_for(lambda: gw.get(NET + "/wsnnodes/1101")[0] == 200))
        self.assertEqual(200, gw.get(NET + "/wsnnodes/" + NODES["light"][1])[0])
        self.assertIn(address_block("light"), cache(gw))

    def test_4_delete_of_all_nodes_keeps_the_gateway(self):
        gw = self.gw
        self.assertEqual((200, info()), gw.delete(NET + "/allwsnnodes"))
        self.assertEqual(info(r("WSNNodes", p("WSNNode", address_block("module")))), cache(gw))
        for name in ("router1", "router2", "sensor"):
            self.assertTrue(folders_gone(gw, name), name)


class Freshness(unittest.TestCase):
    """A killed router is reported dead, and so is the light behind it."""

    def test_killed_router_and_the_node_behind_it_disappear(self):
        gw = Gateway(main="keepAliveThreshold = 60\nkeepAliveNumberOfAttempt = 1\n"
                          "forcePingTimeout = 0\n")
        try:
            inquiry(gw)
            status, body = gw.get(NET + "/wsnnodes", "freshness=2&timeout=0&urilistener=" +
                                  gw.listener.url("fresh"))
            self.assertEqual(200, status, body)
            self.assertTrue(gw.ctl("kill router1").startswith("ok"))
            dead = [r("WSNNode", address_block(n)) for n in ("router1", "light")]
            self.assertTrue(wait_for(lambda: all(any(d in b for b in gw.listener.bodies("fresh"))
                                                 for d in dead), timeout=180),
                            gw.listener.bodies("fresh"))
            for name in ("router1", "light"):
                self.assertTrue(folders_gone(gw, name), name)
                self.assertNotIn(address_block(name), cache(gw))
            for name in ("router2", "plug"):
                self.assertIn(address_block(name), cache(gw))
                self.assertFalse(any(r("WSNNode", address_block(name)) in b
                                     for b in gw.listener.bodies("fresh")), name)
        finally:
            gw.close()


if __name__ == "__main__":
    unittest.main()
