#pragma once
// Host path helpers. Both '/' and '\' are accepted as separators where a path is split; paths
// are built with the platform's own delimiter.

#include <string>
#include <vector>

namespace tesvar::platform {

#ifdef _WIN32
inline constexpr char kPathDelimiter = '\\';
#else
inline constexpr char kPathDelimiter = '/';
#endif

// "dir/name.ext" -> "name.ext"
std::string ExtractFileName(const std::string& path);
// "dir/name.ext" -> "dir" (no trailing delimiter; empty when there is no directory part)
std::string ExtractFileDir(const std::string& path);
// "dir/name.ext" -> "dir/" (with its trailing delimiter; empty when there is none)
std::string ExtractFilePath(const std::string& path);
// "name.ext" -> ".ext"; empty when there is none
std::string ExtractFileExt(const std::string& path);
// Appends the platform delimiter unless the path is empty or already ends with a separator.
std::string IncludeTrailingPathDelimiter(const std::string& path);
// dir + delimiter + name, avoiding a doubled delimiter; dir may be empty.
std::string JoinPath(const std::string& dir, const std::string& name);
// The components of a path split at '/' and '\', with empty and "." components dropped and ".."
// taking the component before it away (not above the start): "a//b/./c/../d" -> {"a", "b", "d"}.
std::vector<std::string> SplitPathComponents(const std::string& path);

}  // namespace tesvar::platform
