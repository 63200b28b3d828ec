import json
import os
import unittest

from tests.tools.support import REPO

import build_zoo
import export_graph
import prove_zoo
from zavo import zoo

MODELS = os.path.join(REPO, "models")


class ShippedGraphs(unittest.TestCase):
    def test_each_shipped_graph_is_what_the_exporter_writes(self):
        for name in zoo.ZOO:
            with self.subTest(name):
                with open(os.path.join(MODELS, name + ".json"), encoding="utf-8") as stream:
                    shipped = stream.read()
                self.assertEqual(export_graph.dumps_graph(export_graph.export(name)), shipped,
                                 "models/%s.json is stale: run tools/build_zoo.py %s" % (name, name))

    def test_every_zoo_model_is_shipped_with_a_summary(self):
        shipped = sorted(f[:-5] for f in os.listdir(MODELS) if f.endswith(".json") and f != "summaries.json")
        self.assertEqual(shipped, sorted(zoo.ZOO))
        with open(build_zoo.SUMMARIES, encoding="utf-8") as stream:
            summaries = json.load(stream)
        self.assertEqual(sorted(summaries), sorted(build_zoo.RULES))
        for rules in build_zoo.RULES:
            self.assertEqual(sorted(summaries[rules]), sorted(zoo.ZOO), rules)


class GoldenSummaries(unittest.TestCase):
    """The analysis of each shipped graph still gives the recorded summary, under each rule set."""

    def test_summaries(self):
        binary = prove_zoo.find_zavo_prune()
        if not binary:
            self.skipTest("no zavo-prune binary built")
        with open(build_zoo.SUMMARIES, encoding="utf-8") as stream:
            golden = json.load(stream)
        for rules in build_zoo.RULES:
            for name in zoo.ZOO:
                with self.subTest(name, rules=rules):
                    self.assertEqual(build_zoo.analyse_summary(binary, os.path.join(MODELS, name + ".json"), rules),
                                     golden[rules][name])


if __name__ == "__main__":
    unittest.main()
