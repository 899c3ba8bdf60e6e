#include "text.h"

#include <cstdio>
#include <cstring>

#include "trc.h"

static trc::Module kTrace{"zvrutil"};

int zvrNewText(const std::string& s, char*& out) {
  trc::Scope trace(kTrace);
  out = new char[s.size() + 1];
  std::memcpy(out, s.data(), s.size());
  out[s.size()] = '\0';
  return trace.result(static_cast<int>(s.size()));
}

std::string zvrFormatV(const char* format, va_list args) {
  trc::Scope trace(kTrace);
  va_list again;
  va_copy(again, args);
  char small[256];
  int needed = std::vsnprintf(small, sizeof small, format, args);
  std::string text;
  // A negative count means a malformed format: the text stays empty.
  if (needed >= 0 && static_cast<size_t>(needed) < sizeof small) {
    text.assign(small, static_cast<size_t>(needed));
  } else if (needed >= 0) {
    text.resize(static_cast<size_t>(needed));
    std::vsnprintf(text.data(), text.size() + 1, format, again);
  }
  va_end(again);
  return text;
}

std::string zvrFormat(const char* format, ...) {
  trc::Scope trace(kTrace);
  va_list args;
  va_start(args, format);
  std::string text = zvrFormatV(format, args);
  va_end(args);
  return text;
}
