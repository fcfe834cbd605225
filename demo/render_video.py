#!/usr/bin/python3
"""Renders the demo road video (640x360, 25 fps, H.264 MP4) and its ground truth, from a seed.

The truth file holds one JSON line per visible plate per frame:
  {"frame": i, "x": .., "y": .., "w": .., "h": .., "text": "..", "full": bool, "track": n}
with the plate box in frame pixels; "full" is false for a plate cut by the frame edge, the crest of
the road or a nearer vehicle (score only "full" plates; count a detection of another one neither way).
"""
import argparse
import json
import os
import subprocess

import numpy as np

import synth

HERE = os.path.dirname(os.path.abspath(__file__))
FPS = 25
U_PER_DEPTH = 135.0  # plate width in pixels of a vehicle whose bottom is on the last image row
D_END = 1.2


class Track:
    def __init__(self, rng, tid, lane, toward, d0):
        self.id = tid
        self.lane = lane
        self.vehicle = synth.Vehicle(rng, front=toward)
        self.toward = toward
        self.d = d0
        self.size = rng.uniform(0.88, 1.12)
        self.speed = rng.uniform(0.011, 0.016)
        self.offset = rng.normal(0, 0.04)

    def step(self):
        # Far plates move on faster, so that most frames show plates 50 to 140 pixels wide.
        boost = 1.0 + 1.8 * max(0.0, 0.4 - self.d) / 0.4
        self.d *= np.exp((1 if self.toward else -1) * self.speed * boost)

    def placement(self, scene):
        bottom = scene.horizon + self.d * (scene.h - scene.horizon)
        cx = scene.lane_x(self.lane, bottom) + self.offset * scene.lane_w_bottom * self.d
        return self.vehicle, cx, bottom, U_PER_DEPTH * self.size * self.d


def render(seed, seconds):
    """Yields (frame BGR, records) for every frame of the video."""
    rng = np.random.default_rng(seed)
    # Two wide lanes, so that vehicles side by side do not cover each other's plates.
    scene = synth.Scene(rng, lanes=2, lane_w=0.8, road_offset=0.0)
    d_crest = scene.depth(scene.crest)
    directions = [True, False]
    next_spawn = [int(rng.integers(0, 40)) for _ in range(scene.lanes)]
    tracks, tid = [], 0
    for i in range(int(seconds * FPS)):
        for lane in range(scene.lanes):
            toward = directions[lane]
            last = [t for t in tracks if t.lane == lane]
            free = not last or (last[-1].d > 2.2 * d_crest if toward else last[-1].d < 0.55)
            if i >= next_spawn[lane] and free:
                tracks.append(Track(rng, tid, lane, toward, d_crest * 1.02 if toward else D_END))
                tid += 1
                next_spawn[lane] = i + int(rng.integers(45, 110))
        img = scene.bg.copy()
        placed = [t.placement(scene) for t in tracks]
        records = synth.draw_vehicles(img, scene, placed, near_depth=1.6 * d_crest)
        for rec, t in zip(records, tracks):
            rec["track"] = t.id
        gain = 1.0 + 0.06 * np.sin(i / 90.0)
        frame = synth.finish_frame(rng, (img * gain).clip(0, 255).astype(np.uint8), noise=2.0, blur=True)
        yield frame, [r for r in records if r["visible"] > 0 and _on_screen(r, scene)]
        for t in tracks:
            t.step()
        tracks = [t for t in tracks if (t.d < D_END + 0.01 if t.toward else t.d > d_crest * 0.95)]


def _on_screen(r, scene):
    return r["w"] > 0 and r["h"] > 0 and r["x"] < scene.w and r["y"] < scene.h and r["x"] + r["w"] > 0 and r["y"] + r["h"] > scene.crest


def main():
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("--seed", type=int, default=2026)
    ap.add_argument("--seconds", type=float, default=60)
    ap.add_argument("--out", default=os.path.join(HERE, "road.mp4"))
    ap.add_argument("--truth", help="default: the video path with .truth.jsonl")
    a = ap.parse_args()
    truth = a.truth or os.path.splitext(a.out)[0] + ".truth.jsonl"
    cmd = ["ffmpeg", "-y", "-loglevel", "error", "-f", "rawvideo", "-pix_fmt", "bgr24",
           "-s", "%dx%d" % (synth.FRAME_W, synth.FRAME_H), "-r", str(FPS), "-i", "-",
           "-c:v", "libx264", "-preset", "veryfast", "-pix_fmt", "yuv420p", "-g", str(FPS), a.out]
    enc = subprocess.Popen(cmd, stdin=subprocess.PIPE)
    with open(truth, "w") as f:
        for i, (frame, records) in enumerate(render(a.seed, a.seconds)):
            enc.stdin.write(frame.tobytes())
            for r in records:
                f.write(json.dumps(dict({"frame": i}, **r)) + "\n")
    enc.stdin.close()
    if enc.wait() != 0:
        raise SystemExit("ffmpeg failed with status %d" % enc.returncode)


if __name__ == "__main__":
    main()
