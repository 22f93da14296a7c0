#pragma once
// The in-memory directory of a container: every directory item by its item ID (its position in
// the directory), a name index and a parent index over the live (not deleted) items.

#include "container/DirectoryFormat.h"

#include <cstdint>
#include <set>
#include <span>
#include <string_view>
#include <vector>

namespace tesvar::container {

class TDIRArray {
public:
  // ItemsPerPage: directory items per directory page; the capacity grows in steps of one page's
  // worth of items, doubling up to ten pages' worth.
  explicit TDIRArray(int32_t ItemsPerPage);

  int32_t ItemCount() const { return static_cast<int32_t>(FItems.size()); }
  int32_t Capacity() const { return FCapacity; }
  // Sets the capacity; raises "TDIRArray.SetSize - newSize < itemCount error. ..." when NewSize
  // is below the item count.
  void SetSize(int32_t NewSize);

  // Replaces the whole array by Items and rebuilds both indexes.
  void Assign(std::vector<TDirItem> Items);
  // The item with ID ItemNo; raises "TDIRArray.ReadItem - invalid itemNo = <n>" when out of range.
  const TDirItem& ReadItem(int32_t ItemNo) const;
  // Appends an item (indexed unless deleted); returns its ID.
  int32_t AddItem(const TDirItem& Item);
  // Drops the last item (undoes AddItem).
  void RemoveLastItem();
  // Replaces item ItemNo, moving it within the indexes (inserting it when it stops being deleted,
  // removing it when it becomes deleted). Raises "TDIRArray.UpdateItem - ..." for an invalid
  // number or an index that lost the item.
  void UpdateItem(int32_t ItemNo, const TDirItem& Item);

  // The live item named Name (compared case-insensitively) inside directory ParentID, or -1.
  int32_t FindChild(int32_t ParentID, std::string_view Name) const;
  // Live items whose ParentID is ParentID, by item ID.
  std::span<const int32_t> Children(int32_t ParentID) const;
  // The lowest deleted item ID (a slot to reuse), or -1.
  int32_t FirstDeleted() const { return FDeleted.empty() ? -1 : *FDeleted.begin(); }

  const std::vector<int32_t>& NameIndex() const { return FNameIndex; }
  const std::vector<int32_t>& ParentIndex() const { return FParentIndex; }

private:
  bool NameLess(int32_t A, int32_t B) const;
  bool ParentLess(int32_t A, int32_t B) const;
  void Grow();
  void IndexItem(int32_t ItemNo);
  void UnindexItem(int32_t ItemNo);

  int32_t FItemsPerPage;
  int32_t FCapacity = 0;
  int32_t FGrowStep;
  std::vector<TDirItem> FItems;
  std::vector<int32_t> FNameIndex;    // live items by (FileName case-insensitive, ID)
  std::vector<int32_t> FParentIndex;  // live items by (ParentID, ID)
  std::set<int32_t> FDeleted;         // IDs of deleted items
};

}  // namespace tesvar::container
