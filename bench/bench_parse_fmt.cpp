// Parsing, formatting and checking of a ~10 MB module of canonical source text: many functions
// using every operation kind, with comments, dict parameters, grouped outputs and untyped ones.
#include <cstdint>
#include <optional>
#include <random>
#include <string>
#include <vector>

#include <benchmark/benchmark.h>

#include "vel/ast.hpp"
#include "vel/check.hpp"
#include "vel/fmt.hpp"
#include "vel/parse.hpp"

namespace {

using namespace vel;

constexpr std::size_t kTargetBytes = 10'000'000;
constexpr std::uint64_t kWidth = 100;

// A fixed seed keeps the module, and so the measurements, the same from run to run.
class Generator {
 public:
  Module module() {
    Module m;
    m.header_comments = {"// generated module for the parse and format benchmarks",
                         "// every operation kind, comments and types"};
    std::size_t bytes = 0;
    for (int i = 0; bytes < kTargetBytes; ++i) {
      Function f = function(i);
      Module one;
      one.functions.store(f.name.str(), f);
      bytes += vel::format_vel(one, kWidth).size() + 1;
      std::string key = f.name.str();
      m.functions.store(std::move(key), std::move(f));
      names_.push_back(m.functions.entries().back().key().str());
    }
    return m;
  }

 private:
  std::size_t pick(std::size_t n) {
    return std::uniform_int_distribution<std::size_t>(0, n - 1)(rng_);
  }
  bool chance(double p) { return std::bernoulli_distribution(p)(rng_); }
  template <class T>
  const T& one_of(const std::vector<T>& items) {
    return items[pick(items.size())];
  }

  Dim dim() {
    static const std::vector<std::string> named = {"n",           "seq",   "param.hidden",
                                                   "param.heads", "batch", "d_head"};
    static const std::vector<std::int64_t> sizes = {1, 4, 8, 64, 128, 1024, 4096};
    if (chance(0.5)) return Dim{Dim::Named{one_of(named)}};
    return Dim{Dim::Concrete{one_of(sizes)}};
  }

  TensorType type() {
    static const std::vector<std::string> dtypes = {"f32", "bf16", "f16", "i32", "u8"};
    TensorType t{one_of(dtypes), {}};
    for (std::size_t n = pick(5); n > 0; --n) t.shape.push_back(dim());
    return t;
  }

  std::string value_name() {
    static const std::vector<std::string> stems = {"h",       "x",      "attn", "score", "tmp",
                                                   "mlp_out", "normed", "q",    "k",     "v"};
    return one_of(stems) + std::to_string(pick(40));
  }

  Atom arg() {
    switch (pick(8)) {
      case 0: return Atom{Atom::Int{static_cast<std::int64_t>(pick(4096)) - 16}};
      case 1: return Atom{Atom::Float{static_cast<double>(pick(100000)) / 1024.0 - 3.0}};
      case 2: return Atom{Atom::Name{"w.layer" + std::to_string(pick(12)) + ".proj"}};
      case 3: return Atom{Atom::Name{"param.eps"}};
      default: return Atom{Atom::Name{value_name()}};
    }
  }

  Args args(std::size_t most) {
    Args out;
    for (std::size_t n = 1 + pick(most); n > 0; --n) out.push_back(arg());
    return out;
  }

  vel::LiteralValue literal(int depth) {
    if (depth < 2 && chance(0.4)) {
      vel::LiteralValue::List list;
      for (std::size_t n = pick(5); n > 0; --n) list.items.push_back(literal(depth + 1));
      return vel::LiteralValue{std::move(list)};
    }
    if (chance(0.5))
      return vel::LiteralValue{vel::LiteralValue::Int{static_cast<std::int64_t>(pick(1000))}};
    return vel::LiteralValue{vel::LiteralValue::Float{static_cast<double>(pick(1 << 20)) * 1e-3}};
  }

  std::string callee() { return names_.empty() ? std::string("leaf") : one_of(names_); }

  OpKind kind() {
    static const std::vector<std::string> patterns = {
        "b s (h d) -> b h s d", "b h s d -> b s (h d)", "s d, d e -> s e",
        "i j -> j i",           "b s d -> b s",         "v d, s -> s d"};
    static const std::vector<std::string> functions = {"exp",  "relu",  "add", "mul",
                                                       "silu", "rsqrt", "tanh"};
    static const std::vector<std::string> reductions = {"sum", "max", "mean", "add"};
    switch (pick(13)) {
      case 0: {
        vel::Axes axes;
        if (chance(0.6)) {
          axes.store("h", 8);
          axes.store("d", 64);
        }
        return OpKind{OpKind::View{one_of(patterns), std::move(axes)}};
      }
      case 1: return OpKind{OpKind::Map{one_of(functions)}};
      case 2: return OpKind{OpKind::Fold{one_of(patterns), one_of(reductions)}};
      case 3: {
        vel::Axes axes;
        if (chance(0.5)) axes.store("r", static_cast<std::int64_t>(1 + pick(8)));
        return OpKind{OpKind::Tile{"s d -> (r s) d", std::move(axes)}};
      }
      case 4: return OpKind{OpKind::Read{"v d, s -> s d"}};
      case 5: return OpKind{OpKind::Write{"s d -> v d", one_of(reductions)}};
      case 6: return OpKind{OpKind::Contract{one_of(patterns)}};
      case 7: return OpKind{OpKind::Literal{literal(0)}};
      case 8: return OpKind{OpKind::Iota{}};
      case 9: {
        auto lower = static_cast<double>(1 + pick(8)), upper = static_cast<double>(1 + pick(8));
        return OpKind{OpKind::Random{-1.0 / lower, 0.5 * upper}};
      }
      case 10: return OpKind{OpKind::Call{callee()}};
      case 11: {
        vel::LoopCount count = chance(0.5) ? vel::LoopCount{vel::LoopCount::Named{"param.layers"}}
                                           : vel::LoopCount{vel::LoopCount::Concrete{1 + pick(32)}};
        return OpKind{OpKind::Loop{callee(), std::move(count)}};
      }
      default: {
        std::optional<std::string> extend;
        if (chance(0.5)) extend = "extend_" + callee();
        return OpKind{
            OpKind::Cache{"kv" + std::to_string(pick(24)) + ".*", callee(), std::move(extend)}};
      }
    }
  }

  Op op() {
    Op o;
    o.kind = kind();
    std::size_t outputs = chance(0.8) ? 1 : 2 + pick(2);
    for (std::size_t i = 0; i < outputs; ++i) {
      o.outputs.push_back(value_name());
      o.output_types.push_back(chance(0.85) ? std::optional<TensorType>(type()) : std::nullopt);
    }
    bool no_args = std::holds_alternative<OpKind::Literal>(o.kind.value) ||
                   std::holds_alternative<OpKind::Random>(o.kind.value);
    if (!no_args) o.args = args(3);
    if (chance(0.15))
      o.comments.push_back("// step " + std::to_string(pick(1000)) + ": keep the order");
    return o;
  }

  Function function(int i) {
    Function f;
    f.name = "fn" + std::to_string(i) + (chance(0.5) ? "_block" : "_proj");
    if (chance(0.4)) f.comments.push_back("// function " + std::to_string(i));
    for (std::size_t n = 1 + pick(4); n > 0; --n)
      f.params.push_back(Param{"in" + std::to_string(n), type()});
    if (chance(0.5)) f.params.push_back(Param{"w", TensorType{"*", {}}});
    for (std::size_t n = 1 + pick(2); n > 0; --n)
      f.returns.push_back(Param{"out" + std::to_string(n), type()});
    for (std::size_t n = 6 + pick(16); n > 0; --n) f.ops.push_back(op());
    return f;
  }

  std::mt19937_64 rng_{0x5eed};
  std::vector<std::string> names_;
};

const Module& bench_module() {
  static const Module module = Generator().module();
  return module;
}

const std::string& bench_source() {
  static const std::string source = vel::format_vel(bench_module(), kWidth);
  return source;
}

void BM_Parse(benchmark::State& state) {
  const std::string& source = bench_source();
  for (auto _ : state) {
    try {
      Module parsed = vel::parse(source);
      benchmark::DoNotOptimize(parsed);
    } catch (const vel::Stop& stop) {
      static std::string message;
      message = stop.message;
      state.SkipWithError(message.c_str());
      return;
    }
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * source.size()));
  state.counters["source_bytes"] = static_cast<double>(source.size());
}

void BM_Format(benchmark::State& state) {
  const Module& module = bench_module();
  std::size_t bytes = 0;
  for (auto _ : state) {
    std::string text = vel::format_vel(module, kWidth);
    bytes = text.size();
    benchmark::DoNotOptimize(text.data());
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * bytes));
  state.counters["output_bytes"] = static_cast<double>(bytes);
}

// The checker's findings and constraints of the whole module, as `check_json` writes them.
void BM_Check(benchmark::State& state) {
  const Module& module = bench_module();
  std::size_t bytes = 0;
  for (auto _ : state) {
    std::string text = vel::check_result_to_json(vel::check(module));
    bytes = text.size();
    benchmark::DoNotOptimize(text.data());
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * bench_source().size()));
  state.counters["output_bytes"] = static_cast<double>(bytes);
}

// What the records alone cost: a deep copy of the parsed module and its freeing, which
// allocate and free what parsing does. Parsing cannot run faster than this.
void BM_CopyAndFree(benchmark::State& state) {
  const Module& module = bench_module();
  for (auto _ : state) {
    Module copy = module;
    benchmark::DoNotOptimize(copy);
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * bench_source().size()));
}

}  // namespace

BENCHMARK(BM_Parse)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_Format)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_Check)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_CopyAndFree)->Unit(benchmark::kMillisecond);

BENCHMARK_MAIN();
