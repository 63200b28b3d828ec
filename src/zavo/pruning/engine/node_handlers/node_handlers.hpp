#pragma once
// The node-handler module: for each operation node of a traced graph, the handler that decides
// which channels are tied, moved, or taken out of pruning.

#include <optional>
#include <string_view>

#include "zavo/pruning/engine/utils.hpp"
#include "zavo/tensor_trace.hpp"

namespace zavo::pruning::engine::node_handlers {

// A handler changes the pruning state for one node; it returns nothing, warns, or raises.
using NodeHandler = void (*)(utils::PruneGraphParserState& pruning_state,
                             const tensor_trace::ZavoOpNode& node);

// Which handlers a parse uses.
//  - `Core`: the registration table of the operation catalogue, exactly.
//  - `Extended`: the catalogue's table with a second table on top, for transformers and language
//    models: normalisations, attention heads (reshapes into heads and back, matrix products,
//    softmax, fused projections split into parts), embeddings, indexing and the shape
//    operations around them. Operations it does not name keep the catalogue's handler.
enum class RuleSet { Core, Extended };

// `core` or `extended`.
std::string_view rule_set_name(RuleSet rules);
// The rule set of that name; none for any other text.
std::optional<RuleSet> parse_rule_set(std::string_view name);

// The handler for `node`: attribute reads go to the tensor-read handler whatever their operation;
// other nodes get their operation's registered handler, or the default handler.
NodeHandler get_node_handler(const tensor_trace::ZavoOpNode& node);
// The same under `rules`. Under `Extended` the second table is asked first, and the attribute
// reads that return a tensor's own data (`.T`, `.mT`, `.data`) get a handler of their own.
NodeHandler get_node_handler(const tensor_trace::ZavoOpNode& node, RuleSet rules);

// Handlers that take labels in, on purpose, without passing them on or marking them: a
// statistic over channels (kept for broadcasting back, as a normalisation does), the contracted
// dimension of a matrix product, the attention weights read beside an attention's output. The
// dropped-label guard does not count what they consume.
bool consumes_labels(NodeHandler handler);

}  // namespace zavo::pruning::engine::node_handlers
