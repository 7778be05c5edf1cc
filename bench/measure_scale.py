"""Scale and memory.

Scale: an inquiry and the node list on generated networks of 200, 1,000 and 5,000 nodes; the
time per node and orq's resident memory per node must stay flat from the smallest to the
largest. The discovery pause is set short for the bench (netbench.BENCH_PACING_MS) and taken
off the measured time; what the prescribed 800 ms pause would add is given beside it.

Memory: orq's resident memory idle on the demo network, and with 1,000 and 5,000 nodes after
the inquiry, the node lists (the inquiry's, which goes to a listener, and the cache mode's) and
a minute of reports from every node at the pace of a 115200 baud line (--quick: a few
seconds, on the 200-node network); with --soak MINUTES, a soak of mixed requests with the
resident memory sampled."""

import re
import time

import benchlib
import netbench

GROUP = "scale"
NODE_LIST = "/net/default/wsnnodes?mode=cache"
FLAT = 1.5  # largest over smallest per-node figure that still counts as flat
# The same for the inquiry's time and orq's CPU per node: the IEEE index keeps a node's look-up
# from growing with the network.
INQUIRY_FLAT = 1.2
# Resident memory orq may take with that many nodes, after the inquiry, the node lists and a
# minute of reports.
MEMORY_TARGETS_MB = {1000: 16, 5000: 48}
REPORT_SECONDS = 60
SOAK_GROWTH_KIB = 512


def one_size(ctx, nodes, report_seconds=0):
    """The figures of one network size; with `report_seconds`, the resident memory after that
    long of reports as well."""
    gw = netbench.start_gateway(ctx, nodes)
    sink = netbench.Sink()
    try:
        pid = gw.orq.proc.pid
        idle = benchlib.rss_kib(pid)
        seconds, cpu, sim_cpu = netbench.inquire(gw, sink, nodes)
        client = netbench.Client(gw.port)
        status, body = client.get(NODE_LIST)
        if status != 200 or netbench.node_count(body) != nodes + 1:
            raise RuntimeError("the node list of %d nodes holds %d" %
                               (nodes, netbench.node_count(body)))
        times = []
        for _ in range(ctx.count(30, 5)):
            start = time.perf_counter()
            client.get(NODE_LIST)
            times.append(time.perf_counter() - start)
        client.close()
        figures = {"nodes": nodes, "idle": idle, "rss": benchlib.rss_kib(pid),
                   "seconds": seconds, "cpu": cpu, "sim cpu": sim_cpu, "list": benchlib.median(times),
                   "bytes": len(body)}
        if report_seconds:
            figures["reports"] = netbench.reports(gw, sink, report_seconds)
            figures["report seconds"] = report_seconds
            figures["after reports"] = benchlib.rss_kib(pid)
            figures["anon"], figures["files"] = netbench.rss_parts(pid)
            figures["program"], figures["libraries"] = netbench.file_pages(pid)
        return figures
    finally:
        sink.close()
        gw.close()


def scale_rows(ctx, rows):
    sizes = [200] if ctx.quick else [200, 1000, 5000]
    # The memory targets' sizes (--quick: the one size) are measured after reports as well.
    seconds = ctx.count(REPORT_SECONDS, 3)
    figures = [one_size(ctx, n, seconds if ctx.quick or n in MEMORY_TARGETS_MB else 0)
               for n in sizes]
    pacing = netbench.BENCH_PACING_MS / 1000.0
    for f in figures:
        n = f["nodes"]
        requests = n + 1  # one address request per node and one to the coordinator
        added = max(0.0, f["seconds"] - requests * pacing)
        f["inquiry"] = added / requests * 1000
        f["inquiry cpu"] = f["cpu"] / requests * 1000
        f["memory"] = (f["rss"] - f["idle"]) / n
        rows.append(benchlib.row(
            GROUP, "inquiry of %d nodes: time the gateway adds per node" % n, f["inquiry"],
            "ms/node",
            note="%.2f s in all with a %d ms pause after each of %d requests (%.2f s taken "
                 "off); orq's CPU %.3f ms/node, zbsim's %.3f ms/node; the prescribed 800 ms "
                 "pause would add %.0f s"
                 % (f["seconds"], netbench.BENCH_PACING_MS, requests, requests * pacing,
                    f["cpu"] / requests * 1000, f["sim cpu"] / requests * 1000,
                    requests * netbench.PRESCRIBED_PACING_MS / 1000.0)))
        rows.append(benchlib.row(
            GROUP, "inquiry of %d nodes: prescribed pacing" % n,
            requests * netbench.PRESCRIBED_PACING_MS / 1000.0, "s",
            note="%d address requests x 800 ms, what the radio protocol adds" % requests))
        rows.append(benchlib.row(
            GROUP, "node list of %d nodes (cache mode): time per node" % n,
            f["list"] / (n + 1) * 1e6, "us/node",
            note="median GET %.2f ms for %d bytes, kept-alive connection"
                 % (f["list"] * 1000, f["bytes"])))
        rows.append(benchlib.row(
            GROUP, "orq memory per node, %d nodes" % n, f["memory"], "KiB/node",
            note="resident %d KiB before the inquiry, %d KiB after it and the node lists"
                 % (f["idle"], f["rss"])))
    if len(figures) > 1:
        small, large = figures[0], figures[-1]
        for key, what in (("inquiry", "inquiry time per node"),
                          ("inquiry cpu", "inquiry CPU of orq per node"),
                          ("list", "node list time per node"),
                          ("memory", "memory per node")):
            a = small[key] / (small["nodes"] + 1) if key == "list" else small[key]
            b = large[key] / (large["nodes"] + 1) if key == "list" else large[key]
            ratio = b / a if a > 0 else None
            flat = INQUIRY_FLAT if key.startswith("inquiry") else FLAT
            rows.append(benchlib.row(
                GROUP, "%s, %d over %d nodes" % (what, large["nodes"], small["nodes"]),
                ratio, "x", target="<= %.1fx (flat)" % flat,
                met=ratio is not None and ratio <= flat))
    return figures


def memory_rows(ctx, rows, figures):
    gw = netbench.start_gateway(ctx, None)
    try:
        time.sleep(1)  # the start-up's own requests are answered
        idle = benchlib.rss_kib(gw.orq.proc.pid)
        anon, files = netbench.rss_parts(gw.orq.proc.pid)
    finally:
        gw.close()
    rows.append(benchlib.row(GROUP, "orq resident memory idle (demo network)", idle / 1024.0,
                             "MB", note="%.1f MB of it are file pages, %.1f MB anonymous"
                             % (files / 1024.0, anon / 1024.0)))
    for f in figures:
        if "after reports" not in f:
            continue
        n, rss = f["nodes"], f["after reports"]
        target = MEMORY_TARGETS_MB.get(n)
        flooded, delivered = f["reports"]
        rows.append(benchlib.row(
            GROUP, "orq resident memory with %d nodes (after inquiry, node lists, %s of "
                   "reports)" % (n, "a minute" if f["report seconds"] == 60
                                 else "%d s" % f["report seconds"]),
            rss / 1024.0, "MB", target="<= %d MB" % target if target else None,
            met=rss <= target * 1024 if target else None,
            note="%.1f MB file pages (%.1f MB the program, %.1f MB shared libraries), %.1f MB "
                 "anonymous; %d KiB after the inquiry and node lists; %d reports at 115200 baud, "
                 "%d of them delivered to the listener"
                 % (f["files"] / 1024.0, f["program"] / 1024.0, f["libraries"] / 1024.0,
                    f["anon"] / 1024.0, f["rss"], flooded, delivered)))


ZCL_TOGGLE = (
    "<ZCLCommand><DestinationAddress><NetworkAddress>4353</NetworkAddress></DestinationAddress>"
    "<DestinationEndpoint>1</DestinationEndpoint><ProfileID>260</ProfileID><ClusterID>6"
    "</ClusterID><SourceEndpoint>8</SourceEndpoint><TxOptions><SecurityEnabled>false"
    "</SecurityEnabled><UseNetworkKey>false</UseNetworkKey><Acknowledged>true</Acknowledged>"
    "<PermitFragmentation>false</PermitFragmentation></TxOptions><Radius>10</Radius>"
    "<ZCLHeader>0101</ZCLHeader><ZCLPayload>02</ZCLPayload></ZCLCommand>")
CALLBACK = (
    "<Callback><Filter><LevelSpecification><Level>APSLevel</Level></LevelSpecification>"
    "<AddressSpecification><NWKSourceAddress><NetworkAddress>4354</NetworkAddress>"
    "</NWKSourceAddress></AddressSpecification></Filter><Action><DecodeSpecification>"
    "<DecodeLevel>DecodeAPS</DecodeLevel></DecodeSpecification><ForwardingSpecification>%s"
    "</ForwardingSpecification></Action></Callback>")


def soak(ctx, rows):
    """Mixed requests on the demo network for ctx.soak_minutes, the resident memory sampled;
    the samples of the last tenth are compared with those after the first fifth (warm-up)."""
    gw = netbench.start_gateway(ctx, None)
    sink = netbench.Sink()
    try:
        pid = gw.orq.proc.pid
        netbench.inquire(gw, sink, 5)  # the demo's five nodes and their folders
        client = netbench.Client(gw.port)
        ep8 = "/net/default/localnode/services/08/wsnconnection"
        end = time.monotonic() + ctx.soak_minutes * 60
        samples = []
        next_sample = 0.0
        requests = 0
        failed = 0
        while time.monotonic() < end:
            for path in ("/", "/net/default", "/net/default/wsnnodes/1101", NODE_LIST,
                         "/net/default/aliases", "/net/default/callbacks", ep8 + "/message"):
                status, reply = client.get(path)
                requests += 1
                failed += status != 200 or b"<tns:Status>" not in reply
            status, reply = client.post(ep8 + "/message?timeout=5", ZCL_TOGGLE)
            failed += status != 200 or b"<tns:Code>0<" not in reply
            # A filtered callback and a connection on end point 8, each made and deleted.
            for path, body in (("/net/default/callbacks", CALLBACK % sink.url("soak")),
                               (ep8 + "?urilistener=" + sink.url("ep8"), "")):
                status, reply = client.post(path, body)
                m = re.search(rb"CallbackIdentifier>(\d+)<", reply)
                if status != 200 or not m:
                    raise RuntimeError("POST %s answered %d %r" % (path, status, reply))
                client.conn.request("DELETE", "/net/default/callbacks/%08x" % int(m.group(1)))
                client.conn.getresponse().read()
            requests += 5
            now = time.monotonic()
            if now >= next_sample:
                samples.append(benchlib.rss_kib(pid))
                next_sample = now + 2.0
        client.close()
    finally:
        sink.close()
        gw.close()
    warm = samples[len(samples) // 5:]
    tail = warm[-max(1, len(samples) // 10):]
    head = warm[:max(1, len(samples) // 10)]
    growth = max(0, benchlib.median(tail) - benchlib.median(head))
    rows.append(benchlib.row(
        GROUP, "soak of %g min: resident memory growth after warm-up" % ctx.soak_minutes,
        growth, "KiB", target="<= %d KiB" % SOAK_GROWTH_KIB, met=growth <= SOAK_GROWTH_KIB,
        note="%d requests (tree, node list, aliases, messages sent and read, callbacks and "
             "connections made and deleted), %d of them not answered 200 with a status "
             "document (the toggle: not code 0); %d samples, %d KiB first after warm-up, %d KiB "
             "last" % (requests, failed, len(samples), benchlib.median(head),
                       benchlib.median(tail))))


def run(ctx):
    rows = []
    figures = scale_rows(ctx, rows)
    memory_rows(ctx, rows, figures)
    if ctx.soak_minutes:
        soak(ctx, rows)
    return rows
