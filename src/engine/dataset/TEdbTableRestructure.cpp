// Importing a dataset into a table and restructuring a table (TEdbTable.h).
//
// Both build the new table under a free name of the table's backup series while the table itself
// stays untouched, copy the records into it, and only then put it in place: the table goes to
// the next free backup name, the new table takes the table's name, the former table is deleted.
// A failure or a cancel up to the swap deletes the new table; a failure during the swap undoes
// the renames done so far. So at every moment one complete copy of the user's table is under a
// known name: its own, or (between the two renames of the swap) the backup name.

#include "dataset/TEdbTable.h"

#include "platform/AnsiCase.h"
#include "platform/Exception.h"
#include "storage/StorageEngine.h"
#include "storage/TableFormat.h"
#include "toolkit/DateTime.h"
#include "toolkit/FieldClasses.h"
#include "toolkit/TDataSource.h"
#include "toolkit/TMemoryStream.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace tesvar::dataset {

using namespace tesvar::toolkit;

namespace {

constexpr const char* kCrLf = "\r\n";
constexpr const char* kRestructureError = "Error in TEdbDataset.RestructureTable - ";
constexpr const char* kCancelled = "cancelled.";
constexpr const char* kSavingError = "Error in TEdbDataset.RestructureTable - error while saving data. Restructure aborted. ";

bool IsBlobKind(TFieldType Type) { return Type >= ftBlob && Type <= ftTypedBinary; }

// The value of Source (not NULL) into Target, converted by the source's type through the field
// objects; raises the target field's conversion and range errors.
void AssignValue(TField& Source, TField& Target) {
  switch (Source.DataType()) {
    case ftString:
    case ftFixedChar: Target.SetAsString(Source.AsString()); break;
    case ftWideString:
      if (Target.DataType() == ftWideString) Target.SetAsWideString(Source.AsWideString());
      else Target.SetAsString(Source.AsString());
      break;
    case ftSmallint:
    case ftInteger:
    case ftWord:
    case ftAutoInc: Target.SetAsInteger(Source.AsInteger()); break;
    case ftLargeint: Target.SetAsLargeInt(Source.AsLargeInt()); break;
    case ftBoolean: Target.SetAsBoolean(Source.AsBoolean()); break;
    case ftFloat:
    case ftCurrency:
    case ftBCD: Target.SetAsFloat(Source.AsFloat()); break;
    case ftDate:
    case ftTime:
    case ftDateTime: Target.SetAsDateTime(Source.AsDateTime()); break;
    case ftBytes:
    case ftVarBytes: Target.SetAsBytes(Source.AsBytes()); break;
    default:
      if (Source.IsBlob() && Target.IsBlob()) {
        TMemoryStream Stream;
        static_cast<TBlobField&>(Source).SaveToStream(Stream);
        static_cast<TBlobField&>(Target).LoadFromStream(Stream);
      } else {
        Target.SetAsString(Source.AsString());
      }
      break;
  }
}

// Where each source field's value goes.
struct TFieldCopy {
  TField* Source;
  TField* Target;  // null: the record ID (ftAutoInc source), given through SetNextAutoIncValue
};

// ---- Names and whole tables ---------------------------------------------------------------------

// The name Of reaches its database by.
std::string DatabaseOf(const TEdbTable& Of) { return !Of.DatabaseFileName().empty() ? Of.DatabaseFileName() : Of.DatabaseName(); }

// Whether a dataset of this process has Of's table open.
bool TableBusy(const TEdbTable& Of) {
  storage::TEdbDatabaseManager& Database = storage::edGetDatabaseManager(DatabaseOf(Of), &Of);
  bool Busy = false;
  for (const auto& Table : storage::Registries().DataManagers)
    if (&Table->DatabaseManager() == &Database && platform::AnsiSameText(Table->TableName(), Of.TableName()) &&
        !Table->Datasets().empty())
      Busy = true;
  (void)Database.ReleaseIfUnused();
  return Busy;
}

// A closed table component on table Name of Of's database, in Of's store, with Of's password.
std::unique_ptr<TEdbTable> Sibling(const TEdbTable& Of, const std::string& Name) {
  auto Table = std::make_unique<TEdbTable>();
  if (!Of.DatabaseFileName().empty()) Table->SetDatabaseFileName(Of.DatabaseFileName());
  else Table->SetDatabaseName(Of.DatabaseName());
  Table->SetTableName(Name);
  Table->SetInMemory(Of.InMemory());
  Table->SetTemporary(Of.Temporary());
  Table->SetPassword(Of.Password());
  Table->SetRecordsPerPage(Of.RecordsPerPage());
  return Table;
}

// A closed table component for a new table Name of Of's database, to be made from Defs and
// Indexes with these settings (and Of's AutoIndexes and page size).
std::unique_ptr<TEdbTable> NewTableComponent(const TEdbTable& Of, const std::string& Name, const TFieldDefs& Defs,
                                             const TIndexDefs& Indexes, bool Encrypted, const std::string& Password,
                                             TCompressionLevel Compression, int32_t BlockSize) {
  std::unique_ptr<TEdbTable> Table = Sibling(Of, Name);
  Table->SetPassword(Password);
  Table->SetEncrypted(Encrypted);
  Table->SetBLOBCompression(Compression);
  Table->SetBLOBBlockSize(BlockSize);
  Table->SetAutoIndexes(Of.AutoIndexes());
  Table->SetTempTableRecords(Of.TempTableRecords());
  Table->FieldDefs() = Defs;
  Table->SetIndexDefs(Indexes);
  return Table;
}

// Inserts into Target a record holding the values of the source's current record by Copies, and
// posts it; raises the conversion and post errors (Target is then still in dsInsert).
void AppendCurrent(TEdbTable& Target, const std::vector<TFieldCopy>& Copies) {
  Target.Insert();
  for (const TFieldCopy& Copy : Copies) {
    if (Copy.Source->IsNull()) continue;
    if (Copy.Target == nullptr) Target.SetNextAutoIncValue(Copy.Source->AsInteger());
    else AssignValue(*Copy.Source, *Copy.Target);
  }
  Target.Post();
}

std::string MessageOf(const std::exception& E) {
  const auto* Engine = dynamic_cast<const Exception*>(&E);
  return Engine != nullptr ? Engine->Message() : E.what();
}

// Closes a dataset at the end of a scope when it was opened for it.
class TOpenedFor {
public:
  explicit TOpenedFor(TDataSet& DataSet) : FDataSet(DataSet), FOpened(!DataSet.Active()) {
    if (FOpened) FDataSet.Open();
  }
  ~TOpenedFor() {
    try {
      if (FOpened) FDataSet.Close();
    } catch (...) {
      // A source that was only read has nothing to lose.
    }
  }
  TOpenedFor(const TOpenedFor&) = delete;
  TOpenedFor& operator=(const TOpenedFor&) = delete;

private:
  TDataSet& FDataSet;
  bool FOpened;
};

// No file of a table named Name is in Of's store.
bool NameFree(const TEdbTable& Of, const std::string& Name) {
  storage::TEdbDatabaseManager& Manager = storage::edGetDatabaseManager(DatabaseOf(Of), &Of);
  const pfs::TFileStoreMode Mode = Of.Temporary() ? pfs::fsmTemporary : Of.InMemory() ? pfs::fsmInMemory : pfs::fsmDefault;
  bool Free = true;
  Manager.OpenStore();
  try {
    for (const char* Extension : {storage::kDatExt, storage::kIdxExt, storage::kBifExt, storage::kBdfExt})
      Free = Free && !Manager.FileExists(Name + Extension, Mode);
  } catch (...) {
    Manager.CloseStore();
    throw;
  }
  Manager.CloseStore();
  (void)Manager.ReleaseIfUnused();
  return Free;
}

// The first free name of the backup series of Of's table: TableName + "_backup", then
// TableName + "_backup0", "_backup1", ...; Avoid is taken as not free.
std::string FreeBackupName(const TEdbTable& Of, const std::string& Avoid) {
  const std::string Base = Of.TableName() + "_backup";
  if (!platform::AnsiSameText(Base, Avoid) && NameFree(Of, Base)) return Base;
  for (int32_t N = 0;; ++N) {
    const std::string Name = Base + std::to_string(N);
    if (!platform::AnsiSameText(Name, Avoid) && NameFree(Of, Name)) return Name;
  }
}

// The files of table From that exist get the name To (the files a failed rename moved go back).
// Errors are dropped: the failure reported is the first one.
void UndoRename(const TEdbTable& Of, const std::string& From, const std::string& To) {
  try {
    if (!NameFree(Of, From)) Sibling(Of, From)->InternalRenameTable(To);
  } catch (...) {
    // The files keep the names they have.
  }
}

// Deletes table Name when it has files; a table that cannot be deleted stays under its name.
void DropQuietly(const TEdbTable& Of, const std::string& Name) {
  try {
    if (!NameFree(Of, Name)) Sibling(Of, Name)->InternalDeleteTable();
  } catch (...) {
    // It stays under its name of the backup series.
  }
}

// Puts the complete, closed table Built in the place of Of's table: the table (when there is
// one) goes to a free backup name, Built takes the table's name, the former table is deleted. A
// rename that fails is undone with every rename before it, Built is deleted, and the error goes
// on: the table is as it was. When only the final delete fails, the change stands and Call's
// error names the backup table that holds what is left of the former table.
void PutTableInPlace(const TEdbTable& Of, const std::string& Built, const char* Call) {
  const std::string Name = Of.TableName();
  if (NameFree(Of, Name)) {
    try {
      Sibling(Of, Built)->InternalRenameTable(Name);
    } catch (...) {
      UndoRename(Of, Name, Built);
      DropQuietly(Of, Built);
      throw;
    }
    return;
  }
  const std::string Backup = FreeBackupName(Of, Built);
  try {
    Sibling(Of, Name)->InternalRenameTable(Backup);
  } catch (...) {
    UndoRename(Of, Backup, Name);
    DropQuietly(Of, Built);
    throw;
  }
  try {
    Sibling(Of, Built)->InternalRenameTable(Name);
  } catch (...) {
    UndoRename(Of, Name, Built);
    UndoRename(Of, Backup, Name);
    DropQuietly(Of, Built);
    throw;
  }
  try {
    Sibling(Of, Backup)->InternalDeleteTable();
  } catch (const Exception& E) {
    throw Exception(std::string(Call) + " - the table is changed, but the former table \"" + Backup +
                    "\" could not be deleted: " + E.Message());
  }
}

// ---- Copying stored records ---------------------------------------------------------------------

// One field whose stored value goes unchanged from a source record into a target record.
struct TStoredCopy {
  int32_t From;  // table field numbers
  int32_t To;
  TFieldType Type;
  int32_t Bytes;  // bytes of the value (0 for BLOB fields)
};

// The copy of Copies between stored records, when every value would come through the field
// objects unchanged: each pair of fields has one type, and either one size or a string into one
// at least as long, or both are BLOB fields. Nothing then differs from the copy through the
// datasets but the speed, as long as no index of the target checks uniqueness (that check is the
// dataset's post). False: the records go through the datasets.
bool StoredCopyPlan(const std::vector<TFieldCopy>& Copies, const storage::TEdbDataManager& From,
                    const storage::TEdbDataManager& To, std::vector<TStoredCopy>& Plan) {
  for (int32_t I = 0; I < To.IndexCount(); ++I) {
    const storage::TIndexHeader& Header = To.Index(I).Header();
    if ((Header.Options & (ixUnique | ixPrimary).Bits()) != 0 && Header.FieldNos != std::vector<int32_t>{-1}) return false;
  }
  for (const TFieldCopy& Copy : Copies) {
    if (Copy.Target == nullptr) continue;  // the record ID
    const int32_t F = Copy.Source->FieldNo() - 1;
    const int32_t T = Copy.Target->FieldNo() - 1;
    if (F < 0 || T < 0 || F >= From.TableHeader().FieldCount || T >= To.TableHeader().FieldCount) return false;
    const storage::TFieldHeader& Source = From.FieldHeaders()[static_cast<size_t>(F)];
    const storage::TFieldHeader& Target = To.FieldHeaders()[static_cast<size_t>(T)];
    if (IsBlobFieldType(Source.FieldType) && IsBlobFieldType(Target.FieldType)) {
      Plan.push_back({F, T, Source.FieldType, 0});
      continue;
    }
    if (Source.FieldType != Target.FieldType) return false;
    if (Source.Size != Target.Size && !(Source.FieldType == ftString && Source.Size < Target.Size)) return false;
    Plan.push_back({F, T, Source.FieldType, Source.Size});
  }
  return true;
}

bool StoredNull(const storage::TEdbDataManager& Table, const uint8_t* Record, int32_t FieldNo) {
  return (Record[Table.DataSize() + storage::kRecordIdSize + FieldNo / 8] >> (FieldNo % 8)) & 1;
}

// A stored value the dataset reads as NULL although its flag is clear: an empty text, a date
// without its date.
bool ReadsAsNull(TFieldType Type, const uint8_t* Value) {
  switch (Type) {
    case ftString: return Value[0] == 0;
    case ftWideString: return Value[0] == 0 && Value[1] == 0;
    case ftDate: return storage::GetInt32(Value) == 0;
    case ftDateTime: return std::trunc(storage::GetDouble(Value) / MSecsPerDay) == 0;
    default: return false;
  }
}

// After a copy by Plan of every record of From into To, record n to record n: each index of To
// whose key fields all came unchanged (none in Changed) takes the entries of an index of From
// with the same key (the same fields, directions and case rules), which orders the records the
// same way; the others stay to be sorted.
void TakeUnchangedIndexes(storage::TEdbDataManager& From, storage::TEdbDataManager& To, const std::vector<TStoredCopy>& Plan,
                          const std::vector<bool>& Changed) {
  std::vector<int32_t> SourceField(To.FieldHeaders().size(), -2);  // -2: no unchanged source
  for (const TStoredCopy& Copy : Plan)
    if (Copy.Bytes > 0 && !Changed[static_cast<size_t>(Copy.To)]) SourceField[static_cast<size_t>(Copy.To)] = Copy.From;
  std::vector<int32_t> Entries;
  for (int32_t K = 0; K < To.IndexCount(); ++K) {
    const storage::TIndexHeader& Target = To.Index(K).Header();
    std::vector<int32_t> Fields;
    for (const int32_t FieldNo : Target.FieldNos)
      Fields.push_back(FieldNo < 0 ? FieldNo : SourceField[static_cast<size_t>(FieldNo)]);
    if (std::find(Fields.begin(), Fields.end(), -2) != Fields.end()) continue;
    for (int32_t J = 0; J < From.IndexCount(); ++J) {
      const storage::TIndexHeader& Source = From.Index(J).Header();
      if (Source.FieldNos != Fields || Source.AscendingBits != Target.AscendingBits ||
          Source.CaseInsBits != Target.CaseInsBits || Source.AllCaseInsensitive != Target.AllCaseInsensitive ||
          Source.AllDescending != Target.AllDescending)
        continue;
      From.BuildIndex(J);
      Entries.resize(static_cast<size_t>(From.Index(J).Count()));
      From.Index(J).CopyTo(Entries.data());
      To.Index(K).Assign(Entries.data(), static_cast<int32_t>(Entries.size()));
      break;
    }
  }
}

// Appends every record of From to To by Plan, in From's physical order, each with its ID; each
// index of To takes the order of the same index of From or is sorted once at the end. Records go
// in batches, the records of a batch first and their BLOB values after, so that the write log
// holds runs of consecutive records, each written in one piece. Progress (the percentage before
// each record) returns true to stop: then the result is false and To holds the records appended
// so far. Raises the table managers' errors and "Field '<name>' must have a value" for a required
// field of To left NULL; To is then to be dropped.
bool CopyStoredRecords(storage::TEdbDataManager& From, storage::TEdbDataManager& To, const std::vector<TStoredCopy>& Plan,
                       const std::function<bool(double)>& Progress) {
  constexpr int32_t kBatch = 256;
  const std::vector<uint8_t> Fresh = To.NewRecordBuffer();
  const size_t Size = Fresh.size();
  std::vector<uint8_t> Records(Size * kBatch);
  std::vector<int32_t> IDs(kBatch);
  // The BLOB values of the batch: Plan.size() per record, empty when there is none.
  std::vector<TMemoryStream> Values(Plan.size() * kBatch);
  const int32_t Count = From.RecordCount();
  const double Step = Count > 0 ? 100.0 / Count : 100.0;
  const bool Blobs = To.HasBLOBFields();
  // Fields of To some of whose values became NULL on the way (their keys changed).
  std::vector<bool> Changed(To.FieldHeaders().size(), false);
  To.BeginBulkAppend();
  for (int32_t First = 0; First < Count; First += kBatch) {
    const int32_t InBatch = std::min(kBatch, Count - First);
    for (int32_t B = 0; B < InBatch; ++B) {
      const int32_t RecNo = First + B;
      if (Progress(RecNo * Step)) return false;
      uint8_t* const Record = Records.data() + Size * static_cast<size_t>(B);
      uint8_t* const Nulls = Record + To.DataSize() + storage::kRecordIdSize;
      auto setNotNull = [Nulls](int32_t FieldNo) { Nulls[FieldNo / 8] &= static_cast<uint8_t>(~(1u << (FieldNo % 8))); };
      std::memcpy(Record, Fresh.data(), Size);
      const uint8_t* Source = From.GetRecord(RecNo);
      IDs[static_cast<size_t>(B)] = storage::GetInt32(Source + From.DataSize());
      TMemoryStream* const Blob = Values.data() + Plan.size() * static_cast<size_t>(B);
      bool HasBlobs = false;
      for (size_t K = 0; K < Plan.size(); ++K) {
        const TStoredCopy& Copy = Plan[K];
        Blob[K].Clear();
        if (StoredNull(From, Source, Copy.From)) continue;
        if (Copy.Bytes == 0) {
          HasBlobs = true;
          continue;
        }
        const uint8_t* Value = Source + From.FieldOffset(Copy.From);
        if (ReadsAsNull(Copy.Type, Value)) {
          Changed[static_cast<size_t>(Copy.To)] = true;
          continue;
        }
        std::memcpy(Record + To.FieldOffset(Copy.To), Value, static_cast<size_t>(Copy.Bytes));
        setNotNull(Copy.To);
      }
      // Read after the record's bytes are taken: a BLOB read may reuse the page pool.
      for (size_t K = 0; HasBlobs && K < Plan.size(); ++K) {
        if (Plan[K].Bytes != 0 || StoredNull(From, From.GetRecord(RecNo), Plan[K].From)) continue;
        From.ReadBLOBValue(Blob[K], Plan[K].From, RecNo);
        if (Blob[K].Size() > 0) setNotNull(Plan[K].To);
      }
      for (size_t F = 0; F < To.FieldHeaders().size(); ++F) {
        const storage::TFieldHeader& Header = To.FieldHeaders()[F];
        if (Header.Required && StoredNull(To, Record, static_cast<int32_t>(F)))
          throw Exception("Field '" + Header.Name + "' must have a value");
      }
    }
    const int32_t Target = To.RecordCount();
    for (int32_t B = 0; B < InBatch; ++B) {
      To.SetLastAutoInc(IDs[static_cast<size_t>(B)] - 1);
      if (Blobs) To.edAddBLOBRecord();
      (void)To.edInsertRecord(Records.data() + Size * static_cast<size_t>(B), -1);
    }
    for (int32_t B = 0; Blobs && B < InBatch; ++B) {
      TMemoryStream* const Blob = Values.data() + Plan.size() * static_cast<size_t>(B);
      for (size_t K = 0; K < Plan.size(); ++K)
        if (Blob[K].Size() > 0) To.WriteBLOBValue(Blob[K], Plan[K].To, Target + B);
    }
  }
  TakeUnchangedIndexes(From, To, Plan, Changed);
  To.EndBulkAppend();
  return true;
}

}  // namespace

// ---- Importing ----------------------------------------------------------------------------------

bool TEdbTable::ImportTable(TDataSource* DataSource, const TIndexDefs* IndexDefs, std::string& Log) {
  return InternalImportTable(DataSource, IndexDefs, Log);
}

bool TEdbTable::InternalImportTable(TDataSource* DataSource, const TIndexDefs* IndexDefs, std::string& Log) {
  if (Active() || TableOpen()) throw Exception("Error in TEdbDataset.InternalImportTable - table is opened.");
  if (TableBusy(*this)) throw Exception("TEdbDataSet.InternalImportTable - Table is busy, table " + TableName());
  if (DataSource == nullptr) throw Exception("Error in TEdbDataset.ImportTable - dataSource 0 pointer.");
  TDataSet* Source = DataSource->DataSet();
  if (Source == nullptr) throw Exception("Error in TEdbDataset.ImportTable - dataSet 0 pointer.");
  const TIndexDefs SourceIndexDefs = IndexDefs != nullptr ? *IndexDefs : TIndexDefs();
  bool Result = true;
  const TOpenedFor SourceOpen(*Source);
  if (Source->FieldDefs().empty()) Source->UpdateFieldDefs();

  // Field definitions.
  TFieldDefs Defs;
  std::string AutoIncName;  // the source's first AutoInc field, which supplies the IDs
  std::vector<std::string> SourceNames;
  for (const TFieldDef& Def : Source->FieldDefs()) SourceNames.push_back(Def.Name);
  for (const TFieldDef& SourceDef : Source->FieldDefs()) {
    TFieldDef Def;
    Def.Name = SourceDef.Name;
    Def.Required = SourceDef.Required;
    if (Def.Name.size() > static_cast<size_t>(storage::kMaxFieldNameLength)) {
      Def.Name.resize(static_cast<size_t>(storage::kMaxFieldNameLength));
      Log += "Field name longer than 18 chars is not supported! FieldName = " + Def.Name + " is truncated." + kCrLf;
      Result = false;
    }
    switch (SourceDef.DataType) {
      case ftString:
      case ftFixedChar: Def.DataType = ftString; Def.Size = SourceDef.Size; break;
      case ftSmallint:
      case ftInteger:
      case ftWord:
      case ftBoolean:
      case ftLargeint: Def.DataType = SourceDef.DataType; break;
      case ftBCD: Def.DataType = ftFloat; break;
      case ftDate:
      case ftTime:
      case ftDateTime:
      case ftFloat:
      case ftCurrency:
      case ftBlob:
      case ftMemo:
      case ftGraphic:
      case ftFmtMemo: Def.DataType = SourceDef.DataType; break;
      case ftAutoInc:
        Def.DataType = ftInteger;
        if (AutoIncName.empty()) AutoIncName = Def.Name;
        break;
      case ftParadoxOle:
      case ftDBaseOle:
      case ftTypedBinary: Def.DataType = ftBlob; break;
      case ftWideString: Def.DataType = ftWideString; Def.Size = SourceDef.Size; break;
      case ftBytes: Def.DataType = ftBytes; Def.Size = SourceDef.Size; break;
      default:
        if (SourceDef.Size <= 0) {
          Def.DataType = ftLargeint;
          Log += "Field type not supported! FieldName = " + Def.Name + ". Field type will be replaced to ftLargeInt." + kCrLf;
        } else {
          Def.DataType = ftString;
          Def.Size = SourceDef.Size;
          Log += "Field type not supported! FieldName = " + Def.Name + ". Field type will be replaced to ftString." + kCrLf;
        }
        Result = false;
        break;
    }
    Defs.push_back(std::move(Def));
  }

  // The ID field: the AutoInc field, else the first primary index's field, else "ID<n>".
  TIndexDefs Indexes;
  std::string IDName = AutoIncName;
  if (IDName.empty()) {
    for (const TIndexDef& Def : SourceIndexDefs) {
      if (!Def.Options.Contains(ixPrimary)) continue;
      const std::vector<std::string> Fields = SplitFieldNames(Def.Fields);
      IDName = Fields.empty() ? Def.Name : Fields[0];
      if (IDName.size() > static_cast<size_t>(storage::kMaxFieldNameLength))
        IDName.resize(static_cast<size_t>(storage::kMaxFieldNameLength));
      break;
    }
  }
  if (IDName.empty()) {
    for (int32_t N = 0; IDName.empty(); ++N) {
      const std::string Candidate = "ID" + std::to_string(N);
      if (std::none_of(SourceNames.begin(), SourceNames.end(),
                       [&Candidate](const std::string& Name) { return platform::AnsiSameText(Name, Candidate); }))
        IDName = Candidate;
    }
    Defs.push_back({IDName, ftInteger, 0, false});
  }
  Indexes.push_back({IDName, IDName, "", "", ixPrimary});
  for (const TIndexDef& Def : SourceIndexDefs) {
    if (Def.Name.empty() || platform::AnsiSameText(Def.Name, IDName)) continue;
    uint8_t Options = Def.Options.Bits() & (ixDescending | ixCaseInsensitive).Bits();
    Indexes.push_back({Def.Name, Def.Fields, Def.DescFields, Def.CaseInsFields, TIndexOptions::FromBits(Options)});
  }

  // BLOB fields whose first value is a picture become graphic fields.
  Source->First();
  if (!Source->Eof()) {
    for (size_t K = 0; K < Defs.size() && K < Source->FieldDefs().size(); ++K) {
      if (!IsBlobKind(Source->FieldDefs()[K].DataType)) continue;
      TField* Field = Source->FindField(Source->FieldDefs()[K].Name);
      if (Field == nullptr || !Field->IsBlob()) continue;
      TMemoryStream Stream;
      static_cast<TBlobField*>(Field)->SaveToStream(Stream);
      if (storage::TEdbDataManager::IsStreamGraphic(Stream)) Defs[K].DataType = ftGraphic;
    }
  }

  // The new table, under a name of the backup series until it is complete.
  const std::string Name = TableName();
  const std::string Built = FreeBackupName(*this, "");
  std::unique_ptr<TEdbTable> Target =
      NewTableComponent(*this, Built, Defs, Indexes, Encrypted(), Password(),
                        static_cast<TCompressionLevel>(BLOBCompression()), BLOBBlockSize());
  const char* Problem = "Table cannot be created!";
  try {
    Target->InternalCreateTable();
    Problem = "Table cannot be opened!";
    Target->Open();
  } catch (const std::exception&) {
    Log += std::string(kCrLf) + Problem;
    Target.reset();
    DropQuietly(*this, Built);
    return false;
  }

  std::vector<TFieldCopy> Copies;
  for (int32_t K = 0; K < Source->FieldCount(); ++K) {
    TField* SourceField = &Source->Fields()[K];
    if (SourceField->FieldKind() != fkData) continue;
    std::string TargetName = SourceField->FieldName();
    if (TargetName.size() > static_cast<size_t>(storage::kMaxFieldNameLength))
      TargetName.resize(static_cast<size_t>(storage::kMaxFieldNameLength));
    TField* TargetField = Target->FindField(TargetName);
    if (TargetField == nullptr) continue;
    if (SourceField->DataType() == ftAutoInc && platform::AnsiSameText(TargetName, AutoIncName))
      Copies.push_back({SourceField, nullptr});
    else if (TargetField->DataType() != ftAutoInc)
      Copies.push_back({SourceField, TargetField});
  }

  bool Cancelled = false;
  try {
    SetProgressProcess(edppImport);
    double Percent = 0;
    const int32_t Count = Source->RecordCount();
    const double Step = Count > 0 ? 100.0 / Count : 100.0;
    int32_t RecordNo = 0;
    for (Source->First(); !Source->Eof(); Source->Next()) {
      ++RecordNo;
      if (DoProgress(Percent)) {
        Cancelled = true;
        break;
      }
      try {
        AppendCurrent(*Target, Copies);
      } catch (const std::exception&) {
        if (Target->State() == dsInsert) Target->Cancel();
        Log += "Insert records error, record number = !" + std::to_string(RecordNo) + kCrLf;
        Result = false;
      }
      Percent += Step;
    }
    Target->Close();
  } catch (...) {
    Target.reset();
    DropQuietly(*this, Built);
    throw;
  }
  Target.reset();
  if (Cancelled) {
    DropQuietly(*this, Built);
    Log += std::string("Import cancelled.") + kCrLf;
    return false;
  }
  PutTableInPlace(*this, Built, "Error in TEdbDataset.ImportTable");
  (void)DoProgress(100);
  return Result;
}

// ---- Restructuring ------------------------------------------------------------------------------

void TEdbTable::RestructureTable(bool NewEncrypted, const std::string& NewPassword, TCompressionLevel NewBLOBCompression,
                                 int32_t NewBLOBBlockSize) {
  InternalRestructureTable(NewEncrypted, NewPassword, NewBLOBCompression, NewBLOBBlockSize);
}

void TEdbTable::InternalRestructureTable(bool NewEncrypted, const std::string& NewPassword,
                                         TCompressionLevel NewBLOBCompression, int32_t NewBLOBBlockSize) {
  if (Active() || TableOpen()) throw Exception("Error in TEdbDataset.InternalRestructureTable - table is opened.");
  if (TableBusy(*this)) throw Exception("TEdbDataSet.InternalRestructureTable - Table is busy, table " + TableName());
  // The new structure: the definitions given, else the table's own; automatic and temporary
  // indexes come with the new table (AutoIndexes) or not at all.
  if (FieldDefs().empty()) UpdateFieldDefs();
  const TFieldDefs Defs = FieldDefs();
  TIndexDefs Indexes;
  for (const TIndexDef& Def : IndexDefs())
    if (!Def.Name.empty() && Def.Name[0] != storage::kAutoIndexPrefix && Def.Name[0] != storage::kTemporaryIndexPrefix)
      Indexes.push_back(Def);

  std::unique_ptr<TEdbTable> Source = Sibling(*this, TableName());
  const std::string Built = FreeBackupName(*this, "");
  std::unique_ptr<TEdbTable> Target =
      NewTableComponent(*this, Built, Defs, Indexes, NewEncrypted, NewPassword, NewBLOBCompression, NewBLOBBlockSize);
  try {
    Source->Open();
    Target->InternalCreateTable();
    Target->Open();
  } catch (const std::exception& E) {
    Source.reset();
    Target.reset();
    DropQuietly(*this, Built);
    throw Exception(kRestructureError + MessageOf(E));
  }

  // A source field goes to the target field of its name, else to the target field at its
  // position when that one has a new name and the same type.
  std::vector<TFieldCopy> Copies;
  for (int32_t K = 0; K < Source->FieldCount(); ++K) {
    TField* SourceField = &Source->Fields()[K];
    if (SourceField->FieldKind() != fkData) continue;
    if (SourceField->DataType() == ftAutoInc) {
      Copies.push_back({SourceField, nullptr});
      continue;
    }
    TField* TargetField = Target->FindField(SourceField->FieldName());
    if (TargetField == nullptr && K < Target->FieldCount()) {
      TField& AtPlace = Target->Fields()[K];
      if (AtPlace.DataType() == SourceField->DataType() && Source->FindField(AtPlace.FieldName()) == nullptr)
        TargetField = &AtPlace;
    }
    if (TargetField != nullptr && TargetField->FieldKind() == fkData && TargetField->DataType() != ftAutoInc)
      Copies.push_back({SourceField, TargetField});
  }

  std::string Failure;
  try {
    SetProgressProcess(edppRestructure);
    std::vector<TStoredCopy> Plan;
    if (StoredCopyPlan(Copies, *Source->DataManager(), *Target->DataManager(), Plan)) {
      if (!CopyStoredRecords(*Source->DataManager(), *Target->DataManager(), Plan,
                             [this](double Percent) { return DoProgress(Percent); }))
        Failure = kCancelled;
    } else {
      double Percent = 0;
      const int32_t Count = Source->RecordCount();
      const double Step = Count > 0 ? 100.0 / Count : 100.0;
      for (Source->First(); !Source->Eof(); Source->Next()) {
        if (DoProgress(Percent)) {
          Failure = kCancelled;
          break;
        }
        AppendCurrent(*Target, Copies);
        Percent += Step;
      }
    }
    // The IDs of records deleted before stay used.
    if (Failure.empty() && Target->GetLastAutoIncValue() < Source->GetLastAutoIncValue())
      Target->SetNextAutoIncValue(Source->GetLastAutoIncValue() + 1);
    Source->Close();
    Target->Close();
  } catch (const std::exception& E) {
    Failure = MessageOf(E);
  }
  Source.reset();
  Target.reset();
  if (!Failure.empty()) {
    DropQuietly(*this, Built);
    throw Exception(kSavingError + Failure);
  }
  PutTableInPlace(*this, Built, "Error in TEdbDataset.RestructureTable");
  SetPassword(NewPassword);
  SetEncrypted(NewEncrypted);
  SetBLOBCompression(NewBLOBCompression);
  SetBLOBBlockSize(NewBLOBBlockSize);
  SetBuildIndexDefsOnOpen(true);
  (void)DoProgress(100);
}

}  // namespace tesvar::dataset
