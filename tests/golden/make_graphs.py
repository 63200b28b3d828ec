#!/usr/bin/env python3
"""Writes the small graph files of the whole-report goldens into tests/golden/graphs/.

Each graph aims at one family of shapes (residual stages, concatenation ladders, depthwise
stacks, attention blocks, broadcasting, heads, reductions, dropout; a decoder with grouped-query
attention, multi-head attention calls, windowed attention and the normalisations around it for
the extended rules) or at handler errors in the middle of a graph, so that together they reach
every node handler of both rule sets and most of its branches.
The output is deterministic: running the script again gives the same bytes. Plain Python 3.

    python3 tests/golden/make_graphs.py   # then rewrite the manifest, see golden_test.cpp
"""

import json
import pathlib

F = "torch.nn.functional."
T = "torch.Tensor."
OUT = pathlib.Path(__file__).resolve().parent / "graphs"


class Graph:
    def __init__(self, model):
        self.model = model
        self.nodes = []
        self.shapes = []

    def _add(self, node, shape):
        node = {"id": len(self.nodes), **node, "shape": shape}
        self.nodes.append(node)
        self.shapes.append(shape)
        return {"node": node["id"]}

    def shape(self, ref):
        return self.shapes[ref["node"]]

    def input(self, name, shape):
        return self._add({"kind": "input", "name": name}, shape)

    def param(self, name, shape):
        return self._add({"kind": "parameter", "name": name}, shape)

    def call(self, name, op, args, kwargs=None, shape=None, op_name=None):
        node = {"kind": "call", "name": name, "op": op}
        if op_name is not None:
            node["op_name"] = op_name
        node["args"] = args
        node["kwargs"] = kwargs or {}
        return self._add(node, shape)

    # Layers, written as an exporter writes them.
    def conv(self, name, x, cout, k=3, groups=1, bias=True, stride=1, op="conv2d"):
        xs = self.shape(x)
        spatial = len(xs) - 2
        transposed = "transpose" in op
        wshape = [xs[1] // groups, cout // groups] if transposed else [cout, xs[1] // groups]
        w = self.param(name + ".weight", wshape + [k] * spatial)
        b = self.param(name + ".bias", [cout]) if bias else None
        pad = k // 2
        out = [xs[0], cout] + [(d + stride - 1) // stride for d in xs[2:]]
        return self.call(name, F + op,
                         [x, w, b, [stride] * spatial, [pad] * spatial, [1] * spatial, groups],
                         shape=out)

    def bn(self, name, x, op=F + "batch_norm"):
        c = self.shape(x)[1]
        ps = [self.param(name + "." + p, [c])
              for p in ("running_mean", "running_var", "weight", "bias")]
        return self.call(name, op, [x] + ps + [False, 0.1, 1e-05], shape=self.shape(x))

    def relu(self, name, x, op=F + "relu"):
        return self.call(name, op, [x], {"inplace": False} if op.startswith(F) else {},
                         shape=self.shape(x))

    def linear(self, name, x, out, bias=True):
        xs = self.shape(x)
        w = self.param(name + ".weight", [out, xs[-1]])
        b = self.param(name + ".bias", [out]) if bias else None
        return self.call(name, F + "linear", [x, w, b], shape=xs[:-1] + [out])

    def cat(self, name, xs, dim=1, as_kwarg=True):
        shapes = [self.shape(x) for x in xs]
        out = list(shapes[0])
        out[dim] = sum(s[dim] for s in shapes)
        if as_kwarg:
            return self.call(name, "torch.cat", [list(xs)], {"dim": dim}, shape=out)
        return self.call(name, "torch.cat", [list(xs), dim], shape=out)

    def write(self, outputs):
        nodes = ",\n".join("    " + json.dumps(n) for n in self.nodes)
        meta = json.dumps({"written_by": "tests/golden/make_graphs.py"})
        text = ('{\n  "format": "zavo.graph",\n  "version": 1,\n'
                f'  "model": {json.dumps(self.model)},\n  "meta": {meta},\n'
                f'  "nodes": [\n{nodes}\n  ],\n'
                f'  "outputs": {json.dumps([o["node"] for o in outputs])}\n}}\n')
        (OUT / (self.model + ".json")).write_text(text)


def residual_stages():
    g = Graph("residual_stages")
    x = g.input("x", [1, 3, 16, 16])
    h = g.relu("stem.relu", g.bn("stem.bn", g.conv("stem", x, 8, bias=False)))
    # Stage 1: add(block, shortcut) with torch.add; stage 2: add(shortcut, block) written as
    # Tensor.__add__; stage 3 downsamples the shortcut and adds in place.
    for i, (op, block_first) in enumerate([("torch.add", True), (T + "__add__", False),
                                           (T + "add_", True)]):
        s = f"stage{i + 1}"
        stride = 2 if i == 2 else 1
        cout = 12 if i == 2 else 8
        y = g.relu(s + ".relu1", g.bn(s + ".bn1", g.conv(s + ".conv1", h, cout, bias=False,
                                                         stride=stride)), op=F + "relu_")
        y = g.bn(s + ".bn2", g.conv(s + ".conv2", y, cout, bias=False))
        sc = h
        if i == 2:
            sc = g.bn(s + ".down.bn", g.conv(s + ".down", h, cout, k=1, bias=False, stride=2))
        args = [y, sc] if block_first else [sc, y]
        h = g.relu(s + ".out", g.call(s + ".add", op, args, shape=g.shape(y)), op="torch.relu")
    p = g.call("pool", F + "adaptive_avg_pool2d", [h, [1, 1]], shape=[1, 12, 1, 1])
    f = g.call("flatten", "torch.flatten", [p, 1], shape=[1, 12])
    g.write([g.linear("fc", f, 5)])


def dense_ladder():
    g = Graph("dense_ladder")
    x = g.input("x", [1, 3, 8, 8])
    feats = [g.conv("stem", x, 4, bias=False)]
    for i in range(4):
        c = feats[0] if len(feats) == 1 else g.cat(f"cat{i}", feats, as_kwarg=i % 2 == 0)
        y = g.conv(f"layer{i}.conv", g.relu(f"layer{i}.relu", g.bn(f"layer{i}.bn", c)), 2 + i,
                   bias=False)
        feats.append(y)
    t = g.cat("transition.cat", feats)
    t = g.conv("transition.conv", g.bn("transition.bn", t), 6, k=1, bias=False)
    t = g.call("transition.pool", F + "avg_pool2d", [t, 2, 2], shape=[1, 6, 4, 4])
    # Concatenations along other dimensions: the batch (channels tie position by position), a
    # dimension counted from the end (never the concatenated one), and a single input.
    b = g.cat("batch.cat", [t, t], dim=0)
    e = g.call("end.cat", "torch.cat", [[t, t], -1], shape=[1, 6, 4, 8])
    one = g.call("single.cat", "torch.cat", [[e]], {"dim": 1}, shape=[1, 6, 4, 8])
    g.write([b, one])


def depthwise_stacks():
    g = Graph("depthwise_stacks")
    x = g.input("x", [1, 4, 8, 8])
    h = g.relu("stem.relu", g.conv("stem", x, 8), op=F + "relu6")
    for i in range(3):
        h = g.conv(f"dw{i}", h, 8, groups=8, bias=i != 1)
        h = g.call(f"dw{i}.act", F + "hardtanh", [h, 0.0, 6.0], shape=g.shape(h))
    h = g.conv("pw", h, 16, k=1)
    h = g.conv("grouped", h, 16, groups=4)  # grouped, not depthwise
    h = g.conv("pw2", h, 8, k=1)
    # A depthwise 1-d stack, a transposed convolution, a 3-d convolution.
    s = g.input("signal", [1, 6, 10])
    d = g.conv("dw1d", s, 6, groups=6, op="conv1d")
    d = g.conv("pw1d", d, 3, k=1, op="conv1d")
    u = g.conv("up", h, 4, k=2, op="conv_transpose2d")
    v = g.input("volume", [1, 2, 4, 4, 4])
    w = g.conv("conv3d", v, 5, op="conv3d")
    g.write([u, d, w])


def attention():
    g = Graph("attention")
    x = g.input("x", [2, 6, 16])
    h = g.linear("embed", x, 16)
    q = g.linear("q", h, 16)
    k = g.linear("k", h, 16)
    v = g.linear("v", h, 16, bias=False)
    qh = g.call("q.view", T + "view", [q, 2, 6, 4, 4], shape=[2, 6, 4, 4])
    qh = g.call("q.transpose", T + "transpose", [qh, 1, 2], shape=[2, 4, 6, 4])
    kt = g.call("k.transpose", "torch.transpose", [k, -2, -1], shape=[2, 16, 6])
    s = g.call("scores", "torch.matmul", [q, kt], shape=[2, 6, 6])
    s = g.call("scale", T + "__truediv__", [s, 4.0], shape=[2, 6, 6])
    a = g.call("softmax", F + "softmax", [s], {"dim": -1}, shape=[2, 6, 6])
    a = g.call("attn.dropout", F + "dropout", [a, 0.1, False, False], shape=[2, 6, 6])
    o = g.call("context", T + "matmul", [a, v], shape=[2, 6, 16])
    o = g.linear("proj", o, 16)
    r = g.call("residual", T + "__radd__", [o, h], shape=[2, 6, 16])
    n = g.call("norm", F + "layer_norm", [r, [16]], shape=[2, 6, 16])
    f = g.call("mlp.act", F + "gelu", [g.linear("mlp.fc1", n, 32)], shape=[2, 6, 32])
    f = g.linear("mlp.fc2", f, 16)
    r2 = g.call("residual2", "torch.add", [n, f], {"alpha": 1}, shape=[2, 6, 16])
    m = g.call("pool", T + "mean", [r2], {"dim": 1}, shape=[2, 16])
    g.write([g.linear("head", m, 3), qh])


def concat_fresh_labels():
    # A concatenation of the unlabelled model input and a labelled tensor makes fresh labels for
    # the input's channels; parameters defined before and after it are then tied to its output.
    g = Graph("concat_fresh_labels")
    x = g.input("x", [1, 3, 4, 4])
    early = g.param("early_scale", [1, 7, 1, 1])
    c = g.conv("conv", x, 4)
    j = g.cat("cat", [x, c])
    a = g.call("add_early", "torch.add", [early, j], shape=[1, 7, 4, 4])
    late = g.param("late_shift", [1, 7, 1, 1])
    a = g.call("add_late", T + "__add__", [a, late], shape=[1, 7, 4, 4])
    b = g.bn("bn", a)
    j2 = g.cat("cat2", [c, x, b])
    h = g.conv("fuse", j2, 5, k=1)
    g.write([h])


def broadcasting():
    g = Graph("broadcasting")
    x = g.input("x", [2, 6, 4, 4])
    c = g.conv("conv", x, 6)
    scale = g.param("scale", [6, 1, 1])
    rows = g.param("rows", [4, 1])
    cols = g.param("cols", [4])
    a = g.call("scaled", "torch.mul", [c, scale], shape=[2, 6, 4, 4])
    a = g.call("rows_mul", T + "__rmul__", [rows, a], shape=[2, 6, 4, 4])
    a = g.call("cols_sub", "torch.sub", [a, cols], shape=[2, 6, 4, 4])
    a = g.call("const_right", T + "__rsub__", [a, 1.0], shape=[2, 6, 4, 4])
    a = g.call("const_left", "torch.pow", [2.0, a], shape=[2, 6, 4, 4])
    u = g.call("with_input", "torch.maximum", [g.conv("conv2", x, 6), x], shape=[2, 6, 4, 4])
    one = g.param("one", [1, 1, 1, 1])
    o = g.call("ones", "torch.div", [one, g.param("unit", [1])], shape=[1, 1, 1, 1])
    b = g.call("both_broadcast", T + "mul_", [a, o], shape=[2, 6, 4, 4])
    unknown = g.call("opaque", "torch.some_unknown_op", [u], {"scale": 2.0}, shape=None)
    d = g.call("unknown_shape", "torch.minimum", [u, unknown], shape=[2, 6, 4, 4])
    e = g.call("fmod", "torch.fmod", [c, c], shape=[2, 6, 4, 4])
    f = g.call("itruediv", T + "__itruediv__", [e, g.param("denominator", [2, 6, 4, 4])],
               shape=[2, 6, 4, 4])
    g.write([g.conv("head", b, 3, k=1), d])


def flatten_heads():
    g = Graph("flatten_heads")
    x = g.input("x", [1, 3, 4, 4])
    c = g.relu("conv.relu", g.conv("conv", x, 8), op=T + "relu")
    p = g.call("pool", F + "adaptive_max_pool2d", [c, 1], shape=[1, 8, 1, 1])
    f = g.call("flatten", T + "flatten", [p], {"start_dim": 1}, shape=[1, 8])
    h = g.linear("fc", f, 4)
    out1 = g.linear("score", h, 1)  # single output feature
    # Flatten that joins the channels with spatial positions: the labels are dropped.
    j = g.call("flatten_joined", "torch.flatten", [c, 1], shape=[1, 128])
    out2 = g.linear("fc_joined", j, 2, bias=False)
    # Flatten after the channel dimension, and flatten with an end dimension.
    k = g.call("flatten_spatial", "torch.flatten", [c], {"start_dim": 2}, shape=[1, 8, 16])
    k = g.linear("fc_spatial", k, 5)
    m = g.call("flatten_end", T + "flatten", [c, 0, 1], shape=[8, 4, 4])
    n = g.call("flatten_input", "torch.flatten", [x, 1], shape=[1, 48])
    # A layer whose weight is computed from the model input.
    w = g.call("weight_from_input", T + "reshape", [n, 4, 12], shape=[4, 12])
    y = g.call("dyn_fc", F + "linear", [g.call("x.flat", "torch.flatten", [x, 2],
                                                shape=[1, 3, 16]),
                                         w], shape=[1, 3, 4])
    cw = g.call("conv_weight", T + "view", [n, 4, 3, 2, 2], shape=[4, 3, 2, 2])
    cb = g.call("conv_bias", T + "sum", [n], {"dim": 1}, shape=[1])
    z = g.call("dyn_conv", F + "conv2d", [x, cw, cb, 1, 0, 1, 1], shape=[1, 4, 3, 3])
    g.write([out1, out2, k, y, z])


def reductions():
    g = Graph("reductions")
    x = g.input("x", [2, 4, 6, 6])
    c = g.conv("conv", x, 8)
    # Reductions that drop the channels (all dimensions, or the channel dimension) take them out
    # of pruning: they read a convolution of their own.
    d = g.conv("conv_dropped", x, 8)
    outs = []
    cases = [
        ("mean_keep", "torch.mean", [c, [2, 3], True], {}, [2, 8, 1, 1]),
        ("mean_drop", T + "mean", [c], {"dim": [-1, -2]}, [2, 8]),
        ("sum_batch", "torch.sum", [c, 0], {}, [8, 6, 6]),
        ("amax_last", T + "amax", [c, -1], {"keepdim": False}, [2, 8, 6]),
        ("amin_tuple", "torch.amin", [c, [0, 3], True], {}, [1, 8, 6, 1]),
        ("mean_all", "torch.mean", [d], {}, []),
        ("sum_channels", "torch.sum", [d, 1], {}, [2, 6, 6]),
        ("logsumexp", "torch.logsumexp", [c, 3], {}, [2, 8, 6]),
        ("prod", T + "prod", [c, 2, True], {}, [2, 8, 1, 6]),
        ("norm_fro", "torch.norm", [c, "fro", [2, 3]], {}, [2, 8]),
        ("norm_dim", T + "norm", [d, None, 2, True], {}, [2, 8, 1, 6]),
        ("norm_kw", "torch.norm", [c, 2], {"dim": 3, "keepdim": True}, [2, 8, 6, 1]),
        ("std_unbiased", "torch.std", [d, True], {}, []),
        ("std_dim", T + "std", [c, [2], False, True], {}, [2, 8, 1, 6]),
        ("var_kw", "torch.var", [c], {"dim": 2, "keepdim": False}, [2, 8, 6]),
        ("var_dim", T + "var", [c, 3, True], {}, [2, 8, 6]),
        ("mean_input", "torch.mean", [x, [2, 3]], {}, [2, 4]),
    ]
    for name, op, args, kwargs, shape in cases:
        outs.append(g.call(name, op, args, kwargs, shape=shape))
    h = g.linear("head", outs[1], 3)
    g.write([h, outs[5]])


def dropout():
    g = Graph("dropout")
    x = g.input("x", [1, 4, 6, 6])
    h = g.conv("conv", x, 6)
    cases = [
        ("train_default", F + "dropout", [h], {}),
        ("eval_kw", F + "dropout", [h], {"p": 0.5, "training": False}),
        ("eval_pos", F + "dropout2d", [h, 0.2, False], {}),
        ("train_pos", "torch.dropout", [h, 0.5, True], {}),
        ("alpha_default", F + "alpha_dropout", [h], {}),
        ("feature_alpha_kw", F + "feature_alpha_dropout", [h], {"training": True}),
        ("feature_default", "torch.feature_dropout", [h, 0.1, False], {}),
        ("dropout3d_default", F + "dropout3d", [h], {}),
    ]
    for name, op, args, kwargs in cases:
        h = g.call(name, op, args, kwargs, shape=[1, 6, 6, 6])
    h = g.conv("head", h, 2, k=1)
    g.write([h])


def layouts():
    # Layout queries, attribute reads, element-wise calls under many names, and the warnings of
    # the convolution and channel-wise handlers.
    g = Graph("layouts")
    x = g.input("x", [1, 4, 6, 6])
    c = g.conv("conv", x, 6)
    size = g.call("size", T + "size", [c, 1], shape=None)
    shp = g.call("shape", T + "shape.__get__", [c], shape=None)
    dtype = {"const": "torch.float32", "type": "dtype"}
    h = g.call("to", T + "to", [c, dtype], shape=[1, 6, 6, 6])
    for i, op in enumerate(["torch.sigmoid", T + "tanh_", F + "silu", "torch.clamp", T + "__neg__",
                            F + "max_pool2d", T + "contiguous"]):
        args = [h, 0.0, 1.0] if "clamp" in op else [h]
        kwargs = {"kernel_size": 1} if "pool" in op else {}
        h = g.call(f"ew{i}", op, args, kwargs, shape=[1, 6, 6, 6])
    r = g.call("reshape", T + "view", [h, shp], shape=[1, 6, 6, 6])
    item = g.call("getitem", T + "__getitem__", [r, {"const": "slice(None, None, None)",
                                                     "type": "slice"}], shape=[1, 6, 6, 6])
    bn = g.bn("bn_torch", c, op="torch.batch_norm")
    w = g.param("spatial", [1, 1, 6, 6])
    sp = g.call("spatial_mul", "torch.mul", [bn, w], shape=[1, 6, 6, 6])
    wrong = g.bn("bn_spatial", sp)
    pooled = g.call("pooled", F + "adaptive_avg_pool2d", [bn, 1], shape=[1, 6, 1, 1])
    sp2 = g.call("spatial_broadcast", "torch.mul", [pooled, w], shape=[1, 6, 6, 6])
    cs = g.conv("conv_spatial", sp2, 2)
    fl = g.call("flatten_multi", "torch.flatten", [sp2, 1], shape=[1, 216])
    rd = g.call("mean_multi", "torch.mean", [sp2, 0], shape=[6, 6, 6])
    # Pooling keeps the spatial labels in dimensions of size 1: a broadcast operand that carries
    # labels, against another operand with labels of its own, in both orders.
    psp = g.call("pooled_spatial", F + "adaptive_avg_pool2d", [sp2, 1], shape=[1, 6, 1, 1])
    sp3 = g.call("spatial2_broadcast", "torch.mul", [pooled, g.param("spatial2", [1, 1, 6, 6])],
                 shape=[1, 6, 6, 6])
    g.call("broadcast_first", "torch.add", [psp, sp3], shape=[1, 6, 6, 6])
    g.call("broadcast_second", "torch.add", [sp3, psp], shape=[1, 6, 6, 6])
    batch = g.param("batched", [2, 6, 1, 1])
    bt = g.call("batched_add", "torch.add", [bn, batch], shape=[2, 6, 6, 6])
    cv = g.conv("conv_batched", bt, 3)
    bw = g.bn("bn_unlabelled", x)  # channel-wise call on a tensor without labels
    one = g.conv("single", cv, 1, k=1)
    g.write([item, size, wrong, one, bw, cs, fl, rd])


def handler_errors():
    # Errors in the middle of a graph: the strict run stops at the first, the lenient run hands
    # each failing node to the default handler and goes on.
    g = Graph("handler_errors")
    x = g.input("x", [1, 4, 4, 4])
    c = g.conv("conv", x, 6)
    e = g.call("kw_only_relu", F + "relu", [], {"input": c}, shape=[1, 6, 4, 4])
    e = g.call("one_operand_add", "torch.add", [e], {"other": c}, shape=[1, 6, 4, 4])
    e = g.call("named_dim", "torch.sum", [c, "channels"], shape=[1, 4, 4])
    e = g.call("float_dim", "torch.mean", [c, 1.5], shape=[1, 6, 4])
    e = g.call("cat_not_sequence", "torch.cat", [c, 1], shape=[1, 6, 4, 4])
    e = g.call("cat_constant", "torch.cat", [[c, 3], 1], shape=[1, 6, 4, 4])
    e = g.call("relu_constant", "torch.relu", [2], shape=None)
    d = g.conv("other", x, 5)
    e = g.call("sizes_differ", "torch.add", [c, d], shape=[1, 6, 4, 4])
    e = g.call("groups_text", F + "conv2d", [c, g.param("gw", [6, 6, 1, 1]), None, 1, 0, 1, "1"],
               shape=[1, 6, 4, 4])
    e = g.call("bias_text", F + "linear", [c, g.param("lw", [3, 4]), "bias"], shape=[1, 6, 4, 3])
    e = g.call("no_weight", F + "conv2d", [c], shape=[1, 6, 4, 4])
    flat = g.input("flat", [6])
    e = g.call("conv_on_vector", F + "conv2d", [flat, g.param("mw", [3, 6, 1, 1])], shape=[3])
    e = g.call("linear_no_shape", F + "linear", [c, g.param("nw", [2, 4])], shape=None)
    unknown = g.call("opaque", "torch.opaque", [c], shape=None)
    e = g.call("flatten_no_shape", "torch.flatten", [unknown, 1], shape=[1, 96])
    e = g.call("bn_matrix", F + "batch_norm",
               [c, g.param("bn.mean", [6]), g.param("bn.var", [6, 2])], shape=[1, 6, 4, 4])
    pooled = g.call("pooled", F + "adaptive_max_pool2d", [c, 1], shape=[1, 6, 1, 1])
    m = g.call("spatial", "torch.mul", [pooled, g.param("sp", [1, 1, 4, 4])], shape=[1, 6, 4, 4])
    e = g.bn("bn_multi", m)  # channels and spatial positions carry labels
    s = g.call("reduce_swap", "torch.sum", [c, 0], shape=[6, 4, 4])
    end = g.call("after", F + "relu", [c], shape=[1, 6, 4, 4])
    g.write([end, s, e])


def tiny_errors():
    # One error each, strict and lenient: the report of a stopped parse and its recovery.
    g = Graph("stop_in_the_middle")
    x = g.input("x", [1, 3, 4, 4])
    c = g.conv("conv", x, 4)
    b = g.bn("bn", c)
    bad = g.call("bad_bn", F + "batch_norm", [b, g.param("bad.weight", [4, 4])],
                 shape=[1, 4, 4, 4])
    h = g.conv("head", g.relu("relu", bad), 3)
    g.write([h])


SLICE = "slice"


def sl(start=None, stop=None, step=None):
    return {"const": "slice(%s, %s, %s)" % (start, stop, step), "type": SLICE}


ELLIPSIS = {"const": "Ellipsis", "type": "ellipsis"}
ALL = sl()


def item(g, name, tuple_ref, index, shape):
    return g.call(name, "_operator.getitem", [tuple_ref, index], shape=shape)


def decoder_heads():
    # A decoder block with grouped-query attention (4 query heads of size 4 reading 2 key-value
    # heads), rotary halves, a causal mask, an RMS normalisation written out, a SwiGLU MLP, then
    # a block with a fused projection split into q, k and v and scaled dot-product attention,
    # and a language-model head tied to the token embedding.
    g = Graph("decoder_heads")
    tokens = g.input("tokens", [1, 6])
    table = g.param("embed.weight", [20, 16])
    x = g.call("embed", F + "embedding", [tokens, table], {"padding_idx": None}, shape=[1, 6, 16])

    def rms(name, h):
        p = g.call(name + ".pow", T + "pow", [h, 2], shape=[1, 6, 16])
        m = g.call(name + ".mean", T + "mean", [p, -1], {"keepdim": True}, shape=[1, 6, 1])
        r = g.call(name + ".rsqrt", "torch.rsqrt", [g.call(name + ".eps", T + "add", [m, 1e-05],
                                                           shape=[1, 6, 1])], shape=[1, 6, 1])
        n = g.call(name + ".scale", T + "mul", [h, r], shape=[1, 6, 16])
        return g.call(name, T + "mul", [n, g.param(name + ".weight", [16])], shape=[1, 6, 16])

    n = rms("attn_norm", x)
    q = g.call("q.view", T + "view", [g.linear("q_proj", n, 16, bias=False), 1, 6, 4, 4],
               shape=[1, 6, 4, 4])
    q = g.call("q.transpose", T + "transpose", [q, 1, 2], shape=[1, 4, 6, 4])
    k = g.call("k.view", T + "view", [g.linear("k_proj", n, 8, bias=False), 1, 6, 2, 4],
               shape=[1, 6, 2, 4])
    k = g.call("k.transpose", T + "transpose", [k, 1, 2], shape=[1, 2, 6, 4])
    v = g.call("v.view", T + "view", [g.linear("v_proj", n, 8, bias=False), 1, 6, 2, 4],
               shape=[1, 6, 2, 4])
    v = g.call("v.transpose", T + "transpose", [v, 1, 2], shape=[1, 2, 6, 4])
    cos = g.call("cos", T + "__getitem__", [g.param("rope_cos", [8, 4]), sl(None, 6)],
                 shape=[6, 4])
    upper = g.call("q.upper", T + "__getitem__", [q, [ELLIPSIS, sl(2)]], shape=[1, 4, 6, 2])
    lower = g.call("q.lower", T + "__getitem__", [q, [ELLIPSIS, sl(None, 2)]], shape=[1, 4, 6, 2])
    rot = g.call("q.rotated", "torch.cat", [[g.call("q.neg", T + "__neg__", [upper],
                                                    shape=[1, 4, 6, 2]), lower]],
                 {"dim": -1}, shape=[1, 4, 6, 4])
    q = g.call("q.rope", T + "add", [g.call("q.cos", T + "mul", [q, cos], shape=[1, 4, 6, 4]),
                                      rot], shape=[1, 4, 6, 4])
    k = g.call("k.groups", T + "__getitem__", [k, [ALL, ALL, None]], shape=[1, 2, 1, 6, 4])
    k = g.call("k.expand", T + "expand", [k, 1, 2, 2, 6, 4], shape=[1, 2, 2, 6, 4])
    k = g.call("k.heads", T + "reshape", [k, 1, 4, 6, 4], shape=[1, 4, 6, 4])
    v = g.call("v.heads", "torch.repeat_interleave", [v, 2], {"dim": 1}, shape=[1, 4, 6, 4])
    s = g.call("scores", T + "matmul", [q, g.call("k.t", T + "transpose", [k, 2, 3],
                                                  shape=[1, 4, 4, 6])], shape=[1, 4, 6, 6])
    mask = g.call("mask", "torch.triu", [g.call("mask.full", "torch.full_like",
                                                [s, {"const": "-inf", "type": "float"}],
                                                shape=[1, 4, 6, 6])], {"diagonal": 1},
                  shape=[1, 4, 6, 6])
    w = g.call("softmax", F + "softmax", [g.call("masked", T + "add", [s, mask],
                                                 shape=[1, 4, 6, 6])], {"dim": -1},
               shape=[1, 4, 6, 6])
    o = g.call("context", T + "matmul", [w, v], shape=[1, 4, 6, 4])
    o = g.call("context.t", T + "transpose", [o, 1, 2], shape=[1, 6, 4, 4])
    o = g.call("context.join", T + "reshape", [o, 1, 6, 16], shape=[1, 6, 16])
    h = g.call("residual", T + "add", [x, g.linear("o_proj", o, 16, bias=False)],
               shape=[1, 6, 16])
    n = rms("mlp_norm", h)
    gate = g.call("mlp.silu", F + "silu", [g.linear("mlp.gate", n, 24, bias=False)],
                  shape=[1, 6, 24])
    up = g.call("mlp.product", T + "mul", [gate, g.linear("mlp.up", n, 24, bias=False)],
                shape=[1, 6, 24])
    h = g.call("residual2", T + "add", [h, g.linear("mlp.down", up, 16, bias=False)],
               shape=[1, 6, 16])
    parts = g.call("qkv.chunk", T + "chunk", [g.linear("qkv", h, 48), 3], {"dim": -1}, shape=None)
    q = g.call("q2.heads", T + "unflatten", [item(g, "q2", parts, 0, [1, 6, 16]), -1, [4, 4]],
               shape=[1, 6, 4, 4])
    q = g.call("q2.t", "torch.movedim", [q, 2, 1], shape=[1, 4, 6, 4])
    k = g.call("k2.heads", T + "view", [item(g, "k2", parts, 1, [1, 6, 16]), 1, 6, 4, 4],
               shape=[1, 6, 4, 4])
    k = g.call("k2.t", T + "permute", [k, 0, 2, 1, 3], shape=[1, 4, 6, 4])
    v = g.call("v2.heads", "torch.reshape", [item(g, "v2", parts, 2, [1, 6, 16]), [1, 6, 4, 4]],
               shape=[1, 6, 4, 4])
    v = g.call("v2.t", T + "swapaxes", [v, 1, 2], shape=[1, 4, 6, 4])
    a = g.call("sdpa", F + "scaled_dot_product_attention", [q, k, v], {"is_causal": True},
               shape=[1, 4, 6, 4])
    a = g.call("sdpa.join", T + "flatten", [g.call("sdpa.t", T + "transpose", [a, 1, 2],
                                                   shape=[1, 6, 4, 4]), 2], shape=[1, 6, 16])
    h = g.call("residual3", T + "add", [h, g.linear("proj", a, 16)], shape=[1, 6, 16])
    logits = g.call("head", F + "linear", [h, table], shape=[1, 6, 20])
    g.write([logits])


def multi_head_attention():
    # nn.MultiheadAttention as one call: packed projections (self-attention over a normalised
    # input), then separate projections over a memory of another width with learned key and
    # value biases, whose averaged weights are read too.
    g = Graph("multi_head_attention")
    x = g.linear("embed", g.input("x", [5, 1, 4]), 8)
    n = g.call("norm", F + "layer_norm", [x, [8]], {"weight": g.param("norm.weight", [8]),
                                                    "bias": g.param("norm.bias", [8]),
                                                    "eps": 1e-05}, shape=[5, 1, 8])
    rest = {"training": False, "key_padding_mask": None, "need_weights": False,
            "attn_mask": None, "use_separate_proj_weight": False, "q_proj_weight": None,
            "k_proj_weight": None, "v_proj_weight": None, "static_k": None, "static_v": None,
            "average_attn_weights": True}
    att = g.call("self_attn", F + "multi_head_attention_forward",
                 [n, n, n, 8, 2, g.param("self_attn.in_proj_weight", [24, 8]),
                  g.param("self_attn.in_proj_bias", [24]), None, None, False, 0.0,
                  g.param("self_attn.out_proj.weight", [8, 8]),
                  g.param("self_attn.out_proj.bias", [8])], rest, shape=None)
    h = g.call("residual", T + "add", [x, item(g, "self_attn[0]", att, 0, [5, 1, 8])],
               shape=[5, 1, 8])
    memory = g.input("memory", [3, 1, 6])
    separate = dict(rest, use_separate_proj_weight=True, need_weights=True,
                    q_proj_weight=g.param("cross.q_proj_weight", [8, 8]),
                    k_proj_weight=g.param("cross.k_proj_weight", [8, 6]),
                    v_proj_weight=g.param("cross.v_proj_weight", [8, 6]))
    cross = g.call("cross", F + "multi_head_attention_forward",
                   [h, memory, memory, 8, 4, None, g.param("cross.in_proj_bias", [24]),
                    g.param("cross.bias_k", [1, 1, 8]), g.param("cross.bias_v", [1, 1, 8]), False,
                    0.0, g.param("cross.out_proj.weight", [8, 8]),
                    g.param("cross.out_proj.bias", [8])], separate, shape=None)
    h = g.call("residual2", T + "add", [h, item(g, "cross[0]", cross, 0, [5, 1, 8])],
               shape=[5, 1, 8])
    weights = item(g, "cross[1]", cross, 1, [1, 5, 4])
    g.write([g.linear("head", h, 3), weights])


def windows():
    # Windowed attention over a channels-last map (padding, shifts, windows, a table of
    # relative positions gathered by an index buffer, a mask written into a new tensor), patch
    # merging by strided slices, and the normalisations, reductions and shape calls around it.
    g = Graph("windows")
    x = g.input("x", [1, 3, 8, 8])
    c = g.conv("patch", x, 6, k=2, stride=2)
    c = g.call("patch.down", F + "max_pool2d", [c, 2], shape=[1, 6, 2, 2])
    c = g.call("patch.up", F + "interpolate", [c], {"scale_factor": 2.0}, shape=[1, 6, 4, 4])
    p = g.call("channels_last", "torch.permute", [c, [0, 2, 3, 1]], shape=[1, 4, 4, 6])
    n = g.call("norm1", F + "layer_norm", [p, [6], g.param("norm1.weight", [6]),
                                           g.param("norm1.bias", [6])], shape=[1, 4, 4, 6])
    n = g.call("pad", F + "pad", [n, [0, 0, 0, 0, 0, 0]], shape=[1, 4, 4, 6])
    n = g.call("shift", "torch.roll", [n], {"shifts": [-1, -1], "dims": [1, 2]},
               shape=[1, 4, 4, 6])
    w = g.call("windows.view", T + "view", [n, 1, 2, 2, 2, 2, 6], shape=[1, 2, 2, 2, 2, 6])
    w = g.call("windows.order", T + "permute", [w, 0, 1, 3, 2, 4, 5], shape=[1, 2, 2, 2, 2, 6])
    w = g.call("windows", T + "reshape", [w, 4, 4, 6], shape=[4, 4, 6])
    qkv = g.call("qkv.heads", T + "reshape", [g.linear("qkv", w, 18), 4, 4, 3, 2, 3],
                 shape=[4, 4, 3, 2, 3])
    qkv = g.call("qkv.order", T + "permute", [qkv, 2, 0, 3, 1, 4], shape=[3, 4, 2, 4, 3])
    q, k, v = (g.call(f"qkv[{i}]", T + "__getitem__", [qkv, i], shape=[4, 2, 4, 3])
               for i in range(3))
    s = g.call("scores", T + "matmul", [q, g.call("k.t", T + "transpose", [k, -2, -1],
                                                  shape=[4, 2, 3, 4])], shape=[4, 2, 4, 4])
    bias = g.call("rel.gather", T + "__getitem__", [g.param("rel.table", [9, 2]),
                                                    g.param("rel.index", [16])], shape=[16, 2])
    bias = g.call("rel.view", T + "view", [bias, 4, 4, -1], shape=[4, 4, 2])
    bias = g.call("rel.order", T + "permute", [bias, 2, 0, 1], shape=[2, 4, 4])
    bias = g.call("rel.batch", T + "unsqueeze", [bias, 0], shape=[1, 2, 4, 4])
    s = g.call("scores.bias", T + "add", [s, bias], shape=[4, 2, 4, 4])
    zeros = g.call("mask.zeros", T + "new_zeros", [w, [4, 4]], shape=[4, 4])
    marks = g.call("mask.region", T + "__setitem__", [zeros, [sl(0, 2), sl(0, 2)], 1],
                   shape=[4, 4])
    mask = g.call("mask", T + "masked_fill", [marks, g.call("mask.ne", T + "ne", [marks, 0],
                                                            shape=[4, 4]), -100.0], shape=[4, 4])
    s = g.call("scores.mask", T + "add", [s, mask], shape=[4, 2, 4, 4])
    a = g.call("softmax", T + "softmax", [s], {"dim": -1}, shape=[4, 2, 4, 4])
    o = g.call("context", T + "matmul", [a, v], shape=[4, 2, 4, 3])
    o = g.call("context.join", T + "reshape", [g.call("context.t", T + "transpose", [o, 1, 2],
                                                      shape=[4, 4, 2, 3]), 4, 4, 6],
               shape=[4, 4, 6])
    o = g.call("back.view", T + "view", [g.linear("proj", o, 6), 1, 2, 2, 2, 2, 6],
               shape=[1, 2, 2, 2, 2, 6])
    o = g.call("back.order", T + "permute", [o, 0, 1, 3, 2, 4, 5], shape=[1, 2, 2, 2, 2, 6])
    o = g.call("back", T + "reshape", [o, 1, 4, 4, 6], shape=[1, 4, 4, 6])
    o = g.call("unshift", "torch.roll", [o], {"shifts": [1, 1], "dims": [1, 2]},
               shape=[1, 4, 4, 6])
    o = g.call("crop", T + "__getitem__", [o, [ALL, sl(None, 4), sl(None, 4), ALL]],
               shape=[1, 4, 4, 6])
    h = g.call("residual", T + "add", [p, o], shape=[1, 4, 4, 6])
    quads = [g.call(f"merge{i}", T + "__getitem__", [h, [ELLIPSIS, sl(i % 2, None, 2),
                                                        sl(i // 2, None, 2), ALL]],
                    shape=[1, 2, 2, 6]) for i in range(4)]
    m = g.call("merge", "torch.cat", [quads, -1], shape=[1, 2, 2, 24])
    m = g.call("merge.norm", F + "layer_norm", [m, [24], g.param("merge.norm.weight", [24])],
               shape=[1, 2, 2, 24])
    r = g.linear("merge.reduction", m, 12, bias=False)
    cf = g.call("channels_first", T + "movedim", [r, -1, 1], shape=[1, 12, 2, 2])
    gn = g.call("gn", F + "group_norm", [cf, 3, g.param("gn.weight", [12]),
                                         g.param("gn.bias", [12])], shape=[1, 12, 2, 2])
    inn = g.call("inorm", F + "instance_norm", [gn, None, None, g.param("inorm.weight", [12]),
                                                g.param("inorm.bias", [12]), True, 0.1, 1e-05],
                 shape=[1, 12, 2, 2])
    nz = g.call("normalize", F + "normalize", [inn], {"dim": 1}, shape=[1, 12, 2, 2])
    mix = g.call("mix", "torch.einsum", ["bchw,cd->bdhw", nz, g.param("mix.weight", [12, 5])],
                 shape=[1, 5, 2, 2])
    var = g.call("stat", T + "var", [mix, 1], {"keepdim": True}, shape=[1, 1, 2, 2])
    mix = g.call("mix.centered", T + "__truediv__", [mix, var], shape=[1, 5, 2, 2])
    st = g.call("stack", "torch.stack", [[mix, mix]], {"dim": 0}, shape=[2, 1, 5, 2, 2])
    tl = g.call("tile", T + "repeat", [mix, 1, 2, 1, 1], shape=[1, 10, 2, 2])
    mt = g.call("mT", T + "mT.__get__", [tl], shape=[1, 10, 2, 2], op_name="__get__")
    sp = g.call("split", "torch.tensor_split", [mt], {"indices": [1], "dim": 2}, shape=None)
    first = item(g, "split[0]", sp, 0, [1, 10, 1, 2])
    ub = g.call("unbind", T + "unbind", [mix, 2], shape=None)
    row = item(g, "unbind[1]", ub, 1, [1, 5, 2])
    cond = g.input("cond", [1, 5, 2, 2])
    wh = g.call("where", "torch.where", [cond, mix, 0.0], shape=[1, 5, 2, 2])
    g.write([g.conv("head", wh, 2, k=1), st, first, row])


def extended_calls_refused():
    # Calls the extended handlers refuse: a wrong argument type stops the parse, while forms they
    # do not follow go to the default handler.
    g = Graph("extended_calls_refused")
    x = g.input("x", [2, 4, 6])
    h = g.linear("fc", x, 6)
    cases = [
        ("view_mismatch", T + "view", [h, 5, 5], {}, [5, 5]),
        ("permute_repeat", T + "permute", [h, 0, 0, 1], {}, [2, 2, 4]),
        ("softmax_no_dim", F + "softmax", [h], {}, [2, 4, 6]),
        ("interleave_tensor", "torch.repeat_interleave", [h, h], {"dim": 2}, [2, 4, 6]),
        ("einsum_ellipsis", "torch.einsum", ["...c,c->...", h, g.param("e", [6])], {}, [2, 4]),
        ("matmul_vector", "torch.matmul", [h, g.param("vec", [6])], {}, [2, 4]),
        ("unequal_split", "torch.split", [h, [2, 4]], {"dim": -1}, None),
        ("roll_flat", "torch.roll", [h, 1], {}, [2, 4, 6]),
        ("mha_no_weights", F + "multi_head_attention_forward",
         [h, h, h, 6, 2, None, None, None, None, False, 0.0, None, None], {}, None),
        ("index_two_tensors", T + "__getitem__", [h, [x, x]], {}, [2, 4, 6]),
        ("transpose_text", T + "transpose", [h, "a", 1], {}, [2, 6, 4]),
    ]
    outs = []
    for name, op, args, kwargs, shape in cases:
        outs.append(g.call(name, op, args, kwargs, shape=shape))
    item(g, "split[0]", outs[6], 0, [2, 4, 2])
    g.write([g.linear("after", h, 3)])


def main():
    OUT.mkdir(parents=True, exist_ok=True)
    for make in (residual_stages, dense_ladder, depthwise_stacks, attention, concat_fresh_labels,
                 broadcasting, flatten_heads, reductions, dropout, layouts, handler_errors,
                 tiny_errors, decoder_heads, multi_head_attention, windows,
                 extended_calls_refused):
        make()


if __name__ == "__main__":
    main()
