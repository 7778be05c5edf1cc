"""Service and binding resources over HTTP against zbsim's demo network: the gateway's own
services (listed, added before start-up, refused while running, removed), a node's active end
points and simple descriptor, the services of all nodes, the binding table, bind and unbind."""

import os
import re
import sys
import unittest

sys.path.insert(0, os.path.dirname(__file__))
from brokertest import NODES, Gateway, address_block, error, ieee_number, info, p, r  # noqa: E402

NET = "/net/default"
LIGHT = NET + "/wsnnodes/" + NODES["light"][1]
RID = re.compile(r"<tns:RequestIdentifier>([0-9a-f]{8})</tns:RequestIdentifier>")


def local_services(endpoints):
    return info(r("NodeServices", p("Address", p("NetworkAddress", "0")) +
                  "".join(p("ActiveEndpoints", p("EndPoint", str(e))) for e in endpoints)))


def simple_descriptor_doc(ep, profile, device, version, clusters_in=(), clusters_out=()):
    return ("<SimpleDescriptor><EndPoint>%d</EndPoint>"
            "<ApplicationProfileIdentifier>%d</ApplicationProfileIdentifier>"
            "<ApplicationDeviceIdentifier>%d</ApplicationDeviceIdentifier>"
            "<ApplicationDeviceVersion>%d</ApplicationDeviceVersion>%s%s</SimpleDescriptor>"
            % (ep, profile, device, version,
               "".join("<ApplicationInputCluster>%d</ApplicationInputCluster>" % c
                       for c in clusters_in),
               "".join("<ApplicationOutputCluster>%d</ApplicationOutputCluster>" % c
                       for c in clusters_out)))


def binding_doc(cluster, dst="module", dst_ep=8, nested=False):
    """A Binding request; `nested` writes the destination's address in IeeeAddress."""
    address = ("<IeeeAddress>%s</IeeeAddress>" if nested else "%s") % ieee_number(dst)
    return ("<Binding><SourceIEEEAddress>%s</SourceIEEEAddress><SourceEndpoint>1"
            "</SourceEndpoint><ClusterID>%d</ClusterID><DeviceDestination><Address>%s</Address>"
            "<Endpoint>%d</Endpoint></DeviceDestination></Binding>"
            % (ieee_number("light"), cluster, address, dst_ep))


def binding(cluster, dst="module", dst_ep=8):
    return p("Binding", p("SourceIEEEAddress", ieee_number("light")) + p("SourceEndpoint", "1") +
             p("ClusterID", str(cluster)) +
             p("DeviceDestination", p("Address", ieee_number(dst)) + p("Endpoint", str(dst_ep))))


class LocalServicesBeforeStartup(unittest.TestCase):
    """A gateway that waits for its start-up request: services can still be added."""

    def test_add_list_and_remove_a_service(self):
        # What only it checks: a local service added and removed over HTTP before start-up, with
        # its folders in both trees.
        gw = Gateway(autostart=False)
        try:
            services = NET + "/localnode/services"
            self.assertEqual((200, local_services([0, 8])), gw.get(services))
            status, body = gw.post(services, simple_descriptor_doc(9, 260, 0x0100, 1, [6]))
            self.assertEqual((200, info(r("Endpoint", "9"))), (status, body))
            self.assertEqual((200, local_services([0, 8, 9])), gw.get(services))
            # Its folders, in both trees.
            folder = info("<Resource><ResourceId>wsnconnection</ResourceId></Resource>\n")
            for uri in (services + "/09", "/localnode/services/09"):
                self.assertEqual((200, folder), gw.get(uri), uri)
            self.assertEqual((200, error(4, "Wrong SimpleDescriptor")),
                             gw.post(services, "<SimpleDescriptor><EndPoint>x</EndPoint>"
                                     "</SimpleDescriptor>"))
            self.assertEqual((200, info()), gw.delete(services + "/09"))
            for uri in (services + "/09", "/localnode/services/09"):
                self.assertEqual(404, gw.get(uri)[0], uri)
            self.assertEqual((200, local_services([0, 8])), gw.get(services))
            self.assertEqual(404, gw.delete(services + "/09")[0])
        finally:
            gw.close()


class RemoteServices(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.gw = Gateway()
        cls.gw.inquire()

    @classmethod
    def tearDownClass(cls):
        cls.gw.close()

    def test_1_local_services_while_running(self):
        # What only it checks: the local services of a running gateway refuse changes over HTTP.
        services = NET + "/localnode/services"
        self.assertEqual((200, local_services([0, 8])), self.gw.get(services))
        self.assertEqual((200, error(7, "Invalid GW Status")),
                         self.gw.post(services, simple_descriptor_doc(9, 260, 0x0100, 1)))
        self.assertEqual(404, self.gw.get(services + "/09")[0])
        self.assertEqual((200, error(7, "Method not allowed on resource")),
                         self.gw.delete(services + "/08"))
        self.assertEqual(405, self.gw.request("PUT", services)[0])

    def test_2_services_and_simple_descriptor_of_the_light(self):
        # What only it checks: a node's end points and simple descriptor read over the serial line.
        light = NET + "/wsnnodes/1101"
        services = info(r("NodeServices", address_block("light") +
                          p("ActiveEndpoints", p("EndPoint", "1"))))
        self.assertEqual((200, services), self.gw.get(light + "/services", "timeout=1388"))
        descriptor = r("ServiceDescriptor", address_block("light") + p("EndPoint", "1") +
                       p("SimpleDescriptor", p("EndPoint", "1") +
                         p("ApplicationProfileIdentifier", "260") +
                         p("ApplicationDeviceIdentifier", "256") +
                         p("ApplicationDeviceVersion", "1") +
                         "".join(p("ApplicationInputCluster", str(c)) for c in (0, 3, 6))))
        # The end point folder exists under both of the light's folders.
        for folder in (light, LIGHT):
            self.assertEqual((200, info(descriptor)),
                             self.gw.get(folder + "/services/01", "timeout=1388"))
        # Non-blocking: the request identifier now, the result to the listener.
        status, body = self.gw.get(light + "/services", "timeout=1388&urilistener=" +
                                   self.gw.listener.url("services"))
        rid = RID.search(body).group(1)
        self.assertEqual((200, info(rid=rid)), (status, body))
        self.assertEqual([info(services.split("<tns:Detail>")[1].split("</tns:Detail>")[0],
                               rid=rid)], self.gw.listener.wait("services"))
        self.assertEqual((200, error(2, "Missing timeout parameter")),
                         self.gw.get(light + "/services"))
        self.assertEqual(404, self.gw.get(light + "/services/05")[0])

    def test_3_bindings_from_index_3_bind_and_unbind(self):
        # What only it checks: bind and unbind reach the node's binding table, read from an index.
        clusters = [0, 3, 6, 8]
        for c in clusters:
            self.assertEqual((200, info()), self.gw.post(LIGHT + "/bindings", binding_doc(c),
                                                          "timeout=1388"), c)
        self.assertEqual((200, info(r("Bindings", "".join(binding(c) for c in clusters)))),
                         self.gw.get(LIGHT + "/bindings", "timeout=1388"))
        self.assertEqual((200, info(r("Bindings", binding(8)))),
                         self.gw.get(LIGHT + "/bindings", "timeout=1388&index=3"))
        self.assertEqual((200, info()), self.gw.post(LIGHT + "/unbindings", binding_doc(3),
                                                      "timeout=1388"))
        self.assertEqual((200, info(r("Bindings", "".join(binding(c) for c in (0, 6, 8))))),
                         self.gw.get(LIGHT + "/bindings", "timeout=1388"))
        # The destination written as every other address is: bound and unbound the same.
        self.assertEqual((200, info()), self.gw.post(LIGHT + "/bindings",
                                                      binding_doc(768, nested=True), "timeout=2710"))
        self.assertEqual((200, info(r("Bindings", "".join(binding(c) for c in (0, 6, 8, 768))))),
                         self.gw.get(LIGHT + "/bindings", "timeout=2710"))
        self.assertEqual((200, info()), self.gw.post(LIGHT + "/unbindings",
                                                      binding_doc(768, nested=True), "timeout=2710"))
        # Unbinding what is not there: the node's error status.
        self.assertEqual((200, error(2, "ERROR returned by ZDP_UNBIND_response")),
                         self.gw.post(LIGHT + "/unbindings", binding_doc(3), "timeout=1388"))
        self.assertEqual((200, error(2, "Message not sent: Error parsing XML message")),
                         self.gw.post(LIGHT + "/bindings", "<Binding/>", "timeout=1388"))
        self.assertEqual((200, error(2, "Bad formatted destination address")),
                         self.gw.get(NET + "/wsnnodes/1101/bindings", "timeout=1388"))
        self.assertEqual((200, error(2, "Missing timeout parameter")),
                         self.gw.get(LIGHT + "/bindings"))

    def test_9_services_of_all_nodes(self):
        # What only it checks: a walk without a mode finds the nodes without asking their end
        # points.
        cached = self.gw.get(NET + "/allwsnnodes/services", "mode=cache")
        self.assertEqual(200, cached[0])
        self.assertIn(p("NodeServices", address_block("light") +
                        p("ActiveEndpoints", p("EndPoint", "1"))), cached[1])
        self.assertEqual((200, error(4, "Bad mode parameter")),
                         self.gw.get(NET + "/allwsnnodes/services", "mode=radio"))
        # Without a mode the nodes are found again (their end points are not asked for).
        status, body = self.gw.get(NET + "/allwsnnodes/services")
        self.assertEqual(200, status)
        self.assertIn(p("NodeServices", address_block("module") + "<orq:ActiveEndpoints/>"),
                      body)
        self.assertEqual((200, body), self.gw.get(NET + "/allwsnnodes/services", "mode=cache"))


if __name__ == "__main__":
    unittest.main()
