"""Node resources over HTTP against zbsim's demo network: the node list and its modes, node
folders, aliases, node and power descriptors, the LQI table, ZDP commands, and an IEEE
address taken from a document and sent back to reach the same node."""

import os
import re
import sys
import unittest

sys.path.insert(0, os.path.dirname(__file__))
from brokertest import (NODES, Gateway, address_block, error, ieee_number, info, p,  # noqa: E402
                        r)
from orqtest import wait_for  # noqa: E402

NET = "/net/default"
ORDER = ["module", "router1", "light", "sensor", "router2", "plug"]  # by short address
NODE_CHILDREN = ["services", "allservices", "nodedescriptor", "powerdescriptor",
                 "userdescriptor", "epgroups", "bindings", "unbindings", "permitjoin"]
RID = re.compile(r"<tns:RequestIdentifier>([0-9a-f]{8})</tns:RequestIdentifier>")


def resource_info(names):
    return info("".join("<Resource><ResourceId>%s</ResourceId></Resource>\n" % n for n in names))


def rid_of(text):
    m = RID.search(text)
    return m.group(1) if m else None


class NodeResources(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.gw = Gateway()
        listener = cls.gw.listener
        # The inquiry every scenario below builds on: one event per node.
        status, body = cls.gw.get(NET + "/wsnnodes", "inquiry&urilistener=%s&timeout=ea60" %
                                  listener.url("inquiry"))
        cls.inquiry_reply = (status, body)
        cls.inquiry_events = listener.wait("inquiry", len(NODES), timeout=60)

    @classmethod
    def tearDownClass(cls):
        cls.gw.close()

    def test_inquiry_gives_one_event_per_node_and_both_folders(self):
        # What only it checks: an inquiry over the serial line POSTs one event per node and makes
        # both folders.
        status, body = self.inquiry_reply
        self.assertEqual(200, status)
        rid = rid_of(body)
        self.assertIsNotNone(rid, body)
        self.assertEqual(info(rid=rid), body)
        expected = sorted(info(r("WSNNode", address_block(n)), rid=rid) for n in NODES)
        self.assertEqual(expected, sorted(self.inquiry_events))
        for name, (short, ieee) in NODES.items():
            if name == "module":
                continue
            for folder in ("%04x" % short, ieee):
                self.assertEqual((200, resource_info(NODE_CHILDREN)),
                                 self.gw.get(NET + "/wsnnodes/" + folder), folder)
        self.assertEqual(404, self.gw.get(NET + "/wsnnodes/7777")[0])

    def test_cache_and_aliases_list_the_discovered_nodes(self):
        # What only it checks: the cache and alias lists hold what a walk of the emulated network
        # found.
        nodes = "".join(p("WSNNode", address_block(n)) for n in ORDER)
        self.assertEqual((200, info(r("WSNNodes", nodes))),
                         self.gw.get(NET + "/wsnnodes", "mode=cache"))
        aliases = "".join(p("Alias", p("NetworkAddress", str(NODES[n][0])) +
                            p("IeeeAddress", ieee_number(n))) for n in ORDER)
        expected = info(r("Aliases", aliases + p("NumberOfAlias", str(len(ORDER)))))
        self.assertEqual((200, expected), self.gw.get(NET + "/aliases"))
        self.assertEqual((200, expected), self.gw.get(NET + "/allaliases"))

    def test_node_and_power_descriptors(self):
        # What only it checks: node and power descriptors read from the emulated nodes over the
        # serial line.
        light = NET + "/wsnnodes/1101"
        node_desc = r("NodeDescriptor",
                      p("LogicalType", "Router") + p("FrequencyBand", "2400MHz") +
                      p("MACCapabilityFlag",
                        p("AlternatePanCoordinator", "false") + p("DeviceIsFFD", "true") +
                        p("MainsPowered", "true") + p("ReceiverOnWhenIdle", "true") +
                        p("SecuritySupported", "false") + p("AllocateAddress", "true")) +
                      p("ManufacturerCode", "4104") + p("MaximumBufferSize", "80") +
                      p("ServerMask", "".join(p(n, "false") for n in (
                          "PrimaryTrustCenter", "BackupTrustCenter", "PrimaryBindingTableCache",
                          "BackupBindingTableCache", "PrimaryDiscoveryCache",
                          "BackupDiscoveryCache", "NetworkManager"))))
        # Blocking, by the short and by the IEEE address folder.
        for folder in ("1101", NODES["light"][1]):
            self.assertEqual((200, info(node_desc)),
                             self.gw.get(NET + "/wsnnodes/%s/nodedescriptor" % folder,
                                         "timeout=1388"))
        # Non-blocking: the request identifier at once, the descriptor to the listener.
        status, body = self.gw.get(light + "/nodedescriptor", "timeout=1388&urilistener=" +
                                   self.gw.listener.url("nodedesc"))
        rid = rid_of(body)
        self.assertEqual((200, info(rid=rid)), (status, body))
        self.assertEqual([info(node_desc, rid=rid)], self.gw.listener.wait("nodedesc"))
        self.assertEqual((200, error(2, "Missing timeout parameter")),
                         self.gw.get(light + "/nodedescriptor"))
        # The gateway's own, under both local node folders.
        for uri in ("/localnode/nodedescriptor", NET + "/localnode/nodedescriptor"):
            status, body = self.gw.get(uri, "timeout=1388")
            self.assertEqual(200, status)
            self.assertIn(r("NodeDescriptor", p("LogicalType", "Coordinator"))[:-len(
                "</tns:NodeDescriptor>")], body, uri)
        status, body = self.gw.get(light + "/nodedescriptor", "timeout=10&urilistener=")
        self.assertEqual((200, error(2, "Missing callbackDestination parameter", rid_of(body))),
                         (status, body))
        self.assertEqual(405, self.gw.post(light + "/powerdescriptor")[0])

    def test_power_descriptors_say_how_each_node_is_powered(self):
        # What only it checks: each emulated node's power source reaches its power descriptor.
        def sources(mains, disposable):
            return (p("ConstrantMains", mains) + p("RechargeableBattery", "false") +
                    p("DisposableBattery", disposable))
        mains, battery = sources("true", "false"), sources("false", "true")
        # The mains-powered light, and the sleepy sensor on a disposable battery at 66 %.
        for node, mode, src, level in (("1101", "Synchronized", mains, "100Percent"),
                                       ("1102", "Periodic", battery, "66Percent")):
            power = r("PowerDescriptor",
                      p("CurrentPowerMode", mode) + p("AvailablePowerSources", src) +
                      p("CurrentPowerSources", src) + p("PowerSourceLevel", level))
            self.assertEqual((200, info(power)),
                             self.gw.get(NET + "/wsnnodes/%s/powerdescriptor" % node), node)

    def test_lqi_walk_fills_the_lqi_table(self):
        # What only it checks: an LQI walk over the serial line fills the LQI table.
        status, body = self.gw.get(NET + "/wsnnodes", "lqi&timeout=ea60&urilistener=" +
                                   self.gw.listener.url("lqi"))
        self.assertEqual((200, info(rid=rid_of(body))), (status, body))
        plug = p("Neighbor", p("ShortAddress", str(NODES["plug"][0])) +
                 p("IeeeAddress", ieee_number("plug")) +
                 p("DeviceTypeRxOnWhenIdleRelationship", "22") + p("Depth", "2") +
                 p("LQI", "210"))

        def table():
            return self.gw.get(NET + "/allwsnnodes/lqi")[1]
        self.assertTrue(wait_for(lambda: plug in table(), timeout=60), table())
        text = table()
        router2 = text.index(p("NodeAddress", ieee_number("router2")))
        self.assertIn(plug, text[router2:])
        self.assertTrue(text.startswith(info()[:-len("\n</tns:Info>")][:60]))

    def test_zdp_command_to_a_node_folder(self):
        # What only it checks: a ZDP command POSTed to a node folder and its answer from the node.
        # Active_EP_req (0x0005) for the light.
        body = ("<ZDPCommand><Destination><NetworkAddress>4353</NetworkAddress></Destination>"
                "<TxOptions><SecurityEnabled>false</SecurityEnabled>"
                "<UseNetworkKey>false</UseNetworkKey><Acknowledged>true</Acknowledged>"
                "<PermitFragmentation>false</PermitFragmentation></TxOptions>"
                "<Radius>10</Radius><ClusterID>5</ClusterID><Command>000111</Command>"
                "</ZDPCommand>")
        status, text = self.gw.post(NET + "/wsnnodes/1101", body, "timeout=10")
        self.assertEqual(200, status)
        expected = info(p("ZDPMessage", p("SourceAddress", "0000") + p("SourceAddressMode", "2") +
                          p("RxTime", "T") + p("ClusterID", "5") + p("Command", "000111")))
        self.assertEqual(expected, re.sub(r"(<orq:RxTime>)\d+(</orq:RxTime>)", r"\1T\2", text))
        self.assertEqual((200, error(3, "Missing timeout parameter")),
                         self.gw.post(NET + "/wsnnodes/1101", body))
        self.assertEqual((200, error(2, "Message not sent: Error parsing XML message")),
                         self.gw.post(NET + "/wsnnodes/1101", "<ZDPCommand/>", "timeout=10"))
        self.assertEqual((200, resource_info(NODE_CHILDREN)), self.gw.get(NET + "/wsnnodes/1101"))
        self.assertEqual(200, self.gw.get(NET + "/allwsnnodes")[0])

    def test_ieee_address_from_a_document_reaches_the_same_node(self):
        # What only it checks: a message addressed by IEEE address in its document toggles the
        # emulated light.
        cache = self.gw.get(NET + "/wsnnodes", "mode=cache")[1]
        light = re.search(r"<orq:NetworkAddress>4353</orq:NetworkAddress>"
                          r"<orq:IeeeAddress>(\d+)</orq:IeeeAddress>", cache)
        self.assertIsNotNone(light, cache)
        before = self.gw.ctl("show light")
        self.assertIn(" on=0", before)
        toggle = ("<ZCLCommand><DestinationAddress><IeeeAddress>%s</IeeeAddress>"
                  "</DestinationAddress><DestinationEndpoint>1</DestinationEndpoint>"
                  "<ProfileID>260</ProfileID><ClusterID>6</ClusterID>"
                  "<SourceEndpoint>8</SourceEndpoint>"
                  "<TxOptions><SecurityEnabled>false</SecurityEnabled>"
                  "<UseNetworkKey>false</UseNetworkKey><Acknowledged>true</Acknowledged>"
                  "<PermitFragmentation>false</PermitFragmentation></TxOptions>"
                  "<Radius>10</Radius><ZCLHeader>0101</ZCLHeader><ZCLPayload>02</ZCLPayload>"
                  "</ZCLCommand>" % light.group(1))
        status, _ = self.gw.post(NET + "/localnode/services/08/wsnconnection/message", toggle,
                                 "timeout=10")
        self.assertEqual(200, status)
        self.assertTrue(wait_for(lambda: " on=1" in self.gw.ctl("show light")),
                        self.gw.ctl("show light"))
        # Its binding table is read through the IEEE folder the document names as well.
        self.assertEqual(200, self.gw.get(NET + "/wsnnodes/%016x" % int(light.group(1)))[0])


if __name__ == "__main__":
    unittest.main()
