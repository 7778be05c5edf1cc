"""The gateway as a client sees it: zbsim with the demo network, orq on a free port with a
configuration the test writes, an HTTP client, and listener servers that keep what orq POSTs."""

import http.server
import os
import random
import re
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


def free_port():
    """A port nobody listens on, for a server the test starts later. It is taken below the
    kernel's ephemeral range: a port the kernel hands out (bind to 0) may be given to some
    client's connection before the server binds it."""
    low = lowest_ephemeral_port()
    for _ in range(200):
        port = random.randrange(max(1024, low - 12000), low)
        with socket.socket() as s:
            try:
                s.bind(("127.0.0.1", port))
            except OSError:
                continue
            return port
    raise RuntimeError("no free port below %d" % low)


def lowest_ephemeral_port():
    try:
        with open("/proc/sys/net/ipv4/ip_local_port_range") as f:
            return int(f.read().split()[0])
    except (OSError, ValueError, IndexError):
        return 32768


def code_of(document):
    """The status code of a reply or event document (None when there is none)."""
    m = re.search(r"<(?:\w+:)?Code>(\d+)</", document)
    return int(m.group(1)) if m else None


def message_of(document):
    m = re.search(r"<(?:\w+:)?Message>([^<]*)</", document)
    return m.group(1) if m else None


def value_of(document):
    m = re.search(r"<(?:\w+:)?Value>([^<]*)</", document)
    return m.group(1) if m else None


class Listener:
    """An HTTP server on the loopback keeping every POST body, in order, per path. With
    `answer` false it accepts connections and never answers (a stalled listener)."""

    def __init__(self, answer=True):
        self.posts = []
        self.cond = threading.Condition()
        self.release = threading.Event()
        outer = self

        class Handler(http.server.BaseHTTPRequestHandler):
            def do_POST(self):
                length = int(self.headers.get("Content-Length", "0"))
                body = self.rfile.read(length).decode("utf-8", "replace")
                if not answer:
                    outer.release.wait(DEADLINE)
                with outer.cond:
                    outer.posts.append((self.path, body))
                    outer.cond.notify_all()
                self.send_response(200)
                self.send_header("Content-Length", "0")
                self.end_headers()

            def log_message(self, *args):
                pass

        self.server = http.server.ThreadingHTTPServer(("127.0.0.1", 0), Handler)
        self.server.daemon_threads = True
        self.port = self.server.server_address[1]
        threading.Thread(target=self.server.serve_forever, daemon=True).start()

    def url(self, path):
        return "http://127.0.0.1:%d/%s" % (self.port, path)

    def bodies(self, path):
        with self.cond:
            return [b for (p, b) in self.posts if p == "/" + path]

    def wait(self, path, count=1, where=lambda body: True, timeout=DEADLINE):
        """The bodies POSTed to `path` that satisfy `where`, once there are `count` of them."""
        def matching():
            return [b for (p, b) in self.posts if p == "/" + path and where(b)]
        with self.cond:
            self.cond.wait_for(lambda: len(matching()) >= count, timeout)
            return matching()

    def close(self):
        self.release.set()
        self.server.shutdown()
        self.server.server_close()


class Gateway:
    """zbsim and orq as processes. `main` and `extra` are appended to the [main] section and
    to the end of the configuration; `network` is zbsim's network file; `more_ports` is
    appended to the plain port in RESTServer:serverPorts (",9443s" adds an HTTPS port);
    `orq_env` is added to orq's environment; `port` is the plain port (default: a free one).
    The walks send their requests `pacing_ms` apart (None: the configured 800 ms)."""

    def __init__(self, main="", extra="", autostart=True, sim_args=("--trace",), network=DEMO,
                 more_ports="", orq_env=None, port=None, pacing_ms=50):
        if pacing_ms is not None:
            main = "discoveryPacingMs = %d\n%s" % (pacing_ms, main)
        self.dir = tempfile.TemporaryDirectory(prefix="orq-gw-")
        self.link = os.path.join(self.dir.name, "ttyZB")
        self.control = os.path.join(self.dir.name, "zbsim.sock")
        self.sim = Process([ZBSIM, "--network", network, "--link", self.link, "--control",
                            self.control] + list(sim_args))
        self.orq = None
        if not self.sim.wait_output("zbsim: ready"):
            raise RuntimeError("zbsim did not start:\n" + self.sim.output())
        self.port = port or free_port()
        self.config = os.path.join(self.dir.name, "orq.ini")
        with open(self.config, "w") as f:
            f.write("[main]\ndebugEnabled = 1\nplatform = 1\nnamespaces = 1\nautostart = %d\n%s\n"
                    "[RESTServer]\nserverPorts = %d%s\n[RESTClient]\nhttpOptTimeout = 2\n"
                    "[DefaultStartupAttributeSet]\nChannelMask = 15\n%s\n"
                    % (1 if autostart else 0, main, self.port, more_ports, extra))
        self.url = "zigbee://%s?dongle=freescale" % self.link
        env = dict(os.environ, **orq_env) if orq_env else None
        self.orq = Process([ORQ, "-c", self.config, self.url], cwd=self.dir.name, env=env)
        if not wait_for(self.answers):
            raise RuntimeError("orq did not serve REST:\n" + self.orq.output())

    def answers(self):
        if self.orq.proc.poll() is not None:
            return True  # ended: the caller's check fails with its output
        try:
            return self.request("GET", "/version")[0] == 200
        except OSError:
            return False

    def state(self):
        return value_of(self.request("GET", "/ib/00/00")[1])

    def running(self):
        """True once the gateway runs; false at once when orq has ended (the caller's check
        then shows its output)."""
        ended = lambda: self.orq.proc.poll() is not None  # noqa: E731
        return wait_for(lambda: ended() or self.state() == "3") and not ended()

    def request(self, method, path, body=None, query=None, timeout=DEADLINE):
        """(HTTP status, body text) of one request."""
        url = "http://127.0.0.1:%d%s" % (self.port, path)
        if query:
            url += "?" + query
        data = body.encode() if body is not None else None
        if data is None and method in ("POST", "PUT"):
            data = b""
        req = urllib.request.Request(url, data=data, method=method)
        try:
            with urllib.request.urlopen(req, timeout=timeout) as resp:
                return resp.status, resp.read().decode()
        except urllib.error.HTTPError as e:
            return e.code, e.read().decode()

    def get(self, path, query=None):
        return self.request("GET", path, None, query)

    def post(self, path, body="", query=None):
        return self.request("POST", path, body, query)

    def put(self, path, body="", query=None):
        return self.request("PUT", path, body, query)

    def ctl(self, command):
        status, out, _ = run([ZBSIM_CTL, self.control] + command.split())
        return out.strip() if status == 0 else "error: " + out.strip()

    def sim_saw(self, pattern, timeout=DEADLINE):
        """True once zbsim's trace holds a received packet matching the regular expression."""
        return wait_for(lambda: re.search(pattern, self.sim.output()) is not None, timeout)

    def close(self):
        status = None
        if self.orq is not None:
            status = self.orq.stop(signal.SIGTERM)
            self.orq.close()
        self.sim.stop(signal.SIGTERM)
        self.sim.close()
        self.dir.cleanup()
        return status
