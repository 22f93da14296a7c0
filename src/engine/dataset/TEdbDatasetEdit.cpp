// TEdbDataset: inserting, editing, posting, cancelling and deleting records, unique keys, the
// BLOB streams of the current record and the bulk insert.
//
// Every change goes through the table manager with its automatic flushing switched off, so that
// a record and its BLOB values are written to the log together; it is switched on again (and the
// log flushed when due) once the change is complete. The view then already shows the change when
// it reads the index (TEdbIndexView): the cursor is put on the changed record by one lookup of
// its physical number, so a post costs the table manager's own work plus O(log n).

#include "dataset/TEdbBlobStream.h"
#include "dataset/TEdbDataset.h"
#include "dataset/TEdbDataset_internal.h"
#include "platform/Exception.h"
#include "storage/TableFormat.h"
#include "toolkit/Errors.h"

#include <algorithm>
#include <string>

namespace tesvar::dataset {

using namespace toolkit;
using detail::nullFlag;
using detail::setNullFlag;
using storage::GetInt32;
using storage::PutInt32;
using storage::TEdbDataManager;
using storage::TEdbIndex;

namespace {

// Name in double quotes, inner double quotes doubled.
std::string quoted(const std::string& Name) {
  std::string out = "\"";
  for (char c : Name) {
    out += c;
    if (c == '"') out += '"';
  }
  return out + "\"";
}

bool editing(TDataSetState State) { return State == dsEdit || State == dsInsert; }

}  // namespace

// ---- Unique keys ------------------------------------------------------------------------------------

void TEdbDataset::CheckKeyViolation(const uint8_t* Record, int32_t SelfID, const char* Call) {
  TEdbDataManager& m = *FDataManager;
  for (int32_t i = 0; i < m.IndexCount(); ++i) {
    if ((m.Index(i).Header().Options & ixUnique) == 0) continue;
    m.BuildIndex(i);
    const TEdbIndex& index = m.Index(i);
    // The first entry whose key is not below Record's, then every entry with an equal key.
    int32_t low = 0, high = index.Count();
    while (low < high) {
      const int32_t mid = low + (high - low) / 2;
      if (index.CompareKeys(m.GetRecord(index.At(mid)), Record) < 0)
        low = mid + 1;
      else
        high = mid;
    }
    for (int32_t p = low; p < index.Count(); ++p) {
      const uint8_t* other = m.GetRecord(index.At(p));
      if (index.CompareKeys(other, Record) != 0) break;
      if (GetInt32(other + m.DataSize()) != SelfID)
        DatabaseError(std::string(Call) + " - key violation.\r\nTable name = " + quoted(FTableName) +
                      ".\r\nUnique index name = " + quoted(index.Header().Name) + ".");
    }
  }
}

int32_t TEdbDataset::CursorPositionOfID(int32_t RecordID) {
  return FCurrentIDValid && FCurrentID == RecordID ? FCurrentPos : PositionOfID(RecordID);
}

// ---- Posting ------------------------------------------------------------------------------------------

void TEdbDataset::InternalInsert() {
  FreeBlobStreams();
  FInsertPending = true;
}

void TEdbDataset::InternalEdit() {
  // The edit starts from the stored values: streams read before may be stale.
  FreeBlobStreams();
}

void TEdbDataset::InternalCancel() {
  FreeBlobStreams();
  FInsertPending = false;
  if (FBulkInsertActive) {
    FBulkBuffer.reset();
    FBulkInsertActive = false;
  }
}

void TEdbDataset::InternalPost() {
  if (!FBulkInsertActive) TDataSet::InternalPost();
  if (FReadOnly) throw Exception("Error in TEdbDataSet.InternalPost - table is read only.");
  if (!FTableOpen) throw Exception("Error in TEdbDataSet.InternalPost - table is not open.");
  if (!editing(State())) throw Exception("Error in TEdbDataSet.InternalPost - invalid state.");
  TRecordBuffer record = GetActiveRecordBuffer();
  if (record == nullptr) throw Exception("Error in TEdbDataSet.InternalPost - 0 pointer to buffer.");
  RefreshViewIfStale();
  if (State() == dsInsert)
    PostNewRecord(record, "TEdbDataSet.InternalPost");
  else
    PostEditedRecord(record);
  FInsertPending = false;
}

void TEdbDataset::InternalAddRecord(TRecordBuffer Buffer, bool Append) {
  // The new record's place follows from the current index.
  (void)Append;
  if (Buffer == nullptr) throw Exception("Error in TEdbDataSet.InternalAddRecord - 0 pointer to Buffer.");
  if (FReadOnly) throw Exception("Error in TEdbDataSet.InternalAddRecord - table is read only.");
  if (!FTableOpen) throw Exception("Error in TEdbDataSet.InternalPost - table is not open.");
  RefreshViewIfStale();
  PostNewRecord(Buffer, "TEdbDataSet.InternalAddRecord");
  FInsertPending = false;
}

void TEdbDataset::PostNewRecord(uint8_t* Record, const char* Call) {
  TEdbDataManager& m = *FDataManager;
  // The ID the insert assigns, so that the check sees the record as it will be stored.
  PutInt32(Record + m.DataSize(), m.TableHeader().LastAutoInc + 1);
  CheckKeyViolation(Record, GetInt32(Record + m.DataSize()), Call);
  const int32_t recNo = m.RecordCount();
  m.DisableAutoFlush();
  try {
    if (m.HasBLOBFields()) {
      m.edAddBLOBRecord();
      try {
        WriteBlobStreams(Record, recNo);
        (void)m.edInsertRecord(Record, FCurrentIndexNo);
      } catch (...) {
        // The group goes again with the values written to it.
        try {
          m.edDeleteBLOBRecord(recNo);
        } catch (...) {
        }
        throw;
      }
    } else {
      (void)m.edInsertRecord(Record, FCurrentIndexNo);
    }
  } catch (...) {
    m.EnableAutoFlush(false);
    throw;
  }
  FreeBlobStreams();
  PutInt32(Record + FRecordSize, GetInt32(Record + m.DataSize()));
  FInsertPending = false;
  CursorToChanged(recNo, -1);
  EndChange();
}

void TEdbDataset::PostEditedRecord(uint8_t* Record) {
  TEdbDataManager& m = *FDataManager;
  const int32_t id = GetInt32(Record + m.DataSize());
  const int32_t position = CursorPositionOfID(id);
  const int32_t recNo = position >= 0 ? FView->At(position) : PhysRecNoOfID(id);
  if (recNo < 0) {
    // Deleted elsewhere since the edit began: nothing is overwritten.
    if (m.HasBLOBFields())
      throw Exception("Error in TEdbDataSet.edWriteBLOBValue - error while detecting physical position, tPos = " +
                      std::to_string(position));
    throw Exception("Error in TEdbDataSet.InternalPost - record not found, ID = " + std::to_string(id) + ".");
  }
  CheckKeyViolation(Record, id, "TEdbDataSet.InternalPost");
  m.DisableAutoFlush();
  try {
    if (m.HasBLOBFields()) WriteBlobStreams(Record, recNo);
    (void)m.edUpdateRecord(Record, FCurrentIndexNo, recNo);
  } catch (...) {
    m.EnableAutoFlush(false);
    throw;
  }
  FreeBlobStreams();
  CursorToChanged(recNo, position);
  EndChange();
}

void TEdbDataset::CursorToChanged(int32_t PhysRecNo, int32_t FormerPos) {
  if (FView != nullptr && FView->FollowsTable()) {
    FDataManager->BuildIndex(FCurrentIndexNo);
    FViewChangeCount = FDataManager->TableHeader().ChangeCount;
    SetCursorTo(FView->PositionOf(PhysRecNo), FDataManager->GetRecord(PhysRecNo));
    return;
  }
  if (TEdbFilteredView* view = FilteredView(); view != nullptr) {
    // The view was current before this change (the post refreshed it), and a post keeps every
    // other record's number: only the changed record's entry can move. It leaves the view, then
    // comes back at its place in index order when the filter accepts it now.
    FDataManager->BuildIndex(FCurrentIndexNo);
    const storage::TEdbIndex& index = FDataManager->Index(FCurrentIndexNo);
    const int32_t former = view->PositionOf(PhysRecNo);
    if (former >= 0) view->Remove(former);
    if (IsRecordVisible(FDataManager->GetRecord(PhysRecNo), false)) {
      const int32_t indexPos = index.FindRecord(PhysRecNo);
      int32_t low = 0;
      int32_t high = view->Count();
      while (low < high) {
        const int32_t mid = low + (high - low) / 2;
        if (index.FindRecord(view->At(mid)) < indexPos)
          low = mid + 1;
        else
          high = mid;
      }
      view->Insert(low, PhysRecNo);
    }
    FViewChangeCount = FDataManager->TableHeader().ChangeCount;
  } else {
    // Another view that keeps its own array (distinct values): this dataset cannot test one
    // record against its conditions, so the view is made again (the cursor follows the record
    // that was current).
    RebuildView();
  }
  // The cursor goes to the changed record when the view shows it; an edited record that left
  // the view leaves the cursor at the place it had.
  const int32_t position = FView != nullptr ? FView->PositionOf(PhysRecNo) : -1;
  if (position >= 0)
    SetCursorTo(position, FDataManager->GetRecord(PhysRecNo));
  else if (FormerPos >= 0)
    SetCursor(std::min(FormerPos, ViewCount() - 1));
}

void TEdbDataset::EndChange() {
  try {
    FDataManager->EnableAutoFlush(true);
  } catch (...) {
    // The change is in the table: the dataset shows it before the flush's error goes on.
    FBulkBuffer.reset();
    FBulkInsertActive = false;
    try {
      if (editing(State())) SetState(dsBrowse);
      CursorPosChanged();
      Resync({});
    } catch (...) {
    }
    throw;
  }
}

// ---- Deleting -------------------------------------------------------------------------------------------

void TEdbDataset::InternalDelete() {
  if (FReadOnly) throw Exception("Error in TEdbDataSet.InternalDelete - table is read only.");
  if (!FTableOpen) throw Exception("Error in TEdbDataSet.InternalDelete - table is not open.");
  RefreshViewIfStale();
  const int32_t count = ViewCount();
  if (count == 0) throw Exception("Error in TEdbDataSet.InternalDelete - no records in table.");
  TEdbDataManager& m = *FDataManager;
  // The active record, else the one at the cursor.
  int32_t position = std::clamp(FCurrentPos, 0, count - 1);
  if (TRecordBuffer record = GetActiveRecordBuffer(); record != nullptr) {
    // A record shown here but deleted through another dataset is not there to delete: the
    // record that took its place in the view must not go instead.
    const int32_t id = GetInt32(record + m.DataSize());
    position = CursorPositionOfID(id);
    if (position < 0)
      throw Exception("Error in TEdbDataSet.InternalDelete - record not found, ID = " + std::to_string(id) + ".");
  }
  const int32_t deleted = FView->At(position);
  const int32_t last = m.RecordCount() - 1;
  const bool follows = FView->FollowsTable();
  // The table moves its last record into the deleted one's number.
  const int32_t lastPosition = !follows && deleted < last ? FView->PositionOf(last) : -1;
  m.DisableAutoFlush();
  try {
    (void)m.edDeleteRecord(FCurrentIndexNo, deleted);
    if (m.HasBLOBFields()) m.edDeleteBLOBRecord(deleted);
  } catch (...) {
    m.EnableAutoFlush(false);
    throw;
  }
  FreeBlobStreams();
  // The deleted record's entry goes first, so that the view never shows one number twice; the
  // last record's entry then takes the number it moved to.
  if (!follows &&
      !(FView->Remove(position) &&
        (lastPosition < 0 || FView->Replace(lastPosition > position ? lastPosition - 1 : lastPosition, deleted))))
    RebuildView();
  FViewChangeCount = m.TableHeader().ChangeCount;
  SetCursor(ViewCount() == 0 ? -1 : std::min(position, ViewCount() - 1));
  if (GetActiveRecordBuffer() != nullptr) RefreshCurrentBuffer();
  EndChange();
}

// ---- Bulk insert ----------------------------------------------------------------------------------------

void TEdbDataset::BeginBulkInsert() {
  CheckActive();
  FBulkBuffer.reset();
  FreeBlobStreams();
  FBulkBuffer = AllocRecordBuffer();
  InternalInitRecord(FBulkBuffer.get());
  FInsertPending = true;
  FBulkInsertActive = true;
  SetState(dsInsert);
}

void TEdbDataset::EndBulkInsert() {
  if (!FBulkInsertActive) return;
  InternalPost();
  FBulkBuffer.reset();
  FBulkInsertActive = false;
  CursorPosChanged();
  SetState(dsBrowse);
}

// ---- BLOB streams ---------------------------------------------------------------------------------------

std::unique_ptr<TStream> TEdbDataset::CreateBlobStream(TField& Field, TBlobStreamMode Mode) {
  if (Mode != bmRead && FReadOnly) throw Exception("Error in TEdbDataset.CreateBlobStream - Dataset is read only!");
  return std::make_unique<TEdbBlobStream>(*this, Field, Mode);
}

TMemoryStream* TEdbDataset::InternalCreateBLOBStream(TField& Field, TBlobStreamMode Mode) {
  TRecordBuffer record = GetActiveRecordBuffer();
  if (record == nullptr) return nullptr;
  if (!FTableOpen) throw Exception("Error in TEdbDataSet.InternalCreateBLOBStream - table is not opened.");
  const int32_t k = TableFieldNo(Field);
  if (Field.Calculated() || FBlobStreams.empty() || k < 0 || k >= static_cast<int32_t>(FBlobStreams.size()) ||
      !IsBlobFieldType(FDataManager->FieldHeaders()[static_cast<size_t>(k)].FieldType))
    return nullptr;
  const int32_t dataSize = FDataManager->DataSize();
  const int32_t id = GetInt32(record + dataSize);
  // The streams belong to one record.
  if (id != FBlobRecordID) {
    FreeBlobStreams();
    FBlobRecordID = id;
  }
  const bool keep = editing(State()) || FBulkInsertActive;
  TBlobEntry& entry = FBlobStreams[static_cast<size_t>(k)];
  const bool fresh = entry.Stream == nullptr || !keep;
  if (fresh) entry.Stream = std::make_unique<TMemoryStream>();
  if (Mode == bmWrite) {
    entry.Stream->Clear();
  } else if (fresh && State() != dsInsert && !FBulkInsertActive && !nullFlag(record, dataSize, k)) {
    RefreshViewIfStale();
    // The cursor's record is the one the buffer nearly always holds: its number needs no search.
    const int32_t position = FView != nullptr ? CursorPositionOfID(id) : -1;
    const int32_t recNo = position >= 0 ? FView->At(position) : PhysRecNoOfID(id);
    if (recNo >= 0) FDataManager->ReadBLOBValue(*entry.Stream, k, recNo);
  }
  entry.Mode = Mode;
  entry.Stream->SetPosition(0);
  return entry.Stream.get();
}

void TEdbDataset::CloseBlob(TField& Field) {
  TRecordBuffer record = GetActiveRecordBuffer();
  const int32_t k = TableFieldNo(Field);
  if (record == nullptr || !FTableOpen || Field.Calculated() || k < 0 || k >= static_cast<int32_t>(FBlobStreams.size()))
    return;
  const TBlobEntry& entry = FBlobStreams[static_cast<size_t>(k)];
  if (entry.Stream != nullptr) setNullFlag(record, FDataManager->DataSize(), k, entry.Stream->Size() == 0);
}

void TEdbDataset::BlobStreamClosed(TField& Field, bool Modified) {
  if (Modified) DataEvent(deFieldChange, &Field);
  CloseBlob(Field);
}

void TEdbDataset::BlobFieldCleared(int32_t FieldNo) {
  TRecordBuffer record = GetActiveRecordBuffer();
  if (record == nullptr || FieldNo >= static_cast<int32_t>(FBlobStreams.size()) ||
      !(editing(State()) || FBulkInsertActive))
    return;
  const int32_t id = GetInt32(record + FDataManager->DataSize());
  if (id != FBlobRecordID) {
    FreeBlobStreams();
    FBlobRecordID = id;
  }
  // An empty stream: the post removes the stored value.
  TBlobEntry& entry = FBlobStreams[static_cast<size_t>(FieldNo)];
  entry.Stream = std::make_unique<TMemoryStream>();
  entry.Mode = bmWrite;
}

void TEdbDataset::WriteBlobStreams(uint8_t* Record, int32_t RecNo) {
  const int32_t dataSize = FDataManager->DataSize();
  for (size_t k = 0; k < FBlobStreams.size(); ++k) {
    TMemoryStream* stream = FBlobStreams[k].Stream.get();
    if (stream == nullptr) continue;
    FDataManager->WriteBLOBValue(*stream, static_cast<int32_t>(k), RecNo);
    setNullFlag(Record, dataSize, static_cast<int32_t>(k), stream->Size() == 0);
  }
}

void TEdbDataset::FreeBlobStreams() {
  for (TBlobEntry& entry : FBlobStreams) entry.Stream.reset();
  FBlobRecordID = 0;
}

}  // namespace tesvar::dataset
