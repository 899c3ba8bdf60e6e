// qlxadm stats, health and serve from outside: exit statuses and texts for monitoring, the
// Prometheus text of /metrics, and the console's guards (POST, token, Host) and escaping.
// On both stores (the pg.* rows): the counts of the processes that worked on the broker
// (on PostgreSQL each written by its process at exit) reach stats and /metrics alike.
#include <httplib.h>
#include <sys/stat.h>

#include "qlx_console_util.h"

namespace {

using namespace qlxtest;

bool has(const std::string& text, const std::string& part) {
  return text.find(part) != std::string::npos;
}

TEST_F(Console, HealthAndStatsAnswerAsMonitoringExpects) {
  Outcome healthy = qlxadm({"health"});
  EXPECT_EQ(healthy.status, 0) << healthy.out;
  EXPECT_TRUE(has(healthy.out, "healthy: ")) << healthy.out;
  ASSERT_EQ(qlxadm({"send", "ECHO", "--as", "C1", "first"}).status, 0);
  const Case cases[] = {
      {{"health"}, 1, "unhealthy: element E has 1 request(s) waiting and no live server\n"},
      {{"health", "--max-age"}, 2, "health takes --max-age SECONDS"},
      {{"health", "--max-age", "-1"}, 2, "health takes --max-age SECONDS"},
      {{"stats", "--yaml"}, 2, "stats takes --json"},
      {{"serve", "--listen", "0.0.0.0:8089"}, 2, "0.0.0.0 is not a loopback address"},
      {{"serve", "--listen", "127.example.com:8089"}, 2, "127.example.com is not a loopback"},
      {{"serve", "--listen", "127.0.0.1"}, 2, "--listen takes ADDR:PORT"},
      {{"serve", "--listen", "127.0.0.1:70000"}, 2, "--listen takes ADDR:PORT"},
  };
  // A home without a broker database is no broker on the embedded store only: on
  // PostgreSQL the home keeps the log alone.
  const Case missingHomes[] = {
      {{"--home", "/dev/null/home", "health"}, 1, "unhealthy: broker not reachable: no broker at"},
      {{"--home", "/tmp/qlx-no-such-home", "stats"}, 1, "no broker at /tmp/qlx-no-such-home"},
      {{"--home", "/tmp/qlx-no-such-home", "serve"}, 1, "serve: no broker at /tmp/qlx-no-such-home"},
  };
  std::vector<Case> all(std::begin(cases), std::end(cases));
  if (!zvr::testing::onPostgres())
    all.insert(all.end(), std::begin(missingHomes), std::end(missingHomes));
  for (const Case& c : all) {
    Outcome run = qlxadm(c.args);
    EXPECT_EQ(run.status, c.status) << c.args.back();
    EXPECT_TRUE(has(run.out + run.err, c.says)) << run.out << run.err;
  }
  EXPECT_NE(access("/tmp/qlx-no-such-home", F_OK), 0) << "a reading command made a home";
  Outcome table = qlxadm({"stats"});
  EXPECT_TRUE(has(table.out, "element:E")) << table.out;
  Outcome json = qlxadm({"stats", "--json"});
  EXPECT_EQ(json.status, 0);
  EXPECT_TRUE(has(json.out, "{\"queue\":\"element:E\",\"depth\":1,\"in_flight\":0,")) << json.out;
  EXPECT_TRUE(has(json.out, "\"put\":1,\"got\":0,")) << json.out;
  EXPECT_TRUE(has(json.out, "{\"element\":\"E\",\"servers\":0,\"since\":0}")) << json.out;
  EXPECT_TRUE(has(json.out, "\"counters_note\":\"\"")) << json.out;
}

TEST_F(Console, MetricsFollowTheExpositionFormat) {
  ChildProcess echo = start({"echo", "E", "--count", "1"}, "echo");
  Outcome sent = qlxadm({"send", "ECHO", "--as", "C1", "--wait", "20000", "one"});
  ASSERT_EQ(sent.status, 0) << sent.err;
  EXPECT_EQ(echo.wait(10000), 0);
  const int port = serve();
  ASSERT_NE(port, 0);
  httplib::Client http("127.0.0.1", port);
  auto res = http.Get("/metrics");
  ASSERT_TRUE(res);
  EXPECT_EQ(res->status, 200);
  EXPECT_TRUE(has(res->get_header_value("Content-Type"), "text/plain; version=0.0.4"));
  const std::string& text = res->body;
  for (const char* line : {
           "qlx_counters_kept 1\n",
           "qlx_queue_put_messages_total{queue=\"element:E\",element=\"E\"} 1\n",
           "qlx_queue_got_messages_total{queue=\"element:E\",element=\"E\"} 1\n",
           "qlx_units_committed_total{queue=\"element:E\",element=\"E\"} 1\n",
           "qlx_processing_seconds_bucket{queue=\"element:E\",element=\"E\",le=\"+Inf\"} 1\n",
           "qlx_processing_seconds_count{queue=\"element:E\",element=\"E\"} 1\n",
           "qlx_queue_depth_messages{queue=\"client:C1\"} 0\n",
           "qlx_element_servers{element=\"E\"} 0\n",
           "# TYPE qlx_processing_seconds histogram\n"})
    EXPECT_TRUE(has(text, line)) << line << "\n" << text;
  if (zvr::testing::onPostgres()) {
    EXPECT_NE(access(file("metrics").c_str(), F_OK), 0) << "the SQLite counter file was made";
  }
  const std::regex sample(R"(qlx_[a-z_]+(\{([a-z]+="[^"\\]*",?)+\})? [0-9.e+-]+)");
  std::istringstream lines(text);
  std::string line;
  while (std::getline(lines, line))
    if (line.rfind("# ", 0) != 0) {
      EXPECT_TRUE(std::regex_match(line, sample)) << line;
    }
}

TEST_F(Console, ActionsNeedAPostWithTheTokenFromThePrivateFile) {
  ASSERT_EQ(qlxadm({"send", "ECHO", "--as", "C1", "order 7"}).status, 0);
  failOneAtE("no map for format ORDERS");
  const int port = serve();
  ASSERT_NE(port, 0);
  struct stat info {};
  ASSERT_EQ(stat(file("console-token").c_str(), &info), 0);
  EXPECT_EQ(info.st_mode & 0777, 0600u);
  const std::string token = actionToken();
  ASSERT_EQ(token.size(), 32u);
  httplib::Client http("127.0.0.1", port);
  const httplib::Params form{{"element", "E"}, {"id", "all"}};
  const struct {
    const char* what;
    httplib::Result result;
    int status;
  } refused[] = {
      {"GET", http.Get("/api/resubmit?element=E&id=all"), 405},
      {"no token", http.Post("/api/resubmit", form), 403},
      {"wrong token", http.Post("/api/resubmit", httplib::Headers{{"X-Qlx-Token", std::string(32, '0')}}, form), 403},
      {"foreign Host", http.Post("/api/resubmit",
                                  httplib::Headers{{"X-Qlx-Token", token}, {"Host", "evil.example:80"}},
                                  form), 421},
      {"bad id", http.Post("/api/resubmit", httplib::Headers{{"X-Qlx-Token", token}},
                            httplib::Params{{"element", "E"}, {"id", "x"}}), 409},
  };
  for (const auto& r : refused) {
    ASSERT_TRUE(r.result) << r.what;
    EXPECT_EQ(r.result->status, r.status) << r.what << ": " << r.result->body;
  }
  EXPECT_TRUE(has(qlxadm({"errors", "E"}).out, "error:E entry ")) << "an action was done";
  auto done = http.Post("/api/resubmit", httplib::Headers{{"X-Qlx-Token", token}}, form);
  ASSERT_TRUE(done);
  EXPECT_EQ(done->status, 200) << done->body;
  EXPECT_EQ(done->body, "{\"done\":1}");
  EXPECT_TRUE(has(qlxadm({"errors", "E"}).out, "no entries")) << "not resubmitted";
  EXPECT_TRUE(has(qlxadm({"browse", "E"}).out, "1 message(s)"));
  EXPECT_TRUE(has(qlxadm({"stats", "--json"}).out, "\"queue\":\"element:E\",\"depth\":1,"));
  EXPECT_TRUE(has(http.Get("/metrics")->body,
                  "qlx_queue_put_messages_total{queue=\"element:E\",element=\"E\"} 2\n"))
      << "a resubmitted request counts as a put";
  EXPECT_TRUE(has(logText(), "console resubmitted 1 entry of the error queue of E")) << logText();
}

TEST_F(Console, BodiesTextsAndLogLinesReachThePageOnlyEscaped) {
  ASSERT_EQ(qlxadm({"send", "ECHO", "--as", "C1", "<script>alert(1)</script>\"\\&"}).status, 0);
  failOneAtE("<img src=x onerror=alert(2)>");
  const int port = serve();
  ASSERT_NE(port, 0);
  httplib::Client http("127.0.0.1", port);
  for (const char* path : {"/api/errors", "/api/log", "/api/stats", "/api/directory"}) {
    auto res = http.Get(path);
    ASSERT_TRUE(res) << path;
    EXPECT_EQ(res->status, 200) << path;
    EXPECT_EQ(res->body.find_first_of("<>&"), std::string::npos) << path << ": " << res->body;
  }
  const std::string errors = http.Get("/api/errors")->body;
  EXPECT_TRUE(has(errors, R"("body":"\u003cscript\u003ealert(1)\u003c/script\u003e\"\\\u0026")"))
      << errors;
  EXPECT_TRUE(has(errors, R"("text":"\u003cimg src=x onerror=alert(2)\u003e")")) << errors;
  auto page = http.Get("/");
  ASSERT_TRUE(page);
  EXPECT_TRUE(has(page->get_header_value("Content-Security-Policy"), "script-src 'self'"));
}

TEST_F(Console, ServingOtherHostsTakesAnOptionAndIsLoggedAsAWarning) {
  const int port = serve("0.0.0.0", {"--allow-remote"});
  ASSERT_NE(port, 0);
  httplib::Client http("127.0.0.1", port);
  auto res = http.Get("/api/stats", httplib::Headers{{"Host", "broker.example:8089"}});
  ASSERT_TRUE(res);
  EXPECT_EQ(res->status, 200);
  EXPECT_EQ(server_.stop(SIGTERM, 10000), 0) << server_.standardError();
  serving_ = false;
  EXPECT_TRUE(has(logText(), "WARNING console and /metrics served on http://0.0.0.0:" +
                                 std::to_string(port) + " to other hosts (--allow-remote)"))
      << logText();
  EXPECT_NE(access(file("console-token").c_str(), F_OK), 0) << "the token outlived the server";
}


}  // namespace
