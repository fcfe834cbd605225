#!/usr/bin/python3
"""Writes the train scene that the train end-to-end test runs through qo_core.

Detector "train_grid.onnx": the grid detector of tests/models/make_test_models.py (objectness from
the cell's brightness, class from its colour: 0 white, 1 magenta, 2 cyan) with cells of one plate's
size, 256 x 24, over a 1536 x 144 input: every box is one cell. So a plate drawn on a cell gives a
class-0 box that is exactly the plate, and a magenta cell an open door (class 1).

Plate: drawn as tests/models/make_plate_model.py draws its templates (16 x 24 cells, text from
cell 2, one character every second cell), so the generated plate recogniser reads it exactly.

Video "train.mp4", 25 fps, 1536 x 144, lossless: the plate moves toward smaller x one cell every
3 frames (never 4 frames in one place, which would count as standing), then stands in the first
column for 40 frames; an open door (magenta cell) appears below it after 10 of those; then plate
and door are gone for 60 frames.

"train_scene.json" tells the test what was drawn.

Usage: make_train_scene.py OUTDIR
"""
import json
import os
import subprocess
import sys

import numpy as np
import onnx
from onnx import TensorProto, helper, numpy_helper

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "..", "models"))
import make_plate_model  # noqa: E402
import make_test_models  # noqa: E402

CELL_W, CELL_H = 256, 24
WIDTH, HEIGHT = 6 * CELL_W, 6 * CELL_H
FPS = 25
TEXT = "TRN4512"
PLATE_Y = 2 * CELL_H
DOOR = [0, 4 * CELL_H, CELL_W, CELL_H]  # below the standing plate
MOVE_XS = [5 * CELL_W, 4 * CELL_W, 3 * CELL_W, 2 * CELL_W, 1 * CELL_W]
FRAMES_PER_MOVE = 3
STAND_FRAMES = 40
DOOR_AFTER = 10
GONE_FRAMES = 60
MAGENTA = (255, 0, 255)  # BGR


def detector(path):
    gw, gh = WIDTH // CELL_W, HEIGHT // CELL_H
    cells = gw * gh
    classes = len(make_test_models.DETECTOR_CLASSES)
    k = classes + 1
    hw, hb = make_test_models.head_weights(True, classes)
    boxes = np.array([[(c + 0.5) * CELL_W, (r + 0.5) * CELL_H, CELL_W, CELL_H]
                      for r in range(gh) for c in range(gw)], dtype=np.float32).T.reshape(1, 4, -1)
    inits = [
        numpy_helper.from_array(hw, "head_w"),
        numpy_helper.from_array(hb, "head_b"),
        numpy_helper.from_array(boxes, "boxes"),
        numpy_helper.from_array(np.array([1, k, cells], dtype=np.int64), "scores_shape"),
    ]
    nodes = [
        helper.make_node("AveragePool", ["images"], ["cell_mean"], kernel_shape=[CELL_H, CELL_W],
                         strides=[CELL_H, CELL_W]),
        helper.make_node("Conv", ["cell_mean", "head_w", "head_b"], ["logits"], kernel_shape=[1, 1]),
        helper.make_node("Sigmoid", ["logits"], ["scores_map"]),
        helper.make_node("Reshape", ["scores_map", "scores_shape"], ["scores"]),
        helper.make_node("Concat", ["boxes", "scores"], ["rows_t"], axis=1),
        helper.make_node("Transpose", ["rows_t"], ["output"], perm=[0, 2, 1]),
    ]
    graph = helper.make_graph(
        nodes, "train_grid_detector",
        [helper.make_tensor_value_info("images", TensorProto.FLOAT, [1, 3, HEIGHT, WIDTH])],
        [helper.make_tensor_value_info("output", TensorProto.FLOAT, [1, cells, 4 + k])], inits)
    make_test_models.save(helper.make_model(graph, opset_imports=[helper.make_opsetid("", make_test_models.OPSET)]),
                          path)


def plate_image():
    grey = np.ones((make_plate_model.H, make_plate_model.W), np.float32)
    for i, ch in enumerate(TEXT):
        cell = 2 + 2 * i
        grey[:, cell * make_plate_model.CELL_W:(cell + 1) * make_plate_model.CELL_W] = make_plate_model.template(ch)
    grey = (grey * 255).astype(np.uint8)
    return np.repeat(grey[:, :, None], 3, axis=2)


def frames():
    plate = plate_image()

    def frame(plate_x=None, door=False):
        image = np.zeros((HEIGHT, WIDTH, 3), np.uint8)
        if plate_x is not None:
            image[PLATE_Y:PLATE_Y + CELL_H, plate_x:plate_x + CELL_W] = plate
        if door:
            x, y, w, h = DOOR
            image[y:y + h, x:x + w] = MAGENTA
        return image

    for x in MOVE_XS:
        for _ in range(FRAMES_PER_MOVE):
            yield frame(x)
    for i in range(STAND_FRAMES):
        yield frame(0, door=i >= DOOR_AFTER)
    for _ in range(GONE_FRAMES):
        yield frame()


def video(path):
    command = ["ffmpeg", "-v", "error", "-y", "-f", "rawvideo", "-pix_fmt", "bgr24", "-s", f"{WIDTH}x{HEIGHT}",
               "-r", str(FPS), "-i", "-", "-c:v", "libx264", "-qp", "0", "-preset", "veryfast", "-bf", "0",
               "-g", str(FPS), "-pix_fmt", "yuv444p", path]
    with subprocess.Popen(command, stdin=subprocess.PIPE) as encoder:
        for image in frames():
            encoder.stdin.write(image.tobytes())
        encoder.stdin.close()
        if encoder.wait() != 0:
            raise SystemExit("ffmpeg failed")


def main(argv):
    if len(argv) != 2:
        print(__doc__, file=sys.stderr)
        return 2
    out = argv[1]
    os.makedirs(out, exist_ok=True)
    detector(os.path.join(out, "train_grid.onnx"))
    make_test_models.write_names(os.path.join(out, "train_grid.names"), ["plate", "door_open", "door_closed"])
    video(os.path.join(out, "train.mp4"))
    scene = {
        "text": TEXT,
        "size": [WIDTH, HEIGHT],
        "plateStanding": [0, PLATE_Y, CELL_W, CELL_H],
        "door": DOOR,
        "doorColourBGR": list(MAGENTA),
        "frames": len(MOVE_XS) * FRAMES_PER_MOVE + STAND_FRAMES + GONE_FRAMES,
        "fps": FPS,
    }
    with open(os.path.join(out, "train_scene.json"), "w") as f:
        json.dump(scene, f, indent=2)
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
