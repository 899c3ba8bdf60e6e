// qlxadm serve: the web console and /metrics over HTTP (cpp-httplib). Reading is open to
// whoever reaches the address (loopback unless --allow-remote); every action is a POST that
// carries the token this command writes to a 0600 file of the broker home, so a page of
// another site, which can neither read that file nor send the header without the
// browser's cross-origin check, cannot act. The Host header is checked as well, so a name
// rebound to 127.0.0.1 by another site's DNS cannot read the console either.
#include <arpa/inet.h>
#include <httplib.h>
#include <signal.h>
#include <sys/random.h>
#include <unistd.h>

#include <condition_variable>
#include <cstdio>
#include <set>
#include <thread>

#include "admin.h"
#include "brokerstats.h"
#include "console_api.h"
#include "console_page.h"
#include "log.h"
#include "qlxadm.h"
#include "statsview.h"

namespace qlx::adm {
namespace {

constexpr const char* kDefaultHost = "127.0.0.1";
constexpr int kDefaultPort = 8089;
constexpr size_t kMaxRequestBytes = 64 * 1024;

struct ServeOptions {
  std::string host = kDefaultHost;
  int port = kDefaultPort;
  bool allowRemote = false;
};

// Only addresses, not names that merely start like one ("127.example.com" is anywhere).
bool isLoopback(const std::string& host) {
  in_addr v4{};
  in6_addr v6{};
  if (inet_pton(AF_INET, host.c_str(), &v4) == 1) return (ntohl(v4.s_addr) >> 24) == 127;
  if (inet_pton(AF_INET6, host.c_str(), &v6) == 1) return IN6_IS_ADDR_LOOPBACK(&v6);
  return host == "localhost";
}

// ADDR:PORT, ADDR an IPv4 address or name, or [IPv6]:PORT; PORT 0 picks a free one.
bool parseListen(const std::string& text, ServeOptions& options) {
  const size_t colon = text.rfind(':');
  if (colon == std::string::npos || colon == 0) return false;
  std::string host = text.substr(0, colon);
  if (host.front() == '[') {
    if (host.size() < 3 || host.back() != ']') return false;
    host = host.substr(1, host.size() - 2);
  }
  long long port = 0;
  if (!parseNumber(text.substr(colon + 1), port) || port < 0 || port > 65535) return false;
  options.host = host;
  options.port = static_cast<int>(port);
  return true;
}

int parseServe(const Args& args, ServeOptions& options) {
  for (size_t i = 0; i < args.size(); ++i) {
    if (args[i] == "--allow-remote") {
      options.allowRemote = true;
    } else if (args[i] == "--listen" && i + 1 < args.size()) {
      if (!parseListen(args[++i], options))
        return complain(2, "serve: --listen takes ADDR:PORT, e.g. 127.0.0.1:8089");
    } else {
      return complain(2, "serve takes [--listen ADDR:PORT] [--allow-remote] (see qlxadm --help)");
    }
  }
  if (!isLoopback(options.host) && !options.allowRemote)
    return complain(2, "serve: " + options.host +
                           " is not a loopback address: give --allow-remote to serve the "
                           "console to other hosts");
  return 0;
}

std::string tokenPath() { return homePath() + "/console-token"; }

// A fresh random token, written to its 0600 file in the home. Empty with `error` set.
std::string writeToken(std::string& error) {
  unsigned char bytes[16];
  if (getrandom(bytes, sizeof bytes, 0) != static_cast<ssize_t>(sizeof bytes))
    return (error = "serve: no random bytes for the token"), std::string();
  const std::string token = hexText(std::string(reinterpret_cast<char*>(bytes), sizeof bytes));
  if (!makeHome(homePath(), error)) return std::string();
  const int fd = openPrivate(tokenPath(), O_WRONLY | O_TRUNC);
  const std::string line = token + "\n";
  const bool written = fd >= 0 && write(fd, line.data(), line.size()) == static_cast<ssize_t>(line.size());
  if (fd >= 0) close(fd);
  if (!written) return (error = "serve: cannot write " + tokenPath()), std::string();
  return token;
}

bool sameText(const std::string& a, const std::string& b) {
  if (a.size() != b.size()) return false;
  unsigned char diff = 0;
  for (size_t i = 0; i < a.size(); ++i) diff |= static_cast<unsigned char>(a[i] ^ b[i]);
  return diff == 0;
}

void reply(httplib::Response& res, int status, const std::string& body, const char* type) {
  res.status = status;
  res.set_content(body, type);
}

void replyJson(httplib::Response& res, bool ok, const std::string& json, const std::string& error) {
  if (ok)
    reply(res, 200, json, "application/json");
  else
    reply(res, 500, "{\"error\":" + jsonQuote(error) + "}", "application/json");
}

void routeReaders(httplib::Server& server, RateHistory& rates) {
  server.Get("/", [](const httplib::Request&, httplib::Response& res) {
    reply(res, 200, kConsoleHtml, "text/html; charset=utf-8");
  });
  server.Get("/console.js", [](const httplib::Request&, httplib::Response& res) {
    reply(res, 200, kConsoleJs, "text/javascript; charset=utf-8");
  });
  server.Get("/console.css", [](const httplib::Request&, httplib::Response& res) {
    reply(res, 200, kConsoleCss, "text/css; charset=utf-8");
  });
  server.Get("/metrics", [](const httplib::Request&, httplib::Response& res) {
    BrokerStats stats;
    std::string error;
    std::unique_ptr<BrokerStore> store = openBroker(error);
    if (store && collectStats(*store, stats, error))
      reply(res, 200, statsPrometheus(stats), "text/plain; version=0.0.4; charset=utf-8");
    else
      reply(res, 500, "# broker not readable: " + error + "\nqlx_up 0\n", "text/plain; version=0.0.4");
  });
  server.Get("/api/stats", [](const httplib::Request&, httplib::Response& res) {
    BrokerStats stats;
    std::string error;
    std::unique_ptr<BrokerStore> store = openBroker(error);
    const bool ok = store && collectStats(*store, stats, error);
    replyJson(res, ok, ok ? statsJson(stats) : "", error);
  });
  server.Get("/api/rates", [&rates](const httplib::Request&, httplib::Response& res) {
    reply(res, 200, rates.json(), "application/json");
  });
  server.Get("/api/errors", [](const httplib::Request&, httplib::Response& res) {
    std::string json, error;
    const bool ok = errorsJson(json, error);
    replyJson(res, ok, json, error);
  });
  server.Get("/api/log", [](const httplib::Request&, httplib::Response& res) {
    reply(res, 200, logJson(200), "application/json");
  });
  server.Get("/api/directory", [](const httplib::Request&, httplib::Response& res) {
    std::string json, error;
    const bool ok = directoryJson(json, error);
    replyJson(res, ok, json, error);
  });
}

void routeActions(httplib::Server& server, const std::string& token) {
  for (const char* action : {"resubmit", "purge"}) {
    const std::string path = std::string("/api/") + action;
    const bool purge = std::string(action) == "purge";
    server.Get(path, [](const httplib::Request&, httplib::Response& res) {
      reply(res, 405, "{\"error\":\"actions are POST requests\"}", "application/json");
    });
    server.Post(path, [token, purge](const httplib::Request& req, httplib::Response& res) {
      if (!sameText(req.get_header_value("X-Qlx-Token"), token))
        return reply(res, 403, "{\"error\":\"the action token is missing or wrong\"}",
                     "application/json");
      std::string error;
      const std::string element = req.get_param_value("element");
      const int64_t done = errorAction(purge, element, req.get_param_value("id"), error);
      if (done < 0) return reply(res, 409, "{\"error\":" + jsonQuote(error) + "}", "application/json");
      appendLog(kInfo, "qlxadm", std::string(purge ? "console purged " : "console resubmitted ") +
                                     std::to_string(done) + " entr" + (done == 1 ? "y" : "ies") +
                                     " of the error queue of " + element);
      reply(res, 200, "{\"done\":" + std::to_string(done) + "}", "application/json");
    });
  }
}

// Refuses requests whose Host names neither the listen address nor the loopback, unless
// the console serves other hosts.
void guard(httplib::Server& server, const ServeOptions& options, int port) {
  const std::string p = ":" + std::to_string(port);
  const std::set<std::string> hosts = {options.host + p, "[" + options.host + "]" + p,
                                       "localhost" + p, "127.0.0.1" + p, "[::1]" + p};
  server.set_pre_routing_handler([hosts, options](const httplib::Request& req,
                                                  httplib::Response& res) {
    if (options.allowRemote || hosts.count(req.get_header_value("Host")))
      return httplib::Server::HandlerResponse::Unhandled;
    reply(res, 421, "unknown Host\n", "text/plain");
    return httplib::Server::HandlerResponse::Handled;
  });
  server.set_default_headers({{"Content-Security-Policy",
                               "default-src 'none'; script-src 'self'; style-src 'self'; "
                               "connect-src 'self'; img-src 'self'; frame-ancestors 'none'"},
                              {"X-Content-Type-Options", "nosniff"},
                              {"Referrer-Policy", "no-referrer"},
                              {"Cache-Control", "no-store"}});
  server.set_payload_max_length(kMaxRequestBytes);
}

// Ends the server on SIGINT or SIGTERM (blocked in every thread, taken by sigwait here).
void stopOnSignal(httplib::Server& server, sigset_t signals) {
  int signal = 0;
  sigwait(&signals, &signal);
  server.stop();
}

// Samples the counters for the rate charts every few seconds until stopped.
class Sampler {
 public:
  explicit Sampler(RateHistory& rates) : thread_([this, &rates] { _run(rates); }) {}
  ~Sampler() {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      done_ = true;
    }
    wake_.notify_all();
    thread_.join();
  }
  Sampler(const Sampler&) = delete;
  Sampler& operator=(const Sampler&) = delete;

 private:
  void _run(RateHistory& rates) {
    std::unique_lock<std::mutex> lock(mutex_);
    do rates.sample();
    while (!wake_.wait_for(lock, std::chrono::seconds(RateHistory::kIntervalSeconds),
                           [this] { return done_; }));
  }

  std::mutex mutex_;
  std::condition_variable wake_;
  bool done_ = false;
  std::thread thread_;  // last: starts once the members it uses are made
};

// Says where the console is, on standard output and in the broker log (a warning when
// other hosts may reach it). The address as a URL's host:port.
std::string announce(const ServeOptions& options, int port) {
  const bool v6 = options.host.find(':') != std::string::npos;
  const std::string where = (v6 ? "[" + options.host + "]" : options.host) + ":" + std::to_string(port);
  const bool local = isLoopback(options.host);
  appendLog(local ? kInfo : kWarning, "qlxadm",
            "console and /metrics served on http://" + where +
                (local ? "" : " to other hosts (--allow-remote)") + "; actions need the token in " +
                tokenPath());
  std::printf("qlxadm serve: console on http://%s/ (actions need the token in %s)\n",
              where.c_str(), tokenPath().c_str());
  std::fflush(stdout);
  return where;
}

}  // namespace

int serve(const Args& args) {
  ServeOptions options;
  if (int status = parseServe(args, options)) return status;
  sigset_t signals;
  sigemptyset(&signals);
  sigaddset(&signals, SIGINT);
  sigaddset(&signals, SIGTERM);
  pthread_sigmask(SIG_BLOCK, &signals, nullptr);  // before any thread starts
  std::string error;
  if (!openExisting(error)) return complain(1, "serve: " + error);
  const std::string token = writeToken(error);
  if (token.empty()) return complain(1, error);
  httplib::Server server;
  RateHistory rates;
  const int port = options.port == 0 ? server.bind_to_any_port(options.host)
                                     : (server.bind_to_port(options.host, options.port) ? options.port : -1);
  if (port <= 0) {
    unlink(tokenPath().c_str());
    return complain(1, "serve: cannot listen on " + options.host + ":" + std::to_string(options.port));
  }
  guard(server, options, port);
  routeReaders(server, rates);
  routeActions(server, token);
  const std::string where = announce(options, port);
  {
    Sampler sampler(rates);
    std::thread(stopOnSignal, std::ref(server), signals).detach();
    server.listen_after_bind();
  }
  unlink(tokenPath().c_str());
  appendLog(kInfo, "qlxadm", "console on http://" + where + " stopped");
  return 0;
}

}  // namespace qlx::adm
