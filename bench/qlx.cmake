# The embedded broker: get + put + commit cycles of 1 KiB messages, one and two processes,
# competing consumers and a deep queue, QLX_SYNC=FULL and NORMAL, each also as a
# ratio to the disk's fdatasync rate measured in the same run, beside a plain hand-written
# queue on the same store (SQLite; with QLX_BROKER set, PostgreSQL through libpq).
if(TARGET qlx)
  find_package(SQLite3 REQUIRED)
  find_package(PkgConfig REQUIRED)
  pkg_check_modules(LIBPQ REQUIRED IMPORTED_TARGET libpq)
  zvr_add_bench(qlx_bench ${CMAKE_CURRENT_LIST_DIR}/qlx_bench.cc
                ${CMAKE_CURRENT_LIST_DIR}/plain_sqlite_queue.cc
                ${CMAKE_CURRENT_LIST_DIR}/plain_pg_queue.cc
                LIBS qlx SQLite::SQLite3 PkgConfig::LIBPQ)
endif()
