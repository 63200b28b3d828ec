"""The analysis in process: a graph in, the report as Python objects out.

`analyze_graph` runs the engine of `zavo-prune analyze` through the native
extension `zavo._native`, on a graph file or on the exporter's in-memory graph
(no JSON round trip, no subprocess).  `Report.to_json()` is, byte for byte,
the file that `zavo-prune analyze GRAPH -o REPORT` writes (version 2;
`to_json(version=1)` that of `--report-version 1`).  `load_report` reads such
a file, of either version, back into a `Report`.
"""

import glob
import json
import os
from collections import namedtuple
from functools import cached_property

# One (parameter, dimension, index) slice of a channel class.
Channel = namedtuple("Channel", "node dim index")
# A channel class carried by parameters: every slice that pruning it removes.
Group = namedtuple("Group", "label prunable channels")
# The final labels of a node: None or a list of labels per dimension.
NodeLabels = namedtuple("NodeLabels", "id name labels")
NodeWarning = namedtuple("NodeWarning", "node name message")
NodeError = namedtuple("NodeError", "node name kind message")
# Per parameter: (size, prunable channels) per dimension, and its element counts.
ParameterChannels = namedtuple("ParameterChannels", "name dims elements prunable_elements")


class ZavoError(Exception):
    """Base of the errors this package raises."""


class TraceError(ZavoError):
    """A model that cannot be written as a graph: example inputs or outputs of a structure the
    exporter cannot take, a value a graph file cannot hold, or a model that fails to run; the
    message names the place."""


class GraphError(ZavoError, ValueError):
    """A graph that breaks a rule of the graph format; nothing was analysed.

    `place` is where (`nodes[3].shape[1]`, `top level`), `path` the file when
    the graph came from one.
    """

    def __init__(self, message, path=None):
        prefix = "%s: " % path if path is not None else ""
        super().__init__(prefix + message)
        self.path = path
        self.place, _, self.detail = message.partition(": ")


class AnalysisError(ZavoError):
    """A node handler stopped the analysis: the node, the error's kind and message.

    `kind` is `unsupported_graph`, `not_implemented`, `invalid_value` or
    `other`; `report` holds what was found up to that node.
    """

    def __init__(self, node, node_name, kind, message, report=None):
        super().__init__("node %d (%s): %s: %s" % (node, node_name, kind, message))
        self.node, self.node_name, self.kind, self.message = node, node_name, kind, message
        self.report = report


NATIVE_MISSING = (
    "zavo's native engine (zavo._native) is not built for this interpreter. Build it with\n"
    "  scripts/install-deps && cmake --preset default && cmake --build --preset default --target zavo_python\n"
    "or point ZAVO_NATIVE_DIR at the directory that holds _native*.so."
)

_native = None


def native_dirs(package_dir):
    """Where the extension may live besides the package: $ZAVO_NATIVE_DIR, else the
    checkout's build directories, most recently built first."""
    given = os.environ.get("ZAVO_NATIVE_DIR")
    if given:
        return [given]
    repo = os.path.dirname(os.path.dirname(package_dir))
    found = [d for d in glob.glob(os.path.join(repo, "build*", "python", "zavo")) if glob.glob(os.path.join(d, "_native*"))]
    return sorted(found, key=lambda d: max(os.path.getmtime(f) for f in glob.glob(os.path.join(d, "_native*"))),
                  reverse=True)


def native():
    """The extension module, imported on first use."""
    global _native
    if _native is None:
        try:
            from zavo import _native as module
        except ImportError as error:
            raise ImportError(NATIVE_MISSING + "\n(%s)" % error) from None
        _native = module
    return _native


class Report:
    """The report of one analysis, as the command writes it, in Python objects.

    `groups` (channel classes sorted by label), `is_prunable` (label -> flag
    for every label that a node carries), `nodes`, `warnings`, `error`,
    `recovered_errors`, `summary` (the report's summary as a dict),
    `parameters` and `rules` (the rules that made it, "core" or "extended");
    `to_json()` and `str()` give the command's file and summary.
    `load_report` makes one from a report file.
    """

    def __init__(self, analysis):
        self._analysis = analysis  # the native analysis, or a report file's content
        self.model = analysis.model
        self.rules = analysis.rules

    @cached_property
    def summary(self):
        return self._analysis.summary()

    @cached_property
    def groups(self):
        return [Group(label, prunable, [Channel(*c) for c in channels])
                for label, prunable, channels in self._analysis.groups()]

    @property
    def prunable_groups(self):
        return [g for g in self.groups if g.prunable]

    @cached_property
    def nodes(self):
        return [NodeLabels(*entry) for entry in self._analysis.nodes()]

    @cached_property
    def is_prunable(self):
        labels = sorted({label for node in self.nodes for dim in node.labels if dim for label in dim})
        return {label: self._analysis.is_prunable(label) for label in labels}

    @cached_property
    def warnings(self):
        return [NodeWarning(node, self._analysis.node_name(node), message)
                for node, message in self._analysis.warnings()]

    def _node_error(self, entry):
        node, kind, message = entry
        return NodeError(node, self._analysis.node_name(node), kind, message)

    @cached_property
    def error(self):
        entry = self._analysis.error()
        return None if entry is None else self._node_error(entry)

    @cached_property
    def recovered_errors(self):
        return [self._node_error(entry) for entry in self._analysis.recovered_errors()]

    @cached_property
    def parameters(self):
        return [ParameterChannels(*entry) for entry in self._analysis.parameters()]

    def to_json(self, version=None):
        """The report file's text (format "zavo.report"): version 2 unless `version=1`; for a
        report read from a file, that file's text."""
        return self._analysis.report_json(version)

    def write(self, path, version=None):
        """Write the report file atomically; the bytes of `zavo-prune analyze -o`."""
        from zavo.atomic_file import write_atomic

        write_atomic(path, self.to_json(version))

    def __str__(self):
        return self._analysis.summary_text()

    def __repr__(self):
        return "<zavo.Report %s: %d channel classes, %d prunable>" % (
            self.model, self.summary["channel_classes"], self.summary["prunable_classes"])


RULES = ("core", "extended")


def check_rules(rules):
    """`rules` itself when it names a rule set; ValueError otherwise."""
    if rules not in RULES:
        raise ValueError("rules must be 'core' or 'extended', not %r" % (rules,))
    return rules


def analyze_graph(graph, lenient=False, check=True, safe=False, rules="extended"):
    """Analyse a graph: a graph file's path, or the in-memory graph dict of `zavo.trace`.

    Returns a `Report`.  `rules` chooses the node handlers: "extended" (the
    default: also normalisations, attention heads, embeddings and the shape
    operations around them) or "core" (the operation catalogue's only, the
    reports `zavo-prune analyze --rules core` writes).  A graph that breaks
    the format raises `GraphError`.
    When a node handler fails, the analysis stops and `AnalysisError` (node,
    kind, message, and the partial report) is raised; `check=False` returns the
    report with its `error` instead, and `lenient=True` reports the error, hands
    the node to the default handler (its inputs' channels are not pruned) and
    goes on, as `zavo-prune analyze --lenient` does.  `safe=True` also takes the
    labels that nodes drop out of pruning, as `--safe` does.
    """
    check_rules(rules)
    engine = native()
    if isinstance(graph, dict):
        try:
            analysis = engine.analyze_dict(graph, lenient, rules, safe)
        except engine.GraphFileError as error:
            raise GraphError(str(error)) from None
    elif isinstance(graph, (str, bytes, os.PathLike)):
        path = os.fsdecode(graph)
        try:
            analysis = engine.analyze_file(path, lenient, rules, safe)
        except engine.GraphFileError as error:
            raise GraphError(str(error), path=path) from None
    else:
        raise TypeError("analyze_graph takes a graph file's path or a graph dict, not %s" % type(graph).__name__)
    report = Report(analysis)
    if check and report.error is not None:
        e = report.error
        raise AnalysisError(e.node, e.name, e.kind, e.message, report)
    return report


class _ReportFile:
    """What a report file holds, behind the interface of the native analysis."""

    def __init__(self, text, path):
        from zavo import report_file

        try:
            data = json.loads(text)
            self._version = data.get("version") if isinstance(data, dict) else None
            self._data = report_file.expand(data)
        except ValueError as error:
            raise report_file.ReportFileError("%s: %s" % (path, error)) from None
        self._text, self._path = text, path
        self.model = self._data["model"]
        self.rules = self._data.get("rules", "core")
        self._names = {n["id"]: n["name"] for n in self._data["nodes"]}
        self._flags = dict((label, flag) for label, flag in self._data["is_prunable"])

    def summary(self):
        return dict(self._data["summary"])

    def groups(self):
        return [(g["label"], g["prunable"], [(c["node"], c["dim"], c["index"]) for c in g["channels"]])
                for g in self._data["groups"]]

    def nodes(self):
        return [(n["id"], n["name"], n["labels"]) for n in self._data["nodes"]]

    def is_prunable(self, label):
        # A label without a flag is not prunable, as in the analysis.
        return self._flags.get(label, False)

    def warnings(self):
        return [(w["node"], w["message"]) for w in self._data["warnings"]]

    def error(self):
        e = self._data["error"]
        return None if e is None else (e["node"], e["kind"], e["message"])

    def recovered_errors(self):
        return [(e["node"], e["kind"], e["message"]) for e in self._data["recovered_errors"]]

    def node_name(self, node):
        # A report names the nodes that carry labels; the others are known by id only.
        return self._names.get(node)

    def parameters(self):
        raise ZavoError("%s: a report file does not hold the parameters' shapes; analyse the graph "
                        "for them" % self._path)

    def report_json(self, version):
        if version not in (None, self._version):
            raise ZavoError("%s is a version %s report; analyse the graph for version %s"
                            % (self._path, self._version, version))
        return self._text

    def summary_text(self):
        s = self._data["summary"]
        rules = "" if self.rules == "core" else "rules: %s\n" % self.rules
        return ("model: %s\n%schannel classes: %d (%d prunable)\nprunable share of parameter elements: "
                "%.1f%% (%d of %d)\n" % (self.model, rules, s["channel_classes"], s["prunable_classes"],
                                         100 * s["prunable_share"], s["prunable_parameter_elements"],
                                         s["parameter_elements"]))


def load_report(path):
    """The report file at `path` (written by `zavo-prune analyze -o` or `Report.write`, of
    either version) as a `Report`: `groups`, `prunable_groups`, `is_prunable`, `nodes`,
    `warnings`, `error`, `recovered_errors` and `summary` as an analysis gives them, so that
    `zavo.prune(model, inputs, report=zavo.load_report(path))` prunes from a saved analysis.
    `to_json()` gives the file's own text; `parameters` needs the graph.  A file that is not
    such a report raises `zavo.report_file.ReportFileError` (a `ValueError`)."""
    path = os.fspath(path)
    try:
        with open(path, encoding="utf-8") as stream:
            text = stream.read()
    except OSError as error:
        from zavo import report_file

        raise report_file.ReportFileError("cannot read report %s: %s" % (path, error)) from None
    return Report(_ReportFile(text, path))
