#include "toolkit/Errors.h"

#include "toolkit/Messages.h"

namespace tesvar::toolkit {

EAbort::EAbort() : Exception(SOperationAborted) {}

void DatabaseError(const std::string& Message, const std::string& ComponentName) {
  if (ComponentName.empty()) throw EDatabaseError(Message);
  throw EDatabaseError(ComponentName + ": " + Message);
}

void Abort() { throw EAbort(); }

}  // namespace tesvar::toolkit
