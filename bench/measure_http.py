"""HTTP throughput against nginx, and TLS isolation.

wrk runs against orq and against nginx (one worker, serving the very bytes orq answered as
static files) in the same run: GET /version and GET of the node list in cache mode on a
1,000-node network, and the node list of a 5,000-node network (400 in a quick run), with 1, 16
and 32 connections (1 and 32 in a quick run; orq configured for 64 connections per client
address: its default of 16 would refuse half of wrk's connections). Then plain-HTTP throughput
of orq with and without a flood of TLS handshakes on its HTTPS port, and the same for the bare
transport (build/bench/rest_tls_bench)."""

import os
import re
import signal
import subprocess
import time

import benchlib
import netbench
from gatewaytest import free_port
from orqtest import Process, wait_for

GROUP = "http"
NODE_LIST = "/net/default/wsnnodes?mode=cache"
PER_ADDRESS = 64


def wrk(url, connections, seconds):
    """(requests per second, errors in words or "") of one wrk run."""
    threads = max(1, min(connections, os.cpu_count() or 1))
    done = subprocess.run(["wrk", "-t%d" % threads, "-c%d" % connections, "-d%ds" % seconds,
                           url], capture_output=True, text=True, timeout=seconds + 60)
    m = re.search(r"Requests/sec:\s+([\d.]+)", done.stdout)
    if done.returncode != 0 or not m:
        raise RuntimeError("wrk failed on %s:\n%s%s" % (url, done.stdout, done.stderr))
    errors = []
    m_err = re.search(r"Socket errors: (.*)", done.stdout)
    if m_err:
        errors.append("socket errors: " + m_err.group(1).strip())
    m_status = re.search(r"Non-2xx or 3xx responses: (\d+)", done.stdout)
    if m_status:
        errors.append(m_status.group(1) + " non-2xx answers")
    return float(m.group(1)), "; ".join(errors)


def best_of_each(rounds, measures):
    """For each of `measures`, the highest rate of `rounds` runs and the errors of that run.
    The runs alternate (one of each per round): the machine is shared, and a disturbance then
    falls on both sides alike instead of on the one measured meanwhile."""
    runs = [[] for _ in measures]
    for _ in range(rounds):
        for taken, measure in zip(runs, measures):
            taken.append(measure())
    return [max(taken, key=lambda r: r[0]) for taken in runs]


class Nginx:
    """nginx with one worker on a free loopback port, serving `files` (URL path -> bytes) as
    static files with orq's content type, from a configuration, pid and logs of its own."""

    def __init__(self, workdir, files):
        self.dir = os.path.join(workdir, "nginx")
        root = os.path.join(self.dir, "www")
        os.makedirs(root)
        for path, body in files.items():
            target = os.path.join(root, path.lstrip("/"))
            os.makedirs(os.path.dirname(target), exist_ok=True)
            with open(target, "wb") as f:
                f.write(body)
        self.port = free_port()
        conf = os.path.join(self.dir, "nginx.conf")
        temp = os.path.join(self.dir, "tmp")
        os.makedirs(temp)
        with open(conf, "w") as f:
            # Run as root, nginx would hand its worker to "nobody", who cannot read the
            # run's private directory.
            if os.geteuid() == 0:
                f.write("user root;\n")
            f.write("""worker_processes 1;
daemon off;
master_process on;
pid %(dir)s/nginx.pid;
error_log %(dir)s/error.log warn;
events { worker_connections 1024; }
http {
    access_log off;
    default_type text/xml;
    types { }
    sendfile on;
    tcp_nopush on;
    keepalive_requests 1000000;
    client_body_temp_path %(temp)s/body;
    proxy_temp_path %(temp)s/proxy;
    fastcgi_temp_path %(temp)s/fastcgi;
    uwsgi_temp_path %(temp)s/uwsgi;
    scgi_temp_path %(temp)s/scgi;
    server {
        listen 127.0.0.1:%(port)d;
        root %(root)s;
    }
}
""" % {"dir": self.dir, "temp": temp, "port": self.port, "root": root})
        self.proc = Process(["nginx", "-p", self.dir, "-e", os.path.join(self.dir, "error.log"),
                             "-c", conf])
        if not wait_for(self._answers, timeout=10) or self.proc.proc.poll() is not None:
            out = self.proc.output()
            self.close()
            raise RuntimeError("nginx did not start:\n" + out)

    def _answers(self):
        if self.proc.proc.poll() is not None:
            return True
        try:
            client = netbench.Client(self.port, timeout=2)
            try:
                return client.get("/version")[0] == 200
            finally:
                client.close()
        except OSError:
            return False

    def url(self, path):
        return "http://127.0.0.1:%d%s" % (self.port, path)

    def close(self):
        self.proc.stop(signal.SIGQUIT)
        self.proc.close()


def against_nginx(ctx, rows):
    # The 1,000-node network also measures GET /version; the 5,000-node one (shrunk in a quick
    # run) only its node list.
    served_against_nginx(ctx, rows, ctx.count(1000, 200), 1.0, with_version=True)
    served_against_nginx(ctx, rows, ctx.count(5000, 400), 0.9, with_version=False)


def served_against_nginx(ctx, rows, nodes, ratio, with_version):
    """orq's rate against nginx's on a network of `nodes` nodes: the node list (target
    `ratio` times nginx's) and, `with_version`, GET /version (target 1.0x)."""
    seconds = ctx.count(4, 1)
    rounds = ctx.count(2, 1)
    # All of wrk's connections come from one address: orq is set up as behind a reverse proxy.
    gw = netbench.start_gateway(
        ctx, nodes, extra="[RESTServer]\nconnectionsPerAddress = %d\n" % PER_ADDRESS)
    sink = netbench.Sink()
    try:
        netbench.inquire(gw, sink, nodes)
        client = netbench.Client(gw.port)
        files = {}
        for path in ("/version", NODE_LIST):
            status, body = client.get(path)
            if status != 200:
                raise RuntimeError("GET %s answered %d" % (path, status))
            files[path.split("?")[0]] = body
        client.close()
        if netbench.node_count(files[NODE_LIST.split("?")[0]]) != nodes + 1:
            raise RuntimeError("the node list does not hold the %d nodes" % (nodes + 1))
        nginx = Nginx(os.path.join(ctx.workdir, "nodes%d" % nodes), files)
        try:
            # Both serve the very same bytes.
            for path, body in files.items():
                client = netbench.Client(nginx.port)
                if client.get(path)[1] != body:
                    raise RuntimeError("nginx does not serve orq's bytes for " + path)
                client.close()
            cases = [(NODE_LIST, "GET node list of %d nodes (cache mode)" % nodes, ratio)]
            if with_version:
                cases.insert(0, ("/version", "GET /version", 1.0))
            for path, name, target in cases:
                size = len(files[path.split("?")[0]])
                for connections in (1, 32) if ctx.quick else (1, 16, 32):
                    (orq_rate, orq_errors), (nginx_rate, nginx_errors) = best_of_each(rounds, [
                        lambda: wrk("http://127.0.0.1:%d%s" % (gw.port, path), connections,
                                    seconds),
                        lambda: wrk(nginx.url(path), connections, seconds)])
                    notes = ["%d bytes; reference: nginx, 1 worker, same bytes; orq: "
                             "connectionsPerAddress = %d" % (size, PER_ADDRESS)]
                    if orq_errors:
                        notes.append("orq: " + orq_errors)
                    if nginx_errors:
                        notes.append("nginx: " + nginx_errors)
                    label = "%s, %d connection%s" % (name, connections,
                                                      "s" if connections > 1 else "")
                    rows.append(benchlib.row(
                        GROUP, label, orq_rate, "req/s", reference=nginx_rate,
                        target=">= %.1fx nginx" % target, met=orq_rate >= target * nginx_rate,
                        note="; ".join(notes)))
        finally:
            nginx.close()
    finally:
        sink.close()
        gw.close()


def certificate(workdir):
    """A throw-away certificate and key in one PEM file, or None without openssl."""
    pem = os.path.join(workdir, "orq-bench.pem")
    done = subprocess.run(
        ["openssl", "req", "-x509", "-newkey", "rsa:2048", "-nodes", "-keyout", pem + ".key",
         "-out", pem + ".crt", "-days", "1", "-subj", "/CN=127.0.0.1"],
        capture_output=True)
    if done.returncode != 0:
        return None
    with open(pem, "wb") as out:
        for part in (".crt", ".key"):
            with open(pem + part, "rb") as f:
                out.write(f.read())
    return pem


def tls_isolation(ctx, rows):
    """orq's plain-HTTP throughput on /version with and without full TLS handshakes flooding
    its HTTPS port (two openssl s_time clients, each a new session per connection, wrk for the
    plain load), then the same for the transport alone (rest_tls_bench, no wrk)."""
    if benchlib.missing("openssl"):
        rows.append(benchlib.skipped(GROUP, "TLS isolation", "openssl not installed"))
        return
    pem = certificate(ctx.workdir)
    if pem is None:
        rows.append(benchlib.skipped(GROUP, "TLS isolation", "openssl cannot make a key"))
        return
    seconds = ctx.count(4, 1)
    if benchlib.missing("wrk"):
        rows.append(benchlib.skipped(GROUP, "orq plain HTTP during TLS handshake flood",
                                     "wrk not installed (scripts/setup bench)"))
    else:
        orq_under_flood(ctx, rows, pem, seconds)
    transport_under_flood(ctx, rows, seconds)


def orq_under_flood(ctx, rows, pem, seconds):
    tls_port = free_port()
    gw = netbench.start_gateway(ctx, None, more_ports=",%ds" % tls_port,
                                extra="[RESTServer]\nssl = 1\nsslCertFile = %s\n" % pem)
    try:
        url = "http://127.0.0.1:%d/version" % gw.port
        quiet, _ = wrk(url, 2, seconds)
        flood = [subprocess.Popen(["openssl", "s_time", "-connect", "127.0.0.1:%d" % tls_port,
                                   "-new", "-time", str(seconds + 2)],
                                  stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True)
                 for _ in range(2)]
        time.sleep(0.5)  # the handshakes are under way before the plain load starts
        loaded, errors = wrk(url, 2, seconds)
        handshakes = 0.0
        for p in flood:
            out = p.communicate(timeout=seconds + 60)[0]
            m = re.search(r"(\d+) connections in (\d+) real seconds", out)
            if m:
                handshakes += int(m.group(1)) / max(float(m.group(2)), 0.001)
        note = ("2 keep-alive connections on GET /version; flood: 2 openssl s_time clients, "
                "%.0f full handshakes/s" % handshakes)
        if errors:
            note += "; " + errors
        rows.append(benchlib.row(GROUP, "orq plain HTTP without TLS flood", quiet, "req/s"))
        rows.append(benchlib.row(GROUP, "orq plain HTTP during TLS handshake flood", loaded,
                                 "req/s", reference=quiet, note=note))
    finally:
        gw.close()


def transport_under_flood(ctx, rows, seconds):
    program = ctx.path("bench", "rest_tls_bench")
    if not os.path.exists(program):
        rows.append(benchlib.skipped(GROUP, "transport alone, TLS isolation",
                                     "build/bench/rest_tls_bench is not built"))
        return
    done = subprocess.run([program, str(seconds)], capture_output=True, text=True,
                          timeout=4 * seconds + 60)
    quiet = re.search(r"without flood:\s+([\d.]+) req/s", done.stdout)
    loaded = re.search(r"with flood:\s+([\d.]+) req/s.*\(([\d.]+) handshakes/s\)", done.stdout)
    if done.returncode != 0 or not quiet or not loaded:
        raise RuntimeError("rest_tls_bench failed:\n" + done.stdout + done.stderr)
    rows.append(benchlib.row(GROUP, "transport alone without TLS flood", float(quiet.group(1)),
                             "req/s"))
    rows.append(benchlib.row(GROUP, "transport alone during TLS handshake flood",
                             float(loaded.group(1)), "req/s", reference=float(quiet.group(1)),
                             note="rest_tls_bench: 2 libcurl clients; %s handshakes/s"
                             % loaded.group(2)))


def run(ctx):
    rows = []
    tool = benchlib.missing("wrk", "nginx")
    if tool:
        rows.append(benchlib.skipped(GROUP, "throughput against nginx",
                                     "%s not installed (scripts/setup bench)" % tool))
    else:
        against_nginx(ctx, rows)
    tls_isolation(ctx, rows)
    return rows
