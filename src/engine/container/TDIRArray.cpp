#include "container/TDIRArray.h"

#include "platform/AnsiCase.h"
#include "platform/AnsiCollation.h"
#include "platform/Exception.h"

#include <algorithm>

namespace tesvar::container {

TDIRArray::TDIRArray(int32_t ItemsPerPage)
    : FItemsPerPage(std::max<int32_t>(ItemsPerPage, 1)), FGrowStep(FItemsPerPage) {}

void TDIRArray::SetSize(int32_t NewSize) {
  if (NewSize < ItemCount()) {
    throw Exception("TDIRArray.SetSize - newSize < itemCount error.  newSize = " +
                    std::to_string(NewSize) + " itemCount = " + std::to_string(ItemCount()));
  }
  FCapacity = NewSize;
  FItems.reserve(static_cast<size_t>(NewSize));
}

void TDIRArray::Grow() {
  FCapacity += FGrowStep;
  FGrowStep = std::min(FGrowStep * 2, FItemsPerPage * 10);
}

bool TDIRArray::NameLess(int32_t A, int32_t B) const {
  const int Order = platform::CollateNames(FItems[A].FileName, FItems[B].FileName);
  return Order != 0 ? Order < 0 : A < B;
}

bool TDIRArray::ParentLess(int32_t A, int32_t B) const {
  const int32_t PA = FItems[A].ParentID;
  const int32_t PB = FItems[B].ParentID;
  return PA != PB ? PA < PB : A < B;
}

void TDIRArray::Assign(std::vector<TDirItem> Items) {
  FItems = std::move(Items);
  FCapacity = ItemCount();
  FNameIndex.clear();
  FParentIndex.clear();
  FDeleted.clear();
  for (int32_t I = 0; I < ItemCount(); ++I) {
    if (FItems[I].Deleted) {
      FDeleted.insert(FDeleted.end(), I);
    } else {
      FNameIndex.push_back(I);
    }
  }
  FParentIndex = FNameIndex;
  std::sort(FNameIndex.begin(), FNameIndex.end(), [this](int32_t A, int32_t B) { return NameLess(A, B); });
  std::sort(FParentIndex.begin(), FParentIndex.end(), [this](int32_t A, int32_t B) { return ParentLess(A, B); });
}

const TDirItem& TDIRArray::ReadItem(int32_t ItemNo) const {
  if (ItemNo < 0 || ItemNo >= ItemCount()) {
    throw Exception("TDIRArray.ReadItem - invalid itemNo = " + std::to_string(ItemNo));
  }
  return FItems[ItemNo];
}

void TDIRArray::IndexItem(int32_t ItemNo) {
  auto NamePos = std::lower_bound(FNameIndex.begin(), FNameIndex.end(), ItemNo,
                                  [this](int32_t A, int32_t B) { return NameLess(A, B); });
  FNameIndex.insert(NamePos, ItemNo);
  auto ParentPos = std::lower_bound(FParentIndex.begin(), FParentIndex.end(), ItemNo,
                                    [this](int32_t A, int32_t B) { return ParentLess(A, B); });
  FParentIndex.insert(ParentPos, ItemNo);
}

void TDIRArray::UnindexItem(int32_t ItemNo) {
  auto NamePos = std::lower_bound(FNameIndex.begin(), FNameIndex.end(), ItemNo,
                                  [this](int32_t A, int32_t B) { return NameLess(A, B); });
  if (NamePos == FNameIndex.end() || *NamePos != ItemNo) {
    throw Exception("TDIRArray.UpdateItem - old name position not found. Position = " +
                    std::to_string(ItemNo) + ", ItemCount = " + std::to_string(ItemCount()) +
                    ", FileName = " + QuotedName(FItems[ItemNo].FileName));
  }
  auto ParentPos = std::lower_bound(FParentIndex.begin(), FParentIndex.end(), ItemNo,
                                    [this](int32_t A, int32_t B) { return ParentLess(A, B); });
  if (ParentPos == FParentIndex.end() || *ParentPos != ItemNo) {
    throw Exception("TDIRArray.UpdateItem - old parentID position not found. Position = " +
                    std::to_string(ItemNo) + ", ItemCount = " + std::to_string(ItemCount()) +
                    ", ParentID = " + std::to_string(FItems[ItemNo].ParentID));
  }
  FNameIndex.erase(NamePos);
  FParentIndex.erase(ParentPos);
}

int32_t TDIRArray::AddItem(const TDirItem& Item) {
  if (ItemCount() >= FCapacity) Grow();
  FItems.push_back(Item);
  const int32_t ItemNo = ItemCount() - 1;
  if (Item.Deleted) {
    FDeleted.insert(ItemNo);
  } else {
    IndexItem(ItemNo);
  }
  return ItemNo;
}

void TDIRArray::RemoveLastItem() {
  if (FItems.empty()) return;
  const int32_t ItemNo = ItemCount() - 1;
  if (FItems[ItemNo].Deleted) {
    FDeleted.erase(ItemNo);
  } else {
    UnindexItem(ItemNo);
  }
  FItems.pop_back();
}

void TDIRArray::UpdateItem(int32_t ItemNo, const TDirItem& Item) {
  if (ItemNo < 0 || ItemNo >= ItemCount()) {
    throw Exception("TDIRArray.UpdateItem - invalid itemNo = " + std::to_string(ItemNo));
  }
  const TDirItem& Old = FItems[ItemNo];
  const bool SameKeys = Old.Deleted == Item.Deleted && Old.ParentID == Item.ParentID &&
                        Old.FileName == Item.FileName;
  if (SameKeys) {
    FItems[ItemNo] = Item;
    return;
  }
  if (Old.Deleted) {
    FDeleted.erase(ItemNo);
  } else {
    UnindexItem(ItemNo);
  }
  FItems[ItemNo] = Item;
  if (Item.Deleted) {
    FDeleted.insert(ItemNo);
  } else {
    IndexItem(ItemNo);
  }
}

int32_t TDIRArray::FindChild(int32_t ParentID, std::string_view Name) const {
  auto Pos = std::lower_bound(FNameIndex.begin(), FNameIndex.end(), Name,
                              [this](int32_t A, std::string_view Key) {
                                return platform::CollateNames(FItems[A].FileName, Key) < 0;
                              });
  for (; Pos != FNameIndex.end(); ++Pos) {
    const TDirItem& Item = FItems[*Pos];
    if (!platform::AnsiSameText(Item.FileName, Name)) break;
    if (Item.ParentID == ParentID) return *Pos;
  }
  return -1;
}

std::span<const int32_t> TDIRArray::Children(int32_t ParentID) const {
  auto First = std::lower_bound(FParentIndex.begin(), FParentIndex.end(), ParentID,
                                [this](int32_t A, int32_t Key) { return FItems[A].ParentID < Key; });
  auto Last = std::upper_bound(First, FParentIndex.end(), ParentID,
                               [this](int32_t Key, int32_t A) { return Key < FItems[A].ParentID; });
  return {FParentIndex.data() + (First - FParentIndex.begin()), static_cast<size_t>(Last - First)};
}

}  // namespace tesvar::container
