#pragma once
// The view page's template, styles and script (src/zavo/view/), embedded at build time.
// The template holds the markers /*zavo:style*/, /*zavo:data*/ and /*zavo:script*/, in that
// order, where the page's parts go.

#include <string_view>

namespace zavo::graph::view_assets {

extern const std::string_view kPage;
extern const std::string_view kStyle;
extern const std::string_view kScript;

}  // namespace zavo::graph::view_assets
