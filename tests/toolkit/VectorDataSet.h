#pragma once
// A small dataset over a vector of rows, the record source through which the toolkit tests drive
// the generic dataset. Rows keep their values in the fields' native forms (TField.h), BLOB values
// as their bytes; each row has a stable id, which is the bookmark.
//
// Record buffer: int32 row id (the bookmark data), one flag byte, three unused bytes, then per
// field a NULL byte (1 = NULL) and the native value, then the calculated-field area.

#include "toolkit/Errors.h"
#include "toolkit/FieldClasses.h"
#include "toolkit/TDataSet.h"
#include "toolkit/TDataSource.h"
#include "toolkit/TMemoryStream.h"

#include <algorithm>
#include <cstring>
#include <map>
#include <optional>
#include <vector>

namespace tesvar::toolkit::test {

inline int32_t nativeSize(const TFieldDef& Def) {
  switch (Def.DataType) {
    case ftString:
    case ftFixedChar: return Def.Size + 1;
    case ftWideString: return Def.Size + 2;
    case ftSmallint:
    case ftWord:
    case ftBoolean: return 2;
    case ftInteger:
    case ftAutoInc: return 4;
    case ftBytes: return Def.Size;
    default: return IsBlobFieldType(Def.DataType) ? 0 : 8;
  }
}

using NativeValue = std::optional<std::vector<uint8_t>>;

struct Row {
  int32_t Id = 0;
  std::vector<NativeValue> Values;
};

struct VectorTable {
  TFieldDefs Defs;
  std::vector<Row> Rows;
  int32_t NextId = 1;

  // A row with every field NULL; returns its id.
  int32_t AddRow(size_t At = SIZE_MAX) {
    Row r;
    r.Id = NextId++;
    r.Values.assign(Defs.size(), std::nullopt);
    Rows.insert(Rows.begin() + static_cast<ptrdiff_t>(std::min(At, Rows.size())), r);
    return r.Id;
  }
};

// An int32 value in native form.
inline NativeValue nativeInt(int32_t v) {
  std::vector<uint8_t> b(4);
  std::memcpy(b.data(), &v, 4);
  return b;
}

class VectorDataSet : public TDataSet {
public:
  explicit VectorDataSet(VectorTable& Table) : FTable(Table) {}
  ~VectorDataSet() override { CloseForDestroy(); }

  bool ReadOnly = false;
  TDataSource* MasterSource = nullptr;
  // Counts GetRecord calls, so that tests can see refetches.
  int32_t Fetches = 0;

  TDataSource* GetDataSource() const override { return MasterSource; }

  // The row id held by window buffer Index (0 .. BufferedRecordCount - 1).
  int32_t IdInBuffer(int32_t Index) const {
    int32_t Id = 0;
    std::memcpy(&Id, Buffers(Index), 4);
    return Id;
  }
  // Row position of the cursor: -1 before the first row, Rows.size() after the last.
  int32_t CursorPos() const { return FPos; }

  using TDataSet::ActiveBuffer;
  using TDataSet::ActiveRecord;
  using TDataSet::BufferCount;
  using TDataSet::BufferedRecordCount;

  // Starts filling a search key: the fields read and write the key buffer until Post or Cancel.
  void EditKey() {
    CheckBrowseMode();
    if (!FKeyBuffer) FKeyBuffer = AllocRecordBuffer();
    InternalInitRecord(FKeyBuffer.get());
    SetState(dsSetKey);
  }

  void SetRecNo(int32_t Value) override {
    CheckBrowseMode();
    if (Value < 1 || Value > static_cast<int32_t>(FTable.Rows.size()) || Value == RecNo()) return;
    DoBeforeScroll();
    FPos = Value - 1;
    Resync(TResyncMode{rmExact, rmCenter});
    DoAfterScroll();
  }

  bool BookmarkValid(const TBookmark& Bookmark) override {
    return Bookmark.size() == 4 && positionOfId(idOf(Bookmark.data())) >= 0;
  }

  int32_t CompareBookmarks(const TBookmark& B1, const TBookmark& B2) override {
    const int32_t p1 = positionOfId(idOf(B1.data())), p2 = positionOfId(idOf(B2.data()));
    return p1 < p2 ? -1 : p1 > p2 ? 1 : 0;
  }

  bool GetFieldData(TField& Field, void* Buffer) override {
    TRecordBuffer Record = recordBuffer();
    if (Record == nullptr) return false;
    if (Field.Calculated()) return GetCalcFieldData(Record + FCalcOffset, Field, Buffer);
    const size_t i = static_cast<size_t>(Field.FieldNo() - 1);
    const uint8_t* p = Record + FOffsets[i];
    if (p[0] != 0) return false;
    if (Buffer != nullptr) std::memcpy(Buffer, p + 1, static_cast<size_t>(FSizes[i]));
    return true;
  }

  void SetFieldData(TField& Field, const void* Buffer) override {
    TRecordBuffer Record = recordBuffer();
    if (Record == nullptr) DatabaseError("no record to write");
    Field.Validate(Buffer);
    if (Field.Calculated()) {
      SetCalcFieldData(Record + FCalcOffset, Field, Buffer);
    } else {
      const size_t i = static_cast<size_t>(Field.FieldNo() - 1);
      uint8_t* p = Record + FOffsets[i];
      p[0] = Buffer == nullptr ? 1 : 0;
      if (Buffer != nullptr) {
        std::memcpy(p + 1, Buffer, static_cast<size_t>(FSizes[i]));
      } else {
        std::memset(p + 1, 0, static_cast<size_t>(FSizes[i]));
      }
    }
    if (State() != dsCalcFields && State() != dsFilter && State() != dsNewValue) DataEvent(deFieldChange, &Field);
  }

  std::unique_ptr<TStream> CreateBlobStream(TField& Field, TBlobStreamMode Mode) override {
    if (ActiveBuffer() == nullptr) return nullptr;
    const size_t i = static_cast<size_t>(Field.FieldNo() - 1);
    std::vector<uint8_t> Initial;
    if (Mode != bmWrite) {
      auto Pending = FPendingBlobs.find(i);
      if (Pending != FPendingBlobs.end()) {
        Initial = Pending->second;
      } else {
        const int32_t Pos = positionOfId(idOf(ActiveBuffer()));
        if (Pos >= 0 && FTable.Rows[static_cast<size_t>(Pos)].Values[i])
          Initial = *FTable.Rows[static_cast<size_t>(Pos)].Values[i];
      }
    }
    return std::make_unique<BlobStream>(*this, Field, Mode, std::move(Initial));
  }

protected:
  TRecordBufferPtr AllocRecordBuffer() override { return TRecordBufferPtr(new uint8_t[FRecordSize]()); }
  int32_t GetRecordSize() override { return FRecordSize; }

  // Moves as GetMode says and fills Buffer; with Filtered set, records OnFilterRecord rejects are
  // skipped (a rejected record at the cursor is none).
  TGetResult GetRecord(TRecordBuffer Buffer, TGetMode GetMode, bool DoCheck) override {
    ++Fetches;
    for (;;) {
      const TGetResult Result = fetch(Buffer, GetMode, DoCheck);
      if (Result != grOK || !Filtered() || accepted(Buffer)) return Result;
      if (GetMode == gmCurrent) {
        if (DoCheck) DatabaseError("no current record");
        return grError;
      }
    }
  }

  TGetResult fetch(TRecordBuffer Buffer, TGetMode GetMode, bool DoCheck) {
    const int32_t n = static_cast<int32_t>(FTable.Rows.size());
    switch (GetMode) {
      case gmNext:
        if (FPos + 1 >= n) {
          FPos = n;
          return grEOF;
        }
        ++FPos;
        break;
      case gmPrior:
        if (FPos <= 0) {
          FPos = -1;
          return grBOF;
        }
        FPos = std::min(FPos, n) - 1;
        break;
      case gmCurrent:
        if (FPos < 0 || FPos >= n) {
          if (DoCheck) DatabaseError("no current record");
          return grError;
        }
        break;
    }
    const Row& r = FTable.Rows[static_cast<size_t>(FPos)];
    InternalInitRecord(Buffer);
    std::memcpy(Buffer, &r.Id, 4);
    for (size_t i = 0; i < FOffsets.size(); ++i) {
      uint8_t* p = Buffer + FOffsets[i];
      p[0] = r.Values[i] ? 0 : 1;
      if (r.Values[i] && FSizes[i] > 0) std::memcpy(p + 1, r.Values[i]->data(), static_cast<size_t>(FSizes[i]));
    }
    SetBookmarkFlag(Buffer, bfCurrent);
    GetCalcFields(Buffer);
    return grOK;
  }

  void InternalOpen() override {
    InternalInitFieldDefs();
    if (DefaultFields()) CreateFields();
    BindFields(true);
    FOffsets.clear();
    FSizes.clear();
    int32_t Offset = 8;
    for (const TFieldDef& Def : FieldDefs()) {
      FOffsets.push_back(Offset);
      FSizes.push_back(nativeSize(Def));
      Offset += 1 + nativeSize(Def);
    }
    FCalcOffset = Offset;
    FRecordSize = Offset + CalcFieldsSize();
    SetBookmarkSize(4);
    FPos = -1;
    FOpen = true;
  }

  void InternalClose() override {
    FKeyBuffer.reset();
    BindFields(false);
    if (DefaultFields()) DestroyFields();
    FOpen = false;
  }

  bool IsCursorOpen() const override { return FOpen; }
  void InternalInitFieldDefs() override { FieldDefs() = FTable.Defs; }
  void InternalFirst() override { FPos = -1; }
  void InternalLast() override { FPos = static_cast<int32_t>(FTable.Rows.size()); }

  void InternalInitRecord(TRecordBuffer Buffer) override {
    std::memset(Buffer, 0, static_cast<size_t>(FRecordSize));
    for (int32_t Offset : FOffsets) Buffer[Offset] = 1;
  }

  // A buffer whose row is gone leaves the cursor where it is.
  void InternalSetToRecord(TRecordBuffer Buffer) override {
    const int32_t Pos = positionOfId(idOf(Buffer));
    if (Pos >= 0) FPos = Pos;
  }

  void InternalGotoBookmark(const uint8_t* Bookmark) override {
    const int32_t Pos = positionOfId(idOf(Bookmark));
    FPos = Pos >= 0 ? Pos : static_cast<int32_t>(FTable.Rows.size());
  }

  TBookmarkFlag GetBookmarkFlag(TRecordBuffer Buffer) override { return static_cast<TBookmarkFlag>(Buffer[4]); }
  void SetBookmarkFlag(TRecordBuffer Buffer, TBookmarkFlag Value) override { Buffer[4] = Value; }
  void GetBookmarkData(TRecordBuffer Buffer, uint8_t* Data) override { std::memcpy(Data, Buffer, 4); }
  void SetBookmarkData(TRecordBuffer Buffer, const uint8_t* Data) override { std::memcpy(Buffer, Data, 4); }

  void InternalPost() override {
    TDataSet::InternalPost();
    if (State() == dsEdit) {
      storeRow(FTable.Rows[static_cast<size_t>(FPos)], ActiveBuffer());
    } else {
      insertRow(ActiveBuffer(), false);
    }
    FPendingBlobs.clear();
  }

  void InternalAddRecord(TRecordBuffer Buffer, bool Append) override { insertRow(Buffer, Append); }

  void InternalDelete() override {
    FTable.Rows.erase(FTable.Rows.begin() + FPos);
  }

  void InternalCancel() override { FPendingBlobs.clear(); }

  // The rows may have changed under the cursor: it stays at its position (now the record that
  // followed its own) when its record is gone.
  void InternalRefresh() override { FPos = std::min(FPos, static_cast<int32_t>(FTable.Rows.size())); }
  bool GetCanModify() override { return !ReadOnly; }

  int32_t GetRecNo() override {
    if (ActiveBuffer() == nullptr) return 0;
    if (State() == dsInsert) return static_cast<int32_t>(FTable.Rows.size()) + 1;
    return positionOfId(idOf(ActiveBuffer())) + 1;
  }

  int32_t GetRecordCount() override { return static_cast<int32_t>(FTable.Rows.size()); }

private:
  // A BLOB value being read or written; a written value goes to the record when the stream is
  // destroyed.
  class BlobStream : public TMemoryStream {
  public:
    BlobStream(VectorDataSet& Owner, TField& Field, TBlobStreamMode Mode, std::vector<uint8_t> Bytes)
        : TMemoryStream(std::move(Bytes)), FOwner(Owner), FField(Field), FMode(Mode) {}
    ~BlobStream() override {
      if (FMode != bmRead) FOwner.blobWritten(FField, Bytes());
    }

  private:
    VectorDataSet& FOwner;
    TField& FField;
    TBlobStreamMode FMode;
  };

  static int32_t idOf(const uint8_t* Data) {
    int32_t Id = 0;
    std::memcpy(&Id, Data, 4);
    return Id;
  }

  int32_t positionOfId(int32_t Id) const {
    for (size_t i = 0; i < FTable.Rows.size(); ++i)
      if (FTable.Rows[i].Id == Id) return static_cast<int32_t>(i);
    return -1;
  }

  TRecordBuffer recordBuffer() const {
    switch (State()) {
      case dsCalcFields: return CalcBuffer();
      case dsFilter: return FFilterBuffer;
      case dsSetKey: return FKeyBuffer.get();
      default: return ActiveBuffer();
    }
  }

  bool accepted(TRecordBuffer Buffer) {
    FFilterBuffer = Buffer;
    const bool Accept = DoFilterRecord();
    FFilterBuffer = nullptr;
    return Accept;
  }

  void blobWritten(TField& Field, const std::vector<uint8_t>& Bytes) {
    const size_t i = static_cast<size_t>(Field.FieldNo() - 1);
    FPendingBlobs[i] = Bytes;
    ActiveBuffer()[FOffsets[i]] = Bytes.empty() ? 1 : 0;
    DataEvent(deFieldChange, &Field);
  }

  void storeRow(Row& r, TRecordBuffer Buffer) {
    for (size_t i = 0; i < FOffsets.size(); ++i) {
      const uint8_t* p = Buffer + FOffsets[i];
      if (IsBlobFieldType(FTable.Defs[i].DataType)) {
        auto Pending = FPendingBlobs.find(i);
        if (Pending != FPendingBlobs.end()) r.Values[i] = Pending->second.empty() ? NativeValue() : Pending->second;
        continue;
      }
      r.Values[i] = p[0] != 0 ? NativeValue() : NativeValue(std::vector<uint8_t>(p + 1, p + 1 + FSizes[i]));
    }
  }

  void insertRow(TRecordBuffer Buffer, bool Append) {
    Row r;
    r.Id = FTable.NextId++;
    r.Values.assign(FOffsets.size(), std::nullopt);
    storeRow(r, Buffer);
    const int32_t n = static_cast<int32_t>(FTable.Rows.size());
    const int32_t At = Append ? n : std::clamp(FPos, 0, n);
    FTable.Rows.insert(FTable.Rows.begin() + At, r);
    FPos = At;
  }

  VectorTable& FTable;
  std::vector<int32_t> FOffsets;
  std::vector<int32_t> FSizes;
  std::map<size_t, std::vector<uint8_t>> FPendingBlobs;
  TRecordBuffer FFilterBuffer = nullptr;
  TRecordBufferPtr FKeyBuffer;
  int32_t FCalcOffset = 0;
  int32_t FRecordSize = 8;
  int32_t FPos = -1;
  bool FOpen = false;
};

}  // namespace tesvar::toolkit::test
