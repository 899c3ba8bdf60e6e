// Subscription routing: carrying out one route entry that a map wrote into a transformed
// piece.
//
// The broker component stores each transformed piece in its Marshall (setBuffer) and, for
// every entry of the piece's Routing section, asks a ZVRSubscription to route it: INSERT
// and REPLACE have the middleware build a new theme from the request's theme with the named
// service inserted into (or replacing) the rest of the workflow and put a response under
// it; NOTIFY puts a response straight back to the client that started the workflow. Every
// action builds its own response afresh from the piece, and every put joins the
// component's unit of work, which the request loop commits or rolls back.
#ifndef ZVR_ZVRSUBSCRIPTION_H
#define ZVR_ZVRSUBSCRIPTION_H

class Marshall;
class QuorBusinessElement;
class QuorResponse;

class ZVRSubscription {
 public:
  // A fixed underlying type: an overriding getActionCode may hand back codes of its own.
  enum action_codes : int { insert = 0, replace = 1, notify = 2 };
  // Results of route(service, action).
  enum { kRouted = 0, kRouteFailed = 1, kRouteEmpty = 2 };

  // `element` and `marshall` are borrowed and must outlive this object; `theme` is the
  // theme handle of the response being routed (the request's), which the caller closes.
  // A null `marshall` makes ZVRBK0001 the pending error (and every route then fails with
  // it again); with ZVRdebug set the Marshall's display text is logged.
  ZVRSubscription(const QuorBusinessElement* element, unsigned long theme, Marshall* marshall);
  // Not virtual, by the class's published layout: create subclasses as automatic objects
  // or delete them through their own type.
  ~ZVRSubscription() = default;
  ZVRSubscription(const ZVRSubscription&) = delete;
  ZVRSubscription& operator=(const ZVRSubscription&) = delete;

  // Carries out one entry. kRouted (0) done; kRouteFailed (1) with the reason pending in
  // ZVRerror; kRouteEmpty (2) when service and action are both empty (nothing is done).
  // An insert or replace with an empty service goes to the middleware as it stands; a
  // notify needs no service.
  virtual int route(const char* service, const char* action);
  // 0 with `code` set; 1 with ZVRBK0007 pending for an action that is not INSERT, REPLACE,
  // NOTIFY or empty (case does not matter; a null action counts as INSERT).
  virtual int getActionCode(const char* action, action_codes& code);
  // Insert (option 8) or replace (16) `service` into the workflow and put a response under
  // the new theme, whose handle is closed again whatever the put did. 0 done; 1 failed
  // (ZVRBK0003 when the theme cannot be built; the put's or the response's error otherwise).
  virtual int route(const char* service, const unsigned long option);
  // Puts a response to the client that started the workflow. 0 done, 1 failed.
  virtual int notify_route();

  // A new response (the caller deletes it) read from the Marshall's current text; it points
  // into that text, which must stay unchanged while the response lives. Null with
  // ZVRBK0004 pending.
  QuorResponse* createResponse() const;

  // 1 when `action` is "INSERT", "REPLACE" or "NOTIFY" in any case; else 0 (null too).
  static int isAction(const char* action);

 private:
  // With ZVRverbose, adds the hex dump of the Marshall's text to the pending error.
  void _addDump() const;
  // Puts `response` (adopted: deleted here). 0 when put, else 1.
  int _put(QuorResponse* response) const;

  Marshall* const marshall_;
  const unsigned long theme_;
  const QuorBusinessElement* const element_;
};

#endif  // ZVR_ZVRSUBSCRIPTION_H
