"""zavo-prune's verbs from the package: one help with the native binary's, one entry for each verb."""

import os
import subprocess
import sys
import tempfile
import unittest

from tests.python.support import PYTHON, REPO, run_main

from zavo import cli, export, zoo_commands


class OneCommand(unittest.TestCase):
    def test_the_native_help_lists_each_verb_as_the_package_names_it(self):
        binary = zoo_commands.find_zavo_prune()
        if not binary:
            self.skipTest("no zavo-prune binary built")
        native = subprocess.run([binary, "--help"], capture_output=True, text=True, check=True).stdout
        status, out, _ = run_main(cli.main, ["--help"])
        self.assertEqual(status, 0)
        for verb in cli.VERBS:
            with self.subTest(verb):
                line = next(line for line in out.splitlines() if line.startswith("  %s " % verb))
                self.assertIn("\n" + line + "\n", native)

    def test_each_verb_has_its_help_and_an_unknown_one_is_a_usage_error(self):
        for argv in [[verb, "--help"] for verb in cli.VERBS] + [["zoo", "build", "--help"], ["zoo", "prove", "--help"]]:
            with self.subTest(argv):
                status, out, _ = run_main(cli.main, argv)
                self.assertEqual(status, 0)
                self.assertTrue(out.startswith("usage: zavo-prune %s " % " ".join(argv[:-1])), out)
        for argv, message in ((["analyse"], "zavo-prune: unknown verb analyse\n"), ([], "usage: zavo-prune VERB"),
                              (["zoo", "prove-all"], "invalid choice: 'prove-all'"),
                              (["zoo", "build", "resnet"], "not in the zoo: resnet")):
            with self.subTest(argv):
                status, out, err = run_main(cli.main, argv)
                self.assertEqual((status, out), (2, ""))
                self.assertIn(message, err)

    def test_without_torch_each_verb_says_how_to_install_it_and_writes_nothing(self):
        script = ("import runpy, sys; sys.modules['torch'] = None; sys.argv[0] = 'zavo'; "
                  "runpy.run_module('zavo', run_name='__main__')")
        env = dict(os.environ, PYTHONPATH=PYTHON)
        with tempfile.TemporaryDirectory() as scratch:
            out = os.path.join(scratch, "out")
            for argv in (["export", "resnet18", "-o", out], ["prune", "tiny_cnn", "-o", out],
                         ["verify", "tiny_cnn", out], ["zoo", "build"], ["zoo", "prove"]):
                with self.subTest(argv[0]):
                    run = subprocess.run([sys.executable, "-c", script, *argv], capture_output=True, text=True,
                                         cwd=REPO, env=env)
                    self.assertEqual((run.returncode, run.stdout), (2, ""))
                    self.assertEqual(run.stderr, export.TORCH_MISSING.format(exe=sys.executable) + "\n")
                    self.assertEqual(os.listdir(scratch), [])


if __name__ == "__main__":
    unittest.main()
