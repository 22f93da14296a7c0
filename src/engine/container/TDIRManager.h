#pragma once
// The directory of a container: items stored in a chain of directory pages and held entirely in
// memory (TDIRArray), path resolution, item creation, renaming, open counts and searches.
//
// Paths: components separated by "\" or "/"; a leading separator starts at the root, otherwise
// at the current directory (always the root here); one trailing separator is ignored; ".." moves
// to the parent (staying at the root at the root) and "." stays; a component longer than 259
// characters is cut to 259; the text ends at a NUL character. Names compare case-insensitively.

#include "container/DirectoryFormat.h"
#include "container/TDIRArray.h"

#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

namespace tesvar::container {

class TPageFileManager;
class TFreeSpaceManager;

// FindFirst / FindNext results besides 0 (found).
inline constexpr int32_t kFindNoMoreFiles = 18;
inline constexpr int32_t kFindPathNotFound = 3;

// The platform's find data as a search fills it.
struct TWin32FindData {
  uint32_t dwFileAttributes = 0;
  int64_t ftCreationTime = 0;    // FILETIME, UTC
  int64_t ftLastAccessTime = 0;
  int64_t ftLastWriteTime = 0;
  uint32_t nFileSizeHigh = 0;
  uint32_t nFileSizeLow = 0;
  std::string cFileName;
};

// A search in progress. FindHandle numbers the search list held by the directory manager
// (-1: none); FindClose releases it.
struct TSearchRec {
  int32_t Time = 0;      // DOS date (high word) and time (low word) of the last write, local time
  int64_t Size = 0;
  int32_t Attr = 0;
  std::string Name;
  int32_t ExcludeAttr = 0;
  int32_t FindHandle = -1;
  TWin32FindData FindData;
};

class TDIRManager {
public:
  // PageFile and FreeSpace must outlive the manager. The directory is empty until Load.
  TDIRManager(TPageFileManager& PageFile, TFreeSpaceManager& FreeSpace);
  ~TDIRManager();

  // Reads DirPageCount directory pages from FirstDirPageNo and the first DirItemCount items;
  // raises "TDIRManager.Load - can not load page, pageNo = <n>" when a page cannot be read,
  // "TDIRManager.Load - invalid page No in directory chain, pageNo = <n>" for a chain that leaves
  // the container or comes back to one of its pages, and "TDIRManager.Load - DirItemCount >
  // DirPageCount * ItemsPerDirPage" for counts that do not fit each other.
  void Load();

  // Item ID of Path, -1 for the root, cePathMalformed or cePathNotFound.
  int32_t FindFile(std::string_view Path) const;
  // The item; raises "TDIRArray.ReadItem - invalid itemNo = <n>" for an invalid ID.
  const TDirItem& ReadItem(int32_t ItemID) const { return FItems.ReadItem(ItemID); }
  // Replaces item ItemID in memory and on its directory page. On a page failure raises
  // "TDIRManager.WriteItem - can not save page, pageNo = <n>" and keeps the former item in memory.
  void WriteItem(int32_t ItemID, const TDirItem& Item);
  // Stores a new item in the first deleted slot, else appends it (chaining a new directory page
  // when the last one is full) and saves the header. False with LastError ceNoSpace when no page
  // could be had; page failures raise the AddItem messages and leave the directory as it was.
  [[nodiscard]] bool AddItem(const TDirItem& Item, int32_t& ItemID);

  // The operations below that report by result reset LastError on entry and set it on every
  // failure; the ones that raise leave the page error in it.
  //
  // Creates a file item (no check for an existing name); its item ID, or -1 with LastError
  // cePathMalformed (an empty or root path, a name "." or ".."), cePathNotFound (no such parent
  // directory) or ceNoSpace.
  [[nodiscard]] int32_t CreateFile(std::string_view Path, const std::string& Password, const std::string& Question,
                                   const std::string& Answer);
  // Creates a directory unless an item of that name exists (false with ceFileExists), or with
  // CreateFile's failures.
  [[nodiscard]] bool CreateDir(std::string_view Path);
  // Creates the directory and any missing parents. False with LastError cePathMalformed, or
  // ceFileExists when the path or one of its parents names a file; raises "TDIRManager.ForceDirectories
  // - ForceDirectories error!" when a parent cannot be made for want of space (LastError
  // ceNoSpace) or because a write failed.
  [[nodiscard]] bool ForceDirectories(std::string_view Path);
  // True for "\", "/", "." and paths of existing directories.
  bool DirectoryExists(std::string_view Path) const;
  // Moves / renames an item, forcing New's parent directories. False with LastError the FindFile
  // code of a missing or malformed Old, ceFileExists when New names another existing item (or the
  // root), ceFileInUse when Old is open, cePathMalformed for a malformed New, ForceDirectories'
  // code when New's parent cannot be made, ceInvalidArgument for the root or a directory that
  // would move into itself.
  [[nodiscard]] bool RenameItem(std::string_view OldPath, std::string_view NewPath);

  // Opens a file item: open count + 1, and (unless read-only) last access = now. -1 with LastError
  // the FindFile code when missing or malformed, ceIsDirectory for a directory (or the root),
  // ceInvalidPassword when its own password does not verify. Key receives the file's own key.
  [[nodiscard]] int32_t OpenItem(std::string_view Path, const std::string& Password, std::string& Key);
  void CloseItem(int32_t ItemID);
  // Open count of an item, -1 for an invalid ID.
  int32_t OpenCount(int32_t ItemID) const;
  // "\" + the names from the root joined by "\" ("\" for the root).
  std::string ItemPath(int32_t ItemID) const;

  // Searches the directory part of Mask for children matching its name part whose attributes
  // are allowed by Attr. 0 with the first match, kFindNoMoreFiles / kFindPathNotFound otherwise.
  int32_t FindFirst(std::string_view Mask, uint32_t Attr, TSearchRec& SearchRec);
  // 0 with the next match, kFindNoMoreFiles at the end.
  int32_t FindNext(TSearchRec& SearchRec);
  void FindClose(TSearchRec& SearchRec);
  // Mask matching of searches: "*.*" and "*" match anything, "*" any run, "?" one character;
  // other characters match when equal or differing by exactly 32 in code.
  static bool MatchesMask(std::string_view Name, std::string_view Mask);

  int32_t LastError() const { return FLastError; }
  int32_t CurrentDir() const { return FCurrentDir; }
  int32_t ItemsPerDirPage() const { return FItemsPerDirPage; }
  const TDIRArray& Items() const { return FItems; }
  const std::vector<int32_t>& DirPages() const { return FDirPages; }

private:
  struct ParsedPath {
    bool Absolute = false;
    std::vector<std::string_view> Components;
  };
  struct SearchList {
    std::vector<int32_t> Items;
    size_t Next = 0;
    uint32_t ExcludeAttr = 0;
  };
  // cePathMalformed for an empty path or an empty component, else 0.
  static int32_t ParsePath(std::string_view Path, ParsedPath& Parsed);
  // Directory reached by Components[0 .. Count - 1]; -1 root, or cePathNotFound.
  int32_t Resolve(const ParsedPath& Parsed, size_t Count) const;
  // Parent directory ID and own name of a path to create; false when unusable.
  bool ParentAndName(std::string_view Path, int32_t& ParentID, std::string& Name, std::string* ParentPath) const;
  bool IsInside(int32_t ItemID, int32_t DirID) const;
  int32_t AddNewItem(std::string_view Path, bool Directory, const std::string& Password,
                     const std::string& Question, const std::string& Answer);
  // Stores directory page PageIndex from memory (its next field from the page list) in one
  // transfer; raises SaveMessage + page number on failure.
  void WriteDirPage(size_t PageIndex, const char* SaveMessage);
  // Writes the page's items from memory again after a failed write; failures are ignored.
  void RestoreDirPage(size_t PageIndex);
  void FillSearchRec(int32_t ItemID, TSearchRec& SearchRec) const;
  // LastError = Code; returns Result (the failure paths' one step).
  template <class T>
  T Fail(int32_t Code, T Result) {
    FLastError = Code;
    return Result;
  }

  TPageFileManager& FPageFile;
  TFreeSpaceManager& FFreeSpace;
  int32_t FItemsPerDirPage;
  TDIRArray FItems;
  std::vector<int32_t> FDirPages;
  std::vector<int32_t> FOpenCounts;
  std::map<int32_t, SearchList> FSearches;
  int32_t FNextSearch = 0;
  int32_t FCurrentDir = kRootDirectoryID;
  int32_t FLastError = 0;
  std::vector<uint8_t> FPageBuffer;
};

}  // namespace tesvar::container
