// The dictionary cache as the destination variant uses it (1,000 entries "<format> <hop>"
// in 1024 buckets), and building the engine command for bodies of 64 B to 1 MiB beside a
// plain memcpy of the same bytes.
#include <benchmark/benchmark.h>

#include <cctype>
#include <cstring>
#include <string>
#include <vector>

#include "transform_command.h"
#include "zvrhash.h"

namespace {

constexpr int kEntries = 1000;

std::string entryName(int i) {
  return "qlxMsgFormat" + std::to_string(i) + " BusinessElement" + std::to_string(i % 13);
}

// Names looked up, in upper case (the lookups ignore case), cycled through.
std::vector<std::string> lookupNames(const char* suffix) {
  std::vector<std::string> names;
  for (int i = 0; i < kEntries; ++i) {
    std::string name = entryName(i) + suffix;
    for (char& c : name) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    names.push_back(name);
  }
  return names;
}

void fill(zvrhash& table) {
  for (int i = 0; i < kEntries; ++i)
    table.AddEntry(entryName(i).c_str(), ("MAP" + std::to_string(i) + " -oe1s").c_str());
}

void BM_HashFindHit(benchmark::State& state) {
  zvrhash table(1024);
  fill(table);
  std::vector<std::string> names = lookupNames("");
  std::size_t i = 0;
  for (auto _ : state) {
    benchmark::DoNotOptimize(table.FindEntry(names[i].c_str()));
    i = (i + 1) % names.size();
  }
}
BENCHMARK(BM_HashFindHit);

void BM_HashFindMiss(benchmark::State& state) {
  zvrhash table(1024);
  fill(table);
  std::vector<std::string> names = lookupNames("X");
  std::size_t i = 0;
  for (auto _ : state) {
    benchmark::DoNotOptimize(table.FindEntry(names[i].c_str()));
    i = (i + 1) % names.size();
  }
}
BENCHMARK(BM_HashFindMiss);

void BM_HashKey(benchmark::State& state) {
  zvrhash table(1024);
  std::vector<std::string> names = lookupNames("");
  std::size_t i = 0;
  for (auto _ : state) {
    benchmark::DoNotOptimize(table.HashKey(names[i].c_str()));
    i = (i + 1) % names.size();
  }
}
BENCHMARK(BM_HashKey);

void BM_CommandBuild(benchmark::State& state) {
  std::string input(static_cast<std::size_t>(state.range(0)), 'x');
  TsiCommandBuffer command;
  for (auto _ : state) {
    benchmark::DoNotOptimize(
        command.build("'/maps/kInvoice'", input.data(), input.size(), "", nullptr));
    benchmark::ClobberMemory();
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * state.range(0));
}
BENCHMARK(BM_CommandBuild)->Arg(64)->Arg(1 << 10)->Arg(64 << 10)->Arg(1 << 20);

void BM_Memcpy(benchmark::State& state) {
  std::string input(static_cast<std::size_t>(state.range(0)), 'x');
  std::vector<char> to(input.size() + 64);
  for (auto _ : state) {
    std::memcpy(to.data(), input.data(), input.size());
    benchmark::ClobberMemory();
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * state.range(0));
}
BENCHMARK(BM_Memcpy)->Arg(64)->Arg(1 << 10)->Arg(64 << 10)->Arg(1 << 20);

}  // namespace
BENCHMARK_MAIN();
