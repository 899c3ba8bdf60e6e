// Finding a map file and telling a shared-object map from an executable one.
#include "merc_engine.h"
#include "merc_map.h"

#include <elf.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <map>
#include <mutex>

namespace merc {
namespace {

#if UINTPTR_MAX == 0xFFFFFFFFu
using ElfHeader = Elf32_Ehdr;
using ElfProgramHeader = Elf32_Phdr;
using ElfSectionHeader = Elf32_Shdr;
constexpr unsigned char kElfClass = ELFCLASS32;
#else
using ElfHeader = Elf64_Ehdr;
using ElfProgramHeader = Elf64_Phdr;
using ElfSectionHeader = Elf64_Shdr;
constexpr unsigned char kElfClass = ELFCLASS64;
#endif

// The most program headers read; real objects have about a dozen.
constexpr unsigned kMaxProgramHeaders = 256;
// The most section headers read; a static map has about forty, one with debugging
// information some more.
constexpr unsigned kMaxSectionHeaders = 4096;

int64_t _nanos(const timespec& t) {
  return static_cast<int64_t>(t.tv_sec) * 1000000000 + t.tv_nsec;
}

// A regular file at `path`, with its identity.
bool _regularFile(const std::string& path, FileIdentity& identity) {
  struct stat st;
  if (stat(path.c_str(), &st) != 0 || !S_ISREG(st.st_mode)) return false;
  identity.device = st.st_dev;
  identity.inode = st.st_ino;
  identity.size = st.st_size;
  identity.modifiedNs = _nanos(st.st_mtim);
  identity.changedNs = _nanos(st.st_ctim);
  identity.mode = st.st_mode;
  return true;
}

// The place as given, then with ".so" appended.
bool _tryPlace(const std::string& place, MapFile& file) {
  for (const std::string& candidate : {place, place + ".so"}) {
    if (_regularFile(candidate, file.identity)) {
      file.path = candidate;
      return true;
    }
  }
  return false;
}

std::vector<std::string> _searchFolders() {
  const char* env = std::getenv("MERC_MAP_PATH");
  std::string list = env != nullptr ? env : ".";
  std::vector<std::string> folders;
  std::size_t start = 0;
  while (true) {
    std::size_t end = list.find(':', start);
    std::string folder = list.substr(start, end == std::string::npos ? end : end - start);
    folders.push_back(folder.empty() ? "." : folder);
    if (end == std::string::npos) break;
    start = end + 1;
  }
  return folders;
}

// Reads exactly `size` bytes at `offset`; false when the file is shorter.
bool _readAt(int fd, void* to, std::size_t size, off_t offset) {
  return pread(fd, to, size, offset) == static_cast<ssize_t>(size);
}

bool _hasInterpreter(int fd, const ElfHeader& header) {
  for (unsigned i = 0; i < header.e_phnum; ++i) {
    ElfProgramHeader ph;
    off_t at = static_cast<off_t>(header.e_phoff) + static_cast<off_t>(i) * header.e_phentsize;
    if (!_readAt(fd, &ph, sizeof ph, at)) return true;  // unreadable: not loadable either
    if (ph.p_type == PT_INTERP) return true;
  }
  return false;
}

bool _elfHeader(int fd, ElfHeader& header) {
  return _readAt(fd, &header, sizeof header, 0) &&
         std::memcmp(header.e_ident, ELFMAG, SELFMAG) == 0 &&
         header.e_ident[EI_CLASS] == kElfClass;
}

// True when the section at `index` is named `name` (NUL-terminated, `size` bytes with the
// NUL) in the section name table `names`: one bounded read of the name's bytes.
bool _sectionNamed(int fd, const ElfSectionHeader& names, const ElfSectionHeader& section,
                   const char* name, std::size_t size) {
  if (section.sh_name >= names.sh_size || names.sh_size - section.sh_name < size) return false;
  char found[64];
  if (size > sizeof found) return false;
  const off_t at = static_cast<off_t>(names.sh_offset + section.sh_name);
  return _readAt(fd, found, size, at) && std::memcmp(found, name, size) == 0;
}

bool _hasSection(int fd, const ElfHeader& header, const char* name, std::size_t size) {
  if (header.e_shoff == 0 || header.e_shentsize != sizeof(ElfSectionHeader) ||
      header.e_shnum == 0 || header.e_shnum > kMaxSectionHeaders ||
      header.e_shstrndx >= header.e_shnum) {
    return false;
  }
  auto sectionAt = [&](unsigned index, ElfSectionHeader& section) {
    const off_t at = static_cast<off_t>(header.e_shoff) +
                     static_cast<off_t>(index) * static_cast<off_t>(sizeof section);
    return _readAt(fd, &section, sizeof section, at);
  };
  ElfSectionHeader names;
  if (!sectionAt(header.e_shstrndx, names) || names.sh_type != SHT_STRTAB) return false;
  for (unsigned i = 1; i < header.e_shnum; ++i) {
    ElfSectionHeader section;
    if (!sectionAt(i, section)) return false;
    if (_sectionNamed(fd, names, section, name, size)) return true;
  }
  return false;
}

}  // namespace

int mercFindMap(const std::string& name, MapFile& file, std::string& error) {
  if (name.find('/') != std::string::npos) {
    if (_tryPlace(name, file)) return 1;
    error = "map file \"" + name + "\" not found (nor \"" + name + ".so\")";
    return 0;
  }
  std::string looked;
  for (const std::string& folder : _searchFolders()) {
    if (_tryPlace(folder + "/" + name, file)) return 1;
    looked += (looked.empty() ? "" : ":") + folder;
  }
  error = "map \"" + name + "\" not found in MERC_MAP_PATH \"" + looked + "\"";
  return 0;
}

int mercFindMap(const std::string& name, std::string& path, std::string& error) {
  MapFile file;
  if (!mercFindMap(name, file, error)) return 0;
  path = file.path;
  return 1;
}

int mercFileIdentity(const std::string& path, FileIdentity& identity) {
  return _regularFile(path, identity) ? 1 : 0;
}

bool mercIsSharedMap(const MapFile& file) {
  struct Known {
    FileIdentity identity;
    bool shared;
  };
  static std::mutex mutex;
  static std::map<std::string, Known> known;
  std::lock_guard<std::mutex> hold(mutex);
  auto found = known.find(file.path);
  if (found != known.end() && found->second.identity == file.identity) {
    return found->second.shared;
  }
  // A folder of maps holds a handful of files: the table stays small without eviction,
  // and a changed file replaces its own entry.
  const bool shared = mercIsSharedObject(file.path);
  known[file.path] = Known{file.identity, shared};
  return shared;
}

bool mercIsServedMap(const MapFile& file) {
  struct Known {
    FileIdentity identity;
    bool served;
  };
  static std::mutex mutex;
  static std::map<std::string, Known> known;
  std::lock_guard<std::mutex> hold(mutex);
  auto found = known.find(file.path);
  if (found != known.end() && found->second.identity == file.identity) {
    return found->second.served;
  }
  const bool served = mercHasServeMark(file.path);
  known[file.path] = Known{file.identity, served};
  return served;
}

bool mercHasServeMark(const std::string& path) {
  int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return false;
  ElfHeader header;
  // A shared object is told apart before this is asked: ET_DYN here is a PIE.
  const bool marked = _elfHeader(fd, header) &&
                      (header.e_type == ET_EXEC || header.e_type == ET_DYN) &&
                      _hasSection(fd, header, kZvrMapServeSection, sizeof kZvrMapServeSection);
  close(fd);
  return marked;
}

bool mercIsSharedObject(const std::string& path) {
  int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return false;
  ElfHeader header;
  bool shared = _elfHeader(fd, header) && header.e_type == ET_DYN &&
                header.e_phentsize == sizeof(ElfProgramHeader) &&
                header.e_phnum <= kMaxProgramHeaders && !_hasInterpreter(fd, header);
  close(fd);
  return shared;
}

}  // namespace merc
