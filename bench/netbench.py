"""What the HTTP and scale measurements share: generated network files, a gateway that has
walked one by an inquiry, a listener fast enough to take one notification per node, and a
kept-alive HTTP client.

Call benchlib.use_build() before importing this module (run.py does)."""

import http.client
import os
import socket
import subprocess
import sys
import threading
import time

import benchlib
from gatewaytest import Gateway

# The pause after each discovery request while a bench walks a network. The prescribed 800 ms
# would make a 5,000-node inquiry last over an hour; with no pause at all the walk outruns the
# delivery of its notifications (100 queued, then the listener is dropped, as the REST client
# is meant to behave), so a short pause is kept and subtracted from the measured time.
BENCH_PACING_MS = 2
PRESCRIBED_PACING_MS = 800

# Reports paced by zbsim as a 115200 baud 8N1 line carries them: 11,520 bytes a second, 41
# bytes a frame for a 20-byte report (start, opcode, length, indication header, payload, check).
LINE_BAUD = 115200
LINE_BYTES_PER_S = LINE_BAUD / 10.0
REPORT_BYTES = 20
REPORT_FRAME_BYTES = 5 + 16 + REPORT_BYTES
EP8 = "/net/default/localnode/services/08/wsnconnection"


def network_file(ctx, nodes):
    """A generated network of `nodes` nodes besides the coordinator, in the run's directory."""
    path = os.path.join(ctx.workdir, "net%d.ini" % nodes)
    if not os.path.exists(path):
        generator = os.path.join(ctx.source_dir, "config", "networks", "generate.py")
        with open(path, "w") as f:
            subprocess.run([sys.executable, generator, "--nodes", str(nodes)], stdout=f,
                           check=True)
    return path


class Sink:
    """An HTTP/1.1 server on the loopback that answers every request at once with 200 and
    counts the POSTs per path, keeping the last body of each. Unlike the tests' Listener it
    keeps connections alive and does no more than that, so it keeps pace with the gateway's
    delivery threads."""

    def __init__(self):
        self.counts = {}
        self.last = {}
        self.cond = threading.Condition()
        self.server = socket.socket()
        self.server.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
        self.server.bind(("127.0.0.1", 0))
        self.server.listen(64)
        self.port = self.server.getsockname()[1]
        self.closed = False
        threading.Thread(target=self._accept, daemon=True).start()

    def url(self, path):
        return "http://127.0.0.1:%d/%s" % (self.port, path)

    def count(self, path):
        with self.cond:
            return self.counts.get("/" + path, 0)

    def wait(self, path, count, timeout):
        """True once `count` POSTs reached `path` (False after `timeout` seconds)."""
        with self.cond:
            return self.cond.wait_for(lambda: self.counts.get("/" + path, 0) >= count, timeout)

    def close(self):
        self.closed = True
        self.server.close()

    def _accept(self):
        while not self.closed:
            try:
                conn, _ = self.server.accept()
            except OSError:
                return
            threading.Thread(target=self._serve, args=(conn,), daemon=True).start()

    def _serve(self, conn):
        data = b""
        with conn:
            while True:
                end = data.find(b"\r\n\r\n")
                while end < 0:
                    chunk = conn.recv(65536)
                    if not chunk:
                        return
                    data += chunk
                    end = data.find(b"\r\n\r\n")
                head = data[:end].decode("latin-1").split("\r\n")
                length = 0
                for line in head[1:]:
                    name, _, value = line.partition(":")
                    if name.strip().lower() == "content-length":
                        length = int(value.strip())
                while len(data) < end + 4 + length:
                    chunk = conn.recv(65536)
                    if not chunk:
                        return
                    data += chunk
                body = data[end + 4:end + 4 + length]
                data = data[end + 4 + length:]
                method, path = head[0].split(" ")[:2]
                conn.sendall(b"HTTP/1.1 200 OK\r\nContent-Length: 0\r\n\r\n")
                if method == "POST":
                    with self.cond:
                        self.counts[path] = self.counts.get(path, 0) + 1
                        self.last[path] = body
                        self.cond.notify_all()


class Client:
    """A kept-alive HTTP/1.1 connection to the gateway."""

    def __init__(self, port, timeout=60):
        self.conn = http.client.HTTPConnection("127.0.0.1", port, timeout=timeout)

    def get(self, path):
        """(status, body bytes) of one GET."""
        self.conn.request("GET", path)
        resp = self.conn.getresponse()
        return resp.status, resp.read()

    def post(self, path, body=""):
        self.conn.request("POST", path, body=body.encode())
        resp = self.conn.getresponse()
        return resp.status, resp.read()

    def close(self):
        self.conn.close()


def start_gateway(ctx, nodes=None, main="", **kwargs):
    """zbsim (no trace) and orq with the bench pacing, on a generated network of `nodes`
    nodes (None: the demo network); other arguments go to the harness's Gateway. The network
    is formed when this returns."""
    if nodes:
        kwargs["network"] = network_file(ctx, nodes)
    gw = Gateway(main="debugEnabled = 0\ndiscoveryPacingMs = %d\n%s" % (BENCH_PACING_MS, main),
                 sim_args=(), **kwargs)
    if not gw.running():
        gw.close()
        raise RuntimeError("the gateway did not reach the running state")
    return gw


def rss_parts(pid):
    """(KiB of anonymous memory, KiB of file pages: the program and its shared libraries)
    resident in the process."""
    parts = {}
    with open("/proc/%d/status" % pid) as f:
        for line in f:
            name, _, value = line.partition(":")
            if name in ("RssAnon", "RssFile"):
                parts[name] = int(value.split()[0])
    return parts.get("RssAnon", 0), parts.get("RssFile", 0)


def reports(gw, sink, seconds, path="reports"):
    """`seconds` of attribute reports from every node of the network in turn (zbsim's flood,
    paced as a 115200 baud line carries them) to the gateway's end point 8, where a connection
    forwards each to `sink`. Returns (reports flooded, reports the sink got) once the sink has
    them all or none has come for two seconds."""
    status, body = gw.post(EP8, query="urilistener=" + sink.url(path))
    if status != 200 or "<tns:Code>0<" not in body:
        raise RuntimeError("no connection on end point 8: %d %s" % (status, body))
    count = max(1, int(seconds * LINE_BYTES_PER_S / REPORT_FRAME_BYTES))
    before = sink.count(path)
    for command in ("fault baud %d" % LINE_BAUD, "flood %d %d" % (count, REPORT_BYTES)):
        answer = gw.ctl(command)
        if not answer.startswith("ok"):
            raise RuntimeError("zbsim: %s: %s" % (command, answer))
    try:
        got = 0
        deadline = time.monotonic() + seconds + 120
        while got < count and time.monotonic() < deadline:
            sink.wait(path, before + got + 1, 2.0)
            now = sink.count(path) - before
            if now == got:
                break
            got = now
    finally:
        gw.ctl("fault baud 0")
    if got == 0:
        raise RuntimeError("none of %d reports reached the listener" % count)
    return count, got


def file_pages(pid):
    """(KiB of the program's own file pages, KiB of its shared libraries' and other files')
    resident in the process: each file mapping's resident pages less those it has copied."""
    program = os.path.realpath("/proc/%d/exe" % pid)
    own = others = 0
    path = None
    with open("/proc/%d/smaps" % pid) as f:
        for line in f:
            fields = line.split()
            if "-" in fields[0] and not fields[0].endswith(":"):
                path = fields[5] if len(fields) > 5 and fields[5].startswith("/") else None
            elif path and fields[0] in ("Rss:", "Anonymous:"):
                kib = int(fields[1]) * (1 if fields[0] == "Rss:" else -1)
                if os.path.realpath(path) == program:
                    own += kib
                else:
                    others += kib
    return own, others


def node_count(document):
    """The nodes in a node-list document."""
    return document.count(b"WSNNode>") // 2 if isinstance(document, bytes) else \
        document.count("WSNNode>") // 2


def inquire(gw, sink, nodes, path="inquiry"):
    """Walks the network by an inquiry: one notification per node and one for the
    coordinator. Returns (seconds until the last notification, CPU seconds orq used, CPU
    seconds zbsim used)."""
    before = sink.count(path)
    cpu = benchlib.cpu_seconds(gw.orq.proc.pid)
    sim_cpu = benchlib.cpu_seconds(gw.sim.proc.pid)
    start = time.monotonic()
    status, body = gw.get("/net/default/wsnnodes",
                          "inquiry&timeout=0&urilistener=" + sink.url(path))
    if status != 200 or "<tns:Code>0<" not in body:
        raise RuntimeError("the inquiry was refused: %d %s" % (status, body))
    # Generous: about 1 ms of pacing and a few of work per node, on a loaded machine.
    if not sink.wait(path, before + nodes + 1, timeout=120 + nodes * 0.1):
        raise RuntimeError("the inquiry gave %d of %d notifications"
                           % (sink.count(path) - before, nodes + 1))
    elapsed = time.monotonic() - start
    return (elapsed, benchlib.cpu_seconds(gw.orq.proc.pid) - cpu,
            benchlib.cpu_seconds(gw.sim.proc.pid) - sim_cpu)
