// The directory entry objects of qlxdir.h: what a get() fills and what the system asks of
// a dictionary record, a business component or a client.
#include <cstring>

#include "qlxdir.h"

namespace {

// A format list holding "*" accepts every format; any other entry matches exactly.
int acceptsFormat(const std::vector<std::string>& formats, const char* formatName) {
  if (formatName == nullptr) return 0;
  for (const std::string& format : formats) {
    if (format == "*" || format == formatName) return 1;
  }
  return 0;
}

}  // namespace

qlxDirEntry::~qlxDirEntry() = default;

void qlxDirEntry::fill(int type, const std::string& name, std::vector<std::string> names,
                       std::vector<std::string> values) {
  type_ = type;
  name_ = name;
  names_ = std::move(names);
  values_ = std::move(values);
}

qlxDictionary::~qlxDictionary() = default;

const char* qlxDictionary::getEntryValue(const char* name) const {
  if (name == nullptr) return nullptr;
  const size_t count = std::min(names_.size(), values_.size());
  for (size_t i = 0; i < count; ++i) {
    if (names_[i] == name) return values_[i].c_str();
  }
  return nullptr;
}

int qlxDictionary::numEntries() const {
  return static_cast<int>(std::min(names_.size(), values_.size()));
}

int qlxDictionary::getAllEntries(char*** names, char*** values) {
  // Rebuilt on every call: a fill since the last call has replaced the texts the old
  // arrays pointed at. Each array ends with a null after the last pair, so that a reader
  // walking to a null stops in time.
  const int count = numEntries();
  namePtrs_.clear();
  valuePtrs_.clear();
  for (int i = 0; i < count; ++i) {
    namePtrs_.push_back(names_[static_cast<size_t>(i)].data());
    valuePtrs_.push_back(values_[static_cast<size_t>(i)].data());
  }
  namePtrs_.push_back(nullptr);
  valuePtrs_.push_back(nullptr);
  if (names != nullptr) *names = namePtrs_.data();
  if (values != nullptr) *values = valuePtrs_.data();
  return count;
}

qlxBusinessComponent::~qlxBusinessComponent() = default;

int qlxBusinessComponent::isValidMsgType(const char* formatName) const {
  return acceptsFormat(names_, formatName);
}

qlxClient::~qlxClient() = default;

int qlxClient::isValidMsgType(const char* formatName) const {
  return acceptsFormat(names_, formatName);
}

qlxDirInterface::~qlxDirInterface() = default;
