"""The line: serial ingest (zbsim floods data indications into orq, which pushes each one to a
listener through a connection on the gateway's end point 8), command latency (a ZCL toggle
POSTed until its data request reaches zbsim) and event latency (a report leaving zbsim until the
listener has its POST). zbsim's time-stamped frame record (`stamps on`) and this process share
CLOCK_MONOTONIC (time.monotonic()), so their times compare directly."""

import http.client
import os
import re
import selectors
import socket
import threading
import time

import benchlib

GROUP = "line"
NET = "/net/default"
EP8 = NET + "/localnode/services/08/wsnconnection"
# 115200 baud 8N1 carries 11,520 bytes/s: about 460 frames/s of 25 bytes (a 20-byte payload).
LINE_FRAMES_PER_S = 11520 / 25.0
PAYLOAD = 20
DATA = re.compile(rb"<orq:Data>([0-9a-f]*)</orq:Data>")
TOGGLE = ("<ZCLCommand><DestinationAddress><NetworkAddress>4353</NetworkAddress>"
          "</DestinationAddress><DestinationEndpoint>1</DestinationEndpoint>"
          "<ProfileID>260</ProfileID><ClusterID>6</ClusterID><SourceEndpoint>8</SourceEndpoint>"
          "<TxOptions><SecurityEnabled>false</SecurityEnabled><UseNetworkKey>false"
          "</UseNetworkKey><Acknowledged>true</Acknowledged><PermitFragmentation>false"
          "</PermitFragmentation></TxOptions><Radius>10</Radius><ZCLHeader>0102</ZCLHeader>"
          "<ZCLPayload>02</ZCLPayload></ZCLCommand>")


class LeanListener:
    """The cheapest listener server this process can run: one thread, non-blocking sockets,
    keep-alive, no request object; for each POST it keeps when its body was complete and the
    number a flooded report carries (None for other documents). Its own CPU time is kept so
    that the cost of listening can be told apart from the gateway's."""

    RESPONSE = b"HTTP/1.1 200 OK\r\nContent-Length: 0\r\n\r\n"

    def __init__(self):
        self.received = []  # (monotonic time, flood number or None)
        self.cond = threading.Condition()
        self.cpu = 0.0
        self.sel = selectors.DefaultSelector()
        self.server = socket.socket()
        self.server.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
        self.server.bind(("127.0.0.1", 0))
        self.server.listen(64)
        self.server.setblocking(False)
        self.port = self.server.getsockname()[1]
        self.sel.register(self.server, selectors.EVENT_READ, None)
        self.stopping = False
        self.thread = threading.Thread(target=self.serve, daemon=True)
        self.thread.start()

    def url(self, path):
        return "http://127.0.0.1:%d/%s" % (self.port, path)

    def serve(self):
        buffers = {}
        while not self.stopping:
            for key, _ in self.sel.select(0.2):
                if key.data is None:
                    conn, _ = self.server.accept()
                    conn.setblocking(False)
                    buffers[conn] = b""
                    self.sel.register(conn, selectors.EVENT_READ, True)
                    continue
                conn = key.fileobj
                try:
                    chunk = conn.recv(65536)
                except OSError:
                    chunk = b""
                if not chunk:
                    self.sel.unregister(conn)
                    conn.close()
                    buffers.pop(conn, None)
                    continue
                start = time.thread_time()
                now = time.monotonic()
                buf = buffers[conn] + chunk
                got = []
                while True:
                    head_end = buf.find(b"\r\n\r\n")
                    if head_end < 0:
                        break
                    m = re.search(rb"(?i)content-length:\s*(\d+)", buf[:head_end])
                    end = head_end + 4 + (int(m.group(1)) if m else 0)
                    if len(buf) < end:
                        break
                    d = DATA.search(buf, head_end, end)
                    got.append((now, flood_number(d.group(1)) if d else None))
                    buf = buf[end:]
                buffers[conn] = buf
                if got:
                    conn.sendall(self.RESPONSE * len(got))
                    with self.cond:
                        self.received.extend(got)
                        self.cond.notify_all()
                self.cpu += time.thread_time() - start

    def wait(self, predicate, timeout):
        with self.cond:
            return self.cond.wait_for(lambda: predicate(self.received), timeout)

    def close(self):
        self.stopping = True
        self.thread.join()
        for key in list(self.sel.get_map().values()):
            key.fileobj.close()
        self.sel.close()


def flood_number(data_hex):
    """The number a flooded report carries: ZCL header 18 nn 0A, attribute 0000, type 41,
    length, then the number in four bytes."""
    if len(data_hex) >= 22 and data_hex.startswith(b"18") and data_hex[4:12] == b"0a000041":
        return int(data_hex[14:22], 16)
    return None


class Control:
    """A connection to zbsim's control socket kept open (a zbsim-ctl process per command would
    cost more than what is measured)."""

    def __init__(self, path):
        self.sock = socket.socket(socket.AF_UNIX)
        self.sock.connect(path)
        self.file = self.sock.makefile("rb")

    def __call__(self, command):
        self.sock.sendall(command.encode() + b"\n")
        answer = self.file.readline().decode().strip()
        if not answer.startswith("ok"):
            raise RuntimeError("zbsim: %s: %s" % (command, answer))
        return answer

    def close(self):
        self.file.close()
        self.sock.close()


def read_stamps(path):
    """zbsim's frame record: (microseconds, direction, hex bytes) per line."""
    out = []
    with open(path) as f:
        for line in f:
            parts = line.split()
            if len(parts) == 3:
                out.append((int(parts[0]) / 1e6, parts[1], parts[2]))
    return out


def stamped_flood_numbers(stamps):
    """Flooded reports in zbsim's record, by number: when each left zbsim. The indication's
    payload starts 16 bytes into the packet (after group, id, length and its header)."""
    out = {}
    for t, direction, hexbytes in stamps:
        if direction == "out" and hexbytes.startswith("9D01"):
            n = flood_number(hexbytes[32:].lower().encode())
            if n is not None:
                out[n] = t
    return out


def start(ctx):
    from gatewaytest import Gateway
    # Production logging (the debug log off); zbsim without its frame trace.
    gw = Gateway(main="debugEnabled = 0", sim_args=())
    try:
        if not gw.running():
            raise RuntimeError("the network did not form")
        listener = LeanListener()
        # The node list first: messages from nodes the gateway does not know are dropped.
        gw.get(NET + "/wsnnodes", "inquiry&urilistener=%s&timeout=3c" % listener.url("inquiry"))
        if not listener.wait(lambda r: len(r) >= 6, 60):
            raise RuntimeError("the inquiry did not find the demo network")
        status, body = gw.post(EP8, query="urilistener=" + listener.url("ep8"))
        if status != 200 or "<tns:Code>0</tns:Code>" not in body:
            raise RuntimeError("no connection on end point 8: %s" % body)
        return gw, listener, Control(gw.control)
    except BaseException:
        gw.close()
        raise


def flood(ctx, gw, listener, ctl, count, label, baud=0):
    """Floods count reports; returns (handled, lost, seconds, orq CPU seconds, listener CPU)."""
    if baud:
        ctl("fault baud %d" % baud)
    first_seen = len(listener.received)
    cpu0, listen0 = benchlib.cpu_seconds(gw.orq.proc.pid), listener.cpu
    t0 = time.monotonic()
    answer = ctl("flood %d %d" % (count, PAYLOAD))
    first = int(re.search(r"first=(\d+)", answer).group(1))
    wanted = set(range(first, first + count))

    def flooded(received):
        return [r for r in received[first_seen:] if r[1] in wanted]

    # Waits until every report is in, or nothing has come for two seconds (the rest is lost).
    last_count, last_change = 0, time.monotonic()
    while True:
        listener.wait(lambda r: len(flooded(r)) >= count, 0.25)
        done = len(flooded(listener.received))
        if done >= count:
            break
        if done != last_count:
            last_count, last_change = done, time.monotonic()
        elif time.monotonic() - last_change > 2.0:
            break
    got = flooded(listener.received)
    handled = len({n for (_, n) in got})
    seconds = (max(t for (t, _) in got) - t0) if got else float("nan")
    cpu = benchlib.cpu_seconds(gw.orq.proc.pid) - cpu0
    if baud:
        ctl("fault baud 0")
    ctx.log("%s: %d of %d handled in %.2f s, orq CPU %.2f s" % (label, handled, count, seconds,
                                                               cpu))
    return handled, count - handled, seconds, cpu, listener.cpu - listen0


def ingest_rows(ctx, gw, listener, ctl):
    rows = []
    count = ctx.count(20000, 3000)
    handled, lost, seconds, cpu, listen_cpu = flood(ctx, gw, listener, ctl, count, "unthrottled")
    rate = handled / seconds if seconds > 0 else 0.0
    cores = cpu / seconds if seconds > 0 else 0.0
    consumer = ("consumer: a one-thread Python listener (selectors, keep-alive), %.1f us CPU per "
                "POST" % (1e6 * listen_cpu / max(handled, 1)))
    rows.append(benchlib.row(GROUP, "ingest unthrottled", rate, "indications/s",
                             reference=LINE_FRAMES_PER_S, target=">= 10x the line (4,600/s)",
                             met=rate >= 10 * LINE_FRAMES_PER_S,
                             note="%d flooded, %d handled; %s" % (count, handled, consumer)))
    rows.append(benchlib.row(GROUP, "ingest unthrottled: orq CPU", cores, "cores",
                             target="< 1 core", met=cores < 1.0,
                             note="%.1f us CPU per indication" % (1e6 * cpu / max(handled, 1))))
    rows.append(benchlib.row(GROUP, "ingest unthrottled: lost", lost, "indications",
                             note="flooded minus delivered to the listener"))

    count = ctx.count(1000, 250)
    handled, lost, seconds, cpu, _ = flood(ctx, gw, listener, ctl, count, "115200 baud", 115200)
    share = 100.0 * cpu / seconds if seconds > 0 else 0.0
    rate = handled / seconds if seconds > 0 else 0.0
    rows.append(benchlib.row(GROUP, "ingest at 115200 baud: lost", lost, "indications",
                             target="none lost", met=lost == 0,
                             note="%d flooded, %d handled at %.0f/s" % (count, handled, rate)))
    rows.append(benchlib.row(GROUP, "ingest at 115200 baud: orq CPU", share, "%",
                             target="< 10 %", met=share < 10.0,
                             note="%.1f us CPU per indication" % (1e6 * cpu / max(handled, 1))))
    return rows


def command_rows(ctx, gw, ctl):
    """POST of a toggle until zbsim reads the data request (9C 00)."""
    count = ctx.count(1000, 100)
    stamps = os.path.join(ctx.workdir, "command-stamps.txt")
    ctl("stamps on %s 9C00" % stamps)
    conn = http.client.HTTPConnection("127.0.0.1", gw.port, timeout=30)
    path = EP8 + "/message?timeout=10"
    sent, client = [], []
    try:
        for _ in range(count):
            t0 = time.monotonic()
            conn.request("POST", path, TOGGLE, {"Content-Type": "application/xml"})
            t1 = time.monotonic()
            resp = conn.getresponse()
            body = resp.read()
            if resp.status != 200 or b"<tns:Code>0</tns:Code>" not in body:
                raise RuntimeError("toggle refused: %r" % body[:300])
            sent.append(t0)
            client.append(t1 - t0)
    finally:
        conn.close()
        ctl("stamps off")
    arrivals = [t for (t, d, b) in read_stamps(stamps) if d == "in" and b.startswith("9C00")]
    if len(arrivals) != count:
        raise RuntimeError("zbsim read %d data requests for %d POSTs" % (len(arrivals), count))
    lat = [1000.0 * (a - s) for a, s in zip(arrivals, sent)]
    med, p99 = benchlib.median(lat), benchlib.percentile(lat, 99)
    note = ("%d toggles over one keep-alive http.client connection; the client takes %.0f us "
            "(median) to write a request" % (count, 1e6 * benchlib.median(client)))
    return [benchlib.row(GROUP, "command latency: median", med, "ms", target="<= 1 ms",
                         met=med <= 1.0, note=note),
            benchlib.row(GROUP, "command latency: p99", p99, "ms", target="<= 5 ms",
                         met=p99 <= 5.0)]


def event_rows(ctx, gw, listener, ctl):
    """A report leaving zbsim until the listener has read its POST."""
    count = ctx.count(1000, 100)
    stamps = os.path.join(ctx.workdir, "event-stamps.txt")
    ctl("stamps on %s 9D01" % stamps)
    heard = {}
    listen0 = listener.cpu
    try:
        for _ in range(count):
            first = int(re.search(r"first=(\d+)", ctl("flood 1 %d" % PAYLOAD)).group(1))
            if not listener.wait(lambda r: any(n == first for (_, n) in r[-4:]), 10):
                raise RuntimeError("report %d never reached the listener" % first)
            heard[first] = next(t for (t, n) in reversed(listener.received) if n == first)
    finally:
        ctl("stamps off")
    left = stamped_flood_numbers(read_stamps(stamps))
    lat = [1000.0 * (heard[n] - left[n]) for n in heard if n in left]
    if len(lat) != count:
        raise RuntimeError("%d of %d reports stamped by zbsim" % (len(lat), count))
    med, p99 = benchlib.median(lat), benchlib.percentile(lat, 99)
    note = ("listener: the one-thread Python server above, %.0f us CPU per POST, included"
            % (1e6 * (listener.cpu - listen0) / count))
    return [benchlib.row(GROUP, "event latency: median", med, "ms", target="<= 2 ms",
                         met=med <= 2.0, note=note),
            benchlib.row(GROUP, "event latency: p99", p99, "ms")]


def run(ctx):
    gw, listener, ctl = start(ctx)
    try:
        rows = ingest_rows(ctx, gw, listener, ctl)
        rows += command_rows(ctx, gw, ctl)
        rows += event_rows(ctx, gw, listener, ctl)
        return rows
    finally:
        ctl.close()
        listener.close()
        gw.close()
