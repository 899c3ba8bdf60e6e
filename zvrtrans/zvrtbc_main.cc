// zvrtbc: the transformation component. Transforms each request of its business element
// and sends the result on along the request's workflow.
#include <new>

#include "tsitbc.h"
#include "version.h"

int main(int argc, char** argv) {
  if (zvrVersionAsked(argc, argv)) return zvrPrintVersion("zvrtbc", __DATE__, __TIME__);
  TsiTBC* service = new (std::nothrow) TsiTBC(argc, argv, "Quor Transformation Component");
  if (service == nullptr) return 1;
  const int status = service->run();
  delete service;
  return status;
}
