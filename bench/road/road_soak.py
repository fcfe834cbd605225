#!/usr/bin/python3
"""Soak: four paced road videos at 25 fps through the demo detector and reader into one non-triggered
builder per lane with clips, posting to the event sink, for a long run. Every 10 s it samples the
service's RSS, threads and open descriptors (/proc) and its live frames (the "Frames=" of the memory
line that the periodic statistics log every 10 s). At the end it stops the service with GET /exit and
checks:
  - RSS growth from the end of the warm-up (default minute 2) to the end below 5 % (means of three
    samples on each side);
  - threads and descriptors flat (the end no higher than the start of the measure, within a margin
    for report threads that come and go), and live frames flat and never 0 (each running source holds
    at least its latest frame, so 0 means that frames are not counted);
  - every event that a builder reported (its clip line in the log) arrived at the sink, apart from
    the ones still in flight when the stop came, and as many posts as stored events;
  - on a run of 7 minutes or more, no clip older than the sweep age (300 s, swept every 60 s) left;
    a shorter run reports this check as not checked;
  - the stop took at most 5 s and ended with status 0.
Writes samples.csv, summary.json and (with --plot) soak.png into the run directory, prints the
sample table and exits 1 when a check fails (a check not checked is no failure).

  /usr/bin/python3 bench/road/road_soak.py --build build --seconds 600 --plot
"""
import argparse
import csv
import json
import os
import statistics
import sys
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import roadrig  # noqa: E402

SWEEP_AGE_S = 300
SWEEP_PERIOD_S = 60
STOP_LIMIT_S = 5.0
SAMPLE_PERIOD_S = 10.0
# Reports in flight at the stop may be dropped (the posters take nothing once the service stops).
IN_FLIGHT_GRACE_S = 10.0


def parse_args():
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("--build", default=os.path.join(roadrig.REPO, "build"))
    ap.add_argument("--seconds", type=int, default=600, help="length of the run (default 600)")
    ap.add_argument("--warmup", type=int, help="start of the measure in s (default 120, or a third of a "
                                                "run shorter than 6 minutes)")
    ap.add_argument("--sources", type=int, default=4)
    ap.add_argument("--render-seconds", type=int, default=60, help="length of each rendered video")
    ap.add_argument("--out", help="run directory (default <build>/bench/road/soak-<seconds>s)")
    ap.add_argument("--rss-limit", type=float, default=5.0, help="largest RSS growth in %% (default 5)")
    ap.add_argument("--plot", action="store_true", help="also draw soak.png (needs python3-matplotlib)")
    a = ap.parse_args()
    if a.warmup is None:
        a.warmup = 120 if a.seconds >= 360 else a.seconds // 3
    a.build = os.path.abspath(a.build)
    a.out = os.path.abspath(a.out or os.path.join(a.build, "bench", "road", "soak-%ds" % a.seconds))
    return a


def run(a):
    videos = roadrig.road_videos(a.build, a.render_seconds)
    roadrig.prepare_run_dir(a.out)
    sink = roadrig.Sink(a.build, a.out)
    config = roadrig.configuration(roadrig.free_port(), sink.url, videos, a.sources)
    core = roadrig.Core(os.path.join(a.build, "src", "qo_core"), a.out, config)
    samples = []
    try:
        core.wait_working()
        t0 = time.time()
        next_sample = t0 + SAMPLE_PERIOD_S
        while True:
            time.sleep(max(0.0, next_sample - time.time()))
            if core.proc.poll() is not None:
                raise RuntimeError("qo_core ended with status %s during the soak" % core.proc.returncode)
            core.log.poll()
            rss, threads, fds = roadrig.proc_sample(core.proc.pid)
            memory = core.log.memory
            skipped = sum(b["skipped"] for b in core.log.balancers.values())
            samples.append({
                "t": round(next_sample - t0), "rss_mb": round(rss, 1), "threads": threads, "fds": fds,
                "live_frames": memory[2] if memory else None, "reports": len(core.log.reports),
                "posted": core.log.posts, "sink_events": sink.stored_count(), "skipped": skipped,
                "nfps": core.log.nfps, "load1": roadrig.loadavg()[0],
            })
            print("t=%(t)4ds rss=%(rss_mb)7.1f MB threads=%(threads)3d fds=%(fds)3d frames=%(live_frames)s "
                  "reports=%(reports)d sink=%(sink_events)d skipped=%(skipped)d load=%(load1).1f" % samples[-1],
                  flush=True)
            next_sample += SAMPLE_PERIOD_S
            if next_sample - t0 > a.seconds + 0.5:
                break
        clips_before_stop = roadrig.clip_files(a.out)
        stop_request = time.time()
        code, stop_seconds = core.stop()
    finally:
        core.kill()
    core.log.poll()
    time.sleep(0.5)
    stored, refused = sink.stop()
    return {"samples": samples, "clips": clips_before_stop, "stop_request": stop_request, "code": code,
            "stop_seconds": stop_seconds, "stored": stored, "refused": refused, "log": core.log,
            "sink_events": sink.events()}


def window(samples, key, first, count=3):
    values = [s[key] for s in samples if s[key] is not None]
    values = values[:count] if first else values[-count:]
    return statistics.median(values) if values else None


def evaluate(a, r):
    checks = []

    # ok None: the run cannot show it; reported as not checked, neither passed nor failed.
    def check(name, ok, detail):
        checks.append({"check": name, "ok": None if ok is None else bool(ok), "detail": detail})

    measured = [s for s in r["samples"] if s["t"] >= a.warmup]
    # RSS swings by some per cent with the events in flight: means of three samples on each side.
    base = statistics.mean(s["rss_mb"] for s in measured[:3])
    end = statistics.mean(s["rss_mb"] for s in measured[-3:])
    growth = 100.0 * (end - base) / base
    check("rss growth", growth < a.rss_limit,
          "%.1f MB at %d-%d s -> %.1f MB at %d-%d s (means of 3 samples): %+.2f %% (limit %.0f %%)"
          % (base, measured[0]["t"], measured[:3][-1]["t"], end, measured[-3]["t"], measured[-1]["t"], growth,
             a.rss_limit))
    # Report threads and their files come and go with the traffic; a leak grows without bound.
    for key, margin in (("threads", 2 * a.sources), ("fds", 2 * a.sources)):
        first, last = window(measured, key, True), window(measured, key, False)
        values = [s[key] for s in measured]
        check(key + " flat", last - first <= margin,
              "median %s of the first 3 measured samples, %s of the last 3 (range %d-%d, margin %d)"
              % (first, last, min(values), max(values), margin))
    frames = [s["live_frames"] for s in measured if s["live_frames"] is not None]
    if frames:
        first, last = window(measured, "live_frames", True), window(measured, "live_frames", False)
        check("live frames flat", min(frames) > 0 and last <= 1.5 * first + 20,
              "median %s of the first 3 measured samples, %s of the last 3 (range %d-%d; 0 is never right "
              "while sources run)" % (first, last, min(frames), max(frames)))
    else:
        check("live frames flat", False, "no memory line with a Frames= figure during the measure")

    log = r["log"]
    cutoff = r["stop_request"] - IN_FLIGHT_GRACE_S
    received = {v["id"] for e in r["sink_events"] for v in e.get("videos", [])}
    guid = lambda path: os.path.splitext(os.path.basename(path))[0]  # noqa: E731
    # A report whose camera had no packets for the event (e.g. across a restart of a looping file)
    # posts its event without a clip: those are counted, the others are also found by their clip id.
    settled_reports = [r_ for r_ in log.reports if r_[0] < cutoff]
    settled_clips = [guid(path) for t, _, _, path in log.clips if t < cutoff]
    missing = [g for g in settled_clips if g not in received]
    check("events arrive", not missing and len(settled_reports) <= r["stored"] == log.posts and
          r["refused"] == 0 and log.poster_errors == 0 and log.report_errors == 0,
          "%d reports (%d until %.0f s before the stop), %d clips (%d until then, %d of them missing at the "
          "sink); %d posts logged, sink stored %s and refused %s; %d post errors, %d report exceptions"
          % (len(log.reports), len(settled_reports), IN_FLIGHT_GRACE_S, len(log.clips), len(settled_clips),
             len(missing), log.posts, r["stored"], r["refused"], log.poster_errors, log.report_errors))
    oldest = max((age for _, age in r["clips"]), default=0.0)
    limit = SWEEP_AGE_S + SWEEP_PERIOD_S + 15
    if a.seconds >= 420:
        check("old clips swept", oldest <= limit and log.sweeps > 0,
              "%d files in the clip folders at the end, the oldest %.0f s old (limit %d s); %d files removed "
              "by the sweep" % (len(r["clips"]), oldest, limit, log.sweeps))
    else:
        check("old clips swept", None, "run too short to see the 300 s sweep (%d files, the oldest %.0f s old)"
              % (len(r["clips"]), oldest))
    check("stop", r["code"] == 0 and r["stop_seconds"] <= STOP_LIMIT_S,
          "GET /exit: status %s after %.2f s (limit %.0f s)" % (r["code"], r["stop_seconds"], STOP_LIMIT_S))
    return checks


def status(c):
    return {True: "ok         ", False: "FAIL       ", None: "not checked"}[c["ok"]]


def write_outputs(a, r, checks):
    samples = r["samples"]
    with open(os.path.join(a.out, "samples.csv"), "w", newline="") as f:
        writer = csv.DictWriter(f, fieldnames=list(samples[0].keys()))
        writer.writeheader()
        writer.writerows(samples)
    summary = {"seconds": a.seconds, "warmup": a.warmup, "sources": a.sources, "checks": checks,
               "errors_logged": len(r["log"].errors), "first_errors": r["log"].errors[:10]}
    with open(os.path.join(a.out, "summary.json"), "w") as f:
        json.dump(summary, f, indent=2)
    print("\n| t (s) | RSS (MB) | threads | fds | live frames | reports | sink events | skipped | load |")
    print("|---|---|---|---|---|---|---|---|---|")
    for s in samples:
        print("| %(t)d | %(rss_mb).1f | %(threads)d | %(fds)d | %(live_frames)s | %(reports)d | %(sink_events)d "
              "| %(skipped)d | %(load1).1f |" % s)
    print()
    for c in checks:
        print("%-18s %s  %s" % (c["check"], status(c), c["detail"]))
    print("errors logged: %d" % len(r["log"].errors))
    for line in r["log"].errors[:5]:
        print("  " + line)
    if a.plot:
        import plot_soak
        png = os.path.join(a.out, "soak.png")
        plot_soak.plot(os.path.join(a.out, "samples.csv"), png, a.warmup)
        print("plot: " + png)


def main():
    a = parse_args()
    print("soak: %d sources, %d s, measure from %d s, run directory %s, load average %s"
          % (a.sources, a.seconds, a.warmup, a.out, roadrig.loadavg()), flush=True)
    r = run(a)
    checks = evaluate(a, r)
    write_outputs(a, r, checks)
    return 0 if all(c["ok"] is not False for c in checks) else 1


if __name__ == "__main__":
    sys.exit(main())
