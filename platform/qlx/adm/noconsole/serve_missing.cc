// qlxadm serve in a build without cpp-httplib.
#include "qlxadm.h"

namespace qlx::adm {

int serve(const Args&) {
  return complain(1, "serve: this qlxadm was built without cpp-httplib "
                     "(install libcpp-httplib-dev and build again)");
}

}  // namespace qlx::adm
