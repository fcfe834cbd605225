#!/usr/bin/python3
"""Synthetic road scenes and licence plates for the demo and for the model checks.

Everything is drawn with OpenCV primitives from a numpy Generator, so the same seed gives the same
pixels (with the same OpenCV build). The model contracts (detector letterbox, plate-reader crop
expansion and preparation) also live here, so training, evaluation and the checks share one copy.

CLI:
  synth.py frames --n N --seed S --out DIR   frames frame_NNNNN.png + truth.jsonl (one line per plate)
  synth.py crops  --n N --seed S --out DIR   clean plate crops crop_NNNNN.png + crops.jsonl
"""
import argparse
import json
import math
import os

import cv2
import numpy as np

# The plate reader's default plate alphabet: digits and capitals without O, which plates leave out
# because it cannot be told from 0.
ALPHABET = "0123456789ABCDEFGHIJKLMNPQRSTUVWXYZ"
# Recogniser output symbols: the alphabet, then the space as the CTC blank.
CTC_ALPHABET = ALPHABET + " "
FRAME_W, FRAME_H = 640, 360

# Detector input contract.
DET_SIZE = 320
DET_PAD = 114
# Plate-reader contract: crop expansion factors of the plate-reading network and the network input.
EXT_W, EXT_H = 0.1, 0.05
REC_W, REC_H = 128, 32
# Output steps that the plate reader leaves out at the start of a reading.
REC_SKIP = 2

FONTS = [cv2.FONT_HERSHEY_SIMPLEX, cv2.FONT_HERSHEY_DUPLEX, cv2.FONT_HERSHEY_COMPLEX,
         cv2.FONT_HERSHEY_TRIPLEX, cv2.FONT_HERSHEY_PLAIN, cv2.FONT_HERSHEY_COMPLEX_SMALL]
FONT_WEIGHTS = [0.25, 0.25, 0.15, 0.15, 0.1, 0.1]

VEHICLE_COLOURS = [(235, 235, 235), (30, 30, 30), (180, 180, 185), (40, 40, 170), (150, 70, 20),
                   (60, 110, 40), (20, 130, 210), (110, 110, 115), (200, 200, 210), (40, 60, 90),
                   (90, 30, 110), (10, 180, 230)]
# (name, vehicle width / plate width, body height / vehicle width, cabin height / vehicle width)
VEHICLE_KINDS = [("small", 2.4, 0.42, 0.30), ("car", 2.7, 0.40, 0.30), ("van", 3.0, 0.55, 0.35),
                 ("truck", 3.6, 0.75, 0.40)]
SIGN_WORDS = ["STOP", "EXIT", "SPEED", "LIMIT", "BUS", "TAXI", "ONLY", "SLOW", "NO", "PARKING",
              "CITY", "CENTRE", "AIRPORT", "NORTH", "SOUTH", "A7", "M25", "E45", "KEEP", "RIGHT"]


# --------------------------------------------------------------------------------------------
# Model contracts
# --------------------------------------------------------------------------------------------

def round_half_up(v):
    """std::lround for the non-negative values used here (Python's round() rounds half to even)."""
    return int(math.floor(v + 0.5))


def letterbox_params(w, h, size=DET_SIZE):
    s = min(size / w, size / h)
    nw, nh = round_half_up(w * s), round_half_up(h * s)
    return s, nw, nh, (size - nw) // 2, (size - nh) // 2


def letterbox_u8(img_bgr, size=DET_SIZE):
    """Keep-aspect letterbox: RGB uint8 canvas [size, size, 3] and (s, dx, dy)."""
    h, w = img_bgr.shape[:2]
    s, nw, nh, dx, dy = letterbox_params(w, h, size)
    canvas = np.full((size, size, 3), DET_PAD, np.uint8)
    resized = cv2.resize(img_bgr, (nw, nh), interpolation=cv2.INTER_LINEAR)
    canvas[dy:dy + nh, dx:dx + nw] = resized[:, :, ::-1]
    return canvas, (s, dx, dy)


def detector_input(img_bgr, size=DET_SIZE):
    """The detector's input tensor [1, 3, size, size] float32 (RGB, pixel / 255) and (s, dx, dy)."""
    canvas, tr = letterbox_u8(img_bgr, size)
    return (canvas.astype(np.float32) / 255.0).transpose(2, 0, 1)[None].copy(), tr


def detector_boxes_to_frame(rows, tr, frame_w, frame_h):
    """Rows (cx, cy, w, h, ...) in input pixels -> boxes (x, y, w, h) in frame pixels, clipped."""
    s, dx, dy = tr
    out = []
    for r in rows:
        x0 = (r[0] - r[2] / 2 - dx) / s
        y0 = (r[1] - r[3] / 2 - dy) / s
        x1 = (r[0] + r[2] / 2 - dx) / s
        y1 = (r[1] + r[3] / 2 - dy) / s
        x0, y0 = max(0.0, x0), max(0.0, y0)
        x1, y1 = min(float(frame_w), x1), min(float(frame_h), y1)
        out.append((x0, y0, x1 - x0, y1 - y0))
    return out


def detections(rows, tr, frame_w, frame_h, conf=0.5, nms=0.45):
    """Detector output rows [N, 5 + classes] -> [(x, y, w, h, confidence)] in frame pixels after
    confidence = objectness * best class score, threshold and NMS (what the YOLO library does)."""
    rows = np.asarray(rows, np.float32)
    scores = rows[:, 4] * rows[:, 5:].max(axis=1)
    keep = scores >= conf
    rows, scores = rows[keep], scores[keep]
    boxes = detector_boxes_to_frame(rows, tr, frame_w, frame_h)
    if not boxes:
        return []
    idx = cv2.dnn.NMSBoxes([list(map(float, b)) for b in boxes], scores.tolist(), conf, nms)
    return [tuple(boxes[i]) + (float(scores[i]),) for i in np.array(idx).reshape(-1)]


def iou(a, b):
    ix = max(0.0, min(a[0] + a[2], b[0] + b[2]) - max(a[0], b[0]))
    iy = max(0.0, min(a[1] + a[3], b[1] + b[3]) - max(a[1], b[1]))
    inter = ix * iy
    union = a[2] * a[3] + b[2] * b[3] - inter
    return inter / union if union > 0 else 0.0


def match_detections(dets, records, min_w=50, thr=0.5):
    """Greedy IoU matching, best score first. Counts (tp, fp, fn) over plates that are fully visible
    and at least min_w wide; a detection of a smaller or partly hidden plate counts neither way.
    Returns the counts and, per record index, the matched detection."""
    dets = sorted(dets, key=lambda d: -d[4])
    used, tp, fp, matched = set(), 0, 0, {}
    for d in dets:
        best, bi = thr, -1
        for i, r in enumerate(records):
            if i in used:
                continue
            v = iou(d, (r["x"], r["y"], r["w"], r["h"]))
            if v >= best:
                best, bi = v, i
        if bi < 0:
            fp += 1
            continue
        used.add(bi)
        matched[bi] = d
        r = records[bi]
        if r["full"] and r["w"] >= min_w:
            tp += 1
    relevant = sum(1 for r in records if r["full"] and r["w"] >= min_w)
    return tp, fp, relevant - tp, matched


def expand_plate_box(box, img_w, img_h, ext_w=EXT_W, ext_h=EXT_H):
    """The plate-reading network's crop rectangle for a detector box, in single precision."""
    f = np.float32
    left, top, width, height = (f(v) for v in box)
    ew, eh = f(ext_w), f(ext_h)
    x = int(left - width * ew)
    y = int(top - height * eh)
    w = int(width + (f(2) * width) * ew)
    h = int(height + (f(2) * height) * eh)
    x, y = max(x, 0), max(y, 0)
    if x + w >= img_w:
        w = img_w - x
    if y + h >= img_h:
        h = img_h - y
    return x, y, w, h


def prepare_plate(crop_bgr, net_w=REC_W, net_h=REC_H):
    """The plate reader's network input [net_h, net_w] float32 for a crop as it is cut."""
    return normalise_plate(resize_plate(crop_bgr, net_w, net_h))


def resize_plate(crop_bgr, net_w=REC_W, net_h=REC_H):
    """First half of the preparation: grey with code 7 (RGB to grey, applied to the BGR crop as
    it is) and a bilinear resize; 8-bit, so that training pools can be kept small."""
    grey = cv2.cvtColor(crop_bgr, cv2.COLOR_RGB2GRAY)
    return cv2.resize(grey, (net_w, net_h), interpolation=cv2.INTER_LINEAR)


def normalise_plate(grey_u8):
    """Second half: float, min-max to [0, 1] in double precision; an all-equal crop gives zeros."""
    lo, hi = float(grey_u8.min()), float(grey_u8.max())
    if hi <= lo:
        return np.zeros(grey_u8.shape, np.float32)
    return ((grey_u8.astype(np.float64) - lo) / (hi - lo)).astype(np.float32)


def ctc_greedy(probs, skip=REC_SKIP):
    """Greedy reading of [T, C] scores from step `skip` on, the space (last symbol) as the blank."""
    best = probs[skip:].argmax(axis=1)
    out, prev = [], -1
    for k in best:
        if k != len(CTC_ALPHABET) - 1 and k != prev:
            out.append(CTC_ALPHABET[k])
        prev = k
    return "".join(out)


# --------------------------------------------------------------------------------------------
# Plates
# --------------------------------------------------------------------------------------------

def random_text(rng):
    n = int(rng.integers(5, 9))
    return "".join(ALPHABET[i] for i in rng.integers(0, len(ALPHABET), n))


def random_plate_style(rng):
    yellow = rng.random() < 0.35
    if yellow:
        bg = (int(rng.integers(0, 40)), int(rng.integers(190, 225)), int(rng.integers(225, 256)))
    else:
        v = int(rng.integers(215, 256))
        bg = (v, v, v - int(rng.integers(0, 12)))
    ink = (int(rng.integers(0, 50)),) * 3 if rng.random() < 0.8 else (
        int(rng.integers(90, 140)), int(rng.integers(20, 50)), int(rng.integers(0, 30)))
    return {
        "bg": bg,
        "ink": ink,
        "font": int(rng.choice(FONTS, p=FONT_WEIGHTS)),
        "italic": rng.random() < 0.1,
        "border": int(rng.choice([0, 0, 2, 3, 5])),
        "strip": rng.random() < 0.2,
        "aspect": float(rng.uniform(3.2, 5.0)),
        "spacing": float(rng.uniform(0.0, 0.25)) if rng.random() < 0.4 else 0.0,
        "height_frac": float(rng.uniform(0.55, 0.72)),
        "screws": rng.random() < 0.3,
    }


def render_plate(rng, text, style=None, height=64):
    """A flat plate image (BGR uint8, `height` rows, width from the style's aspect)."""
    st = style or random_plate_style(rng)
    font = st["font"] | (cv2.FONT_ITALIC if st["italic"] else 0)
    thick = max(2, round_half_up(height / 16)) + (2 if st["font"] in (cv2.FONT_HERSHEY_PLAIN,) else 0)
    width = int(height * st["aspect"])
    img = np.empty((height, width, 3), np.uint8)
    img[:] = st["bg"]
    left = 0
    if st["strip"]:
        sw = int(width * 0.09)
        img[:, :sw] = (150, 40, 0)
        cv2.circle(img, (sw // 2, height // 3), max(2, height // 10), (0, 200, 230), -1, cv2.LINE_AA)
        left = sw
    # Glyph sizes at scale 1, then scale to the wanted height and to what fits in the width.
    sizes = [cv2.getTextSize(c, font, 1.0, thick)[0] for c in text]
    glyph_h = max(s[1] for s in sizes)
    gap = st["spacing"] * glyph_h
    raw_w = sum(s[0] for s in sizes) + gap * (len(text) - 1)
    margin = 0.07 * width
    scale = min(st["height_frac"] * height / glyph_h, (width - left - 2 * margin) / raw_w)
    scale = max(scale, 0.2)
    total_w = raw_w * scale
    x = left + (width - left - total_w) / 2
    base_y = int(height / 2 + glyph_h * scale / 2)
    for c, (cw, _) in zip(text, sizes):
        cv2.putText(img, c, (int(x), base_y), font, scale, st["ink"], thick, cv2.LINE_AA)
        x += (cw + gap) * scale
    if st["border"]:
        b = st["border"]
        cv2.rectangle(img, (b // 2 + 1, b // 2 + 1), (width - b // 2 - 2, height - b // 2 - 2),
                      st["ink"], b)
    if st["screws"]:
        for sx in (0.2, 0.8):
            cv2.circle(img, (int(width * sx), height // 8 + 2), max(1, height // 20), (120, 120, 120), -1)
    return img


def warp_plate_into(dst, plate, quad):
    """Draw `plate` onto `dst` so that its corners land on `quad` (4x2, tl tr br bl), antialiased."""
    x0, y0 = np.floor(quad.min(axis=0)).astype(int)
    x1, y1 = np.ceil(quad.max(axis=0)).astype(int) + 1
    H, W = dst.shape[:2]
    cx0, cy0, cx1, cy1 = max(x0, 0), max(y0, 0), min(x1, W), min(y1, H)
    if cx1 <= cx0 or cy1 <= cy0:
        return
    # Downscale first so that the warp does not alias small plates.
    target_w = max(2, int(np.linalg.norm(quad[1] - quad[0])))
    if target_w < plate.shape[1]:
        th = max(2, int(round(plate.shape[0] * target_w / plate.shape[1])))
        plate = cv2.resize(plate, (target_w, th), interpolation=cv2.INTER_AREA)
    ph, pw = plate.shape[:2]
    src = np.float32([[0, 0], [pw, 0], [pw, ph], [0, ph]])
    m = cv2.getPerspectiveTransform(src, (quad - [cx0, cy0]).astype(np.float32))
    size = (cx1 - cx0, cy1 - cy0)
    warped = cv2.warpPerspective(plate, m, size, flags=cv2.INTER_LINEAR, borderMode=cv2.BORDER_REPLICATE)
    mask = cv2.warpPerspective(np.full((ph, pw), 255, np.uint8), m, size, flags=cv2.INTER_LINEAR)
    a = (mask.astype(np.float32) / 255.0)[:, :, None]
    roi = dst[cy0:cy1, cx0:cx1]
    roi[:] = (warped * a + roi * (1 - a)).astype(np.uint8)


def plate_quad(rng, cx, cy, w, h, tilt=0.03, persp=0.04):
    """Corners of a plate of size w x h centred at (cx, cy) with a small rotation and perspective."""
    ang = rng.normal(0, tilt)
    c, s = math.cos(ang), math.sin(ang)
    pts = np.array([[-w / 2, -h / 2], [w / 2, -h / 2], [w / 2, h / 2], [-w / 2, h / 2]])
    pts = pts @ np.array([[c, s], [-s, c]])
    pts += rng.normal(0, persp, (4, 2)) * [w * 0.25, h]
    return pts + [cx, cy]


def quad_box(quad):
    x0, y0 = np.floor(quad.min(axis=0))
    x1, y1 = np.ceil(quad.max(axis=0))
    return int(x0), int(y0), int(x1 - x0), int(y1 - y0)


# --------------------------------------------------------------------------------------------
# Scenes
# --------------------------------------------------------------------------------------------

class Scene:
    """A fixed camera view: sky, roadside, road with lanes, signs and road markings."""

    def __init__(self, rng, w=FRAME_W, h=FRAME_H, lanes=None, lane_w=None, road_offset=None):
        self.w, self.h = w, h
        self.horizon = int(rng.uniform(0.12, 0.25) * h)
        self.crest = self.horizon + int(rng.uniform(0.12, 0.2) * h)
        self.vx = w / 2 + rng.uniform(-0.1, 0.1) * w
        self.lanes = int(rng.integers(2, 4))
        self.lane_w_bottom = rng.uniform(0.5, 0.75) * w
        self.road_offset = rng.uniform(-0.2, 0.2) * w
        # Fixed geometry for a given view (the random draws above still happen, so that the rest of
        # a seeded scene stays as it was).
        self.lanes = lanes or self.lanes
        self.lane_w_bottom = lane_w * w if lane_w else self.lane_w_bottom
        self.road_offset = road_offset * w if road_offset is not None else self.road_offset
        self.bg = self._draw_background(rng)

    def depth(self, y):
        return (y - self.horizon) / (self.h - self.horizon)

    def lane_x(self, lane, y):
        """x of a lane's centre at image row y."""
        off = self.road_offset + (lane - (self.lanes - 1) / 2) * self.lane_w_bottom
        return self.vx + off * self.depth(y)

    def _draw_background(self, rng):
        w, h, hz = self.w, self.h, self.horizon
        img = np.empty((h, w, 3), np.uint8)
        sky_top = np.array([rng.uniform(150, 230), rng.uniform(120, 200), rng.uniform(90, 160)])
        for y in range(hz):
            img[y] = sky_top * (0.8 + 0.2 * y / max(1, hz))
        ground = np.array([rng.uniform(40, 90), rng.uniform(80, 130), rng.uniform(50, 100)])
        img[hz:] = ground
        # Far buildings / trees on the horizon.
        x = 0
        while x < w:
            bw = int(rng.uniform(20, 80))
            bh = int(rng.uniform(5, 0.6 * hz + 6))
            col = tuple(int(v) for v in rng.uniform(50, 160, 3))
            cv2.rectangle(img, (x, hz - bh), (x + bw, hz + 3), col, -1)
            x += bw + int(rng.uniform(0, 30))
        # Road surface.
        asphalt = rng.uniform(70, 120)
        left_b = self.vx + self.road_offset - self.lanes / 2 * self.lane_w_bottom - 20
        right_b = self.vx + self.road_offset + self.lanes / 2 * self.lane_w_bottom + 20
        road = np.array([[self.vx - 2, hz], [self.vx + 2, hz], [right_b, h], [left_b, h]], np.int32)
        cv2.fillPoly(img, [road], (asphalt, asphalt, asphalt + 4))
        tex = rng.normal(0, 6, (h, w)).astype(np.float32)
        tex = cv2.GaussianBlur(tex, (0, 0), 1.2)
        img = np.clip(img + tex[:, :, None], 0, 255).astype(np.uint8)
        # Lane lines, dashed between lanes and solid at the edges.
        for k in range(self.lanes + 1):
            off = self.road_offset + (k - self.lanes / 2) * self.lane_w_bottom
            dashed = 0 < k < self.lanes
            for i in range(0, 40):
                d0, d1 = (i / 40) ** 2, ((i + 1) / 40) ** 2
                if dashed and i % 2:
                    continue
                y0, y1 = hz + d0 * (h - hz), hz + d1 * (h - hz)
                p0 = (int(self.vx + off * d0), int(y0))
                p1 = (int(self.vx + off * d1), int(y1))
                cv2.line(img, p0, p1, (225, 225, 225), max(1, int(8 * d1)), cv2.LINE_AA)
        # Road markings: painted words and arrows in some lanes.
        for lane in range(self.lanes):
            if rng.random() < 0.5:
                y = int(rng.uniform(self.crest + 10, h - 20))
                d = self.depth(y)
                word = str(rng.choice(["BUS", "STOP", "SLOW", "TAXI", "30", "50"]))
                scale = 1.6 * d
                (tw, th), _ = cv2.getTextSize(word, cv2.FONT_HERSHEY_SIMPLEX, scale, 2)
                x = int(self.lane_x(lane, y) - tw / 2)
                mark = np.zeros((th + 8, tw + 4, 3), np.uint8)
                cv2.putText(mark, word, (2, th + 2), cv2.FONT_HERSHEY_SIMPLEX, scale, (230, 230, 230),
                            max(1, int(5 * d)), cv2.LINE_AA)
                mark = cv2.resize(mark, (mark.shape[1], max(2, mark.shape[0] // 2)))
                self._blend_light(img, mark, x, y)
            elif rng.random() < 0.5:
                y = int(rng.uniform(self.crest + 10, h - 10))
                d = self.depth(y)
                x = self.lane_x(lane, y)
                s = 40 * d
                arrow = np.array([[x - s * 0.15, y], [x + s * 0.15, y], [x + s * 0.15, y - s * 0.5],
                                  [x + s * 0.4, y - s * 0.5], [x, y - s], [x - s * 0.4, y - s * 0.5],
                                  [x - s * 0.15, y - s * 0.5]], np.int32)
                cv2.fillPoly(img, [arrow], (220, 220, 220), cv2.LINE_AA)
        # Roadside signs with text (plate-like distractors).
        for _ in range(int(rng.integers(1, 5))):
            self._draw_sign(rng, img)
        return img

    @staticmethod
    def _blend_light(img, mark, x, y):
        h, w = mark.shape[:2]
        y0 = y - h
        if x < 0 or y0 < 0 or x + w > img.shape[1] or y > img.shape[0]:
            return
        roi = img[y0:y, x:x + w]
        np.maximum(roi, mark, out=roi)

    def _draw_sign(self, rng, img):
        w, h = self.w, self.h
        side = rng.choice([-1, 1])
        y_base = rng.uniform(self.crest, h * 0.9)
        d = self.depth(y_base)
        edge = self.vx + self.road_offset + side * (self.lanes / 2 * self.lane_w_bottom + 40) * d
        x = edge + side * rng.uniform(10, 80) * d
        sw, sh = rng.uniform(60, 200) * d, rng.uniform(30, 120) * d
        if sw < 12:
            return
        pole_top = y_base - rng.uniform(80, 200) * d
        cv2.line(img, (int(x), int(y_base)), (int(x), int(pole_top)), (90, 90, 90), max(1, int(5 * d)))
        kind = rng.random()
        if kind < 0.35:
            bg, ink = (130, 60, 10), (240, 240, 240)
        elif kind < 0.6:
            bg, ink = (40, 110, 20), (240, 240, 240)
        elif kind < 0.8:
            bg, ink = (240, 240, 240), (20, 20, 20)
        else:
            bg, ink = (20, 20, 200), (240, 240, 240)
        x0, y0 = int(x - sw / 2), int(pole_top - sh)
        cv2.rectangle(img, (x0, y0), (int(x0 + sw), int(pole_top)), bg, -1)
        cv2.rectangle(img, (x0, y0), (int(x0 + sw), int(pole_top)), ink, max(1, int(3 * d)))
        lines = int(rng.integers(1, 3))
        for i in range(lines):
            if rng.random() < 0.5:
                word = str(rng.choice(SIGN_WORDS))
            else:
                word = random_text(rng)[: int(rng.integers(2, 6))]
            font = int(rng.choice(FONTS[:4]))
            (tw, th), _ = cv2.getTextSize(word, font, 1.0, 2)
            scale = min((sw - 8) / tw, (sh / lines - 6) / th)
            if scale < 0.15:
                continue
            ty = int(y0 + (i + 0.5) * sh / lines + th * scale / 2)
            cv2.putText(img, word, (int(x0 + (sw - tw * scale) / 2), ty), font, scale, ink,
                        max(1, int(2 * scale)), cv2.LINE_AA)


class Vehicle:
    """One vehicle with its plate; `u` is the plate width in pixels at the current position."""

    def __init__(self, rng, text=None, front=True):
        self.kind = VEHICLE_KINDS[int(rng.choice(len(VEHICLE_KINDS), p=[0.25, 0.4, 0.2, 0.15]))]
        self.colour = tuple(int(max(0, min(255, c + rng.normal(0, 10))))
                            for c in VEHICLE_COLOURS[int(rng.integers(len(VEHICLE_COLOURS)))])
        self.front = front
        self.text = text or random_text(rng)
        self.plate = render_plate(rng, self.text)
        self.plate_y = rng.uniform(0.55, 0.75)  # plate centre as a fraction of the body height
        self.quad_seed = int(rng.integers(1 << 30))
        self.tilt = rng.normal(0, 0.02)

    def draw(self, img, cx, bottom, u):
        """Draw at bottom-centre (cx, bottom) with plate width u; returns the plate quad."""
        _, wr, bh_r, ch_r = self.kind
        vw = u * wr
        bh, ch = vw * bh_r, vw * ch_r
        body_top = bottom - bh
        x0, x1 = cx - vw / 2, cx + vw / 2
        dark = tuple(int(c * 0.55) for c in self.colour)
        # Shadow on the road.
        cv2.ellipse(img, (int(cx), int(bottom)), (int(vw * 0.55), max(1, int(vw * 0.06))), 0, 0, 360,
                    (35, 35, 35), -1, cv2.LINE_AA)
        # Wheels.
        ww, wh = vw * 0.14, bh * 0.25
        for wx in (x0 + vw * 0.04, x1 - vw * 0.04 - ww):
            cv2.rectangle(img, (int(wx), int(bottom - wh)), (int(wx + ww), int(bottom)), (20, 20, 20), -1)
        # Cabin (trapezoid) with a windscreen.
        cab = np.array([[x0 + vw * 0.08, body_top + 2], [x1 - vw * 0.08, body_top + 2],
                        [x1 - vw * 0.2, body_top - ch], [x0 + vw * 0.2, body_top - ch]], np.int32)
        if self.kind[0] == "truck":
            cab = np.array([[x0 + vw * 0.03, body_top + 2], [x1 - vw * 0.03, body_top + 2],
                            [x1 - vw * 0.05, body_top - ch], [x0 + vw * 0.05, body_top - ch]], np.int32)
        cv2.fillPoly(img, [cab], self.colour, cv2.LINE_AA)
        glass = np.array([[x0 + vw * 0.14, body_top - ch * 0.08], [x1 - vw * 0.14, body_top - ch * 0.08],
                          [x1 - vw * 0.24, body_top - ch * 0.85], [x0 + vw * 0.24, body_top - ch * 0.85]],
                         np.int32)
        if self.kind[0] == "truck":
            glass = np.array([[x0 + vw * 0.08, body_top - ch * 0.15], [x1 - vw * 0.08, body_top - ch * 0.15],
                              [x1 - vw * 0.09, body_top - ch * 0.8], [x0 + vw * 0.09, body_top - ch * 0.8]],
                             np.int32)
        cv2.fillPoly(img, [glass], (70, 55, 45), cv2.LINE_AA)
        # Body.
        chamfer = vw * 0.05
        body = np.array([[x0 + chamfer, body_top], [x1 - chamfer, body_top], [x1, body_top + chamfer],
                         [x1, bottom - wh * 0.6], [x0, bottom - wh * 0.6], [x0, body_top + chamfer]], np.int32)
        cv2.fillPoly(img, [body], self.colour, cv2.LINE_AA)
        cv2.polylines(img, [body], True, dark, max(1, int(vw / 150)), cv2.LINE_AA)
        # Lights and grille.
        lw, lh = vw * 0.16, bh * 0.13
        light = (200, 240, 250) if self.front else (30, 30, 200)
        for lx in (x0 + vw * 0.05, x1 - vw * 0.05 - lw):
            cv2.rectangle(img, (int(lx), int(body_top + bh * 0.12)), (int(lx + lw), int(body_top + bh * 0.12 + lh)),
                          light, -1, cv2.LINE_AA)
        if self.front:
            cv2.rectangle(img, (int(cx - vw * 0.22), int(body_top + bh * 0.12)),
                          (int(cx + vw * 0.22), int(body_top + bh * 0.3)), dark, -1, cv2.LINE_AA)
        # Bumper.
        cv2.rectangle(img, (int(x0), int(bottom - wh * 0.6 - bh * 0.12)), (int(x1), int(bottom - wh * 0.6)),
                      (int(dark[0] * 0.8) + 30,) * 3, -1)
        # Plate.
        ph = u * self.plate.shape[0] / self.plate.shape[1]
        pcy = body_top + bh * self.plate_y
        prng = np.random.default_rng(self.quad_seed)
        quad = plate_quad(prng, cx, pcy, u, ph, tilt=0.0, persp=0.03)
        c, s = math.cos(self.tilt), math.sin(self.tilt)
        quad = (quad - [cx, pcy]) @ np.array([[c, s], [-s, c]]) + [cx, pcy]
        warp_plate_into(img, self.plate, quad)
        return quad, (int(x0), int(body_top - ch), int(x1), int(bottom))


def finish_frame(rng, img, noise=None, blur=None):
    """Camera effects: optional blur, brightness change and sensor noise."""
    if blur is None:
        blur = rng.random() < 0.3
    if blur:
        img = cv2.GaussianBlur(img, (0, 0), rng.uniform(0.4, 1.0))
    sigma = rng.uniform(1.0, 5.0) if noise is None else noise
    gain = rng.uniform(0.8, 1.15)
    f = img.astype(np.float32) * gain + rng.uniform(-15, 15)
    if sigma > 0:
        f += rng.standard_normal(img.shape, dtype=np.float32) * sigma
    return np.clip(f, 0, 255).astype(np.uint8)


def plate_record(quad, occluders, w, h, text):
    """Ground truth of one drawn plate: its box, text, the share of it not covered by the boxes of
    nearer vehicles ("visible", about) and whether it is fully visible ("full")."""
    x, y, bw, bh = quad_box(quad)
    inside = x >= 0 and y >= 0 and x + bw <= w and y + bh <= h
    covered = np.zeros((max(1, bh), max(1, bw)), bool)
    for o in occluders:
        covered[max(0, o[1] - y):max(0, o[3] - y), max(0, o[0] - x):max(0, o[2] - x)] = True
    hidden = bool(covered.any())
    return {"x": x, "y": y, "w": bw, "h": bh, "text": text, "full": bool(inside and not hidden),
            "visible": round(1.0 - float(covered.mean()), 2)}


def draw_vehicles(img, scene, placed, near_depth=None):
    """Draw (vehicle, cx, bottom, u) far to near; returns plate records in the order of `placed`.
    The crest of the road hides what is above it; vehicles nearer than `near_depth` (when given)
    are drawn after that, in front of the crest."""
    order = sorted(range(len(placed)), key=lambda k: placed[k][2])
    drawn = []
    crest_done = False
    for k in order:
        v, cx, bottom, u = placed[k]
        if near_depth is not None and not crest_done and scene.depth(bottom) > near_depth:
            img[:scene.crest] = scene.bg[:scene.crest]
            crest_done = True
        quad, bbox = v.draw(img, cx, bottom, u)
        drawn.append((k, v, quad, bbox, crest_done))
    if not crest_done:
        img[:scene.crest] = scene.bg[:scene.crest]
    records = [None] * len(placed)
    for i, (k, v, quad, _, in_front) in enumerate(drawn):
        nearer = [d[3] for d in drawn[i + 1:]]
        rec = plate_record(quad, nearer, scene.w, scene.h, v.text)
        if rec["y"] < scene.crest and not in_front:
            rec["full"] = False
        records[k] = rec
    return records


def random_frame(rng, scene=None):
    """One random road frame (BGR) with its plate records; a fresh scene unless one is given."""
    scene = scene or Scene(rng)
    img = scene.bg.copy()
    placed = []
    want = int(rng.integers(1, 6))
    for _ in range(3 * want):
        if len(placed) == want:
            break
        u = float(np.exp(rng.uniform(np.log(18), np.log(170))))
        # Perspective: bigger plates are nearer the bottom, with some freedom; never behind the crest.
        d = np.clip(u / 150 * rng.uniform(0.85, 1.15), 0.05, 1.25)
        bottom = max(scene.horizon + d * (scene.h - scene.horizon), scene.crest + 1.3 * u)
        lane = int(rng.integers(scene.lanes))
        cx = scene.lane_x(lane, bottom) + rng.normal(0, 0.1) * scene.lane_w_bottom * d
        if rng.random() < 0.9:
            cx = float(np.clip(cx, u / 2 + 2, scene.w - u / 2 - 2))
        if any(abs(cx - p[1]) < (u + p[3]) * 1.6 and abs(bottom - p[2]) < (u + p[3]) * 1.2 for p in placed):
            continue
        placed.append((Vehicle(rng, front=rng.random() < 0.6), cx, bottom, u))
    records = draw_vehicles(img, scene, placed)
    return finish_frame(rng, img), records


# --------------------------------------------------------------------------------------------
# Plate crops for the recogniser
# --------------------------------------------------------------------------------------------

def crop_context(rng, cw, ch):
    """Vehicle-body-like surroundings of a plate."""
    col = np.array(VEHICLE_COLOURS[int(rng.integers(len(VEHICLE_COLOURS)))], np.float32)
    img = np.empty((ch, cw, 3), np.float32)
    grad = np.linspace(rng.uniform(0.7, 1.0), rng.uniform(0.7, 1.1), ch, dtype=np.float32)[:, None, None]
    img[:] = col * grad
    if rng.random() < 0.5:
        y = int(rng.uniform(0, ch))
        img[y:y + max(1, ch // 8)] *= 0.5
    return np.clip(img, 0, 255).astype(np.uint8)


def jitter_box(rng, box, sx, sy):
    """A detector-like box: each edge moved by normal noise scaled by the box size."""
    x, y, w, h = box
    e = rng.normal(0, 1, 4)
    x0, x1 = x + e[0] * sx * w, x + w + e[1] * sx * w
    y0, y1 = y + e[2] * sy * h, y + h + e[3] * sy * h
    return int(round(x0)), int(round(y0)), max(2, int(round(x1 - x0))), max(2, int(round(y1 - y0)))


def synth_crop(rng, text=None, hard=False):
    """A plate crop as the plate-reading network cuts it (BGR uint8) and its text."""
    text = text or random_text(rng)
    plate = render_plate(rng, text)
    u = float(rng.uniform(40, 130) if hard else rng.uniform(80, 170))
    ph = u * plate.shape[0] / plate.shape[1]
    cw, chh = int(u * 1.8) + 8, int(ph * 2.2) + 8
    img = crop_context(rng, cw, chh)
    quad = plate_quad(rng, cw / 2, chh / 2, u, ph, tilt=0.05 if hard else 0.02, persp=0.05 if hard else 0.02)
    warp_plate_into(img, plate, quad)
    if hard:
        img = hard_effects(rng, img)
    else:
        img = finish_frame(rng, img, noise=rng.uniform(0, 2), blur=rng.random() < 0.3)
    box = quad_box(quad)
    box = jitter_box(rng, box, 0.04 if hard else 0.02, 0.08 if hard else 0.04)
    x, y, w, h = expand_plate_box(box, img.shape[1], img.shape[0])
    return img[y:y + h, x:x + w], text


def hard_effects(rng, img):
    h, w = img.shape[:2]
    if rng.random() < 0.5:  # low resolution, seen through a far camera
        f = rng.uniform(0.35, 0.8)
        small = cv2.resize(img, (max(4, int(w * f)), max(4, int(h * f))), interpolation=cv2.INTER_AREA)
        img = cv2.resize(small, (w, h), interpolation=cv2.INTER_LINEAR)
    if rng.random() < 0.5:
        img = cv2.GaussianBlur(img, (0, 0), rng.uniform(0.5, 1.6))
    if rng.random() < 0.3:  # horizontal motion blur
        k = int(rng.integers(3, 7))
        img = cv2.filter2D(img, -1, np.full((1, k), 1.0 / k, np.float32))
    f = img.astype(np.float32)
    if rng.random() < 0.4:  # shadow across the plate
        ramp = np.linspace(rng.uniform(0.4, 1.0), rng.uniform(0.4, 1.0), w, dtype=np.float32)
        f *= ramp[None, :, None]
    f = f * rng.uniform(0.5, 1.2) + rng.uniform(-40, 30)
    f += rng.standard_normal(f.shape, dtype=np.float32) * rng.uniform(2, 12)
    img = np.clip(f, 0, 255).astype(np.uint8)
    if rng.random() < 0.5:
        ok, buf = cv2.imencode(".jpg", img, [cv2.IMWRITE_JPEG_QUALITY, int(rng.integers(15, 60))])
        img = cv2.imdecode(buf, cv2.IMREAD_COLOR)
    return img


def frame_crops(rng, frame, records, min_w=20):
    """Crops cut from a road frame around its fully visible plates, with detector-like boxes."""
    out = []
    H, W = frame.shape[:2]
    for r in records:
        if not r["full"] or r["w"] < min_w:
            continue
        box = jitter_box(rng, (r["x"], r["y"], r["w"], r["h"]), 0.04, 0.08)
        x, y, w, h = expand_plate_box(box, W, H)
        if w < 4 or h < 4:
            continue
        out.append((frame[y:y + h, x:x + w], r["text"]))
    return out


# --------------------------------------------------------------------------------------------
# CLI for the checks
# --------------------------------------------------------------------------------------------

def write_frames(n, seed, out):
    os.makedirs(out, exist_ok=True)
    rng = np.random.default_rng(seed)
    with open(os.path.join(out, "truth.jsonl"), "w") as f:
        for i in range(n):
            frame, records = random_frame(rng)
            name = "frame_%05d.png" % i
            cv2.imwrite(os.path.join(out, name), frame)
            for r in records:
                f.write(json.dumps(dict({"frame": i, "file": name}, **r)) + "\n")


def write_crops(n, seed, out):
    os.makedirs(out, exist_ok=True)
    rng = np.random.default_rng(seed)
    with open(os.path.join(out, "crops.jsonl"), "w") as f:
        for i in range(n):
            crop, text = synth_crop(rng)
            name = "crop_%05d.png" % i
            cv2.imwrite(os.path.join(out, name), crop)
            f.write(json.dumps({"file": name, "text": text}) + "\n")


def main():
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("what", choices=["frames", "crops"])
    ap.add_argument("--n", type=int, default=20)
    ap.add_argument("--seed", type=int, default=1)
    ap.add_argument("--out", required=True)
    a = ap.parse_args()
    (write_frames if a.what == "frames" else write_crops)(a.n, a.seed, a.out)


if __name__ == "__main__":
    main()
