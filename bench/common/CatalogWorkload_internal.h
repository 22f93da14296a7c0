#pragma once
// The vocabularies of the catalogue workload (UTF-8), shared by the generator's files.

#include <string>
#include <vector>

namespace tesvar::bench {

extern const std::vector<std::string> kGroups;
extern const std::vector<std::string> kCategories;
extern const std::vector<std::string> kDiskPrefixes;
extern const std::vector<std::string> kExtensions;
extern const std::vector<std::string> kTitleStems;
extern const std::vector<std::string> kFolders;
extern const std::vector<std::string> kWordsRu;
extern const std::vector<std::string> kWordsEn;
extern const std::vector<std::string> kKeywords;
extern const std::vector<std::string> kDomains;
extern const std::vector<std::string> kTlds;
extern const std::vector<std::string> kUrlPaths;

}  // namespace tesvar::bench
