#pragma once
// The message of the engine exception raised by a call, for tests that check exact texts.

#include "platform/Exception.h"

#include <string>

namespace tesvar::testsupport {

// The Message() of the tesvar::Exception f raises, or "(no exception)" when it returns normally.
// Other exceptions pass through.
template <class F>
std::string messageOf(F&& f) {
  try {
    f();
  } catch (const Exception& e) {
    return e.Message();
  }
  return "(no exception)";
}

}  // namespace tesvar::testsupport
