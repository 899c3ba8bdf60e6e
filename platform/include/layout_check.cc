// Compiled alone (with -m32 where the compiler can) so that the layout assertions of every
// platform header are checked on a 32-bit host.
#include "merc.h"
#include "qlx.h"
#include "qlxdir.h"
#include "trc.h"
