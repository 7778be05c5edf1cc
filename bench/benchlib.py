"""What every measurement of scripts/bench stands on: the build it measures, the gateway and
emulator processes (the end-to-end tests' harness, pointed at the benchmark build), readings of a
process's CPU time and resident memory, percentiles, and the rows of the result table."""

import os
import shutil
import statistics
import sys

SOURCE_DIR = os.path.abspath(os.path.join(os.path.dirname(__file__), ".."))


def use_build(build_dir):
    """Points the process harness at `build_dir`; call before importing gatewaytest."""
    os.environ["ORQ_BUILD_DIR"] = os.path.abspath(build_dir)
    os.environ["ORQ_SOURCE_DIR"] = SOURCE_DIR
    e2e = os.path.join(SOURCE_DIR, "tests", "e2e")
    if e2e not in sys.path:
        sys.path.insert(0, e2e)


class Context:
    """What a measurement is given: the build directory, the run's options and a log."""

    def __init__(self, build_dir, quick=False, soak_minutes=0, workdir=None):
        self.build_dir = os.path.abspath(build_dir)
        self.source_dir = SOURCE_DIR
        self.quick = quick
        self.soak_minutes = soak_minutes
        self.workdir = workdir

    def path(self, *parts):
        """A file of the build (`ctx.path("sim", "zbsim")`)."""
        return os.path.join(self.build_dir, *parts)

    def count(self, full, quick):
        """The repetition count of this run: `full`, or `quick` with --quick."""
        return quick if self.quick else full

    @staticmethod
    def log(text):
        print("bench: " + text, file=sys.stderr, flush=True)


def row(group, name, value, unit, reference=None, target=None, met=None, note="",
        ratio=None):
    """One line of the result table. `reference` is the same figure of the reference it is
    compared with (then `ratio` is value / reference unless given); `target` says in words
    what the figure must reach and `met` whether it did (None: no target)."""
    if ratio is None and reference not in (None, 0) and value is not None:
        ratio = value / reference
    return {"group": group, "name": name, "value": value, "unit": unit,
            "reference": reference, "ratio": ratio, "target": target, "met": met,
            "note": note}


def skipped(group, name, why):
    """A row for a measurement that could not run on this machine, and why."""
    return row(group, name, None, "", note="skipped: " + why)


def missing(*tools):
    """The first of the programs that is not on the PATH, or None when all are."""
    return next((t for t in tools if shutil.which(t) is None), None)


def percentile(values, p):
    """The p-th percentile (0..100) of the values, by nearest rank."""
    if not values:
        return None
    ordered = sorted(values)
    rank = max(1, min(len(ordered), int(round(p / 100.0 * len(ordered) + 0.5))))
    return ordered[rank - 1]


def median(values):
    return statistics.median(values) if values else None


def cpu_seconds(pid):
    """User plus system CPU time the process has used so far, in seconds."""
    with open("/proc/%d/stat" % pid) as f:
        fields = f.read().rsplit(")", 1)[1].split()
    # After the command name: state is field 3, utime 14 and stime 15 (1-based, whole line).
    return (int(fields[11]) + int(fields[12])) / os.sysconf("SC_CLK_TCK")


def rss_kib(pid):
    """The process's resident memory in KiB."""
    with open("/proc/%d/status" % pid) as f:
        for line in f:
            if line.startswith("VmRSS:"):
                return int(line.split()[1])
    return None
