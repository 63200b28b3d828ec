"""The analysis in process: a graph in, the report as Python objects out.

`analyze_graph` runs the engine of `zavo-prune analyze` through the native
extension `zavo._native`, on a graph file or on the exporter's in-memory graph
(no JSON round trip, no subprocess).  `Report.to_json()` is, byte for byte,
the file that `zavo-prune analyze GRAPH -o REPORT` writes.
"""

import glob
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
    `recovered_errors`, `summary` (the report's summary as a dict) and
    `parameters`; `to_json()` and `str()` give the command's file and summary.
    """

    def __init__(self, analysis):
        self._analysis = analysis
        self.model = analysis.model
        self.summary = analysis.summary()

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

    def to_json(self):
        """The report file's text (format "zavo.report", version 1)."""
        return self._analysis.report_json()

    def write(self, path):
        """Write the report file atomically; the bytes of `zavo-prune analyze -o`."""
        from zavo.export import write_atomic

        write_atomic(path, self.to_json())

    def __str__(self):
        return self._analysis.summary_text()

    def __repr__(self):
        return "<zavo.Report %s: %d channel classes, %d prunable>" % (
            self.model, self.summary["channel_classes"], self.summary["prunable_classes"])


def analyze_graph(graph, lenient=False, check=True, safe=False):
    """Analyse a graph: a graph file's path, or the in-memory graph dict of `zavo.trace`.

    Returns a `Report`.  A graph that breaks the format raises `GraphError`.
    When a node handler fails, the analysis stops and `AnalysisError` (node,
    kind, message, and the partial report) is raised; `check=False` returns the
    report with its `error` instead, and `lenient=True` reports the error, hands
    the node to the default handler (its inputs' channels are not pruned) and
    goes on, as `zavo-prune analyze --lenient` does.  `safe=True` also takes the
    labels that nodes drop out of pruning, as `--safe` does.
    """
    engine = native()
    if isinstance(graph, dict):
        try:
            analysis = engine.analyze_dict(graph, lenient, safe)
        except engine.GraphFileError as error:
            raise GraphError(str(error)) from None
    elif isinstance(graph, (str, bytes, os.PathLike)):
        path = os.fsdecode(graph)
        try:
            analysis = engine.analyze_file(path, lenient, safe)
        except engine.GraphFileError as error:
            raise GraphError(str(error), path=path) from None
    else:
        raise TypeError("analyze_graph takes a graph file's path or a graph dict, not %s" % type(graph).__name__)
    report = Report(analysis)
    if check and report.error is not None:
        e = report.error
        raise AnalysisError(e.node, e.name, e.kind, e.message, report)
    return report
