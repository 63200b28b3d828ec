#!/usr/bin/env python3
"""Measures the view page: how long `zavo-prune view` takes on a resnet50 graph, how big the page
of a 7B-shaped decoder is, and how soon each page is interactive in headless Chromium.

    /usr/bin/python3 benchmarks/view_bench.py [--zavo-prune build/zavo-prune] [--resnet50 GRAPH]

Without --resnet50 the graph is exported with `zavo-prune export` (PyTorch). The decoder's
graph is generated (benchmarks/decoder_graph.py: 32 blocks, width 4096). Interactive means the
page has drawn the graph and listens to clicks: the time from navigation until the page marks
itself ready, as the page measures it.
"""

import argparse
import os
import resource
import statistics
import subprocess
import sys
import tempfile
import time

HERE = os.path.dirname(os.path.abspath(__file__))
REPO = os.path.dirname(HERE)
sys.path.insert(0, HERE)
sys.path.insert(0, os.path.join(REPO, "tests", "zavo", "view"))

import decoder_graph  # noqa: E402
import test_view_browser  # noqa: E402


def timed_view(binary, graph, page, runs):
    """(wall seconds, CPU seconds) of each run of `zavo-prune view`."""
    times = []
    for _ in range(runs):
        before = resource.getrusage(resource.RUSAGE_CHILDREN)
        start = time.perf_counter()
        subprocess.run([binary, "view", graph, "-o", page], check=True, stdout=subprocess.DEVNULL)
        wall = time.perf_counter() - start
        after = resource.getrusage(resource.RUSAGE_CHILDREN)
        times.append((wall, after.ru_utime + after.ru_stime - before.ru_utime - before.ru_stime))
    return times


def interactive_ms(driver, page, runs):
    """Milliseconds from navigation until the page is ready, per load."""
    result = []
    for _ in range(runs):
        driver.get("about:blank")
        driver.get("file://" + page)
        result.append(int(driver.execute_script("return document.documentElement.dataset.readyMs")))
    return result


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--zavo-prune", default=os.path.join(REPO, "build", "zavo-prune"))
    parser.add_argument("--resnet50", help="a resnet50 graph file (default: export one)")
    parser.add_argument("--runs", type=int, default=5)
    parser.add_argument("--screenshots", help="save a screenshot of each page in this directory")
    args = parser.parse_args()

    tmp = tempfile.mkdtemp(prefix="zavo-view-bench-")
    resnet50 = args.resnet50
    if not resnet50:
        resnet50 = os.path.join(tmp, "resnet50.json")
        subprocess.run(["/usr/bin/python3", "-m", "zavo", "export", "resnet50", "-o", resnet50], check=True,
                       stdout=subprocess.DEVNULL, env=dict(os.environ, PYTHONPATH=os.path.join(REPO, "python")))
    decoder = os.path.join(tmp, "decoder_7b.json")
    decoder_graph.write_graph(decoder_graph.decoder_graph("7b", model="decoder_7b"), decoder)

    pages = {}
    # The decoder's parse takes seconds (three million channel labels): one run.
    for name, graph, runs in (("resnet50", resnet50, args.runs), ("decoder_7b", decoder, 1)):
        page = os.path.join(tmp, name + ".html")
        times = timed_view(args.zavo_prune, graph, page, runs)
        pages[name] = page
        walls, cpus = [t[0] for t in times], [t[1] for t in times]
        print("view %-11s %7.3f s wall (median of %d, best %.3f), %.3f s CPU; page %.1f kB" % (
            name, statistics.median(walls), runs, min(walls), statistics.median(cpus),
            os.path.getsize(page) / 1000))
        analyze = timed_view_analyze(args.zavo_prune, graph, runs)
        print("     %-11s %7.3f s CPU for analyze alone (the same read and parse)" % ("", statistics.median(analyze)))

    driver = test_view_browser.start_browser(os.path.join(tmp, "profile"))
    try:
        for name, page in pages.items():
            ms = interactive_ms(driver, page, args.runs)
            if args.screenshots:
                os.makedirs(args.screenshots, exist_ok=True)
                driver.save_screenshot(os.path.join(args.screenshots, name + ".png"))
            print("interactive %-11s %5d ms (median of %d, best %d)" % (name, statistics.median(ms), len(ms), min(ms)))
    finally:
        driver.quit()
    print("load average: %.1f %.1f %.1f on %d cores" % (os.getloadavg() + (os.cpu_count(),)))


def timed_view_analyze(binary, graph, runs):
    cpus = []
    for _ in range(runs):
        before = resource.getrusage(resource.RUSAGE_CHILDREN)
        subprocess.run([binary, "analyze", graph], check=True, stdout=subprocess.DEVNULL)
        after = resource.getrusage(resource.RUSAGE_CHILDREN)
        cpus.append(after.ru_utime + after.ru_stime - before.ru_utime - before.ru_stime)
    return cpus


if __name__ == "__main__":
    main()
