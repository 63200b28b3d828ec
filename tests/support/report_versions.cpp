#include "support/report_versions.hpp"

#include <algorithm>
#include <stdexcept>
#include <string>
#include <utility>

namespace zavo::testing {
namespace {

using Json = nlohmann::json;

[[noreturn]] void broken(const std::string& what) {
  throw std::runtime_error("version 2 report: " + what);
}

const Json& field(const Json& object, const char* key) {
  if (!object.is_object() || !object.contains(key))
    broken(std::string("missing ") + key);
  return object.at(key);
}

std::int64_t integer(const Json& value) {
  if (!value.is_number_integer())
    broken("expected an integer, got " + value.dump());
  return value.get<std::int64_t>();
}

}  // namespace

std::vector<std::int64_t> expand_sequence(const Json& items,
                                          const std::vector<std::vector<std::int64_t>>* lists) {
  if (!items.is_array())
    broken("a sequence that is not an array: " + items.dump());
  std::vector<std::int64_t> out;
  for (const Json& item : items) {
    if (item.is_number_integer()) {
      out.push_back(item.get<std::int64_t>());
    } else if (item.is_array() && (item.size() == 2 || item.size() == 3)) {
      const std::int64_t first = integer(item[0]);
      const std::int64_t count = integer(item[1]);
      const std::int64_t step = item.size() == 3 ? integer(item[2]) : 1;
      if (count < 0 || count > (std::int64_t{1} << 32))
        broken("a run of " + std::to_string(count));
      for (std::int64_t i = 0; i < count; ++i)
        out.push_back(first + i * step);
    } else if (item.is_object() && lists && item.size() == 1 && item.contains("list")) {
      const std::int64_t k = integer(item["list"]);
      if (k < 0 || static_cast<std::size_t>(k) >= lists->size())
        broken("a reference to list " + std::to_string(k) + " of " + std::to_string(lists->size()));
      const auto& referred = (*lists)[static_cast<std::size_t>(k)];
      out.insert(out.end(), referred.begin(), referred.end());
    } else {
      broken("not an item of a sequence: " + item.dump());
    }
  }
  return out;
}

Json version_1_layout(const Json& report) {
  if (field(report, "format") != "zavo.report" || field(report, "version") != 2)
    broken("not format zavo.report, version 2");
  Json out = {{"format", "zavo.report"}, {"version", 1}, {"model", field(report, "model")}};
  // Version 1 names its rules only when they are not the catalogue's.
  if (field(report, "rules") != "core")
    out["rules"] = report["rules"];

  std::vector<std::vector<std::int64_t>> lists;
  for (const Json& entry : field(report, "lists"))
    lists.push_back(expand_sequence(entry, &lists));
  out["nodes"] = Json::array();
  for (const Json& node : field(report, "nodes")) {
    Json labels = Json::array();
    for (const Json& index : field(node, "labels")) {
      if (index.is_null()) {
        labels.push_back(nullptr);
        continue;
      }
      const std::int64_t k = integer(index);
      if (k < 0 || static_cast<std::size_t>(k) >= lists.size())
        broken("a node refers to list " + std::to_string(k));
      labels.push_back(lists[static_cast<std::size_t>(k)]);
    }
    out["nodes"].push_back(
        {{"id", field(node, "id")}, {"name", field(node, "name")}, {"labels", std::move(labels)}});
  }

  std::vector<std::pair<std::int64_t, bool>> flags;
  for (std::int64_t label : expand_sequence(field(report, "prunable_labels")))
    flags.emplace_back(label, true);
  for (std::int64_t label : expand_sequence(field(report, "kept_labels")))
    flags.emplace_back(label, false);
  std::sort(flags.begin(), flags.end());
  out["is_prunable"] = Json::array();
  for (const auto& [label, prunable] : flags)
    out["is_prunable"].push_back({label, prunable});

  for (const char* key : {"warnings", "error", "recovered_errors"})
    out[key] = field(report, key);

  // Per set, the slices of each class: members in order, index by index.
  std::vector<std::vector<Json>> slices;
  for (const Json& set : field(report, "sets")) {
    std::vector<Json>& of_class = slices.emplace_back(
        static_cast<std::size_t>(integer(field(set, "classes"))), Json::array());
    for (const Json& member : field(set, "members")) {
      const std::vector<std::int64_t> classes = expand_sequence(field(member, "classes"));
      for (std::size_t index = 0; index < classes.size(); ++index) {
        if (classes[index] < 0 || static_cast<std::size_t>(classes[index]) >= of_class.size())
          broken("a member maps to class " + std::to_string(classes[index]));
        of_class[static_cast<std::size_t>(classes[index])].push_back(
            {{"node", field(member, "node")}, {"dim", field(member, "dim")}, {"index", index}});
      }
    }
  }
  const Json& reasons = field(report, "reasons");
  out["groups"] = Json::array();
  for (const Json& run : field(report, "classes")) {
    if (!run.is_array() || run.size() < 6 || run.size() > 7)
      broken("a class run that is not [label, count, set, index, prunable, reason, hit]");
    const std::int64_t label = integer(run[0]);
    const std::int64_t count = integer(run[1]);
    const std::int64_t set = integer(run[2]);
    const std::int64_t index = integer(run[3]);
    if (set < 0 || static_cast<std::size_t>(set) >= slices.size())
      broken("a class run of set " + std::to_string(set));
    for (std::int64_t i = 0; i < count; ++i) {
      const auto k = static_cast<std::size_t>(index + i);
      if (k >= slices[static_cast<std::size_t>(set)].size())
        broken("a class run past its set's classes");
      Json group = {{"label", label + i},
                    {"prunable", run[4]},
                    {"channels", slices[static_cast<std::size_t>(set)][k]}};
      if (!run[5].is_null()) {
        const Json& reason = reasons.at(static_cast<std::size_t>(integer(run[5])));
        group["reason"] = {{"event", field(reason, "event")},
                           {"node", field(reason, "node")},
                           {"label", (run.size() == 7 ? integer(run[6]) : label) + i},
                           {"text", field(reason, "text")}};
        group["via"] = field(reason, "via");
      }
      out["groups"].push_back(std::move(group));
    }
  }

  out["dropped"] = Json::array();
  for (const Json& drop : field(report, "dropped")) {
    out["dropped"].push_back({{"node", field(drop, "node")},
                              {"labels", expand_sequence(field(drop, "labels"))},
                              {"parameters", field(drop, "parameters")}});
  }
  out["summary"] = field(report, "summary");
  return out;
}

}  // namespace zavo::testing
