#pragma once
// Consistency check of an open container. Reads the stored structures through the page file
// (directory chain and items, page maps, bitmap pages and, optionally, every data page) and
// compares them with each other and with the container object's in-memory state:
//   - every page used by the header, the bitmaps, the directory chain, page maps and file data
//     lies inside the container, is used once, and is marked used in PFS;
//   - GAM and SGAM agree with PFS (a wholly free extent has its GAM bit, no extent is both free
//     and mixed, the free and mixed extent counters match the bits);
//   - the stored bitmaps, directory items and page maps equal the in-memory copies;
//   - directory items form a tree of uniquely named items, and files have the pages their size
//     needs, in map chains without loops or surplus pages;
//   - the part chain of the host file verifies and the host file holds all the header's pages;
//   - every page read carries the page type, encryption type and a checksum kind this system
//     writes there (a page of an unknown checksum kind verifies nothing).
// Pages marked used that nothing refers to (left behind by an interrupted operation) waste space
// but endanger no data; they are reported apart, as leaked pages.

#include <cstdint>
#include <string>
#include <vector>

namespace tesvar::container {

class TContainerFileSystem;
struct TPageHeader;

class TContainerChecker {
public:
  // Container must outlive the checker. The check only reads.
  explicit TContainerChecker(TContainerFileSystem& Container);

  // Also read every data page and verify its checksum (default true).
  void SetVerifyDataPages(bool Value) { FVerifyDataPages = Value; }

  // Runs the check; one line per problem, empty when the container is consistent. Leaked pages
  // are not problems here; with IncludeLeaks one line lists them.
  std::vector<std::string> Check(bool IncludeLeaks = false);
  // Pages marked used that nothing refers to, found by the last Check.
  const std::vector<int32_t>& LeakedPages() const { return FLeakedPages; }

private:
  enum class Use : uint8_t { None, Header, PFS, GAM, SGAM, Directory, PageMap, Data };
  struct Owner {
    Use Kind = Use::None;
    int32_t ItemID = -1;
  };

  std::string Describe(const Owner& Who) const;
  void Mark(int32_t PageNo, Use Kind, int32_t ItemID);
  // Reads page PageNo (Size data bytes, -1 the page data size) into FBuffer, decrypted when
  // Decrypt. Reports (as What) a page that cannot be read and one whose checksum kind verifies
  // nothing; false when unreadable.
  bool ReadStored(int32_t PageNo, int32_t Size, bool Decrypt, const std::string& What, TPageHeader& Header);
  void ExpectEncryption(const TPageHeader& Header, uint8_t Expected, const std::string& What);
  void CheckBitmaps();
  void CheckDirectory();
  void CheckItems();
  void CheckFileMap(int32_t ItemID);
  void CheckExtents();
  void Problem(std::string Text) { FProblems.push_back(std::move(Text)); }

  TContainerFileSystem& FContainer;
  bool FVerifyDataPages = true;
  std::vector<Owner> FOwners;
  std::vector<std::string> FProblems;
  std::vector<int32_t> FLeakedPages;
  std::vector<uint8_t> FBuffer;
};

}  // namespace tesvar::container
