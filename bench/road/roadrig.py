"""Runs the built qo_core the way a user does: paced road videos through the demo detector and reader,
one non-triggered builder per lane with clips, events posted to our event sink. Shared by the soak and
the capacity runs.

Each source gets a chain of its own (detector -> reader -> builder of its lane), because a builder
takes every frame that reaches it: one shared chain would mix the lanes' plates into one builder's
events. The chains' networks share the loaded models.
"""
import json
import os
import re
import shutil
import signal
import socket
import subprocess
import time
import urllib.request
from concurrent.futures import ThreadPoolExecutor
from datetime import datetime

REPO = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
DEMO = os.path.join(REPO, "demo")
# Seeds of the extra road videos; the demo's own video is seed 2026.
RENDER_SEEDS = (11, 12, 13)


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def render_videos(out_dir, seconds, seeds=RENDER_SEEDS):
    """Renders one road video per seed (kept between runs in out_dir); returns their paths."""
    os.makedirs(out_dir, exist_ok=True)

    def one(seed):
        path = os.path.join(out_dir, "road_seed%d_%ds.mp4" % (seed, seconds))
        if not os.path.exists(path):
            partial = path + ".part.mp4"
            subprocess.run(["/usr/bin/python3", os.path.join(DEMO, "render_video.py"), "--seed", str(seed),
                            "--seconds", str(seconds), "--out", partial,
                            "--truth", os.path.join(out_dir, "seed%d_%ds.truth.jsonl" % (seed, seconds))],
                           check=True)
            os.replace(partial, path)
        return path

    with ThreadPoolExecutor(len(seeds)) as pool:
        return list(pool.map(one, seeds))


def road_videos(build_dir, render_seconds):
    """The demo video and the renders of the other seeds."""
    return [os.path.join(DEMO, "road.mp4")] + render_videos(
        os.path.join(build_dir, "bench", "road", "videos"), render_seconds)


def _demo_networks():
    with open(os.path.join(DEMO, "config.json")) as f:
        demo = json.load(f)
    nets = {n["name"]: n for n in demo["networks"]}
    return nets["plates"], nets["reader"]


def _absolute_models(net):
    net = json.loads(json.dumps(net))
    definition = net["model"]["definition"]
    definition["path"] = os.path.join(REPO, definition["path"])
    return net


def configuration(port, sink_url, videos, sources, pacing=True, builders=True, record=True):
    """One source per lane, cycling through `videos`; each with its detector, reader and builder."""
    plates, reader = _demo_networks()
    config = {
        "log": {"file": True, "level": 2, "sender": "road"},
        "webserver": {"port": port},
        "eventposters": [{"name": "sink", "url": sink_url}],
        "eventbuilders": [],
        "networks": [],
        "sources": [],
        "outputs": [],
    }
    for i in range(1, sources + 1):
        lane = "lane%d" % i
        det = _absolute_models(plates)
        det["name"] = "plates%d" % i
        det["destinations"] = ["reader%d" % i]
        rd = _absolute_models(reader)
        rd["name"] = "reader%d" % i
        rd["destinations"] = [lane] if builders else []
        config["networks"] += [det, rd]
        config["sources"].append({
            "name": "cam%d" % i, "id": i, "laneId": i, "type": "file", "uri": videos[(i - 1) % len(videos)],
            "restart": 1, "processingMode": 0, "pacing": pacing, "plateWidth": [40, 640],
            "destinations": [det["name"]], "recordEnable": record, "recordTimeBeforeEvent": 1500,
            "recordTimeAfterEvent": 1500, "pathToSaveVideo": "clips/cam%d/" % i,
        })
        if builders:
            config["eventbuilders"].append({
                "name": lane, "type": "LP", "triggeredMode": 0, "laneId": i, "destinations": ["sink"],
                "plateCatalogPath": os.path.join(REPO, "syntaxes", "plate_catalog.json"),
            })
    return config


def prepare_run_dir(run_dir):
    """An empty working directory with the plate-syntax and watch-list files that readers load, and the
    parent of the cameras' save directories (a builder makes only the last level)."""
    if os.path.exists(run_dir):
        shutil.rmtree(run_dir)
    os.makedirs(os.path.join(run_dir, "syntaxes"))
    os.makedirs(os.path.join(run_dir, "clips"))
    for name in ("default-syntax.json", "watchlist.json"):
        shutil.copy(os.path.join(REPO, "syntaxes", name), os.path.join(run_dir, "syntaxes", name))


class Sink:
    """The event sink program, storing into <run_dir>/events."""

    def __init__(self, build_dir, run_dir):
        self.folder = os.path.join(run_dir, "events")
        self.out = open(os.path.join(run_dir, "sink.out"), "w+")
        self.proc = subprocess.Popen(
            [os.path.join(build_dir, "tools", "event_sink", "event_sink"), "--port", "0", "--out", self.folder],
            stdout=self.out, stderr=subprocess.STDOUT)
        deadline = time.time() + 10
        while time.time() < deadline:
            self.out.seek(0)
            m = re.search(r"listening on [\d.]+:(\d+)", self.out.read())
            if m:
                self.url = "http://127.0.0.1:%s/events" % m.group(1)
                return
            time.sleep(0.05)
        self.proc.kill()
        raise RuntimeError("event_sink did not start")

    def events(self):
        """The stored events so far, each the parsed line of events.jsonl."""
        path = os.path.join(self.folder, "events.jsonl")
        if not os.path.exists(path):
            return []
        with open(path) as f:
            return [json.loads(line) for line in f if line.strip()]

    def stored_count(self):
        path = os.path.join(self.folder, "events.jsonl")
        if not os.path.exists(path):
            return 0
        with open(path, "rb") as f:
            return sum(1 for line in f if line.strip())

    def stop(self):
        """Stops the sink; returns (stored, refused) as it counted them."""
        self.proc.send_signal(signal.SIGTERM)
        self.proc.wait(timeout=10)
        self.out.seek(0)
        m = re.search(r"stopped, (\d+) stored, (\d+) refused", self.out.read())
        self.out.close()
        return (int(m.group(1)), int(m.group(2))) if m else (None, None)


class Core:
    """qo_core running a configuration in run_dir; its log is run_dir/qo_core.log."""

    def __init__(self, binary, run_dir, config, env=None):
        self.run_dir = run_dir
        self.port = config["webserver"]["port"]
        with open(os.path.join(run_dir, "config.json"), "w") as f:
            json.dump(config, f, indent=2)
        self.stdout = open(os.path.join(run_dir, "qo_core.stdout"), "w")
        self.stderr = open(os.path.join(run_dir, "qo_core.stderr"), "w")
        self.proc = subprocess.Popen([binary, "config.json"], cwd=run_dir, stdout=self.stdout, stderr=self.stderr,
                                     env=env)
        self.log = LogReader(os.path.join(run_dir, "qo_core.log"))

    def get(self, path, timeout=2):
        with urllib.request.urlopen("http://127.0.0.1:%d%s" % (self.port, path), timeout=timeout) as r:
            return r.status, r.read().decode()

    def wait_working(self, timeout=120):
        deadline = time.time() + timeout
        while time.time() < deadline:
            if self.proc.poll() is not None:
                raise RuntimeError("qo_core ended with status %s during start-up" % self.proc.returncode)
            try:
                status, body = self.get("/status")
                if status == 200 and body and json.loads(body).get("core") == "working":
                    return
            except (OSError, ValueError):
                pass
            time.sleep(0.2)
        raise RuntimeError("qo_core did not report working within %d s" % timeout)

    def stop(self, timeout=30):
        """GET /exit; returns (exit status, seconds until the process ended)."""
        t0 = time.time()
        try:
            self.get("/exit")
        except OSError:
            pass
        try:
            code = self.proc.wait(timeout=timeout)
        except subprocess.TimeoutExpired:
            self.proc.kill()
            code = self.proc.wait()
        return code, time.time() - t0

    def kill(self):
        if self.proc.poll() is None:
            self.proc.kill()
            self.proc.wait()


def proc_sample(pid):
    """RSS (MB), threads and open descriptors of a live process, read from /proc."""
    rss_kb, threads = None, None
    with open("/proc/%d/status" % pid) as f:
        for line in f:
            if line.startswith("VmRSS:"):
                rss_kb = int(line.split()[1])
            elif line.startswith("Threads:"):
                threads = int(line.split()[1])
    fds = len(os.listdir("/proc/%d/fd" % pid))
    return rss_kb / 1024.0, threads, fds


def cpu_seconds(pid):
    """User and system CPU time of a live process so far, in seconds."""
    with open("/proc/%d/stat" % pid) as f:
        fields = f.read().rsplit(")", 1)[1].split()
    # After the command: state is field 3, utime 14 and stime 15 (1-based, as in proc(5)).
    return (int(fields[11]) + int(fields[12])) / os.sysconf("SC_CLK_TCK")


_TS = re.compile(r"^(\d{4}-\d\d-\d\d \d\d:\d\d:\d\d\.\d{3}) \[(\w+)\] ")
_MEMORY = re.compile(r"Memory stat: VmRSS=(-?\d+) MB.*Threads=(-?\d+), Frames=(-?\d+)")
_BALANCER = re.compile(r"Balancer: (\S+): size (\d+)/(\d+), pushed (\d+), popped (\d+), skipped (\d+), "
                       r"process ([\d.]+) ms, interval ([\d.]+) ms")
_NFPS = re.compile(r"^NFPS: (-?\d+)")
_WRITE = re.compile(r"^(\S+): Report: event: (\d+)\. Write video for camera: .* to file (\S+)$")
_CLIP = re.compile(r"^(\S+): Report: event: (\d+)\. Video is recorded to file (\S+)")
_POST = re.compile(r"QEVA POST: (\S+): ")


class LogReader:
    """Reads the service log as it grows and keeps what the runs look at."""

    def __init__(self, path):
        self.path = path
        self.offset = 0
        self.rest = b""
        self.memory = None  # (rss MB, threads, live frames) of the last memory line
        self.balancers = {}  # name -> dict of the last Balancer line
        self.balancer_history = []  # (time, {name: dict}) after each statistics step
        self.nfps = None
        self.sources = {}  # name -> last source statistics
        self.reports = []  # (time, builder, event id, clip path): a report reached its clip step
        self.clips = []  # (time, builder, event id, clip path): the clip was written
        self.posts = 0
        self.poster_errors = 0
        self.report_errors = 0
        self.errors = []  # every [Error] line
        self.sweeps = 0  # files removed by the old-file sweep

    @staticmethod
    def _time(line):
        m = _TS.match(line)
        if not m:
            return None, None, line
        t = datetime.strptime(m.group(1), "%Y-%m-%d %H:%M:%S.%f").timestamp()
        body = line[m.end():]
        body = body.split(": ", 1)[1] if ": " in body else body
        return t, m.group(2), body

    def poll(self):
        if not os.path.exists(self.path):
            return
        with open(self.path, "rb") as f:
            f.seek(self.offset)
            data = f.read()
        self.offset += len(data)
        data = self.rest + data
        lines = data.split(b"\n")
        self.rest = lines.pop()
        for raw in lines:
            self._line(raw.decode("utf-8", "replace"))

    def _line(self, line):
        t, level, body = self._time(line)
        if level == "Error":
            self.errors.append(line)
        if t is None:
            return
        m = _NFPS.match(body)
        if m:
            self.nfps = int(m.group(1))
            return
        m = _BALANCER.match(body)
        if m:
            name = m.group(1)
            self.balancers[name] = {"time": t, "pushed": int(m.group(4)), "popped": int(m.group(5)),
                                    "skipped": int(m.group(6)), "process": float(m.group(7)),
                                    "interval": float(m.group(8)), "size": int(m.group(2))}
            return
        m = _MEMORY.search(body)
        if m:
            self.memory = (int(m.group(1)), int(m.group(2)), int(m.group(3)))
            self.balancer_history.append((t, dict(self.balancers)))
            return
        if body.startswith("{") and '"framesDecoded"' in body:
            try:
                stats = json.loads(body)
                self.sources[stats.get("name")] = dict(stats, time=t)
            except ValueError:
                pass
            return
        m = _WRITE.match(body)
        if m:
            self.reports.append((t, m.group(1), int(m.group(2)), m.group(3)))
            return
        m = _CLIP.match(body)
        if m:
            self.clips.append((t, m.group(1), int(m.group(2)), m.group(3)))
            return
        if _POST.match(body):
            self.posts += 1
        elif body.startswith("EventPoster: Exception"):
            self.poster_errors += 1
        elif body.startswith("Exception detected in Report thread"):
            self.report_errors += 1
        elif body.startswith("The file was deleted because it is older than 5 minutes"):
            self.sweeps += 1


def clip_files(run_dir):
    """Every file under run_dir/clips: (path, age in seconds)."""
    now = time.time()
    out = []
    for root, _, files in os.walk(os.path.join(run_dir, "clips")):
        for name in files:
            path = os.path.join(root, name)
            try:
                out.append((path, now - os.stat(path).st_mtime))
            except FileNotFoundError:
                pass  # swept meanwhile
    return out


def loadavg():
    with open("/proc/loadavg") as f:
        return tuple(float(x) for x in f.read().split()[:3])
