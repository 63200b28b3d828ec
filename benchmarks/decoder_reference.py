#!/usr/bin/python3
"""A small decoder-only transformer (LLaMA layout) traced by the exporter (`zavo.export`).

The benchmark generator (`generate_graph decoder ...`) writes transformer graphs of any size
without PyTorch; this model is what it imitates. Exporting the same configuration both ways
and comparing checks that the generated graphs are what the exporter would write:

    /usr/bin/python3 benchmarks/decoder_reference.py -o ref.json
    build-bench/benchmarks/generate_graph decoder --layers 2 --width 64 --heads 4 \
        --kv-heads 2 --mlp 160 --vocab 100 --seq 16 -o gen.json
    /usr/bin/python3 benchmarks/decoder_reference.py --compare ref.json gen.json

The layout: token embedding; per layer an RMS norm (pow, mean, add, rsqrt, mul, weight mul),
attention with separate q/k/v projections, rotary embedding (cos/sin tables sliced to the
sequence, rotate-half by slicing, negation and concatenation), grouped-query key/value heads
repeated by expand and reshape, causal mask added to the scores, softmax, output projection
and a residual add; then an RMS norm, a SiLU-gated MLP and a residual add; a final norm and
the vocabulary head.
"""

import argparse
import json
import math
import os
import sys

import torch
from torch import nn
import torch.nn.functional as F

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "python"))
from zavo import export  # noqa: E402
from zavo.atomic_file import write_atomic  # noqa: E402


class RMSNorm(nn.Module):
    def __init__(self, width, eps=1e-6):
        super().__init__()
        self.weight = nn.Parameter(torch.ones(width))
        self.eps = eps

    def forward(self, x):
        variance = x.pow(2).mean(-1, keepdim=True)
        x = x * torch.rsqrt(variance + self.eps)
        return self.weight * x


def rotate_half(x):
    half = x.shape[-1] // 2
    x1 = x[..., :half]
    x2 = x[..., half:]
    return torch.cat((-x2, x1), dim=-1)


def repeat_kv(x, n_rep):
    if n_rep == 1:
        return x
    b, kv_heads, t, head_dim = x.shape
    x = x[:, :, None, :, :].expand(b, kv_heads, n_rep, t, head_dim)
    return x.reshape(b, kv_heads * n_rep, t, head_dim)


class Attention(nn.Module):
    def __init__(self, width, heads, kv_heads):
        super().__init__()
        self.heads, self.kv_heads, self.head_dim = heads, kv_heads, width // heads
        self.q_proj = nn.Linear(width, heads * self.head_dim, bias=False)
        self.k_proj = nn.Linear(width, kv_heads * self.head_dim, bias=False)
        self.v_proj = nn.Linear(width, kv_heads * self.head_dim, bias=False)
        self.o_proj = nn.Linear(heads * self.head_dim, width, bias=False)

    def forward(self, x, cos, sin, mask):
        b, t, _ = x.size()
        q = self.q_proj(x).view(b, t, self.heads, self.head_dim).transpose(1, 2)
        k = self.k_proj(x).view(b, t, self.kv_heads, self.head_dim).transpose(1, 2)
        v = self.v_proj(x).view(b, t, self.kv_heads, self.head_dim).transpose(1, 2)
        q = q * cos + rotate_half(q) * sin
        k = k * cos + rotate_half(k) * sin
        k = repeat_kv(k, self.heads // self.kv_heads)
        v = repeat_kv(v, self.heads // self.kv_heads)
        scores = torch.matmul(q, k.transpose(2, 3)) / math.sqrt(self.head_dim)
        scores = scores + mask
        probs = F.softmax(scores, dim=-1, dtype=torch.float32).to(q.dtype)
        out = torch.matmul(probs, v)
        out = out.transpose(1, 2).contiguous().reshape(b, t, -1)
        return self.o_proj(out)


class MLP(nn.Module):
    def __init__(self, width, hidden):
        super().__init__()
        self.gate_proj = nn.Linear(width, hidden, bias=False)
        self.up_proj = nn.Linear(width, hidden, bias=False)
        self.down_proj = nn.Linear(hidden, width, bias=False)

    def forward(self, x):
        return self.down_proj(F.silu(self.gate_proj(x)) * self.up_proj(x))


class Layer(nn.Module):
    def __init__(self, width, heads, kv_heads, hidden):
        super().__init__()
        self.input_layernorm = RMSNorm(width)
        self.self_attn = Attention(width, heads, kv_heads)
        self.post_attention_layernorm = RMSNorm(width)
        self.mlp = MLP(width, hidden)

    def forward(self, h, cos, sin, mask):
        h = h + self.self_attn(self.input_layernorm(h), cos, sin, mask)
        return h + self.mlp(self.post_attention_layernorm(h))


class Decoder(nn.Module):
    def __init__(self, layers, width, heads, kv_heads, hidden, vocab, max_positions):
        super().__init__()
        self.embed_tokens = nn.Embedding(vocab, width)
        self.layers = nn.ModuleList(Layer(width, heads, kv_heads, hidden) for _ in range(layers))
        self.norm = RMSNorm(width)
        self.lm_head = nn.Linear(width, vocab, bias=False)
        head_dim = width // heads
        inv_freq = 1.0 / (10000 ** (torch.arange(0, head_dim, 2).float() / head_dim))
        freqs = torch.outer(torch.arange(max_positions).float(), inv_freq)
        emb = torch.cat((freqs, freqs), dim=-1)
        self.register_buffer("rope_cos", emb.cos())
        self.register_buffer("rope_sin", emb.sin())
        self.register_buffer("causal_mask", torch.full((max_positions, max_positions), float("-inf")).triu(1))

    def forward(self, ids):
        t = ids.shape[1]
        h = self.embed_tokens(ids)
        cos, sin = self.rope_cos[:t], self.rope_sin[:t]
        mask = self.causal_mask[:t, :t]
        for layer in self.layers:
            h = layer(h, cos, sin, mask)
        return self.lm_head(self.norm(h))


def compare(reference, generated):
    """Node by node: kind, name, op, args, kwargs and shape; the first difference or None."""
    a, b = (json.load(open(p)) for p in (reference, generated))
    if len(a["nodes"]) != len(b["nodes"]):
        return "%d nodes against %d" % (len(a["nodes"]), len(b["nodes"]))
    for x, y in zip(a["nodes"], b["nodes"]):
        for key in ("kind", "name", "op", "args", "kwargs", "shape"):
            if x.get(key) != y.get(key):
                return "node %d %s: %r against %r" % (x["id"], key, x.get(key), y.get(key))
    if a["outputs"] != b["outputs"]:
        return "outputs %r against %r" % (a["outputs"], b["outputs"])
    return None


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--layers", type=int, default=2)
    parser.add_argument("--width", type=int, default=64)
    parser.add_argument("--heads", type=int, default=4)
    parser.add_argument("--kv-heads", type=int, default=2)
    parser.add_argument("--mlp", type=int, default=160)
    parser.add_argument("--vocab", type=int, default=100)
    parser.add_argument("--seq", type=int, default=16)
    parser.add_argument("-o", "--output")
    parser.add_argument("--compare", nargs=2, metavar=("REFERENCE", "GENERATED"))
    args = parser.parse_args()
    if args.compare:
        difference = compare(*args.compare)
        print(difference or "same graph")
        return 1 if difference else 0
    torch.manual_seed(0)
    model = Decoder(args.layers, args.width, args.heads, args.kv_heads, args.mlp, args.vocab, args.seq).eval()
    ids = torch.randint(0, args.vocab, (1, args.seq))
    graph = export.trace(model, ids, name="decoder")
    write_atomic(args.output, export.dumps_graph(graph))
    return 0


if __name__ == "__main__":
    sys.exit(main())
