"""Helpers shared by the end-to-end tests: paths, processes and patient waiting."""

import os
import re
import subprocess
import tempfile
import time

BUILD_DIR = os.environ.get("ORQ_BUILD_DIR", os.path.join(os.path.dirname(__file__), "..", "..", "build"))
SOURCE_DIR = os.environ.get("ORQ_SOURCE_DIR", os.path.join(os.path.dirname(__file__), "..", ".."))
ORQ = os.path.join(BUILD_DIR, "orq")

# Generous: the suite runs on small, loaded machines.
DEADLINE = 30.0


def wait_for(predicate, timeout=DEADLINE, interval=0.05):
    """Polls predicate until it returns a true value or the deadline passes."""
    end = time.monotonic() + timeout
    while True:
        value = predicate()
        if value:
            return value
        if time.monotonic() > end:
            return value
        time.sleep(interval)


class Process:
    """A child process whose standard output is collected in a file as it runs."""

    def __init__(self, args, cwd=None, env=None):
        self.out = tempfile.NamedTemporaryFile(prefix="orq-out-", delete=False)
        self.proc = subprocess.Popen(args, cwd=cwd, env=env, stdout=self.out,
                                     stderr=subprocess.STDOUT, stdin=subprocess.DEVNULL)

    def output(self):
        with open(self.out.name, "r", errors="replace") as f:
            return f.read()

    def wait_output(self, text, timeout=DEADLINE):
        return wait_for(lambda: text in self.output() or self.proc.poll() is not None,
                        timeout) and text in self.output()

    def stop(self, sig=None, timeout=DEADLINE):
        if self.proc.poll() is None:
            if sig is None:
                self.proc.kill()
            else:
                self.proc.send_signal(sig)
        try:
            return self.proc.wait(timeout)
        except subprocess.TimeoutExpired:
            self.proc.kill()
            return self.proc.wait()

    def close(self):
        if self.proc.poll() is None:
            self.proc.kill()
            self.proc.wait()
        self.out.close()
        os.unlink(self.out.name)


def sample_config():
    """config/config.ini as shipped, its stored network moved to network.db beside the copy
    the test writes (the shipped path is the demo's, in the build tree)."""
    with open(os.path.join(SOURCE_DIR, "config", "config.ini")) as f:
        text = f.read()
    return re.sub(r"(?m)^database = .*$", "database = network.db", text)


def run(args, cwd=None, timeout=DEADLINE):
    """Runs a command to its end; returns (status, stdout, stderr)."""
    done = subprocess.run(args, cwd=cwd, capture_output=True, text=True, timeout=timeout,
                          stdin=subprocess.DEVNULL)
    return done.returncode, done.stdout, done.stderr
