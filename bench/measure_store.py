"""The stored network (Storage:database).

Restart: a generated network of 1,000 nodes is found by an inquiry with storage on, orq is
stopped and started again on the same file; measured is the time from the start of the process
to the first node list (cache mode) that holds every node, against the inquiry that the
prescribed 800 ms pause after each request makes take. File size: the database's bytes per node.

Ingest: orq's CPU per indication at 4,600 reports a second on the demo network with storage on,
against storage off (reports change no node data: the stored copy must cost next to nothing)."""

import os
import signal
import subprocess
import time

import benchlib
import measure_line
import netbench
from orqtest import ORQ, Process

GROUP = "store"
NODE_LIST = "/net/default/wsnnodes?mode=cache"
STORAGE = "[Storage]\ndatabase = network.db\n"


def restart_rows(ctx, rows):
    nodes = ctx.count(1000, 100)
    gw = netbench.start_gateway(ctx, nodes, extra=STORAGE)
    sink = netbench.Sink()
    try:
        netbench.inquire(gw, sink, nodes)
        gw.orq.stop(signal.SIGTERM)
        gw.orq.close()
        db = os.path.join(gw.dir.name, "network.db")
        size = sum(os.path.getsize(db + s) for s in ("", "-wal") if os.path.exists(db + s))
        start = time.monotonic()
        gw.orq = Process([ORQ, "-c", gw.config, gw.url], cwd=gw.dir.name)
        served = None
        while time.monotonic() - start < 60:
            try:
                client = netbench.Client(gw.port, timeout=5)
                status, body = client.get(NODE_LIST)
                client.close()
                if status == 200 and netbench.node_count(body) >= nodes:
                    served = time.monotonic() - start
                    break
            except OSError:
                pass
            time.sleep(0.005)
        inquiry = (nodes + 1) * netbench.PRESCRIBED_PACING_MS / 1000.0
        rows.append(benchlib.row(
            GROUP, "start to serving the node list of a stored %d-node network" % nodes, served,
            "s", reference=inquiry, target="< 1 s", met=served is not None and served < 1.0,
            note="from the start of the process to the first complete node list; reference: "
                 "the inquiry with the prescribed 800 ms pauses (%.0f s)" % inquiry))
        rows.append(benchlib.row(GROUP, "file size per node", size / nodes / 1024.0, "KiB/node",
                                 note="%d nodes as an inquiry leaves them (no "
                                      "descriptors or end points asked): %.2f MB in all "
                                      "(file and WAL)" % (nodes, size / 1e6)))
    finally:
        sink.close()
        gw.close()


def ingest_cpu(ctx, extra):
    gw, listener, ctl = measure_line.start(ctx, extra=extra)
    try:
        rate = 10 * measure_line.LINE_FRAMES_PER_S
        f = measure_line.Flood(ctx, gw, listener, ctl, ctx.count(10000, 2000),
                               "4,600/s" + (" stored" if extra else ""),
                               int(rate * measure_line.FRAME_BYTES * 10))
        return f.cpu / f.count, f.lost
    finally:
        ctl.close()
        listener.close()
        gw.close()


def ingest_rows(ctx, rows):
    off, lost_off = ingest_cpu(ctx, "")
    on, lost_on = ingest_cpu(ctx, STORAGE)
    ratio = on / off if off > 0 else None
    rows.append(benchlib.row(
        GROUP, "ingest at 4,600/s: orq CPU with storage on, against off", ratio, "x",
        target="<= 1.2x", met=ratio is not None and ratio <= 1.2,
        note="%.1f us CPU per indication on, %.1f us off; not delivered to the listener: %d "
             "on, %d off" % (on * 1e6, off * 1e6, lost_on, lost_off)))


def file_rows(ctx, rows):
    nodes = ctx.count(5000, 500)
    program = ctx.path("bench", "store_load")
    if not os.path.exists(program):
        rows.append(benchlib.skipped(GROUP, "5,000 described nodes: file and load",
                                     "bench/store_load is not built"))
        return
    out = subprocess.run([program, str(nodes), ctx.workdir], capture_output=True, text=True,
                         timeout=300, check=True).stdout
    figures = dict(part.split("=") for part in out.split())
    size_mb = int(figures["bytes"]) / 1e6
    load = float(figures["load_ms"]) / 1000.0
    rows.append(benchlib.row(
        GROUP, "file of %d fully described nodes" % nodes, size_mb, "MB",
        target="a few MB", met=size_mb <= 5 * nodes / 5000.0,
        note="%.2f KiB/node: descriptors, 2 end points with simple descriptors, a neighbour "
             "and 15 LQI entries each" % (int(figures["bytes"]) / nodes / 1024.0)))
    rows.append(benchlib.row(
        GROUP, "loading %d fully described nodes" % nodes, load, "s", target="< 1 s",
        met=load < 1.0, note="open, read and restore into the node database (bench/store_load)"))


def run(ctx):
    rows = []
    file_rows(ctx, rows)
    restart_rows(ctx, rows)
    ingest_rows(ctx, rows)
    return rows
