// Number text and money rounding: grids and SQL batches format thousands of values at a time.
#include <benchmark/benchmark.h>

#include <random>
#include <string>
#include <vector>

#include "rtl/money.h"
#include "rtl/numtext.h"

namespace {

// Quantities, prices and amounts as the documents hold them, plus arbitrary doubles.
std::vector<double> Values(bool money_like) {
  std::mt19937_64 rng(7);
  std::vector<double> v(4096);
  std::uniform_real_distribution<double> any(-1e9, 1e9);
  std::uniform_int_distribution<int> cents(-10000000, 10000000);
  for (double& x : v) x = money_like ? cents(rng) / 100.0 : any(rng);
  return v;
}

void BM_FloatToStr(benchmark::State& state) {
  const std::vector<double> v = Values(state.range(0) == 1);
  std::string out;
  size_t i = 0;
  for (auto _ : state) {
    out.clear();
    rtl::AppendFloatText(out, v[i++ & 4095]);
    benchmark::DoNotOptimize(out.data());
  }
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_FloatToStr)->Arg(1)->Arg(0)->ArgNames({"money_like"});

void BM_StrToFloat(benchmark::State& state) {
  std::vector<std::string> texts;
  for (double x : Values(true)) texts.push_back(rtl::FloatToStr(x));
  size_t i = 0;
  for (auto _ : state) {
    benchmark::DoNotOptimize(rtl::StrToFloat(texts[i++ & 4095]));
  }
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_StrToFloat);

void BM_FormatMoney(benchmark::State& state) {
  std::vector<rtl::Extended> v;
  for (double x : Values(true)) v.push_back(static_cast<rtl::Extended>(x) * 17 / 117);
  size_t i = 0;
  for (auto _ : state) {
    benchmark::DoNotOptimize(rtl::FormatMoney(v[i++ & 4095]));
  }
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_FormatMoney);

}  // namespace
