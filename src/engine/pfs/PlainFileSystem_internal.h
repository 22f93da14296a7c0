#pragma once
// Helpers shared by the plain file system classes.

#include "platform/Exception.h"
#include "platform/IFileSystem.h"

#include <string>

namespace tesvar::pfs {

// Raises tesvar::Exception with the text of the last failed platform call.
[[noreturn]] inline void raiseLastSystemError() {
  const std::string& text = platform::LastErrorText();
  throw Exception(text.empty() ? std::string("System error.") : text);
}

// "<text>" with the double quotation marks.
inline std::string quoted(const std::string& text) { return "\"" + text + "\""; }

// The open procedure of plain-file-system files. tryOpen(create) opens with the file's current
// flags and tells whether that worked. A failed creation raises "Cannot create file "<path>"".
// Not creating: a file that cannot be opened for writing is opened read-only (readOnly becomes
// true); when that fails too, or readOnly was true already, readOnly keeps its value and
// "Cannot open file "<path>"" is raised.
template <class F>
void openWithReadOnlyFallback(bool create, bool& readOnly, const std::string& path, F&& tryOpen) {
  if (tryOpen(create)) return;
  if (create) throw Exception("Cannot create file " + quoted(path));
  if (readOnly) throw Exception("Cannot open file " + quoted(path));
  readOnly = true;
  if (tryOpen(false)) return;
  readOnly = false;
  throw Exception("Cannot open file " + quoted(path));
}

}  // namespace tesvar::pfs
