#include "zvrroute.h"

#include <cstring>

#include "trc.h"

static trc::Module kTrace{"zvrrte"};

namespace {

// A new[] copy of `text`, terminated; null counts as empty.
char* copyText(const char* text) {
  trc::Scope trace(kTrace);
  if (text == nullptr) text = "";
  size_t size = std::strlen(text) + 1;
  char* copy = new char[size];
  std::memcpy(copy, text, size);
  return copy;
}

}  // namespace

ZvrRoute::ZvrRoute(const char* service, const char* action)
    : service_(copyText(service)), action_(copyText(action)) {
  trc::Scope trace(kTrace);
}

ZvrRoute::~ZvrRoute() {
  trc::Scope trace(kTrace);
  delete[] service_;
  delete[] action_;
}

ZvrRouteList::~ZvrRouteList() {
  trc::Scope trace(kTrace);
  erase();
}

void ZvrRouteList::append(const char* service, const char* action) {
  trc::Scope trace(kTrace);
  ZvrRoute* route = new ZvrRoute(service, action);
  if (tail_ == nullptr) {
    head_ = tail_ = current_ = route;
  } else {
    tail_->next(route);
    tail_ = route;
  }
  ++count_;
}

int ZvrRouteList::get(char*& service, char*& action) {
  trc::Scope trace(kTrace);
  if (current_ == nullptr) {
    service = action = nullptr;
    return trace.result(0);
  }
  service = current_->getService();
  action = current_->getAction();
  return trace.result(1);
}

void ZvrRouteList::toNext() {
  trc::Scope trace(kTrace);
  if (current_ != nullptr) current_ = current_->next();
}

int ZvrRouteList::getAndNext(char*& service, char*& action) {
  trc::Scope trace(kTrace);
  int found = get(service, action);
  if (found) toNext();
  return trace.result(found);
}

void ZvrRouteList::toHead() {
  trc::Scope trace(kTrace);
  current_ = head_;
}

int ZvrRouteList::atTail() {
  trc::Scope trace(kTrace);
  return trace.result(current_ == tail_ ? 1 : 0);
}

void ZvrRouteList::erase() {
  trc::Scope trace(kTrace);
  while (head_ != nullptr) {
    ZvrRoute* next = head_->next();
    delete head_;
    head_ = next;
    --count_;
  }
  tail_ = current_ = nullptr;
}
