"""A Llama-style decoder-only language model in plain PyTorch.

RMS normalisation, rotary position embedding, grouped-query attention, a
SwiGLU MLP, and a language-model head tied to the token embedding or not.
`CONFIGS` names the zoo's tiny configuration and full-size shapes (7B) that
are meant to be built on the `meta` device: every module takes a `device`, so
`Decoder(CONFIGS["7b"], device="meta")` allocates no weight and still traces.
A pruned decoder's `config` gives its head counts and MLP widths per layer
(`config_of`), so that `Decoder(config)` builds a model its state fits.
"""

from dataclasses import dataclass, replace

import torch
from torch import nn
import torch.nn.functional as F


@dataclass(frozen=True)
class DecoderConfig:
    vocab_size: int
    dim: int
    layers: int
    heads: int  # each of heads, kv_heads and hidden: one number, or one per layer
    kv_heads: int  # heads share key-value heads in groups of heads // kv_heads
    hidden: int  # width of the SwiGLU MLP
    max_seq: int
    tie_embeddings: bool = True
    rope_theta: float = 10000.0
    norm_eps: float = 1e-5
    head_dim: int = None  # dim // heads unless given

    def __post_init__(self):
        if self.head_dim is None:
            object.__setattr__(self, "head_dim", self.dim // self.heads)

    def layer(self, i):
        """The configuration of layer i: its own head counts and MLP width."""
        def pick(value):
            return value[i] if isinstance(value, tuple) else value

        return replace(self, heads=pick(self.heads), kv_heads=pick(self.kv_heads), hidden=pick(self.hidden))


CONFIGS = {
    "tiny": DecoderConfig(vocab_size=96, dim=32, layers=2, heads=4, kv_heads=2, hidden=64, max_seq=32),
    "7b": DecoderConfig(vocab_size=32000, dim=4096, layers=32, heads=32, kv_heads=8, hidden=11008, max_seq=4096,
                        tie_embeddings=False),
}


class RMSNorm(nn.Module):
    def __init__(self, dim, eps, device=None):
        super().__init__()
        self.eps = eps
        self.weight = nn.Parameter(torch.ones(dim, device=device))

    def forward(self, x):
        return x * torch.rsqrt(x.pow(2).mean(-1, keepdim=True) + self.eps) * self.weight


def rotate_half(x):
    half = x.shape[-1] // 2
    return torch.cat((-x[..., half:], x[..., :half]), dim=-1)


class Attention(nn.Module):
    def __init__(self, config, device=None):
        super().__init__()
        self.heads, self.kv_heads, self.head_dim = config.heads, config.kv_heads, config.head_dim
        self.q_proj = nn.Linear(config.dim, config.heads * config.head_dim, bias=False, device=device)
        self.k_proj = nn.Linear(config.dim, config.kv_heads * config.head_dim, bias=False, device=device)
        self.v_proj = nn.Linear(config.dim, config.kv_heads * config.head_dim, bias=False, device=device)
        self.o_proj = nn.Linear(config.heads * config.head_dim, config.dim, bias=False, device=device)

    def forward(self, x, cos, sin):
        b, t, _ = x.shape
        q = self.q_proj(x).view(b, t, self.heads, self.head_dim).transpose(1, 2)
        k = self.k_proj(x).view(b, t, self.kv_heads, self.head_dim).transpose(1, 2)
        v = self.v_proj(x).view(b, t, self.kv_heads, self.head_dim).transpose(1, 2)
        q, k = q * cos + rotate_half(q) * sin, k * cos + rotate_half(k) * sin
        # Each key-value head serves `heads // kv_heads` consecutive query heads.
        group = self.heads // self.kv_heads
        k = k[:, :, None].expand(b, self.kv_heads, group, t, self.head_dim).reshape(b, self.heads, t, self.head_dim)
        v = v[:, :, None].expand(b, self.kv_heads, group, t, self.head_dim).reshape(b, self.heads, t, self.head_dim)
        scores = q @ k.transpose(2, 3) / self.head_dim ** 0.5
        scores = scores + torch.triu(torch.full_like(scores, float("-inf")), diagonal=1)
        out = F.softmax(scores, dim=-1) @ v
        return self.o_proj(out.transpose(1, 2).reshape(b, t, self.heads * self.head_dim))


class MLP(nn.Module):
    """SwiGLU: down(silu(gate(x)) * up(x))."""

    def __init__(self, config, device=None):
        super().__init__()
        self.gate_proj = nn.Linear(config.dim, config.hidden, bias=False, device=device)
        self.up_proj = nn.Linear(config.dim, config.hidden, bias=False, device=device)
        self.down_proj = nn.Linear(config.hidden, config.dim, bias=False, device=device)

    def forward(self, x):
        return self.down_proj(F.silu(self.gate_proj(x)) * self.up_proj(x))


class Block(nn.Module):
    def __init__(self, config, device=None):
        super().__init__()
        self.attn_norm = RMSNorm(config.dim, config.norm_eps, device)
        self.attn = Attention(config, device)
        self.mlp_norm = RMSNorm(config.dim, config.norm_eps, device)
        self.mlp = MLP(config, device)

    def forward(self, x, cos, sin):
        x = x + self.attn(self.attn_norm(x), cos, sin)
        return x + self.mlp(self.mlp_norm(x))


class Decoder(nn.Module):
    """Token ids (batch, tokens) to next-token logits (batch, tokens, vocabulary)."""

    def __init__(self, config, device=None):
        super().__init__()
        self.config = config
        self.embed = nn.Embedding(config.vocab_size, config.dim, device=device)
        self.blocks = nn.ModuleList(Block(config.layer(i), device) for i in range(config.layers))
        self.norm = RMSNorm(config.dim, config.norm_eps, device)
        self.head = nn.Linear(config.dim, config.vocab_size, bias=False, device=device)
        if config.tie_embeddings:
            self.head.weight = self.embed.weight
        # The rotary tables for every position, sliced to the input's length in forward.
        half = config.head_dim // 2
        inv_freq = 1.0 / config.rope_theta ** (torch.arange(half, device=device).float() / half)
        angles = torch.outer(torch.arange(config.max_seq, device=device).float(), inv_freq)
        angles = torch.cat((angles, angles), dim=-1)
        self.register_buffer("rope_cos", angles.cos(), persistent=False)
        self.register_buffer("rope_sin", angles.sin(), persistent=False)

    def forward(self, tokens):
        t = tokens.shape[1]
        cos, sin = self.rope_cos[:t], self.rope_sin[:t]
        x = self.embed(tokens)
        for block in self.blocks:
            x = block(x, cos, sin)
        return self.head(self.norm(x))


def config_of(model):
    """The configuration of a decoder's present shapes (after pruning): the embedding width,
    and per layer the head counts and MLP width, one number where every layer agrees."""
    def per_layer(values):
        return values[0] if len(set(values)) == 1 else tuple(values)

    blocks = list(model.blocks)
    return replace(model.config, dim=model.embed.weight.shape[1],
                   heads=per_layer([b.attn.heads for b in blocks]),
                   kv_heads=per_layer([b.attn.kv_heads for b in blocks]),
                   hidden=per_layer([b.mlp.gate_proj.out_features for b in blocks]))
