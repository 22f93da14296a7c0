#pragma once
// Helpers shared by the table manager's source files.

#include "platform/Exception.h"

#include <cstdio>
#include <string>

namespace tesvar::storage::detail {

// A version as the messages print it: fixed-point, two decimals, "." as separator.
inline std::string fixed2(double v) {
  char text[64];
  std::snprintf(text, sizeof text, "%.2f", v);
  return text;
}

// Table names become file names in the database's store: no folder parts or drive letters.
inline void checkTableName(const std::string& Name) {
  if (Name.empty() || Name.find_first_of("/\\:*?\"<>|") != std::string::npos || Name == "." || Name == "..")
    throw Exception("TEdbDataManager - invalid table name \"" + Name + "\".");
}

}  // namespace tesvar::storage::detail
