#!/usr/bin/python3
"""Writes the hand-weighted plate-recogniser models the plate-reader tests run for real.

Geometry: input "Input" [1, 24, 256] grey in [0, 1] (dark ink on a light plate), output "Output"
[1, 16, 36] probabilities over the alphabet "0123456789ABCDEFGHIJKLMNPQRSTUVWXYZ " (space last,
the CTC blank). The width is cut into 16 cells of 16 x 24 pixels; output step t reads cell t only.

Each output class k has a template t_k: its character drawn with cv2.putText (FONT_HERSHEY_SIMPLEX,
scale 0.6, thickness 1, LINE_8, centred in the cell: x = (16 - text width) // 2, baseline
y = (24 + text height) // 2), 1 on the plate and 0 on the ink; the space's template is an empty
cell. The logit of class k is GAIN * (2 x.t_k - |t_k|^2) = GAIN * (|x|^2 - |x - t_k|^2), so a cell
that holds exactly a character's drawing gives that character, ahead of the next class by GAIN
times their pixel difference (at least 5 pixels between any two characters).

The plates the tests draw put the text from cell 2 on (the reader skips the first two steps),
one character every second cell, so repeated characters stay apart for the CTC collapse.

Usage: make_plate_model.py OUTDIR
Writes OUTDIR/plate_reader.onnx, OUTDIR/plate_reader_bench.onnx (the same output, plus a
convolutional backbone that costs about a real recogniser's forward and adds zero), and
OUTDIR/dynamic_input.onnx (a model whose input width is symbolic, which the engine refuses).
"""
import os
import sys

import cv2
import numpy as np
import onnx
from onnx import TensorProto, helper, numpy_helper

OPSET = 12
ALPHABET = "0123456789ABCDEFGHIJKLMNPQRSTUVWXYZ "
CELL_W, H, STEPS = 16, 24, 16
W = CELL_W * STEPS
GAIN = 1.0
FONT, SCALE, THICKNESS = cv2.FONT_HERSHEY_SIMPLEX, 0.6, 1


def template(ch):
    cell = np.full((H, CELL_W), 255, np.uint8)
    if ch != " ":
        (tw, th), _ = cv2.getTextSize(ch, FONT, SCALE, THICKNESS)
        cv2.putText(cell, ch, ((CELL_W - tw) // 2, (H + th) // 2), FONT, SCALE, 0, THICKNESS, cv2.LINE_8)
    return (cell > 127).astype(np.float32)


def head():
    t = np.stack([template(c) for c in ALPHABET])  # [C, H, CELL_W]
    weights = (2 * GAIN * t).reshape(len(ALPHABET), 1, H, CELL_W).astype(np.float32)
    bias = (-GAIN * (t * t).sum(axis=(1, 2))).astype(np.float32)
    return weights, bias


def const(name, array):
    return numpy_helper.from_array(np.asarray(array), name)


def model(backbone_layers=0, input_width=W):
    c = len(ALPHABET)
    weights, bias = head()
    inits = [const("shape4", np.array([1, 1, H, W], np.int64)),
             const("shape3", np.array([1, c, STEPS], np.int64)),
             const("head_w", weights), const("head_b", bias)]
    nodes = [helper.make_node("Reshape", ["Input", "shape4"], ["image"]),
             helper.make_node("Conv", ["image", "head_w", "head_b"], ["logits"],
                              kernel_shape=[H, CELL_W], strides=[1, CELL_W])]
    last = "logits"
    if backbone_layers:
        rng = np.random.default_rng(7)
        channels, feature = 1, "image"
        for i in range(backbone_layers):
            w = (rng.standard_normal((32, channels, 3, 3)) * 0.1).astype(np.float32)
            inits += [const(f"bb{i}_w", w), const(f"bb{i}_b", np.zeros(32, np.float32))]
            nodes += [helper.make_node("Conv", [feature, f"bb{i}_w", f"bb{i}_b"], [f"bb{i}"],
                                       kernel_shape=[3, 3], pads=[1, 1, 1, 1]),
                      helper.make_node("Relu", [f"bb{i}"], [f"bb{i}_r"])]
            channels, feature = 32, f"bb{i}_r"
        inits += [const("zero_w", np.zeros((c, channels, H, CELL_W), np.float32)),
                  const("zero_b", np.zeros(c, np.float32))]
        nodes += [helper.make_node("Conv", [feature, "zero_w", "zero_b"], ["bb_out"],
                                   kernel_shape=[H, CELL_W], strides=[1, CELL_W]),
                  helper.make_node("Add", ["logits", "bb_out"], ["logits_sum"])]
        last = "logits_sum"
    nodes += [helper.make_node("Reshape", [last, "shape3"], ["steps_first"]),
              helper.make_node("Transpose", ["steps_first"], ["steps"], perm=[0, 2, 1]),
              helper.make_node("Softmax", ["steps"], ["Output"], axis=2)]
    width_dim = input_width if input_width else "width"
    graph = helper.make_graph(
        nodes, "plate_reader",
        [helper.make_tensor_value_info("Input", TensorProto.FLOAT, [1, H, width_dim])],
        [helper.make_tensor_value_info("Output", TensorProto.FLOAT, [1, STEPS, c])], inits)
    m = helper.make_model(graph, opset_imports=[helper.make_opsetid("", OPSET)], producer_name="qo_tests")
    m.ir_version = 7
    onnx.checker.check_model(m)
    return m


def main():
    if len(sys.argv) != 2:
        sys.exit(__doc__)
    out = sys.argv[1]
    os.makedirs(out, exist_ok=True)
    onnx.save(model(), os.path.join(out, "plate_reader.onnx"))
    onnx.save(model(backbone_layers=4), os.path.join(out, "plate_reader_bench.onnx"))
    onnx.save(model(input_width=None), os.path.join(out, "dynamic_input.onnx"))


if __name__ == "__main__":
    main()
