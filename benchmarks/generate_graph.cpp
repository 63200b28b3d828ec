// Writes a generated graph file and prints its size in label positions.
//
//   generate_graph SHAPE --positions N -o FILE     a series shape near N label positions
//   generate_graph SHAPE --units N -o FILE         N blocks or layers
//   generate_graph NAME -o FILE                    a named configuration
//   generate_graph decoder --layers N --width W --heads H --kv-heads K --mlp M --vocab V
//                  [--seq T] [--sdpa] -o FILE      a decoder of any shape
//
// SHAPE: residual, residual-swapped, ladder, depthwise, decoder (see graph_generator.hpp);
// NAME: llama-7b, llama-70b, ladder-4000, residual-8x100k, repeats-200k, wide-parameter. Options
// after the shape refine it (--channels for residual and depthwise, --growth and --stem for the
// ladder, the decoder's dimensions). Prints one line: the description, the nodes' label positions
// and the file's size.

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <string_view>

#include "graph_generator.hpp"

namespace {

using namespace zavo::benchmarks;

[[noreturn]] void usage(const char* message) {
  std::fprintf(stderr,
               "generate_graph: %s\n"
               "usage: generate_graph SHAPE|NAME [--positions N | --units N] [options] -o FILE\n",
               message);
  std::exit(2);
}

std::size_t count(const char* text) {
  char* end = nullptr;
  double value = std::strtod(text, &end);  // accepts 1e7
  if (end == text || *end != '\0' || value < 1)
    usage("expected a positive count");
  return static_cast<std::size_t>(value);
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2)
    usage("no shape given");
  std::string_view shape = argv[1];
  std::optional<GraphConfig> config = named_config(shape);
  if (!config)
    config = series_config(shape, 10'000);
  if (!config)
    usage("unknown shape");

  std::string output;
  for (int i = 2; i < argc; ++i) {
    std::string_view option = argv[i];
    if (option == "--sdpa") {
      if (auto* d = std::get_if<DecoderConfig>(&*config))
        d->sdpa = true;
      else
        usage("--sdpa is a decoder option");
      continue;
    }
    if (i + 1 >= argc)
      usage("an option needs a value");
    const char* value = argv[++i];
    if (option == "-o") {
      output = value;
    } else if (option == "--positions") {
      config = series_config(shape, count(value));
      if (!config)
        usage("--positions needs a series shape");
    } else if (option == "--units" || option == "--layers") {
      std::visit(
          [&](auto& c) {
            if constexpr (requires { c.blocks; })
              c.blocks = count(value);
            else if constexpr (requires { c.layers; })
              c.layers = count(value);
            else if constexpr (requires { c.repeats; })
              c.repeats = count(value);
            else
              usage("--units is not an option of this shape");
          },
          *config);
    } else if (auto* d = std::get_if<DecoderConfig>(&*config)) {
      std::size_t n = count(value);
      if (option == "--width")
        d->width = n;
      else if (option == "--heads")
        d->heads = n;
      else if (option == "--kv-heads")
        d->kv_heads = n;
      else if (option == "--mlp")
        d->mlp = n;
      else if (option == "--vocab")
        d->vocab = n;
      else if (option == "--seq")
        d->seq = n;
      else
        usage("unknown decoder option");
    } else if (auto* l = std::get_if<LadderConfig>(&*config)) {
      if (option == "--growth")
        l->growth = count(value);
      else if (option == "--stem")
        l->stem = count(value);
      else
        usage("unknown ladder option");
    } else if (option == "--channels") {
      std::visit(
          [&](auto& c) {
            if constexpr (requires { c.channels; })
              c.channels = count(value);
          },
          *config);
    } else {
      usage("unknown option");
    }
  }
  if (output.empty())
    usage("no output file (-o FILE)");
  if (auto* d = std::get_if<DecoderConfig>(&*config);
      d && (d->width % d->heads || d->heads % d->kv_heads))
    usage("the width must divide into the heads, the heads into the key/value heads");

  std::FILE* out = std::fopen(output.c_str(), "wb");
  if (!out) {
    std::perror(output.c_str());
    return 1;
  }
  try {
    write_graph(*config, out, shape);
  } catch (const std::exception& e) {
    std::fprintf(stderr, "generate_graph: %s\n", e.what());
    return 1;
  }
  long bytes = std::ftell(out);
  if (std::fclose(out) != 0) {
    std::perror(output.c_str());
    return 1;
  }
  std::printf("%s: %llu label positions, %.1f MB\n", describe(*config).c_str(),
              static_cast<unsigned long long>(label_positions(*config)),
              static_cast<double>(bytes) / 1e6);
  return 0;
}
