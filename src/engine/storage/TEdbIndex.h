#pragma once
// The in-memory indexes of a table: for each index its header (as stored in T.idx) and the
// record numbers of the table in key order, compared through the records themselves.
//
// TEdbIndex is the element of the index list; TEdbDataManager keeps it in step with every
// insert, update and delete through RecordInserted / RecordUpdated / RecordDeleted. The entries
// sit behind that narrow interface so that their container can change without touching callers.

#include "storage/TedIntArray.h"
#include "toolkit/FieldType.h"

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace tesvar::storage {

// The header of one index (T.idx layout: TableFormat.h).
struct TIndexHeader {
  std::string Name;
  std::vector<int32_t> FieldNos;      // -1 = the record-ID field
  std::vector<uint8_t> AscendingBits;  // (FieldCount + 7) div 8 bytes; bit set = ascending
  std::vector<uint8_t> CaseInsBits;    // bit set = case-insensitive
  bool AllCaseInsensitive = false;
  bool AllDescending = false;
  uint8_t Options = 0;

  int32_t FieldCount() const { return static_cast<int32_t>(FieldNos.size()); }
  bool Ascending(int32_t Part) const { return !AllDescending && (AscendingBits[static_cast<size_t>(Part / 8)] >> (Part % 8)) & 1; }
  bool CaseInsensitive(int32_t Part) const {
    return AllCaseInsensitive || ((CaseInsBits[static_cast<size_t>(Part / 8)] >> (Part % 8)) & 1);
  }
  bool Temporary() const { return !Name.empty() && Name[0] == '$'; }
};

// Where an index finds the records it orders.
class IRecordSource {
public:
  virtual ~IRecordSource() = default;
  // The record's bytes (valid until the next call).
  virtual const uint8_t* IndexRecord(int32_t RecNo) = 0;
};

// The record layout an index compares: field types, offsets and sizes, the ID and null-flag
// offsets.
struct TKeyLayout {
  std::vector<toolkit::TFieldType> Types;
  std::vector<int32_t> Offsets;
  std::vector<int32_t> Sizes;
  int32_t IdOffset = 0;    // DataSize
  int32_t NullOffset = 0;  // DataSize + 4
};

class TEdbIndex {
public:
  TEdbIndex(TIndexHeader Header, const TKeyLayout& Layout);

  const TIndexHeader& Header() const { return FHeader; }
  bool Built() const { return FBuilt; }
  void SetBuilt(bool Value) { FBuilt = Value; }
  int32_t Count() const { return FEntries.Count(); }
  int32_t At(int32_t Position) const { return FEntries[Position]; }
  // The entries as stored in T.idx.
  const int32_t* Data() const { return FEntries.Data(); }
  // Takes Count entries read from T.idx; the index counts as built.
  void Assign(const int32_t* Entries, int32_t Count);

  // Key comparison of record A with record B: < 0, 0, > 0.
  int32_t CompareKeys(const uint8_t* A, const uint8_t* B) const;
  // The position at which Record would be inserted.
  int32_t InsertPosition(const uint8_t* Record, IRecordSource& Records) const;
  // Position of RecNo (whose bytes are Record), or -1.
  int32_t FindRecord(int32_t RecNo, const uint8_t* Record, IRecordSource& Records) const;
  // Sorts 0 .. RecordCount - 1 into key order unless built.
  void Build(int32_t RecordCount, IRecordSource& Records);

  // Maintenance: the positions in this index (see TEdbDataManager for the results callers see).
  int32_t RecordInserted(int32_t RecNo, const uint8_t* Record, IRecordSource& Records);
  // OldRecord: the record's bytes before the update.
  int32_t RecordUpdated(int32_t RecNo, const uint8_t* OldRecord, const uint8_t* NewRecord, IRecordSource& Records);
  // RecNo is deleted and record LastRecNo takes its number. Returns the position LastRecNo had
  // (0 when RecNo was the last record); -2 / -3 when RecNo / LastRecNo is not found.
  int32_t RecordDeleted(int32_t RecNo, const uint8_t* Record, int32_t LastRecNo, const uint8_t* LastRecord,
                        IRecordSource& Records);

private:
  int32_t ComparePart(int32_t Part, const uint8_t* A, const uint8_t* B) const;

  TIndexHeader FHeader;
  TKeyLayout FLayout;
  TedIntArray FEntries;
  bool FBuilt = false;
};

}  // namespace tesvar::storage
