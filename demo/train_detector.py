#!/usr/bin/python3
"""Trains the demo single-class plate detector on synthetic road frames and exports it to ONNX.

Input  "Input"  [1, 3, 320, 320] float32: synth.detector_input (keep-aspect letterbox, pad 114, RGB, /255).
Output "Output" [1, 1600, 6] float32: per stride-8 cell cx, cy, w, h in input pixels, objectness and the
class score (both already sigmoided); confidence = objectness * class score, NMS left to the caller.

Needs python3-torch (training only): apt-get install -y --no-install-recommends python3-torch
"""
import argparse
import json
import multiprocessing as mp
import os
import time

import numpy as np
import torch
import torch.nn as nn
import torch.nn.functional as F

import synth

HERE = os.path.dirname(os.path.abspath(__file__))
S = synth.DET_SIZE
STRIDE = 8
G = S // STRIDE
ANCHOR = (32.0, 10.0)  # input pixels; w, h = (2 sigmoid)^2 * anchor, so up to 4x the anchor
MIN_POSITIVE_W = 8.0   # input pixels; smaller plates are neither positives nor negatives


def conv(i, o, stride=1, k=3):
    return [nn.Conv2d(i, o, k, stride, k // 2, bias=False), nn.BatchNorm2d(o), nn.ReLU(inplace=True)]


class Detector(nn.Module):
    def __init__(self):
        super().__init__()
        self.s8 = nn.Sequential(*conv(3, 16, 2), *conv(16, 24, 2), *conv(24, 32, 2), *conv(32, 48))
        self.s16 = nn.Sequential(*conv(48, 64, 2), *conv(64, 96), *conv(96, 96))
        self.up = nn.Upsample(scale_factor=2, mode="nearest")
        self.fuse = nn.Sequential(*conv(144, 48, k=1), *conv(48, 48))
        self.head = nn.Conv2d(48, 6, 1)
        gy, gx = torch.meshgrid(torch.arange(G, dtype=torch.float32), torch.arange(G, dtype=torch.float32),
                                indexing="ij")
        # Full-size constants so that the exported graph needs no broadcasting over channels.
        self.register_buffer("grid", (torch.stack([gx, gy]) - 0.5)[None])
        self.register_buffer("anchor", torch.tensor(ANCHOR).view(1, 2, 1, 1).expand(1, 2, G, G).contiguous())
        with torch.no_grad():
            self.head.bias[4].fill_(-4.0)

    def raw(self, x):
        f8 = self.s8(x)
        f = torch.cat([f8, self.up(self.s16(f8))], 1)
        return self.head(self.fuse(f))  # N, 6, G, G

    def decode(self, raw):
        p = torch.sigmoid(raw)
        xy = (p[:, 0:2] * 2 + self.grid) * STRIDE
        t = p[:, 2:4] * 2
        wh = t * t * self.anchor
        return torch.cat([xy, wh, p[:, 4:6]], 1)

    def forward(self, x):
        return self.decode(self.raw(x)).view(-1, 6, G * G).transpose(1, 2)


# ------------------------------------------------------------------ data

def _chunk(args):
    seed, k, n = args
    rng = np.random.default_rng([seed, k])
    xs, boxes = [], []
    scene = None
    for i in range(n):
        if i % 4 == 0:
            scene = synth.Scene(rng)
        frame, recs = synth.random_frame(rng, scene)
        canvas, (s, dx, dy) = synth.letterbox_u8(frame)
        xs.append(canvas)
        # (x0, y0, x1, y1, positive) in input pixels
        b = [(r["x"] * s + dx, r["y"] * s + dy, (r["x"] + r["w"]) * s + dx, (r["y"] + r["h"]) * s + dy,
              float(r["full"] and r["w"] * s >= MIN_POSITIVE_W)) for r in recs]
        boxes.append(np.array(b, np.float32).reshape(-1, 5))
    return np.stack(xs), boxes


def make_pool(seed, n, chunk=250, procs=8):
    jobs = [(seed, k, min(chunk, n - k * chunk)) for k in range((n + chunk - 1) // chunk)]
    with mp.get_context("fork").Pool(procs) as pool:
        parts = pool.map(_chunk, jobs)
    return np.concatenate([p[0] for p in parts]), [b for p in parts for b in p[1]]


def targets(boxes_list, flips):
    """Per cell: positive mask, ignore mask and target box (x0, y0, x1, y1)."""
    n = len(boxes_list)
    pos = torch.zeros(n, G, G, dtype=torch.bool)
    ign = torch.zeros(n, G, G, dtype=torch.bool)
    tbox = torch.zeros(n, G, G, 4)
    centres = (np.arange(G) + 0.5) * STRIDE
    for b, (boxes, flip) in enumerate(zip(boxes_list, flips)):
        for x0, y0, x1, y1, positive in boxes:
            if flip:
                x0, x1 = S - x1, S - x0
            if not positive:
                xs = np.where((centres >= x0 - 4) & (centres <= x1 + 4))[0]
                ys = np.where((centres >= y0 - 4) & (centres <= y1 + 4))[0]
                if len(xs) and len(ys):
                    ign[b, ys[0]:ys[-1] + 1, xs[0]:xs[-1] + 1] = True
                continue
            gx, gy = (x0 + x1) / 2 / STRIDE, (y0 + y1) / 2 / STRIDE
            i, j = int(gx), int(gy)
            cells = [(j, i), (j, i - 1 if gx - i < 0.5 else i + 1), (j - 1 if gy - j < 0.5 else j + 1, i)]
            for cj, ci in cells:
                if 0 <= ci < G and 0 <= cj < G:
                    pos[b, cj, ci] = True
                    tbox[b, cj, ci] = torch.tensor([x0, y0, x1, y1])
    ign &= ~pos
    return pos, ign, tbox


def giou_loss(p, t):
    """p: (cx, cy, w, h), t: (x0, y0, x1, y1); both [M, 4]."""
    px0, py0 = p[:, 0] - p[:, 2] / 2, p[:, 1] - p[:, 3] / 2
    px1, py1 = p[:, 0] + p[:, 2] / 2, p[:, 1] + p[:, 3] / 2
    iw = (torch.min(px1, t[:, 2]) - torch.max(px0, t[:, 0])).clamp(min=0)
    ih = (torch.min(py1, t[:, 3]) - torch.max(py0, t[:, 1])).clamp(min=0)
    inter = iw * ih
    union = p[:, 2] * p[:, 3] + (t[:, 2] - t[:, 0]) * (t[:, 3] - t[:, 1]) - inter + 1e-6
    cw = torch.max(px1, t[:, 2]) - torch.min(px0, t[:, 0])
    ch = torch.max(py1, t[:, 3]) - torch.min(py0, t[:, 1])
    c = cw * ch + 1e-6
    iou = inter / union
    return (1 - iou + (c - union) / c).mean(), iou.detach()


def detect_frames(model, frames, conf=0.5):
    model.eval()
    out = []
    with torch.no_grad():
        for fr in frames:
            x, tr = synth.detector_input(fr)
            rows = model(torch.from_numpy(x))[0].numpy()
            out.append(synth.detections(rows, tr, fr.shape[1], fr.shape[0], conf))
    return out


def evaluate(model, frames, records, conf=0.5):
    tp = fp = fn = 0
    for dets, recs in zip(detect_frames(model, frames, conf), records):
        a, b, c, _ = synth.match_detections(dets, recs)
        tp, fp, fn = tp + a, fp + b, fn + c
    return tp / max(1, tp + fp), tp / max(1, tp + fn)


def val_frames(seed, n):
    rng = np.random.default_rng([seed, 99])
    frames, recs = [], []
    for i in range(n):
        f, r = synth.random_frame(rng)
        frames.append(f)
        recs.append(r)
    return frames, recs


def opencv_diff(model, onnx_path, frames):
    """Largest difference between torch and OpenCV dnn outputs of the exported file."""
    import cv2
    net = cv2.dnn.readNetFromONNX(onnx_path)
    worst = 0.0
    with torch.no_grad():
        for fr in frames:
            x, _ = synth.detector_input(fr)
            net.setInput(x)
            worst = max(worst, float(np.abs(net.forward() - model(torch.from_numpy(x)).numpy()).max()))
    return worst


# ------------------------------------------------------------------ main

def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--seed", type=int, default=4321)
    ap.add_argument("--steps", type=int, default=4000)
    ap.add_argument("--batch", type=int, default=32)
    ap.add_argument("--threads", type=int, default=4)
    ap.add_argument("--lr", type=float, default=3e-3)
    ap.add_argument("--pool", type=int, default=14000, help="training frames rendered before training")
    ap.add_argument("--out", default=os.path.join(HERE, "models", "plate_detector.onnx"))
    ap.add_argument("--state", help="where to keep the torch weights (default: beside --out, .pt)")
    a = ap.parse_args()

    torch.set_num_threads(a.threads)
    torch.manual_seed(a.seed)
    t0 = time.time()
    x_pool, b_pool = make_pool(a.seed, a.pool, procs=a.threads)
    vf, vr = val_frames(a.seed + 1, 300)
    t_data = time.time() - t0
    print("pool %d frames in %.0f s" % (len(x_pool), t_data), flush=True)

    model = Detector()
    opt = torch.optim.AdamW(model.parameters(), lr=a.lr, weight_decay=5e-4)
    sched = torch.optim.lr_scheduler.OneCycleLR(opt, max_lr=a.lr, total_steps=a.steps, pct_start=0.1)
    rng = np.random.default_rng(a.seed)
    order, pos_i = rng.permutation(len(x_pool)), 0
    t1 = time.time()
    for step in range(1, a.steps + 1):
        if pos_i + a.batch > len(order):
            order, pos_i = rng.permutation(len(x_pool)), 0
        idx = np.sort(order[pos_i:pos_i + a.batch])
        pos_i += a.batch
        flips = rng.random(len(idx)) < 0.5
        imgs = x_pool[idx]
        imgs = np.stack([im[:, ::-1] if f else im for im, f in zip(imgs, flips)])
        x = torch.from_numpy(imgs).permute(0, 3, 1, 2).float() / 255.0
        pos, ign, tbox = targets([b_pool[i] for i in idx], flips)
        model.train()
        raw = model.raw(x)
        dec = model.decode(raw).permute(0, 2, 3, 1)  # N, G, G, 6
        logits = raw.permute(0, 2, 3, 1)
        npos = int(pos.sum())
        if npos:
            lbox, ious = giou_loss(dec[pos][:, :4], tbox[pos])
            lcls = F.binary_cross_entropy_with_logits(logits[pos][:, 5], torch.ones(npos))
        else:
            lbox = lcls = torch.zeros(())
        obj_target = torch.zeros(pos.shape)
        obj_target[pos] = 1.0
        bce = F.binary_cross_entropy_with_logits(logits[..., 4], obj_target, reduction="none")
        weight = (~ign).float() + pos.float() * 9.0
        lobj = (bce * weight).sum() / weight.sum()
        loss = 2.0 * lbox + 4.0 * lobj + 0.5 * lcls
        opt.zero_grad()
        loss.backward()
        torch.nn.utils.clip_grad_norm_(model.parameters(), 10.0)
        opt.step()
        sched.step()
        if step % 100 == 0 or step == 1:
            print("step %d loss %.4f box %.3f obj %.4f cls %.4f  %.2f s/step" % (
                step, loss.item(), float(lbox), float(lobj), float(lcls), (time.time() - t1) / step), flush=True)
        if step % 1000 == 0 or step == a.steps:
            p, r = evaluate(model, vf[:100], vr[:100])
            print("  val P %.3f R %.3f" % (p, r), flush=True)
    t_train = time.time() - t1

    model.eval()
    os.makedirs(os.path.dirname(a.out), exist_ok=True)
    torch.onnx.export(model, torch.zeros(1, 3, S, S), a.out, opset_version=12, input_names=["Input"],
                      output_names=["Output"], do_constant_folding=True)
    torch.save(model.state_dict(), a.state or a.out + ".pt")
    p, r = evaluate(model, vf, vr)
    info = {
        "script": "demo/train_detector.py", "seed": a.seed, "threads": a.threads, "steps": a.steps,
        "batch": a.batch, "lr": a.lr, "pool_frames": len(x_pool), "pool_seconds": round(t_data, 1),
        "training_seconds": round(t_train, 1), "parameters": sum(q.numel() for q in model.parameters()),
        "val_precision": p, "val_recall": r, "opencv_max_abs_diff": opencv_diff(model, a.out, vf[:20]),
        "optimizer": "AdamW, weight decay 5e-4, gradient clip 10",
        "schedule": "OneCycle, max lr %g, 10 percent warm-up, over %d steps" % (a.lr, a.steps),
        "data": "pool of %d random road frames (a new scene every 4 frames), letterboxed by "
                "synth.letterbox_u8; random horizontal flips" % len(x_pool),
        "loss": "GIoU box loss and BCE class score on the centre cell and its two nearest neighbours; BCE "
                "objectness elsewhere, partly hidden or < %g input px plates neither positive nor negative"
                % MIN_POSITIVE_W,
    }
    with open(a.out + ".train.json", "w") as f:
        json.dump(info, f, indent=2)
    print(json.dumps(info, indent=2))


if __name__ == "__main__":
    main()
