"""The view page in a real browser: headless Chromium driven through WebDriver.

    /usr/bin/python3 tests/zavo/view/test_view_browser.py ZAVO_PRUNE SCREENSHOT_DIR

For each shipped model the page must load from its file with no console error and no network
request, draw one element per visible node, highlight exactly the parameters that the report
ties to a clicked one, open and close modules, and sort its table. Screenshots go to
SCREENSHOT_DIR. Exits 77 (skipped) when the browser is missing, except in CI, where it fails.
"""

import json
import os
import re
import shutil
import subprocess
import sys
import tempfile
import unittest

REPO = os.path.abspath(os.path.join(os.path.dirname(__file__), "..", "..", ".."))
CHROMIUM, CHROMEDRIVER = "/usr/bin/chromium", "/usr/bin/chromedriver"
# The zoo's models that the test opens, when shipped.
MODELS = ["resnet18", "tiny_transformer", "tiny_decoder"]

ZAVO_PRUNE = SCREENSHOTS = None


def browser_missing():
    try:
        import selenium  # noqa: F401
    except ImportError:
        return "python3-selenium is not installed"
    for path in (CHROMIUM, CHROMEDRIVER):
        if not os.path.exists(path):
            return path + " is missing"
    return None


def start_browser(profile):
    from selenium import webdriver
    from selenium.webdriver.chrome.service import Service

    options = webdriver.ChromeOptions()
    options.binary_location = CHROMIUM
    # Root needs --no-sandbox; the rest keeps Chromium from reaching for any network service.
    for flag in ("--headless=new", "--no-sandbox", "--disable-gpu", "--disable-quic", "--no-first-run",
                 "--disable-background-networking", "--disable-component-update", "--disable-sync",
                 "--hide-scrollbars", "--user-data-dir=" + profile):
        options.add_argument(flag)
    options.set_capability("goog:loggingPrefs", {"browser": "ALL", "performance": "ALL"})
    driver = webdriver.Chrome(service=Service(CHROMEDRIVER), options=options)
    driver.execute_cdp_cmd("Emulation.setDeviceMetricsOverride",
                           {"width": 1600, "height": 1000, "deviceScaleFactor": 1, "mobile": False})
    return driver


def tied_parameters(report):
    """Parameter name -> the names of the parameters tied to its channel dimension, from the
    report's groups: (parameter, dimension) pairs that share a class, closed under sharing."""
    parent = {}

    def find(x):
        while parent.setdefault(x, x) != x:
            x = parent[x]
        return x

    for group in report["groups"]:
        dims = [(c["node"], c["dim"]) for c in group["channels"]]
        for d in dims:
            parent[find(d)] = find(dims[0])
    members = {}
    for d in list(parent):
        members.setdefault(find(d), set()).add(d[0])
    channel_dim = {}
    for name, dim in sorted(parent, key=lambda d: d[1]):
        channel_dim.setdefault(name, (name, dim))
    return {name: members[find(d)] for name, d in channel_dim.items()}


def in_module(name, path, module_paths):
    """Whether node `name` is drawn inside module `path`: anything under `path.`, and when `path`
    names a module that holds parameters, its own call and later calls counted as `path_3`."""
    if name.startswith(path + "."):
        return True
    return path in module_paths and (name == path or re.fullmatch(re.escape(path) + r"_\d+", name) is not None)


class ViewInBrowser(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.tmp = tempfile.mkdtemp(prefix="zavo-view-test-")
        cls.driver = start_browser(os.path.join(cls.tmp, "profile"))

    @classmethod
    def tearDownClass(cls):
        cls.driver.quit()
        shutil.rmtree(cls.tmp, ignore_errors=True)

    def open_model(self, name):
        graph_path = os.path.join(REPO, "models", name + ".json")
        with open(graph_path, encoding="utf-8") as stream:
            self.graph = json.load(stream)
        page = os.path.join(self.tmp, name + ".html")
        report = os.path.join(self.tmp, name + ".report.json")
        subprocess.run([ZAVO_PRUNE, "view", graph_path, "-o", page], check=True, stdout=subprocess.DEVNULL)
        subprocess.run([ZAVO_PRUNE, "analyze", graph_path, "-o", report, "--report-version", "1"], check=True,
                       stdout=subprocess.DEVNULL)
        with open(report, encoding="utf-8") as stream:
            self.report = json.load(stream)
        self.url = "file://" + page
        self.driver.get_log("performance")
        self.driver.get(self.url)
        self.assertEqual(self.js("return document.documentElement.dataset.ready"), "true")

    def js(self, script, *args):
        return self.driver.execute_script(script, *args)

    def click(self, css):
        """A click as the page sees it, on an element that may lie outside the window."""
        found = self.js("const e = document.querySelector(arguments[0]);"
                        "if (e) e.dispatchEvent(new MouseEvent('click', {bubbles: true})); return !!e;", css)
        self.assertTrue(found, css)

    def names(self):
        return {n["id"]: n["name"] for n in self.graph["nodes"]}

    def drawn_nodes(self):
        """Inputs, calls, and parameters that no call uses: the nodes the graph draws."""
        used = {a["node"] for n in self.graph["nodes"] for a in self.node_refs(n)}
        return {n["id"]: n["name"] for n in self.graph["nodes"]
                if n["kind"] != "parameter" or n["id"] not in used}

    def module_paths(self):
        names = [n["name"].split(".") for n in self.graph["nodes"] if n["kind"] == "parameter"]
        return {".".join(parts[:k]) for parts in names for k in range(1, len(parts))}

    def node_refs(self, node):
        def walk(value):
            if isinstance(value, dict) and "node" in value:
                yield value
            elif isinstance(value, list):
                for v in value:
                    yield from walk(v)
        yield from walk(node.get("args", []))
        yield from walk(list(node.get("kwargs", {}).values()))

    def check_loaded_quietly(self):
        errors = [e for e in self.driver.get_log("browser") if e["level"] == "SEVERE"]
        self.assertEqual(errors, [])
        requests = set()
        for entry in self.driver.get_log("performance"):
            message = json.loads(entry["message"])["message"]
            if message["method"] == "Network.requestWillBeSent":
                requests.add(message["params"]["request"]["url"])
        self.assertEqual({u for u in requests if not u.startswith("data:")}, {self.url})

    def check_one_element_per_visible_node(self):
        shown = self.js("return [...document.querySelectorAll('#items .node')].map(e => Number(e.dataset.node))")
        modules = self.js("return [...document.querySelectorAll('#items .module')].map(e => e.dataset.group)")
        self.assertEqual(len(shown), len(set(shown)), "a node drawn twice")
        drawn, paths = self.drawn_nodes(), self.module_paths()
        for node, name in drawn.items():
            places = (node in shown) + sum(in_module(name, m, paths) for m in modules)
            self.assertEqual(places, 1, "%s is drawn %d times" % (name, places))
        for m in modules:
            self.assertTrue(any(in_module(name, m, paths) for name in drawn.values()), m)
        return shown, modules

    def highlighted(self):
        table = set(self.js("return [...document.querySelectorAll('#param-table tbody tr.hl td.name')]"
                            ".map(e => e.textContent)"))
        chips = self.js("return [...document.querySelectorAll('#items .chip.hl')].map(e => Number(e.dataset.param))")
        names = self.names()
        return table, {names[c] for c in chips}

    def check_clicks_highlight_the_tied_parameters(self):
        tied = tied_parameters(self.report)
        names = self.names()
        chips = self.js("return [...document.querySelectorAll('#items .chip')].map(e => Number(e.dataset.param))")
        self.assertEqual({names[c] for c in chips} & set(tied), set(tied), "every parameter has a chip")
        for chip in chips:
            name = names[chip]
            if name not in tied:
                continue
            self.click('#items .chip[data-param="%d"] .seg' % chip)
            table, drawn = self.highlighted()
            self.assertEqual(table, tied[name], name)
            self.assertEqual(drawn, {names[c] for c in chips if names[c] in tied[name]}, name)

    def check_collapse_and_expand(self, module):
        members = [n for n in self.drawn_nodes().values() if in_module(n, module, self.module_paths())]
        self.assertGreater(len(members), 1)
        self.click('.cluster[data-cluster="%s"] .head' % module)
        shown, modules = self.check_one_element_per_visible_node()
        self.assertIn(module, modules)
        self.click('.module[data-group="%s"]' % module)
        shown, modules = self.check_one_element_per_visible_node()
        self.assertNotIn(module, modules)

    def check_table_sorts(self):
        from selenium.webdriver.common.by import By

        def column(index):
            return self.js("return [...document.querySelectorAll('#param-table tbody tr')]"
                           ".map(r => r.children[arguments[0]].textContent)", index)

        def header(key):
            return self.driver.find_element(By.CSS_SELECTOR, '#param-table th[data-sort="%s"]' % key)

        elements = lambda: [int(x.replace(",", "")) for x in column(4)]  # noqa: E731
        header("elements").click()
        self.assertEqual(elements(), sorted(elements(), reverse=True))
        self.assertEqual(header("elements").get_attribute("aria-sort"), "descending")
        header("elements").click()
        self.assertEqual(elements(), sorted(elements()))
        header("name").click()
        self.assertEqual(column(1), sorted(column(1)))
        header("order").click()
        self.assertEqual(column(1), [n["name"] for n in self.graph["nodes"] if n["kind"] == "parameter"])

    def screenshot(self, name):
        from selenium.webdriver.support.ui import WebDriverWait

        WebDriverWait(self.driver, 5).until(lambda d: d.execute_script("return !document.getAnimations().length"))
        os.makedirs(SCREENSHOTS, exist_ok=True)
        self.driver.save_screenshot(os.path.join(SCREENSHOTS, name + ".png"))

    def test_models(self):
        from selenium.webdriver.common.by import By

        models = [m for m in MODELS if os.path.exists(os.path.join(REPO, "models", m + ".json"))]
        for model in models:
            with self.subTest(model):
                self.open_model(model)
                self.check_loaded_quietly()
                self.check_one_element_per_visible_node()
                self.screenshot(model)
                self.driver.find_element(By.CSS_SELECTOR, '[data-action="expand"]').click()
                shown, modules = self.check_one_element_per_visible_node()
                self.assertEqual(modules, [])
                self.assertEqual(sorted(shown), sorted(self.drawn_nodes()))
                self.check_clicks_highlight_the_tied_parameters()
                clusters = self.js("return [...document.querySelectorAll('.cluster')].map(e => e.dataset.cluster)")
                if clusters:
                    self.check_collapse_and_expand(clusters[-1])
                self.check_table_sorts()
                self.assertEqual([e for e in self.driver.get_log("browser") if e["level"] == "SEVERE"], [])

    def test_resnet18_residual_stream(self):
        """The README's picture: the second stage's residual stream, selected from the table."""
        from selenium.webdriver.common.by import By

        self.open_model("resnet18")
        self.click('.module[data-group="layer2.0"]')
        self.click('.module[data-group="layer2.0.downsample"]')
        row = self.driver.find_element(By.XPATH, "//tr[td[text()='layer2.0.conv2.weight']]")
        row.click()
        table, drawn = self.highlighted()
        self.assertEqual(table, tied_parameters(self.report)["layer2.0.conv2.weight"])
        self.assertIn("layer2.0.downsample.0.weight", table)
        self.screenshot("resnet18-residual")
        # A kept set tells why, in the words of the report's reason.
        self.driver.find_element(By.XPATH, "//tr[td[text()='fc.weight']]").click()
        self.assertEqual(self.js("return document.querySelector('.reason').textContent"), "a model output (node fc)")


def main():
    global ZAVO_PRUNE, SCREENSHOTS
    if len(sys.argv) != 3:
        sys.exit(__doc__)
    ZAVO_PRUNE, SCREENSHOTS = sys.argv[1], os.path.abspath(sys.argv[2])
    missing = browser_missing()
    if missing:
        if os.environ.get("CI"):
            sys.exit("browser test cannot run in CI: " + missing + " (scripts/install-deps installs it)")
        print("skipped: " + missing + "; scripts/install-deps installs chromium, chromium-driver and python3-selenium")
        sys.exit(77)
    unittest.main(argv=sys.argv[:1], verbosity=2)


if __name__ == "__main__":
    main()
