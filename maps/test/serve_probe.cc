// serve_probe: shows the engine's tests what a run of an executable map finds and lets
// them end a run in every way a map can. Each option word is one step, done in order;
// the word "steps" takes the input's words as further steps there, so that runs with
// the same options (one process) may do different things:
//   echo        appends the input to card 1
//   pid         appends "pid=<process id>"
//   count       appends "call=<n>", n counting this process's runs (a global)
//   env         appends what the environment and argv give the map
//   folder      appends "folder=[<names in the card folder, sorted>]"
//   litter      fills the card folder: card2, a stray file and a subfolder
//   big=N       appends N bytes to card 1
//   sleep=MS    sleeps
//   hangup      closes its standard output and error and the serving channel (fd 3)
//   exit=N      prints "partial" to standard output and calls exit(N)
//   signal=N    writes "dying" as its message and raises signal N
//   rc=N        the run's return code (default 0)
// Lines end in "\n". Built for the tests only; not a sample map.
#include "../map_text.h"

#include <dirent.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <sstream>
#include <string>
#include <vector>

namespace {

int gCalls = 0;

std::string _folderListing() {
  const char* dir = std::getenv("MERC_CARD_DIR");
  std::vector<std::string> names;
  if (DIR* folder = dir != nullptr ? opendir(dir) : nullptr) {
    while (const dirent* entry = readdir(folder)) {
      const std::string name = entry->d_name;
      if (name != "." && name != "..") names.push_back(name);
    }
    closedir(folder);
  }
  std::sort(names.begin(), names.end());
  std::string listing;
  for (const std::string& name : names) listing += (listing.empty() ? "" : " ") + name;
  return "folder=[" + listing + "]\n";
}

std::string _environment(const MapInput* input) {
  const char* dir = std::getenv("MERC_CARD_DIR");
  const char* options = std::getenv("MERC_OPTIONS");
  const char* serve = std::getenv(kZvrMapServeVariable);
  return std::string("argv0=") + input->mapPath + " dir=" + (dir != nullptr ? dir : "(none)") +
         " options=" + (options != nullptr ? options : "(none)") +
         " serve=" + (serve != nullptr ? serve : "(none)") + "\n";
}

void _litter() {
  const std::string dir = std::getenv("MERC_CARD_DIR");
  if (FILE* card2 = std::fopen((dir + "/card2").c_str(), "w")) {
    std::fputs("litter", card2);
    std::fclose(card2);
  }
  if (FILE* stray = std::fopen((dir + "/notes").c_str(), "w")) std::fclose(stray);
  mkdir((dir + "/sub").c_str(), 0700);
  if (FILE* deep = std::fopen((dir + "/sub/deep").c_str(), "w")) std::fclose(deep);
}

// The number after "name=" in `word`, or -1 when the word is another step.
long _value(const std::string& word, const std::string& name) {
  if (word.compare(0, name.size() + 1, name + "=") != 0) return -1;
  return std::strtol(word.c_str() + name.size() + 1, nullptr, 10);
}

// Does the steps in `text`; the run's return code is left in `code`.
void _steps(const std::string& text, bool withInput, const MapInput* input, MapOutput* output,
            int& code) {
  std::istringstream words(text);
  std::string word;
  while (words >> word) {
    if (word == "steps" && withInput) _steps(std::string(maps::inputText(input)), false, input,
                                             output, code);
    if (word == "echo") maps::appendText(output, 1, maps::inputText(input));
    if (word == "pid") maps::appendText(output, 1, "pid=" + std::to_string(getpid()) + "\n");
    if (word == "count") maps::appendText(output, 1, "call=" + std::to_string(gCalls) + "\n");
    if (word == "env") maps::appendText(output, 1, _environment(input));
    if (word == "folder") maps::appendText(output, 1, _folderListing());
    if (word == "litter") _litter();
    if (long n = _value(word, "big"); n >= 0) {
      maps::appendText(output, 1, std::string(static_cast<std::size_t>(n), 'b'));
    }
    if (word == "hangup")
      for (int fd : {STDOUT_FILENO, STDERR_FILENO, 3}) close(fd);
    if (long ms = _value(word, "sleep"); ms >= 0) usleep(static_cast<useconds_t>(ms) * 1000);
    if (long status = _value(word, "exit"); status >= 0) {
      std::printf("partial\n");
      std::exit(static_cast<int>(status));
    }
    if (long sig = _value(word, "signal"); sig >= 0) {
      output->message(output, "dying\n");
      raise(static_cast<int>(sig));
    }
    if (long rc = _value(word, "rc"); rc >= 0) code = static_cast<int>(rc);
  }
}

}  // namespace

extern "C" int zvrMapRun(const MapInput* input, MapOutput* output) {
  ++gCalls;
  int code = 0;
  _steps(input->options, true, input, output, code);
  return code;
}
