#!/usr/bin/env python3
"""Writes the graph file of a Llama-style decoder as the exporter traces it, at any size, without
PyTorch: RMS normalisation, rotary position embedding, grouped-query attention and a SwiGLU MLP
per block. `--config 7b` gives the shapes of a 7B model (32 blocks, width 4096).

    benchmarks/decoder_graph.py --config 7b -o decoder7b.json
"""

import argparse
import json

CONFIGS = {
    "tiny": dict(vocab=96, dim=32, layers=2, heads=4, kv_heads=2, hidden=64, max_seq=32, tie=True),
    "7b": dict(vocab=32000, dim=4096, layers=32, heads=32, kv_heads=8, hidden=11008, max_seq=4096, tie=False),
}

T = "torch.Tensor."
F = "torch.nn.functional."
ELLIPSIS = {"const": "Ellipsis", "type": "ellipsis"}
ALL = {"const": "slice(None, None, None)", "type": "slice"}


def sliced(start, stop):
    return {"const": f"slice({start}, {stop}, None)", "type": "slice"}


class Builder:
    def __init__(self):
        self.nodes = []

    def _add(self, entry):
        entry = {"id": len(self.nodes), **entry}
        self.nodes.append(entry)
        return {"node": entry["id"]}

    def input(self, name, shape):
        return self._add({"kind": "input", "name": name, "shape": shape})

    def parameter(self, name, shape):
        return self._add({"kind": "parameter", "name": name, "shape": shape})

    def call(self, name, op, args, shape, **kwargs):
        return self._add({"kind": "call", "name": name, "op": op, "args": args, "kwargs": kwargs, "shape": shape})


def rms_norm(b, name, x, shape):
    p = b.call(name, T + "pow", [x, 2], shape)
    m = b.call(name + "_1", T + "mean", [p, -1], shape[:-1] + [1], keepdim=True)
    e = b.call(name + "_2", T + "add", [m, 1e-05], shape[:-1] + [1])
    r = b.call(name + "_3", "torch.rsqrt", [e], shape[:-1] + [1])
    n = b.call(name + "_4", T + "mul", [x, r], shape)
    w = b.parameter(name + ".weight", [shape[-1]])
    return b.call(name + "_5", T + "mul", [n, w], shape)


def rotary(b, prefix, k, x, heads, seq, head_dim, cos, sin):
    shape = [1, heads, seq, head_dim]
    half = head_dim // 2
    a = b.call(f"{prefix}.mul_{2 * k}" if k else f"{prefix}.mul", T + "mul", [x, cos], shape)
    b.call(f"{prefix}.shape_{k + 1}", T + "shape.__get__", [x], None)
    hi = b.call(f"{prefix}.getitem_{2 * k}" if k else f"{prefix}.getitem", T + "__getitem__",
                [x, [ELLIPSIS, sliced(half, None)]], [1, heads, seq, half])
    neg = b.call(f"{prefix}.neg_{k}" if k else f"{prefix}.neg", T + "__neg__", [hi], [1, heads, seq, half])
    lo = b.call(f"{prefix}.getitem_{2 * k + 1}", T + "__getitem__", [x, [ELLIPSIS, sliced(None, half)]],
                [1, heads, seq, half])
    cat = b.call(f"{prefix}.cat_{k}" if k else f"{prefix}.cat", "torch.cat", [[neg, lo]], shape, dim=-1)
    rot = b.call(f"{prefix}.mul_{2 * k + 1}", T + "mul", [cat, sin], shape)
    return b.call(f"{prefix}.add_{k}" if k else f"{prefix}.add", T + "add", [a, rot], shape)


def attention(b, prefix, x, c, seq, cos, sin):
    dim, heads, kv, hd = c["dim"], c["heads"], c["kv_heads"], c["dim"] // c["heads"]
    b.call(prefix + ".shape", T + "shape.__get__", [x], None)
    outs = []
    for k, (proj, n) in enumerate((("q_proj", heads), ("k_proj", kv), ("v_proj", kv))):
        w = b.parameter(f"{prefix}.{proj}.weight", [n * hd, dim])
        y = b.call(f"{prefix}.{proj}", F + "linear", [x, w, None], [1, seq, n * hd])
        v = b.call(f"{prefix}.view_{k}" if k else f"{prefix}.view", T + "view", [y, 1, seq, n, hd], [1, seq, n, hd])
        outs.append(b.call(f"{prefix}.transpose_{k}" if k else f"{prefix}.transpose", T + "transpose", [v, 1, 2],
                           [1, n, seq, hd]))
    q = rotary(b, prefix, 0, outs[0], heads, seq, hd, cos, sin)
    k = rotary(b, prefix, 1, outs[1], kv, seq, hd, cos, sin)
    group = heads // kv
    expanded = []
    for i, t in enumerate((k, outs[2])):
        g = b.call(f"{prefix}.getitem_{4 + i}", T + "__getitem__", [t, [ALL, ALL, None]], [1, kv, 1, seq, hd])
        e = b.call(f"{prefix}.expand_{i}" if i else f"{prefix}.expand", T + "expand", [g, 1, kv, group, seq, hd],
                   [1, kv, group, seq, hd])
        expanded.append(b.call(f"{prefix}.reshape_{i}" if i else f"{prefix}.reshape", T + "reshape",
                               [e, 1, heads, seq, hd], [1, heads, seq, hd]))
    kt = b.call(f"{prefix}.transpose_3", T + "transpose", [expanded[0], 2, 3], [1, heads, hd, seq])
    s = b.call(f"{prefix}.matmul", T + "matmul", [q, kt], [1, heads, seq, seq])
    s = b.call(f"{prefix}.div", T + "div", [s, hd ** 0.5], [1, heads, seq, seq])
    mask = b.call(f"{prefix}.full_like", "torch.full_like", [s, {"const": "-inf", "type": "float"}], [1, heads, seq, seq])
    mask = b.call(f"{prefix}.triu", "torch.triu", [mask], [1, heads, seq, seq], diagonal=1)
    s = b.call(f"{prefix}.add_2", T + "add", [s, mask], [1, heads, seq, seq])
    p = b.call(f"{prefix}.softmax", F + "softmax", [s], [1, heads, seq, seq], dim=-1, _stacklevel=3, dtype=None)
    o = b.call(f"{prefix}.matmul_1", T + "matmul", [p, expanded[1]], [1, heads, seq, hd])
    o = b.call(f"{prefix}.transpose_4", T + "transpose", [o, 1, 2], [1, seq, heads, hd])
    o = b.call(f"{prefix}.reshape_2", T + "reshape", [o, 1, seq, dim], [1, seq, dim])
    w = b.parameter(f"{prefix}.o_proj.weight", [dim, dim])
    return b.call(f"{prefix}.o_proj", F + "linear", [o, w, None], [1, seq, dim])


def mlp(b, prefix, x, c, seq):
    dim, hidden = c["dim"], c["hidden"]
    w = b.parameter(prefix + ".gate_proj.weight", [hidden, dim])
    g = b.call(prefix + ".gate_proj", F + "linear", [x, w, None], [1, seq, hidden])
    g = b.call(prefix + ".silu", F + "silu", [g], [1, seq, hidden], inplace=False)
    w = b.parameter(prefix + ".up_proj.weight", [hidden, dim])
    u = b.call(prefix + ".up_proj", F + "linear", [x, w, None], [1, seq, hidden])
    m = b.call(prefix + ".mul", T + "mul", [g, u], [1, seq, hidden])
    w = b.parameter(prefix + ".down_proj.weight", [dim, hidden])
    return b.call(prefix + ".down_proj", F + "linear", [m, w, None], [1, seq, dim])


def decoder_graph(config, seq=16, model="decoder"):
    c = CONFIGS[config] if isinstance(config, str) else config
    dim, hd = c["dim"], c["dim"] // c["heads"]
    b = Builder()
    tokens = b.input("x", [1, seq])
    b.call("shape", T + "shape.__get__", [tokens], None)
    cos = b.call("getitem", T + "__getitem__", [b.parameter("rope_cos", [c["max_seq"], hd]), sliced(None, seq)], [seq, hd])
    sin = b.call("getitem_1", T + "__getitem__", [b.parameter("rope_sin", [c["max_seq"], hd]), sliced(None, seq)],
                 [seq, hd])
    embed = b.parameter("embed.weight", [c["vocab"], dim])
    x = b.call("embed", F + "embedding", [tokens, embed], [1, seq, dim], padding_idx=None, max_norm=None, norm_type=2.0,
               scale_grad_by_freq=False, sparse=False)
    shape = [1, seq, dim]
    for i in range(c["layers"]):
        p = f"blocks.{i}"
        a = attention(b, p + ".attn", rms_norm(b, p + ".attn_norm", x, shape), c, seq, cos, sin)
        x = b.call(p + ".add", T + "add", [x, a], shape)
        m = mlp(b, p + ".mlp", rms_norm(b, p + ".mlp_norm", x, shape), c, seq)
        x = b.call(p + ".add_1", T + "add", [x, m], shape)
    x = rms_norm(b, "norm", x, shape)
    w = embed if c["tie"] else b.parameter("head.weight", [c["vocab"], dim])
    out = b.call("head", F + "linear", [x, w, None], [1, seq, c["vocab"]])
    return {"format": "zavo.graph", "version": 1, "model": model, "nodes": b.nodes, "outputs": [out["node"]]}


def write_graph(graph, path):
    with open(path, "w") as f:
        f.write('{\n  "format": "zavo.graph",\n  "version": 1,\n  "model": ' + json.dumps(graph["model"]) +
                ',\n  "nodes": [\n')
        f.write(",\n".join("    " + json.dumps(n) for n in graph["nodes"]))
        f.write('\n  ],\n  "outputs": ' + json.dumps(graph["outputs"]) + "\n}\n")


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--config", choices=sorted(CONFIGS), default="7b")
    parser.add_argument("--layers", type=int, help="blocks (default: the configuration's)")
    parser.add_argument("--seq", type=int, default=16, help="tokens of the traced input")
    parser.add_argument("-o", "--output", required=True)
    args = parser.parse_args()
    config = dict(CONFIGS[args.config])
    if args.layers:
        config["layers"] = args.layers
    write_graph(decoder_graph(config, args.seq, f"decoder_{args.config}"), args.output)


if __name__ == "__main__":
    main()
