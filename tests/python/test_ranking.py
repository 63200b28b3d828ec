"""Importance criteria against hand computations, targets against measured costs, rounds."""

import unittest

import torch
from torch import nn
import torch.nn.functional as F

import zavo
from zavo import importance
from zavo.selection import TargetError, tied_sets


class Linear3(nn.Module):
    """x -> W1 -> W2 -> W3, no biases: two tied sets (W1's 4 outputs with W2's inputs, W2's 5
    outputs with W3's inputs), gradients easy to write down."""

    def __init__(self):
        super().__init__()
        self.fc1, self.fc2, self.fc3 = nn.Linear(3, 4, bias=False), nn.Linear(4, 5, bias=False), nn.Linear(5, 2, bias=False)

    def forward(self, x):
        return self.fc3(self.fc2(self.fc1(x)))


def scores_by_slice(model, x, criterion, **options):
    """{(weight, dim, index): score of its class} for every weight slice of a prunable class."""
    groups, sets = tied_sets(model, zavo.analyze(model, x))
    scores = importance.class_scores(model, groups, criterion, sets=sets, **options)
    return {tuple(c): s for g, s in zip(groups, scores) for c in g.channels if c.node.endswith("weight")}


class Criteria(unittest.TestCase):
    def test_taylor_is_weight_times_accumulated_gradient(self):
        torch.manual_seed(0)
        model = Linear3()
        data = [(torch.randn(6, 3), torch.randn(6, 2)) for _ in range(2)]
        W1, W2, W3 = (m.weight.detach() for m in (model.fc1, model.fc2, model.fc3))
        # loss = sum(y * t): dL/dW3 = t h2^T, dL/dW2 = (W3^T t) h1^T, dL/dW1 = (W2^T W3^T t) x^T, summed over batches.
        G1, G2, G3 = torch.zeros_like(W1), torch.zeros_like(W2), torch.zeros_like(W3)
        for x, t in data:
            h1 = x @ W1.T
            h2 = h1 @ W2.T
            G3 += t.T @ h2
            G2 += (t @ W3).T @ h1
            G1 += (t @ W3 @ W2).T @ x
        T1, T2, T3 = ((W * G).abs() for W, G in ((W1, G1), (W2, G2), (W3, G3)))
        expected = {("fc1.weight", 0, i): (T1[i].sum() + T2[:, i].sum()).item() for i in range(4)}
        expected.update({("fc2.weight", 0, i): (T2[i].sum() + T3[:, i].sum()).item() for i in range(5)})
        model.fc1.weight.grad = marker = torch.ones_like(W1)
        got = scores_by_slice(model.train(), data[0][0], "taylor", data=data, loss_fn=lambda y, t: (y * t).sum())
        for key, value in expected.items():
            self.assertAlmostEqual(got[key], value, places=4, msg=key)
        self.assertIs(model.fc1.weight.grad, marker)  # the user's gradients and mode are left alone
        self.assertTrue(model.training)

    def test_bn_scale_and_its_fallback_random_and_bad_input(self):
        torch.manual_seed(0)
        model = nn.Sequential(nn.Conv2d(3, 4, 3), nn.BatchNorm2d(4), nn.ReLU(), nn.AdaptiveAvgPool2d(1), nn.Flatten(),
                              nn.Linear(4, 6), nn.ReLU(), nn.Linear(6, 2))
        nn.init.uniform_(model[1].weight, -2, 2)
        x = torch.randn(1, 3, 4, 4)
        got = scores_by_slice(model, x, "bn_scale")
        for i in range(4):  # the convolution's channels: the batch norm's |scale|
            self.assertAlmostEqual(got[("0.weight", 0, i)], model[1].weight[i].abs().item(), places=6)
        l1 = scores_by_slice(model, x, "l1")
        for i in range(6):  # the hidden features have no normalisation: L1
            self.assertAlmostEqual(got[("5.weight", 0, i)], l1[("5.weight", 0, i)], places=5)
        draws = [scores_by_slice(model, x, "random", seed=s) for s in (3, 3, 4)]
        self.assertEqual(draws[0], draws[1])
        self.assertNotEqual(draws[0], draws[2])
        widths = [[m.out_features for m in zavo.prune(model, x, target_params=0.5, importance="random",
                                                      seed=s).model if isinstance(m, nn.Linear)] for s in (3, 3)]
        self.assertEqual(widths[0], widths[1])
        for options, message in ((dict(importance="taylor"), "needs data="), (dict(importance="l3"), "must be one of"),
                                 (dict(normalize="max", global_ranking=True), "normalize must be"),
                                 (dict(amount=0.3, target_macs=0.5), "give one of"), (dict(steps=0), "steps must")):
            with self.subTest(**{k: str(v) for k, v in options.items()}):
                with self.assertRaisesRegex(ValueError, message):
                    zavo.prune(model, x, **options)


class Residual(nn.Module):
    """A stem, two residual blocks of 16 channels, a depthwise block, a 32-wide hidden head."""

    def __init__(self):
        super().__init__()
        self.stem, self.bn = nn.Conv2d(3, 16, 3, padding=1), nn.BatchNorm2d(16)
        self.blocks = nn.ModuleList(nn.Sequential(nn.Conv2d(16, 24, 3, padding=1), nn.BatchNorm2d(24), nn.ReLU(),
                                                  nn.Conv2d(24, 16, 3, padding=1)) for _ in range(2))
        self.depthwise = nn.Sequential(nn.Conv2d(16, 40, 1), nn.Conv2d(40, 40, 3, padding=1, groups=40), nn.ReLU())
        self.head = nn.Sequential(nn.Linear(40, 32), nn.ReLU(), nn.Linear(32, 10))

    def forward(self, x):
        x = F.relu(self.bn(self.stem(x)))
        for block in self.blocks:
            x = x + block(x)
        x = self.depthwise(F.max_pool2d(x, 2))
        return self.head(x.mean((2, 3)))


class Targets(unittest.TestCase):
    def test_targets_land_within_a_point_and_keep_their_rules(self):
        torch.manual_seed(0)
        model, x = Residual().eval(), torch.randn(1, 3, 8, 8)
        report = zavo.analyze(model, x)
        for measure in ("macs", "params"):
            for share in (0.8, 0.5, 0.25):
                for options in (dict(), dict(round_to=4), dict(global_ranking=False), dict(normalize="element")):
                    with self.subTest(measure=measure, share=share, **options):
                        result = zavo.prune(model, x, report=report, **{"target_" + measure: share}, **options)
                        before, after = result.macs if measure == "macs" else result.parameters
                        # Blocks of four channels of a 16-channel stream are coarse steps.
                        self.assertLessEqual(abs(after / before - share), 0.04 if "round_to" in options else 0.01)
                        convs = [m for m in result.model.modules() if isinstance(m, nn.Conv2d)]
                        if "round_to" in options:
                            self.assertTrue(all(c.out_channels % 4 == 0 for c in convs))
                        if options.get("global_ranking") is False:  # every set loses the same share
                            kept = [c.out_channels / 24 for c in (b[0] for b in result.model.blocks)]
                            self.assertLessEqual(abs(kept[0] - kept[1]), 1 / 24 + 1e-9)
        with self.assertRaisesRegex(TargetError, r"target_params=0.05 cannot be reached: keeping one channel per "
                                                 r"dimension of the prunable classes keeps 12\.8% of the parameters"):
            zavo.prune(model, x, report=report, target_params=0.05, ignored_layers=["head.0"], set_limit=1.0)

    def test_no_set_loses_more_than_its_limit_of_what_it_had(self):
        torch.manual_seed(0)
        model, x = Residual().eval(), torch.randn(2, 3, 8, 8)
        data = [(x, torch.tensor([1, 2]))]
        before = {name: p.shape for name, p in model.named_parameters()}
        # Raw scores and many rounds are what empties cheap sets when nothing stops them.
        for limit, options in ((0.5, dict(amount=0.9, global_ranking=True, normalize="none")),
                               (0.75, dict(target_macs=0.2, normalize="none")),
                               (0.75, dict(target_macs=0.25, steps=3, importance="taylor", data=data)),
                               (0.5, dict(amount=0.5, steps=2))):
            with self.subTest(limit=limit, **{k: str(v) for k, v in options.items() if k != "data"}):
                result = zavo.prune(model, x, set_limit=limit, **options)
                at_limit = 0
                for name, p in result.model.named_parameters():
                    for dim, (was, now) in enumerate(zip(before[name], p.shape)):
                        floor = max(1, was - int(limit * was))
                        self.assertGreaterEqual(now, floor, (name, dim))
                        at_limit += now == floor < was
                self.assertGreater(at_limit, 0)  # the limit was what stopped a set

    def test_rounds_rerank_the_pruned_model_and_call_back_between_them(self):
        torch.manual_seed(0)
        model, x = Residual().eval(), torch.randn(2, 3, 8, 8)
        data = [(x, torch.tensor([1, 2]))]
        calls = []

        def between(pruned, step):
            calls.append((step, sum(p.numel() for p in pruned.parameters())))

        result = zavo.prune(model, x, target_macs=0.4, steps=3, importance="taylor", data=data, between_steps=between)
        self.assertEqual([c[0] for c in calls], [1, 2])
        self.assertEqual([r.step for r in result.rounds], [1, 2, 3])
        self.assertEqual([r.parameters for r in result.rounds[:2]], [c[1] for c in calls])
        shares = [r.macs / result.macs[0] for r in result.rounds]
        for got, due in zip(shares, (0.8, 0.6, 0.4)):  # a linear schedule
            self.assertLessEqual(abs(got - due), 0.01)
        self.assertEqual(result.macs[1], result.rounds[-1].macs)
        self.assertEqual(result.removed_classes, sum(r.removed_classes for r in result.rounds))
        self.assertTrue(all(r.scores.low <= r.scores.cut <= r.scores.high for r in result.rounds))
        self.assertIn("pruned to 40% of its MACs (global ranking, scores normalised by set mean, 3 steps, "
                      "taylor importance)", str(result))
        # An amount in rounds removes the same share of each set as at once.
        widths = [[m.out_channels for m in zavo.prune(model, x, amount=0.5, steps=s).model.modules()
                   if isinstance(m, nn.Conv2d)] for s in (1, 2)]
        self.assertEqual(widths[0], widths[1])


class Latency(unittest.TestCase):
    def test_one_median_per_batch_size_and_the_threads_restored(self):
        model, threads = nn.Sequential(nn.Conv2d(3, 4, 3), nn.ReLU()).train(), torch.get_num_threads()
        got = zavo.measure_latency(model, torch.randn(1, 3, 8, 8), threads=1, batch_sizes=(1, 3), warmup=1, repeat=3)
        self.assertEqual(sorted(got), [1, 3])
        self.assertTrue(all(v > 0 for v in got.values()))
        self.assertEqual(torch.get_num_threads(), threads)
        self.assertTrue(model.training)
        with self.assertRaisesRegex(ValueError, "batch_sizes"):
            zavo.measure_latency(model, torch.randn(1, 3, 8, 8), batch_sizes=(0,))


if __name__ == "__main__":
    unittest.main()
