"""The live event stream (GET /events).

Latency: a report of the demo network's temperature sensor leaving zbsim until a stream client
has read its event, beside the same report's POST to a listener, in the same run. The stream
client here is Python (a thread reading lines), the listener bench/post_sink (C++): the
comparison leans against the stream.

Many clients: 100 streams of the messages on end point 8 while zbsim floods reports at the
line's rate (115200 baud): orq's CPU, and the events the clients did not get."""

import os
import re
import select
import socket
import threading
import time

import benchlib
import measure_line

GROUP = "events"
REPORT = re.compile(rb"<orq:Data>18[0-9a-f]{2}0a000041[0-9a-f]{2}([0-9a-f]{8})")


def open_stream(port, query):
    """A raw HTTP/1.0 stream client (no chunked coding), past the reply's head."""
    s = socket.create_connection(("127.0.0.1", port), timeout=60)
    s.sendall(b"GET /events?%s HTTP/1.0\r\nHost: orq\r\n\r\n" % query.encode())
    head = b""
    while b"\r\n\r\n" not in head:
        data = s.recv(4096)
        if not data:
            raise RuntimeError("the stream closed before its head: %r" % head)
        head += data
    if not head.startswith(b"HTTP/1.0 200") and not head.startswith(b"HTTP/1.1 200"):
        raise RuntimeError("the stream was refused: %r" % head[:80])
    return s, head.split(b"\r\n\r\n", 1)[1]


class Heard:
    """A stream client on a thread: when each flood report's event was read."""

    def __init__(self, port):
        self.sock, self.rest = open_stream(port, "type=message")
        self.times = {}
        self.cond = threading.Condition()
        threading.Thread(target=self.read, daemon=True).start()

    def read(self):
        buf = self.rest
        try:
            while True:
                now = time.monotonic()
                for m in REPORT.finditer(buf):
                    with self.cond:
                        self.times.setdefault(int(m.group(1), 16), now)
                        self.cond.notify_all()
                buf = buf[-200:]  # a report split between two reads is found in the next
                data = self.sock.recv(65536)
                if not data:
                    return
                buf += data
        except OSError:
            return

    def wait(self, number, timeout):
        with self.cond:
            return self.cond.wait_for(lambda: number in self.times, timeout)

    def close(self):
        self.sock.close()


def latency_rows(ctx, rows, gw, listener, ctl):
    count = ctx.count(500, 50)
    stream = Heard(gw.port)
    stamps = os.path.join(ctx.workdir, "stream-stamps.txt")
    ctl("stamps on %s 9D01" % stamps)
    posted = {}
    try:
        for _ in range(count):
            first = int(re.search(r"first=(\d+)",
                                  ctl("flood 1 %d sensor" % measure_line.PAYLOAD)).group(1))
            if not stream.wait(first, 10) or not listener.wait(
                    lambda r: any(n == first for (_, n) in r[-4:]), 10):
                raise RuntimeError("report %d never reached the stream and the listener" % first)
            posted[first] = next(t for (t, n) in reversed(listener.received) if n == first)
    finally:
        ctl("stamps off")
        stream.close()
    left = measure_line.stamped_flood_numbers(measure_line.read_stamps(stamps))
    on_stream = [1000.0 * (stream.times[n] - left[n]) for n in posted if n in left]
    by_post = [1000.0 * (posted[n] - left[n]) for n in posted if n in left]
    if len(on_stream) != count:
        raise RuntimeError("%d of %d reports stamped by zbsim" % (len(on_stream), count))
    med, p99 = benchlib.median(on_stream), benchlib.percentile(on_stream, 99)
    post_med, post_p99 = benchlib.median(by_post), benchlib.percentile(by_post, 99)
    rows.append(benchlib.row(GROUP, "event latency through the stream: median", med, "ms",
                             reference=post_med, target="<= the listener POST's",
                             met=med <= post_med,
                             note="reference: the same reports' POST to bench/post_sink, "
                                  "median; %d reports" % count))
    rows.append(benchlib.row(GROUP, "event latency through the stream: p99", p99, "ms",
                             reference=post_p99, target="<= the listener POST's",
                             met=p99 <= post_p99, note="reference: the POST's p99"))


def many_clients_rows(ctx, rows, gw, ctl):
    clients = ctx.count(100, 10)
    reports = ctx.count(1000, 200)
    socks = [open_stream(gw.port, "type=message&endpoint=8") for _ in range(clients)]
    got = {s.fileno(): rest.count(b"event: message\n") for s, rest in socks}
    tails = {s.fileno(): b"" for s, _ in socks}
    open_socks = {s.fileno(): s for s, _ in socks}
    ctl("fault baud 115200")
    cpu0 = benchlib.cpu_seconds(gw.orq.proc.pid)
    t0 = time.monotonic()
    ctl("flood %d %d" % (reports, measure_line.PAYLOAD))
    deadline = t0 + 60 + reports / measure_line.LINE_FRAMES_PER_S
    last_news = time.monotonic()
    try:
        while open_socks and time.monotonic() < deadline:
            if all(n >= reports for n in got.values()) or time.monotonic() - last_news > 3:
                break
            ready, _, _ = select.select(list(open_socks.values()), [], [], 0.5)
            for s in ready:
                data = s.recv(262144)
                if not data:
                    del open_socks[s.fileno()]
                    continue
                last_news = time.monotonic()
                joined = tails[s.fileno()] + data
                got[s.fileno()] += joined.count(b"event: message\n")
                # Keep what could be the start of a marker cut by this read.
                cut = joined.rfind(b"\n")
                tails[s.fileno()] = joined[cut + 1:] if cut >= 0 else joined
        elapsed = max(time.monotonic() - t0 - (time.monotonic() - last_news), 1e-6)
        cpu = benchlib.cpu_seconds(gw.orq.proc.pid) - cpu0
    finally:
        ctl("fault baud 0")
        for s, _ in socks:
            s.close()
    lost = sum(max(0, reports - n) for n in got.values())
    share = 100.0 * cpu / elapsed
    rows.append(benchlib.row(
        GROUP, "%d stream clients at the line's rate: orq CPU" % clients, share, "% of a core",
        target="< 25 %", met=share < 25.0,
        note="%d reports at 115200 baud in %.1f s, each to every client" % (reports, elapsed)))
    rows.append(benchlib.row(
        GROUP, "%d stream clients at the line's rate: events lost" % clients, lost, "events",
        target="none", met=lost == 0,
        note="of %d events due; clients cut: %d" % (reports * clients,
                                                   clients - len(open_socks))))


def run(ctx):
    # 100 streams from this one address: more than the default per-address limit.
    gw, listener, ctl = measure_line.start(ctx, extra="[RESTServer]\nconnectionsPerAddress = 256\n")
    rows = []
    try:
        latency_rows(ctx, rows, gw, listener, ctl)
        many_clients_rows(ctx, rows, gw, ctl)
        return rows
    finally:
        ctl.close()
        listener.close()
        gw.close()
