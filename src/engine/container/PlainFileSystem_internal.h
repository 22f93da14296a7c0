#pragma once
// Helpers shared by the plain file system classes.

#include "platform/Exception.h"
#include "platform/IFileSystem.h"

#include <string>

namespace tesvar::container {

// Raises tesvar::Exception with the text of the last failed platform call.
[[noreturn]] inline void raiseLastSystemError() {
  const std::string& text = platform::LastErrorText();
  throw Exception(text.empty() ? std::string("System error.") : text);
}

// "<text>" with the double quotation marks.
inline std::string quoted(const std::string& text) { return "\"" + text + "\""; }

}  // namespace tesvar::container
