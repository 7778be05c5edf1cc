"""Nodes coming and going, seen over HTTP against zbsim's demo network: announcements when a
node joins, a node rejoining under a new short address, a node removed by DELETE (the leave
reaches zbsim), and DELETE of all nodes. A removed node leaves no folder behind (a node found
dead is checked with the event stream)."""

import os
import sys
import unittest

sys.path.insert(0, os.path.dirname(__file__))
from brokertest import NODES, Gateway, address_block, info, p, r  # noqa: E402
from orqtest import wait_for  # noqa: E402

NET = "/net/default"


class Membership(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.gw = Gateway()
        cls.gw.inquire()
        status, body = cls.gw.get(NET + "/wsnnodes", "announcements&timeout=0&urilistener=" +
                                  cls.gw.listener.url("announce"))
        assert status == 200, body

    @classmethod
    def tearDownClass(cls):
        cls.gw.close()

    def test_1_rejoin_keeps_one_folder_set_and_the_ieee_alias(self):
        # What only it checks: a rejoin under a new address moves the folders and the alias list.
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
        # What only it checks: DELETE of a node sends the leave that reaches the emulated node.
        gw = self.gw
        self.assertEqual((200, info()), gw.delete(NET + "/wsnnodes/1101"))
        self.assertTrue(gw.folders_gone("light"))
        self.assertNotIn(address_block("light"), gw.node_list())
        self.assertTrue(wait_for(lambda: "light:1101:router:absent" in gw.ctl("list")),
                        gw.ctl("list"))
        self.assertEqual(404, gw.delete(NET + "/wsnnodes/1101")[0])

    def test_3_a_joining_node_is_announced(self):
        # What only it checks: a node that joins is POSTed to the announcements listener and given
        # its folders.
        gw = self.gw
        self.assertTrue(gw.ctl("join light force").startswith("ok"), gw.ctl("show light"))
        event = r("WSNNode", address_block("light"))
        self.assertTrue(wait_for(lambda: any(event in b for b in gw.listener.bodies("announce"))),
                        gw.listener.bodies("announce"))
        self.assertTrue(wait_for(lambda: gw.get(NET + "/wsnnodes/1101")[0] == 200))
        self.assertEqual(200, gw.get(NET + "/wsnnodes/" + NODES["light"][1])[0])
        self.assertIn(address_block("light"), gw.node_list())

    def test_4_delete_of_all_nodes_keeps_the_gateway(self):
        # What only it checks: DELETE of all nodes leaves the gateway's own node alone.
        gw = self.gw
        self.assertEqual((200, info()), gw.delete(NET + "/allwsnnodes"))
        self.assertEqual(info(r("WSNNodes", p("WSNNode", address_block("module")))), gw.node_list())
        for name in ("router1", "router2", "sensor"):
            self.assertTrue(gw.folders_gone(name), name)


if __name__ == "__main__":
    unittest.main()
