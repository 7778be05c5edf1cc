"""The gateway resources over HTTP against orq and zbsim processes: version, information
bases, methods, resource information, start-up and permit-join errors, frequency agility and
permit join as zbsim sees them, and the gateway status listener."""

import os
import sys
import unittest

sys.path.insert(0, os.path.dirname(__file__))
from gatewaytest import Gateway, Listener, code_of, message_of, value_of  # noqa: E402
from orqtest import wait_for  # noqa: E402

JOIN = ("<JoiningInfo><PermitDuration>30</PermitDuration><TCSignificance>true</TCSignificance>"
        "</JoiningInfo>")
START = "<StartupAttributeInfo><StartupControl>0</StartupControl></StartupAttributeInfo>"

# REST error codes as the documents carry them.
WRONG_REQUEST, FEATURE_NOT_SUPPORTED, BAD_PARAMETER, PARAMETER_MISSING = 2, 2, 4, 3
METHOD_NOT_ALLOWED, LIST_FULL = 7, 8


class GatewayResources(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.status = Listener()
        cls.gw = Gateway(
            main="gwStatusChanged_DefaultURIListener = %s" % cls.status.url("gwstatus"),
            extra="[RESTBroker]\nHelloMsgNotifyPeriod = 1\nHelloMsg_WSNCAttached_NotifyPeriod = 1\n")
        cls.listener = Listener()
        assert cls.gw.running(), cls.gw.orq.output()

    @classmethod
    def tearDownClass(cls):
        status = cls.gw.close()
        cls.listener.close()
        cls.status.close()
        # The orderly stop (and, in the sanitizer builds, no report).
        assert status == 4, "orq ended with %s" % status

    def assertReply(self, reply, code, message=None, http=200):
        status, body = reply
        self.assertEqual(http, status, body)
        self.assertEqual(code, code_of(body), body)
        if message is not None:
            self.assertEqual(message, message_of(body), body)
        return body

    def test_network_information_base(self):
        # What only it checks: the network information base of a running daemon, its channel
        # from the configuration, written and read back.
        ib = "/net/default/ib/"
        self.assertEqual("32768", value_of(self.gw.get(ib + "c3")[1]))  # channel 15 alone
        cases = [  # attribute, value written, value read back
            ("c8", "0", "00"), ("c8", "1", "01"), ("c3", "8000", "32768"),
            ("c4", "00 11 22 33 44 55 66 77", "00 11 22 33 44 55 66 77"),
            ("c4", "0x00 0x00 0x00 0x00 0x00 0x00 0x00 0x00", "00 00 00 00 00 00 00 00"),
        ]
        for attribute, written, read in cases:
            self.assertReply(self.gw.put(ib + attribute, "<Value>%s</Value>" % written), 0)
            self.assertEqual(read, value_of(self.gw.get(ib + attribute)[1]), attribute)
        # A refused write leaves the module's value (the refusals are tested in-process).
        self.assertReply(self.gw.put(ib + "c3", "<Value>zz</Value>"), BAD_PARAMETER,
                         "Invalid value")
        self.assertEqual("32768", value_of(self.gw.get(ib + "c3")[1]))

    def test_startup_refusals(self):
        # What only it checks: start-up refusals of a running daemon leave its network running.
        L = self.listener.url("start")
        cases = [  # method, query, body, code, message
            ("GET", None, None, FEATURE_NOT_SUPPORTED, "readStartupAttributeSet not implemented"),
            ("POST", "start=false&timeout=1e", START, FEATURE_NOT_SUPPORTED,
             "ConfigureStartupAttributeSet not implemented"),
            ("POST", "timeout=1e", START, PARAMETER_MISSING, "Missing start parameter"),
            ("POST", "start=true", START, PARAMETER_MISSING, "Missing timeout parameter"),
            ("POST", "start=true&timeout=xyz", START, BAD_PARAMETER, "Bad timeout parameter"),
            ("POST", "start=true&timeout=1e", "not xml", PARAMETER_MISSING,
             "StartupAttributeInfo parameters missing"),
            ("POST", "start=true&timeout=1e", "<StartupAttributeInfo/>", PARAMETER_MISSING,
             "Mandatory parameter missing in StartupAttributeInfo XML message"),
            ("POST", "start=true&timeout=1e",
             "<StartupAttributeInfo><DeviceType>Toaster</DeviceType></StartupAttributeInfo>",
             BAD_PARAMETER, "Invalid value in StartupAttributeInfo XML message"),
            ("POST", "start=true&timeout=1e&urilistener=", START, PARAMETER_MISSING,
             "Missing callbackDestination parameter"),
            ("POST", "start=true&timeout=1e&urilistener=" + L, "not xml", BAD_PARAMETER,
             "Bad StartupAttributeInfo XML message"),
            ("POST", "start=true&timeout=1e&urilistener=" + L, "<StartupAttributeInfo/>",
             WRONG_REQUEST, "Mandatory parameter missing in StartupAttributeInfo XML message"),
            ("POST", "start=true&timeout=1e&urilistener=ftp://127.0.0.1/x", START, BAD_PARAMETER,
             "Bad urilistener parameter"),
        ]
        for method, query, body, code, message in cases:
            self.assertReply(self.gw.request(method, "/startup", body, query), code, message)
        # Nothing was started and no listener is left waiting.
        self.assertEqual("3", self.gw.state())
        self.assertEqual([], self.listener.bodies("start"))

    def test_permit_join_on_all_nodes(self):
        # What only it checks: the permit-join frame the emulated module is sent, and its listener
        # POST.
        self.assertReply(self.gw.post("/net/default/allwsnnodes/permitjoin", JOIN, "timeout=7530"), 0)
        # Mgmt_Permit_Join to every router: 30 seconds, trust centre significance.
        self.assertTrue(self.gw.sim_saw(r"<- A2 36 04 FC FF 1E 01"), self.gw.sim.output()[-3000:])
        self.assertIn("permit=1", self.gw.ctl("status"))
        for query, body, code, message in [
                ("", JOIN, WRONG_REQUEST, "Missing timeout parameter"),
                ("timeout=1e", "<JoiningInfo/>", BAD_PARAMETER, "Wrong JoiningInfo values"),
                ("timeout=1e", "junk", BAD_PARAMETER, "Wrong JoiningInfo values"),
                ("timeout=1e&urilistener=", JOIN, WRONG_REQUEST,
                 "Missing callbackDestination parameter"),
                ("timeout=1e&urilistener=" + self.listener.url("pj-bad"), "junk", BAD_PARAMETER,
                 "Wrong JoiningInfo values")]:
            self.assertReply(self.gw.post("/net/default/allwsnnodes/permitjoin", body, query),
                             code, message)
        # Non-blocking: the request identifier now, the result at the listener.
        body = self.assertReply(self.gw.post("/net/default/allwsnnodes/permitjoin", JOIN,
                                             "timeout=7530&urilistener=" + self.listener.url("pj")), 0)
        self.assertIn("RequestIdentifier>", body)
        events = self.listener.wait("pj")
        self.assertEqual(1, len(events), events)
        self.assertEqual(0, code_of(events[0]), events[0])
        self.assertEqual([], self.listener.bodies("pj-bad"))

    def test_frequency_agility(self):
        # What only it checks: the channel-change frame the emulated module is sent.
        path = "/net/default/localnode/frequencyagility"
        self.assertReply(self.gw.get(path, "timeout=1e&scanChannel=15"), 0)
        # Mgmt_NWK_Update to every awake device: channel 15 alone, duration 0xFE.
        self.assertTrue(self.gw.sim_saw(r"<- A2 38 08 FD FF 00 80 00 00 FE"),
                        self.gw.sim.output()[-3000:])
        for query, code, message in [
                ("scanChannel=15", WRONG_REQUEST, "Missing timeout parameter"),
                ("timeout=1e&scanChannel=27", BAD_PARAMETER, "Invalid scanChannel"),
                ("timeout=1e&scanChannel=5", BAD_PARAMETER, "Invalid scanChannel"),
                ("timeout=1e&scanChannel=x", BAD_PARAMETER, "Invalid scanChannel"),
                ("timeout=1e&scanDuration=300", BAD_PARAMETER, "Invalid scanDuration"),
                ("timeout=1e&urilistener=" + self.listener.url("fa"), WRONG_REQUEST, None)]:
            self.assertReply(self.gw.get(path, query), code, message)

    def test_gateway_status_listener(self):
        # What only it checks: the gateway status listener gets both document forms and the
        # periodic descriptor.
        # Every state change came as the success document and as the bare document.
        bare = self.status.wait("gwstatus", where=lambda b: b.startswith("<?xml")
                                and "<GWDescriptor>" in b[:120] and "GWState>03<" in b)
        wrapped = self.status.wait("gwstatus", where=lambda b: "Detail><GWDescriptor>" in b
                                   and "GWState>02<" in b)
        self.assertTrue(bare, self.status.bodies("gwstatus")[:4])
        self.assertTrue(wrapped, self.status.bodies("gwstatus")[:4])
        self.assertEqual(0, code_of(wrapped[0]))
        self.assertEqual(1, wrapped[0].count("<?xml"), wrapped[0])
        # The periodic descriptor keeps coming (1 s period in this configuration).
        seen = len(self.status.bodies("gwstatus"))
        self.assertGreaterEqual(len(self.status.wait("gwstatus", count=seen + 4)), seen + 4)


class NetworkNamedByItsExtendedPanId(unittest.TestCase):
    def test_the_network_folder_takes_the_extended_pan_id(self):
        # What only it checks: the network folder is named by the configured extended PAN id.
        gw = Gateway(extra="ExtendedPanId = 0x00 0x11 0x22 0x33 0x44 0x55 0x66 0x77\n"
                           "[RESTBroker]\nUseDefaultNWKRootURI = 0\n")
        try:
            status, body = gw.get("/net")
            self.assertIn(">0011223344556677<", body)
            self.assertEqual(0, code_of(gw.get("/net/0011223344556677/discovery")[1]))
            self.assertEqual("00 11 22 33 44 55 66 77",
                             value_of(gw.get("/net/0011223344556677/ib/c4")[1]))
            self.assertEqual(404, gw.get("/net/default/ib/c4")[0])
        finally:
            self.assertEqual(4, gw.close())


if __name__ == "__main__":
    unittest.main(verbosity=2)
