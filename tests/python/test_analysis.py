"""The in-process analysis: the command's engine, its report as Python objects, and the
in-memory graph checked by the rules of a graph file."""

import copy
import glob
import json
import os
import subprocess
import tempfile
import unittest

from tests.python.support import REPO

import torch

import zavo
from zavo import report_file, zoo_commands

EXAMPLES = sorted(glob.glob(os.path.join(REPO, "examples", "*.json")))
SMALL_ZOO = [os.path.join(REPO, "models", name + ".json")
             for name in ("tiny_cnn", "resnet18", "shufflenet_v2_x0_5", "tiny_unet", "tiny_transformer",
                          "dropout_cnn", "tiny_decoder", "fasterrcnn_mobilenet_v3_large_320_fpn")]
RESIDUAL = os.path.join(REPO, "examples", "residual_block.json")
HANDLER_ERROR = os.path.join(REPO, "examples", "handler_error.json")


def load(path):
    with open(path, encoding="utf-8") as stream:
        return json.load(stream)


class SameEngineAsTheCommand(unittest.TestCase):
    def test_reports_from_a_file_and_from_memory_are_the_commands_bytes(self):
        binary = zoo_commands.find_zavo_prune()
        with tempfile.TemporaryDirectory() as scratch:
            out = os.path.join(scratch, "report.json")
            for path in EXAMPLES + SMALL_ZOO:
                for lenient in (False, True) if path == HANDLER_ERROR else (False,):
                    with self.subTest(os.path.basename(path), lenient=lenient):
                        report = zavo.analyze_graph(path, lenient=lenient, check=False)
                        self.assertEqual(zavo.analyze_graph(load(path), lenient=lenient, check=False).to_json(),
                                         report.to_json())
                        if not binary:
                            continue
                        run = subprocess.run([binary, "analyze", path, "-o", out] + ["--lenient"] * lenient,
                                             capture_output=True, text=True)
                        with open(out, encoding="utf-8") as stream:
                            self.assertEqual(report.to_json(), stream.read())
                        self.assertEqual(run.stdout, str(report) + "\nreport written to %s\n" % out)


def fnv1a(text):
    value = 0xcbf29ce484222325
    for byte in text.encode("utf-8"):
        value = ((value ^ byte) * 0x100000001b3) & 0xFFFFFFFFFFFFFFFF
    return "%016x" % value


class RepeatedAnalyses(unittest.TestCase):
    def test_analyses_in_turn_give_the_reports_of_fresh_ones(self):
        # The goldens pin the version 2 report of a fresh parse. Here a large graph and small ones, under
        # both rule sets, with handler errors stopped or recovered, follow each other in one
        # process, some while an earlier report is still alive, and each must still report the
        # golden bytes.
        with open(os.path.join(REPO, "tests", "golden", "reports.txt"), encoding="utf-8") as stream:
            goldens = {tuple(line.split()[:2]): line.split()[5] for line in stream if not line.startswith("#")}
        turns = [("models/mobilenet_v2.json", "extended-strict"),
                 ("tests/golden/graphs/handler_errors.json", "lenient"),
                 ("models/resnet18.json", "strict"),
                 ("examples/handler_error.json", "extended-strict"),
                 ("tests/golden/graphs/concat_fresh_labels.json", "extended-strict"),
                 ("tests/golden/graphs/handler_errors.json", "extended-lenient")]
        held = []
        for turn, (path, mode) in enumerate(turns * 2):
            with self.subTest(turn=turn, graph=path, mode=mode):
                report = zavo.analyze_graph(os.path.join(REPO, path), check=False, lenient="lenient" in mode,
                                            rules="extended" if mode.startswith("extended") else "core")
                self.assertEqual(fnv1a(report.to_json()), goldens[path, mode])
                if turn % 3 == 0:
                    held.append(report)


class RuleSets(unittest.TestCase):
    def test_each_rule_set_gives_the_commands_report_and_says_so(self):
        binary = zoo_commands.find_zavo_prune()
        path = os.path.join(REPO, "models", "tiny_decoder.json")
        prunable = {}
        with tempfile.TemporaryDirectory() as scratch:
            out = os.path.join(scratch, "report.json")
            for rules in ("core", "extended"):
                with self.subTest(rules):
                    report = zavo.analyze_graph(load(path), rules=rules)
                    prunable[rules] = report.summary["prunable_classes"]
                    self.assertEqual(report.rules, rules)
                    # Version 2 always names its rules; version 1 only when they are not the catalogue's.
                    self.assertEqual(json.loads(report.to_json())["rules"], rules)
                    self.assertEqual(json.loads(report.to_json(version=1)).get("rules"),
                                     None if rules == "core" else rules)
                    self.assertEqual("\nrules: extended\n" in str(report), rules == "extended")
                    if binary:
                        subprocess.run([binary, "analyze", path, "--rules", rules, "-o", out], check=True,
                                       capture_output=True)
                        with open(out, encoding="utf-8") as stream:
                            self.assertEqual(report.to_json(), stream.read())
        self.assertLess(prunable["core"], prunable["extended"])
        with self.assertRaisesRegex(ValueError, "rules must be 'core' or 'extended', not 'full'"):
            zavo.analyze_graph(path, rules="full")

    def test_a_model_is_analysed_and_pruned_under_the_rules_asked_for(self):
        torch.manual_seed(0)
        model = torch.nn.Sequential(torch.nn.Linear(6, 8), torch.nn.LayerNorm(8), torch.nn.Linear(8, 3))
        x = torch.randn(2, 6)
        # The layer normalisation has a handler under the extended rules only.
        self.assertEqual(zavo.analyze(model, x, rules="core").summary["prunable_classes"], 0)
        self.assertEqual(zavo.analyze(model, x).summary["prunable_classes"], 8)
        result = zavo.prune(model, x, amount=0.5)
        self.assertEqual((result.model[1].normalized_shape, result.report.rules), ((4,), "extended"))
        self.assertEqual(zavo.prune(model, x, amount=0.5, rules="core").removed_classes, 0)
        with self.assertRaisesRegex(ValueError, "rules must be 'core' or 'extended'"):
            zavo.prune(model, x, rules="everything")

    def test_the_models_mode_is_as_before_the_analysis(self):
        model = torch.nn.Sequential(torch.nn.Linear(6, 8), torch.nn.Dropout(), torch.nn.Linear(8, 3))
        x = torch.randn(2, 6)
        for mode in (True, False):
            zavo.analyze(model.train(mode), x)
            self.assertEqual({m.training for m in model.modules()}, {mode})


class ReportObjects(unittest.TestCase):
    def test_the_objects_hold_what_the_report_file_holds(self):
        for path in EXAMPLES:
            with self.subTest(os.path.basename(path)):
                report = zavo.analyze_graph(path, lenient=True)
                data = json.loads(report.to_json(version=1))
                self.assertEqual([[g.label, g.prunable, [list(c) for c in g.channels]] for g in report.groups],
                                 [[g["label"], g["prunable"], [[c["node"], c["dim"], c["index"]] for c in g["channels"]]]
                                  for g in data["groups"]])
                self.assertEqual([list(n) for n in report.nodes], [[n["id"], n["name"], n["labels"]] for n in data["nodes"]])
                flags = dict(data["is_prunable"])
                self.assertEqual(report.is_prunable, {label: flags[label] for label in report.is_prunable})
                self.assertEqual([[w.node, w.message] for w in report.warnings],
                                 [[w["node"], w["message"]] for w in data["warnings"]])
                self.assertEqual([[e.node, e.kind, e.message] for e in report.recovered_errors],
                                 [[e["node"], e["kind"], e["message"]] for e in data["recovered_errors"]])
                self.assertEqual(report.summary, data["summary"])

    def test_a_report_file_of_either_version_reads_back_as_the_analysis(self):
        with tempfile.TemporaryDirectory() as scratch:
            for path in EXAMPLES + [SMALL_ZOO[2]]:
                with self.subTest(os.path.basename(path)):
                    report = zavo.analyze_graph(path, lenient=True)
                    files = []
                    for version in (1, 2):
                        files.append(os.path.join(scratch, "v%d.json" % version))
                        report.write(files[-1], version=version)
                    first, second = (zavo.load_report(f) for f in files)
                    expanded = report_file.expand(load(files[1]))
                    self.assertEqual(expanded, load(files[0]))
                    for read in (first, second):
                        for field in ("model", "rules", "summary", "groups", "nodes", "is_prunable", "warnings",
                                      "error", "recovered_errors"):
                            self.assertEqual(getattr(read, field), getattr(report, field), field)
                    with open(files[1], encoding="utf-8") as stream:
                        self.assertEqual(second.to_json(), stream.read())
            with open(files[1], "w", encoding="utf-8") as stream:
                json.dump(dict(load(files[0]), version=3), stream)
            with self.assertRaisesRegex(ValueError, "v2.json: not a zavo.report file of version 1 or 2"):
                zavo.load_report(files[1])

    def test_a_handler_error_raises_with_the_node_kind_and_message(self):
        with self.assertRaises(zavo.AnalysisError) as caught:
            zavo.analyze_graph(HANDLER_ERROR)
        error = caught.exception
        self.assertEqual((error.node, error.node_name, error.kind), (4, "relu", "not_implemented"))
        self.assertTrue(error.message.startswith("Unimplemented elementwise function call"))
        self.assertEqual(error.report.error, (4, "relu", "not_implemented", error.message))
        self.assertFalse(error.report.summary["completed"])
        self.assertEqual(zavo.analyze_graph(HANDLER_ERROR, lenient=True).recovered_errors, [error.report.error])


def _set(path, value):
    """A mutation that sets graph[path...] = value (or deletes it when value is DELETE)."""

    def mutate(graph):
        *head, last = path
        target = graph
        for key in head:
            target = target[key]
        if value is DELETE:
            del target[last]
        else:
            target[last] = value

    return mutate


DELETE = object()


class InMemoryGraphs(unittest.TestCase):
    def test_a_broken_dict_gets_the_message_of_the_same_broken_file(self):
        cases = [
            _set(["format"], "zavo.report"),
            _set(["version"], True),
            _set(["model"], DELETE),
            _set(["meta"], []),
            _set(["nodes", 2, "id"], 7),
            _set(["nodes", 2, "kind"], "layer"),
            _set(["nodes", 4, "name"], "stem"),
            _set(["nodes", 1, "shape", 1], -3),
            _set(["nodes", 1, "shape", 1], 2 ** 40),
            _set(["nodes", 1, "shape", 1], 2 ** 70),
            _set(["nodes", 2, "op"], ""),
            _set(["nodes", 2, "args"], {}),
            _set(["nodes", 2, "args", 0], {"node": 99}),
            _set(["nodes", 2, "args", 0], {"node": 5}),
            _set(["nodes", 2, "args", 0], {"node": 0, "type": "x"}),
            _set(["nodes", 2, "args", 0], {"const": 1, "type": "slice"}),
            _set(["nodes", 2, "args", 2], [[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[0]]]]]]]]]]]]]]]]]]]]]]]]]]]]]]]]]]]]]]]]]]]]]]]]]]]]]]]]]]]]]),
            _set(["nodes", 3, "kwargs"], []),
            _set(["outputs", 0], 21),
            _set(["outputs"], DELETE),
        ]
        base = load(RESIDUAL)
        with tempfile.TemporaryDirectory() as scratch:
            path = os.path.join(scratch, "g.json")
            for mutate in cases:
                graph = copy.deepcopy(base)
                mutate(graph)
                with open(path, "w", encoding="utf-8") as stream:
                    json.dump(graph, stream)
                with self.assertRaises(zavo.GraphError) as from_file:
                    zavo.analyze_graph(path)
                with self.subTest(str(from_file.exception)):
                    with self.assertRaises(zavo.GraphError) as from_dict:
                        zavo.analyze_graph(graph)
                    self.assertEqual(str(from_file.exception), "%s: %s" % (path, from_dict.exception))
                    self.assertEqual((from_dict.exception.place, from_dict.exception.path), (from_file.exception.place, None))

    def test_values_a_file_cannot_hold(self):
        base = load(RESIDUAL)
        cases = [
            (_set(["nodes", 2, "args", 2], torch.ones(2)), "nodes[2].args[2]: expected a value, got torch.Tensor"),
            (_set(["nodes", 2, "args", 2], float("nan")),
             "nodes[2].args[2]: number nan is not finite (write {\"const\": TEXT, \"type\": \"float\"})"),
            (_set(["nodes", 3, "kwargs", 1], True), "nodes[3].kwargs: a key of type integer, not a string"),
            (_set(["nodes", 2, "name"], "\ud800"), "nodes[2].name: not UTF-8 (a string with a lone surrogate)"),
        ]
        for mutate, message in cases:
            with self.subTest(message):
                graph = copy.deepcopy(base)
                mutate(graph)
                with self.assertRaises(zavo.GraphError) as caught:
                    zavo.analyze_graph(graph)
                self.assertEqual(str(caught.exception), message)
        graph = copy.deepcopy(base)
        graph["nodes"] = tuple(dict(n, shape=tuple(n["shape"])) for n in graph["nodes"])
        self.assertEqual(zavo.analyze_graph(graph).to_json(), zavo.analyze_graph(RESIDUAL).to_json())


if __name__ == "__main__":
    unittest.main()
