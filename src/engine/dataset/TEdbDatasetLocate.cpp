// TEdbDataset: finding records by field values (Locate, Lookup), key search on the current index
// (FindKey, GotoKey, FindInIndex, FindInView) and the distinct reduction of the view.

#include "dataset/TEdbDataset.h"

#include "dataset/TSearchOperation_internal.h"
#include "platform/AnsiCase.h"
#include "platform/Exception.h"
#include "storage/TableFormat.h"
#include "toolkit/Conversions.h"
#include "toolkit/DateTime.h"

#include <algorithm>
#include <cstring>
#include <utility>

namespace tesvar::dataset {

using namespace toolkit;
using storage::TEdbIndex;
using storage::TIndexHeader;

namespace {

// The native error of a distinct reduction without its index.
constexpr int32_t kDistinctIndexError = 32;

// A view holding its own list of physical record numbers.
class TEdbListView final : public TEdbView {
public:
  explicit TEdbListView(std::vector<int32_t> RecNos) : FRecNos(std::move(RecNos)) {
    FByRecNo.reserve(FRecNos.size());
    for (size_t i = 0; i < FRecNos.size(); ++i) FByRecNo.emplace_back(FRecNos[i], static_cast<int32_t>(i));
    std::sort(FByRecNo.begin(), FByRecNo.end());
  }

  int32_t Count() const override { return static_cast<int32_t>(FRecNos.size()); }
  int32_t At(int32_t Position) const override { return FRecNos[static_cast<size_t>(Position)]; }
  int32_t PositionOf(int32_t PhysRecNo) const override {
    const auto it = std::lower_bound(FByRecNo.begin(), FByRecNo.end(), std::make_pair(PhysRecNo, int32_t{-1}));
    return it != FByRecNo.end() && it->first == PhysRecNo ? it->second : -1;
  }
  void CopyTo(int32_t* Dest) const override { std::copy(FRecNos.begin(), FRecNos.end(), Dest); }

private:
  std::vector<int32_t> FRecNos;
  std::vector<std::pair<int32_t, int32_t>> FByRecNo;  // (record number, position), by number
};

// A key value of Locate as the text PrepareValueBuffer reads.
std::string locateText(const TValue& Value) {
  switch (Value.VarType()) {
    case varSmallint:
    case varInteger:
    case varInt64: return IntToStr(Value.AsInt64());
    case varSingle:
    case varDouble:
    case varCurrency: return FloatToStr(Value.AsFloat());
    case varDate: return DateTimeToStr(Value.AsDateTime());
    case varString:
    case varOleStr: return Value.AsString();
    case varBoolean: return Value.AsBoolean() ? "true" : "false";
    default:
      throw Exception("TEdbDataset.PrepareAndLocate - Unsupported variant type " + std::to_string(Value.VarType()));
  }
}

// Over positions 0 .. Count - 1 of a sequence in key order, where Compare(Position) is the
// record's key against the searched key: the position FindInIndex / FindInView answer.
template <class TCompare>
int32_t searchKey(int32_t Count, bool ExactOnly, bool Forward, TCompare&& Compare) {
  if (Count <= 0) return -1;
  int32_t low = 0, high = Count;
  while (low < high) {
    const int32_t mid = low + (high - low) / 2;
    if (Compare(mid) < 0)
      low = mid + 1;
    else
      high = mid;
  }
  if (low == Count) return ExactOnly ? -1 : Count - 1;
  if (Compare(low) != 0) return ExactOnly ? -1 : low;
  int32_t position = low;
  if (Forward) {
    while (position + 1 < Count && Compare(position + 1) == 0) ++position;
  } else {
    while (position > 0 && Compare(position - 1) == 0) --position;
  }
  return position;
}

// Of Candidates (distinct record numbers), the one that comes first in View, the view of Index,
// and that Accept takes, its view position in Position; -1 when there is none.
template <class TAccept>
int32_t firstInView(const TEdbView& View, const TEdbIndex& Index, const std::vector<int32_t>& Candidates,
                    int32_t& Position, TAccept&& Accept) {
  if (Candidates.size() == 1) {
    // One candidate has no order to be put in.
    const int32_t recNo = Candidates.front();
    const int32_t position = View.PositionOf(recNo);
    if (position < 0 || !Accept(recNo)) return -1;
    Position = position;
    return recNo;
  }
  int32_t found = -1;
  const auto positionOf = [&](int32_t RecNo) { return View.PositionOf(RecNo); };
  VisitInPositionOrder(Index, Candidates, positionOf, [&](int32_t RecNo) {
    const int32_t position = View.PositionOf(RecNo);
    if (position < 0 || !Accept(RecNo)) return true;
    Position = position;
    found = RecNo;
    return false;
  });
  return found;
}

}  // namespace

// ---- Locate and Lookup ------------------------------------------------------------------------------

bool TEdbDataset::Locate(const std::string& KeyFields, const TValue& KeyValues, TLocateOptions Options) {
  CheckBrowseMode();
  TFilterOptions options;
  if (Options.Contains(loCaseInsensitive)) options.Include(foCaseInsensitive);
  if (!Options.Contains(loPartialKey)) options.Include(foNoPartialCompare);
  int32_t position = -1;
  const int32_t recNo = PrepareAndLocate(KeyFields, KeyValues, options, soEqual, position);
  if (recNo < 0) return false;
  DoBeforeScroll();
  SetCursorTo(position, FDataManager->GetRecord(recNo));
  Resync(TResyncMode{rmExact, rmCenter});
  DoAfterScroll();
  return true;
}

TValue TEdbDataset::Lookup(const std::string& KeyFields, const TValue& KeyValues, const std::string& ResultFields) {
  CheckActive();
  const int32_t recNo = PrepareAndLocate(KeyFields, KeyValues, TFilterOptions{foNoPartialCompare}, soEqual);
  if (recNo < 0) return TValue::Null();
  std::vector<TField*> fields;
  for (const std::string& name : SplitFieldNames(ResultFields)) fields.push_back(&FieldByName(name));
  if (fields.empty()) (void)FieldByName(ResultFields);
  // The values are read from a buffer of their own, so that the cursor, the window and a pending
  // edit stay as they are.
  TRecordBufferPtr buffer = RecordBufferOf(FDataManager->GetRecord(recNo));
  std::vector<TValue> values;
  const TRecordBuffer saved = FFilterBuffer;
  const TDataSetState state = SetTempState(dsFilter);
  FFilterBuffer = buffer.get();
  try {
    for (TField* field : fields) values.push_back(field->Value());
  } catch (...) {
    FFilterBuffer = saved;
    RestoreState(state);
    throw;
  }
  FFilterBuffer = saved;
  RestoreState(state);
  if (values.size() == 1) return values[0];
  return TValue::FromArray(std::move(values));
}

int32_t TEdbDataset::PrepareAndLocate(const std::string& KeyFields, const TValue& KeyValues, TFilterOptions Options,
                                      uint8_t Operation) {
  int32_t position = -1;
  return PrepareAndLocate(KeyFields, KeyValues, Options, Operation, position);
}

int32_t TEdbDataset::PrepareAndLocate(const std::string& KeyFields, const TValue& KeyValues, TFilterOptions Options,
                                      uint8_t Operation, int32_t& Position) {
  Position = -1;
  if (!FTableOpen) throw Exception("TEdbDataset.PrepareAndLocate - table is not opened.");
  const std::vector<std::string> names = SplitFieldNames(KeyFields);
  std::vector<TSearchOperation> conditions(names.size());
  for (size_t i = 0; i < names.size(); ++i) {
    TSearchOperation& c = conditions[i];
    c.FieldName = names[i];
    c.FieldNo = FDataManager->InternalGetFieldNo(names[i]);
    c.Operation = Operation;
    c.PartialCompare = Options.Contains(foNoPartialCompare) ? 0 : 1;
    const TValue& value = KeyValues.IsArray() ? KeyValues.Item(static_cast<int32_t>(i)) : KeyValues;
    if (value.IsNull()) return -1;
    PrepareValueBuffer(*FDataManager, c.FieldNo, c.Operation, c.ValueBuffer, locateText(value));
  }
  return LocateConditions(conditions, Options, Position);
}

int32_t TEdbDataset::LocateConditions(const std::vector<TSearchOperation>& Conditions, TFilterOptions Options,
                                      int32_t& Position) {
  RefreshViewIfStale();
  if (ViewCount() == 0 || Conditions.empty()) return -1;
  const bool handler = Filtered() && OnFilterRecord;
  const auto accepts = [&](int32_t RecNo) { return !handler || FilterHandlerAccepts(FDataManager->GetRecord(RecNo)); };
  std::vector<int32_t> recNos;
  if (Conditions.size() == 1) {
    // Whole-value equality on an indexed field: the index's equal range holds the matches, and
    // no record is read to find them.
    const TSearchOperation& condition = Conditions.front();
    const bool caseInsensitive = ConditionCaseInsensitive(*FDataManager, condition, Options);
    const int32_t wholeIndex =
        WholeValueIndex(condition, ConditionFieldType(*FDataManager, condition.FieldNo), caseInsensitive);
    if (wholeIndex >= 0 && (!caseInsensitive || FDataManager->InternalGetIndexNo(std::string(
                                                    1, storage::kAutoIndexPrefix) + condition.FieldName) >= 0)) {
      const TEdbIndex& index = FDataManager->Index(wholeIndex);
      int32_t first = 0, last = 0;
      index.EqualRange(condition.ValueBuffer.data(), first, last);
      if (last == first) return -1;
      if (wholeIndex == FCurrentIndexNo && FView->FollowsTable() && !handler) {
        // The view is the index itself: the range's first entry is the first match in view order.
        Position = first;
        return index.At(first);
      }
      recNos.resize(static_cast<size_t>(last - first));
      index.CopyRange(first, last - first, recNos.data());
      return firstInView(*FView, FDataManager->Index(FCurrentIndexNo), recNos, Position, accepts);
    }
  }
  std::vector<std::unique_ptr<TConditionTester>> testers;
  std::vector<size_t> indexed;  // the conditions an automatic index answers
  for (size_t i = 0; i < Conditions.size(); ++i) {
    testers.push_back(std::make_unique<TConditionTester>(*FDataManager, Conditions[i], Options));
    if (!testers.back()->IsLike() &&
        FDataManager->InternalGetIndexNo(std::string(1, storage::kAutoIndexPrefix) + Conditions[i].FieldName) >= 0)
      indexed.push_back(i);
  }
  const auto meets = [&](const uint8_t* Record, size_t Except) {
    for (size_t i = 0; i < testers.size(); ++i)
      if (i != Except && !testers[i]->Matches(Record)) return false;
    return true;
  };

  if (indexed.empty()) {
    // Every condition is a test of the record: the view in order, the first that meets them.
    const int32_t count = ViewCount();
    for (int32_t position = 0; position < count; ++position) {
      const int32_t recNo = FView->At(position);
      const uint8_t* record = FDataManager->GetRecord(recNo);
      if (meets(record, testers.size()) && FilterHandlerAccepts(record)) {
        Position = position;
        return recNo;
      }
    }
    return -1;
  }

  // The driving condition: the first whose matches are at most a twentieth of the table, else the
  // one with the fewest (the first of equals).
  size_t driver = indexed[0];
  int32_t matches = 0;
  if (indexed.size() > 1) {
    int32_t fewest = -1;
    for (size_t i : indexed) {
      GetMatchedRecordsArray(*FDataManager, Conditions[i], Options, matches, recNos, mmCountOnly);
      if (matches <= FDataManager->RecordCount() / 20) {
        driver = i;
        break;
      }
      if (fewest < 0 || matches < fewest) {
        fewest = matches;
        driver = i;
      }
    }
  }
  const int32_t wholeIndex =
      WholeValueIndex(Conditions[driver], testers[driver]->FieldType(), testers[driver]->CaseInsensitive());
  if (wholeIndex >= 0) {
    // Whole-value equality is the index's own comparison: its compact keys answer it.
    TEdbIndex& index = FDataManager->Index(wholeIndex);
    int32_t first = 0, last = 0;
    index.EqualRange(Conditions[driver].ValueBuffer.data(), first, last);
    recNos.resize(static_cast<size_t>(last - first));
    if (last > first) index.CopyRange(first, last - first, recNos.data());
  } else {
    GetMatchedRecordsArray(*FDataManager, Conditions[driver], Options, matches, recNos, mmAll);
  }
  // The candidates that meet the other conditions; of those in the view, the first in view order
  // that the filter handler accepts. A record is read only when another condition or the handler
  // asks about it.
  if (testers.size() > 1) {
    size_t kept = 0;
    for (int32_t recNo : recNos)
      if (meets(FDataManager->GetRecord(recNo), driver)) recNos[kept++] = recNo;
    recNos.resize(kept);
  }
  return firstInView(*FView, FDataManager->Index(FCurrentIndexNo), recNos, Position, accepts);
}

int32_t TEdbDataset::WholeValueIndex(const TSearchOperation& Condition, TFieldType Type, bool CaseInsensitive) {
  if (Condition.Operation != soEqual || Condition.PartialCompare != 0 || Condition.FieldNo < 0) return -1;
  const bool text = Type == ftString || Type == ftWideString;
  const bool caseInsensitive = text && CaseInsensitive;
  const std::string prefix(caseInsensitive ? 2 : 1, storage::kAutoIndexPrefix);
  const int32_t no = FDataManager->InternalGetIndexNo(prefix + Condition.FieldName);
  if (no < 0) return -1;
  const TIndexHeader& h = FDataManager->Index(no).Header();
  if (h.FieldCount() != 1 || h.FieldNos[0] != Condition.FieldNo || !h.Ascending(0) ||
      (text && h.CaseInsensitive(0) != caseInsensitive))
    return -1;
  FDataManager->BuildIndex(no);
  return no;
}

bool TEdbDataset::FilterHandlerAccepts(const uint8_t* Record) {
  if (!Filtered() || !OnFilterRecord) return true;
  TRecordBufferPtr buffer = RecordBufferOf(Record);
  const TRecordBuffer saved = FFilterBuffer;
  FFilterBuffer = buffer.get();
  bool accepted;
  try {
    accepted = DoFilterRecord();
  } catch (...) {
    FFilterBuffer = saved;
    throw;
  }
  FFilterBuffer = saved;
  return accepted;
}

TRecordBufferPtr TEdbDataset::RecordBufferOf(const uint8_t* Record) {
  TRecordBufferPtr buffer = AllocRecordBuffer();
  std::memcpy(buffer.get(), Record, static_cast<size_t>(FRecordSize));
  std::memcpy(buffer.get() + FRecordSize, buffer.get() + FDataManager->DataSize(), storage::kRecordIdSize);
  buffer[static_cast<size_t>(FRecordSize + storage::kRecordIdSize)] = bfCurrent;
  GetCalcFields(buffer.get());
  return buffer;
}

// ---- Key search ---------------------------------------------------------------------------------------

void TEdbDataset::SetKeyFields(const std::vector<TValue>& Values) {
  CheckActive();
  InternalInitRecord(FKeyBuffer.get());
  const TDataSetState state = SetTempState(dsSetKey);
  try {
    for (size_t i = 0; i < Values.size(); ++i) GetIndexField(static_cast<int32_t>(i)).SetValue(Values[i]);
  } catch (...) {
    RestoreState(state);
    throw;
  }
  RestoreState(state);
  FKeyFieldCount = static_cast<int32_t>(Values.size());
}

void TEdbDataset::FindKey(const std::vector<TValue>& Values) {
  CheckBrowseMode();
  SetKeyFields(Values);
  GotoKey();
}

void TEdbDataset::GotoKey() {
  CheckBrowseMode();
  CursorPosChanged();
  const int32_t position = FindInView(FKeyBuffer.get(), FKeyFieldCount, false, false);
  if (position < 0) return;
  SetCursor(position);
  Resync(TResyncMode{rmExact, rmCenter});
  DoAfterScroll();
}

int32_t TEdbDataset::FindInIndex(const uint8_t* Key, int32_t IndexNo, bool ExactOnly, bool Forward,
                                 int32_t KeyFieldCount) {
  if (!FTableOpen || IndexNo < 0 || IndexNo >= FDataManager->IndexCount())
    throw Exception("Error in TEdbDataSet.FindInIndex - index number \"" + std::to_string(IndexNo) + "\" not found!");
  FDataManager->BuildIndex(IndexNo);
  const TEdbIndex& index = FDataManager->Index(IndexNo);
  return searchKey(index.Count(), ExactOnly, Forward, [&](int32_t Position) {
    return index.CompareKeys(FDataManager->GetRecord(index.At(Position)), Key, KeyFieldCount);
  });
}

int32_t TEdbDataset::FindInView(const uint8_t* Key, int32_t KeyFieldCount, bool ExactOnly, bool Forward) {
  RefreshViewIfStale();
  if (!FView) return -1;
  const TEdbIndex& index = FDataManager->Index(FCurrentIndexNo);
  return searchKey(ViewCount(), ExactOnly, Forward, [&](int32_t Position) {
    return index.CompareKeys(FDataManager->GetRecord(FView->At(Position)), Key, KeyFieldCount);
  });
}

// ---- Distinct values ------------------------------------------------------------------------------------

void TEdbDataset::SetDistinctFields(const std::string& Value) {
  FDistinctFields = Value;
  if (FTableOpen) ViewOrderChanged();
}

void TEdbDataset::CreateTemporaryIndex(const std::string& Fields, const std::string& DescFields, std::string& Name,
                                       const std::string& CaseInsFields) {
  if (!FTableOpen) throw Exception("Error in TEdbDataset.CreateTemporaryIndex - table is not opened.");
  Name = FDataManager->CreateTemporaryIndex(Fields, DescFields, CaseInsFields);
}

std::unique_ptr<TEdbView> TEdbDataset::MakeDistinctView(const TBitsArray* Visible) {
  std::vector<int32_t> fieldNos;
  std::string fieldList;
  for (const std::string& name : SplitFieldNames(FDistinctFields)) {
    fieldNos.push_back(FDataManager->InternalGetFieldNo(name));
    fieldList += (fieldList.empty() ? "" : ";") + name;
  }
  // An index over exactly these fields, ascending and with case.
  const auto distinctIndex = [&] {
    for (int32_t no = 0; no < FDataManager->IndexCount(); ++no) {
      const TIndexHeader& h = FDataManager->Index(no).Header();
      bool plain = !fieldNos.empty() && h.FieldNos == fieldNos;
      for (int32_t part = 0; plain && part < h.FieldCount(); ++part)
        plain = h.Ascending(part) && !h.CaseInsensitive(part);
      if (plain) return no;
    }
    return -1;
  };
  int32_t distinctNo = distinctIndex();
  if (distinctNo < 0 && !fieldNos.empty()) {
    std::string name;
    CreateTemporaryIndex(fieldList, "", name, "");
    RebuildIndexDefs();
    distinctNo = distinctIndex();
  }
  if (distinctNo < 0)
    throw EEdbException(kDistinctIndexError, "Distinct index not created. FTableName = '" + FTableName +
                                                 "', FDistinctFields = '" + FDistinctFields + "'.");
  FDataManager->BuildIndex(distinctNo);
  FDataManager->BuildIndex(FCurrentIndexNo);
  const TEdbIndex& distinct = FDataManager->Index(distinctNo);
  const TEdbIndex& current = FDataManager->Index(FCurrentIndexNo);

  // Equal keys are adjacent in the distinct index: each run's end is found by galloping and
  // bisection, so that few distinct values cost few comparisons whatever the record count.
  const int32_t n = distinct.Count();
  std::vector<std::pair<int32_t, int32_t>> shown;  // (position in the current index, record number)
  // A filtered dataset shows each run as its first visible record, so that a value some visible
  // record holds is never left out because the run's first record is filtered away.
  for (int32_t start = 0, end = 0; start < n; start = end) {
    end = distinct.RunEnd(start);
    for (int32_t p = start; p < end; ++p) {
      const int32_t recNo = distinct.At(p);
      if (Visible != nullptr && !Visible->Items(recNo)) continue;
      const int32_t position = current.FindRecord(recNo);
      if (position >= 0) shown.emplace_back(position, recNo);
      break;
    }
  }
  std::sort(shown.begin(), shown.end());
  std::vector<int32_t> recNos;
  recNos.reserve(shown.size());
  for (const auto& entry : shown) recNos.push_back(entry.second);
  return std::make_unique<TEdbListView>(std::move(recNos));
}

}  // namespace tesvar::dataset
