// Message rows as the C interface fills and reads them.
#include "queue.h"

#include <sys/time.h>

#include <cstring>

namespace qlx {

void stampNow(MessageRow& row) {
  timeval now{};
  gettimeofday(&now, nullptr);
  row.putSec = now.tv_sec;
  row.putMillis = now.tv_usec / 1000;
}

void takeDescriptorFields(const QLXMSG& msg, MessageRow& row) {
  row.msgType = msg.MsgType;
  row.priority = msg.Priority;
  row.persistence = msg.Persistence;
  row.format = msg.Format;
  row.feedback = msg.Feedback;
  row.expiry = msg.Expiry;
  row.codePage = msg.CodePage;
  row.encoding = msg.Encoding;
  row.formatName.assign(msg.FormatName, strnlen(msg.FormatName, sizeof msg.FormatName));
}

}  // namespace qlx
