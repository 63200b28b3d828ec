"""Attention layers that read the size of a head from the layer, not from the embedding width.

`nn.MultiheadAttention` and torchvision's Swin window attention derive the
size of a head from the width of their input (`embed_dim // num_heads`) and
project back to that width; once heads or embedding channels are pruned the
two widths differ.  The pruner gives such a layer one of these classes (a
subclass, so `isinstance` checks still hold): the same parameters, the same
results, with `num_heads * head_dim` as the width of the heads and the input's
width as the embedding.  They pickle under `zavo.attention`.
"""

import math

import torch
from torch import nn
import torch.nn.functional as F


def _pad_last(mask):
    return None if mask is None else F.pad(mask, (0, 1))


def _float_mask(attn_mask, key_padding_mask, batch, heads, tgt, src, dtype):
    """One additive mask of shape (batch * heads, tgt, src) or (1, tgt, src), or None."""
    if attn_mask is not None:
        if attn_mask.dtype == torch.uint8:
            attn_mask = attn_mask.to(torch.bool)
        if attn_mask.dim() == 2:
            if tuple(attn_mask.shape) != (tgt, src):
                raise RuntimeError("the 2D attn_mask has shape %s, not %s" % (tuple(attn_mask.shape), (tgt, src)))
            attn_mask = attn_mask.unsqueeze(0)
        elif attn_mask.dim() == 3:
            if tuple(attn_mask.shape) != (batch * heads, tgt, src):
                raise RuntimeError("the 3D attn_mask has shape %s, not %s: the layer has %d heads now" % (
                    tuple(attn_mask.shape), (batch * heads, tgt, src), heads))
        else:
            raise RuntimeError("attn_mask's dimension %d is not supported" % attn_mask.dim())
    if key_padding_mask is not None:
        if tuple(key_padding_mask.shape) != (batch, src):
            raise RuntimeError("key_padding_mask has shape %s, not %s" % (tuple(key_padding_mask.shape), (batch, src)))
        padding = key_padding_mask.view(batch, 1, 1, src).expand(-1, heads, -1, -1).reshape(batch * heads, 1, src)
        if attn_mask is None:
            attn_mask = padding
        elif attn_mask.dtype == torch.bool:
            attn_mask = attn_mask.logical_or(padding)
        else:
            attn_mask = attn_mask.masked_fill(padding, float("-inf"))
    if attn_mask is not None and attn_mask.dtype == torch.bool:
        attn_mask = torch.zeros_like(attn_mask, dtype=dtype).masked_fill_(attn_mask, float("-inf"))
    return attn_mask


class PrunedMultiheadAttention(nn.MultiheadAttention):
    """`nn.MultiheadAttention` with `num_heads` heads of `head_dim` channels each.

    `embed_dim` is the width of the query and of the output, `kdim` and `vdim`
    those of the key and value; the projections map them to and from
    `num_heads * head_dim` channels.  With `_qkv_same_embed_dim`, the query,
    key and value rows of `in_proj_weight` follow each other in that order.
    The arguments and results are those of `nn.MultiheadAttention.forward`;
    a 3D `attn_mask` must be made for the heads the layer has now.
    """

    def forward(self, query, key, value, key_padding_mask=None, need_weights=True, attn_mask=None,
                average_attn_weights=True):
        batched = query.dim() == 3
        if batched and self.batch_first:
            query, key, value = (t.transpose(0, 1) for t in (query, key, value))
        elif not batched:
            query, key, value = (t.unsqueeze(1) for t in (query, key, value))
            if key_padding_mask is not None:
                key_padding_mask = key_padding_mask.unsqueeze(0)
        heads, size = self.num_heads, self.head_dim
        width = heads * size
        if self._qkv_same_embed_dim:
            w_q, w_k, w_v = self.in_proj_weight.split(width)
        else:
            w_q, w_k, w_v = self.q_proj_weight, self.k_proj_weight, self.v_proj_weight
        b_q = b_k = b_v = None
        if self.in_proj_bias is not None:
            b_q, b_k, b_v = self.in_proj_bias.split(width)
        q, k, v = F.linear(query, w_q, b_q), F.linear(key, w_k, b_k), F.linear(value, w_v, b_v)
        tgt, batch = q.shape[:2]
        if self.bias_k is not None and self.bias_v is not None:
            k = torch.cat([k, self.bias_k.repeat(1, batch, 1)])
            v = torch.cat([v, self.bias_v.repeat(1, batch, 1)])
            attn_mask, key_padding_mask = _pad_last(attn_mask), _pad_last(key_padding_mask)
        q = q.reshape(tgt, batch * heads, size).transpose(0, 1)
        k = k.reshape(k.shape[0], batch * heads, size).transpose(0, 1)
        v = v.reshape(v.shape[0], batch * heads, size).transpose(0, 1)
        if self.add_zero_attn:
            zeros = k.new_zeros(batch * heads, 1, size)
            k, v = torch.cat([k, zeros], dim=1), torch.cat([v, zeros], dim=1)
            attn_mask, key_padding_mask = _pad_last(attn_mask), _pad_last(key_padding_mask)
        src = k.shape[1]
        mask = _float_mask(attn_mask, key_padding_mask, batch, heads, tgt, src, q.dtype)
        q = q / math.sqrt(size)
        if mask is None:
            weights = torch.bmm(q, k.transpose(1, 2))
        else:
            weights = torch.baddbmm(mask, q, k.transpose(1, 2))
        weights = F.softmax(weights, dim=-1)
        if self.training and self.dropout > 0:
            weights = F.dropout(weights, p=self.dropout)
        out = torch.bmm(weights, v).transpose(0, 1).reshape(tgt * batch, width)
        out = F.linear(out, self.out_proj.weight, self.out_proj.bias).view(tgt, batch, -1)
        if batched and self.batch_first:
            out = out.transpose(0, 1)
        elif not batched:
            out = out.squeeze(1)
        if not need_weights:
            return out, None
        weights = weights.view(batch, heads, tgt, src)
        if average_attn_weights:
            weights = weights.mean(dim=1)
        return out, weights if batched else weights.squeeze(0)


def window_attention(module, x):
    """Shifted-window attention of torchvision's Swin layers (both versions) with
    `module.num_heads` heads of `module.head_dim` channels; x is (B, H, W, C)."""
    B, H, W, C = x.shape
    size, heads = module.window_size, module.num_heads
    width = heads * module.head_dim
    pad_r, pad_b = (size[1] - W % size[1]) % size[1], (size[0] - H % size[0]) % size[0]
    x = F.pad(x, (0, 0, 0, pad_r, 0, pad_b))
    _, pad_H, pad_W, _ = x.shape
    shift = [0 if size[0] >= pad_H else module.shift_size[0], 0 if size[1] >= pad_W else module.shift_size[1]]
    if sum(shift) > 0:
        x = torch.roll(x, shifts=(-shift[0], -shift[1]), dims=(1, 2))
    windows = (pad_H // size[0]) * (pad_W // size[1])
    x = x.view(B, pad_H // size[0], size[0], pad_W // size[1], size[1], C)
    x = x.permute(0, 1, 3, 2, 4, 5).reshape(B * windows, size[0] * size[1], C)
    logit_scale = getattr(module, "logit_scale", None)
    qkv_bias = module.qkv.bias
    if logit_scale is not None and qkv_bias is not None:
        qkv_bias = qkv_bias.clone()  # the second version has no key bias
        qkv_bias[width:2 * width].zero_()
    tokens = x.size(1)
    qkv = F.linear(x, module.qkv.weight, qkv_bias)
    q, k, v = qkv.reshape(x.size(0), tokens, 3, heads, module.head_dim).permute(2, 0, 3, 1, 4)
    if logit_scale is not None:
        attn = F.normalize(q, dim=-1) @ F.normalize(k, dim=-1).transpose(-2, -1)
        attn = attn * torch.clamp(logit_scale, max=math.log(100.0)).exp()
    else:
        attn = (q * module.head_dim ** -0.5).matmul(k.transpose(-2, -1))
    attn = attn + module.get_relative_position_bias()
    if sum(shift) > 0:
        mask = x.new_zeros((pad_H, pad_W))
        h_slices = ((0, -size[0]), (-size[0], -shift[0]), (-shift[0], None))
        w_slices = ((0, -size[1]), (-size[1], -shift[1]), (-shift[1], None))
        count = 0
        for h in h_slices:
            for w in w_slices:
                mask[h[0]:h[1], w[0]:w[1]] = count
                count += 1
        mask = mask.view(pad_H // size[0], size[0], pad_W // size[1], size[1])
        mask = mask.permute(0, 2, 1, 3).reshape(windows, size[0] * size[1])
        mask = mask.unsqueeze(1) - mask.unsqueeze(2)
        mask = mask.masked_fill(mask != 0, float(-100.0)).masked_fill(mask == 0, float(0.0))
        attn = attn.view(x.size(0) // windows, windows, heads, tokens, tokens) + mask.unsqueeze(1).unsqueeze(0)
        attn = attn.view(-1, heads, tokens, tokens)
    attn = F.dropout(F.softmax(attn, dim=-1), p=module.attention_dropout, training=module.training)
    x = attn.matmul(v).transpose(1, 2).reshape(x.size(0), tokens, width)
    x = F.dropout(F.linear(x, module.proj.weight, module.proj.bias), p=module.dropout, training=module.training)
    x = x.view(B, pad_H // size[0], pad_W // size[1], size[0], size[1], -1)
    x = x.permute(0, 1, 3, 2, 4, 5).reshape(B, pad_H, pad_W, -1)
    if sum(shift) > 0:
        x = torch.roll(x, shifts=(shift[0], shift[1]), dims=(1, 2))
    return x[:, :H, :W, :].contiguous()


try:
    from torchvision.models import swin_transformer as _swin
except ImportError:  # without torchvision no model holds Swin layers
    _swin = None

if _swin is not None:

    class PrunedShiftedWindowAttention(_swin.ShiftedWindowAttention):
        """torchvision's `ShiftedWindowAttention` with heads of `head_dim` channels."""

        def forward(self, x):
            return window_attention(self, x)

    class PrunedShiftedWindowAttentionV2(_swin.ShiftedWindowAttentionV2):
        """torchvision's `ShiftedWindowAttentionV2` with heads of `head_dim` channels."""

        def forward(self, x):
            return window_attention(self, x)
