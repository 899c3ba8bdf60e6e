// The nesting scan of TOML text: strings and comments are skipped the way the reader
// reads them, so that no nesting can hide from the scan inside what looks like a string.
#include "toml_nesting.h"

#include <vector>

namespace qlx {
namespace {

class NestingScanner {
 public:
  NestingScanner(std::string_view text, size_t limit) : text_(text), limit_(limit) {}
  TomlNesting run();

 private:
  bool _at(size_t i, char c) const { return i < text_.size() && text_[i] == c; }
  void _advance();
  bool _reach(size_t depth);
  void _skipComment();
  void _skipString(char quote);
  void _skipMultiLine(char quote);
  bool _header();
  bool _code(char c);

  const std::string_view text_;
  const size_t limit_;
  size_t pos_ = 0;
  size_t line_ = 1;
  size_t lineBegin_ = 0;
  // The depth each open '[' or '{' of a value starts from; the first is that of the
  // current table header.
  std::vector<size_t> levels_{0};
  size_t dots_ = 0;     // dots of the key (or number) read since the last separator
  bool fresh_ = true;   // nothing but blanks yet on this line, outside any value
  TomlNesting result_;
};

void NestingScanner::_advance() {
  if (text_[pos_] == '\n') {
    ++line_;
    lineBegin_ = pos_ + 1;
  }
  ++pos_;
}

bool NestingScanner::_reach(size_t depth) {
  if (depth > result_.depth) result_.depth = depth;
  if (depth <= limit_) return true;
  result_.line = line_;
  result_.column = pos_ - lineBegin_ + 1;
  return false;
}

void NestingScanner::_skipComment() {
  while (pos_ < text_.size() && text_[pos_] != '\n') _advance();
}

// A single-line string ends at its closing quote or, malformed, at the end of the line.
void NestingScanner::_skipString(char quote) {
  if (_at(pos_ + 1, quote) && _at(pos_ + 2, quote)) return _skipMultiLine(quote);
  _advance();
  while (pos_ < text_.size() && text_[pos_] != '\n') {
    const char c = text_[pos_];
    _advance();
    if (c == quote) return;
    if (quote == '"' && c == '\\' && pos_ < text_.size() && text_[pos_] != '\n') _advance();
  }
}

// A multi-line string ends at a run of three or more quotes: up to two quotes before the
// closing three belong to the string.
void NestingScanner::_skipMultiLine(char quote) {
  for (int i = 0; i < 3; ++i) _advance();
  while (pos_ < text_.size()) {
    const char c = text_[pos_];
    if (quote == '"' && c == '\\') {
      _advance();
      if (pos_ < text_.size()) _advance();
      continue;
    }
    if (c != quote) {
      _advance();
      continue;
    }
    size_t run = 0;
    for (; _at(pos_, quote); ++run) _advance();
    if (run >= 3) return;
  }
}

// "[a.b]" or "[[a.b]]": one level per part, and one more for an array of tables.
bool NestingScanner::_header() {
  size_t depth = 1;
  _advance();
  if (_at(pos_, '[')) {
    ++depth;
    _advance();
  }
  while (pos_ < text_.size() && text_[pos_] != ']' && text_[pos_] != '\n') {
    const char c = text_[pos_];
    if (c == '"' || c == '\'') {
      _skipString(c);
      continue;
    }
    if (c == '.' && !_reach(++depth)) return false;
    _advance();
  }
  if (!_reach(depth)) return false;
  while (_at(pos_, ']')) _advance();
  levels_.assign(1, depth);
  dots_ = 0;
  fresh_ = false;
  return true;
}

// One character of keys and values outside strings and comments.
bool NestingScanner::_code(char c) {
  fresh_ = false;
  if (c == '[' || c == '{') {
    const size_t depth = levels_.back() + dots_ + 1;
    if (!_reach(depth)) return false;
    levels_.push_back(depth);
    dots_ = 0;
  } else if (c == ']' || c == '}') {
    if (levels_.size() > 1) levels_.pop_back();
    dots_ = 0;
  } else if (c == ',') {
    dots_ = 0;
  } else if (c == '.') {
    if (!_reach(levels_.back() + ++dots_ + 1)) return false;
  }
  _advance();
  return true;
}

TomlNesting NestingScanner::run() {
  while (pos_ < text_.size()) {
    const char c = text_[pos_];
    if (c == '#') {
      _skipComment();
    } else if (c == '"' || c == '\'') {
      fresh_ = false;
      _skipString(c);
    } else if (c == '\n') {
      if (levels_.size() == 1) {
        dots_ = 0;
        fresh_ = true;
      }
      _advance();
    } else if (c == ' ' || c == '\t' || c == '\r') {
      _advance();
    } else if (c == '[' && fresh_ && levels_.size() == 1) {
      if (!_header()) break;
    } else if (!_code(c)) {
      break;
    }
  }
  return result_;
}

}  // namespace

TomlNesting scanTomlNesting(std::string_view text, size_t limit) {
  return NestingScanner(text, limit).run();
}

}  // namespace qlx
