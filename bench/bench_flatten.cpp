// Flattening a generated model: a loop of L layers, each a body of 100 flat operations
// reached through calls two deep and a cache slot whose init is inlined per layer. The
// time per flat operation should not grow with L; the whole road from JSON text to JSON
// text is timed as `flatten_json` runs it.
#include <benchmark/benchmark.h>

#include <malloc.h>

#include <cstdint>
#include <memory>
#include <string>

#include "vel/ast.hpp"
#include "vel/ast_json.hpp"
#include "vel/flatten.hpp"
#include "vel/parse.hpp"

using namespace vel;

namespace {

constexpr const char* kType = "f32[param.n, param.d]";

// `count` operations threading t0 ... through a rotation of kinds, each reading a weight
// of the dict parameter w; the first reads `input`, the last writes `output`.
std::string chain_ops(int count, const std::string& input, const std::string& output) {
  static const char* kinds[] = {
      "map[add]",
      "contract[\"n d, d e -> n e\"]",
      "view[\"n (h d) -> n h d\", h=4]",
      "fold[\"n d -> n\", sum]",
      "map[mul]",
  };
  std::string out;
  std::string previous = input;
  for (int k = 0; k < count; ++k) {
    std::string name = k + 1 == count ? output : "t" + std::to_string(k);
    out += "  " + name + ": " + kType + " = " + kinds[k % 5] + "(" + previous + ", w.p" +
           std::to_string(k) + ")\n";
    previous = name;
  }
  return out;
}

std::string model_source(std::uint64_t layers) {
  std::string t = kType;
  std::string s;
  s += "main(x: " + t + ", weights: *) -> (y: " + t + ") {\n";
  s += "  x: " + t + " = loop[layer, " + std::to_string(layers) + "](x, weights.layers.*)\n";
  s += "  y: " + t + " = map[copy](x)\n}\n";
  // 30 own operations, the cache slot (10 from init_kv) and the call of attn (60).
  s += "layer(h: " + t + ", w: *) -> (out: " + t + ") {\n";
  s += "  a: " + t + " = call[attn](h, w.attn)\n";
  s += "  c: " + t + " = cache[kv.*, init_kv](a, w.kv)\n";
  s += chain_ops(30, "a", "out");
  s += "}\n";
  s += "attn(x: " + t + ", w: *) -> (o: " + t + ") {\n";
  s += "  m: " + t + " = call[mlp](x, w.mlp)\n";
  s += chain_ops(30, "m", "o");
  s += "}\n";
  s += "mlp(x: " + t + ", w: *) -> (o: " + t + ") {\n" + chain_ops(30, "x", "o") + "}\n";
  s += "init_kv(x: " + t + ", w: *) -> (c: " + t + ") {\n" + chain_ops(10, "x", "c") + "}\n";
  return s;
}

constexpr std::uint64_t kOpsPerLayer = 100;

std::uint64_t layers_of(const benchmark::State& state) {
  return static_cast<std::uint64_t>(state.range(0));
}

void report(benchmark::State& state, std::uint64_t flat_ops) {
  state.SetItemsProcessed(static_cast<std::int64_t>(state.iterations() * flat_ops));
  state.counters["flat_ops"] = static_cast<double>(flat_ops);
  state.counters["per_op"] =
      benchmark::Counter(static_cast<double>(state.iterations() * flat_ops),
                         benchmark::Counter::kIsRate | benchmark::Counter::kInvert);
}

// Every size is timed on a heap that an untimed first run has grown, and the heap is kept
// between runs, as a long-running interpreter keeps it: a cold heap adds the kernel's page
// faults for fresh memory, which only the first call of a process pays.
void keep_heap() { mallopt(M_TRIM_THRESHOLD, 1 << 30); }

// The flat module from a module in memory; it is freed outside the timed region. The
// heap that a flat module holds is measured on the untimed run.
void BM_Flatten(benchmark::State& state) {
  const Module module = parse(model_source(layers_of(state)));
  keep_heap();
  const std::size_t before = mallinfo2().uordblks;
  auto flat = std::make_unique<Module>(flatten(module, "main", {}));
  const double heap = static_cast<double>(mallinfo2().uordblks - before);
  const std::uint64_t flat_ops = flat->functions.at("main").ops.size();
  flat.reset();
  for (auto _ : state) {
    flat = std::make_unique<Module>(flatten(module, "main", {}));
    state.PauseTiming();
    flat.reset();
    state.ResumeTiming();
  }
  if (flat_ops != layers_of(state) * kOpsPerLayer + 1) state.SkipWithError("wrong size");
  report(state, flat_ops);
  state.counters["bytes_per_op"] = heap / static_cast<double>(flat_ops);
}

// The road of `flatten_json`: JSON text in, JSON text out, everything freed.
void BM_FlattenJson(benchmark::State& state) {
  const std::string text = module_to_json(parse(model_source(layers_of(state))));
  const CacheKeys keys;
  keep_heap();
  std::size_t out_size = 0;
  auto road = [&] {
    std::string out = flatten_to_json(module_from_json(text), "main", keys);
    out_size = out.size();
    benchmark::DoNotOptimize(out);
  };
  road();
  for (auto _ : state) road();
  report(state, layers_of(state) * kOpsPerLayer + 1);
  state.counters["json_bytes"] = static_cast<double>(out_size);
}

// A chain of n functions, each computing a local value and calling the next: the flat
// function has n operations whose names grow by a prefix per level, so its text grows as
// n squared, and so should the time, not as n cubed.
void BM_FlattenChain(benchmark::State& state) {
  const auto n = static_cast<std::size_t>(state.range(0));
  std::string source;
  for (std::size_t i = 0; i + 1 < n; ++i)
    source += "f" + std::to_string(i) + "(x: f32[4]) -> (y: f32[4]) {\n  t = map[neg](x)\n" +
              "  y = call[f" + std::to_string(i + 1) + "](t)\n}\n";
  source += "f" + std::to_string(n - 1) + "(x: f32[4]) -> (y: f32[4]) {\n  y = map[exp](x)\n}\n";
  const Module module = parse(source);
  keep_heap();
  double name_bytes = 0;
  for (auto _ : state) {
    Module flat = flatten(module, "f0", {});
    state.PauseTiming();
    name_bytes = 0;
    for (const Op& op : flat.functions.at("f0").ops)
      for (const Text& name : op.outputs) name_bytes += static_cast<double>(name.size());
    state.ResumeTiming();
  }
  state.counters["output_name_bytes"] = name_bytes;
  state.counters["per_byte"] =
      benchmark::Counter(name_bytes * static_cast<double>(state.iterations()),
                         benchmark::Counter::kIsRate | benchmark::Counter::kInvert);
}

// Medians of three runs of at least a second each, since other work on the machine moves
// single runs of the largest size by a fifth.
void sizes(benchmark::internal::Benchmark* b) {
  b->RangeMultiplier(10)->Range(10, 10000)->Unit(benchmark::kMillisecond);
  b->MinTime(1)->Repetitions(3)->ReportAggregatesOnly(true);
}

}  // namespace

BENCHMARK(BM_Flatten)->Apply(sizes);
BENCHMARK(BM_FlattenJson)->Apply(sizes);
BENCHMARK(BM_FlattenChain)->Arg(1000)->Arg(3000)->Arg(10000)->Unit(benchmark::kMillisecond);
BENCHMARK_MAIN();
