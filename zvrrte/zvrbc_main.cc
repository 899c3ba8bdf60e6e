// zvrbc: the broker component. Transforms each request of its business element and sends
// every output card on along the request's workflow or where the map's routing says.
#include <new>

#include "tsibc.h"
#include "version.h"

int main(int argc, char** argv) {
  if (zvrVersionAsked(argc, argv)) return zvrPrintVersion("zvrbc", __DATE__, __TIME__);
  TsiBC* service = new (std::nothrow) TsiBC(argc, argv, "Quor Broker Component");
  if (service == nullptr) return 1;
  const int status = service->run();
  delete service;
  return status;
}
