// The configuration file at its largest: documents of up to 10 MB, a weights table nested
// as deep as a file may with many entries, and templates with up to 10,000 slots. Each benchmark
// runs over a range of sizes and reports its fitted complexity, which should be O(N).
#include <benchmark/benchmark.h>

#include <string>
#include <string_view>
#include <vector>

#include "config_file.hpp"
#include "weights.hpp"

namespace {

using namespace velorn;

// A "vector" table of one long array and a "shape" table of many names, about `bytes` long.
std::string values_document(std::size_t bytes) {
  std::string text = "[vector]\nv = [";
  while (text.size() < bytes / 2) text += "1.25, -3, 4e5, ";
  text += "0]\n[shape]\n";
  for (int i = 0; text.size() < bytes; ++i)
    text += "n" + std::to_string(i) + " = " + std::to_string(i) + "\n";
  return text;
}

void BM_LoadConfigValues(benchmark::State& state) {
  std::string text = values_document(static_cast<std::size_t>(state.range(0)));
  for (auto _ : state) benchmark::DoNotOptimize(config_from_toml_text("c.toml", text));
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * text.size()));
  state.SetComplexityN(state.range(0));
}
BENCHMARK(BM_LoadConfigValues)
    ->RangeMultiplier(2)
    ->Range(1 << 20, 10 << 20)
    ->Complexity(benchmark::oN)
    ->Unit(benchmark::kMillisecond);

// One header `depth` tables deep, then `entries` texts in the deepest table.
std::string deep_weights(std::size_t depth, std::size_t entries) {
  std::string text = "[weights";
  for (std::size_t i = 1; i < depth; ++i) text += ".a";
  text += "]\n";
  for (std::size_t i = 0; i < entries; ++i) text += "k" + std::to_string(i) + " = \"t{}\"\n";
  return text;
}

void BM_DeepWeightsTable(benchmark::State& state) {
  std::string text = deep_weights(static_cast<std::size_t>(state.range(0)), 1);
  for (auto _ : state) benchmark::DoNotOptimize(weight_mapping_from_toml_text("c.toml", text));
  state.SetComplexityN(state.range(0));
}
BENCHMARK(BM_DeepWeightsTable)
    ->RangeMultiplier(2)
    ->Range(16, static_cast<std::int64_t>(kMaxTomlNesting))
    ->Complexity(benchmark::oN)
    ->Unit(benchmark::kMillisecond);

// As deep as a file may nest, with ever more entries: spelled out, the keys would grow
// with the product of depth and entries.
void BM_ManyEntriesDeepDown(benchmark::State& state) {
  std::string text = deep_weights(kMaxTomlNesting, static_cast<std::size_t>(state.range(0)));
  for (auto _ : state) benchmark::DoNotOptimize(weight_mapping_from_toml_text("c.toml", text));
  state.SetComplexityN(static_cast<std::int64_t>(text.size()));
}
BENCHMARK(BM_ManyEntriesDeepDown)
    ->RangeMultiplier(4)
    ->Range(1 << 10, 1 << 18)
    ->Complexity(benchmark::oN)
    ->Unit(benchmark::kMillisecond);

void BM_FillSlots(benchmark::State& state) {
  std::string text;
  std::vector<std::string_view> parts;
  for (std::int64_t i = 0; i < state.range(0); ++i) {
    text += "x{}";
    parts.push_back(i % 2 ? "12" : "");
  }
  for (auto _ : state) benchmark::DoNotOptimize(fill_slots(text, parts));
  state.SetComplexityN(state.range(0));
}
BENCHMARK(BM_FillSlots)->RangeMultiplier(4)->Range(1 << 8, 10'000 << 4)->Complexity(benchmark::oN);

// A flat module whose one reference has `n` index parts, renamed through a template of
// `n` slots.
void BM_RenameManySlots(benchmark::State& state) {
  std::string slots, reference = "weights.w";
  for (std::int64_t i = 0; i < state.range(0); ++i) {
    slots += "{}.";
    reference += "." + std::to_string(i);
  }
  WeightMapping mapping =
      weight_mapping_from_toml_text("c.toml", "[weights]\nw = \"" + slots + "\"\n");
  vel::Op op;
  op.kind = {vel::OpKind::Map{"f"}};
  op.args = {vel::Atom{vel::Atom::Name{reference}}};
  vel::Function main;
  main.name = "main";
  main.ops = {op};
  vel::Module flat;
  flat.functions.store("main", main);
  for (auto _ : state) {
    vel::Module copy = flat;
    apply_weight_mapping(copy, mapping);
    benchmark::DoNotOptimize(copy);
  }
  state.SetComplexityN(state.range(0));
}
BENCHMARK(BM_RenameManySlots)
    ->RangeMultiplier(4)
    ->Range(1 << 8, 10'000 << 4)
    ->Complexity(benchmark::oN);

}  // namespace

BENCHMARK_MAIN();
