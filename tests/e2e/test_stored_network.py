"""The stored network (Storage:database) across real restarts of orq on zbsim: the nodes an
inquiry found answer at once after a restart, and the clients' connections and callbacks come
back with their identifiers and deliver again; kill -9 in the middle of an inquiry leaves a file
that opens with what was written; a damaged file is moved aside; a path orq cannot write ends
it with 11; a network of another identity drops the stored nodes."""

import glob
import os
import signal
import sqlite3
import sys
import unittest

sys.path.insert(0, os.path.dirname(__file__))
from brokertest import NODES, Gateway  # noqa: E402
from test_broker_messages import EP8, callback_doc, callback_id, nwk_filter  # noqa: E402
from test_broker_services import local_services, simple_descriptor_doc  # noqa: E402
from orqtest import ORQ, Process, run, wait_for  # noqa: E402

NET = "/net/default"
LONG = "timeout=ea60"
STORAGE = "[Storage]\ndatabase = network.db\n"
DROPPED = "is not the stored one"


def stored_ieee(path):
    """The IEEE addresses (hexadecimal) of the nodes in the file, read as any SQLite client."""
    db = sqlite3.connect(path)
    try:
        assert db.execute("PRAGMA integrity_check").fetchone()[0] == "ok"
        return {"%016x" % (n & (2**64 - 1)) for (n,) in db.execute("SELECT ieee FROM node")}
    finally:
        db.close()


class StoredGateway(Gateway):
    """The demo gateway with a database in its own directory; orq can be started again on the
    same zbsim, configuration and file."""

    def __init__(self, extra=STORAGE, **kw):
        super().__init__(extra=extra, **kw)
        self.db = os.path.join(self.dir.name, "network.db")

    def restart(self, sig=signal.SIGTERM, config=None):
        status = self.orq.stop(sig)
        self.orq.close()
        self.orq = Process([ORQ, "-c", config or self.config, self.url], cwd=self.dir.name)
        wait_for(self.answers)
        return status

    def inquiry(self, path="inquiry"):
        self.get(NET + "/wsnnodes", "inquiry&urilistener=%s&%s" % (self.listener.url(path), LONG))


class Restart(unittest.TestCase):
    def setUp(self):
        self.gw = StoredGateway()

    def tearDown(self):
        self.gw.close()

    def test_1_an_inquiry_survives_a_restart_and_answers_before_any_radio_traffic(self):
        # What only it checks: what an inquiry found is served after a restart of the daemon,
        # before any radio traffic.
        self.gw.inquiry()
        self.gw.listener.wait("inquiry", len(NODES), timeout=60)
        self.assertEqual(4, self.gw.restart(), self.gw.orq.output())
        # The first answer of the REST server already holds the whole network: the load
        # comes before the server answers, and an inquiry would take seconds.
        self.assertTrue(wait_for(self.gw.answers), self.gw.orq.output())
        listed = self.gw.node_list()
        # Every node but the gateway itself, which the module names once the network is up.
        for name, (nwk, ieee) in NODES.items():
            if name != "module":
                self.assertIn(str(int(ieee, 16)), listed, name)
                for folder in ("%04x" % nwk, ieee):
                    self.assertEqual(200, self.gw.get(NET + "/wsnnodes/" + folder)[0], folder)
        self.assertIn("Storage: 5 nodes loaded from", self.gw.orq.output())
        # A start by commissioning emptied the database before; the same network keeps it.
        self.assertTrue(self.gw.running(), self.gw.orq.output())
        self.assertNotIn(DROPPED, self.gw.orq.output())
        listed = self.gw.node_list()
        for name, (nwk, ieee) in NODES.items():
            self.assertIn(str(int(ieee, 16)), listed, name)

    def test_4_connections_and_callbacks_come_back_with_their_identifiers(self):
        # What only it checks: connections and callbacks come back after a restart with their
        # identifiers.
        gw, listener = self.gw, self.gw.listener
        gw.inquiry()
        listener.wait("inquiry", len(NODES), timeout=60)
        conn = callback_id(gw.post(EP8, "", "urilistener=" + listener.url("ep8"))[1])
        sensor = callback_id(gw.post(NET + "/callbacks",
                                     callback_doc(listener.url("sensor"), nwk_filter(0x1102)))[1])
        dropped = callback_id(gw.post(NET + "/callbacks",
                                      callback_doc(listener.url("plug"), nwk_filter(0x2101)))[1])
        self.assertEqual(200, gw.delete(NET + "/callbacks/%08x" % dropped)[0])
        self.assertEqual(4, gw.restart(), gw.orq.output())
        self.assertTrue(gw.running(), gw.orq.output())
        self.assertIn("Storage: 2 of 2 registrations made again", gw.orq.output())
        listed = gw.get(NET + "/callbacks")[1]
        for kept in (conn, sensor):
            self.assertIn(str(kept), listed)
            self.assertEqual(200, gw.get(NET + "/callbacks/%08x" % kept)[0], kept)
        self.assertEqual(404, gw.get(NET + "/callbacks/%08x" % dropped)[0])
        # The sensor's report reaches the connection and the filtered callback again.
        self.assertTrue(gw.ctl("report sensor").startswith("ok"))
        self.assertEqual(1, len(listener.wait("ep8", 1)), gw.orq.output()[-3000:])
        self.assertEqual(1, len(listener.wait("sensor", 1)))
        # Removed after the restart, a callback stays removed at the next one.
        self.assertEqual(200, gw.delete(NET + "/callbacks/%08x" % sensor)[0])
        gw.restart()
        self.assertTrue(gw.running(), gw.orq.output())
        self.assertIn("Storage: 1 of 1 registrations made again", gw.orq.output())
        self.assertEqual(404, gw.get(NET + "/callbacks/%08x" % sensor)[0])

    def test_5_a_module_that_resets_itself_keeps_the_stored_network(self):
        # What only it checks: a module reset while running keeps the stored network.
        gw = self.gw
        gw.inquiry()
        gw.listener.wait("inquiry", len(NODES), timeout=60)
        before = gw.node_list()
        self.assertTrue(gw.ctl("module reset").startswith("ok"))
        self.assertTrue(wait_for(lambda: gw.orq.output().count("Device started") >= 2),
                        gw.orq.output()[-3000:])
        self.assertTrue(gw.running(), gw.orq.output()[-3000:])
        self.assertNotIn(DROPPED, gw.orq.output())
        self.assertEqual(before, gw.node_list())
        self.assertEqual({ieee for ieee in (n[1] for n in NODES.values())} - {NODES["module"][1]},
                         stored_ieee(gw.db))

    def test_2_kill_9_in_an_inquiry_leaves_a_file_that_opens_with_what_was_written(self):
        # What only it checks: a daemon killed mid-inquiry leaves a file the next one opens.
        self.gw.inquiry()
        self.gw.listener.wait("inquiry", 3, timeout=60)
        written = wait_for(lambda: os.path.exists(self.gw.db) and len(stored_ieee(self.gw.db)) >= 2)
        self.assertTrue(written, "nothing written")
        self.gw.restart(sig=signal.SIGKILL)
        before = stored_ieee(self.gw.db)
        self.assertGreaterEqual(len(before), 2)
        self.assertTrue(wait_for(self.gw.answers), self.gw.orq.output())
        listed = self.gw.node_list()
        for ieee in before:
            self.assertIn(str(int(ieee, 16)), listed)

    def test_3_another_network_drops_the_stored_nodes(self):
        # What only it checks: starting on another network drops the stored nodes.
        self.gw.inquiry()
        self.gw.listener.wait("inquiry", len(NODES), timeout=60)
        other = self.gw.config + ".other"
        with open(self.gw.config) as f, open(other, "w") as out:
            out.write(f.read().replace("ChannelMask = 15", "ChannelMask = 15\nPANId = 4660"))
        self.gw.restart(config=other)
        self.assertTrue(self.gw.orq.wait_output(DROPPED), self.gw.orq.output())
        self.assertTrue(self.gw.running(), self.gw.orq.output())
        self.assertIn("its 5 stored nodes are dropped", self.gw.orq.output())
        self.assertEqual(404, self.gw.get(NET + "/wsnnodes/" + NODES["light"][1])[0])
        self.assertTrue(wait_for(lambda: stored_ieee(self.gw.db) == set()))


class BadFiles(unittest.TestCase):
    def test_a_damaged_file_is_moved_aside_and_orq_starts_empty(self):
        # What only it checks: a damaged file is moved aside and the daemon starts empty.
        gw = StoredGateway(autostart=False)
        try:
            gw.orq.stop(signal.SIGTERM)
            garbage = b"this is no database" * 100
            with open(gw.db, "wb") as f:
                f.write(garbage)
            gw.restart()
            self.assertTrue(wait_for(gw.answers), gw.orq.output())
            self.assertIn("Storage: %s refused (not a readable database" % gw.db, gw.orq.output())
            aside = glob.glob(gw.db + ".unreadable-*")
            self.assertEqual(1, len(aside), aside)
            with open(aside[0], "rb") as f:
                self.assertEqual(garbage, f.read())
            self.assertIsNone(gw.orq.proc.poll())
            self.assertEqual(set(), stored_ieee(gw.db))
        finally:
            gw.close()

    def test_a_local_service_a_client_added_comes_back_with_its_connection(self):
        # What only it checks: a local service a client added survives a restart, with its
        # connection.
        gw = StoredGateway(autostart=False)
        try:
            services = NET + "/localnode/services"
            status, body = gw.post(services, simple_descriptor_doc(9, 260, 0x0100, 1, [6]))
            self.assertIn("<tns:Endpoint>9</tns:Endpoint>", body)
            conn = callback_id(gw.post(services + "/09/wsnconnection", "",
                                       "urilistener=" + gw.listener.url("ep9"))[1])
            self.assertIsNotNone(conn)
            gw.restart()
            self.assertIn("Storage: 2 of 2 registrations made again", gw.orq.output())
            self.assertEqual((200, local_services([0, 8, 9])), gw.get(services))
            self.assertEqual(200, gw.get(NET + "/callbacks/%08x" % conn)[0])
            # Removed, it stays removed at the next start; its connection, refused then for
            # want of the end point, is forgotten.
            self.assertEqual(200, gw.delete(services + "/09")[0])
            gw.restart()
            self.assertEqual((200, local_services([0, 8])), gw.get(services))
            self.assertIn("Storage: 0 of 1 registrations made again", gw.orq.output())
            self.assertEqual(404, gw.get(NET + "/callbacks/%08x" % conn)[0])
            gw.restart()
            self.assertNotIn("registrations made again", gw.orq.output())
        finally:
            gw.close()

    def test_a_path_orq_cannot_write_ends_it_with_11(self):
        # What only it checks: a storage path the daemon cannot write ends it with status 11.
        gw = StoredGateway(autostart=False)
        try:
            with open(gw.config) as f:
                text = f.read()
            # A directory that is not there, and a file system that takes no file (even root's).
            for path in (os.path.join(gw.dir.name, "absent", "network.db"), "/proc/orq.db"):
                config = os.path.join(gw.dir.name, "unwritable.ini")
                with open(config, "w") as f:
                    f.write(text.replace("database = network.db", "database = " + path))
                status, out, err = run([ORQ, "-c", config, gw.url], cwd=gw.dir.name)
                self.assertEqual(11, status, out + err)
                self.assertIn("Storage: cannot keep the network in %s" % path, err)
                self.assertIn("remove the key to run without a stored network - exit", err)
        finally:
            gw.close()


if __name__ == "__main__":
    unittest.main()
