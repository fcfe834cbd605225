#!/usr/bin/python3
"""Trains the demo plate recogniser (CTC, CNN only) on synthetic plates and exports it to ONNX.

Input  "Input"  [1, 32, 128] float32: synth.prepare_plate of the crop cut by the plate-reading network.
Output "Output" [1, 32, 36] float32: softmax over synth.CTC_ALPHABET per step (time along the width),
the space last as the CTC blank. The reader decodes from step 2 on, so the loss sees only those steps.

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
C = len(synth.CTC_ALPHABET)
T = 32
BLANK = C - 1


class Recogniser(nn.Module):
    def __init__(self):
        super().__init__()

        def block(i, o):
            return [nn.Conv2d(i, o, 3, padding=1, bias=False), nn.BatchNorm2d(o), nn.ReLU(inplace=True)]

        self.features = nn.Sequential(
            *block(1, 24), nn.MaxPool2d(2),                        # 16 x 64
            *block(24, 48), nn.MaxPool2d(2),                       # 8 x 32
            *block(48, 96), *block(96, 96), nn.MaxPool2d((2, 1)),  # 4 x 32
            *block(96, 144), *block(144, 144), nn.MaxPool2d((2, 1)),  # 2 x 32
            nn.Conv2d(144, 256, (2, 1), bias=False), nn.BatchNorm2d(256), nn.ReLU(inplace=True),  # 1 x 32
            nn.Conv2d(256, C, 1))

    def logits(self, x):
        y = self.features(x.view(-1, 1, synth.REC_H, synth.REC_W))
        return y.view(-1, C, T).transpose(1, 2)  # N, T, C

    def forward(self, x):
        return F.softmax(self.logits(x), dim=2)


# ------------------------------------------------------------------ data

def _chunk(args):
    """One deterministic chunk of the pool: (grey uint8 [n, 32, 128], texts)."""
    seed, k, kind, n = args
    rng = np.random.default_rng([seed, k, {"clean": 0, "hard": 1, "road": 2}[kind]])
    xs, texts = [], []
    scene = None
    while len(xs) < n:
        if kind == "road":
            if scene is None or rng.random() < 0.25:
                scene = synth.Scene(rng)
            frame, recs = synth.random_frame(rng, scene)
            items = synth.frame_crops(rng, frame, recs)
        else:
            items = [synth.synth_crop(rng, hard=kind == "hard")]
        for crop, text in items:
            xs.append(synth.resize_plate(crop))
            texts.append(text)
    return np.stack(xs[:n]), texts[:n]


def make_pool(seed, counts, chunk=1000, procs=8):
    jobs = []
    for kind, n in counts.items():
        jobs += [(seed, k, kind, min(chunk, n - k * chunk)) for k in range((n + chunk - 1) // chunk)]
    with mp.get_context("fork").Pool(procs) as pool:
        parts = pool.map(_chunk, jobs)
    x = np.concatenate([p[0] for p in parts])
    texts = [t for p in parts for t in p[1]]
    return x, texts


def batch_tensors(x_u8, texts):
    x = torch.from_numpy(np.stack([synth.normalise_plate(g) for g in x_u8]))
    labels = torch.tensor([synth.CTC_ALPHABET.index(c) for t in texts for c in t], dtype=torch.long)
    lengths = torch.tensor([len(t) for t in texts], dtype=torch.long)
    return x, labels, lengths


def read_all(model, x_u8, bs=256):
    model.eval()
    out = []
    with torch.no_grad():
        for i in range(0, len(x_u8), bs):
            x = torch.from_numpy(np.stack([synth.normalise_plate(g) for g in x_u8[i:i + bs]]))
            p = model(x).numpy()
            out += [synth.ctc_greedy(q) for q in p]
    return out


def exact_rate(model, x_u8, texts):
    reads = read_all(model, x_u8)
    return float(np.mean([r == t for r, t in zip(reads, texts)]))


# ------------------------------------------------------------------ main

def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--seed", type=int, default=1234)
    ap.add_argument("--steps", type=int, default=3000)
    ap.add_argument("--batch", type=int, default=128)
    ap.add_argument("--threads", type=int, default=4)
    ap.add_argument("--lr", type=float, default=2e-3)
    ap.add_argument("--pool", type=int, default=150000, help="training crops rendered before training")
    ap.add_argument("--out", default=os.path.join(HERE, "models", "plate_recognizer.onnx"))
    a = ap.parse_args()

    torch.set_num_threads(a.threads)
    torch.manual_seed(a.seed)
    np.random.seed(a.seed)
    t0 = time.time()
    third = a.pool // 3
    x_pool, t_pool = make_pool(a.seed, {"clean": third, "hard": third, "road": a.pool - 2 * third}, procs=a.threads)
    x_val, t_val = make_pool(a.seed + 1, {"clean": 1000, "hard": 1000, "road": 1000}, procs=a.threads)
    t_data = time.time() - t0
    print("pool %d crops in %.0f s" % (len(x_pool), t_data), flush=True)

    model = Recogniser()
    opt = torch.optim.AdamW(model.parameters(), lr=a.lr, weight_decay=1e-4)
    sched = torch.optim.lr_scheduler.OneCycleLR(opt, max_lr=a.lr, total_steps=a.steps, pct_start=0.15)
    rng = np.random.default_rng(a.seed)
    order = rng.permutation(len(x_pool))
    pos = 0
    t1 = time.time()
    for step in range(1, a.steps + 1):
        if pos + a.batch > len(order):
            order, pos = rng.permutation(len(x_pool)), 0
        idx = np.sort(order[pos:pos + a.batch])
        pos += a.batch
        x, labels, lengths = batch_tensors(x_pool[idx], [t_pool[i] for i in idx])
        model.train()
        logp = F.log_softmax(model.logits(x), dim=2)[:, synth.REC_SKIP:]  # N, T', C
        in_len = torch.full((len(idx),), logp.shape[1], dtype=torch.long)
        loss = F.ctc_loss(logp.transpose(0, 1), labels, in_len, lengths, blank=BLANK, zero_infinity=True)
        opt.zero_grad()
        loss.backward()
        torch.nn.utils.clip_grad_norm_(model.parameters(), 5.0)
        opt.step()
        sched.step()
        if step % 100 == 0 or step == 1:
            print("step %d loss %.4f  %.2f s/step" % (step, loss.item(), (time.time() - t1) / step), flush=True)
        if step % 500 == 0 or step == a.steps:
            n = 1000
            print("  val exact clean %.3f hard %.3f road %.3f" % (
                exact_rate(model, x_val[:n], t_val[:n]), exact_rate(model, x_val[n:2 * n], t_val[n:2 * n]),
                exact_rate(model, x_val[2 * n:], t_val[2 * n:])), flush=True)
    t_train = time.time() - t1

    model.eval()
    os.makedirs(os.path.dirname(a.out), exist_ok=True)
    dummy = torch.zeros(1, synth.REC_H, synth.REC_W)
    torch.onnx.export(model, dummy, a.out, opset_version=12, input_names=["Input"], output_names=["Output"],
                      do_constant_folding=True)
    torch.save(model.state_dict(), a.out + ".pt")
    info = {
        "script": "demo/train_recognizer.py", "seed": a.seed, "threads": a.threads, "steps": a.steps,
        "batch": a.batch, "lr": a.lr, "pool_crops": len(x_pool), "pool_seconds": round(t_data, 1),
        "training_seconds": round(t_train, 1), "parameters": sum(p.numel() for p in model.parameters()),
        "val_exact": {"clean": exact_rate(model, x_val[:1000], t_val[:1000]),
                      "hard": exact_rate(model, x_val[1000:2000], t_val[1000:2000]),
                      "road": exact_rate(model, x_val[2000:], t_val[2000:])},
        "optimizer": "AdamW, weight decay 1e-4, gradient clip 5",
        "schedule": "OneCycle, max lr %g, 15 percent warm-up, over %d steps" % (a.lr, a.steps),
        "data": "pool of %d crops rendered before training: a third clean synthetic, a third hard synthetic, "
                "a third cut from random road frames with detector-like box jitter and the %g/%g expansion; "
                "prepared as the plate reader does" % (len(x_pool), synth.EXT_W, synth.EXT_H),
        "loss": "CTC over output steps %d..%d (the reader skips the first %d), blank = space (index %d)"
                % (synth.REC_SKIP, T - 1, synth.REC_SKIP, BLANK),
    }
    with open(a.out + ".train.json", "w") as f:
        json.dump(info, f, indent=2)
    print(json.dumps(info, indent=2))


if __name__ == "__main__":
    main()
