// The statements of a unit's cycle on the PostgreSQL store (take, put, removal at commit),
// shared by the store and the tests that watch how the server plans them.
//
// A statement is prepared once per session; the server then plans it afresh at each of its
// first five runs and keeps its generic plan after, unless the generic plan's estimate
// comes out dearer than the fresh ones'. Two shapes made it so for ever, so that a cycle
// cost more server time in planning than in running: a filter that may be off ($2 IS NULL
// OR msg_id = $2), whose generic estimate is one row, so that a scan and sort of the whole
// table look cheaper than the queue's index; and an id list (id = ANY ($1)), estimated at
// ten ids where a run knows it holds one. A cycle's usual case, the first message of a
// queue and one message to remove, therefore has statements of its own without them. A
// generic plan lasts as long as the table's statistics, so a session drops its plans about
// once a second (pg_connection.h): one made on a nearly empty table does not outlast it.
#ifndef QLX_PG_STATEMENTS_H
#define QLX_PG_STATEMENTS_H

namespace qlx::pg {

// The columns a take or a listing returns, in the order the store reads them (the packed
// ones as pg_message_fields.h lays them out).
#define QLX_PG_COLUMNS                                                                    \
  "id, queue, backout, descriptor, msg_id, correl_id, format_name, put_sec, theme_id, "  \
  "origin, service, hops, body, tag, error"
inline constexpr const char* kMessageColumns = QLX_PG_COLUMNS;

// A message row (m) keeps the id of the last transaction that locked, moved or removed it
// (xmax) until the next one does. The id is 32 bits; QLX_PG_XMAX8 widens it with h.n, the
// xmax of the statement's snapshot (QLX_PG_SNAPSHOT_XMAX joined as h), which is one past
// the last transaction that had ended (not past the newest running one): an ended one's
// epoch is the current one unless its id is ahead of the current id. Ids at or past h.n
// (within half the range) are of transactions that were still running at the snapshot
// (QLX_PG_XMAX_RUNNING). Ids older than the row itself (xmin) are not a unit's (a unit
// locks a row after its insert committed): QLX_PG_UNIT_XMAX leaves out the lockers'
// groups (multixacts) that two browsing gets at once leave behind, whose numbers are not
// transaction ids.
#define QLX_PG_SNAPSHOT_XMAX \
  "(SELECT pg_snapshot_xmax(pg_current_snapshot())::text::bigint AS n) h"
#define QLX_PG_XMAX8                                                                      \
  "(CASE WHEN m.xmax::text::bigint <= (h.n & 4294967295) THEN "                           \
  "((h.n >> 32) << 32 | m.xmax::text::bigint)::text::xid8 WHEN h.n >> 32 > 0 THEN "        \
  "(((h.n >> 32) - 1) << 32 | m.xmax::text::bigint)::text::xid8 END)"
#define QLX_PG_XMAX_RUNNING                                                               \
  "((m.xmax::text::bigint - (h.n & 4294967295) + 4294967296) % 4294967296 < 2147483648)"
#define QLX_PG_UNIT_XMAX "m.xmax::text <> '0' AND age(m.xmin) > age(m.xmax)"
// Whether an open unit holds message m: its last locker is still running. Read without a
// lock of its own, so that a listing hides no message from a get and writes nothing to
// the rows it lists (a locking read would have both skipped the rows and stamped each).
#define QLX_PG_HELD                                                                       \
  "coalesce(" QLX_PG_UNIT_XMAX " AND (" QLX_PG_XMAX_RUNNING " OR pg_xact_status("           \
  QLX_PG_XMAX8 ") = 'in progress'), false)"

inline constexpr const char* kInsert =
    "INSERT INTO message (queue, backout, descriptor, msg_id, correl_id, format_name, "
    "put_sec, theme_id, origin, service, hops, body, tag, error) VALUES "
    "($1, $2, $3, $4, $5, $6, $7, $8, $9, $10, $11, $12, $13, $14)";

// The first message of queue $1.
#define QLX_PG_FIRST "FROM message WHERE queue = $1 ORDER BY seq, id LIMIT 1"
// The first message of queue $1 that matches, skipping what this unit already took ($5).
#define QLX_PG_MATCH                                                                      \
  "FROM message WHERE queue = $1 AND ($2::bytea IS NULL OR msg_id = $2) AND "            \
  "($3::bytea IS NULL OR correl_id = $3) AND ($4::bytea IS NULL OR theme_id = $4) AND "  \
  "NOT (id = ANY ($5::bigint[])) ORDER BY seq, id LIMIT 1"

// A claimed take: the row stays locked by the unit; others' locked rows are skipped.
inline constexpr const char* kClaimFirst =
    "SELECT " QLX_PG_COLUMNS " " QLX_PG_FIRST " FOR UPDATE SKIP LOCKED";
inline constexpr const char* kClaimMatch =
    "SELECT " QLX_PG_COLUMNS " " QLX_PG_MATCH " FOR UPDATE SKIP LOCKED";
// A take without syncpoint removes at once; a browse only reads.
inline constexpr const char* kRemoveFirst =
    "DELETE FROM message WHERE id = (SELECT id " QLX_PG_FIRST
    " FOR UPDATE SKIP LOCKED) RETURNING " QLX_PG_COLUMNS;
inline constexpr const char* kRemoveMatch =
    "DELETE FROM message WHERE id = (SELECT id " QLX_PG_MATCH
    " FOR UPDATE SKIP LOCKED) RETURNING " QLX_PG_COLUMNS;
inline constexpr const char* kBrowseFirst =
    "SELECT " QLX_PG_COLUMNS " " QLX_PG_FIRST " FOR SHARE SKIP LOCKED";
inline constexpr const char* kBrowseMatch =
    "SELECT " QLX_PG_COLUMNS " " QLX_PG_MATCH " FOR SHARE SKIP LOCKED";

// The removal at commit of what a unit got: message $1 alone, or the ids $1 (a bigint[]
// of $2 ids). It divides by zero (SQLSTATE 22012) when a message is no longer there, so
// that the server aborts the transaction before the COMMIT sent with it.
inline constexpr const char* kRemoveGotOne =
    "WITH m AS (DELETE FROM message WHERE id = $1 RETURNING id) "
    "SELECT 1 / count(*)::int FROM m";
inline constexpr const char* kRemoveGot =
    "WITH m AS (DELETE FROM message WHERE id = ANY ($1::bigint[]) RETURNING id) "
    "SELECT 1 / (count(*) = $2)::int FROM m";
#undef QLX_PG_COLUMNS
#undef QLX_PG_FIRST
#undef QLX_PG_MATCH

}  // namespace qlx::pg

#endif  // QLX_PG_STATEMENTS_H
