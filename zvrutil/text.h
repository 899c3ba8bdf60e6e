// Heap texts handed across the system's display interfaces.
//
// Every display(char*&) and dump operation hands its caller a text allocated with new[],
// which the caller frees with delete[]. Building the text happens in a std::string;
// zvrNewText is the one place that copies it out, so the allocation rule lives here only.
#ifndef ZVR_TEXT_H
#define ZVR_TEXT_H

#include <cstdarg>
#include <memory>
#include <ostream>
#include <string>

// Copies `s` into a new terminated char[] stored in `out`; the caller frees it with
// delete[]. Returns the length of `s` (embedded NUL bytes are copied as they stand).
int zvrNewText(const std::string& s, char*& out);

// Writes the display text of `object` (any class with `int display(char*&) const`) to
// `os` and frees it: the body of each such class's operator<<. The whole text is written,
// embedded NUL bytes included.
template <typename T>
std::ostream& zvrWriteDisplay(std::ostream& os, const T& object) {
  char* text = nullptr;
  const int length = object.display(text);
  const std::unique_ptr<char[]> owned(text);
  if (text != nullptr && length > 0) os.write(text, length);
  return os;
}

// printf into a std::string (no length limit).
std::string zvrFormat(const char* format, ...) __attribute__((format(printf, 1, 2)));
std::string zvrFormatV(const char* format, va_list args);

#endif  // ZVR_TEXT_H
