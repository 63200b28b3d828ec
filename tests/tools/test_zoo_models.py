import os
import unittest

from tests.tools.support import REPO

import export_graph
import zoo


class ShippedGraphs(unittest.TestCase):
    def test_each_shipped_graph_is_what_the_exporter_writes(self):
        for name in zoo.ZOO:
            with self.subTest(name):
                with open(os.path.join(REPO, "models", name + ".json"), encoding="utf-8") as stream:
                    shipped = stream.read()
                self.assertEqual(export_graph.dumps_graph(export_graph.export(name)), shipped,
                                 "models/%s.json is stale: run tools/build_zoo.py %s" % (name, name))

    def test_every_zoo_model_is_shipped(self):
        shipped = sorted(f[:-5] for f in os.listdir(os.path.join(REPO, "models")) if f.endswith(".json")
                         and not f.endswith(".report.json"))
        self.assertEqual(shipped, sorted(zoo.ZOO))


if __name__ == "__main__":
    unittest.main()
