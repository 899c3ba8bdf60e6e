// The message descriptor (QLXMSG) and its buffer fields: the small operations every
// session-layer class shares, so that the defaults, the 132-character name rules and the
// buffer-ownership rule live in one place.
//
// Ownership: a buffer field with Owned 1 describes data the middleware allocated; it is
// released only through qlxFreeBuffer, and only here (zvrReleaseBuffer). A field with
// Owned 0 points at bytes of the program's own, which its holder frees.
#ifndef ZVR_DESCRIPTOR_H
#define ZVR_DESCRIPTOR_H

#include <cstdint>

#include "qlx.h"

enum { kFormatNameArea = kQlxFormatNameLength + 1 };

// Overwrites the whole descriptor with the default image ("BXMD", version 2, -2 defaults,
// BackoutCount -1). Buffers it described are not released.
void zvrInitDescriptor(QLXMSG& msg);
// Copies every byte; the copy shares its source's buffers (ownership words included).
void zvrCopyDescriptor(QLXMSG& to, const QLXMSG& from);

// Stores at most 132 characters of `name` (null counts as empty), pads with NUL, and
// sets Format to -1.
void zvrSetFormatName(QLXMSG& msg, const char* name);
// Copies at most 132 characters of the (possibly unterminated) field into `out` and
// terminates it.
void zvrGetFormatName(const QLXMSG& msg, char (&out)[kFormatNameArea]);

// Starts a response to `request`: the default image, then the request's MsgType,
// Priority, Persistence, Feedback, Expiry, CodePage, Encoding, MsgId, CorrelId, Status and
// FormatName (at most 132 characters; Format -1). Buffers are left empty.
void zvrStartResponse(QLXMSG& msg, const QLXMSG& request);

// Copies exactly 24 bytes from `from` (borrowed).
void zvrSetId(QLXMSGID& to, const void* from);

// Releases a middleware-owned buffer (Owned 1) through qlxFreeBuffer with `handle` (0
// where the holder has none) and clears the field, even when the middleware refuses, so
// that nothing is released twice. A buffer of the program's own (Owned 0) is left alone.
void zvrReleaseBuffer(QLXHANDLE handle, QLXBUFFER& buffer);

// Releases what `buffer` described (as above), then points it at `data` (borrowed: it
// must outlive the descriptor; not copied) with Owned 0 and Length `size`, and sets
// `length` (MsgLength or TagLength) to `size`.
void zvrAttachBuffer(QLXHANDLE handle, QLXBUFFER& buffer, uint32_t& length, const void* data,
                     uint32_t size);

// Stores at most 132 characters of `name` (null counts as empty) and pads with NUL.
void zvrCopyName(char (&to)[kQlxNameLength], const char* name);

#endif  // ZVR_DESCRIPTOR_H
