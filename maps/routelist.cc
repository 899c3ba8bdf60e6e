// routelist: passes the request on with a Routing section built from its own body, so that
// one map can give any list of route entries. Every body line of the form
// "route:ACTION:SERVICE" becomes one entry, in body order (either part may be empty: a
// line "route::" is an entry with neither). An empty part is left out of the entry, as a
// map that knows no value would write it. A body without such lines passes unchanged.
// The section goes at the end of the header (a header is made when the request has none).
#include "map_text.h"

namespace {

constexpr std::string_view kRouteLine = "route:";

std::string _entry(std::string_view line) {
  line.remove_prefix(kRouteLine.size());
  const std::size_t colon = line.find(':');
  std::string_view action = line.substr(0, colon);
  std::string_view service = colon == std::string_view::npos ? "" : line.substr(colon + 1);
  std::string entry = "<Route>\r\n";
  if (!action.empty()) entry += "<Action>" + std::string(action) + "</Action>\r\n";
  if (!service.empty()) entry += "<Service>" + std::string(service) + "</Service>\r\n";
  return entry + "</Route>\r\n";
}

// The Routing section for the route lines of `body`, or empty when it has none.
std::string _routing(std::string_view body) {
  std::string entries;
  while (!body.empty()) {
    std::size_t end = body.find('\n');
    std::string_view line = body.substr(0, end);
    if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
    if (line.substr(0, kRouteLine.size()) == kRouteLine) entries += _entry(line);
    body = end == std::string_view::npos ? std::string_view() : body.substr(end + 1);
  }
  return entries.empty() ? entries : "<Routing>\r\n" + entries + "</Routing>\r\n";
}

}  // namespace

extern "C" int zvrMapRun(const MapInput* input, MapOutput* output) {
  std::string text(maps::inputText(input));
  const std::string routing = _routing(std::string_view(text).substr(maps::bodyStart(text)));
  if (!routing.empty()) {
    std::size_t end = maps::headerEnd(text);
    if (end == std::string::npos)
      text.insert(0, std::string(maps::kHeaderBegin) + routing + std::string(maps::kHeaderEnd));
    else
      text.insert(end, routing);
  }
  if (maps::appendText(output, 1, text) != 0) {
    output->message(output, "routelist: cannot write output card 1\n");
    return 8;
  }
  return 0;
}
