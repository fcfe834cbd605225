#!/usr/bin/python3
"""Measures the demo models with OpenCV dnn (as the service runs them) and writes models/models.json.

Figures: detector precision/recall at IoU 0.5 on fresh frames (plates >= 50 px wide), recogniser
exact-read rate on fresh clean and hard crops, both together on the demo video by plate width, and
forward times with 8 threads. Training facts come from the *.train.json files the trainers leave.
"""
import argparse
import json
import os
import time

import cv2
import numpy as np

import synth

HERE = os.path.dirname(os.path.abspath(__file__))
MODELS = os.path.join(HERE, "models")
BUCKETS = [(0, 50), (50, 80), (80, 110), (110, 140), (140, 10000)]


class Models:
    def __init__(self, det_path, rec_path, threads=8):
        cv2.setNumThreads(threads)
        self.det = cv2.dnn.readNetFromONNX(det_path)
        self.rec = cv2.dnn.readNetFromONNX(rec_path)

    def detect(self, frame, conf=0.5):
        x, tr = synth.detector_input(frame)
        self.det.setInput(x)
        return synth.detections(self.det.forward()[0], tr, frame.shape[1], frame.shape[0], conf)

    def probs(self, crop):
        # A (1, H, W) array would reach cv2.dnn as a 1 x H Mat of W channels; (1, 1, H, W) is right.
        self.rec.setInput(synth.prepare_plate(crop)[None, None])
        return self.rec.forward()[0]

    def read(self, crop):
        return synth.ctc_greedy(self.probs(crop))


def forward_ms(net, blob, n=50):
    net.setInput(blob)
    net.forward()
    t = time.perf_counter()
    for _ in range(n):
        net.setInput(blob)
        net.forward()
    return (time.perf_counter() - t) / n * 1000


def detector_figures(m, seed, n):
    rng = np.random.default_rng(seed)
    tp = fp = fn = 0
    for _ in range(n):
        frame, recs = synth.random_frame(rng)
        a, b, c, _ = synth.match_detections(m.detect(frame), recs)
        tp, fp, fn = tp + a, fp + b, fn + c
    return {"frames": n, "seed": seed, "plates_ge_50px": tp + fn, "precision": round(tp / max(1, tp + fp), 4),
            "recall": round(tp / max(1, tp + fn), 4), "confidence_threshold": 0.5, "nms_iou": 0.45}


def recogniser_figures(m, seed, n):
    out = {"seed": seed, "crops": n}
    for kind in ("clean", "hard"):
        rng = np.random.default_rng([seed, kind == "hard"])
        ok = 0
        for _ in range(n):
            crop, text = synth.synth_crop(rng, hard=kind == "hard")
            ok += m.read(crop) == text
        out["exact_" + kind] = round(ok / n, 4)
    return out


def video_figures(m, video, truth):
    by_frame = {}
    for line in open(truth):
        r = json.loads(line)
        by_frame.setdefault(r["frame"], []).append(r)
    cap = cv2.VideoCapture(video)
    stats = {b: {"plates": 0, "detected": 0, "read": 0, "read_from_truth_box": 0} for b in BUCKETS}
    i = 0
    tp = fp = fn = 0
    while True:
        ok, frame = cap.read()
        if not ok:
            break
        recs = by_frame.get(i, [])
        dets = m.detect(frame)
        a, b, c, matched = synth.match_detections(dets, recs)
        tp, fp, fn = tp + a, fp + b, fn + c
        H, W = frame.shape[:2]
        for k, r in enumerate(recs):
            if not r["full"]:
                continue
            s = stats[next(bk for bk in BUCKETS if bk[0] <= r["w"] < bk[1])]
            s["plates"] += 1
            x, y, w, h = synth.expand_plate_box((r["x"], r["y"], r["w"], r["h"]), W, H)
            s["read_from_truth_box"] += m.read(frame[y:y + h, x:x + w]) == r["text"]
            if k in matched:
                s["detected"] += 1
                d = matched[k]
                box = (int(d[0]), int(d[1]), int(d[2]), int(d[3]))
                x, y, w, h = synth.expand_plate_box(box, W, H)
                if w > 0 and h > 0:
                    s["read"] += m.read(frame[y:y + h, x:x + w]) == r["text"]
        i += 1
    table = []
    for (lo, hi), s in stats.items():
        n = max(1, s["plates"])
        table.append({"width_px": "%d-%s" % (lo, hi if hi < 10000 else ""), "plates": s["plates"],
                      "detected": round(s["detected"] / n, 4), "read_end_to_end": round(s["read"] / n, 4),
                      "read_from_truth_box": round(s["read_from_truth_box"] / n, 4)})
    return {"frames": i, "detector_precision_ge_50px": round(tp / max(1, tp + fp), 4),
            "detector_recall_ge_50px": round(tp / max(1, tp + fn), 4), "by_plate_width": table}


def torch_match(kind, state, onnx_path, seed=5):
    """Largest difference between the trained torch model and OpenCV dnn, on real inputs."""
    import torch
    if kind == "detector":
        import train_detector
        model = train_detector.Detector()
    else:
        import train_recognizer
        model = train_recognizer.Recogniser()
    model.load_state_dict(torch.load(state))
    model.eval()
    net = cv2.dnn.readNetFromONNX(onnx_path)
    rng = np.random.default_rng(seed)
    worst = 0.0
    with torch.no_grad():
        for k in range(20):
            if kind == "detector":
                x = synth.detector_input(synth.random_frame(rng)[0])[0]
                blob = x
            else:
                x = synth.prepare_plate(synth.synth_crop(rng, hard=k % 2 == 1)[0])[None]
                blob = x[None]
            net.setInput(blob)
            worst = max(worst, float(np.abs(net.forward() - model(torch.from_numpy(x)).numpy()).max()))
    return worst


def onnx_io(path):
    import onnx
    model = onnx.load(path)
    g = model.graph
    inits = {i.name for i in g.initializer}

    def dims(v):
        return [d.dim_value for d in v.type.tensor_type.shape.dim]
    return {"inputs": {i.name: dims(i) for i in g.input if i.name not in inits},
            "outputs": {o.name: dims(o) for o in g.output}, "opset": model.opset_import[0].version,
            "ops": sorted({n.op_type for n in g.node})}


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--detector", default=os.path.join(MODELS, "plate_detector.onnx"))
    ap.add_argument("--recognizer", default=os.path.join(MODELS, "plate_recognizer.onnx"))
    ap.add_argument("--video", default=os.path.join(HERE, "road.mp4"))
    ap.add_argument("--truth", default=os.path.join(HERE, "road.truth.jsonl"))
    ap.add_argument("--rec-state", help="torch weights of the recogniser, to compare with OpenCV")
    ap.add_argument("--det-state", help="torch weights of the detector, to compare with OpenCV")
    ap.add_argument("--frames", type=int, default=500)
    ap.add_argument("--crops", type=int, default=1000)
    ap.add_argument("--out", default=os.path.join(MODELS, "models.json"))
    a = ap.parse_args()

    m = Models(a.detector, a.recognizer)
    det_ms = forward_ms(m.det, np.zeros((1, 3, synth.DET_SIZE, synth.DET_SIZE), np.float32))
    rec_ms = forward_ms(m.rec, np.zeros((1, 1, synth.REC_H, synth.REC_W), np.float32), 200)
    det = {"file": "demo/models/plate_detector.onnx", "bytes": os.path.getsize(a.detector),
           "io": onnx_io(a.detector), "forward_ms_8_threads": round(det_ms, 2),
           "eval_fresh_frames": detector_figures(m, 9001, a.frames)}
    rec = {"file": "demo/models/plate_recognizer.onnx", "bytes": os.path.getsize(a.recognizer),
           "io": onnx_io(a.recognizer), "forward_ms_8_threads": round(rec_ms, 3),
           "eval_fresh_crops": recogniser_figures(m, 9002, a.crops)}
    if a.rec_state:
        rec["opencv_vs_torch_max_abs_diff"] = torch_match("recognizer", a.rec_state, a.recognizer)
    if a.det_state:
        det["opencv_vs_torch_max_abs_diff"] = torch_match("detector", a.det_state, a.detector)
    # Training facts: from the trainer's side file when there is one, else kept from the last report.
    old = json.load(open(a.out)) if os.path.exists(a.out) else {}
    for key, info, path in (("plate_detector", det, a.detector), ("plate_recognizer", rec, a.recognizer)):
        if os.path.exists(path + ".train.json"):
            info["training"] = json.load(open(path + ".train.json"))
        elif "training" in old.get(key, {}):
            info["training"] = old[key]["training"]
        if "opencv_vs_torch_max_abs_diff" not in info and "opencv_vs_torch_max_abs_diff" in old.get(key, {}):
            info["opencv_vs_torch_max_abs_diff"] = old[key]["opencv_vs_torch_max_abs_diff"]
    out = {"note": "Demo models trained on synthetic plates (demo/synth.py); not for real cameras.",
           "plate_detector": det, "plate_recognizer": rec}
    if os.path.exists(a.video):
        out["demo_video"] = dict({"file": os.path.relpath(a.video, os.path.dirname(HERE))},
                                 **video_figures(m, a.video, a.truth))
    with open(a.out, "w") as f:
        json.dump(out, f, indent=2)
    print(json.dumps(out, indent=2))


if __name__ == "__main__":
    main()
