"""Message and callback resources over HTTP against zbsim's demo network: connections on end
point 8 in both message formats, a filtered callback, polling and deleting callbacks, sending
ZCL and APS messages, and the cached message reads."""

import os
import re
import sys
import unittest

sys.path.insert(0, os.path.dirname(__file__))
from brokertest import Gateway, Listener, error, info, p, r  # noqa: E402
from orqtest import wait_for  # noqa: E402

NET = "/net/default"
EP8 = NET + "/localnode/services/08/wsnconnection"
TX = ("<TxOptions><SecurityEnabled>false</SecurityEnabled><UseNetworkKey>false</UseNetworkKey>"
      "<Acknowledged>true</Acknowledged><PermitFragmentation>false</PermitFragmentation>"
      "</TxOptions>")
ID = re.compile(r"<tns:CallbackIdentifier>(\d+)</tns:CallbackIdentifier>")
RID = re.compile(r"<tns:RequestIdentifier>([0-9a-f]{8})</tns:RequestIdentifier>")


def rid_of(text):
    m = RID.search(text)
    return m.group(1) if m else None


def callback_id(text):
    m = ID.search(text)
    return int(m.group(1)) if m else None


def rx_event(src_short, src_ep, cluster, data, dst_ep=8, profile=260):
    """The APSMessageEvent of a message from a node, its RxTime replaced by T."""
    return r("APSMessageEvent",
             p("DestinationAddressMode", "2") +
             p("DestinationAddress", p("NetworkAddress", "0")) +
             p("DestinationEndpoint", str(dst_ep)) + p("SourceAddressMode", "3") +
             p("SourceAddress", p("IeeeAddress", str(0x00124B0000000000 + src_short))) +
             p("SourceEndpoint", str(src_ep)) + p("ProfileID", str(profile)) +
             p("ClusterID", str(cluster)) + p("Data", data) + p("APSStatus", "0") +
             p("SecurityStatus", "SecuredNwkKey") + p("LinkQuality", "255") + p("RxTime", "T"))


def untimed(text):
    return re.sub(r"(<orq:RxTime>)\d+(</orq:RxTime>)", r"\1T\2", text)


def callback_doc(url, filter_xml):
    return ("<Callback>%s<Action><DecodeSpecification><DecodeLevel>DecodeAPS</DecodeLevel>"
            "</DecodeSpecification><ForwardingSpecification>%s</ForwardingSpecification>"
            "</Action></Callback>" % (filter_xml, url))


def nwk_filter(short):
    return ("<Filter><LevelSpecification><Level>APSLevel</Level></LevelSpecification>"
            "<AddressSpecification><NWKSourceAddress><NetworkAddress>%d</NetworkAddress>"
            "</NWKSourceAddress></AddressSpecification></Filter>" % short)


class MessageResources(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.gw = Gateway()
        # The node list, so that senders are known and their messages delivered.
        cls.gw.get(NET + "/wsnnodes", "inquiry&urilistener=%s&timeout=ea60" %
                   cls.gw.listener.url("inquiry"))
        cls.gw.listener.wait("inquiry", 6, timeout=60)

    @classmethod
    def tearDownClass(cls):
        cls.gw.close()

    def test_1_empty_cache_and_no_message_yet(self):
        # What only it checks: the message caches of a gateway that has heard nothing yet, over
        # HTTP.
        self.assertEqual((200, error(2, "Message Cache Empty")), self.gw.get(EP8 + "/message"))
        self.assertEqual((200, error(2, "Message Cache Empty")),
                         self.gw.get(NET + "/localnode/allservices/wsnconnection/message"))
        self.assertEqual(405, self.gw.request("PUT", EP8 + "/message", "")[0])

    def test_2_connections_filtered_callback_and_polling(self):
        # What only it checks: a node's report over the serial line reaches connections and
        # callbacks in both formats.
        listener = self.gw.listener
        status, body = self.gw.post(EP8, "", "urilistener=" + listener.url("ep8"))
        conn = callback_id(body)
        conn_rid = rid_of(body)
        self.assertEqual((200, info(r("CallbackIdentifier", str(conn)), rid=rid_of(body))),
                         (status, body))
        # The second message format, on the root-level tree.
        status, body = self.gw.get("/localnode/services/08/wsnconnection",
                                   "urilistener=" + listener.url("bc"))
        self.assertEqual(200, status)
        self.assertIsNotNone(callback_id(body), body)
        status, body = self.gw.post(NET + "/callbacks",
                                    callback_doc(listener.url("sensor"), nwk_filter(0x1102)))
        filtered = callback_id(body)
        self.assertEqual((200, info(r("CallbackIdentifier", str(filtered)))), (status, body))
        self.assertEqual((200, error(6, "No message received so far")),
                         self.gw.get(NET + "/callbacks/%08x" % filtered))

        # A connection on all end points keeps messages for polling; nothing is pushed.
        status, body = self.gw.post(NET + "/localnode/allservices/wsnconnection", "",
                                    "urilistener=" + listener.url("all"))
        everything = callback_id(body)
        self.assertEqual((200, info(r("CallbackIdentifier", str(everything)), rid=rid_of(body))),
                         (status, body))

        # The plug's message first, then the sensor's report.
        self.assertTrue(self.gw.ctl("send plug 2 0x0402 18010a0000290a08").startswith("ok"))
        self.assertEqual(1, len(listener.wait("ep8", 1)))
        self.assertTrue(self.gw.ctl("report sensor").startswith("ok"))
        ep8 = listener.wait("ep8", 2)
        self.assertEqual(2, len(ep8), ep8)
        plug = rx_event(0x2101, 2, 0x0402, "18010a0000290a08")
        # Events name the request that opened the connection.
        self.assertEqual(info(plug, rid=conn_rid), untimed(ep8[0]))
        sensor_report = re.search(r"<orq:Data>([0-9a-f]*)</orq:Data>", ep8[1]).group(1)
        sensor = rx_event(0x1102, 1, 0x0402, sensor_report)
        self.assertEqual(info(sensor, rid=conn_rid), untimed(ep8[1]))
        # The filtered callback got the sensor's message only.
        got = listener.wait("sensor", 1)
        self.assertEqual([info(sensor, rid=rid_of(got[0]))], [untimed(b) for b in got])
        # The second format goes out twice per message: wrapped in Info, and bare.
        bc = [b for b in listener.wait("bc", 4) if b.startswith("<?xml version=\"1.0\" "
                                                                 "encoding=\"UTF-8\"?><Message>")]
        self.assertEqual(2, len(bc), listener.bodies("bc"))
        self.assertRegex(bc[1], r'^<\?xml version="1.0" encoding="UTF-8"\?><Message><RXMessage>'
                         r'<SourceURL>zigbee://00124B0000001102:01</SourceURL>'
                         r'<DestinationURL>zigbee://0000:08</DestinationURL>'
                         r'<ProfileId>104</ProfileId><ClusterId>402</ClusterId>'
                         r'<MsgId>\d+</MsgId><Payload>%s</Payload></RXMessage></Message>$'
                         % sensor_report.upper())

        # Polling returns the last message, and again on the next read.
        polled = info(r("PolledMessage", p("AppliedDecodeSpecification", "DecodeMAC") + sensor))
        for _ in range(2):
            status, body = self.gw.get(NET + "/callbacks/%08x" % filtered)
            self.assertEqual((200, polled), (status, untimed(body)))
        # Both messages went to end point 8's cache, oldest first.
        self.assertEqual((200, info(plug)), (200, untimed(self.gw.get(EP8 + "/message")[1])))
        self.assertEqual((200, info(sensor)), (200, untimed(self.gw.get(EP8 + "/message")[1])))
        self.assertEqual((200, error(2, "Message Cache Empty")), self.gw.get(EP8 + "/message"))
        all_messages = NET + "/localnode/allservices/wsnconnection/message"
        self.assertEqual((200, info(plug)), (200, untimed(self.gw.get(all_messages)[1])))
        status, body = self.gw.get(NET + "/callbacks/%08x" % everything)
        self.assertEqual((200, polled), (status, untimed(body)))
        self.assertEqual([], listener.bodies("all"))

        listed = self.gw.get(NET + "/callbacks")
        self.assertEqual(200, listed[0])
        for ident in (conn, filtered, everything):
            self.assertIn(p("CallbackIdentifier", str(ident)), listed[1])
        # Deleting a callback: its resource goes, and its listener hears nothing more.
        self.assertEqual((200, info()), self.gw.delete(NET + "/callbacks/%08x" % filtered))
        self.assertEqual(404, self.gw.get(NET + "/callbacks/%08x" % filtered)[0])
        self.assertNotIn(p("CallbackIdentifier", str(filtered)), self.gw.get(NET + "/callbacks")[1])
        self.assertTrue(self.gw.ctl("report sensor").startswith("ok"))
        self.assertEqual(3, len(listener.wait("ep8", 3)))
        self.assertEqual(1, len(listener.bodies("sensor")))

    def test_3_callback_refusals(self):
        # What only it checks: callbacks refused over HTTP, one of them on an end point the
        # running gateway does not have.
        url = self.gw.listener.url("never")
        bad_level = ("<Filter><LevelSpecification><Level>NWKLevel</Level></LevelSpecification>"
                     "</Filter>")
        unknown_ep = ("<Filter><LevelSpecification><Level>APSLevel</Level></LevelSpecification>"
                      "<AddressSpecification><APSDestinationEndpoint>77</APSDestinationEndpoint>"
                      "</AddressSpecification></Filter>")
        cases = [
            ("<Callback", error(4, "Bad Callback XML message")),
            ("<Other/>", error(3, "Missing Callback XML Message")),
            (callback_doc(url, bad_level), error(2, "Feature not supported")),
            (callback_doc(url, unknown_ep),
             error(2, "Trying to register a callback on a non existing Endpoint")),
        ]
        for body, expected in cases:
            self.assertEqual((200, expected), self.gw.post(NET + "/callbacks", body), body)
        self.assertEqual((200, error(3, "Missing callbackDestination parameter")),
                         self.gw.post(EP8))
        self.assertEqual(405, self.gw.delete(NET + "/callbacks")[0])

    def test_4_send_zcl_and_aps_messages(self):
        # What only it checks: ZCL and APS messages sent over HTTP reach the emulated node and its
        # answer comes back.
        toggle = ("<ZCLCommand><DestinationAddress><NetworkAddress>4353</NetworkAddress>"
                  "</DestinationAddress><DestinationEndpoint>1</DestinationEndpoint>"
                  "<ProfileID>260</ProfileID><ClusterID>6</ClusterID>"
                  "<SourceEndpoint>8</SourceEndpoint>%s<Radius>10</Radius>"
                  "<ZCLHeader>0102</ZCLHeader><ZCLPayload>02</ZCLPayload></ZCLCommand>" % TX)
        was_on = " on=1" in self.gw.ctl("show light")
        status, body = self.gw.post(EP8 + "/message", toggle, "timeout=10&urilistener=" +
                                    self.gw.listener.url("zcl"))
        self.assertEqual(200, status)
        expected = info(p("ZCLMessage", p("RxTime", "T") + p("DestinationEndpoint", "1") +
                          p("SourceAddress", "0") + p("SourceEndpoint", "8") +
                          p("ProfileID", "260") + p("ClusterID", "6") + p("ZCLPayload", "") +
                          p("APSStatus", "0") + p("SourceAddressMode", "2") +
                          p("ZCLHeader", "010202")))
        self.assertEqual(re.sub(r"\n</tns:Info>$", "<tns:RequestIdentifier>%s"
                                "</tns:RequestIdentifier>\n</tns:Info>" % rid_of(body), expected),
                         untimed(body))
        want = " on=0" if was_on else " on=1"
        self.assertTrue(wait_for(lambda: want in self.gw.ctl("show light")),
                        self.gw.ctl("show light"))
        aps = ("<APSMessage><DestinationAddress><NetworkAddress>4353</NetworkAddress>"
               "</DestinationAddress><DestinationEndpoint>1</DestinationEndpoint>"
               "<SourceEndpoint>8</SourceEndpoint><ProfileID>260</ProfileID>"
               "<ClusterID>6</ClusterID>%s<Radius>10</Radius><Data>010302</Data>"
               "</APSMessage>" % TX)
        status, body = self.gw.post(EP8 + "/message", aps, "timeout=10")
        self.assertEqual(200, status)
        result = info(r("APSMessageResult", p("ConfirmStatus", "0") + p("TxTime", "T")))
        self.assertEqual(result, re.sub(r"(<orq:TxTime>)\d+(</orq:TxTime>)", r"\1T\2", body))
        status, body = self.gw.post(EP8 + "/message", aps, "timeout=10&urilistener=" +
                                    self.gw.listener.url("aps"))
        self.assertEqual((200, error(2, "CallbackDestination parameter not supported",
                                     rid_of(body))), (status, body))
        self.assertEqual((200, error(3, "Missing timeout parameter")),
                         self.gw.post(EP8 + "/message", toggle))
        self.assertEqual((200, error(2, "Message not sent: Error parsing XML message")),
                         self.gw.post(EP8 + "/message", "<ZCLCommand><ClusterID>6</ClusterID>"
                                      "</ZCLCommand>", "timeout=10"))
        # A Node_Desc_req in an APS document is answered by the node descriptor path.
        node_desc_req = ("<APSMessage><DestinationAddress><NetworkAddress>4353</NetworkAddress>"
                         "</DestinationAddress><DestinationEndpoint>0</DestinationEndpoint>"
                         "<SourceEndpoint>0</SourceEndpoint><ProfileID>0</ProfileID>"
                         "<ClusterID>2</ClusterID>%s<Radius>10</Radius><Data>000111</Data>"
                         "</APSMessage>" % TX)
        status, body = self.gw.post(EP8 + "/message", node_desc_req, "timeout=1388")
        self.assertEqual(200, status)
        self.assertIn("<tns:NodeDescriptor><orq:LogicalType>Router</orq:LogicalType>", body)


    def test_5_a_burst_beyond_the_delivery_queue_loses_events_not_the_connection(self):
        # What only it checks: a burst of reports beyond the delivery queue loses events, not the
        # connection.
        stalled = Listener(answer=False)
        try:
            self.assertEqual(200, self.gw.post(EP8, query="urilistener=" + stalled.url("b"))[0])
            # The listener holds the first POST: the delivery queue (100) overflows.
            first = int(re.search(r"first=(\d+)", self.gw.ctl("flood 150 20 light")).group(1))

            def handled():  # the cache of end point 8 holds the burst's last reports
                m = re.search(r"0a0000410d([0-9a-f]{8})", self.gw.get(EP8 + "/message")[1])
                return m is not None and int(m.group(1), 16) >= first + 139
            self.assertTrue(wait_for(handled))
            stalled.release.set()
            # The queue is full until its delivery moves on: the next event is sent once the
            # held POST and one more have arrived, or it would be dropped as part of the burst.
            stalled.wait("b", count=2)
            after = int(re.search(r"first=(\d+)", self.gw.ctl("flood 1 20 light")).group(1))
            self.assertTrue(stalled.wait("b", where=lambda b: "0a0000410d%08x" % after in b))
            self.assertLess(len(stalled.bodies("b")), 151)
        finally:
            stalled.close()


if __name__ == "__main__":
    unittest.main()
