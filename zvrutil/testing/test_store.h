// Which store a test's broker runs on. The same test binaries run on both: ctest registers
// a suite a second time (names prefixed "pg.") with QLX_TEST_STORE=postgres, on the
// throwaway cluster that scripts/pg.sh started (postgresClusterDir). There each test
// gets a schema of its own in the cluster's database (search_path in the broker address),
// so the store makes its tables afresh and tests run side by side without seeing each
// other's queues; the schema is dropped when the test ends. Without QLX_TEST_STORE (or
// with "sqlite") the embedded store of the home runs, whatever QLX_BROKER the shell has.
#ifndef ZVR_TESTING_TEST_STORE_H
#define ZVR_TESTING_TEST_STORE_H

#include <gtest/gtest.h>
#include <stdio.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cstdlib>
#include <fstream>
#include <string>

namespace zvr::testing {

// True when this run's tests use the PostgreSQL store.
inline bool onPostgres() {
  const char* store = std::getenv("QLX_TEST_STORE");
  return store != nullptr && std::string(store) == "postgres";
}

// The folder of the run's cluster: QLX_TEST_PG_DIR, else pg-suites in the build folder
// (ZVR_BUILD_DIR), where the ctest fixture pg_suites starts it; empty when neither is set.
inline std::string postgresClusterDir() {
  const char* dir = std::getenv("QLX_TEST_PG_DIR");
  if (dir != nullptr && *dir != '\0') return dir;
  const char* build = std::getenv("ZVR_BUILD_DIR");
  if (build != nullptr && *build != '\0') return std::string(build) + "/pg-suites";
  return "";
}

// The cluster's broker address (QLX_BROKER of its env file), or empty with `why` saying
// why there is none: not run through ctest, no cluster started, or none could be started
// (pg.sh start-for-tests left the reason in DIR/unavailable).
inline std::string postgresClusterAddress(std::string& why) {
  const std::string dir = postgresClusterDir();
  if (dir.empty()) {
    why = "no PostgreSQL cluster: run through ctest (fixture pg_suites starts one with "
          "scripts/pg.sh) or set QLX_TEST_PG_DIR";
    return "";
  }
  std::ifstream env(dir + "/env");
  for (std::string line; std::getline(env, line);)
    if (line.rfind("QLX_BROKER=", 0) == 0) return line.substr(11);
  std::ifstream reason(dir + "/unavailable");
  if (!std::getline(reason, why)) {
    why = "no PostgreSQL cluster in " + dir + ": run through ctest (fixture pg_suites) or "
          "start one there with scripts/pg.sh start " + dir;
    return "";
  }
  why = "no PostgreSQL cluster could be started: " + why;
  return "";
}

// `address` with a libpq parameter added: after '?' or '&' as the address already has.
inline std::string withParameter(const std::string& address, const std::string& parameter) {
  return address + (address.find('?') == std::string::npos ? "?" : "&") + parameter;
}

// A schema of its own for one test on the cluster; dropped by its destructor. Statements go
// through psql (part of every PostgreSQL installation) so that the helpers stay
// header-only and the test binaries need no libpq.
class PostgresSchema {
 public:
  PostgresSchema() = default;
  PostgresSchema(const PostgresSchema&) = delete;
  PostgresSchema& operator=(const PostgresSchema&) = delete;
  ~PostgresSchema() { drop(); }

  // Makes the schema. 1 when the cluster is there and the schema made; 0 with `why` set
  // otherwise, and `skip` true when that is because this run has no cluster (the test is
  // then skipped, not failed).
  bool make(std::string& why, bool& skip) {
    cluster_ = postgresClusterAddress(why);
    skip = cluster_.empty();
    if (skip) return false;
    static std::atomic<int> count{0};
    name_ = "t" + std::to_string(getpid()) + "_" + std::to_string(++count);
    if (!run("CREATE SCHEMA " + name_, why)) {
      name_.clear();
      why = "cannot make a schema for the test: " + why;
      return false;
    }
    return true;
  }

  // The broker address whose tables are this schema's.
  std::string address() const {
    return withParameter(cluster_, "options=-csearch_path%3D" + name_);
  }

  // Drops the schema. A process the test left behind may still hold a lock on one of its
  // tables: the drop then gives up after a while and the schema stays, harmless on a
  // cluster that is thrown away.
  void drop() {
    if (name_.empty()) return;
    std::string ignored;
    run("SET lock_timeout = '5s'; DROP SCHEMA " + name_ + " CASCADE", ignored);
    name_.clear();
  }

 private:
  // Runs `sql` on the cluster as the broker's role; its output goes to `output`.
  bool run(const std::string& sql, std::string& output) const {
    const std::string command = "psql '" + cluster_ + "' -qAtX -v ON_ERROR_STOP=1 -c \"" +
                                sql + "\" 2>&1 </dev/null";
    FILE* pipe = popen(command.c_str(), "r");
    if (pipe == nullptr) return output = "cannot start psql", false;
    output.clear();
    char chunk[1024];
    size_t n;
    while ((n = fread(chunk, 1, sizeof chunk, pipe)) > 0)
      if (output.size() < 65536) output.append(chunk, n);
    const int status = pclose(pipe);
    if (WIFEXITED(status) && WEXITSTATUS(status) == 0) return true;
    if (WIFEXITED(status) && WEXITSTATUS(status) == 127) output = "psql is not installed";
    return false;
  }

  std::string cluster_;
  std::string name_;
};

// Points the broker of the calling test at the store this run tests: under
// QLX_TEST_STORE=postgres QLX_BROKER names `schema` (borrowed; the test drops it), made
// afresh on the run's cluster; otherwise QLX_BROKER is unset, so that the embedded store of
// QLX_HOME runs. Without a cluster the test is skipped with the reason; a schema that
// cannot be made fails it. Called from SetUp, which then returns when IsSkipped() or
// HasFatalFailure().
inline void useTestBroker(PostgresSchema& schema) {
  unsetenv("QLX_BROKER");
  if (!onPostgres()) return;
  std::string why;
  bool skip = false;
  if (!schema.make(why, skip)) {
    if (skip) GTEST_SKIP() << why;
    FAIL() << why;
  }
  setenv("QLX_BROKER", schema.address().c_str(), 1);
}

}  // namespace zvr::testing

#endif  // ZVR_TESTING_TEST_STORE_H
