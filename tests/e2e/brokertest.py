"""The gateway of the node, service and message scenarios: the gateway-resource harness
(gatewaytest) with the network formed and a listener server at hand, and the documents the
composer fixes, built the same way."""

from gatewaytest import Gateway as GatewayProcesses
from gatewaytest import Listener

ORQ_NS = "http://www.zigbee.org/GWGSchema"
REST_NS = "http://www.zigbee.org/GWGRESTSchema"

# The demo network's nodes: short address and IEEE address (16 hexadecimal digits).
NODES = {
    "module": (0x0000, "00124b0000000001"),
    "router1": (0x1001, "00124b0000001001"),
    "light": (0x1101, "00124b0000001101"),
    "sensor": (0x1102, "00124b0000001102"),
    "router2": (0x2001, "00124b0000002001"),
    "plug": (0x2101, "00124b0000002101"),
}


def ieee_number(name):
    """The IEEE address of a demo node as the composer writes it (unsigned decimal)."""
    return str(int(NODES[name][1], 16))


# Documents, with name spaces on (config "namespaces = 1"): P is the gateway schema's prefix,
# R the REST schema's.
def p(name, content=""):
    return "<orq:%s>%s</orq:%s>" % (name, content, name)


def r(name, content=""):
    return "<tns:%s>%s</tns:%s>" % (name, content, name)


def info(detail=None, code=0, message=None, rid=None):
    """The reply document Info."""
    status = r("Code", str(code)) + (r("Message", message) if message is not None else "")
    body = r("Status", status)
    if detail is not None:
        body += r("Detail", detail)
    if rid is not None:
        body += r("RequestIdentifier", rid)
    return ('<?xml version="1.0" encoding="UTF-8"?>\n<tns:Info xmlns:orq="%s" xmlns:tns="%s">\n'
            '%s\n</tns:Info>' % (ORQ_NS, REST_NS, body))


def error(code, message, rid=None):
    return info(code=code, message=message, rid=rid)


def address_block(name):
    return p("Address", p("NetworkAddress", str(NODES[name][0])) + p("IeeeAddress", ieee_number(name)))


class Gateway(GatewayProcesses):
    """zbsim and orq with the demo network (or `network`), formed (unless `autostart` is off),
    and a listener server (`listener`); the walks' own scenarios keep the real pace."""

    def __init__(self, main="", autostart=True, **processes):
        self.listener = None
        self.orq = None
        try:
            super().__init__(main=main, autostart=autostart, **processes)
            if autostart and not self.running():
                raise RuntimeError("the network did not form:\n" + self.orq.output())
        except BaseException:
            if getattr(self, "sim", None) is not None:
                self.close()
            raise
        self.listener = Listener()

    def inquire(self, path="inquiry"):
        """Runs an inquiry: the documents POSTed to the listener at `path`, once there is one
        for each node of the demo network."""
        self.get("/net/default/wsnnodes", "inquiry&urilistener=%s&timeout=ea60" %
                 self.listener.url(path))
        return self.listener.wait(path, len(NODES), timeout=60)

    def node_list(self):
        """The node list from the database (mode=cache: no radio traffic)."""
        return self.get("/net/default/wsnnodes", "mode=cache")[1]

    def folders_gone(self, name, short=None):
        """True when neither folder of demo node `name` (under `short`, if it moved) is left."""
        short = NODES[name][0] if short is None else short
        return (self.get("/net/default/wsnnodes/%04x" % short)[0] == 404 and
                self.get("/net/default/wsnnodes/" + NODES[name][1])[0] == 404)

    def delete(self, path, query=None):
        return self.request("DELETE", path, None, query)

    def close(self):
        if self.listener is not None:
            self.listener.close()
            self.listener = None
        return super().close()
