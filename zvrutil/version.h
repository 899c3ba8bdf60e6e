// The --version answer of the programs. Each program refuses an argument it does not know
// with its usage text; `--version` is taken only as the sole argument, before that parsing,
// so that no other command line changes meaning. The version comes from the build (ZVR_VERSION); the build date and time are
// those of the program's main file, as in its banner.
#ifndef ZVR_VERSION_H
#define ZVR_VERSION_H

#include <cstdio>
#include <cstring>

#ifndef ZVR_VERSION
#define ZVR_VERSION "unknown"
#endif

// True when the command line is exactly `program --version`.
inline bool zvrVersionAsked(int argc, const char* const* argv) {
  return argc == 2 && std::strcmp(argv[1], "--version") == 0;
}

// Writes "NAME VERSION (build DATE TIME)" and a newline to standard output; returns the
// exit status 0, or 1 when standard output could not take it.
inline int zvrPrintVersion(const char* name, const char* date, const char* time) {
  std::printf("%s %s (build %s %s)\n", name, ZVR_VERSION, date, time);
  return std::fflush(stdout) == 0 && !std::ferror(stdout) ? 0 : 1;
}

#endif  // ZVR_VERSION_H
