// Heap texts handed across the system's display interfaces.
//
// Every display(char*&) and dump operation hands its caller a text allocated with new[],
// which the caller frees with delete[]. Building the text happens in a std::string;
// zvrNewText is the one place that copies it out, so the allocation rule lives here only.
#ifndef ZVR_TEXT_H
#define ZVR_TEXT_H

#include <cstdarg>
#include <string>

// Copies `s` into a new terminated char[] stored in `out`; the caller frees it with
// delete[]. Returns the length of `s` (embedded NUL bytes are copied as they stand).
int zvrNewText(const std::string& s, char*& out);

// printf into a std::string (no length limit).
std::string zvrFormat(const char* format, ...) __attribute__((format(printf, 1, 2)));
std::string zvrFormatV(const char* format, va_list args);

#endif  // ZVR_TEXT_H
