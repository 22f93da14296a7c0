#include "dataset/TEdbDataset.h"
#include "dataset/TEdbDataset_internal.h"

#include "platform/AnsiCase.h"
#include "platform/Exception.h"
#include "storage/StorageEngine.h"
#include "storage/TableFormat.h"
#include "toolkit/Conversions.h"
#include "toolkit/TMemoryStream.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <new>

namespace tesvar::dataset {

using namespace toolkit;
using storage::GetInt32;
using storage::PutInt32;
using storage::TEdbDataManager;
using storage::TEdbIndex;
using storage::TIndexHeader;
using detail::nullFlag;
using detail::setNullFlag;

namespace {

// Offsets past the stored record in a record buffer.
constexpr int32_t kBookmarkOffset = 0;
constexpr int32_t kFlagOffset = storage::kRecordIdSize;
constexpr int32_t kBookmarkSize = 8;
// How many records ahead of a walk its records and their BLOB directory entries are asked for
// (PrefetchAhead): far enough for memory to answer before the walk gets there.
constexpr int32_t kPrefetchRecordDistance = 8;
constexpr int32_t kPrefetchHeaderDistance = 4;
constexpr int32_t kPrefetchPartsDistance = 2;
constexpr double kMsPerDay = 86400000.0;
// The table manager's open result for an encrypted table opened without a password (the managers
// of this engine report a missing password as a wrong one).
constexpr int32_t kNoPasswordResult = -2;

// A date value without a date: day number 0 (ftDate) or a date part of 0 (ftDateTime).
bool emptyDate(TFieldType Type, const uint8_t* Value) {
  if (Type == ftDate) {
    int32_t day;
    std::memcpy(&day, Value, 4);
    return day == 0;
  }
  if (Type == ftDateTime) {
    double stamp;
    std::memcpy(&stamp, Value, 8);
    return std::trunc(stamp / kMsPerDay) == 0;
  }
  return false;
}

// Field-name lists compared item by item in lower case; Prefix: Want may be a leading part.
bool sameFieldList(const std::vector<std::string>& Want, const std::vector<std::string>& Have, bool Prefix) {
  if (Want.empty() || Have.size() < Want.size() || (!Prefix && Have.size() != Want.size())) return false;
  for (size_t i = 0; i < Want.size(); ++i)
    if (platform::AnsiLowerCase(Want[i]) != platform::AnsiLowerCase(Have[i])) return false;
  return true;
}

// The first position among Count whose record ID (IdAt) is not below RecordID, in an order
// ascending by record ID. Record IDs are distinct integers, so the IDs at the ends bound where
// RecordID can be, and the probes interpolate between the IDs found: a table whose IDs have no
// gaps needs one probe inside, one with few gaps a handful. A probe that does not halve the range
// is followed by a halving one, so that no distribution of IDs costs more than twice the
// probes of a plain binary search.
template <class TIdAt>
int32_t lowerBoundByID(int32_t Count, int32_t RecordID, TIdAt&& IdAt) {
  if (Count <= 0) return 0;
  const int64_t want = RecordID;
  int64_t low = 0, high = Count - 1;
  int64_t lowID = IdAt(0);
  if (want <= lowID) return 0;
  int64_t highID = IdAt(Count - 1);
  if (want > highID) return Count;
  if (want == highID) return Count - 1;
  // ID(low) < want < ID(high) from here on.
  bool halve = false;
  while (high - low > 1) {
    const int64_t span = high - low;
    int64_t mid = halve ? low + span / 2
                       : low + static_cast<int64_t>(static_cast<double>(want - lowID) / static_cast<double>(highID - lowID) *
                                                    static_cast<double>(span));
    mid = std::clamp(mid, low + 1, high - 1);
    const int64_t id = IdAt(static_cast<int32_t>(mid));
    if (id == want) return static_cast<int32_t>(mid);
    if (id < want) {
      low = mid;
      lowID = id;
    } else {
      high = mid;
      highID = id;
    }
    halve = !halve && 2 * (high - low) > span;
  }
  return static_cast<int32_t>(high);
}

}  // namespace

TEdbDataset::TEdbDataset() = default;

TEdbDataset::~TEdbDataset() { CloseForDestroy(); }

// ---- Properties ---------------------------------------------------------------------------------

void TEdbDataset::SetDatabaseName(const std::string& Value) {
  SetActive(false);
  FDatabaseName = Value;
  if (!Value.empty()) FDatabaseFileName.clear();
}

void TEdbDataset::SetDatabaseFileName(const std::string& Value) {
  SetActive(false);
  FDatabaseFileName = Value;
  if (!Value.empty()) FDatabaseName.clear();
}

void TEdbDataset::SetTableName(const std::string& Value) {
  const size_t dot = Value.rfind('.');
  FTableName = dot == std::string::npos ? Value : Value.substr(0, dot);
}

// ---- The table connection -----------------------------------------------------------------------

void TEdbDataset::OpenTable() {
  const std::string name = !FDatabaseFileName.empty() ? FDatabaseFileName : FDatabaseName;
  FDatabase = storage::FindDatabaseComponent(name);
  try {
    if (FDatabase != nullptr) FDatabase->SetConnected(true);
    FDatabaseManager = &storage::edGetDatabaseManager(name, this);
  } catch (...) {
    FDatabase = nullptr;
    FDatabaseManager = nullptr;
    throw;
  }
  FDatabaseManager->AttachDataset(*this);
  // Undoes the connection so far: the table manager goes when no dataset uses it, the database
  // manager lets the dataset go.
  const auto release = [this] {
    auto& managers = storage::Registries().DataManagers;
    managers.erase(std::remove_if(managers.begin(), managers.end(),
                                  [this](const auto& m) { return m.get() == FDataManager && m->Datasets().empty(); }),
                   managers.end());
    storage::TEdbDatabaseManager* databaseManager = FDatabaseManager;
    FDataManager = nullptr;
    FDatabaseManager = nullptr;
    FDatabase = nullptr;
    FTableOpen = false;
    databaseManager->DetachDataset(*this);
  };
  int32_t result;
  try {
    FDataManager = &storage::edGetDataManager(FTableName, FDatabaseManager);
    result = FDataManager->ConnectDataset(*this);
  } catch (...) {
    release();
    throw;
  }
  if (result != storage::otrOk) {
    release();
    switch (result) {
      case storage::otrNoDataFile:
        throw Exception("TEdbDataset.OpenTable - table \"" + FTableName + "\" does not exist.");
      case storage::otrBadPassword: throw Exception("TEdbDataset.OpenTable - invalid password.");
      case kNoPasswordResult: throw Exception("TEdbDataset.OpenTable - no password specified.");
      case storage::otrCannotOpen: throw Exception("TEdbDataset.OpenTable - some table files are missed or locked.");
      default: throw Exception("TEdbDataset.OpenTable - error.");
    }
  }
  FTableOpen = true;
  FFilterParser.SetTable(FDataManager);
  FFindParser.SetTable(FDataManager);
  FFindList.clear();
  FFindPos = -1;
  SetBookmarkSize(kBookmarkSize);
  FRecordSize = FDataManager->RecordSize();
  FBlankRecord = FDataManager->NewRecordBuffer();
  FView.reset();
  FViewBuilt = false;
  FCurrentIndexNo = 0;
  if (FBuildIndexDefsOnOpen) RebuildIndexDefs();
  FCurrentPos = -1;
  FCurrentIDValid = false;
  FAtEnd = false;
  FCursorGap = false;
  FInsertPending = false;
  FRefreshingCurrent = false;
  FBlobStreams.clear();
  if (FDataManager->HasBLOBFields()) FBlobStreams.resize(FDataManager->FieldHeaders().size());
}

void TEdbDataset::DisconnectTable() {
  TEdbDataManager* dataManager = FDataManager;
  storage::TEdbDatabaseManager* databaseManager = FDatabaseManager;
  FDataManager = nullptr;
  FDatabaseManager = nullptr;
  FDatabase = nullptr;
  FIndexChosen = false;
  FTableOpen = false;
  FFilterParser.SetTable(nullptr);
  FFindParser.SetTable(nullptr);
  FFindList.clear();
  FView.reset();
  FBlobStreams.clear();
  FBulkBuffer.reset();
  FBulkInsertActive = false;
  FCurrentPos = -1;
  FCurrentIDValid = false;
  FAtEnd = false;
  FCursorGap = false;
  // The table's close error (raised after it closed) comes after the database manager let go.
  try {
    if (dataManager != nullptr) dataManager->DisconnectDataset(*this);
  } catch (...) {
    if (databaseManager != nullptr) databaseManager->DetachDataset(*this);
    throw;
  }
  if (databaseManager != nullptr) databaseManager->DetachDataset(*this);
}

// ---- Open and close -------------------------------------------------------------------------------

void TEdbDataset::InternalOpen() {
  if (!FKeepTableOpen) OpenTable();
  FTableOpen = true;
  InternalInitFieldDefs();
  if (DefaultFields()) CreateFields();
  BindFields(true);
  FRecordBufferSize = FRecordSize + storage::kDatasetBufferExtra + CalcFieldsSize();

  // The index asked for, when it names one exactly; else index 0.
  FCurrentIndexNo = 0;
  bool applied = false;
  if (!FIndexName.empty()) {
    for (size_t i = 0; i < FIndexDefs.size() && !applied; ++i) {
      if (platform::AnsiLowerCase(FIndexDefs[i].Name) == platform::AnsiLowerCase(FIndexName)) {
        FIndexFieldNames.clear();
        FCurrentIndexNo = static_cast<int32_t>(i);
        applied = true;
      }
    }
  } else if (!FIndexFieldNames.empty()) {
    const std::vector<std::string> want = SplitFieldNames(FIndexFieldNames);
    for (size_t i = 0; i < FIndexDefs.size() && !applied; ++i) {
      if (sameFieldList(want, SplitFieldNames(FIndexDefs[i].Fields), false)) {
        FCurrentIndexNo = static_cast<int32_t>(i);
        applied = true;
      }
    }
  }
  if (!applied) {
    FIndexName.clear();
    FIndexFieldNames.clear();
  }
  if (FCurrentIndexNo >= FDataManager->IndexCount()) FCurrentIndexNo = 0;
  FIndexChosen = true;

  FKeyBuffer = AllocRecordBuffer();
  InternalInitRecord(FKeyBuffer.get());
  RebuildView();
}

void TEdbDataset::InternalClose() {
  FKeyBuffer.reset();
  BindFields(false);
  if (DefaultFields()) DestroyFields();
  if (FTableOpen && !FKeepTableOpen) DisconnectTable();
  FFieldMapActive = false;
}

void TEdbDataset::InternalInitFieldDefs() {
  if (FFieldMapActive) return;
  const bool connect = !FTableOpen;
  if (connect) OpenTable();
  try {
    FieldDefs().clear();
    for (const storage::TFieldHeader& h : FDataManager->FieldHeaders())
      FieldDefs().push_back({h.Name, h.FieldType, detail::definitionSize(h), h.Required});
    FieldDefs().push_back({FDataManager->TableHeader().IDFieldName, ftAutoInc, 0, false});
  } catch (...) {
    if (connect) DisconnectTable();
    throw;
  }
  if (connect) DisconnectTable();
}

// ---- Indexes ----------------------------------------------------------------------------------------

void TEdbDataset::RebuildIndexDefs() {
  const bool connect = !FTableOpen;
  if (connect) OpenTable();
  // Cleared only now: opening the table may have filled them already.
  FIndexDefs.clear();
  FVisibleIndexDefs.clear();
  try {
    const std::string& idName = FDataManager->TableHeader().IDFieldName;
    const auto& fields = FDataManager->FieldHeaders();
    for (int32_t i = 0; i < FDataManager->IndexCount(); ++i) {
      const TIndexHeader& h = FDataManager->Index(i).Header();
      TIndexDef def;
      def.Name = h.Name;
      uint8_t options = 0;
      if (h.AllCaseInsensitive) options |= ixCaseInsensitive;
      if (h.AllDescending) options |= ixDescending;
      if (h.FieldCount() > 0 && h.FieldNos[0] == -1) options |= ixPrimary;
      if (h.Options & ixUnique) options |= ixUnique;
      def.Options = TIndexOptions::FromBits(options);
      const auto join = [](std::string& List, const std::string& Name) {
        if (!List.empty()) List += ';';
        List += Name;
      };
      for (int32_t part = 0; part < h.FieldCount(); ++part) {
        const int32_t no = h.FieldNos[static_cast<size_t>(part)];
        const std::string& name = no == -1 ? idName : fields[static_cast<size_t>(no)].Name;
        join(def.Fields, name);
        if (h.CaseInsensitive(part)) join(def.CaseInsFields, name);
        if (no != -1 && !h.Ascending(part)) join(def.DescFields, name);
      }
      FIndexDefs.push_back(def);
      if (def.Name.empty() || (def.Name[0] != storage::kAutoIndexPrefix && def.Name[0] != storage::kTemporaryIndexPrefix))
        FVisibleIndexDefs.push_back(def);
    }
  } catch (...) {
    if (connect) DisconnectTable();
    throw;
  }
  if (connect) DisconnectTable();
}

void TEdbDataset::UpdateIndexDefs() {
  if (FTableOpen) FBuildIndexDefsOnOpen = true;
  RebuildIndexDefs();
}

void TEdbDataset::SetIndexName(const std::string& Value) {
  FIndexName = Value;
  FIndexFieldNames.clear();
  if (!FTableOpen) return;
  ResetToFirstIndex();
  if (!Value.empty()) OpenIndex(Value, -1);
}

void TEdbDataset::SetIndexFieldNames(const std::string& Value) {
  FIndexFieldNames = Value;
  FIndexName.clear();
  if (!FTableOpen) return;
  ResetToFirstIndex();
  if (Value.empty()) return;
  const std::vector<std::string> want = SplitFieldNames(Value);
  for (size_t i = 0; i < FIndexDefs.size() && !want.empty(); ++i) {
    if (sameFieldList(want, SplitFieldNames(FIndexDefs[i].Fields), true)) {
      OpenIndex("", static_cast<int32_t>(i));
      return;
    }
  }
  FIndexFieldNames.clear();
}

void TEdbDataset::ResetToFirstIndex() {
  FIndexChosen = true;
  FCurrentIndexNo = 0;
  ViewOrderChanged();
}

void TEdbDataset::OpenIndex(const std::string& Name, int32_t Number) {
  if (!FTableOpen) throw Exception("Error in TEdbDataSet.OpenIndex - table is not opened.");
  const int32_t count = FDataManager->IndexCount();
  if (count == 0) throw Exception("Error in TEdbDataSet.OpenIndex - empty index header list.");
  int32_t no = -1;
  if (Number == -1) {
    for (int32_t i = 0; i < count && no < 0; ++i)
      if (platform::AnsiLowerCase(FDataManager->Index(i).Header().Name) == platform::AnsiLowerCase(Name)) no = i;
    if (no < 0) throw Exception("Error in TEdbDataSet.OpenIndex - index \"" + Name + "\" not found!");
  } else {
    if (Number < 0 || Number >= count)
      throw Exception("Error in TEdbDataSet.OpenIndex - index number \"" + std::to_string(Number) + "\" not found!");
    no = Number;
  }
  FCurrentIndexNo = no;
  FIndexChosen = true;
  ViewOrderChanged();
}

void TEdbDataset::ViewOrderChanged() {
  FView.reset();
  RebuildView();
  if (Active() && State() == dsBrowse) {
    RefreshCurrentBuffer();
    Resync(TResyncMode{});
  }
}

TField& TEdbDataset::GetIndexField(int32_t I) {
  const TIndexHeader* h = FTableOpen && FCurrentIndexNo < FDataManager->IndexCount()
                              ? &FDataManager->Index(FCurrentIndexNo).Header()
                              : nullptr;
  if (h == nullptr || I < 0 || I >= h->FieldCount())
    throw Exception("Error in TEdbDataSet.GetIndexField - invalid index, index = " + std::to_string(I) + ".");
  const int32_t no = h->FieldNos[static_cast<size_t>(I)];
  TField* field = FieldOfTableField(no);
  if (field == nullptr) {
    const int32_t fieldNo = no == -1 ? FDataManager->TableHeader().FieldCount + 1 : no + 1;
    throw Exception("Error in TEdbDataSet.GetIndexField - no such field, FieldNo = " + std::to_string(fieldNo) + ".");
  }
  return *field;
}

// ---- The view -------------------------------------------------------------------------------------

void TEdbDataset::RefreshViewIfStale() {
  if (FTableOpen && (!FViewBuilt || FDataManager->TableHeader().ChangeCount != FViewChangeCount)) RebuildView();
}

void TEdbDataset::RebuildView() {
  if (!FTableOpen) return;
  FViewBuilt = true;
  if (FDataManager->IndexCount() == 0) {
    FView.reset();
  } else {
    if (FCurrentIndexNo >= FDataManager->IndexCount()) FCurrentIndexNo = 0;
    FDataManager->BuildIndex(FCurrentIndexNo);
    // The filter's bit set, when a filter is in force, and the restriction's, for the views
    // that drop records.
    const TBitsArray* visible = nullptr;
    if (FilterActive()) {
      CompileFilter();
      visible = &FFilterParser.Parse();
    }
    TBitsArray both;
    if (const TBitsArray* restriction = RestrictionBits()) {
      if (visible != nullptr) {
        both = *visible;
        both.And(*restriction);
        visible = &both;
      } else {
        visible = restriction;
      }
    }
    if (!FDistinctFields.empty())
      FView = MakeDistinctView(visible);
    else if (visible != nullptr)
      FView = std::make_unique<TEdbFilteredView>(FDataManager->Index(FCurrentIndexNo), *visible);
    else if (!FView || dynamic_cast<TEdbIndexView*>(FView.get()) == nullptr)
      FView = std::make_unique<TEdbIndexView>(*FDataManager, FCurrentIndexNo);
  }
  FViewChangeCount = FDataManager->TableHeader().ChangeCount;
  if (FCurrentIDValid) {
    const int32_t position = PositionOfID(FCurrentID);
    if (position >= 0) {
      SetCursorTo(position, FDataManager->GetRecord(FView->At(position)));
    } else {
      const std::vector<uint8_t> gone = FCursorRecord;
      SetCursorToGap(gone.data());
    }
  } else if (FCursorGap) {
    const std::vector<uint8_t> gone = FCursorRecord;
    SetCursorToGap(gone.data());
  } else if (FAtEnd) {
    SetCursor(ViewCount());
  } else {
    SetCursor(std::min(FCurrentPos, ViewCount()));
  }
}

void TEdbDataset::SetCursor(int32_t Position) {
  const int32_t count = ViewCount();
  FCursorGap = false;
  if (Position < 0) {
    FCurrentPos = -1;
    FCurrentIDValid = false;
    FAtEnd = false;
  } else if (Position >= count) {
    FCurrentPos = count;
    FCurrentIDValid = false;
    FAtEnd = true;
  } else {
    SetCursorTo(Position, FDataManager->GetRecord(FView->At(Position)));
  }
}

void TEdbDataset::SetCursorTo(int32_t Position, const uint8_t* Record) {
  FCursorRecord.assign(Record, Record + FRecordSize);
  FCurrentPos = Position;
  FCurrentID = GetInt32(Record + FDataManager->DataSize());
  FCurrentIDValid = true;
  FAtEnd = false;
  FCursorGap = false;
}

void TEdbDataset::SetCursorToGap(const uint8_t* Record) {
  FCursorRecord.assign(Record, Record + FRecordSize);
  FCurrentPos = LowerBoundByKey(FCursorRecord.data());
  FCurrentIDValid = false;
  FAtEnd = false;
  FCursorGap = true;
}

int32_t TEdbDataset::LowerBoundByKey(const uint8_t* Record) {
  if (!FView) return 0;
  const TEdbIndex& index = FDataManager->Index(FCurrentIndexNo);
  int32_t low = 0, high = ViewCount();
  while (low < high) {
    const int32_t mid = low + (high - low) / 2;
    if (index.CompareKeys(FDataManager->GetRecord(FView->At(mid)), Record) < 0)
      low = mid + 1;
    else
      high = mid;
  }
  return low;
}

int32_t TEdbDataset::RecordIDOf(int32_t PhysRecNo) {
  return GetInt32(FDataManager->GetRecord(PhysRecNo) + FDataManager->DataSize());
}

int32_t TEdbDataset::BufferID(const uint8_t* Buffer, int32_t RecordSize) {
  return GetInt32(Buffer + RecordSize + kBookmarkOffset);
}

int32_t TEdbDataset::PhysRecNoOfID(int32_t RecordID) {
  // Records are appended with ascending IDs from 1 and keep their number until a delete moves
  // the last record into the hole: most records of most tables are where their ID says.
  const int32_t guess = RecordID - 1;
  if (guess >= 0 && guess < FDataManager->RecordCount() && RecordIDOf(guess) == RecordID) return guess;
  if (FDataManager->IndexCount() > 0) {
    const TIndexHeader& h = FDataManager->Index(0).Header();
    if (h.FieldCount() > 0 && h.FieldNos[0] == -1) {
      FDataManager->BuildIndex(0);
      const TEdbIndex& index = FDataManager->Index(0);
      const int32_t position =
          lowerBoundByID(index.Count(), RecordID, [&](int32_t p) { return RecordIDOf(index.At(p)); });
      if (position < index.Count()) {
        const int32_t recNo = index.At(position);
        if (RecordIDOf(recNo) == RecordID) return recNo;
      }
      return -1;
    }
  }
  // A table without its record-ID index: a scan.
  for (int32_t recNo = 0; recNo < FDataManager->RecordCount(); ++recNo)
    if (RecordIDOf(recNo) == RecordID) return recNo;
  return -1;
}

int32_t TEdbDataset::PositionOfID(int32_t RecordID) {
  const int32_t count = ViewCount();
  if (count == 0) return -1;
  const TIndexHeader& h = FDataManager->Index(FCurrentIndexNo).Header();
  if (h.FieldCount() > 0 && h.FieldNos[0] == -1) {
    const int32_t position = lowerBoundByID(count, RecordID, [&](int32_t p) { return RecordIDOf(FView->At(p)); });
    return position < count && RecordIDOf(FView->At(position)) == RecordID ? position : -1;
  }
  const int32_t recNo = PhysRecNoOfID(RecordID);
  return recNo < 0 ? -1 : FView->PositionOf(recNo);
}

int32_t TEdbDataset::GetPositionByRecordID(int32_t RecordID) {
  RefreshViewIfStale();
  return FTableOpen ? PositionOfID(RecordID) : -1;
}

int32_t TEdbDataset::GetTablePositionByPhysRecNo(int32_t PhysRecNo) {
  RefreshViewIfStale();
  return FView ? FView->PositionOf(PhysRecNo) : -1;
}

void TEdbDataset::SetTablePositionByPhysRecNo(int32_t PhysRecNo) {
  const int32_t position = GetTablePositionByPhysRecNo(PhysRecNo);
  if (position < 0) {
    // Where the search by key stopped.
    int32_t stop = 0;
    if (PhysRecNo >= 0 && PhysRecNo < FDataManager->RecordCount()) {
      const uint8_t* p = FDataManager->GetRecord(PhysRecNo);
      const std::vector<uint8_t> record(p, p + FRecordSize);
      stop = LowerBoundByKey(record.data());
    }
    throw Exception("TEdbDataSet.SetTablePositionByPhysRecNo - record not found, physRecNo = " +
                    std::to_string(PhysRecNo) + ", result = " + std::to_string(stop) +
                    ", recCount = " + std::to_string(ViewCount()));
  }
  SetCursor(position);
}

int32_t TEdbDataset::GetViewRecord(int32_t Position) {
  RefreshViewIfStale();
  if (!FViewBuilt) RebuildView();
  if (Position < 0 || Position >= ViewCount())
    throw Exception("Error in TEdbDataSet.GetViewRecord - invalid position " + std::to_string(Position) +
                    ", recCount = " + std::to_string(ViewCount()) + ".");
  return FView->At(Position);
}

TRecordBuffer TEdbDataset::GetActiveRecordBuffer() {
  if (FBulkInsertActive) return FBulkBuffer.get();
  switch (State()) {
    case dsBrowse: return IsEmpty() ? nullptr : ActiveBuffer();
    case dsEdit:
    case dsInsert: return ActiveBuffer();
    case dsSetKey: return FKeyBuffer.get();
    case dsCalcFields: return CalcBuffer();
    case dsFilter: return FFilterBuffer;
    default: return nullptr;
  }
}

void TEdbDataset::RefreshCurrentBuffer() {
  TRecordBuffer buffer = ActiveBuffer();
  if (buffer == nullptr) return;
  FRefreshingCurrent = true;
  try {
    (void)GetRecord(buffer, gmCurrent, false);
  } catch (...) {
    FRefreshingCurrent = false;
    throw;
  }
  FRefreshingCurrent = false;
}

int32_t TEdbDataset::GetLastAutoIncValue() const {
  return FTableOpen ? FDataManager->TableHeader().LastAutoInc : 0;
}

void TEdbDataset::SetNextAutoIncValue(int32_t Value) {
  if (!FTableOpen) throw Exception("Error in TEdbDataSet.SetNextAutoIncValue - no table was opened.");
  FDataManager->SetLastAutoInc(Value - 1);
}

// ---- Record buffers ---------------------------------------------------------------------------------

TRecordBufferPtr TEdbDataset::AllocRecordBuffer() {
  try {
    return TRecordBufferPtr(new uint8_t[static_cast<size_t>(FRecordBufferSize)]());
  } catch (const std::bad_alloc&) {
    throw Exception("Error in TEdbDataSet.AllocRecordBuffer - AllocMem returns 0 pointer.");
  }
}

void TEdbDataset::InternalInitRecord(TRecordBuffer Buffer) {
  std::memcpy(Buffer, FBlankRecord.data(), static_cast<size_t>(FRecordSize));
  PutInt32(Buffer + FDataManager->DataSize(), FDataManager->TableHeader().LastAutoInc + 1);
}

void TEdbDataset::ClearCalcFields(TRecordBuffer Buffer) {
  if (CalcFieldsSize() > 0)
    std::memset(Buffer + FRecordSize + storage::kDatasetBufferExtra, 0, static_cast<size_t>(CalcFieldsSize()));
}

TGetResult TEdbDataset::GetRecord(TRecordBuffer Buffer, TGetMode GetMode, bool DoCheck) {
  if (!FTableOpen) throw Exception("Error in TEdbDataSet.GetRecord - no table was opened.");
  RefreshViewIfStale();
  const int32_t count = ViewCount();
  if (count == 0) {
    SetCursor(GetMode == gmPrior ? -1 : 0);
    return GetMode == gmPrior ? grBOF : grEOF;
  }

  // The generic layer may have moved among its buffers: the cursor goes to the record of the
  // buffer it is on.
  if (!FRefreshingCurrent && Active() && CurrentRecord() >= 0 && CurrentRecord() < BufferedRecordCount()) {
    const int32_t id = BufferID(Buffers(CurrentRecord()), FRecordSize);
    if (id > FDataManager->TableHeader().LastAutoInc) {
      SetCursor(count);
    } else if (!FCurrentIDValid || FCurrentID != id) {
      const int32_t position = PositionOfID(id);
      if (position >= 0) SetCursor(position);
    }
  }

  // The streams hold the current record's values; a fetch during an edit fills another buffer.
  if (State() != dsEdit && State() != dsInsert) FreeBlobStreams();

  TGetResult result = grOK;
  bool accepted = true;
  do {
    int32_t target = -1;
    switch (GetMode) {
      case gmNext:
        target = FCursorGap ? FCurrentPos : FCurrentPos + 1;
        if (target >= count) {
          SetCursor(count);
          result = grEOF;
        }
        break;
      case gmPrior:
        target = std::min(FCurrentPos, count) - 1;
        if (target < 0) {
          SetCursor(-1);
          result = grBOF;
        }
        break;
      case gmCurrent:
        target = FCurrentPos;
        if (target < 0 || target >= count) result = grError;
        break;
    }
    if (result != grOK) break;
    const int32_t recNo = FView->At(target);
    std::memcpy(Buffer, FDataManager->GetRecord(recNo), static_cast<size_t>(FRecordSize));
    if (GetMode != gmCurrent)
      PrefetchAhead(target, GetMode == gmNext ? 1 : -1);
    else
      FDataManager->PrefetchBLOBHeaders(recNo);  // a record gone to directly: its values are read next
    SetCursorTo(target, Buffer);
    const int32_t id = FCurrentID;
    PutInt32(Buffer + FRecordSize + kBookmarkOffset, id);
    Buffer[FRecordSize + kFlagOffset] = bfCurrent;
    GetCalcFields(Buffer);
    accepted = AcceptedByHandler(Buffer);
    if (!accepted && GetMode == gmCurrent) result = grError;
  } while (result == grOK && !accepted);
  if (result == grError && DoCheck) throw Exception("TEdbDataSet.GetRecord - No records");
  return result;
}

void TEdbDataset::PrefetchAhead(int32_t Position, int32_t Step) {
  const int32_t count = ViewCount();
  const int32_t far = Position + Step * kPrefetchRecordDistance;
  if (far >= 0 && far < count) FDataManager->PrefetchRecord(FView->At(far));
  const int32_t near = Position + Step * kPrefetchHeaderDistance;
  if (near >= 0 && near < count) FDataManager->PrefetchBLOBHeaders(FView->At(near));
  const int32_t next = Position + Step * kPrefetchPartsDistance;
  if (next >= 0 && next < count) FDataManager->PrefetchBLOBParts(FView->At(next));
}

void TEdbDataset::InternalFirst() { SetCursor(-1); }

void TEdbDataset::InternalLast() {
  RefreshViewIfStale();
  SetCursor(ViewCount());
}

void TEdbDataset::InternalSetToRecord(TRecordBuffer Buffer) {
  // A record that left the view puts the cursor where its key would be.
  RefreshViewIfStale();
  const int32_t id = BufferID(Buffer, FRecordSize);
  if (FCurrentIDValid && FCurrentID == id) return;
  const int32_t position = PositionOfID(id);
  if (position >= 0)
    SetCursor(position);
  else if (GetBookmarkFlag(Buffer) == bfCurrent)
    SetCursorToGap(Buffer);
}

void TEdbDataset::InternalGotoBookmark(const uint8_t* Bookmark) {
  RefreshViewIfStale();
  if (Bookmark == nullptr) throw Exception("Error in TEdbDataSet.InternalGoToBookmark - 0 pointer Bookmark");
  if (Bof() && Eof() && IsEmpty()) return;
  const int32_t former = FCurrentPos;
  const int32_t position = PositionOfID(GetInt32(Bookmark));
  SetCursor(position);
  if (FCurrentPos != former && State() != dsInsert) FreeBlobStreams();
}

TBookmarkFlag TEdbDataset::GetBookmarkFlag(TRecordBuffer Buffer) {
  if (Buffer == nullptr) throw Exception("Error in TEdbDataSet.GetBookmarkFlag - 0 pointer Buffer");
  return static_cast<TBookmarkFlag>(Buffer[FRecordSize + kFlagOffset]);
}

void TEdbDataset::SetBookmarkFlag(TRecordBuffer Buffer, TBookmarkFlag Value) {
  if (Buffer == nullptr) throw Exception("Error in TEdbDataSet.SetBookmarkFlag - 0 pointer Buffer");
  Buffer[FRecordSize + kFlagOffset] = Value;
}

void TEdbDataset::GetBookmarkData(TRecordBuffer Buffer, uint8_t* Data) {
  if (Buffer == nullptr) throw Exception("Error in TEdbDataSet.GetBookmarkData - 0 pointer Buffer");
  if (Data == nullptr) throw Exception("Error in TEdbDataSet.GetBookmarkData - 0 pointer Data");
  std::memcpy(Data, Buffer + FRecordSize + kBookmarkOffset, storage::kRecordIdSize);
  std::memset(Data + storage::kRecordIdSize, 0, kBookmarkSize - storage::kRecordIdSize);
}

void TEdbDataset::SetBookmarkData(TRecordBuffer Buffer, const uint8_t* Data) {
  if (Buffer == nullptr) throw Exception("Error in TEdbDataSet.SetBookmarkData - 0 pointer to Buffer.");
  if (Data == nullptr) return;
  std::memcpy(Buffer + FRecordSize + kBookmarkOffset, Data, storage::kRecordIdSize);
}

bool TEdbDataset::BookmarkValid(const TBookmark& Bookmark) {
  if (!FTableOpen || Bookmark.size() < storage::kRecordIdSize) return false;
  RefreshViewIfStale();
  const int32_t position = PositionOfID(GetInt32(Bookmark.data()));
  return position >= 0 && position < ViewCount();
}

int32_t TEdbDataset::CompareBookmarks(const TBookmark& B1, const TBookmark& B2) {
  if (B1.empty() && B2.empty()) return 0;
  if (B2.empty()) return 1;
  if (B1.empty()) return -1;
  const int32_t id1 = GetInt32(B1.data()), id2 = GetInt32(B2.data());
  if (id1 == id2) return 0;
  RefreshViewIfStale();
  const int32_t p1 = FTableOpen ? PositionOfID(id1) : -1;
  const int32_t p2 = FTableOpen ? PositionOfID(id2) : -1;
  if (p1 == p2)
    throw Exception("TEdbDataset.CompareBookmarks - equal positions, pos1 = " + std::to_string(p1) +
                    ", x1 = " + std::to_string(id1) + ", x2 = " + std::to_string(id2));
  return p2 < p1 ? 1 : -1;
}

// ---- Record numbers ---------------------------------------------------------------------------------

int32_t TEdbDataset::GetRecNo() {
  if (!FTableOpen) throw Exception("Error in TEdbDataSet.GetRecNo - no table was opened.");
  CheckActive();
  RefreshViewIfStale();
  if (ViewCount() == 0) return 0;
  TRecordBuffer buffer = ActiveBuffer();
  if (buffer == nullptr) return 1;
  // A new record's ID may already belong to a record another dataset inserted meanwhile.
  if (State() == dsInsert) return FDataManager->RecordCount() + 1;
  const int32_t id = BufferID(buffer, FRecordSize);
  if (FCurrentIDValid && FCurrentID == id) return FCurrentPos + 1;
  const int32_t position = PositionOfID(id);
  if (position < 0) return 0;
  SetCursor(position);
  if (State() != dsEdit) FreeBlobStreams();
  return position + 1;
}

void TEdbDataset::SetRecNo(int32_t Value) {
  if (!FTableOpen) throw Exception("Error in TEdbDataSet.SetRecNo - no table was opened.");
  if (!Active()) return;
  CheckBrowseMode();
  RefreshViewIfStale();
  if (Value < 1 || Value > ViewCount() || Value == GetRecNo()) return;
  DoBeforeScroll();
  SetCursor(Value - 1);
  Resync(TResyncMode{rmExact, rmCenter});
  DoAfterScroll();
}

int32_t TEdbDataset::GetRecordCount() {
  if (!FTableOpen) throw Exception("Error in TEdbDataSet.GetRecordCount - no table was opened.");
  RefreshViewIfStale();
  return ViewCount();
}

void TEdbDataset::InternalRefresh() {
  if (!FTableOpen || !Active()) return;
  DataEvent(deDataSetChange);
  RebuildView();
}

// ---- Field values -------------------------------------------------------------------------------------

int32_t TEdbDataset::TableFieldNo(const TField& Field) const {
  const int32_t k = Field.FieldNo() - 1;
  if (!FFieldMapActive || Field.Calculated()) return k;
  if (k < 0 || k >= static_cast<int32_t>(FFieldMap.size())) return -1;
  const int32_t no = FFieldMap[static_cast<size_t>(k)];
  return no == -1 ? FDataManager->TableHeader().FieldCount : no;
}

TField* TEdbDataset::FieldOfTableField(int32_t FieldNo) {
  if (!FFieldMapActive)
    return FieldNo == -1 ? FindField(FDataManager->TableHeader().IDFieldName) : Fields().FieldByNumber(FieldNo + 1);
  const auto at = std::find(FFieldMap.begin(), FFieldMap.end(), FieldNo);
  return at == FFieldMap.end() ? nullptr : Fields().FieldByNumber(static_cast<int32_t>(at - FFieldMap.begin()) + 1);
}

bool TEdbDataset::GetFieldData(TField& Field, void* Buffer) {
  TRecordBuffer record = GetActiveRecordBuffer();
  if (record == nullptr || !FTableOpen) return false;
  if (Field.Calculated()) return GetCalcFieldData(record + FRecordSize + storage::kDatasetBufferExtra, Field, Buffer);
  const int32_t k = TableFieldNo(Field);
  const int32_t fieldCount = FDataManager->TableHeader().FieldCount;
  const int32_t dataSize = FDataManager->DataSize();
  if (k == fieldCount) {
    if (Buffer != nullptr) {
      const int32_t id = GetInt32(record + dataSize);
      std::memcpy(Buffer, &id, 4);
    }
    return true;
  }
  if (k < 0 || k > fieldCount)
    throw Exception("Error in TEdbDataSet.GetFieldData - FieldNo=." + std::to_string(k + 1) + " 0 pointer!");
  if (nullFlag(record, dataSize, k)) return false;
  const storage::TFieldHeader& header = FDataManager->FieldHeaders()[static_cast<size_t>(k)];
  if (IsBlobFieldType(header.FieldType)) return true;
  const uint8_t* value = record + FDataManager->FieldOffset(k);
  if (emptyDate(header.FieldType, value)) return false;
  if (Buffer != nullptr) std::memcpy(Buffer, value, static_cast<size_t>(header.Size));
  return true;
}

void TEdbDataset::SetFieldData(TField& Field, const void* Buffer) {
  TRecordBuffer record = GetActiveRecordBuffer();
  if (record == nullptr || !FTableOpen)
    throw Exception("Error in TEdbDataSet.SetFieldData - FieldNo=." + std::to_string(Field.FieldNo()) + " 0 pointer!");
  if (Field.Calculated()) {
    Field.Validate(Buffer);
    SetCalcFieldData(record + FRecordSize + storage::kDatasetBufferExtra, Field, Buffer);
  } else {
    const int32_t k = TableFieldNo(Field);
    const int32_t fieldCount = FDataManager->TableHeader().FieldCount;
    const int32_t dataSize = FDataManager->DataSize();
    if (k > fieldCount) throw Exception("Error in TEdbDataSet.SetFieldData - FieldNo > fieldCount.");
    if (k < 0)
      throw Exception("Error in TEdbDataSet.SetFieldData - FieldNo=." + std::to_string(k + 1) + " 0 pointer!");
    Field.Validate(Buffer);
    if (k == fieldCount) {
      if (State() == dsSetKey && Buffer != nullptr) {
        int32_t id;
        std::memcpy(&id, Buffer, 4);
        PutInt32(record + dataSize, id);
      }
    } else {
      const storage::TFieldHeader& header = FDataManager->FieldHeaders()[static_cast<size_t>(k)];
      const auto* value = static_cast<const uint8_t*>(Buffer);
      bool null = value == nullptr;
      if (!null) {
        switch (header.FieldType) {
          case ftString: null = value[0] == 0; break;
          case ftWideString: null = value[0] == 0 && value[1] == 0; break;
          default: null = emptyDate(header.FieldType, value); break;
        }
      }
      uint8_t* slot = record + FDataManager->FieldOffset(k);
      setNullFlag(record, dataSize, k, null);
      int32_t size = header.Size;
      if (header.FieldType == ftString) size -= 1;
      else if (header.FieldType == ftWideString) size -= 2;
      // A NULL value keeps no bytes, so that records with equal values have equal images.
      if (null && IsBlobFieldType(header.FieldType)) BlobFieldCleared(k);
      if (null)
        std::memset(slot, 0, static_cast<size_t>(header.Size));
      else if (size > 0)
        std::memcpy(slot, value, static_cast<size_t>(size));
    }
  }
  if (State() != dsCalcFields && State() != dsFilter && State() != dsNewValue) DataEvent(deFieldChange, &Field);
}

// ---- Filters -------------------------------------------------------------------------------------------

bool TEdbDataset::FilterActive() const { return Filtered() && !toolkit::Trim(Filter()).empty(); }

void TEdbDataset::CompileFilter() {
  if (FFilterParser.Expression() == Filter() && FFilterParser.Options() == FilterOptions()) return;
  const TFilterOptions former = FFilterParser.Options();
  FFilterParser.SetOptions(FilterOptions());
  try {
    FFilterParser.SetExpression(Filter());
  } catch (...) {
    FFilterParser.SetOptions(former);
    throw;
  }
}

void TEdbDataset::SetFilter(const std::string& Value) { ChangeFilter(Value, FilterOptions(), Filtered()); }

void TEdbDataset::SetFilterOptions(TFilterOptions Value) { ChangeFilter(Filter(), Value, Filtered()); }

void TEdbDataset::SetFiltered(bool Value) { ChangeFilter(Filter(), FilterOptions(), Value); }

void TEdbDataset::ChangeFilter(const std::string& Text, TFilterOptions Options, bool Value) {
  const bool wasActive = FilterActive();
  const std::string formerText = Filter();
  const TFilterOptions formerOptions = FilterOptions();
  const bool formerFiltered = Filtered();
  TDataSet::SetFilter(Text);
  TDataSet::SetFilterOptions(Options);
  TDataSet::SetFiltered(Value);
  if (!Active() || (!wasActive && !FilterActive())) return;
  // The new filter is compiled before anything else changes, so that a malformed one leaves
  // the former filter, view and cursor in force.
  try {
    CheckBrowseMode();
    if (FilterActive()) CompileFilter();
  } catch (...) {
    TDataSet::SetFilter(formerText);
    TDataSet::SetFilterOptions(formerOptions);
    TDataSet::SetFiltered(formerFiltered);
    throw;
  }
  RebuildView();
  First();
}

bool TEdbDataset::AcceptedByHandler(TRecordBuffer Buffer) {
  if (!Filtered() || !OnFilterRecord) return true;
  FFilterBuffer = Buffer;
  bool accepted;
  try {
    accepted = DoFilterRecord();
  } catch (...) {
    FFilterBuffer = nullptr;
    throw;
  }
  FFilterBuffer = nullptr;
  return accepted;
}

bool TEdbDataset::IsRecordVisible(const uint8_t* Record, bool AskHandler) {
  if (!FTableOpen || !RestrictionAccepts(Record)) return false;
  if (FilterActive()) {
    CompileFilter();
    if (!FFilterParser.IsRecordMatches(Record)) return false;
  }
  if (!AskHandler || !Filtered() || !OnFilterRecord || !Active()) return true;
  // The handler sees the record as the current one; the cursor comes back afterwards.
  const int32_t formerPos = FCurrentPos, formerID = FCurrentID;
  const bool formerIDValid = FCurrentIDValid, formerAtEnd = FAtEnd, formerGap = FCursorGap;
  const std::vector<uint8_t> formerRecord = FCursorRecord;
  const auto restore = [&] {
    FCurrentPos = formerPos;
    FCurrentID = formerID;
    FCurrentIDValid = formerIDValid;
    FAtEnd = formerAtEnd;
    FCursorGap = formerGap;
    FCursorRecord = formerRecord;
  };
  TRecordBufferPtr buffer = AllocRecordBuffer();
  std::memcpy(buffer.get(), Record, static_cast<size_t>(FRecordSize));
  const int32_t id = GetInt32(Record + FDataManager->DataSize());
  PutInt32(buffer.get() + FRecordSize + kBookmarkOffset, id);
  buffer[static_cast<size_t>(FRecordSize + kFlagOffset)] = bfCurrent;
  const int32_t position = PositionOfID(id);
  if (position >= 0) SetCursorTo(position, Record);
  bool accepted;
  try {
    GetCalcFields(buffer.get());
    accepted = AcceptedByHandler(buffer.get());
  } catch (...) {
    restore();
    throw;
  }
  restore();
  return accepted;
}

// ---- The FindFirst family -------------------------------------------------------------------------------

void TEdbDataset::MakeFindList() {
  TFilterOptions options = FilterOptions();
  const std::string& text = Filter();
  if (!options.Contains(foNoPartialCompare) && !(text.size() >= 2 && text[text.size() - 2] == '*'))
    options.Include(foNoPartialCompare);
  if (FFindParser.Expression() != text || FFindParser.Options() != options) {
    FFindParser.SetOptions(options);
    FFindParser.SetExpression(text);
  }
  const TBitsArray& bits = FFindParser.Parse();
  std::vector<int32_t> view(static_cast<size_t>(ViewCount()));
  if (FView) FView->CopyTo(view.data());
  FFindList.clear();
  for (const int32_t recNo : view)
    if (recNo < bits.Count() && bits.Items(recNo)) FFindList.push_back(recNo);
  FFindChangeCount = FDataManager->TableHeader().ChangeCount;
}

bool TEdbDataset::FindRecord(bool Restart, bool GoForward) {
  CheckBrowseMode();
  DoBeforeScroll();
  SetFound(false);
  RefreshViewIfStale();
  if (toolkit::Trim(Filter()).empty()) {
    if (Restart && GoForward) First();
    else if (Restart) Last();
    else if (GoForward) Next();
    else Prior();
    const bool result = GoForward ? !Eof() : !Bof();
    SetFound(result);
    return result;
  }
  if (Restart) {
    MakeFindList();
  } else if (FFindChangeCount != FDataManager->TableHeader().ChangeCount) {
    // The record found last keeps its place in the list when it is still there (records came
    // or went before it); else the position stays, cut to the list.
    MakeFindList();
    FFindPos = std::min(FFindPos, static_cast<int32_t>(FFindList.size()));
    const int32_t recNo = FFindPos >= 0 ? PhysRecNoOfID(FFindID) : -1;
    const auto at = std::find(FFindList.begin(), FFindList.end(), recNo);
    if (recNo >= 0 && at != FFindList.end()) FFindPos = static_cast<int32_t>(at - FFindList.begin());
  }
  const auto count = static_cast<int32_t>(FFindList.size());
  int32_t position = -1;  // view position of the entry reached
  // The entries from the first (Restart) or the one after the last found, in the direction
  // asked; an entry the OnFilterRecord handler turns away is passed over, as navigation does.
  const int32_t step = GoForward ? 1 : -1;
  const bool askHandler = Filtered() && OnFilterRecord;
  for (int32_t p = Restart ? (GoForward ? 0 : count - 1) : FFindPos + step; p >= 0 && p < count; p += step) {
    const int32_t recNo = FFindList[static_cast<size_t>(p)];
    const int32_t at = GetTablePositionByPhysRecNo(recNo);
    if (at < 0 || (askHandler && !IsRecordVisible(FDataManager->GetRecord(recNo), true))) continue;
    position = at;
    FFindPos = p;
    break;
  }
  if (Restart && position < 0) FFindPos = GoForward ? 0 : count - 1;
  const bool result = position >= 0;
  if (result) {
    FFindID = RecordIDOf(FFindList[static_cast<size_t>(FFindPos)]);
    SetCursor(position);
    Resync(TResyncMode{rmExact, rmCenter});
  }
  SetFound(result);
  if (result) DoAfterScroll();
  return result;
}

}  // namespace tesvar::dataset
