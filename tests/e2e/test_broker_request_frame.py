"""The request frame every remote procedure shares, over HTTP against zbsim's demo network: a
missing time-out, an empty listener and a listener that is no http(s) URL are answered with
each procedure's own error and logged under its own name, and nothing is left waiting."""

import os
import re
import sys
import unittest

sys.path.insert(0, os.path.dirname(__file__))
from brokertest import NODES, Gateway, error  # noqa: E402
from orqtest import wait_for  # noqa: E402

NET = "/net/default"
LIGHT = NET + "/wsnnodes/1101"
LIGHT_IEEE = NET + "/wsnnodes/" + NODES["light"][1]
JOIN = ("<JoiningInfo><PermitDuration>30</PermitDuration><TCSignificance>true</TCSignificance>"
        "</JoiningInfo>")
START = "<StartupAttributeInfo><StartupControl>0</StartupControl></StartupAttributeInfo>"
BIND = ("<Binding><SourceIEEEAddress>%d</SourceIEEEAddress><SourceEndpoint>1</SourceEndpoint>"
        "<ClusterID>6</ClusterID><DeviceDestination><Address>%d</Address><Endpoint>8</Endpoint>"
        "</DeviceDestination></Binding>" % (int(NODES["light"][1], 16),
                                              int(NODES["module"][1], 16)))

RID = re.compile(r"<tns:RequestIdentifier>([0-9a-f]{8})</tns:RequestIdentifier>")

WRONG_REQUEST, PARAMETER_MISSING, BAD_PARAMETER = 2, 3, 4

# Each remote procedure: method, path, body, the query it needs besides the frame's two
# parameters, its answer to a missing time-out (code and logged line; None: it takes none)
# and to an empty listener (code and logged line; None: it has no non-blocking form here).
PROCEDURES = [
    ("POST", "/startup", START, "start=true",
     (PARAMETER_MISSING, "startup_Req - timeout parameter missing"),
     (PARAMETER_MISSING, "startup_Req - query not containing callback destination")),
    ("GET", NET + "/localnode/frequencyagility", None, "",
     (WRONG_REQUEST, "frequencyAgility_Req - timeout parameter missing!"), None),
    ("POST", NET + "/allwsnnodes/permitjoin", JOIN, "",
     (WRONG_REQUEST, "ndPermitJoin_Req - timeout parameter missing"),
     (WRONG_REQUEST, "ndPermitJoin_Req - callback destination not present")),
    ("GET", NET + "/wsnnodes", None, "inquiry",
     (PARAMETER_MISSING, "wnsnodesList_Req - timeout parameter missing"), None),
    ("POST", LIGHT, "<ZDPCommand/>", "",
     (PARAMETER_MISSING, "ndRoot_Req - timeout parameter missing"), None),
    ("DELETE", LIGHT, None, "", None,
     (WRONG_REQUEST, "ndLeave_Req - callback destination not present")),
    ("GET", LIGHT + "/nodedescriptor", None, "",
     (WRONG_REQUEST, "nodedescriptor_Req - timeout parameter missing!"),
     (WRONG_REQUEST, "nodedescriptor_Req - callback destination not present")),
    ("GET", LIGHT + "/services", None, "",
     (WRONG_REQUEST, "ndServicesList_Req - timeout parameter missing"),
     (WRONG_REQUEST, "ndServicesList_Req - callback destination not present")),
    ("GET", LIGHT + "/services/01", None, "",
     (WRONG_REQUEST, "sServiceDescriptor_Req - timeout parameter missing"),
     (WRONG_REQUEST, "sServiceDescriptor_Req - callback destination not present")),
    ("GET", LIGHT_IEEE + "/bindings", None, "",
     (WRONG_REQUEST, "lsBind_Req - timeout parameter missing"),
     (WRONG_REQUEST, "lsBind_Req - callback destination not present")),
    ("POST", LIGHT_IEEE + "/bindings", BIND, "",
     (WRONG_REQUEST, "lsBind_Req - timeout parameter missing"),
     (WRONG_REQUEST, "lsBind_Req - callback destination not present")),
    ("POST", LIGHT_IEEE + "/unbindings", BIND, "",
     (WRONG_REQUEST, "lsUnbind_Req - timeout parameter missing"),
     (WRONG_REQUEST, "lsUnbind_Req - callback destination not present")),
]


def rid_of(text):
    m = RID.search(text)
    return m.group(1) if m else None


def joined(*parts):
    return "&".join(part for part in parts if part)


class RequestFrame(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.gw = Gateway()
        # The node folders come with an inquiry, the light's service folders with a discovery
        # of its end points.
        cls.gw.get(NET + "/wsnnodes", "inquiry&urilistener=%s&timeout=ea60" %
                   cls.gw.listener.url("inquiry"))
        assert len(cls.gw.listener.wait("inquiry", len(NODES), timeout=60)) == len(NODES)
        assert wait_for(lambda: cls.gw.get(LIGHT + "/services", "timeout=1388")[0] == 200)
        assert wait_for(lambda: cls.gw.get(LIGHT + "/services/01", "timeout=1388")[0] == 200)

    @classmethod
    def tearDownClass(cls):
        cls.gw.close()

    def ask(self, method, path, body, query):
        status, reply = self.gw.request(method, path, body, query or None)
        self.assertEqual(200, status, (method, path, query, reply))
        return reply

    def assertLogged(self, line):
        self.assertTrue(self.gw.orq.wait_output(" - " + line), line)

    def test_a_missing_time_out_is_each_procedures_own_error(self):
        # What only it checks: each procedure logs its refusal of a missing time-out under its own
        # name.
        for method, path, body, query, no_timeout, _ in PROCEDURES:
            if no_timeout is None:
                continue
            code, line = no_timeout
            reply = self.ask(method, path, body, joined(query, "urilistener=" +
                                                        self.gw.listener.url("frame")))
            self.assertEqual(error(code, "Missing timeout parameter", rid_of(reply)), reply,
                             (method, path))
            self.assertLogged(line)
        self.assertEqual([], self.gw.listener.bodies("frame"))

    def test_an_empty_listener_is_each_procedures_own_error(self):
        # What only it checks: each procedure logs its refusal of an empty listener under its own
        # name.
        for method, path, body, query, _, no_listener in PROCEDURES:
            if no_listener is None:
                continue
            code, line = no_listener
            reply = self.ask(method, path, body, joined(query, "timeout=1388", "urilistener="))
            self.assertEqual(error(code, "Missing callbackDestination parameter", rid_of(reply)),
                             reply, (method, path))
            self.assertLogged(line)

    def test_a_listener_that_is_no_http_url_is_refused_and_starts_nothing(self):
        # What only it checks: a refused listener leaves the running network and the node's folders
        # as they were.
        for method, path, body, query, _, no_listener in PROCEDURES:
            if no_listener is None:
                continue
            reply = self.ask(method, path, body,
                             joined(query, "timeout=1388", "urilistener=ftp://127.0.0.1/x"))
            self.assertEqual(error(BAD_PARAMETER, "Bad urilistener parameter", rid_of(reply)),
                             reply, (method, path))
        # Nothing was started: the network runs, and the light is still there.
        self.assertEqual("3", self.gw.state())
        self.assertEqual(200, self.gw.get(LIGHT)[0])


if __name__ == "__main__":
    unittest.main()
