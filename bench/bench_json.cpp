// Reading and writing the interchange form of a ~10 MB module, side by side with
// RapidJSON parsing the same text into its DOM and writing that DOM back.
#include <benchmark/benchmark.h>

#include <malloc.h>

#include <bit>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <random>

#include <rapidjson/document.h>
#include <rapidjson/stringbuffer.h>
#include <rapidjson/writer.h>

#include "vel/ast.hpp"
#include "vel/ast_json.hpp"
#include "vel/json.hpp"

using namespace vel;

namespace {

// A module of many functions with every kind of operation, types, arguments, floats and
// comments; the same module on every run.
Module make_module(std::size_t functions) {
  std::mt19937_64 rng(7);
  auto pick = [&](std::size_t n) { return static_cast<std::size_t>(rng() % n); };
  auto real = [&] { return std::uniform_real_distribution<double>(-1e3, 1e3)(rng); };
  auto type = [&](std::size_t rank) {
    TensorType t{pick(4) ? "f32" : "bf16", {}};
    for (std::size_t i = 0; i < rank; ++i)
      t.shape.push_back(pick(3) ? Dim{Dim::Concrete{static_cast<std::int64_t>(1 + pick(4096))}}
                                : Dim{Dim::Named{"param.d_model"}});
    return t;
  };
  auto axes = [&] {
    Axes a;
    a.store("h", 16);
    a.store("d", 64);
    return a;
  };
  Module m;
  m.header_comments = {"// generated for the benchmark", "// second header line"};
  for (std::size_t f = 0; f < functions; ++f) {
    Function fn;
    fn.name = "layer_" + std::to_string(f);
    fn.comments = {"// function " + std::to_string(f) + " \"quoted\" and \\escaped\\"};
    fn.params = {Param{"x", type(3)}, Param{"w", TensorType{"*", {}}}, Param{"bias", type(1)}};
    fn.returns = {Param{"y", type(3)}};
    for (int k = 0; k < 26; ++k) {
      Op op;
      std::string out = "t" + std::to_string(k);
      switch (k % 13) {
        case 0: op.kind.value = OpKind::View{"b s (h d) -> b h s d", axes()}; break;
        case 1: op.kind.value = OpKind::Map{"exp"}; break;
        case 2: op.kind.value = OpKind::Fold{"b h s d -> b h s", "add"}; break;
        case 3: op.kind.value = OpKind::Tile{"b s -> b s r", {}}; break;
        case 4: op.kind.value = OpKind::Read{"v[i]"}; break;
        case 5: op.kind.value = OpKind::Write{"v[i]", "max"}; break;
        case 6: op.kind.value = OpKind::Contract{"b s d, d e -> b s e"}; break;
        case 7: {
          LiteralValue::List list;
          for (int i = 0; i < 6; ++i)
            list.items.push_back(LiteralValue{LiteralValue::Float{real()}});
          list.items.push_back(
              LiteralValue{LiteralValue::Int{static_cast<std::int64_t>(pick(100))}});
          op.kind.value = OpKind::Literal{LiteralValue{std::move(list)}};
          break;
        }
        case 8: op.kind.value = OpKind::Iota{}; break;
        case 9: op.kind.value = OpKind::Random{-real(), real()}; break;
        case 10: op.kind.value = OpKind::Call{"layer_" + std::to_string(pick(functions))}; break;
        case 11:
          op.kind.value =
              OpKind::Loop{"block", pick(2) ? LoopCount{LoopCount::Concrete{12}}
                                            : LoopCount{LoopCount::Named{"param.layers"}}};
          break;
        default: op.kind.value = OpKind::Cache{"kv.*", "kv_init", std::string("kv_extend")}; break;
      }
      op.outputs = {out};
      op.output_types = {type(1 + pick(3))};
      op.args = {Atom{Atom::Name{"x"}}, Atom{Atom::Name{"weights.blocks.*.attn.q"}},
                 Atom{Atom::Int{static_cast<std::int64_t>(pick(1000))}}, Atom{Atom::Float{real()}}};
      if (k % 4 == 0) op.comments = {"// note on " + out};
      fn.ops.push_back(std::move(op));
    }
    std::string key = fn.name.str();
    m.functions.store(std::move(key), std::move(fn));
  }
  return m;
}

const Module& module() {
  static const Module m = make_module(1800);
  return m;
}

const std::string& text() {
  static const std::string t = module_to_json(module());
  return t;
}

// The heap's policy decides much of what reading costs, since a module takes several times
// its text in small allocations: with glibc's default trimming the memory freed after each
// reading goes back to the system and the next one faults it in again. Each benchmark sets
// the policy for both contenders alike: `warm` keeps freed memory for reuse, as a
// long-running process does.
void set_heap(bool warm) { mallopt(M_TRIM_THRESHOLD, warm ? 1 << 30 : 128 * 1024); }

// Reading builds the value; the value is freed outside the timed region (RapidJSON's DOM
// alike) unless `timed_free`.
template <bool warm, bool timed_free>
void BM_VelRead(benchmark::State& state) {
  set_heap(warm);
  const std::string& t = text();
  for (auto _ : state) {
    auto m = std::make_unique<Module>(module_from_json(t));
    benchmark::DoNotOptimize(m);
    if (!timed_free) state.PauseTiming();
    m.reset();
    if (!timed_free) state.ResumeTiming();
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * t.size()));
}

template <bool warm, bool timed_free>
void BM_RapidJsonParse(benchmark::State& state) {
  set_heap(warm);
  const std::string& t = text();
  for (auto _ : state) {
    auto doc = std::make_unique<rapidjson::Document>();
    doc->Parse(t.data(), t.size());
    if (doc->HasParseError()) std::abort();
    benchmark::DoNotOptimize(doc);
    if (!timed_free) state.PauseTiming();
    doc.reset();
    if (!timed_free) state.ResumeTiming();
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * t.size()));
}

void BM_VelWrite(benchmark::State& state) {
  set_heap(true);
  const Module& m = module();
  std::size_t size = 0;
  for (auto _ : state) {
    std::string out = module_to_json(m);
    size = out.size();
    benchmark::DoNotOptimize(out);
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * size));
}

void BM_RapidJsonWrite(benchmark::State& state) {
  set_heap(true);
  rapidjson::Document doc;
  doc.Parse(text().data(), text().size());
  std::size_t size = 0;
  for (auto _ : state) {
    rapidjson::StringBuffer buffer;
    rapidjson::Writer<rapidjson::StringBuffer> writer(buffer);
    doc.Accept(writer);
    size = buffer.GetSize();
    benchmark::DoNotOptimize(buffer.GetString());
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * size));
}

// A million random doubles written as JSON float text read back to the same bits.
void BM_FloatRoundTrip(benchmark::State& state) {
  for (auto _ : state) {
    std::mt19937_64 rng(99);
    std::string text;
    for (int i = 0; i < 1000000; ++i) {
      double d = std::bit_cast<double>(rng());
      if (!std::isfinite(d)) continue;
      text.clear();
      json::write_float(text, d);
      json::Reader in(text);
      in.peek_token();
      json::Number n = in.read_number();
      if (std::bit_cast<std::uint64_t>(n.f) != std::bit_cast<std::uint64_t>(d)) {
        std::fprintf(stderr, "round trip failed for %s\n", text.c_str());
        std::abort();
      }
    }
  }
}

}  // namespace

BENCHMARK(BM_VelRead<true, false>)->Name("BM_VelRead/warm_heap")->Unit(benchmark::kMillisecond);
BENCHMARK(BM_RapidJsonParse<true, false>)
    ->Name("BM_RapidJsonParse/warm_heap")
    ->Unit(benchmark::kMillisecond);
BENCHMARK(BM_VelRead<true, true>)
    ->Name("BM_VelReadAndFree/warm_heap")
    ->Unit(benchmark::kMillisecond);
BENCHMARK(BM_RapidJsonParse<true, true>)
    ->Name("BM_RapidJsonParseAndFree/warm_heap")
    ->Unit(benchmark::kMillisecond);
BENCHMARK(BM_VelRead<false, false>)->Name("BM_VelRead/trimmed_heap")->Unit(benchmark::kMillisecond);
BENCHMARK(BM_RapidJsonParse<false, false>)
    ->Name("BM_RapidJsonParse/trimmed_heap")
    ->Unit(benchmark::kMillisecond);
BENCHMARK(BM_VelRead<false, true>)
    ->Name("BM_VelReadAndFree/trimmed_heap")
    ->Unit(benchmark::kMillisecond);
BENCHMARK(BM_RapidJsonParse<false, true>)
    ->Name("BM_RapidJsonParseAndFree/trimmed_heap")
    ->Unit(benchmark::kMillisecond);
BENCHMARK(BM_VelWrite)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_RapidJsonWrite)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_FloatRoundTrip)->Unit(benchmark::kMillisecond)->Iterations(1);

int main(int argc, char** argv) {
  std::printf("module text: %zu bytes\n", text().size());
  // The text read back must give the same module, and write the same text again.
  if (module_to_json(module_from_json(text())) != text()) {
    std::fprintf(stderr, "round trip of the module text failed\n");
    return 1;
  }
  benchmark::Initialize(&argc, argv);
  benchmark::RunSpecifiedBenchmarks();
  return 0;
}
