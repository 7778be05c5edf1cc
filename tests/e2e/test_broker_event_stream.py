"""The live event stream GET /events over the wire, against zbsim's demo network: events for an
inquiry, a report, a removal, a join and a killed router, each with the document the listener
POST carries (and the killed router's freshness POST, its folders gone); the type, node and end point filters; resuming by Last-Event-ID and the gap
beyond the ring; a client that reads nothing is cut while another receives every event;
orq's memory stays bounded with stalled clients while a flood of reports flows; and a stream
is one of the connections its address may hold, given back as soon as its client leaves."""

import http.client
import os
import re
import socket
import sys
import threading
import time
import unittest

sys.path.insert(0, os.path.dirname(__file__))
from brokertest import NODES, Gateway, address_block, r  # noqa: E402
from orqtest import DEADLINE, SOURCE_DIR, wait_for  # noqa: E402

sys.path.insert(0, os.path.join(SOURCE_DIR, "bench"))
from benchlib import rss_kib  # noqa: E402

NET = "/net/default"
EP8 = NET + "/localnode/services/08/wsnconnection"


class Stream:
    """One client of /events, read line by line on a thread of its own; `events` holds
    (id, kind, data) in arrival order, comments are counted."""

    def __init__(self, port, query="", headers=None):
        self.conn = http.client.HTTPConnection("127.0.0.1", port, timeout=DEADLINE * 4)
        self.conn.request("GET", "/events" + ("?" + query if query else ""),
                          headers=headers or {})
        self.sock = self.conn.sock
        self.response = self.conn.getresponse()
        self.status = self.response.status
        self.events = []
        self.ended = False
        self.cond = threading.Condition()
        if self.status == 200:
            threading.Thread(target=self.read, daemon=True).start()
        else:
            self.body = self.response.read().decode()

    def read(self):
        event_id, kind, data = None, "message", []
        try:
            while True:
                line = self.response.readline()
                if not line:
                    break
                line = line.decode().rstrip("\n")
                if line == "":
                    if data or kind != "message":
                        with self.cond:
                            self.events.append((event_id, kind, "\n".join(data)))
                            self.cond.notify_all()
                    event_id, kind, data = None, "message", []
                elif line.startswith("id: "):
                    event_id = int(line[4:])
                elif line.startswith("event: "):
                    kind = line[7:]
                elif line.startswith("data: "):
                    data.append(line[6:])
        except (OSError, http.client.HTTPException, ValueError, AttributeError):
            # AttributeError: the connection was closed under the reader.
            pass
        with self.cond:
            self.ended = True
            self.cond.notify_all()

    def wait(self, predicate, count=1, timeout=DEADLINE):
        """The events that satisfy `predicate(kind, data)`, once there are `count` of them."""
        def matching():
            return [e for e in self.events if predicate(e[1], e[2])]
        with self.cond:
            self.cond.wait_for(lambda: len(matching()) >= count or self.ended, timeout)
            return matching()

    def wait_end(self, timeout=DEADLINE):
        with self.cond:
            return self.cond.wait_for(lambda: self.ended, timeout)

    def kinds(self):
        with self.cond:
            return [e[1] for e in self.events]

    def close(self):
        # The reader's file keeps the socket open: shut it down for the server to see.
        try:
            self.sock.shutdown(socket.SHUT_RDWR)
        except OSError:
            pass
        self.conn.close()


def kind_is(*kinds):
    return lambda kind, data: kind in kinds


def node_event(kind, name):
    block = r("WSNNode", address_block(name))
    return lambda k, data: k == kind and block in data


def flood_number(data):
    """The number a flood report carries, or None for any other event."""
    m = re.search(r"<orq:Data>18[0-9a-f]{2}0a000041[0-9a-f]{2}([0-9a-f]{8})", data)
    return int(m.group(1), 16) if m else None


def flood_from(first):
    """A predicate for the flood reports numbered `first` and on."""
    def passes(kind, data):
        number = flood_number(data)
        return number is not None and number >= first
    return passes


def sanitized(pid):
    """True when the process runs with AddressSanitizer's or ThreadSanitizer's runtime."""
    with open("/proc/%d/maps" % pid) as f:
        maps = f.read()
    return "libasan" in maps or "libtsan" in maps


def stalled_client(port):
    """A client that asks for the stream with a tiny receive buffer and never reads."""
    s = socket.socket()
    s.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, 2048)
    s.connect(("127.0.0.1", port))
    s.sendall(b"GET /events HTTP/1.1\r\nHost: orq\r\n\r\n")
    # The reply's head, so that the stream is open before the events it is to miss.
    s.settimeout(DEADLINE)
    head = b""
    while b"\r\n\r\n" not in head:
        data = s.recv(1)
        if not data:
            break
        head += data
    assert head.startswith(b"HTTP/1.1 200"), head
    return s


def ended_by_server(sock, timeout=DEADLINE):
    """True when, reading what is left, the connection ends (the server closed it)."""
    sock.settimeout(timeout)
    end = time.monotonic() + timeout
    try:
        while time.monotonic() < end:
            if not sock.recv(65536):
                return True
    except ConnectionResetError:
        return True
    except socket.timeout:
        return False
    return False


class EventStream(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        # Freshness quick enough for a killed router to be reported within the test.
        cls.gw = Gateway(main="keepAliveThreshold = 5\nkeepAliveNumberOfAttempt = 1\n"
                              "forcePingTimeout = 0\n")
        cls.all = Stream(cls.gw.port)
        assert cls.all.status == 200, cls.all.status
        # An inquiry, so that every node is known (and found, on the stream).
        cls.gw.inquire()

    @classmethod
    def tearDownClass(cls):
        cls.all.close()
        cls.gw.close()

    def test_1_inquiry_and_report_with_filters(self):
        # What only it checks: the stream carries the very document a listener POST carries, and
        # its filters.
        gw = self.gw
        self.assertEqual("text/event-stream", self.all.response.getheader("Content-Type"))
        sensor_ieee = NODES["sensor"][1]
        streams = {
            "message": Stream(gw.port, "type=message"),
            "nodes": Stream(gw.port, "type=node-added,node-announced,node-dead"),
            "sensor": Stream(gw.port, "node=1102"),
            "sensor_ieee": Stream(gw.port, "node=" + sensor_ieee.upper()),
            "ep8": Stream(gw.port, "endpoint=0x08"),
            "ep9": Stream(gw.port, "endpoint=9"),
        }
        try:
            for name, s in streams.items():
                self.assertEqual(200, s.status, name)
            # The inquiry: one node-added event per node found.
            for name in NODES:
                self.assertTrue(self.all.wait(node_event("node-added", name)), name)
            # A report on end point 8, with a listener there to compare documents with.
            status, body = gw.post(EP8, "", "urilistener=" + gw.listener.url("ep8"))
            self.assertEqual(200, status, body)
            self.assertTrue(gw.ctl("report sensor").startswith("ok"))
            posted = gw.listener.wait("ep8")[0]
            message = self.all.wait(kind_is("message"))
            self.assertEqual(1, len(message), self.all.kinds())
            # The very document of the POST; the stream names no request.
            self.assertEqual(re.sub(r"<tns:RequestIdentifier>\w+</tns:RequestIdentifier>", "",
                                    posted), message[0][2])
            self.assertIn(str(int(sensor_ieee, 16)), message[0][2])
            for name in ("message", "sensor", "sensor_ieee", "ep8"):
                got = streams[name].wait(kind_is("message"))
                self.assertEqual([message[0][2]], [e[2] for e in got], name)

            # Each filter passes only what it names: the sensor's streams hear of the sensor
            # (found, then its reports), end point 8's of messages to it, and nothing comes
            # to end point 9.
            self.assertTrue(gw.ctl("report sensor").startswith("ok"))
            for name in ("message", "sensor", "sensor_ieee", "ep8"):
                self.assertEqual(2, len(streams[name].wait(kind_is("message"), 2)), name)
            for name in ("sensor", "sensor_ieee"):
                events = streams[name].events
                self.assertEqual(["message", "message"],
                                 [e[1] for e in events if e[1] == "message"], name)
                self.assertTrue(all(str(int(sensor_ieee, 16)) in e[2] for e in events), name)
            self.assertEqual(["message", "message"], streams["ep8"].kinds())
            self.assertEqual(["message", "message"], streams["message"].kinds())
            self.assertEqual([], [k for k in streams["nodes"].kinds() if not k.startswith("node-")])
            self.assertEqual([], streams["ep9"].kinds())
        finally:
            for s in streams.values():
                s.close()

    def test_2_removal_and_join(self):
        # What only it checks: a removal over HTTP and a join over the serial line reach the
        # stream.
        gw = self.gw
        self.assertEqual(200, gw.delete(NET + "/wsnnodes/2101")[0])
        self.assertTrue(self.all.wait(node_event("node-removed", "plug")), self.all.kinds())
        self.assertTrue(gw.ctl("join plug force").startswith("ok"), gw.ctl("show plug"))
        self.assertTrue(self.all.wait(node_event("node-announced", "plug")), self.all.kinds())

    def test_3_a_killed_router_and_the_node_behind_it_are_dead(self):
        # What only it checks: a node the keep-alive finds dead, with the node behind it, is
        # reported to a freshness listener and on the stream, and leaves no folder behind.
        # The sensor, behind the router, is gone with it: the reports from here on are the
        # plug's.
        gw = self.gw
        status, body = gw.get(NET + "/wsnnodes", "freshness=2&timeout=0&urilistener=" +
                              gw.listener.url("fresh"))
        self.assertEqual(200, status, body)
        dead = Stream(gw.port, "type=node-dead&node=" + NODES["router1"][1])
        try:
            self.assertTrue(gw.ctl("kill router1").startswith("ok"))
            got = dead.wait(lambda k, d: True, timeout=120)
            self.assertTrue(got, self.all.kinds()[-10:])
            self.assertEqual("node-dead", got[0][1])
            self.assertIn(r("WSNNode", address_block("router1")), got[0][2])
            self.assertTrue(self.all.wait(node_event("node-dead", "light"), timeout=120))
        finally:
            dead.close()
        fresh = lambda: gw.listener.bodies("fresh")  # noqa: E731
        dead_nodes = [r("WSNNode", address_block(n)) for n in ("router1", "light")]
        self.assertTrue(wait_for(lambda: all(any(d in b for b in fresh()) for d in dead_nodes)),
                        fresh())
        cache = gw.node_list()
        for name in ("router1", "light"):
            self.assertTrue(gw.folders_gone(name), name)
            self.assertNotIn(address_block(name), cache)
        for name in ("router2", "plug"):
            self.assertIn(address_block(name), cache)
            self.assertFalse(any(r("WSNNode", address_block(name)) in b for b in fresh()), name)

    def test_4_resume_by_last_event_id_and_the_gap(self):
        # What only it checks: resuming by Last-Event-ID over the wire, and the gap beyond the
        # ring.
        gw = self.gw
        self.assertTrue(gw.ctl("flood 1 20 plug").startswith("ok"))
        self.assertTrue(self.all.wait(lambda k, d: flood_number(d) is not None))
        seen = [e[0] for e in self.all.events]
        last = seen[-1]
        for how in ({"headers": {"Last-Event-ID": str(last - 3)}},
                    {"query": "lastEventId=%d" % (last - 3)}):
            s = Stream(gw.port, **how)
            try:
                got = s.wait(lambda k, d: True, 3)
                self.assertEqual(seen[-3:], [e[0] for e in got[:3]], how)
                self.assertEqual([e for e in self.all.events if e[0] in seen[-3:]], got[:3])
            finally:
                s.close()
        for bad in ({"headers": {"Last-Event-ID": "x1"}}, {"query": "type="},
                    {"query": "node=zz"}, {"query": "endpoint=300"}):
            s = Stream(gw.port, **bad)
            self.assertEqual(400, s.status, bad)
            s.close()
        conn = http.client.HTTPConnection("127.0.0.1", gw.port, timeout=DEADLINE)
        conn.request("POST", "/events", body="")
        reply = conn.getresponse()
        self.assertEqual((405, "GET"), (reply.status, reply.getheader("Allow")))
        conn.close()

        # More events than the ring holds: a client resuming from before them hears of a gap,
        # then gets what the ring still has, up to the newest.
        before = self.all.events[-1][0]
        # A line of 460800 baud: the flood takes a second, and no reader here falls behind.
        self.assertEqual("ok", gw.ctl("fault baud 460800"))
        try:
            first = int(re.search(r"first=(\d+)", gw.ctl("flood 1100 20 plug")).group(1))
            flood = self.all.wait(flood_from(first), 1100, timeout=120)
        finally:
            gw.ctl("fault baud 0")
        self.assertEqual(1100, len(flood))
        s = Stream(gw.port, headers={"Last-Event-ID": str(before)})
        try:
            got = s.wait(lambda k, d: True, 1001)
            self.assertEqual("gap", got[0][1])
            ids = [e[0] for e in got[1:]]
            self.assertEqual(flood[-1][0], ids[-1])
            self.assertEqual(list(range(ids[0], ids[-1] + 1)), ids)
            self.assertGreater(ids[0], before + 1)
        finally:
            s.close()

    def test_5_a_stalled_client_is_cut_while_another_gets_everything(self):
        # What only it checks: a client that reads nothing is cut by the server while another gets
        # every event.
        gw = self.gw
        stalled = stalled_client(gw.port)
        reader = Stream(gw.port, "type=message")
        try:
            # 3,000 events of about 700 bytes: more than a client may have waiting whichever
            # bound comes first (1 MiB, or 2,048 events) and whatever the socket buffers took,
            # on a line of 460800 baud: a few seconds, at a rate the reader here keeps up with.
            self.assertEqual("ok", gw.ctl("fault baud 460800"))
            first = int(re.search(r"first=(\d+)", gw.ctl("flood 3000 80 plug")).group(1))
            got = reader.wait(flood_from(first), 3000, timeout=120)
            self.assertEqual(list(range(first, first + 3000)), [flood_number(e[2]) for e in got])
            self.assertTrue(ended_by_server(stalled),
                            [line for line in gw.orq.output().splitlines() if "stream" in line])
            self.assertFalse(reader.ended)
        finally:
            gw.ctl("fault baud 0")
            stalled.close()
            reader.close()

    def test_6_memory_stays_bounded_with_stalled_clients(self):
        # What only it checks: orq's memory stays bounded with stalled clients during a flood of
        # reports.
        gw = self.gw
        pid = gw.orq.proc.pid
        if sanitized(pid):
            # The sanitizers' quarantine and shadow memory make resident memory no measure.
            self.skipTest("orq runs with a sanitizer runtime")
        reader = Stream(gw.port, "type=message")
        stalled = []
        try:
            def round_of_reports():
                # Two more clients that never read, each round: without a bound on what waits
                # for them, each would hold every event from its round on.
                stalled.extend(stalled_client(gw.port) for _ in range(2))
                first = int(re.search(r"first=(\d+)", gw.ctl("flood 600 80 plug")).group(1))
                self.assertTrue(reader.wait(lambda k, d: flood_number(d) == first + 599,
                                            timeout=120))
            round_of_reports()  # the ring and the allocator are warm from here on
            baseline = rss_kib(pid)
            peak = baseline
            end = time.monotonic() + 45
            rounds = 0
            while time.monotonic() < end and rounds < 5:
                round_of_reports()
                peak = max(peak, rss_kib(pid))
                rounds += 1
            self.assertGreaterEqual(rounds, 3)
            # Each round is about 0.7 MB of events; unbounded queues would hold 2 x 0.7 MB x
            # (1 + 2 + ... + rounds) more at the end, more than twice this.
            self.assertLess(peak - baseline, 6 * 1024, (baseline, peak, rounds))
            self.assertEqual([], [e for e in reader.events if e[1] == "overflow"])
            self.assertFalse(reader.ended)
        finally:
            for s in stalled:
                s.close()
            reader.close()


def answers(gw):
    try:
        return gw.get("/version")[0] == 200
    except (OSError, http.client.HTTPException):
        return False


class AddressLimit(unittest.TestCase):
    def test_a_stream_holds_one_of_the_connections_of_its_address_until_its_client_leaves(self):
        # What only it checks: a stream is one of its address's connections, given back when its
        # client leaves.
        gw = Gateway(autostart=False, extra="[RESTServer]\nconnectionsPerAddress = 3\n")
        streams = []
        try:
            streams = [Stream(gw.port) for _ in range(3)]
            self.assertEqual([200, 200, 200], [s.status for s in streams])
            self.assertFalse(answers(gw))  # a fourth connection is closed at once
            streams.pop().close()
            # Well before the next keep-alive (15 s) would find the connection closed.
            self.assertTrue(wait_for(lambda: answers(gw), timeout=10))
            self.assertFalse(any(s.ended for s in streams))
        finally:
            for s in streams:
                s.close()
            gw.close()

if __name__ == "__main__":
    unittest.main()
