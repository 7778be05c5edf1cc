"""A running gateway for the REST scenarios: zbsim with a network file, orq on a free port with
a configuration of the test's choosing, an HTTP client, and a listener server that collects
the notifications orq POSTs. Also the documents the composer fixes, built the same way."""

import http.server
import os
import signal
import socket
import tempfile
import threading
import urllib.error
import urllib.request

from orqtest import BUILD_DIR, DEADLINE, ORQ, SOURCE_DIR, Process, run, wait_for

ZBSIM = os.path.join(BUILD_DIR, "sim", "zbsim")
ZBSIM_CTL = os.path.join(BUILD_DIR, "sim", "zbsim-ctl")
DEMO = os.path.join(SOURCE_DIR, "config", "networks", "demo.ini")
DEVICE_STARTED = "Device started (ORQ shortAddr = 0x0000"

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


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


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


class Listener:
    """An HTTP server on the loopback that keeps every POST it gets, in order."""

    def __init__(self):
        self.posts = []
        self.cond = threading.Condition()
        outer = self

        class Handler(http.server.BaseHTTPRequestHandler):
            def do_POST(self):
                length = int(self.headers.get("Content-Length", "0"))
                body = self.rfile.read(length).decode("utf-8", "replace")
                with outer.cond:
                    outer.posts.append((self.path, body))
                    outer.cond.notify_all()
                self.send_response(200)
                self.send_header("Content-Length", "0")
                self.end_headers()

            def log_message(self, *args):
                pass

        self.server = http.server.ThreadingHTTPServer(("127.0.0.1", 0), Handler)
        self.port = self.server.server_address[1]
        self.thread = threading.Thread(target=self.server.serve_forever, daemon=True)
        self.thread.start()

    def url(self, path):
        return "http://127.0.0.1:%d/%s" % (self.port, path)

    def bodies(self, path):
        with self.cond:
            return [b for (pth, b) in self.posts if pth == "/" + path]

    def wait(self, path, count=1, timeout=DEADLINE):
        """The bodies POSTed to `path` once there are at least `count` (fewer on time-out)."""
        with self.cond:
            self.cond.wait_for(lambda: len([1 for (pth, _) in self.posts if pth == "/" + path])
                               >= count, timeout)
        return self.bodies(path)

    def close(self):
        self.server.shutdown()
        self.server.server_close()


class Gateway:
    """zbsim and orq as processes; `extra` is appended to the [main] section."""

    def __init__(self, network=DEMO, main="", autostart=True, sim_args=()):
        self.dir = tempfile.TemporaryDirectory(prefix="orq-broker-")
        self.link = os.path.join(self.dir.name, "ttyZB")
        self.control = os.path.join(self.dir.name, "zbsim.sock")
        self.sim = Process([ZBSIM, "--network", network, "--link", self.link,
                            "--control", self.control] + list(sim_args))
        self.orq = None
        self.listener = None
        try:
            self.start(main, autostart)
        except BaseException:
            self.close()
            raise

    def start(self, main, autostart):
        if not self.sim.wait_output("zbsim: ready"):
            raise RuntimeError("zbsim did not start:\n" + self.sim.output())
        self.port = free_port()
        config = os.path.join(self.dir.name, "orq.ini")
        with open(config, "w") as f:
            f.write("[main]\ndebugEnabled = 1\nplatform = 1\nnamespaces = 1\nlocalRegToDAnnce = 1\n"
                    "autostart = %d\n%s\n"
                    "[RESTServer]\nserverPorts = %d\n"
                    "[RESTClient]\nhttpOptTimeout = 3\n"
                    "[DefaultStartupAttributeSet]\nDeviceType = 1\nChannelMask = 15\n"
                    "PANId = 0xFFFF\nDefaultEndPoint = 8\n"
                    % (1 if autostart else 0, main, self.port))
        url = "zigbee://%s?dongle=freescale" % self.link
        self.orq = Process([ORQ, "-c", config, url], cwd=self.dir.name)
        ready = "Device started" if autostart else "Gateway initialized (waiting for startup)"
        if not self.orq.wait_output(ready) or not wait_for(self.answers):
            raise RuntimeError("orq did not start:\n" + self.orq.output())
        self.listener = Listener()

    def answers(self):
        try:
            return self.request("GET", "/version")[0] == 200
        except OSError:
            return False

    def request(self, method, path, body=None, query=None):
        """(HTTP status, body text) of one request."""
        url = "http://127.0.0.1:%d%s" % (self.port, path)
        if query:
            url += "?" + query
        data = body.encode() if body is not None else None
        req = urllib.request.Request(url, data=data, method=method)
        if data is not None:
            req.add_header("Content-Type", "application/xml")
        try:
            with urllib.request.urlopen(req, timeout=DEADLINE) as resp:
                return resp.status, resp.read().decode()
        except urllib.error.HTTPError as e:
            return e.code, e.read().decode()

    def get(self, path, query=None):
        return self.request("GET", path, None, query)

    def post(self, path, body="", query=None):
        return self.request("POST", path, body, query)

    def delete(self, path, query=None):
        return self.request("DELETE", path, None, query)

    def ctl(self, command):
        status, out, _ = run([ZBSIM_CTL, self.control] + command.split())
        return out.strip() if status == 0 else "error: " + out.strip()

    def close(self):
        if self.listener is not None:
            self.listener.close()
            self.listener = None
        if self.orq is not None:
            self.orq.stop(signal.SIGTERM)
            self.orq.close()
            self.orq = None
        self.sim.stop(signal.SIGTERM)
        self.sim.close()
        self.dir.cleanup()
