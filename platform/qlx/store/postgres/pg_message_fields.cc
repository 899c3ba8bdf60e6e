// The message row's packed fields on the PostgreSQL store.
#include "pg_message_fields.h"

#include <cstdint>

namespace qlx::pg {
namespace {

void put32(std::string& out, uint32_t value) {
  for (int shift = 24; shift >= 0; shift -= 8)
    out.push_back(static_cast<char>((value >> shift) & 0xFF));
}

// The 4-byte integer at `at`; the caller has checked that it is there.
uint32_t load32(std::string_view bytes, size_t at) {
  uint32_t value = 0;
  for (size_t i = 0; i < 4; ++i) value = (value << 8) | static_cast<unsigned char>(bytes[at + i]);
  return value;
}

}  // namespace

std::string packDescriptor(const MessageRow& row) {
  std::string out;
  out.reserve(kDescriptorBytes);
  for (int32_t field : {row.msgType, row.priority, row.persistence, row.format, row.feedback,
                        row.expiry, row.codePage, row.encoding})
    put32(out, static_cast<uint32_t>(field));
  put32(out, static_cast<uint32_t>(row.putMillis));
  put32(out, static_cast<uint32_t>(row.theme.position));
  return out;
}

bool unpackDescriptor(std::string_view bytes, MessageRow& row) {
  if (bytes.size() != kDescriptorBytes) return false;
  int32_t* fields[] = {&row.msgType, &row.priority, &row.persistence, &row.format,
                       &row.feedback, &row.expiry,  &row.codePage,    &row.encoding};
  size_t at = 0;
  for (int32_t* field : fields) *field = static_cast<int32_t>(load32(bytes, at)), at += 4;
  row.putMillis = static_cast<int32_t>(load32(bytes, at));
  row.theme.position = static_cast<int32_t>(load32(bytes, at + 4));
  return true;
}

std::string packError(const ErrorInfo& error) {
  std::string out;
  out.reserve(kErrorHeadBytes + error.text.size() + error.reporter.size());
  put32(out, static_cast<uint32_t>(error.reason));
  put32(out, static_cast<uint32_t>(error.subReason));
  put32(out, static_cast<uint32_t>(error.callType));
  put32(out, error.defaultActions);
  put32(out, error.performedActions);
  put32(out, static_cast<uint32_t>(error.text.size()));
  return out.append(error.text).append(error.reporter);
}

bool unpackError(std::string_view bytes, ErrorInfo& error) {
  if (bytes.size() < kErrorHeadBytes) return false;
  const size_t length = load32(bytes, 20);
  if (length > bytes.size() - kErrorHeadBytes) return false;
  error.reason = static_cast<int32_t>(load32(bytes, 0));
  error.subReason = static_cast<int32_t>(load32(bytes, 4));
  error.callType = static_cast<int32_t>(load32(bytes, 8));
  error.defaultActions = load32(bytes, 12);
  error.performedActions = load32(bytes, 16);
  error.text.assign(bytes.substr(kErrorHeadBytes, length));
  error.reporter.assign(bytes.substr(kErrorHeadBytes + length));
  return true;
}

}  // namespace qlx::pg
