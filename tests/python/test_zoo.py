import json
import os
import unittest

from tests.python.support import REPO

from zavo import export, zoo, zoo_commands

MODELS = os.path.join(REPO, "models")


class ShippedGraphs(unittest.TestCase):
    def test_each_shipped_graph_is_what_the_exporter_writes(self):
        for name in zoo.ZOO:
            with self.subTest(name):
                with open(os.path.join(MODELS, name + ".json"), encoding="utf-8") as stream:
                    shipped = stream.read()
                self.assertEqual(export.dumps_graph(export.export(name)), shipped,
                                 "models/%s.json is stale: run ./zavo-prune zoo build %s" % (name, name))

    def test_every_zoo_model_is_shipped_with_a_summary(self):
        shipped = sorted(f[:-5] for f in os.listdir(MODELS) if f.endswith(".json") and f != "summaries.json")
        self.assertEqual(shipped, sorted(zoo.ZOO))
        with open(zoo_commands.SUMMARIES, encoding="utf-8") as stream:
            summaries = json.load(stream)
        self.assertEqual(sorted(summaries), sorted(zoo_commands.RULES))
        for rules in zoo_commands.RULES:
            self.assertEqual(sorted(summaries[rules]), sorted(zoo.ZOO), rules)


class GoldenSummaries(unittest.TestCase):
    """The analysis of each shipped graph still gives the recorded summary, under each rule set."""

    def test_summaries(self):
        binary = zoo_commands.find_zavo_prune()
        if not binary:
            self.skipTest("no zavo-prune binary built")
        with open(zoo_commands.SUMMARIES, encoding="utf-8") as stream:
            golden = json.load(stream)
        for rules in zoo_commands.RULES:
            for name in zoo.ZOO:
                with self.subTest(name, rules=rules):
                    self.assertEqual(zoo_commands.analyse_summary(binary, os.path.join(MODELS, name + ".json"), rules),
                                     golden[rules][name])


if __name__ == "__main__":
    unittest.main()
