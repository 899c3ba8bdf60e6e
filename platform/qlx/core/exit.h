// The error-action exit of a business element: a shared library named in the element's
// directory entry, loaded once per process by path. Each element connection holds one
// ExitSession: its control block (whose service table lends malloc/free storage) is
// initialised when the connection is made and terminated by qlxTerminate. The session
// is asked which error-profile actions to perform whenever a call of the connection fails
// and when a request is reported to the error profile.
#ifndef QLX_EXIT_H
#define QLX_EXIT_H

#include <cstdint>
#include <string>

#include "qlx.h"

namespace qlx {

struct ExitLibrary;

class ExitSession {
 public:
  ExitSession() = default;
  ~ExitSession();
  ExitSession(const ExitSession&) = delete;
  ExitSession& operator=(const ExitSession&) = delete;

  // Loads the library (once per process) and calls its Init. False with `error` set when
  // the library cannot be used.
  bool start(const std::string& path, std::string& error);
  // Calls Term once.
  void stop();
  bool active() const { return library_ != nullptr; }
  const std::string& path() const { return path_; }

  // Calls Analyse for one failure. Returns the actions to perform: the exit's profile
  // actions when it sets kQlxExcActProfile, else `defaultActions`. `exception` is
  // borrowed for the call; `detailFlags` are kQlxExcDtl... bits.
  uint32_t analyse(QLXEXCEPTION* exception, uint32_t defaultActions, uint32_t detailFlags,
                   bool& decided);

 private:
  const ExitLibrary* library_ = nullptr;
  std::string path_;
  QLXXSERVICES services_{};
  QLXXCTL control_{};
  bool started_ = false;
};

}  // namespace qlx

#endif  // QLX_EXIT_H
