// Placeholder directory entries until the directory lands.
#include "qlxdir.h"

qlxDirEntry::~qlxDirEntry() = default;
void qlxDirEntry::fill(int type, const std::string& name, std::vector<std::string> names,
                       std::vector<std::string> values) {
  type_ = type;
  name_ = name;
  names_ = std::move(names);
  values_ = std::move(values);
}
qlxDictionary::~qlxDictionary() = default;
const char* qlxDictionary::getEntryValue(const char*) const { return nullptr; }
int qlxDictionary::numEntries() const { return 0; }
int qlxDictionary::getAllEntries(char***, char***) { return 0; }
qlxBusinessComponent::~qlxBusinessComponent() = default;
int qlxBusinessComponent::isValidMsgType(const char*) const { return 0; }
qlxClient::~qlxClient() = default;
int qlxClient::isValidMsgType(const char*) const { return 0; }
qlxDirInterface::~qlxDirInterface() = default;
