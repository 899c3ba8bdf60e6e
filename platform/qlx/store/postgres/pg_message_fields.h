// The message row's packed fields on the PostgreSQL store. The descriptor's integers and
// the error-queue fields are never searched by the server, only carried: each travels as
// one bytea column, so that an insert binds and a take returns 15 columns instead of 30
// (the server spends per column on both), and an error text of any bytes is kept as it
// came (a text column refuses bytes that are not valid in the database's encoding).
//
// Layout, every integer 4 bytes big-endian (the server's upgrade of older rows in
// pg_schema.h writes the same bytes):
//   descriptor  msg_type, priority, persistence, format, feedback, expiry, code_page,
//               encoding, put_ms, position (40 bytes)
//   error       reason, sub_reason, call_type, default_actions, performed_actions, the
//               length of the text, the text, the reporter (the rest); NULL: no error
#ifndef QLX_PG_MESSAGE_FIELDS_H
#define QLX_PG_MESSAGE_FIELDS_H

#include <cstddef>
#include <string>
#include <string_view>

#include "queue.h"

namespace qlx::pg {

inline constexpr size_t kDescriptorBytes = 40;
inline constexpr size_t kErrorHeadBytes = 24;  // five integers and the text's length

std::string packDescriptor(const MessageRow& row);
// Fills the descriptor fields of `row`. False, with `row` unchanged, unless `bytes` holds
// exactly kDescriptorBytes.
bool unpackDescriptor(std::string_view bytes, MessageRow& row);

std::string packError(const ErrorInfo& error);
// False, with `error` unchanged, when `bytes` is shorter than its head or its text's
// length runs past its end.
bool unpackError(std::string_view bytes, ErrorInfo& error);

}  // namespace qlx::pg

#endif  // QLX_PG_MESSAGE_FIELDS_H
