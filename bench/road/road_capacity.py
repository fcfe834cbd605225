#!/usr/bin/python3
"""Capacity of the whole road on this machine, in one run:

1. Paced sources: 1, 2, 3, ... paced 640x360 25 fps road videos, each through its detector, reader and
   non-triggered builder with clips, posting to the event sink, until frames are dropped. A step
   drops frames when, after the warm-up, any balancer passes frames on uninferred ("skipped" grows in
   its statistics line) or a source is read slower than 24 fps (the balancer's back-pressure holds
   the producer). A failing step is run once more before it counts (the machine is shared). The
   result is the largest count served without drops. Each step also gives the process's CPU time per
   inferred frame.
2. Unpaced throughput of one source (the file read as fast as it decodes) through the whole road,
   with its builder and without (the reader then sends nowhere), alternated in rounds. The figure
   is frames inferred per second (popped by the balancer minus the ones it passed on uninferred);
   the ratio with/without is the builder's cost. With its builder the balancer learns the frames'
   processing time and, seeing the pipeline fall behind a source that runs ahead of it, passes most
   frames on uninferred; without a builder nothing tells it, and the producer is held back instead.
   The two runs therefore do different work, and
3. the builders' cost at equal work: CPU time per inferred frame of the process with paced sources
   that drop nothing (default 4), with and without their builders, alternated in rounds.

Before and after these, the bare single-threaded cost of a frame on this CPU, in the same run
(bench/demo/demo_frame_cost: the demo detector's forward plus one reader forward per plate it
accepts, one OpenCV thread): the physical bound of this CPU path, against which the CPU per inferred
frame of the largest served step is set.

The load average is printed with every figure.

  /usr/bin/python3 bench/road/road_capacity.py --build build
"""
import argparse
import json
import os
import re
import statistics
import subprocess
import sys
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import roadrig  # noqa: E402

MIN_FPS = 24.0


def parse_args():
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("--build", default=os.path.join(roadrig.REPO, "build"))
    ap.add_argument("--max-sources", type=int, default=16)
    ap.add_argument("--step-seconds", type=int, default=55, help="length of one paced step (default 55)")
    ap.add_argument("--warmup", type=int, default=15, help="seconds left out at the start of every run")
    ap.add_argument("--throughput-seconds", type=int, default=45, help="length of one unpaced run")
    ap.add_argument("--rounds", type=int, default=2, help="unpaced rounds (each: with, then without builder)")
    ap.add_argument("--skip-paced", action="store_true")
    ap.add_argument("--skip-unpaced", action="store_true")
    ap.add_argument("--cost-sources", type=int, default=4,
                    help="paced sources for the CPU cost of the builders (default 4)")
    ap.add_argument("--skip-cost", action="store_true")
    ap.add_argument("--skip-bare", action="store_true", help="leave out the bare single-threaded frame cost")
    ap.add_argument("--out", help="run directory (default <build>/bench/road/capacity)")
    a = ap.parse_args()
    a.build = os.path.abspath(a.build)
    a.out = os.path.abspath(a.out or os.path.join(a.build, "bench", "road", "capacity"))
    return a


def run_once(a, videos, name, seconds, **config_options):
    """One qo_core run; returns the statistics steps after the warm-up and the last source statistics."""
    run_dir = os.path.join(a.out, name)
    roadrig.prepare_run_dir(run_dir)
    sink = roadrig.Sink(a.build, run_dir)
    config = roadrig.configuration(roadrig.free_port(), sink.url, videos, **config_options)
    core = roadrig.Core(os.path.join(a.build, "src", "qo_core"), run_dir, config)
    load, cpu = [], []
    try:
        core.wait_working()
        started = time.time()
        while time.time() - started < seconds:
            time.sleep(1)
            if core.proc.poll() is not None:
                raise RuntimeError("qo_core ended with status %s" % core.proc.returncode)
            load.append(roadrig.loadavg()[0])
            if time.time() >= started + a.warmup:
                cpu.append((time.time(), roadrig.cpu_seconds(core.proc.pid)))
        core.log.poll()
        code, _ = core.stop()
    finally:
        core.kill()
    sink.stop()
    steps = [(t, b) for t, b in core.log.balancer_history if t >= started + a.warmup and b]
    if len(steps) < 2:
        raise RuntimeError("%s: fewer than two statistics steps after the warm-up" % name)
    cores = (cpu[-1][1] - cpu[0][1]) / (cpu[-1][0] - cpu[0][0])
    return {"steps": steps, "sources": core.log.sources, "load": statistics.mean(load), "code": code,
            "errors": core.log.errors, "cores": cores}


def deltas(steps):
    (t0, first), (t1, last) = steps[0], steps[-1]
    seconds = t1 - t0
    out = {}
    for name, end in last.items():
        begin = first.get(name, {"popped": 0, "skipped": 0})
        out[name] = {"popped": end["popped"] - begin["popped"], "skipped": end["skipped"] - begin["skipped"],
                     "process": end["process"], "seconds": seconds}
    return out


def paced_step(a, videos, n, attempt):
    r = run_once(a, videos, "paced-%d-%d" % (n, attempt), a.step_seconds, sources=n)
    d = deltas(r["steps"])
    skipped = sum(v["skipped"] for v in d.values())
    fps = [s.get("fps", 0.0) for s in r["sources"].values()]
    inferred = sum(v["popped"] - v["skipped"] for v in d.values()) / max(v["seconds"] for v in d.values())
    ok = skipped == 0 and len(fps) == n and min(fps) >= MIN_FPS
    row = {"sources": n, "attempt": attempt, "skipped": skipped, "min_fps": round(min(fps), 1) if fps else None,
           "inferred_fps": round(inferred, 1), "process_ms": round(max(v["process"] for v in d.values()), 1),
           "cpu_ms": round(1000.0 * r["cores"] / max(inferred, 1e-9), 2), "cores": round(r["cores"], 2),
           "load": round(r["load"], 1), "ok": ok}
    print("paced %(sources)2d sources (try %(attempt)d): skipped %(skipped)d, slowest source %(min_fps)s fps, "
          "%(inferred_fps)s frames inferred/s, slowest mean processing %(process_ms)s ms, %(cores)s cores busy, "
          "%(cpu_ms)s ms CPU an inferred frame, load %(load)s -> " % row + ("served" if ok else "drops"), flush=True)
    return row


def paced(a, videos):
    rows, served = [], 0
    for n in range(1, a.max_sources + 1):
        row = paced_step(a, videos, n, 1)
        rows.append(row)
        if not row["ok"]:
            row = paced_step(a, videos, n, 2)
            rows.append(row)
        if not row["ok"]:
            break
        served = n
    return served, rows


_BARE = re.compile(r"bare single-threaded forward: detector ([\d.]+) ms, reader ([\d.]+) ms a plate, "
                   r"([\d.]+) plates a frame: ([\d.]+) ms CPU a frame")


def bare_cost(a):
    """The bare single-threaded CPU cost of a frame (ms), from bench/demo/demo_frame_cost."""
    tool = os.path.join(a.build, "bench", "demo", "demo_frame_cost")
    out = subprocess.run([tool], check=True, capture_output=True, text=True, timeout=600).stdout
    m = _BARE.search(out)
    if not m:
        raise RuntimeError("demo_frame_cost printed no bare cost:\n" + out)
    cost = {"detector_ms": float(m.group(1)), "reader_ms": float(m.group(2)), "plates": float(m.group(3)),
            "frame_ms": float(m.group(4)), "load": roadrig.loadavg()[0]}
    print("bare single-threaded forward: detector %(detector_ms).2f ms, reader %(reader_ms).2f ms a plate, "
          "%(plates).2f plates a frame: %(frame_ms).2f ms CPU a frame, load %(load).1f" % cost, flush=True)
    return cost


def unpaced(a, videos):
    results = {"with builder": [], "without builder": []}
    for round_ in range(1, a.rounds + 1):
        for label, builders in (("with builder", True), ("without builder", False)):
            r = run_once(a, videos, "unpaced-%s-%d" % ("with" if builders else "without", round_),
                         a.throughput_seconds, sources=1, pacing=False, builders=builders)
            d = deltas(r["steps"])["cam1"]
            inferred = (d["popped"] - d["skipped"]) / d["seconds"]
            total = d["popped"] / d["seconds"]
            results[label].append({"inferred_fps": inferred, "total_fps": total, "load": r["load"]})
            print("unpaced round %d %-15s: %.1f frames inferred/s, %.1f frames/s through the balancer "
                  "(%.0f %% passed on uninferred), load %.1f" % (round_, label, inferred, total,
                                                                 100.0 * d["skipped"] / max(1, d["popped"]),
                                                                 r["load"]), flush=True)
    with_b = statistics.mean(x["inferred_fps"] for x in results["with builder"])
    without = statistics.mean(x["inferred_fps"] for x in results["without builder"])
    return {"with_builder_fps": with_b, "without_builder_fps": without, "ratio": with_b / without,
            "runs": results}


def builder_cost(a, videos):
    """CPU time per inferred frame at a paced load that drops nothing, with and without builders."""
    results = {"with builder": [], "without builder": []}
    for round_ in range(1, a.rounds + 1):
        for label, builders in (("with builder", True), ("without builder", False)):
            r = run_once(a, videos, "cost-%s-%d" % ("with" if builders else "without", round_),
                         a.throughput_seconds, sources=a.cost_sources, builders=builders)
            d = deltas(r["steps"])
            skipped = sum(v["skipped"] for v in d.values())
            inferred = sum(v["popped"] - v["skipped"] for v in d.values()) / max(v["seconds"] for v in d.values())
            ms = 1000.0 * r["cores"] / inferred
            results[label].append({"cpu_ms_per_frame": ms, "cores": r["cores"], "inferred_fps": inferred,
                                   "skipped": skipped, "load": r["load"]})
            print("paced %d sources, round %d %-15s: %.1f frames inferred/s (skipped %d), %.2f cores busy, "
                  "%.2f ms CPU a frame, load %.1f" % (a.cost_sources, round_, label, inferred, skipped, r["cores"],
                                                      ms, r["load"]), flush=True)
    with_b = statistics.mean(x["cpu_ms_per_frame"] for x in results["with builder"])
    without = statistics.mean(x["cpu_ms_per_frame"] for x in results["without builder"])
    return {"with_builder_ms": with_b, "without_builder_ms": without, "ratio": with_b / without, "runs": results}


def main():
    a = parse_args()
    os.makedirs(a.out, exist_ok=True)
    print("capacity: run directory %s, load average %s" % (a.out, roadrig.loadavg()), flush=True)
    videos = roadrig.road_videos(a.build, 60)
    summary = {}
    bare = [] if a.skip_bare else [bare_cost(a)]
    if not a.skip_paced:
        served, rows = paced(a, videos)
        summary["paced"] = {"served": served, "steps": rows}
        if not a.skip_bare:
            bare.append(bare_cost(a))
            summary["bare"] = bare
        print("\n| sources | try | skipped | slowest source fps | frames inferred/s | slowest mean processing (ms) "
              "| CPU an inferred frame (ms) | load | result |")
        print("|---|---|---|---|---|---|---|---|---|")
        for r in rows:
            print("| %(sources)d | %(attempt)d | %(skipped)d | %(min_fps)s | %(inferred_fps)s | %(process_ms)s | "
                  "%(cpu_ms)s | %(load)s | " % r + ("served" if r["ok"] else "drops") + " |")
        print("largest number of paced sources served without a skipped frame and at >= %.0f fps each: %d "
              "(target: at least 12)" % (MIN_FPS, served))
        last = [r for r in rows if r["ok"] and r["sources"] == served]
        if last and bare:
            frame_ms = statistics.mean(b["frame_ms"] for b in bare)
            print("CPU an inferred frame at %d sources: %.2f ms; bare single-threaded forward cost %.2f ms a frame "
                  "(%s): ratio %.2f (target at most 1.3)\n"
                  % (served, last[-1]["cpu_ms"], frame_ms, " and ".join("%.2f" % b["frame_ms"] for b in bare),
                     last[-1]["cpu_ms"] / frame_ms))
    if not a.skip_unpaced:
        u = unpaced(a, videos)
        summary["unpaced"] = u
        print("\nunpaced, one source: %.1f frames inferred/s with its builder, %.1f without: ratio %.3f "
              "(builder costs %.1f %%, target at most 5 %%)" % (u["with_builder_fps"], u["without_builder_fps"],
                                                               u["ratio"], 100.0 * (1.0 - u["ratio"])))
    if not a.skip_cost:
        c = builder_cost(a, videos)
        summary["cost"] = c
        print("\npaced, %d sources: %.2f ms CPU a frame with the builders, %.2f without: ratio %.3f (the builders "
              "and their events cost %.1f %% of the CPU a frame)" % (a.cost_sources, c["with_builder_ms"],
                                                                     c["without_builder_ms"], c["ratio"],
                                                                     100.0 * (c["ratio"] - 1.0)))
    with open(os.path.join(a.out, "summary.json"), "w") as f:
        json.dump(summary, f, indent=2)
    return 0


if __name__ == "__main__":
    sys.exit(main())
