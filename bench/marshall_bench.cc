// Marshalling speed: writing the tagged text, reading it back into a response, and taking
// frames off an engine output, for bodies of 64 B to 1 MiB. Each sits beside a memcpy of
// the same bytes, the floor any of them can reach.
#include <benchmark/benchmark.h>
#include <stdlib.h>

#include <cstring>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "erroradt.h"
#include "marshall.h"
#include "quorrequest.h"
#include "zvrroute.h"

namespace {

// A request with a body of `size` bytes, kept alive with its body.
struct BenchRequest {
  explicit BenchRequest(size_t size) : body(size, 'b') {
    QLXMSG msg = kQlxMsgDefault;
    std::memcpy(msg.MsgId, "bench-message-id-24bytes", 24);
    std::strcpy(msg.FormatName, "ORDERS");
    msg.MsgLength = static_cast<uint32_t>(size);
    msg.MsgBuffer = {0, msg.MsgLength, body.data()};
    request = std::make_unique<QuorRequest>(0, &msg, 1, kQlxGetOptDefault);
  }
  std::string body;
  std::unique_ptr<QuorRequest> request;
};

void setBytes(benchmark::State& state) {
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * state.range(0));
}

void BM_Memcpy(benchmark::State& state) {
  std::vector<char> from(state.range(0), 'b');
  std::vector<char> to(state.range(0));
  for (auto _ : state) {
    std::memcpy(to.data(), from.data(), from.size());
    benchmark::DoNotOptimize(to.data());
    benchmark::ClobberMemory();
  }
  setBytes(state);
}

void BM_Marshal(benchmark::State& state) {
  BenchRequest bench(state.range(0));
  for (auto _ : state) {
    TsiMarshall marshall(*bench.request, 1);
    benchmark::DoNotOptimize(marshall.buffer());
  }
  setBytes(state);
}

void BM_ReadBack(benchmark::State& state) {
  BenchRequest bench(state.range(0));
  TsiMarshall marshall(*bench.request, 1);
  ZvrRouteList routes;
  for (auto _ : state) {
    void* piece = marshall.buffer();
    unsigned long length = marshall.length();
    std::unique_ptr<QuorResponse> response(marshall.createResponse(piece, length, &routes));
    if (!response) state.SkipWithError("read back failed");
    benchmark::DoNotOptimize(response.get());
  }
  setBytes(state);
}

// Four frames of a quarter of the size each, as the broker component walks them.
void BM_FrameSplit(benchmark::State& state) {
  BenchRequest bench(0);
  TsiMarshall marshall(*bench.request, 1);
  size_t card = state.range(0) / 4;
  std::string output;
  for (int i = 0; i < 4; ++i) output += std::to_string(card) + " " + std::string(card, 'o');
  for (auto _ : state) {
    char* text = output.data();
    char* end = text + output.size();
    while (text != end) {
      void* frame = text;
      unsigned long length = end - text;
      unsigned error = 0;
      unsigned long taken = marshall.splitMultiBuffer(frame, length, error);
      if (error) state.SkipWithError("frame error");
      benchmark::DoNotOptimize(frame);
      text += taken + length;
    }
  }
  setBytes(state);
}

// The per-request round trip of the tagged text: marshal the request, take the frame off
// the engine's output and read it back into a response. The output is what an identity map
// returns for this request, made once: copying the text into it is the engine's work, not
// this path's (BM_RoundTripWithEngineCopy counts that copy too).
void BM_RoundTrip(benchmark::State& state) {
  BenchRequest bench(state.range(0));
  std::string output;
  {
    TsiMarshall marshall(*bench.request, 1);
    output = std::to_string(marshall.length()) + " ";
    output.append(static_cast<const char*>(marshall.buffer()), marshall.length());
  }
  for (auto _ : state) {
    TsiMarshall marshall(*bench.request, 1);
    benchmark::DoNotOptimize(marshall.buffer());
    void* frame = output.data();
    unsigned long length = output.size();
    unsigned error = 0;
    marshall.splitMultiBuffer(frame, length, error);
    std::unique_ptr<QuorResponse> response(marshall.createResponse(frame, length, nullptr));
    if (!response) state.SkipWithError("round trip failed");
    benchmark::DoNotOptimize(response.get());
  }
  setBytes(state);
}

// As BM_RoundTrip, with the engine's copy of the text into its output area in the loop.
void BM_RoundTripWithEngineCopy(benchmark::State& state) {
  BenchRequest bench(state.range(0));
  std::string output;  // the engine's output area, reused as an engine would
  output.reserve(state.range(0) + 1024);
  for (auto _ : state) {
    TsiMarshall marshall(*bench.request, 1);
    output.assign(std::to_string(marshall.length()) + " ");
    output.append(static_cast<const char*>(marshall.buffer()), marshall.length());
    void* frame = output.data();
    unsigned long length = output.size();
    unsigned error = 0;
    marshall.splitMultiBuffer(frame, length, error);
    std::unique_ptr<QuorResponse> response(marshall.createResponse(frame, length, nullptr));
    if (!response) state.SkipWithError("round trip failed");
    benchmark::DoNotOptimize(response.get());
  }
  setBytes(state);
}

void bodySizes(benchmark::internal::Benchmark* bench) {
  for (int64_t size : {64, 1 << 10, 64 << 10, 1 << 20}) bench->Arg(size);
}
BENCHMARK(BM_Memcpy)->Apply(bodySizes);
BENCHMARK(BM_Marshal)->Apply(bodySizes);
BENCHMARK(BM_ReadBack)->Apply(bodySizes);
BENCHMARK(BM_FrameSplit)->Apply(bodySizes);
BENCHMARK(BM_RoundTrip)->Apply(bodySizes);
BENCHMARK(BM_RoundTripWithEngineCopy)->Apply(bodySizes);

}  // namespace

int main(int argc, char** argv) {
  // A broker home of its own: the requests' theme queries touch nothing shared.
  std::string home = "/tmp/zvr-bench-XXXXXX";
  if (mkdtemp(home.data()) != nullptr) setenv("QLX_HOME", home.c_str(), 1);
  benchmark::Initialize(&argc, argv);
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  std::error_code ignored;
  std::filesystem::remove_all(home, ignored);
  return 0;
}
