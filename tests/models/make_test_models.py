#!/usr/bin/python3
"""Writes the small hand-weighted models the tests run for real.

Detector ("grid" detector): the input is cut into stride x stride cells; every cell yields one
box per anchor, centred on the cell, anchor-times the cell size. Objectness rises with the cell's
mean brightness, the class follows its colour:
    class 0 "white"   (R, G, B all bright)
    class 1 "magenta" (R and B bright, G dark)
    class 2 "cyan"    (G and B bright, R dark)
so a frame with a white square covering exactly one cell gives one class-0 box on that cell, with a
confidence of about 1, and black cells stay far below any threshold.

Classifier: the mean of each colour channel decides between "red", "green" and "blue".

Usage: make_test_models.py OUTDIR            the test set
       make_test_models.py --bench OUTDIR    a 640x640 detector with a convolutional backbone
                                             (its output equals the grid detector's)
"""
import os
import struct
import sys

import numpy as np
import onnx
from onnx import TensorProto, helper, numpy_helper

OPSET = 12
GAIN = 20.0
DETECTOR_CLASSES = ["white", "magenta", "cyan"]
CLASSIFIER_CLASSES = ["red", "green", "blue"]

# Logit weights over the cell's mean (R, G, B) and their biases; order: objectness, classes.
OBJ_W, OBJ_B = [1 / 3, 1 / 3, 1 / 3], -0.3
CLASS_W = [[1, 1, 0], [1, -1, 0], [-1, 1, 0]]
CLASS_B = [-1.5, -0.5, -0.5]


def head_weights(with_objectness, classes):
    rows, bias = [], []
    if with_objectness:
        rows.append(OBJ_W)
        bias.append(OBJ_B)
    rows += CLASS_W[:classes]
    bias += CLASS_B[:classes]
    w = np.array(rows, dtype=np.float32) * GAIN
    b = np.array(bias, dtype=np.float32) * GAIN
    return w.reshape(len(rows), 3, 1, 1), b


def grid_boxes(width, height, stride, anchors):
    gw, gh = width // stride, height // stride
    boxes = []
    for a in range(anchors):
        size = stride * (2 ** a)
        for r in range(gh):
            for c in range(gw):
                boxes.append([(c + 0.5) * stride, (r + 0.5) * stride, size, size])
    return np.array(boxes, dtype=np.float32).T.reshape(1, 4, -1)  # [1, 4, N]


def save(model, path):
    onnx.checker.check_model(model)
    onnx.save(model, path)


def detector_onnx(path, width, height, stride=16, layout="v5", classes=3, anchors=1, backbone=False):
    gw, gh = width // stride, height // stride
    cells = gw * gh
    k = classes + (1 if layout == "v5" else 0)
    hw, hb = head_weights(layout == "v5", classes)
    inits = [
        numpy_helper.from_array(hw, "head_w"),
        numpy_helper.from_array(hb, "head_b"),
        numpy_helper.from_array(grid_boxes(width, height, stride, anchors), "boxes"),
        numpy_helper.from_array(np.array([1, k, cells], dtype=np.int64), "scores_shape"),
    ]
    nodes = [
        helper.make_node("AveragePool", ["images"], ["cell_mean"], kernel_shape=[stride, stride],
                         strides=[stride, stride]),
        helper.make_node("Conv", ["cell_mean", "head_w", "head_b"], ["logits"], kernel_shape=[1, 1]),
    ]
    logits = "logits"
    if backbone:
        logits = add_backbone(nodes, inits, stride, k)
    nodes += [
        helper.make_node("Sigmoid", [logits], ["scores_map"]),
        helper.make_node("Reshape", ["scores_map", "scores_shape"], ["scores_cells"]),
    ]
    scores = "scores_cells"
    if anchors > 1:
        nodes.append(helper.make_node("Concat", ["scores_cells"] * anchors, ["scores"], axis=2))
        scores = "scores"
    nodes.append(helper.make_node("Concat", ["boxes", scores], ["rows_t"], axis=1))
    if layout == "v5":
        nodes.append(helper.make_node("Transpose", ["rows_t"], ["output"], perm=[0, 2, 1]))
        out_shape = [1, cells * anchors, 4 + k]
    else:
        nodes.append(helper.make_node("Identity", ["rows_t"], ["output"]))
        out_shape = [1, 4 + k, cells * anchors]
    graph = helper.make_graph(
        nodes, "grid_detector",
        [helper.make_tensor_value_info("images", TensorProto.FLOAT, [1, 3, height, width])],
        [helper.make_tensor_value_info("output", TensorProto.FLOAT, out_shape)], inits)
    save(helper.make_model(graph, opset_imports=[helper.make_opsetid("", OPSET)]), path)


def add_backbone(nodes, inits, stride, k):
    """A convolutional backbone of about 2 GMAC at 640x640 whose last layer has zero weights, so the
    detector's output is unchanged while forward costs what a small real detector costs."""
    rng = np.random.default_rng(7)
    plan = [(16, 2), (32, 2), (32, 1), (32, 1), (64, 2), (64, 1), (64, 1), (128, 2), (128, 1), (256, 2), (256, 1)]
    x, c_in, total = "images", 3, 1
    for i, (c_out, s) in enumerate(plan):
        w = rng.normal(0, np.sqrt(2.0 / (9 * c_in)), (c_out, c_in, 3, 3)).astype(np.float32)
        inits += [numpy_helper.from_array(w, f"bb{i}_w"),
                  numpy_helper.from_array(np.zeros(c_out, np.float32), f"bb{i}_b")]
        nodes += [helper.make_node("Conv", [x, f"bb{i}_w", f"bb{i}_b"], [f"bb{i}_c"], kernel_shape=[3, 3],
                                   strides=[s, s], pads=[1, 1, 1, 1]),
                  helper.make_node("Relu", [f"bb{i}_c"], [f"bb{i}"])]
        x, c_in, total = f"bb{i}", c_out, total * s
    if total != stride:
        raise SystemExit(f"backbone stride {total} differs from the detector stride {stride}")
    inits += [numpy_helper.from_array(np.zeros((k, c_in, 1, 1), np.float32), "bb_out_w"),
              numpy_helper.from_array(np.zeros(k, np.float32), "bb_out_b")]
    nodes += [helper.make_node("Conv", [x, "bb_out_w", "bb_out_b"], ["bb_out"], kernel_shape=[1, 1]),
              helper.make_node("Add", ["logits", "bb_out"], ["logits_sum"])]
    return "logits_sum"


def darknet_weights(path, layers):
    """layers: list of (biases, weights) of convolutional layers without batch normalisation."""
    with open(path, "wb") as f:
        f.write(struct.pack("<iiiQ", 0, 2, 0, 0))  # major, minor, revision, images seen
        for b, w in layers:
            f.write(np.asarray(b, np.float32).tobytes())
            f.write(np.asarray(w, np.float32).tobytes())


def detector_darknet(cfg_path, weights_path, size, stride, classes=3):
    filters = 5 + classes
    # Darknet has no strided average pooling; a stride x stride convolution with weights 1/(s*s)
    # per channel computes the cell means.
    cfg = f"""[net]
width={size}
height={size}
channels=3

[convolutional]
filters=3
size={stride}
stride={stride}
pad=0
activation=linear

[convolutional]
filters={filters}
size=1
stride=1
pad=0
activation=linear

[yolo]
mask=0
anchors={stride},{stride}
classes={classes}
num=1
"""
    with open(cfg_path, "w") as f:
        f.write(cfg)
    mean_w = np.zeros((3, 3, stride, stride), np.float32)
    for c in range(3):
        mean_w[c, c] = 1.0 / (stride * stride)
    # Darknet's yolo layer: x, y = sigmoid (0 gives the cell centre), w, h = anchor * exp (0 gives
    # the anchor), then objectness and class logits.
    hw, hb = head_weights(True, classes)
    head_w = np.zeros((filters, 3, 1, 1), np.float32)
    head_b = np.zeros(filters, np.float32)
    head_w[4:] = hw
    head_b[4:] = hb
    darknet_weights(weights_path, [(np.zeros(3, np.float32), mean_w), (head_b, head_w)])


def classifier_head():
    w = np.eye(3, dtype=np.float32) * GAIN  # logit of class c = GAIN * mean of channel c (R, G, B)
    b = np.zeros(3, np.float32)
    return w, b


def classifier_onnx(path, size=32):
    w, b = classifier_head()
    inits = [numpy_helper.from_array(w.T.copy(), "fc_w"), numpy_helper.from_array(b, "fc_b")]
    nodes = [
        helper.make_node("GlobalAveragePool", ["plate"], ["means"]),
        helper.make_node("Flatten", ["means"], ["flat"], axis=1),
        helper.make_node("Gemm", ["flat", "fc_w", "fc_b"], ["logits"]),
        helper.make_node("Softmax", ["logits"], ["probs"], axis=1),
    ]
    graph = helper.make_graph(
        nodes, "channel_classifier",
        [helper.make_tensor_value_info("plate", TensorProto.FLOAT, [1, 3, size, size])],
        [helper.make_tensor_value_info("probs", TensorProto.FLOAT, [1, 3])], inits)
    save(helper.make_model(graph, opset_imports=[helper.make_opsetid("", OPSET)]), path)


def classifier_darknet(cfg_path, weights_path, size=32):
    with open(cfg_path, "w") as f:
        f.write(f"""[net]
width={size}
height={size}
channels=3

[avgpool]

[convolutional]
filters=3
size=1
stride=1
pad=0
activation=linear

[softmax]
groups=1
""")
    w, b = classifier_head()
    darknet_weights(weights_path, [(b, w.reshape(3, 3, 1, 1))])


def write_names(path, names):
    with open(path, "w") as f:
        f.write("\n".join(names) + "\n")


def main(argv):
    if len(argv) == 3 and argv[1] == "--bench":
        out = argv[2]
        os.makedirs(out, exist_ok=True)
        detector_onnx(os.path.join(out, "bench_detector_640.onnx"), 640, 640, stride=32, anchors=3, backbone=True)
        write_names(os.path.join(out, "bench_detector.names"), DETECTOR_CLASSES)
        return 0
    if len(argv) != 2:
        print(__doc__, file=sys.stderr)
        return 2
    out = argv[1]
    os.makedirs(out, exist_ok=True)
    p = lambda name: os.path.join(out, name)
    detector_onnx(p("grid_v5_64.onnx"), 64, 64)
    detector_onnx(p("grid_v8_64.onnx"), 64, 64, layout="v8")
    detector_onnx(p("grid_v5_96x64.onnx"), 96, 64)
    detector_onnx(p("grid_v5_64_a2.onnx"), 64, 64, anchors=2)
    detector_darknet(p("grid_64.cfg"), p("grid_64.weights"), 64, 16)
    write_names(p("grid.names"), DETECTOR_CLASSES)
    classifier_onnx(p("channels_32.onnx"))
    classifier_darknet(p("channels_32.cfg"), p("channels_32.weights"))
    write_names(p("channels.names"), CLASSIFIER_CLASSES)
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
