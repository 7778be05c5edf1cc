"""The web page at /ui/ in a real browser (Debian's chromium driven by puppeteer-core, run by
uipage.mjs) against orq on zbsim: the demo network's nodes and links, the light switched from
the page, hostile text shown as text, no error in the browser console; with the event stream, a
join, a kill and a message seen live; the page over HTTPS under digest authentication. Also the
files themselves across the wire: types, 404s, methods, the paths that try to leave the page's
directory, and the credentials they need when digest authentication is on."""

import hashlib
import http.client
import json
import os
import shutil
import subprocess
import tempfile
import unittest

from gatewaytest import DEMO, ZBSIM_CTL, Gateway, free_port
from orqtest import BUILD_DIR, DEADLINE, SOURCE_DIR

CHROMIUM = shutil.which("chromium") or "/usr/bin/chromium"
NODE = shutil.which("node")
PUPPETEER = os.path.join(SOURCE_DIR, "ui", "node_modules", "puppeteer-core")
SCREENSHOT = os.path.join(BUILD_DIR, "ui-map.png")

# A node outside the network that the browser check makes join.
NEWCOMER = """
[newcomer]
ieee = 00124B0000002102
short = 0x2102
type = end_device
parent = router2
rx_on_idle = true
power = mains
joined = false
endpoints = 1
ep1 = profile=0x0104 device=0x0051 version=0 in=0x0000,0x0006 out=
"""


def browser_missing():
    if NODE is None:
        return "node is not installed (scripts/setup)"
    if not os.path.exists(CHROMIUM):
        return "chromium is not installed (scripts/setup)"
    if not os.path.isdir(PUPPETEER):
        return "ui/node_modules is missing (scripts/setup runs npm ci in ui/)"
    return None


def raw_get(port, path, method="GET"):
    """(status, headers, body) of one request sent as written: the path is not normalised."""
    conn = http.client.HTTPConnection("127.0.0.1", port, timeout=DEADLINE)
    try:
        conn.putrequest(method, path, skip_accept_encoding=True)
        conn.endheaders()
        resp = conn.getresponse()
        body = resp.read() if method != "HEAD" else b""
        return resp.status, dict((k.lower(), v) for k, v in resp.getheaders()), body
    finally:
        conn.close()


def events_status(port):
    """The status GET /events answers (a stream is left at once)."""
    conn = http.client.HTTPConnection("127.0.0.1", port, timeout=DEADLINE)
    try:
        conn.request("GET", "/events")
        return conn.getresponse().status
    finally:
        conn.close()


class Files(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.gw = Gateway()

    @classmethod
    def tearDownClass(cls):
        cls.gw.close()

    def test_the_page_and_its_libraries_with_their_types(self):
        # What only it checks: the page's files are served with their types.
        files = [("/ui/", 200, "text/html"),
                 ("/ui/index.html", 200, "text/html"),
                 ("/ui/app.js", 200, "text/javascript"),
                 ("/ui/style.css", 200, "text/css")]
        # The libraries are in the build once scripts/setup has installed them.
        if os.path.isdir(os.path.join(SOURCE_DIR, "ui", "node_modules", "cytoscape")):
            files += [("/ui/vendor/cytoscape.esm.min.mjs", 200, "text/javascript"),
                      ("/ui/vendor/cytoscape-fcose.js", 200, "text/javascript")]
        for path, status, type_prefix in files:
            got, headers, body = raw_get(self.gw.port, path)
            self.assertEqual((got, headers.get("content-type", "")[:len(type_prefix)]),
                             (status, type_prefix), path)
            self.assertGreater(len(body), 0, path)
            self.assertEqual(headers.get("x-content-type-options"), "nosniff", path)
        _, headers, _ = raw_get(self.gw.port, "/ui/")
        self.assertIn("default-src 'self'", headers.get("content-security-policy", ""))

    def test_paths_out_of_the_directory_and_unknown_files_are_not_found(self):
        # What only it checks: paths that leave the page's directory, and unknown files, are not
        # found.
        for path in ["/ui/../CMakeCache.txt", "/ui/%2e%2e/CMakeCache.txt",
                     "/ui/vendor/../../CMakeCache.txt", "/ui/.hidden", "/ui/missing.js",
                     "/ui/%2e%2e%2fCMakeCache.txt", "/ui/..%5cCMakeCache.txt"]:
            self.assertEqual(raw_get(self.gw.port, path)[0], 404, path)

    def test_get_and_head_only_and_the_bare_prefix_is_redirected(self):
        # What only it checks: the page's methods, and the bare prefix redirected.
        status, headers, body = raw_get(self.gw.port, "/ui/app.js", "HEAD")
        self.assertEqual(status, 200)
        self.assertGreater(int(headers["content-length"]), 0)
        for method in ["POST", "PUT", "DELETE"]:
            status, headers, _ = raw_get(self.gw.port, "/ui/app.js", method)
            self.assertEqual((status, headers.get("allow")), (405, "GET, HEAD"), method)
        status, headers, _ = raw_get(self.gw.port, "/ui")
        self.assertEqual((status, headers.get("location")), (301, "/ui/"))

    def test_the_rest_tree_is_unchanged_beside_the_page(self):
        # What only it checks: the REST tree answers as before beside the page.
        self.assertEqual(self.gw.get("/version")[0], 200)
        self.assertEqual(raw_get(self.gw.port, "/uix")[0], 404)


class ProtectedGateway(Gateway):
    """The gateway with digest authentication on: it serves once it answers 401."""

    def answers(self):
        if self.orq.proc.poll() is not None:
            return True
        try:
            return raw_get(self.port, "/version")[0] == 401
        except OSError:
            return False


class DigestProtected(unittest.TestCase):
    def test_the_page_asks_for_credentials_like_every_resource(self):
        # What only it checks: the page's files need the credentials digest authentication asks
        # for.
        with tempfile.NamedTemporaryFile("w", suffix=".htdigest", delete=False) as f:
            f.write("u:orq:%s\n" % ("0" * 32))
        # The lines go into the [RESTServer] section, after the port.
        gw = ProtectedGateway(more_ports="\nhttpDigestAuth = 1\nhttpDigestAuthPwdFile = %s"
                              % f.name)
        try:
            for path in ["/ui/", "/ui/app.js", "/ui/missing.js", "/ui/../version"]:
                status, headers, _ = raw_get(gw.port, path)
                self.assertEqual(status, 401, path)
                self.assertIn("Digest", headers.get("www-authenticate", ""), path)
        finally:
            gw.close()
            os.unlink(f.name)


class BrowserRun:
    """uipage.mjs run against `gw` in the background: the page over plain HTTP with the event
    stream, or (secure) over HTTPS under digest authentication. Both runs are started before
    either is waited for, since most of each is spent waiting for the network."""

    def __init__(self, gw, tmp, **more):
        self.gw, self.tmp = gw, tmp
        setting = {
            "url": "http://127.0.0.1:%d/ui/" % gw.port,
            "sourceDir": SOURCE_DIR, "chromium": CHROMIUM, "zbsimCtl": ZBSIM_CTL,
            "control": gw.control, "events": False, "newcomerShort": "2102",
            "screenshot": SCREENSHOT, "deadlineMs": int(DEADLINE * 1000),
        }
        setting.update(more)
        self.proc = subprocess.Popen(
            [NODE, os.path.join(os.path.dirname(__file__), "uipage.mjs")],
            env=dict(os.environ, ORQ_UI_TEST=json.dumps(setting)), stdout=subprocess.PIPE,
            stderr=subprocess.STDOUT, text=True)
        self.results, self.output = None, ""

    def finish(self):
        """{check: (verdict, reason)} once the run has ended."""
        if self.results is None:
            try:
                self.output, _ = self.proc.communicate(timeout=12 * DEADLINE)
            except subprocess.TimeoutExpired:
                self.proc.kill()
                self.output, _ = self.proc.communicate()
            self.results = {}
            for line in self.output.splitlines():
                verdict, _, rest = line.partition(" ")
                name, _, reason = rest.partition(": ")
                if verdict in ("ok", "skip", "fail"):
                    self.results[name] = (verdict, reason)
        return self.results

    def close(self):
        if self.proc.poll() is None:
            self.proc.kill()
        self.proc.communicate()
        self.gw.close()
        self.tmp.cleanup()


def start_plain_run():
    """The page over plain HTTP on the demo network and a newcomer, with the event stream."""
    tmp = tempfile.TemporaryDirectory(prefix="orq-ui-")
    network = os.path.join(tmp.name, "network.ini")
    with open(DEMO) as f, open(network, "w") as out:
        out.write(f.read() + NEWCOMER)
    # A dead node found within a round of the keep-alive task.
    gw = Gateway(network=network, sim_args=(),
                 main="keepAliveThreshold = 3\nkeepAliveNumberOfAttempt = 1\n"
                      "forcePingTimeout = 0")
    assert gw.running(), gw.orq.output()[-3000:]
    if os.path.exists(SCREENSHOT):
        os.unlink(SCREENSHOT)
    return BrowserRun(gw, tmp, events=events_status(gw.port) == 200)


def start_secure_run():
    """The page over HTTPS under digest authentication: the browser is given the credentials
    and the test's certificate is accepted. The browser has no EventSource, and the page is
    opened before the network is started: it starts it, and shows the gateway running."""
    tmp = tempfile.TemporaryDirectory(prefix="orq-ui-tls-")
    pem = os.path.join(tmp.name, "orq.pem")
    key, cert = pem + ".key", pem + ".crt"
    subprocess.run(["openssl", "req", "-x509", "-newkey", "rsa:2048", "-nodes", "-keyout",
                    key, "-out", cert, "-days", "1", "-subj", "/CN=127.0.0.1",
                    "-addext", "subjectAltName=IP:127.0.0.1"],
                   check=True, capture_output=True, timeout=DEADLINE)
    with open(pem, "w") as out, open(cert) as c, open(key) as k:
        out.write(c.read() + k.read())
    users = os.path.join(tmp.name, "htdigest")
    with open(users, "w") as f:
        f.write("alice:orq:%s\n" % hashlib.md5(b"alice:orq:secret").hexdigest())
    tls_port = free_port()
    gw = ProtectedGateway(
        autostart=False,
        more_ports=",%ds\nssl = 1\nsslCertFile = %s\nhttpDigestAuth = 1\n"
                   "httpDigestAuthPwdFile = %s" % (tls_port, pem, users))
    return BrowserRun(gw, tmp, url="https://127.0.0.1:%d/ui/" % tls_port, events=False,
                      noEventSource=True, credentials={"username": "alice", "password": "secret"},
                      startFromPage=True, only=["gateway", "console"])


RUNS = {}


def setUpModule():
    if browser_missing() is None:
        RUNS["plain"] = start_plain_run()
        if shutil.which("openssl") is not None:
            try:
                RUNS["secure"] = start_secure_run()
            except BaseException:
                tearDownModule()  # not called when this raises
                raise


def tearDownModule():
    for run in RUNS.values():
        run.close()


class BrowserChecks:
    """The verdicts of the browser run `RUN`; the checks every run makes."""
    RUN = None

    def verdict(self, name):
        run = RUNS.get(self.RUN)
        self.assertIsNotNone(run, "the %s run did not start" % self.RUN)
        got = run.finish().get(name)
        self.assertIsNotNone(got, "no result for %s:\n%s" % (name, run.output[-4000:]))
        if got[0] == "skip":
            self.skipTest(got[1])
        self.assertEqual(got[0], "ok", "%s: %s" % (name, got[1]))

    def test_gateway_state_channel_and_version_shown(self):
        # What only it checks: the page in a browser shows the gateway state, channel and version.
        self.verdict("gateway")

    def test_no_error_in_the_browser_console(self):
        # What only it checks: the page leaves no error in the browser console.
        self.verdict("console")


@unittest.skipIf(browser_missing() is not None, browser_missing() or "")
class Browser(BrowserChecks, unittest.TestCase):
    RUN = "plain"

    def test_an_inquiry_from_the_page_lists_the_six_nodes(self):
        # What only it checks: an inquiry started from the page lists the network's nodes.
        self.verdict("inquiry")

    def test_the_six_nodes_and_their_links_drawn_and_the_map_saved(self):
        # What only it checks: the page draws the nodes and their links, and saves the map.
        self.verdict("network")
        self.assertTrue(os.path.getsize(SCREENSHOT) > 10000, SCREENSHOT)

    def test_switching_the_light_from_the_page_changes_zbsim(self):
        # What only it checks: the light switched from the page changes the emulated light.
        self.verdict("light")

    def test_hostile_text_from_the_gateway_is_shown_as_text(self):
        # What only it checks: hostile text from the gateway is shown as text.
        self.verdict("hostile-text")

    def test_a_hostile_payload_appears_as_text_in_the_event_log(self):
        # What only it checks: a hostile payload appears as text in the page's event log.
        self.verdict("payload-as-text")

    def test_a_join_appears_without_a_reload(self):
        # What only it checks: a join appears on the page without a reload.
        self.verdict("join-live")

    def test_a_killed_node_turns_dead(self):
        # What only it checks: a killed node turns dead on the page.
        self.verdict("kill-live")


@unittest.skipIf(browser_missing() is not None or shutil.which("openssl") is None,
                 browser_missing() or "openssl not installed")
class SecureBrowser(BrowserChecks, unittest.TestCase):
    """The page over HTTPS under digest authentication, started from the page."""
    RUN = "secure"


if __name__ == "__main__":
    unittest.main()
