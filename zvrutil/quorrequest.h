// Requests and responses: one message taken off a queue, and one message on its way out.
//
// A QuorRequest is what a business element's getRequest (or the test client) wraps around
// a received descriptor: it looks up the request's theme ID, answers questions about the
// message, builds the response that continues the workflow, can be put as a new request to
// a named service, and hands a failed request to the middleware's error profile. A
// QuorResponse is routed only through its theme: it carries the request's theme handle (or
// a new one set with theme()), and the middleware delivers it along the workflow kept with
// that theme.
//
// Theme lists (the result of a theme query) are read only through zvrFindThemeItem, which
// never reads past the size the middleware gave.
#ifndef ZVR_QUORREQUEST_H
#define ZVR_QUORREQUEST_H

#include <cstddef>
#include <cstdint>
#include <ostream>

#include "qlx.h"

class QuorTransaction;
class QuorResponse;

// Theme list layout: item count at 8, first item at 16; an item has its type at 8, its
// data length at 12 and its data at 16; the next item follows at 16 plus the data length
// rounded up to 4.
enum : size_t {
  kThemeListCount = 8,
  kThemeListItems = 16,
  kThemeItemType = 8,
  kThemeItemLength = 12,
  kThemeItemData = 16,
};

// One item of a theme list; `data` points into the list (borrowed).
struct ZvrThemeItem {
  uint32_t type = 0;
  const unsigned char* data = nullptr;
  size_t length = 0;
};

// Finds the first item of `type` among the list's items, walking at most the list's count.
// The walk stops at the first item whose header or data does not fit in `size` bytes.
// 1 when found (`item` filled; its data lies wholly within the list), else 0.
int zvrFindThemeItem(const void* list, size_t size, uint32_t type, ZvrThemeItem& item);

// Reads the host-order 32-bit word at `offset` of `size` bytes. False, with `value` left
// alone, when the word does not lie wholly within them.
bool zvrLoad32(const unsigned char* data, size_t size, size_t offset, uint32_t& value);

// The get options' correlation bits after a theme-ID look-up: a theme ID equal to the
// CorrelId asks for no correlation (0x10, not 0x2); a different one matches the CorrelId
// (0x2, not 0x10, with the CorrelId copied into the options).
void zvrAdjustGetOptions(QLXGETOPT& options, const char (&themeID)[kQlxMsgIdLength],
                         const QLXMSGID& correlId);

// Put options of a response to a request got with `get`: the template, then the message id
// (0x1) and correlation id (0x2) the get matched, else a new correlation (0x10); always
// 0x80; the match word carried over.
QLXPUTOPT zvrResponsePutOptions(const QLXGETOPT& get);

class QuorRequest {
 public:
  // Copies the descriptor (which then owns the buffers it describes: middleware-owned ones
  // are released with qlxFreeBuffer(handle) by the destructor) and the get options, copies
  // the format name and looks up the theme ID.
  QuorRequest(const unsigned long handle, const QLXMSG* descriptor, const unsigned long theme,
              const QLXGETOPT getOptions);
  ~QuorRequest();
  QuorRequest(const QuorRequest&) = delete;
  QuorRequest& operator=(const QuorRequest&) = delete;

  // Theme ID from the theme query (type 1 item), else the CorrelId; adjusts the get
  // options' correlation bits to match. A failed query is logged only under ZVRdebug.
  void lookupThemeID();

  int isAtEndOfWorkflow() const;
  unsigned long length() const;
  // The message body; owned by this request.
  void* buffer() const;
  unsigned long theme() const;
  // 24 bytes, not terminated.
  const char* themeID() const;
  // At most 132 characters, terminated.
  const char* formatName() const;
  long backoutCount() const;

  // A response that continues the workflow. `buffer` and `tag` are borrowed: the response
  // points at them and they must outlive it. Null with ZVRerror = ZVRR0012 when the
  // response cannot be made; the caller deletes the response.
  QuorResponse* createResponse(const void* buffer, const unsigned long length, const void* tag,
                               const unsigned long tagLength) const;
  // The same with this request's own body and tag, which must outlive the response.
  QuorResponse* createResponse() const;

  // Puts this message as a new request to `service`; the request's theme becomes the new
  // theme. 1 on success or when the middleware suppressed it (ZVRR0011 logged); 0 with
  // ZVRerror = ZVRR0006 otherwise.
  int putRequest(const unsigned long handle, QuorTransaction* transaction, const char* service,
                 const QLXPUTOPT putOptions);

  // Hands this request with the pending ZVRerror (left in place) to the error profile and
  // logs the error's text with its severity. 1 when the middleware accepted the report and
  // performed the requested actions.
  int reportError(const QLXSYNC* sync) const;

  // "\nQuor Request\n------------" and the descriptor with its buffers. Returns the length;
  // `text` gets a new text the caller frees with delete[].
  int display(char*& text) const;

  unsigned long handle() const;
  const QLXMSG& descriptor() const;
  // The get options as adjusted by lookupThemeID.
  const QLXGETOPT& getOptions() const;

 private:
  QLXHANDLE handle_;
  QLXMSG descriptor_;
  QLXHANDLE theme_;
  QLXGETOPT getOptions_;
  // Started from the template with the request and kept for the record's sake: responses
  // take their put options from the get options instead.
  [[maybe_unused]] QLXPUTOPT putOptions_;
  char formatName_[kQlxFormatNameLength + 1];
  char themeID_[kQlxMsgIdLength];
};

class QuorResponse {
 public:
  // Copies all three; the descriptor's middleware-owned buffers (a response got by a
  // client) are released with qlxFreeBuffer(0) by the destructor.
  QuorResponse(const QLXMSG* descriptor, const unsigned long theme, const QLXPUTOPT putOptions);
  ~QuorResponse();
  QuorResponse(const QuorResponse&) = delete;
  QuorResponse& operator=(const QuorResponse&) = delete;

  int isAtEndOfWorkflow() const;
  unsigned long length() const;
  void* buffer() const;
  // Replaces the put options' options word.
  void putOptions(unsigned long options);
  unsigned long theme() const;
  // Routes the response along the workflow of `theme` (sets Status bit 0x4).
  void theme(unsigned long theme);

  // Puts the response under the transaction's unit of work. 1 when put, or when it may be
  // dropped (end of workflow: ZVRR0019 logged; suppressed: ZVRR0012 logged); 0 with
  // ZVRerror = ZVRR0009 otherwise.
  int putResponse(const unsigned long handle, QuorTransaction* transaction) const;

  // "\nQuor Response\n-------------" and the descriptor with its buffers.
  int display(char*& text) const;

  const QLXMSG& descriptor() const;
  const QLXPUTOPT& getPutOptions() const;

 private:
  QLXMSG descriptor_;
  QLXHANDLE theme_;
  QLXPUTOPT putOptions_;
};

std::ostream& operator<<(std::ostream& os, const QuorRequest& request);
std::ostream& operator<<(std::ostream& os, const QuorResponse& response);

// True when the middleware error says the configuration suppressed the message: reason 26
// with a sub-reason other than 42 (for a response got by a client also other than 20).
// A sub-reason the record does not fill counts as 0.
bool zvrIsSuppressed(const QLXERROR& error, bool gotResponse = false);

#endif  // ZVR_QUORREQUEST_H
