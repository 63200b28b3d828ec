#!/usr/bin/env python3
"""Measures the whole path in process, `zavo.analyze(model, inputs)`: trace and analysis, before
and after, side by side.

    /usr/bin/python3 benchmarks/whole_path.py [--before main] [--native-before DIR] [--models resnet18,...] [--rounds 3]

"Before" is the Python package of a git revision (`git archive`), "after" this checkout's; both
use this build's native extension, so that they differ in the package alone, unless
`--native-before` names the directory of another build's extension (a copy of `main`'s) for the
"before" side.  Each round runs
one process per side, A B A B; a process builds the torchvision model (random weights, seed 0,
a 1x3x64x64 input), analyses it once to warm up, then `--runs` times.  The table gives the
median processor seconds per call (the machine is shared, so wall time is noisy), the trace's
part of it, and the ratio before/after; then the least per call of each side and their ratio
(others' load only ever adds time, so the least is the steadier figure on a busy machine).
"""

import argparse
import json
import os
import statistics
import subprocess
import sys
import tempfile

HERE = os.path.dirname(os.path.abspath(__file__))
REPO = os.path.dirname(HERE)
MODELS = "resnet18,resnet50,mobilenet_v2,efficientnet_b0"

# Runs in the measuring process: prints {"total": [...], "trace": [...]} in processor seconds.
WORKER = r"""
import json, sys, time
import torch, torchvision
import zavo
from zavo import export

torch.manual_seed(0)
model = getattr(torchvision.models, sys.argv[1])().eval()
x = torch.randn(1, 3, 64, 64)
runs = int(sys.argv[2])


def seconds(call):
    result = []
    for _ in range(runs):
        start = time.process_time()
        call()
        result.append(time.process_time() - start)
    return result


# The trace as `zavo.analyze` runs it: on the meta twin where the package has one.
try:
    export.trace(model, x, real_forward=False)
    trace = lambda: export.trace(model, x, real_forward=False)
except TypeError:
    trace = lambda: export.trace(model, x)
zavo.analyze(model, x)
print(json.dumps({"total": seconds(lambda: zavo.analyze(model, x)), "trace": seconds(trace)}))
"""


def package_of(revision, directory):
    """Extract `python/` of a git revision into `directory`; its path."""
    archive = subprocess.run(["git", "-C", REPO, "archive", revision, "python"], check=True,
                             stdout=subprocess.PIPE).stdout
    subprocess.run(["tar", "-x", "-C", directory], input=archive, check=True)
    return os.path.join(directory, "python")


def measure(python_dir, native_dir, model, runs, worker):
    env = dict(os.environ, PYTHONPATH=python_dir, ZAVO_NATIVE_DIR=native_dir)
    out = subprocess.run([sys.executable, "-c", worker, model, str(runs)], env=env, check=True,
                         stdout=subprocess.PIPE, stderr=subprocess.DEVNULL, text=True).stdout
    return json.loads(out.splitlines()[-1])


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--before", default="main", help="git revision whose package is 'before' (default main)")
    parser.add_argument("--models", default=MODELS, help="torchvision builders, comma-separated (default %s)" % MODELS)
    parser.add_argument("--native", default=os.path.join(REPO, "build", "python", "zavo"),
                        help="directory of the native extension both sides use")
    parser.add_argument("--native-before", help="directory of the native extension the 'before' side uses "
                        "(default: --native)")
    parser.add_argument("--rounds", type=int, default=3, help="processes per side and model, A B A B")
    parser.add_argument("--runs", type=int, default=7, help="calls measured per process")
    args = parser.parse_args()

    after = os.path.join(REPO, "python")
    native_before = args.native_before or args.native
    print("zavo.analyze, 1x3x64x64 input: median processor seconds per call (trace part) and the least; "
          "before = %s" % args.before)
    print("%-16s %16s %16s %8s %8s %8s %8s" % ("model", "before", "after", "ratio", "least", "least", "ratio"))
    with tempfile.TemporaryDirectory() as directory:
        before = package_of(args.before, directory)
        for model in args.models.split(","):
            times = {"before": {"total": [], "trace": []}, "after": {"total": [], "trace": []}}
            for _ in range(args.rounds):
                for side, package, native in (("before", before, native_before), ("after", after, args.native)):
                    for key, values in measure(package, native, model, args.runs, WORKER).items():
                        times[side][key] += values
            cells = {side: (statistics.median(t["total"]), statistics.median(t["trace"])) for side, t in times.items()}
            least = {side: min(t["total"]) for side, t in times.items()}
            print("%-16s %16s %16s %7.2fx %8.4f %8.4f %7.2fx" % (
                model, "%.4f (%.4f)" % cells["before"], "%.4f (%.4f)" % cells["after"],
                cells["before"][0] / cells["after"][0], least["before"], least["after"],
                least["before"] / least["after"]), flush=True)


if __name__ == "__main__":
    main()
