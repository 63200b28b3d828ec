"""Reading report files of either version.

`zavo-prune analyze -o` writes version 2 (each tied set of dimensions once,
sequences as runs); `--report-version 1` writes version 1 (every class with
every slice).  `expand(data)` turns either into the layout of version 1, so
that a reader handles one shape: `nodes` with their label lists, `is_prunable`
as [label, flag] pairs, `groups` with their `channels` and, when kept, `reason`
and `via`, `dropped` with its labels.  The README describes both versions.
"""

import json


class ReportFileError(ValueError):
    """A file that is not a zavo report this reader knows; the message says why."""


def expand_sequence(items, lists=None):
    """The numbers of a sequence: `n`, `[first, count]`, `[first, count, step]`, and in
    the table of label lists `{"list": k}` (every label of the earlier entry k)."""
    out = []
    for item in items:
        if isinstance(item, int) and not isinstance(item, bool):
            out.append(item)
        elif isinstance(item, list) and len(item) in (2, 3) and all(
                isinstance(n, int) and not isinstance(n, bool) for n in item) and item[1] >= 0:
            first, count = item[0], item[1]
            step = item[2] if len(item) == 3 else 1
            out.extend(range(first, first + count * step, step) if step else [first] * count)
        elif isinstance(item, dict) and lists is not None and set(item) == {"list"} \
                and isinstance(item["list"], int) and 0 <= item["list"] < len(lists):
            out.extend(lists[item["list"]])
        else:
            raise ReportFileError("not an item of a sequence: %s" % json.dumps(item))
    return out


def _expand_lists(entries):
    lists = []
    for entry in entries:
        # A reference names an earlier entry only, so expanding in order resolves every one.
        lists.append(expand_sequence(entry, lists))
    return lists


def _groups(data):
    """Version 2's sets and classes as version 1's groups, sorted by label."""
    sets = data["sets"]
    # Per set: the slices of each of its classes, members in file order then dimension.
    slices = []
    for entry in sets:
        of_class = [[] for _ in range(entry["classes"])]
        for member in entry["members"]:
            for index, k in enumerate(expand_sequence(member["classes"])):
                of_class[k].append({"node": member["node"], "dim": member["dim"], "index": index})
        slices.append(of_class)
    reasons = data["reasons"]
    groups = []
    for run in data["classes"]:
        label, count, set_index, first, prunable, reason = run[:6]
        hit = run[6] if len(run) > 6 else label  # the label the reason's event hit
        for i in range(count):
            group = {"label": label + i, "prunable": prunable, "channels": slices[set_index][first + i]}
            if reason is not None:
                entry = reasons[reason]
                group["reason"] = {"event": entry["event"], "node": entry["node"], "label": hit + i,
                                   "text": entry["text"]}
                group["via"] = entry["via"]
            groups.append(group)
    return groups


def expand(data):
    """A report's dict (version 1 or 2) in the layout of version 1."""
    version = data.get("version") if isinstance(data, dict) else None
    if not isinstance(data, dict) or data.get("format") != "zavo.report" or version not in (1, 2):
        raise ReportFileError("not a zavo.report file of version 1 or 2")
    if version == 1:
        return data
    try:
        lists = _expand_lists(data["lists"])
        out = {"format": "zavo.report", "version": 1, "model": data["model"]}
        out["nodes"] = [{"id": n["id"], "name": n["name"],
                         "labels": [None if k is None else lists[k] for k in n["labels"]]} for n in data["nodes"]]
        flags = [(label, True) for label in expand_sequence(data["prunable_labels"])]
        flags += [(label, False) for label in expand_sequence(data["kept_labels"])]
        out["is_prunable"] = [list(entry) for entry in sorted(flags)]
        for key in ("warnings", "error", "recovered_errors"):
            out[key] = data[key]
        out["groups"] = _groups(data)
        out["dropped"] = [dict(d, labels=expand_sequence(d["labels"])) for d in data["dropped"]]
        out["summary"] = data["summary"]
    except (KeyError, IndexError, TypeError, ValueError) as error:
        if isinstance(error, ReportFileError):
            raise
        raise ReportFileError("a zavo.report version 2 file with a broken field (%s: %s)"
                              % (type(error).__name__, error)) from None
    # Fields beyond these (added by later writers) pass through.
    for key, value in data.items():
        if key not in out and key not in ("lists", "prunable_labels", "kept_labels", "reasons", "sets",
                                          "classes"):
            out[key] = value
    return out


def load(path):
    """The report file at `path`, either version, in the layout of version 1."""
    try:
        with open(path, encoding="utf-8") as stream:
            data = json.load(stream)
    except (OSError, ValueError) as error:
        raise ReportFileError("cannot read report %s: %s" % (path, error)) from None
    try:
        return expand(data)
    except ReportFileError as error:
        raise ReportFileError("%s: %s" % (path, error)) from None
