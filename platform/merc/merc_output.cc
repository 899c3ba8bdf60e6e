// Assembling the engine's output from a map's cards, and the run's message.
#include "merc_engine.h"

#include <merc.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>

namespace merc {
namespace {

// The bytes the output will take (computed in 64 bits, so it cannot wrap).
std::uint64_t _outputSize(const MapResult& result, const OutputCards& wanted) {
  std::uint64_t total = 0;
  if (!wanted.framed) {
    return wanted.firstCard <= result.cards.size() ? result.cards[wanted.firstCard - 1].size() : 0;
  }
  for (std::size_t i = wanted.firstCard - 1; i < result.cards.size(); ++i) {
    total += std::to_string(result.cards[i].size()).size() + 1 + result.cards[i].size();
  }
  return total;
}

}  // namespace

int mercBuildOutput(const MapResult& result, const OutputCards& wanted, void*& out,
                    uint32_t& length, std::string& error) {
  std::uint64_t total = _outputSize(result, wanted);
  // dwFromLen is 32 bits; one byte stays free for the terminating NUL added below.
  if (total >= UINT32_MAX) {
    error = "output of " + std::to_string(total) + " bytes is too large (4 GiB or more)";
    return 0;
  }
  // One byte more than needed so that an empty output is still a real allocation.
  char* buffer = static_cast<char*>(std::malloc(static_cast<std::size_t>(total) + 1));
  if (buffer == nullptr) {
    error = "no memory for an output of " + std::to_string(total) + " bytes";
    return 0;
  }
  char* at = buffer;
  if (!wanted.framed) {
    if (total != 0) std::memcpy(at, result.cards[wanted.firstCard - 1].data(), total);
  } else {
    for (std::size_t i = wanted.firstCard - 1; i < result.cards.size(); ++i) {
      std::string prefix = std::to_string(result.cards[i].size()) + ' ';
      std::memcpy(at, prefix.data(), prefix.size());
      at += prefix.size();
      if (!result.cards[i].empty()) std::memcpy(at, result.cards[i].data(), result.cards[i].size());
      at += result.cards[i].size();
    }
  }
  buffer[total] = '\0';
  out = buffer;
  length = static_cast<uint32_t>(total);
  return 1;
}

void mercSetErrmsg(ExitParams& params, const std::string& text) {
  std::size_t n = std::min(text.size(), sizeof params.Errmsg - 1);
  while (n > 0 && (text[n - 1] == '\n' || text[n - 1] == '\r')) --n;
  std::memset(params.Errmsg, 0, sizeof params.Errmsg);
  std::memcpy(params.Errmsg, text.data(), n);
}

}  // namespace merc
