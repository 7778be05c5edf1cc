"""The line: serial ingest (zbsim floods data indications into orq, which pushes each one to a
listener through a connection on the gateway's end point 8), command latency (a ZCL toggle
POSTed until its data request reaches zbsim) and event latency (a report leaving zbsim until the
listener has its POST). zbsim's time-stamped frame record (`stamps on`) and this process share
CLOCK_MONOTONIC (time.monotonic()), so their times compare directly."""

import http.client
import os
import re
import subprocess
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
# Listeners of the fan-out measurement, each on a port of its own.
FANOUT = 20
FRAME_BYTES = 5 + 16 + PAYLOAD  # start, opcode, length, indication header, payload, check
DATA = re.compile(rb"<orq:Data>([0-9a-f]*)</orq:Data>")
TOGGLE = ("<ZCLCommand><DestinationAddress><NetworkAddress>4353</NetworkAddress>"
          "</DestinationAddress><DestinationEndpoint>1</DestinationEndpoint>"
          "<ProfileID>260</ProfileID><ClusterID>6</ClusterID><SourceEndpoint>8</SourceEndpoint>"
          "<TxOptions><SecurityEnabled>false</SecurityEnabled><UseNetworkKey>false"
          "</UseNetworkKey><Acknowledged>true</Acknowledged><PermitFragmentation>false"
          "</PermitFragmentation></TxOptions><Radius>10</Radius><ZCLHeader>0102</ZCLHeader>"
          "<ZCLPayload>02</ZCLPayload></ZCLCommand>")


class Sink:
    """bench/post_sink as the listener server: a C++ program that answers every POST at once
    and reports, per POST, when its body was complete (CLOCK_MONOTONIC) and the number of the
    flooded report it carries. A thread here reads its reports; the sink's own CPU time is
    read from its process, so that the cost of listening is told apart from the gateway's."""

    def __init__(self, ctx):
        self.proc = subprocess.Popen([ctx.path("bench", "post_sink")], stdin=subprocess.PIPE,
                                     stdout=subprocess.PIPE, text=True)
        first = self.proc.stdout.readline().split()
        if len(first) != 2 or first[0] != "port":
            raise RuntimeError("post_sink did not start")
        self.port = int(first[1])
        self.received = []  # (monotonic time, flood number or None)
        self.cond = threading.Condition()
        self.thread = threading.Thread(target=self.read, daemon=True)
        self.thread.start()

    def url(self, path):
        return "http://127.0.0.1:%d/%s" % (self.port, path)

    def read(self):
        for line in self.proc.stdout:
            t, n = line.split()
            with self.cond:
                self.received.append((int(t) / 1e9, int(n) if n != "-1" else None))
                self.cond.notify_all()

    def cpu(self):
        return benchlib.cpu_seconds(self.proc.pid)

    def wait(self, predicate, timeout):
        with self.cond:
            return self.cond.wait_for(lambda: predicate(self.received), timeout)

    def close(self):
        self.proc.stdin.close()
        self.proc.wait()
        self.thread.join()


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


def start(ctx, extra=""):
    from gatewaytest import Gateway
    # Production logging (the debug log off); zbsim without its frame trace.
    gw = Gateway(main="debugEnabled = 0", sim_args=(), extra=extra)
    listener = None
    try:
        if not gw.running():
            raise RuntimeError("the network did not form")
        listener = Sink(ctx)
        # The node list first: messages from nodes the gateway does not know are dropped.
        gw.get(NET + "/wsnnodes", "inquiry&urilistener=%s&timeout=ea60" % listener.url("inquiry"))
        if not listener.wait(lambda r: len(r) >= 6, 60):
            raise RuntimeError("the inquiry did not find the demo network")
        status, body = gw.post(EP8, query="urilistener=" + listener.url("ep8"))
        if status != 200 or "<tns:Code>0</tns:Code>" not in body:
            raise RuntimeError("no connection on end point 8: %s" % body)
        return gw, listener, Control(gw.control)
    except BaseException:
        if listener is not None:
            listener.close()
        gw.close()
        raise


def cached_number(conn):
    """The flood number of the oldest message cached for end point 8 (GET .../message reads
    and removes it), or None."""
    conn.request("GET", EP8 + "/message")
    d = DATA.search(conn.getresponse().read())
    return flood_number(d.group(1)) if d else None


class Flood:
    """One flood of `count` reports through orq into the listener. orq handles indications one
    after the other on its reader thread, and every message for a connected end point is also
    cached (the ten latest): once a read of the cache (polled every 10 ms) returns one of the
    flood's last 20, orq has handled the flood (to within those 20). What the listener got
    is counted apart: a document the bounded delivery list (100 for a host) had no room for is lost."""

    def __init__(self, ctx, gw, listener, ctl, count, label, baud=0):
        if baud:
            ctl("fault baud %d" % baud)
        conn = http.client.HTTPConnection("127.0.0.1", gw.port, timeout=30)
        seen = len(listener.received)
        cpu0, listen0 = benchlib.cpu_seconds(gw.orq.proc.pid), listener.cpu()
        t0 = time.monotonic()
        first = int(re.search(r"first=(\d+)", ctl("flood %d %d" % (count, PAYLOAD))).group(1))
        last = first + count - 1
        deadline = t0 + 60 + count / LINE_FRAMES_PER_S

        def delivered(received):
            return {r[1] for r in received[seen:] if r[1] is not None and first <= r[1] <= last}
        if not baud:
            while True:
                n = cached_number(conn)
                if n is not None and last - 20 <= n <= last:
                    break
                if time.monotonic() > deadline:
                    raise RuntimeError("%s: orq did not handle the flood" % label)
                time.sleep(0.01)
            self.seconds = time.monotonic() - t0
            self.cpu = benchlib.cpu_seconds(gw.orq.proc.pid) - cpu0
        conn.close()
        # The listener's POSTs: until all are in or none has come for two seconds. Paced by
        # the line, nothing needs to be lost and the last POST marks the end (reading the cache
        # instead, the gateway would spend more on the reads than on the indications).
        got = 0
        while got < count:
            listener.wait(lambda r: len(delivered(r)) > got, 2.0)
            now = len(delivered(listener.received))
            if now == got:
                break
            got = now
        if baud:
            self.cpu = benchlib.cpu_seconds(gw.orq.proc.pid) - cpu0
            ends = [t for (t, n) in listener.received[seen:] if n is not None and
                    first <= n <= last]
            self.seconds = (max(ends) if ends else time.monotonic()) - t0
        if baud:
            ctl("fault baud 0")
        self.count, self.delivered, self.lost = count, got, count - got
        self.listener_cpu = listener.cpu() - listen0
        self.rate = count / self.seconds
        ctx.log("%s: %d handled in %.2f s, orq CPU %.2f s, %d delivered" %
                (label, count, self.seconds, self.cpu, got))


def ingest_rows(ctx, gw, listener, ctl):
    rows = []
    f = Flood(ctx, gw, listener, ctl, ctx.count(20000, 3000), "unthrottled")
    cores = f.cpu / f.seconds
    rows.append(benchlib.row(
        GROUP, "ingest unthrottled", f.rate, "indications/s", reference=LINE_FRAMES_PER_S,
        target=">= 10x the line (4,600/s)", met=f.rate >= 10 * LINE_FRAMES_PER_S,
        note="%d reports of %d bytes from the demo network's 5 nodes; reference: 115200 baud "
             "8N1, 25-byte frames" % (f.count, PAYLOAD)))
    rows.append(benchlib.row(GROUP, "ingest unthrottled: orq CPU", cores, "cores",
                             target="< 1 core", met=cores < 1.0,
                             note="%.1f us CPU per indication" % (1e6 * f.cpu / f.count)))
    rows.append(benchlib.row(
        GROUP, "ingest unthrottled: lost", f.lost, "indications",
        note="not delivered to the listener (its host's delivery list holds 100 documents; %d "
             "delivered); listener: bench/post_sink, %.1f us CPU per POST"
             % (f.delivered, 1e6 * f.listener_cpu / max(f.delivered, 1))))

    # Ten times the line's capacity, paced by zbsim: what handling 4,600 indications a second
    # costs (unthrottled, orq runs flat out on its reader and delivery threads together).
    target_rate = 10 * LINE_FRAMES_PER_S
    f = Flood(ctx, gw, listener, ctl, ctx.count(20000, 3000), "4,600/s",
              int(target_rate * FRAME_BYTES * 10))
    cores = f.cpu / f.seconds
    rows.append(benchlib.row(
        GROUP, "ingest at 4,600/s: orq CPU", cores, "cores", target="< 1 core", met=cores < 1.0,
        note="zbsim paced at %.0f/s; %.1f us CPU per indication; %d not delivered"
             % (f.rate, 1e6 * f.cpu / f.count, f.lost)))

    # zbsim's line at 1152000 baud: the one listener gets every report.
    f = Flood(ctx, gw, listener, ctl, ctx.count(10000, 2000), "1152000 baud", 1152000)
    rows.append(benchlib.row(
        GROUP, "ingest at 1152000 baud: lost", f.lost, "indications", target="none lost",
        met=f.lost == 0, note="%d reports to one listener at %.0f/s, orq at %.1f %% of a core"
                              % (f.count, f.rate, 100.0 * f.cpu / f.seconds)))

    f = Flood(ctx, gw, listener, ctl, ctx.count(1000, 250), "115200 baud", 115200)
    share = 100.0 * f.cpu / f.seconds
    failed_posts = gw.orq.output().count("returned an error")
    rows.append(benchlib.row(GROUP, "ingest at 115200 baud: lost", f.lost, "indications",
                             target="none lost", met=f.lost == 0,
                             note="%d flooded at %.0f/s; POSTs orq saw fail in this run: %d"
                                  % (f.count, f.rate, failed_posts)))
    rows.append(benchlib.row(GROUP, "ingest at 115200 baud: orq CPU", share, "%",
                             target="< 10 %", met=share < 10.0,
                             note="%.1f us CPU per indication" % (1e6 * f.cpu / f.count)))
    return rows


def command_rows(ctx, gw, ctl):
    """POST of a toggle until zbsim reads the data request (9C 00). orq answers the POST once
    the request is written to the line, so the next toggle waits until zbsim has read this one:
    back to back, zbsim's own queue would be measured."""
    count = ctx.count(1000, 100)

    def packets_in():
        return int(re.search(r" in=(\d+)", ctl("status")).group(1))
    base = packets_in()
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
            deadline = time.monotonic() + 10
            while packets_in() < base + len(sent):
                if time.monotonic() > deadline:
                    raise RuntimeError("zbsim did not read data request %d" % len(sent))
    finally:
        conn.close()
        ctl("stamps off")
    arrivals = [t for (t, d, b) in read_stamps(stamps) if d == "in" and b.startswith("9C00")]
    if len(arrivals) != count:
        raise RuntimeError("zbsim read %d data requests for %d POSTs" % (len(arrivals), count))
    lat = [1000.0 * (a - s) for a, s in zip(arrivals, sent)]
    med, p99 = benchlib.median(lat), benchlib.percentile(lat, 99)
    note = ("%d toggles over one keep-alive http.client connection; the client takes %.0f us "
            "(median) to write a request; load average %.1f (the machine's other work shows "
            "here)" % (count, 1e6 * benchlib.median(client), os.getloadavg()[0]))
    return [benchlib.row(GROUP, "command latency: median", med, "ms", target="<= 1 ms",
                         met=med <= 1.0, note=note),
            benchlib.row(GROUP, "command latency: p99", p99, "ms", target="<= 5 ms",
                         met=p99 <= 5.0)]


def event_rows(ctx, gw, listener, ctl):
    """A report of the demo network's temperature sensor leaving zbsim until the listener has
    read its POST."""
    count = ctx.count(1000, 100)
    stamps = os.path.join(ctx.workdir, "event-stamps.txt")
    ctl("stamps on %s 9D01" % stamps)
    heard = {}
    listen0 = listener.cpu()
    try:
        for _ in range(count):
            first = int(re.search(r"first=(\d+)", ctl("flood 1 %d sensor" % PAYLOAD)).group(1))
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
    note = ("listener: bench/post_sink, %.0f us CPU per POST, included"
            % (1e6 * (listener.cpu() - listen0) / count))
    return [benchlib.row(GROUP, "event latency: median", med, "ms", target="<= 2 ms",
                         met=med <= 2.0, note=note),
            benchlib.row(GROUP, "event latency: p99", p99, "ms")]


def fanout_rows(ctx, gw, listener, ctl):
    """Every report to many listeners: FANOUT listeners (the one connected at the start and
    more, to the end point's limit of 20), each its own post_sink on its own port and each with
    a connection on end point 8, while zbsim floods reports at 115200 baud. Each listener must
    get every report, in the order zbsim sent them."""
    count = ctx.count(1000, 200)
    sinks = [listener]
    try:
        for _ in range(FANOUT - 1):
            sink = Sink(ctx)
            sinks.append(sink)
            status, body = gw.post(EP8, query="urilistener=" + sink.url("fan"))
            if status != 200 or "<tns:Code>0</tns:Code>" not in body:
                raise RuntimeError("no connection on end point 8: %s" % body)
        ctl("fault baud 115200")
        cpu0 = benchlib.cpu_seconds(gw.orq.proc.pid)
        t0 = time.monotonic()
        first = int(re.search(r"first=(\d+)", ctl("flood %d %d" % (count, PAYLOAD))).group(1))
        last = first + count - 1

        def flooded(sink):
            return [n for (_, n) in sink.received if n is not None and first <= n <= last]
        # Until every listener has every report, or none has had one more for two seconds.
        def total():
            return sum(len(flooded(s)) for s in sinks)
        got = -1
        while total() != got and total() < count * FANOUT:
            got = total()
            deadline = time.monotonic() + 2.0
            while time.monotonic() < deadline and total() == got:
                time.sleep(0.05)
        ends = [t for s in sinks for (t, n) in s.received if n is not None and first <= n <= last]
        seconds = (max(ends) if ends else time.monotonic()) - t0
        cpu = benchlib.cpu_seconds(gw.orq.proc.pid) - cpu0
        ctl("fault baud 0")
        per = [flooded(s) for s in sinks]
        delivered = sum(len(p) for p in per)
        in_order = all(p == sorted(p) for p in per)
        worst = min(len(p) for p in per)
        share = 100.0 * cpu / seconds
        ctx.log("fan-out: %d of %d POSTs in %.2f s, orq CPU %.2f s" %
                (delivered, count * FANOUT, seconds, cpu))
        return [
            benchlib.row(GROUP, "%d listeners at 115200 baud: delivered" % FANOUT, delivered,
                         "POSTs", reference=count * FANOUT,
                         target="every report to every listener, in order",
                         met=delivered == count * FANOUT and in_order,
                         note="%d reports; the worst listener got %d; order kept: %s"
                              % (count, worst, "yes" if in_order else "no")),
            benchlib.row(GROUP, "%d listeners at 115200 baud: orq CPU" % FANOUT, share, "%",
                         target="< 15 %", met=share < 15.0,
                         note="%.1f us CPU per POST" % (1e6 * cpu / max(delivered, 1)))]
    finally:
        for sink in sinks[1:]:
            sink.close()


def run(ctx):
    ctx.log("line: load average %.2f %.2f %.2f (other work on the machine shows in the "
            "latencies)" % os.getloadavg())
    gw, listener, ctl = start(ctx)
    try:
        rows = ingest_rows(ctx, gw, listener, ctl)
        rows += command_rows(ctx, gw, ctl)
        rows += event_rows(ctx, gw, listener, ctl)
        # Last: the fan-out's connections stay on end point 8.
        rows += fanout_rows(ctx, gw, listener, ctl)
        return rows
    finally:
        ctl.close()
        listener.close()
        gw.close()
