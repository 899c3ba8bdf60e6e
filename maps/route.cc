// route: passes the request on with a Routing section of one route added at the end of
// its header (a header is made when the request has none). The route's service is the
// option "-service NAME", else $MERC_ROUTE_SERVICE, else "SVC2"; its action is the option
// "-action NAME", else "INSERT".
#include "map_text.h"

#include <cstdlib>

namespace {

std::string _routing(const MapInput* input) {
  const char* env = std::getenv("MERC_ROUTE_SERVICE");
  std::string service = maps::optionValue(input->options, "-service",
                                          env != nullptr && *env ? env : "SVC2");
  std::string action = maps::optionValue(input->options, "-action", "INSERT");
  return "<Routing>\r\n<Route>\r\n<Action>" + action + "</Action>\r\n<Service>" + service +
         "</Service>\r\n</Route>\r\n</Routing>\r\n";
}

}  // namespace

extern "C" int zvrMapRun(const MapInput* input, MapOutput* output) {
  std::string text(maps::inputText(input));
  std::size_t end = maps::headerEnd(text);
  if (end == std::string::npos) {
    text.insert(0, std::string(maps::kHeaderBegin) + _routing(input) +
                       std::string(maps::kHeaderEnd));
  } else {
    text.insert(end, _routing(input));
  }
  if (maps::appendText(output, 1, text) != 0) {
    output->message(output, "route: cannot write output card 1\n");
    return 8;
  }
  return 0;
}
