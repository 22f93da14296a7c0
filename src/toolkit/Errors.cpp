#include "toolkit/Errors.h"

#include "toolkit/Messages.h"

#include <cstdio>

namespace tesvar::toolkit {

EAbort::EAbort() : Exception(SOperationAborted) {}

void DatabaseError(const std::string& Message, const std::string& ComponentName) {
  if (ComponentName.empty()) throw EDatabaseError(Message);
  throw EDatabaseError(ComponentName + ": " + Message);
}

void Abort() { throw EAbort(); }

namespace {
TExceptionHandler& exceptionHandler() {
  static TExceptionHandler Handler;
  return Handler;
}
}  // namespace

void SetExceptionHandler(TExceptionHandler Handler) { exceptionHandler() = std::move(Handler); }

void HandleException(const std::exception& E) noexcept {
  if (dynamic_cast<const EAbort*>(&E) != nullptr) return;
  try {
    if (exceptionHandler()) {
      exceptionHandler()(E);
      return;
    }
  } catch (...) {
    // A failing handler falls back to the plain report below.
  }
  std::fputs(E.what(), stderr);
  std::fputs("\n", stderr);
}

}  // namespace tesvar::toolkit
