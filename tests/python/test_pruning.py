"""zavo.prune on small models whose answer is known, the decoder, and the command."""

import os
import tempfile
import unittest

from tests.python.support import run_main

import torch
from torch import nn

import zavo
from zavo import cli, export, zoo
from zavo.pruning import PruningError, run_counted


class Chain(nn.Module):
    """Two tied sets: conv1's 8 channels (with bn1, conv2's input) and conv2's 16."""

    def __init__(self):
        super().__init__()
        self.conv1, self.bn1 = nn.Conv2d(3, 8, 3, padding=1), nn.BatchNorm2d(8)
        self.conv2, self.bn2 = nn.Conv2d(8, 16, 3, padding=1), nn.BatchNorm2d(16)
        self.conv3 = nn.Conv2d(16, 2, 1)

    def forward(self, x):
        x = torch.relu(self.bn1(self.conv1(x)))
        return self.conv3(torch.relu(self.bn2(self.conv2(x))))


def chain():
    torch.manual_seed(0)
    model = Chain().eval()
    with torch.no_grad():
        for bn in (model.bn1, model.bn2):
            bn.weight.uniform_(0.5, 1.5)
            bn.bias.uniform_(-0.5, 0.5)
    return model, torch.randn(1, 3, 6, 6)


def slice_norms(tensor, dim, p):
    t = tensor.detach().movedim(dim, 0).reshape(tensor.shape[dim], -1)
    return t.abs().sum(1) if p == 1 else t.pow(2).sum(1).sqrt()


class Selection(unittest.TestCase):
    def test_each_set_keeps_its_most_important_channels(self):
        for importance, p in (("l1", 1), ("l2", 2)):
            with self.subTest(importance):
                model, x = chain()
                m = model
                # The classes of conv1's channels: every parameter slice they remove (not running statistics).
                scores = (slice_norms(m.conv1.weight, 0, p) + slice_norms(m.conv1.bias, 0, p)
                          + slice_norms(m.bn1.weight, 0, p) + slice_norms(m.bn1.bias, 0, p)
                          + slice_norms(m.conv2.weight, 1, p))
                keep = sorted(scores.argsort(descending=True)[:4].tolist())
                pruned = zavo.prune(model, x, amount=0.5, importance=importance).model
                self.assertTrue(torch.equal(pruned.conv1.weight, m.conv1.weight[keep]))
                self.assertTrue(torch.equal(pruned.bn1.running_var, m.bn1.running_var[keep]))
                self.assertEqual(pruned.conv2.weight.shape[1], 4)
                self.assertTrue(torch.equal(pruned.conv2.weight, m.conv2.weight[:, keep][pruned_rows(pruned, m)]))

    def test_options_give_the_channel_counts(self):
        model, x = chain()
        cases = [
            (dict(amount=0.3), (6, 12)),
            (dict(amount=0.5), (4, 8)),
            (dict(amount=0.3, round_to=4), (8, 12)),
            (dict(amount=0.99, set_limit=1.0), (1, 1)),
            (dict(amount=0.9, global_ranking=True), (2, 4)),  # 21 of 24 asked; no set loses more than 80%
            (dict(amount=0.5, ignored_layers=["conv1"]), (8, 8)),
            (dict(amount=0.5, ignored_layers=[model.conv3]), (4, 16)),  # conv2's outputs feed it
            (dict(amount=0.5, ignored_layers=[model.conv2]), (8, 16)),  # both sets touch it
            (dict(amount=0.0), (8, 16)),
        ]
        report = zavo.analyze(model, x)
        for options, (c1, c2) in cases:
            with self.subTest(**{k: str(v) for k, v in options.items()}):
                pruned = zavo.prune(model, x, report=report, **options).model
                self.assertEqual((pruned.conv1.out_channels, pruned.bn1.num_features, pruned.conv2.in_channels,
                                  pruned.conv2.out_channels, pruned.bn2.num_features, pruned.conv3.in_channels),
                                 (c1, c1, c1, c2, c2, c2))
        for options in (dict(amount=1.0), dict(amount=0.9), dict(amount=0.85, steps=2), dict(set_limit=0),
                        dict(round_to=0), dict(ignored_layers=["nope"]), dict(importance="l3")):
            with self.subTest(bad=str(options)), self.assertRaises(ValueError):
                zavo.prune(model, x, report=report, **options)


def pruned_rows(pruned, original):
    """conv2's kept output channels, found from its pruned bias."""
    return [original.conv2.bias.tolist().index(b) for b in pruned.conv2.bias.tolist()]


class Result(unittest.TestCase):
    def test_copy_or_in_place_and_what_changed(self):
        model, x = chain()
        before = {k: v.clone() for k, v in model.state_dict().items()}
        result = zavo.prune(model, x, amount=0.5)
        self.assertIsNot(result.model, model)
        self.assertTrue(all(torch.equal(v, model.state_dict()[k]) for k, v in before.items()))
        # conv1 3*9 MACs per output element (8*36), conv2 8*9 (16*36), conv3 16 (2*36); halved inner widths.
        self.assertEqual(result.macs, (8 * 36 * 27 + 16 * 36 * 72 + 2 * 36 * 16, 4 * 36 * 27 + 8 * 36 * 36 + 2 * 36 * 8))
        self.assertEqual(result.parameters, (sum(p.numel() for p in model.parameters()),
                                             sum(p.numel() for p in result.model.parameters())))
        self.assertEqual([(c.name, c.before["out_channels"], c.after["out_channels"]) for c in result.layers
                          if "out_channels" in c.before], [("conv1", 8, 4), ("conv2", 16, 8), ("conv3", 2, 2)])
        text = str(result)
        self.assertIn("parameters: 1,474 -> 450 (-69.5%)", text)
        self.assertIn("bn1    num_features 8 -> 4", text)
        self.assertIs(zavo.prune(model, x, amount=0.5, inplace=True).model, model)
        self.assertEqual(model.conv1.out_channels, 4)

    def test_matrix_products_count_once(self):
        class Attention(nn.Module):
            def forward(self, q):
                return torch.softmax(q @ q.transpose(1, 2), -1) @ q

        _, macs = run_counted(Attention(), (torch.randn(2, 5, 3),))
        self.assertEqual(macs, 2 * 5 * 5 * 3 + 2 * 5 * 3 * 5)

    def test_a_pruned_model_that_breaks_is_an_error(self):
        class LinearOverWidth(nn.Module):  # a known limitation: the analysis calls conv prunable
            def __init__(self):
                super().__init__()
                self.conv, self.fc = nn.Conv2d(3, 4, 3, padding=1), nn.Linear(8, 5)

            def forward(self, x):
                return self.fc(self.conv(x))

        with self.assertRaisesRegex(PruningError, r"outputs have shapes \[\(1, 2, 8, 5\)\], not \[\(1, 4, 8, 5\)\]"):
            zavo.prune(LinearOverWidth(), torch.randn(1, 3, 8, 8), amount=0.5, rules="core", safe=False)
        # The extended rules follow the channels through the layer to the output, which keeps them.
        result = zavo.prune(LinearOverWidth(), torch.randn(1, 3, 8, 8), amount=0.5)
        self.assertEqual((result.removed_classes, result.output_shapes), (0, [(1, 4, 8, 5)]))
        # Under the catalogue's rules, the channels that the linear layer drops stay by default.
        result = zavo.prune(LinearOverWidth(), torch.randn(1, 3, 8, 8), amount=0.5, rules="core")
        self.assertEqual((result.model.conv.out_channels, result.output_shapes), (4, [(1, 4, 8, 5)]))


class Decoder(unittest.TestCase):
    def test_mlp_widths_are_pruned_and_the_head_stays_tied(self):
        built = zoo.build("tiny_decoder")
        result = zavo.prune(built.model, built.inputs, amount=0.5, rules="core")
        pruned = result.model
        for block in pruned.blocks:
            self.assertEqual((block.mlp.gate_proj.out_features, block.mlp.up_proj.out_features,
                              block.mlp.down_proj.in_features, block.attn.q_proj.out_features), (32, 32, 32, 32))
        self.assertIs(pruned.head.weight, pruned.embed.weight)
        self.assertEqual(result.output_shapes, [(1, 16, 96)])
        self.assertLess(result.macs[1], result.macs[0])

    def test_full_size_shapes_trace_on_the_meta_device(self):
        built = zoo.build("decoder_7b", device="meta")
        self.assertTrue(all(p.is_meta for p in built.model.parameters()))
        graph = export.trace(built.model, built.inputs, name="decoder_7b")
        shapes = {n["name"]: n["shape"] for n in graph["nodes"] if n["kind"] == "parameter"}
        self.assertEqual((shapes["embed.weight"], shapes["blocks.31.mlp.gate_proj.weight"],
                          shapes["blocks.31.attn.k_proj.weight"], shapes["head.weight"]),
                         ([32000, 4096], [11008, 4096], [1024, 4096], [32000, 4096]))
        self.assertEqual(graph["nodes"][graph["outputs"][0]]["shape"], [1, 128, 32000])
        tiny = [zoo.build("tiny_decoder", device=d) for d in ("meta", None)]
        meta, cpu = (export.dumps_graph(dict(export.trace(b.model, b.inputs), meta={})) for b in tiny)
        self.assertEqual(meta, cpu)


class Command(unittest.TestCase):
    def setUp(self):
        directory = tempfile.TemporaryDirectory()
        self.addCleanup(directory.cleanup)
        self.dir = directory.name
        self.out = os.path.join(self.dir, "pruned.pt")

    def test_prune_saves_the_pruned_model(self):
        status, out, err = run_main(cli.main, ["prune", "tiny_cnn", "--amount", "0.5", "-o", self.out])
        self.assertEqual(status, 0, err)
        self.assertTrue(out.startswith("tiny_cnn: pruned 50% of the prunable channels"), out)
        self.assertIn("\nparameters: 194 -> 98 (-49.5%)\nMACs:       11,520 -> 5,760 (-50.0%)\n", out)
        self.assertTrue(out.endswith("\npruned model written to %s\n" % self.out))
        self.assertEqual([line.split("] ")[-1] for line in err.splitlines()][-2:], ["checking the pruned model", "done"])
        model = torch.load(self.out)
        self.assertEqual(model.conv1.out_channels, 2)
        self.assertEqual(model(torch.randn(1, 3, 8, 8)).shape, (1, 2, 8, 8))
        status, out, err = run_main(cli.main, ["prune", "tiny_cnn", "--target-macs", "0.25", "--importance", "random",
                                               "--steps", "3", "-o", self.out])
        self.assertEqual(status, 0, err)
        self.assertTrue(out.startswith("tiny_cnn: pruned to 25% of its MACs (global ranking, scores normalised by "
                                       "set mean, 3 steps, random importance)\n"), out)
        self.assertIn("\nMACs:       11,520 -> 2,880 (-75.0%)\n", out)

    def test_failures_write_nothing(self):
        cases = [
            (["no_such_model"], 2, "error: unknown model no_such_model"),
            (["tiny_cnn", "--ignore", "nope"], 2, "error: ignored layer 'nope' is not a module of the model"),
            (["tiny_cnn", "--amount", "1"], 2, "argument --amount: expected a number at least 0 and below 1"),
            (["tiny_cnn", "--amount", "0.3", "--target-params", "0.5"], 2, "not allowed with argument --amount"),
            (["tiny_transformer", "--target-macs", "0.01", "--set-limit", "1"], 2,
             "error: target_macs=0.01 cannot be reached: keeping one channel per dimension of the prunable "
             "classes keeps 2.2% of the MACs"),
            (["tiny_cnn", "--rules", "all"], 2, "argument --rules: invalid choice: 'all'"),
        ]
        for argv, status, message in cases:
            with self.subTest(message):
                got, _, err = run_main(cli.main, ["prune", *argv, "-o", self.out])
                self.assertEqual(got, status)
                self.assertIn(message, err)
                self.assertEqual(os.listdir(self.dir), [])


if __name__ == "__main__":
    unittest.main()
