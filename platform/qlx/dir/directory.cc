// The directory interface of a connection: asks its store's lookup for one entry per get()
// and reports a failed read to the control block's exception handler.
#include "directory.h"

#include <string_view>

#include "trc.h"

namespace qlx {
namespace {

static trc::Module kTrace{"qlxdir"};

const char* entryKind(int type) {
  switch (type) {
    case qlxEntryBusinessComponent:
      return "business component";
    case qlxEntryClient:
      return "client";
    case qlxEntryDictionary:
      return "dictionary record";
    default:
      return "entry";
  }
}

bool classMatches(int type, qlxDirEntry& entry) {
  switch (type) {
    case qlxEntryBusinessComponent:
      return dynamic_cast<qlxBusinessComponent*>(&entry) != nullptr;
    case qlxEntryClient:
      return dynamic_cast<qlxClient*>(&entry) != nullptr;
    case qlxEntryDictionary:
      return dynamic_cast<qlxDictionary*>(&entry) != nullptr;
    default:
      return false;
  }
}

// Keeps a name quoted in a reason text short: the middleware's error detail holds 208
// bytes of text.
std::string shortName(std::string_view name) {
  constexpr size_t kRoom = 120;
  if (name.size() <= kRoom) return std::string(name);
  return std::string(name.substr(0, kRoom)) + "...";
}

class LookupDirectory final : public qlxDirInterface {
 public:
  explicit LookupDirectory(DirectoryLookup lookup) : lookup_(std::move(lookup)) {}
  int get(QLXXCTL* ctl, const char* name, qlxEntryType type, qlxDirEntry& entry,
          void* reserved) override;

 private:
  void _raise(QLXXCTL* ctl, int reason, long subReason, int type, const char* name);

  DirectoryLookup lookup_;
  std::string reasonText_;  // handed to the exception handler; valid until the next get
};

int LookupDirectory::get(QLXXCTL* ctl, const char* name, qlxEntryType type, qlxDirEntry& entry,
                         void*) {
  trc::Scope trace(kTrace);
  const int t = static_cast<int>(type);
  if (!classMatches(t, entry)) {
    entry.fill(0, std::string(), {}, {});
    reasonText_ =
        "directory get of type " + std::to_string(t) + " with an entry object of another type";
    _raise(ctl, kDirReasonBadRequest, t, t, name);
    return trace.result(0);
  }
  DirectoryRead read;
  const int found = name ? lookup_(t, name, read) : 0;
  if (found > 0) {
    entry.fill(t, name, std::move(read.first), std::move(read.second));
    return trace.result(1);
  }
  // A failed read leaves nothing of an earlier record behind for later questions.
  entry.fill(0, std::string(), {}, {});
  if (found == 0) {
    reasonText_ = std::string("no ") + entryKind(t) + " named " + shortName(name ? name : "") +
                  " in the directory";
    _raise(ctl, kDirReasonNotFound, t, t, name);
  } else {
    reasonText_ = std::string("directory read failed: ") + shortName(read.failure);
    _raise(ctl, kDirReasonReadFailed, read.code, t, name);
  }
  return trace.result(0);
}

void LookupDirectory::_raise(QLXXCTL* ctl, int reason, long subReason, int type, const char* name) {
  if (ctl == nullptr || ctl->Services == nullptr || ctl->Services->ExceptionHandler == nullptr)
    return;
  // The handler may read the name: hand it an empty one rather than a null address.
  static const char kNoName[] = "";
  const char* shownName = name ? name : kNoName;
  auto word = [](const void* p) { return reinterpret_cast<unsigned long>(p); };
  ctl->Services->ExceptionHandler(
      static_cast<unsigned long>(reason), static_cast<unsigned long>(subReason),
      static_cast<unsigned long>(type), word(shownName), word(reasonText_.c_str()), 0,
      static_cast<unsigned long>(kQlxCallDirectory), word(ctl), 0, 0);
}

}  // namespace

std::unique_ptr<qlxDirInterface> makeDirectory(DirectoryLookup lookup) {
  return std::make_unique<LookupDirectory>(std::move(lookup));
}

}  // namespace qlx
