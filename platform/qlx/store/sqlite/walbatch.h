// One system call per commit for the write-ahead log. SQLite writes each frame of a commit
// to the WAL as two writes (a 24-byte header, then the page), so a unit of work that dirties
// six pages costs twelve writes, each a kernel entry. The broker's database runs on a thin
// VFS that keeps a transaction's contiguous WAL writes in memory and hands them to the file
// in one write when the commit frame is complete, before SQLite publishes the commit in the
// shared index; anything else that touches the WAL (a read, a sync, a truncate, a size
// query, a write elsewhere, close) sends what is kept first. Only the timing of writes
// within one transaction changes: the bytes and the order in which other connections can
// see them are those of the platform's own VFS, which it forwards everything else to.
#ifndef QLX_WALBATCH_H
#define QLX_WALBATCH_H

namespace qlx {

class BusyGate;

// The name of the VFS (registered on first call, for the whole process), or null when
// SQLite has no default VFS to wrap: callers then open with the default.
const char* walBatchVfs();

// The file control (sqlite3_file_control on a connection's "main" database opened on this
// VFS, the argument a BusyGate*) that hands the database file a gate to tell whenever the
// connection lets go of a read mark of the shared index, that is whenever one of its read
// (or write) transactions ends: the gate's released() is called after each such unlock. A
// checkpoint that must wait for the readers of the log sleeps on that gate and is woken
// as a reader ends. The gate is borrowed and must outlive the connection; null hands none.
// SQLITE_OK, or SQLITE_NOTFOUND on a file of another VFS.
inline constexpr int kWalBatchReaderGate = 0x716c7801;

}  // namespace qlx

#endif  // QLX_WALBATCH_H
