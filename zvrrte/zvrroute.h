// The route list: routing instructions a map wrote into its output.
//
// Reading a transformed piece (TsiMarshall) appends one ZvrRoute per entry of its
// `Routing` section, in the order the entries stand; the broker component then walks the
// list from its head and carries out each entry, and erases the list after every piece.
// Entries own copies of their texts, so the caller's texts may change right after append.
#ifndef ZVR_ZVRROUTE_H
#define ZVR_ZVRROUTE_H

class ZvrRoute {
 public:
  // Copies both texts (null counts as empty); next is null.
  ZvrRoute(const char* service, const char* action);
  ~ZvrRoute();
  ZvrRoute(const ZvrRoute&) = delete;
  ZvrRoute& operator=(const ZvrRoute&) = delete;

  // The stored copies, owned by this entry (never null).
  char* getService() { return service_; }
  char* getAction() { return action_; }
  // The following entry (not owned), or null at the tail.
  ZvrRoute* next() { return next_; }
  void next(ZvrRoute* route) { next_ = route; }

 private:
  char* service_;
  char* action_;
  ZvrRoute* next_ = nullptr;
};

class ZvrRouteList {
 public:
  ZvrRouteList() = default;
  ~ZvrRouteList();
  ZvrRouteList(const ZvrRouteList&) = delete;
  ZvrRouteList& operator=(const ZvrRouteList&) = delete;

  // Adds a copy of the pair at the tail. The first entry of an empty list also becomes
  // the read position; later appends leave the position where it is.
  void append(const char* service, const char* action);
  // 1 with the entry at the read position (texts owned by the list: do not free);
  // 0 with both null when the position has passed the tail. The position stays.
  int get(char*& service, char*& action);
  // Moves the read position to the following entry (null after the tail).
  void toNext();
  // get, then toNext when get found an entry; returns get's result.
  int getAndNext(char*& service, char*& action);
  void toHead();
  // 1 when the read position is the tail (also for an empty list).
  int atTail();
  unsigned long getCount() { return count_; }
  // Deletes every entry; the list can be filled again.
  void erase();

 private:
  unsigned long count_ = 0;
  ZvrRoute* head_ = nullptr;
  ZvrRoute* tail_ = nullptr;
  ZvrRoute* current_ = nullptr;
};

#endif  // ZVR_ZVRROUTE_H
