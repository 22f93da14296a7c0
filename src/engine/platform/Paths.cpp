#include "platform/Paths.h"

namespace tesvar::platform {

namespace {

bool isSeparator(char c) { return c == '/' || c == '\\'; }

// Index of the last separator, or npos.
size_t lastSeparator(const std::string& path) { return path.find_last_of("/\\"); }

}  // namespace

std::string ExtractFileName(const std::string& path) {
  const size_t i = lastSeparator(path);
  return i == std::string::npos ? path : path.substr(i + 1);
}

// The root keeps its delimiter ("/name" -> "/", "C:\name" -> "C:\"), so that the result still
// names the root and not the current directory.
std::string ExtractFileDir(const std::string& path) {
  const size_t i = lastSeparator(path);
  if (i == std::string::npos) return {};
  if (i == 0 || path[i - 1] == ':' || isSeparator(path[i - 1])) return path.substr(0, i + 1);
  return path.substr(0, i);
}

std::string ExtractFilePath(const std::string& path) {
  const size_t i = lastSeparator(path);
  return i == std::string::npos ? std::string() : path.substr(0, i + 1);
}

// The extension starts at the last dot of the name part: "a.b/c" has none, ".ini" is one.
std::string ExtractFileExt(const std::string& path) {
  const size_t sep = lastSeparator(path);
  const size_t dot = path.find_last_of('.');
  if (dot == std::string::npos || (sep != std::string::npos && dot < sep)) return {};
  return path.substr(dot);
}

std::string IncludeTrailingPathDelimiter(const std::string& path) {
  if (path.empty() || isSeparator(path.back())) return path;
  return path + kPathDelimiter;
}

std::string JoinPath(const std::string& dir, const std::string& name) {
  if (dir.empty()) return name;
  const std::string head = IncludeTrailingPathDelimiter(dir);
  if (!name.empty() && isSeparator(name.front())) return head + name.substr(1);
  return head + name;
}

std::vector<std::string> SplitPathComponents(const std::string& path) {
  std::vector<std::string> parts;
  size_t start = 0;
  while (start <= path.size()) {
    size_t end = path.find_first_of("/\\", start);
    if (end == std::string::npos) end = path.size();
    std::string part = path.substr(start, end - start);
    if (part == "..") {
      if (!parts.empty()) parts.pop_back();
    } else if (!part.empty() && part != ".") {
      parts.push_back(std::move(part));
    }
    start = end + 1;
  }
  return parts;
}

}  // namespace tesvar::platform
