"""Removing heads and embedding channels from attention layers: the counts follow the tensors,
the pruned layer computes what the layer with those slices zeroed computes, and the proof
undoes everything."""

import io
import unittest

from tests.python.support import REPO  # noqa: F401  (puts the package on the path)

import torch
from torch import nn

import zavo
from zavo import decoder, surgery, verify
from zavo.attention import PrunedMultiheadAttention
from zavo.pruning import run_counted


class Call(nn.Module):
    """A module that calls `layer` through `call(layer, *inputs)`."""

    def __init__(self, layer, call):
        super().__init__()
        self.layer, self.call = layer, call

    def forward(self, *inputs):
        return self.call(self.layer, *inputs)


def slices(triples):
    return [{"node": name, "dim": dim, "index": index} for name, dim, index in triples]


def mha_head(mha, h, prefix=""):
    """Every slice of head h of an nn.MultiheadAttention: its q, k and v rows (fused or not,
    with biases and the added key and value biases) and its columns of the output projection."""
    size, width = mha.head_dim, mha.num_heads * mha.head_dim
    rows = range(h * size, (h + 1) * size)
    out = [(prefix + "out_proj.weight", 1, i) for i in rows]
    for part, name in enumerate("qkv"):
        if mha._qkv_same_embed_dim:
            out += [(prefix + "in_proj_weight", 0, part * width + i) for i in rows]
        else:
            out += [(prefix + "%s_proj_weight" % name, 0, i) for i in rows]
        if mha.in_proj_bias is not None:
            out += [(prefix + "in_proj_bias", 0, part * width + i) for i in rows]
    for extra in ("bias_k", "bias_v"):
        if getattr(mha, extra) is not None:
            out += [(prefix + extra, 2, i) for i in rows]
    return out


def mha_channel(mha, c, prefix=""):
    """Embedding channel c of the query and output (and of key and value when they share it)."""
    out = [(prefix + "out_proj.weight", 0, c)] + [(prefix + "out_proj.bias", 0, c)] * (mha.out_proj.bias is not None)
    if mha._qkv_same_embed_dim:
        return out + [(prefix + "in_proj_weight", 1, c)]
    return out + [(prefix + "q_proj_weight", 1, c)]


class MultiheadAttention(unittest.TestCase):
    """Every form of the call, with heads and channels removed, against the zeroed layer."""

    CASES = [
        # options, heads removed, embedding channels removed, call
        (dict(batch_first=True), [1], [3, 5], "self"),
        (dict(batch_first=True), [0, 2], [], "self weights per head"),
        (dict(bias=False, add_bias_kv=True, add_zero_attn=True), [3], [], "self padding mask weights"),
        (dict(kdim=6, vdim=7, batch_first=True), [2], [0], "cross float mask weights per head"),
        (dict(), [1, 2, 3], [15], "unbatched bool mask"),
    ]

    def call(self, mha, how, x, memory):
        torch.manual_seed(3)
        unbatched = "unbatched" in how
        q = x[0] if unbatched else x
        k = v = q if "cross" not in how else memory
        kwargs = dict(need_weights="weights" in how, average_attn_weights="per head" not in how)
        tgt, src = q.shape[-2 if mha.batch_first or unbatched else 0], k.shape[-2 if mha.batch_first else 0]
        if "padding mask" in how:
            kwargs["key_padding_mask"] = torch.rand(q.shape[1], src) < 0.3
        if "float mask" in how:
            kwargs["attn_mask"] = torch.randn(tgt, src)
        if "bool mask" in how:
            kwargs["attn_mask"] = torch.rand(tgt, src) < 0.3
        if "cross" in how:
            k, v = memory[..., :mha.kdim], memory[..., :mha.vdim]
        return mha(q, k, v, **kwargs)

    def test_pruned_layers_compute_the_zeroed_layers_results(self):
        for options, heads, channels, how in self.CASES:
            with self.subTest(how=how, **{k: str(v) for k, v in options.items()}):
                torch.manual_seed(0)
                mha = nn.MultiheadAttention(16, 4, **options).eval()
                with torch.no_grad():
                    for p in mha.parameters():
                        p.normal_()
                cut = [t for h in heads for t in mha_head(mha, h)] + [t for c in channels for t in mha_channel(mha, c)]
                x = torch.randn(3, 5, 16)
                memory = torch.randn(3, 7, 7) if mha.batch_first else torch.randn(7, 3, 7)
                with verify.zeroed(mha, slices(cut)):
                    want, want_weights = self.call(mha, how, x, memory)
                keep = [c for c in range(16) if c not in channels]
                edits = surgery.prune_slices(mha, slices(cut))
                self.assertIsInstance(mha, PrunedMultiheadAttention)
                self.assertEqual((mha.num_heads, mha.head_dim, mha.embed_dim), (4 - len(heads), 4, len(keep)))
                got, weights = self.call(mha, how, x[..., keep], memory)
                torch.testing.assert_close(got, want[..., keep])
                if "per head" in how:
                    kept = [h for h in range(4) if h not in heads]
                    torch.testing.assert_close(weights, want_weights[:, kept])
                elif weights is not None:  # an average over the heads left: each row still sums to one
                    self.assertEqual(weights.shape, want_weights.shape)
                    torch.testing.assert_close(weights.sum(-1), torch.ones(weights.shape[:-1]))
                edits.undo()
                self.assertIs(type(mha), nn.MultiheadAttention)
                self.assertEqual((mha.num_heads, mha.embed_dim, mha.in_proj_weight is None), (4, 16, "kdim" in options))

    def test_its_multiply_accumulates_count_alike_in_both_forms(self):
        cases = ((dict(batch_first=True), [(2, 5, 16)] * 2), (dict(kdim=6, vdim=7), [(5, 2, 16), (7, 2, 6)]))
        for options, shapes in cases:
            mha = nn.MultiheadAttention(16, 4, **options).eval()
            q, k = (torch.randn(shape) for shape in shapes)
            model = Call(mha, lambda m, q, k: m(q, k, k[..., :1].expand(*k.shape[:-1], m.vdim), need_weights=False)[0])
            # projections 3 x 16 x 16 (or 16 x 6 and 16 x 7) per token, scores and weighted values 5 x 5 (or 5 x 7)
            # x 16 per batch entry, output 16 x 16 per query token
            want = 2 * (5 * 16 * 16 + 5 * 16 * 16 + 2 * 5 * 16 * 16 + 2 * 5 * 5 * 16) if mha.batch_first else \
                2 * (5 * 16 * 16 + 7 * 16 * 13 + 5 * 16 * 16 + 2 * 5 * 7 * 16)
            self.assertEqual(run_counted(model, (q, k))[1], want)
            mha.__class__ = PrunedMultiheadAttention
            self.assertEqual(run_counted(model, (q, k))[1], want)

    def test_an_encoder_layer_leaves_its_fused_path(self):
        torch.manual_seed(0)
        layer = nn.TransformerEncoderLayer(16, 4, dim_feedforward=32, batch_first=True).eval()
        x = torch.randn(2, 5, 16)
        cut = slices(mha_head(layer.self_attn, 0, "self_attn.") + mha_head(layer.self_attn, 2, "self_attn."))
        with torch.no_grad():  # the fused path runs without gradients
            with verify.zeroed(layer, cut):
                want = layer(x)
            surgery.prune_slices(layer, cut)
            torch.testing.assert_close(layer(x), want)

    def test_a_mask_made_for_every_head_is_refused_once_heads_are_gone(self):
        mha = nn.MultiheadAttention(8, 2).eval()
        surgery.prune_slices(mha, slices(mha_head(mha, 0)))
        x = torch.randn(5, 3, 8)
        with self.assertRaisesRegex(RuntimeError, r"the 3D attn_mask has shape \(6, 5, 5\), not \(3, 5, 5\): "
                                                  r"the layer has 1 heads now"):
            mha(x, x, x, attn_mask=torch.zeros(6, 5, 5))


class GroupNormalisation(unittest.TestCase):
    def test_groups_go_whole(self):
        torch.manual_seed(0)
        model = nn.Sequential(nn.Conv2d(3, 8, 1), nn.GroupNorm(4, 8), nn.Conv2d(8, 2, 1)).eval()
        with torch.no_grad():
            model[1].weight.uniform_(0.5, 1.5)
        group = slices((name, dim, c) for c in (2, 3) for name, dim in
                       [("0.weight", 0), ("0.bias", 0), ("1.weight", 0), ("1.bias", 0), ("2.weight", 1)])
        sound, detail = verify.check_class(model, (torch.randn(1, 3, 4, 4),), group)
        self.assertTrue(sound, detail)
        surgery.prune_slices(model, group)
        self.assertEqual((model[1].num_groups, model[1].num_channels), (3, 6))
        with self.assertRaisesRegex(surgery.SurgeryError, "5 channels left in a group normalisation of groups of 2"):
            surgery.prune_slices(model, group[:5])


def small_models():
    """(name, model, inputs): the four kinds of transformer, small, with random normalisations."""
    from torchvision.models.swin_transformer import SwinTransformer
    from torchvision.models.video.mvit import MSBlockConfig, MViT
    from torchvision.models.vision_transformer import VisionTransformer

    from zavo import zoo

    def cfg(heads, cin, cout, stride_q, stride_kv):
        return MSBlockConfig(heads, cin, cout, [3, 3, 3], [3, 3, 3], stride_q, stride_kv)

    torch.manual_seed(0)
    models = [
        ("vit", VisionTransformer(image_size=32, patch_size=8, num_layers=2, num_heads=4, hidden_dim=32, mlp_dim=48,
                                  num_classes=10), torch.randn(1, 3, 32, 32)),
        ("swin", SwinTransformer(patch_size=[4, 4], embed_dim=16, depths=[2, 2], num_heads=[2, 4], window_size=[4, 4],
                                 num_classes=10), torch.randn(1, 3, 32, 32)),
        ("mvit", MViT(spatial_size=(32, 32), temporal_size=4, residual_pool=True, residual_with_cls_embed=False,
                      rel_pos_embed=True, proj_after_attn=True, num_classes=10,
                      block_setting=[cfg(1, 16, 16, [1, 1, 1], [1, 2, 2]), cfg(4, 16, 32, [1, 2, 2], [1, 1, 1]),
                                     cfg(4, 32, 32, [1, 1, 1], [1, 1, 1])]), torch.randn(1, 3, 4, 32, 32)),
        ("decoder", decoder.Decoder(decoder.DecoderConfig(vocab_size=64, dim=32, layers=2, heads=8, kv_heads=4,
                                                          hidden=48, max_seq=16)), torch.randint(64, (1, 16))),
    ]
    for _, model, _ in models:
        model.eval()
        with torch.no_grad():
            zoo._randomise_norms(model)
            for name, p in model.named_parameters():  # trained-looking tables and tokens, not zeros
                if p.abs().sum() == 0:
                    p.normal_(0, 0.5)
    return models


def counts(model):
    """Every module's class and the attributes that count its channels and heads."""
    return [(name, type(m), {a: getattr(m, a) for a in surgery.CHANNEL_COUNTS if hasattr(m, a)})
            for name, m in model.named_modules()]


class SmallTransformers(unittest.TestCase):
    """zavo.prune and the proof on ViT, Swin, MViT and the decoder, with the analysis's classes."""

    @classmethod
    def setUpClass(cls):
        cls.models = small_models()

    def test_pruned_by_thirty_percent_they_run_with_fewer_heads_in_whole_groups(self):
        for name, model, x in self.models:
            with self.subTest(name):
                result = zavo.prune(model, x, amount=0.3)
                (heads, kv), (heads_after, kv_after) = result.heads
                self.assertLess(heads_after, heads)
                self.assertLessEqual(result.parameters[1], 0.7 * result.parameters[0])
                pruned = result.model
                if name == "decoder":  # every key-value head keeps its two query heads
                    self.assertEqual([(b.attn.heads, b.attn.kv_heads) for b in pruned.blocks],
                                     [(2 * b.attn.kv_heads, b.attn.kv_heads) for b in pruned.blocks])
                    self.assertEqual((heads_after, pruned.config.dim), (2 * kv_after, pruned.embed.weight.shape[1]))
                    rebuilt = decoder.Decoder(pruned.config).eval()
                    rebuilt.load_state_dict(pruned.state_dict())
                    torch.testing.assert_close(rebuilt(x), pruned(x))
                buffer = io.BytesIO()
                torch.save(pruned, buffer)
                buffer.seek(0)
                loaded = torch.load(buffer)
                torch.testing.assert_close(loaded(x), pruned(x))
                # Heads and widths no longer agree where the layer took one from the other.
                replaced = {type(m).__name__ for m in loaded.modules() if type(m).__module__ == "zavo.attention"}
                self.assertEqual(replaced, {"vit": {"PrunedMultiheadAttention"},
                                            "swin": {"PrunedShiftedWindowAttention"}}.get(name, set()))

    def test_a_target_prices_heads_with_their_scores_and_pooling(self):
        for name, model, x in self.models:
            with self.subTest(name):
                result = zavo.prune(model, x, target_macs=0.25, set_limit=1)  # the default limit keeps MViT at 27%
                self.assertLess(result.heads[1][0], result.heads[0][0])
                self.assertLessEqual(abs(result.macs[1] / result.macs[0] - 0.25), 0.01)

    def test_round_to_counts_the_channels_a_head_removes(self):
        _, model, x = self.models[-1]  # the decoder: heads of 4 channels, key-value groups of 8 query rows
        for options in (dict(amount=0.5), dict(target_macs=0.3)):
            with self.subTest(**options):
                result = zavo.prune(model, x, round_to=8, **options)
                self.assertLess(result.heads[1][0], result.heads[0][0])
                widths = {n: p.shape for n, p in result.model.named_parameters() if "embed" not in n}
                self.assertEqual({size % 8 for shape in widths.values() for size in shape}, {0}, widths)

    def test_the_proof_holds_on_a_class_of_every_tied_set(self):
        for name, model, x in self.models:
            with self.subTest(name):
                report = zavo.analyze(model, x)
                spanned = verify.spanned_labels(zavo.trace(model, x), report.nodes)
                sets = {}
                for group in report.prunable_groups:
                    sets.setdefault(frozenset((c.node, c.dim) for c in group.channels), group)
                before = counts(model)
                checks = set()
                for group in sets.values():
                    sound, detail = verify.check_class(model, (x,), group.channels, spanned_by=spanned.get(group.label))
                    self.assertTrue(sound, "%s: %s" % (verify.describe_slices(group.channels), detail))
                    checks.add(detail.split(",")[0])
                self.assertEqual(checks, {"equal to the zeroed model", "runs"})
                self.assertEqual(counts(model), before)


if __name__ == "__main__":
    unittest.main()
