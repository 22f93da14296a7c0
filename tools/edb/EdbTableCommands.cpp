// The `edb table` commands over the table storage and the table component: create, load, dump,
// info, list, drop, rename and restructure tables of a database kept in a container file or a
// directory, and add and delete their indexes.

#include "container/TContainerFileSystem.h"
#include "dataset/TEdbDataset.h"
#include "dataset/TEdbTable.h"
#include "edb/EdbFieldList.h"
#include "edb/EdbFieldText.h"
#include "edb/EdbTableStore.h"
#include "edb/EdbTool_internal.h"
#include "edb/EdbTsv.h"
#include "platform/AnsiCase.h"
#include "platform/Exception.h"
#include "platform/IFileSystem.h"
#include "storage/StorageEngine.h"
#include "storage/TEdbDataManager.h"
#include "storage/TEdbDatabase.h"
#include "storage/TEdbDatabaseManager.h"
#include "storage/TableFormat.h"
#include "toolkit/DateTime.h"
#include "toolkit/IEdbDataset.h"

#include <algorithm>
#include <charconv>
#include <cstring>
#include <future>
#include <memory>
#include <ostream>

namespace tesvar::edb {

using namespace tesvar::storage;
using toolkit::TFieldType;

namespace {

// Records per page of the page pool while the tool has a table open.
constexpr int32_t kRecordsPerPage = 1000;
// The TSV file is read in pieces of this size.
constexpr size_t kReadChunk = 4 << 20;
// The largest BLOB block size create takes.
constexpr int32_t kMaxBlobBlockSize = 1 << 20;
// Dump output goes out in pieces of about this size.
constexpr size_t kWriteChunk = 1 << 20;
// A load sorts the indexes after its last row when the table holds at most one record per this
// many bytes of the file.
constexpr int64_t kBulkBytesPerRecord = 64;

// The dataset through which the tool opens a table.
class TToolDataset : public toolkit::IEdbDataset {
public:
  TToolDataset(std::string File, bool Container, std::string Password, bool ReadOnly)
      : FFile(std::move(File)), FContainer(Container), FPassword(std::move(Password)), FReadOnly(ReadOnly) {}
  std::string DatabaseFileName() const override { return FContainer ? FFile : std::string(); }
  std::string DatabaseName() const override { return FContainer ? std::string() : FFile; }
  const void* DatabaseComponent() const override { return nullptr; }
  bool InMemory() const override { return false; }
  bool Temporary() const override { return false; }
  bool ReadOnly() const override { return FReadOnly; }
  void SetReadOnly(bool Value) override { FReadOnly = Value; }
  std::string Password() const override { return FPassword; }
  int32_t RecordsPerPage() const override { return kRecordsPerPage; }
  bool OneRecordPages() const override { return false; }
  bool Encrypted() const override { return !FPassword.empty(); }
  uint8_t BLOBCompression() const override { return FBLOBCompression; }
  int32_t BLOBBlockSize() const override { return FBLOBBlockSize; }
  bool Active() const override { return true; }
  void Close() override {}
  void SetBLOBCompression(uint8_t Value) { FBLOBCompression = Value; }
  // 0: the engine's default.
  void SetBLOBBlockSize(int32_t Value) { FBLOBBlockSize = Value; }

private:
  std::string FFile;
  bool FContainer;
  std::string FPassword;
  bool FReadOnly;
  uint8_t FBLOBCompression = 2;
  int32_t FBLOBBlockSize = 0;
};

enum class Access { Read, Write };

// The database of a run: the storage engine, a connected database component and the dataset for
// the table. Destroyed in reverse order (the table first, then the component, then the engine).
class TToolDatabase {
public:
  TToolDatabase(const TCommandRun& Run, Access How)
      : FPath(Run.Args[1]),
        FDataset(FPath, !platform::FileSystem().DirectoryExists(FPath), Run.Table.TablePassword.value_or(std::string()),
                 How == Access::Read) {
    platform::IFileSystem& Fs = platform::FileSystem();
    FDatabase.SetReadOnly(How == Access::Read);
    if (Fs.DirectoryExists(FPath)) {
      FDatabase.SetDirectory(FPath);
    } else {
      if (!Fs.FileExists(FPath)) throw ToolError(FPath + ": no such container or directory (edb create makes a container)");
      const std::string Password = Run.Password.value_or(std::string());
      if (container::TContainerFileSystem::IsFileEncrypted(FPath)) {
        if (Password.empty()) throw ToolError(FPath + ": the container is encrypted; give --password or set EDB_PASSWORD");
        if (!container::TContainerFileSystem::CheckFilePassword(FPath, Password)) throw ToolError(FPath + ": wrong password");
      }
      FDatabase.SetDatabaseFileName(FPath);
      FDatabase.SetPassword(Password);
    }
    FDatabase.SetConnected(true);
    FManager = &edGetDatabaseManager(FPath, &FDataset);
    if (How == Access::Write && FManager->ReadOnly()) throw ToolError(FPath + ": the database can only be read");
  }
  ~TToolDatabase() {
    try {
      FDatabase.SetConnected(false);
    } catch (...) {
      // Nothing is left to write: the tables were closed, their errors reported.
    }
  }
  TToolDatabase(const TToolDatabase&) = delete;
  TToolDatabase& operator=(const TToolDatabase&) = delete;

  TEdbDatabaseManager& Manager() { return *FManager; }
  TToolDataset& Dataset() { return FDataset; }
  const std::string& Path() const { return FPath; }
  bool TableExists(const std::string& Table) { return FManager->FileExists(Table + ".dat", pfs::fsmDefault); }

private:
  ScopedStorageEngine FEngine;
  std::string FPath;
  TToolDataset FDataset;
  TEdbDatabase FDatabase;
  TEdbDatabaseManager* FManager = nullptr;
};

// A table open through the tool's dataset; closed (flushed) by Close, or dropped on the way out.
class TOpenTable {
public:
  TOpenTable(TToolDatabase& Database, const std::string& Name) : FDatabase(Database), FName(Name) {
    if (!Database.TableExists(Name)) throw ToolError(Database.Path() + ": no table " + Quoted(Name));
    TEdbDataManager& Table = edGetDataManager(Name, &Database.Manager());
    const int32_t Result = Table.ConnectDataset(Database.Dataset());
    switch (Result) {
      case otrOk: FTable = &Table; return;
      case otrNoDataFile: throw ToolError(Database.Path() + ": no table " + Quoted(Name));
      case otrBadPassword:
        throw ToolError(Database.Dataset().Password().empty()
                            ? Quoted(Name) + ": the table is encrypted; give --table-password"
                            : Quoted(Name) + ": wrong table password");
      default:
        throw ToolError(Quoted(Name) + ": cannot open the table: " +
                        (Table.LastOpenError().empty() ? std::string("its files cannot be opened") : Shown(Table.LastOpenError())));
    }
  }
  ~TOpenTable() {
    try {
      Close();
    } catch (...) {
      // Reported by Close on the way that does not fail.
    }
  }
  TOpenTable(const TOpenTable&) = delete;
  TOpenTable& operator=(const TOpenTable&) = delete;

  TEdbDataManager& operator*() const { return *FTable; }
  TEdbDataManager* operator->() const { return FTable; }
  // Flushes and closes the table; raises the close's error.
  void Close() {
    if (!FTable) return;
    TEdbDataManager* Table = FTable;
    FTable = nullptr;
    Table->DisconnectDataset(FDatabase.Dataset());
  }

private:
  TToolDatabase& FDatabase;
  std::string FName;
  TEdbDataManager* FTable = nullptr;
};

std::string TableNameArgument(const TCommandRun& Run, size_t At) {
  std::string Name = ArgumentToAnsi(Run.Args[At], At == 2 ? "TABLE" : "NEW");
  if (Name.empty()) throw ToolError("an empty table name");
  for (char C : Name) {
    const uint8_t B = static_cast<uint8_t>(C);
    if (B < 0x20 || C == '\\' || C == '/' || C == ':' || C == '*' || C == '?' || C == '"' || C == '<' || C == '>' || C == '|')
      throw ToolError(Quoted(Name) + ": a table name holds no path or control characters");
  }
  return Name;
}

void AppendNumber32(int32_t Value, std::string& Out) {
  char Text[16];
  const auto [End, Error] = std::to_chars(Text, Text + sizeof Text, Value);
  (void)Error;  // sixteen characters hold any int32
  Out.append(Text, End);
}

// The null flag of a field of a record.
bool IsNull(const TEdbDataManager& Table, const uint8_t* Record, int32_t FieldNo) {
  return (Record[Table.DataSize() + 4 + FieldNo / 8] >> (FieldNo % 8)) & 1;
}

void SetNotNull(const TEdbDataManager& Table, uint8_t* Record, int32_t FieldNo) {
  Record[Table.DataSize() + 4 + FieldNo / 8] &= static_cast<uint8_t>(~(1u << (FieldNo % 8)));
}

std::string CompressionName(uint8_t Level) {
  static const char* const kNames[] = {"0 (none)", "1 (fastest)", "2 (default)", "3 (max)"};
  return Level < 4 ? kNames[Level] : std::to_string(Level) + " (unknown)";
}

// A progress bar over the bytes of the TSV file, shown on a terminal for large files only.
class TLoadProgress {
public:
  TLoadProgress(const TCommandRun& Run, int64_t Total)
      : FBar(Run.Context.Err, "loading"), FTotal(Total), FShow(Run.Context.ErrIsTerminal && Total >= Run.Context.LoadProgressFromBytes) {}
  ~TLoadProgress() { FBar.Finish(); }
  TLoadProgress(const TLoadProgress&) = delete;
  TLoadProgress& operator=(const TLoadProgress&) = delete;
  void Update(int64_t Done) {
    if (FShow) FBar.Show(100.0 * static_cast<double>(Done) / static_cast<double>(FTotal));
  }

private:
  TProgressBar FBar;
  int64_t FTotal;
  bool FShow;
};

// Reads a host file line by line in large pieces.
class TLineReader {
public:
  explicit TLineReader(platform::IFile& File) : FFile(File) {}
  // The next line without its LF; false at the end of the file. Views stay valid until the
  // next call.
  bool Next(std::string_view& Line) {
    while (true) {
      const char* Start = FBuffer.data() + FPos;
      const void* Lf = std::memchr(Start, '\n', FBuffer.size() - FPos);
      if (Lf) {
        const size_t End = static_cast<size_t>(static_cast<const char*>(Lf) - FBuffer.data());
        Line = std::string_view(Start, End - FPos);
        FPos = End + 1;
        return true;
      }
      if (FEnd) {
        if (FPos == FBuffer.size()) return false;
        Line = std::string_view(Start, FBuffer.size() - FPos);  // a last line without LF
        FPos = FBuffer.size();
        return true;
      }
      FBuffer.erase(0, FPos);
      FPos = 0;
      const size_t Kept = FBuffer.size();
      FBuffer.resize(Kept + kReadChunk);
      const int64_t Got = FFile.Read(FBuffer.data() + Kept, static_cast<int64_t>(kReadChunk));
      if (Got < 0) throw ToolError("cannot read: " + platform::LastErrorText());
      FBuffer.resize(Kept + static_cast<size_t>(Got));
      FRead += Got;
      if (Got == 0) FEnd = true;
    }
  }
  int64_t BytesRead() const { return FRead; }

private:
  platform::IFile& FFile;
  std::string FBuffer;
  size_t FPos = 0;
  int64_t FRead = 0;
  bool FEnd = false;
};

// A failure of one line of the TSV file.
class TLineError : public ToolError {
public:
  using ToolError::ToolError;
};

// Where a column of the TSV file goes.
struct TColumn {
  int32_t FieldNo = 0;  // -1: the record-ID column, whose values the table assigns
  std::string Name;     // as shown
};

void ParseHeader(TEdbDataManager& Table, std::string_view Line, std::vector<TColumn>& Columns) {
  if (Line.starts_with("\xEF\xBB\xBF")) Line.remove_prefix(3);  // a UTF-8 byte order mark
  std::vector<TTsvField> Fields;
  SplitTsvLine(Line, Fields);
  std::vector<bool> Seen(Table.FieldHeaders().size() + 1, false);
  for (const TTsvField& Field : Fields) {
    std::string Name;
    size_t BadAt = 0;
    if (Field.Null || !UnescapeTsvField(Field.Raw, Name, BadAt)) throw TLineError("line 1: the header names fields, not \\N or a bad escape");
    std::string Ansi;
    try {
      Ansi = TextToAnsi(Name);
    } catch (const ToolError& E) {
      throw TLineError("line 1, field '" + ShownHost(Name) + "': " + E.what());
    }
    const auto& Headers = Table.FieldHeaders();
    int32_t FieldNo = -2;
    if (platform::AnsiSameText(Ansi, Table.TableHeader().IDFieldName)) FieldNo = -1;
    for (size_t I = 0; I < Headers.size() && FieldNo == -2; ++I) {
      if (platform::AnsiSameText(Headers[I].Name, Ansi)) FieldNo = static_cast<int32_t>(I);
    }
    if (FieldNo == -2) throw TLineError("line 1: the table has no field " + Quoted(Ansi));
    if (Seen[static_cast<size_t>(FieldNo + 1)]) throw TLineError("line 1: field " + Quoted(Ansi) + " is named twice");
    Seen[static_cast<size_t>(FieldNo + 1)] = true;
    Columns.push_back({FieldNo, Shown(FieldNo < 0 ? Table.TableHeader().IDFieldName : Headers[static_cast<size_t>(FieldNo)].Name)});
  }
  for (size_t I = 0; I < Table.FieldHeaders().size(); ++I) {
    if (Table.FieldHeaders()[I].Required && !Seen[I + 1])
      throw TLineError("line 1: the header lacks the required field " + Quoted(Table.FieldHeaders()[I].Name));
  }
}

// The unique indexes of the table (their keys are checked on every row).
std::vector<int32_t> UniqueIndexes(const TEdbDataManager& Table) {
  std::vector<int32_t> Found;
  for (int32_t I = 0; I < Table.IndexCount(); ++I) {
    const TIndexHeader& Header = Table.Index(I).Header();
    if ((Header.Options & (toolkit::ixUnique | toolkit::ixPrimary).Bits()) != 0 && Header.FieldNos != std::vector<int32_t>{-1})
      Found.push_back(I);
  }
  return Found;
}

// The unique index whose key the last record shares with another record, or -1.
int32_t DuplicateKey(TEdbDataManager& Table, const std::vector<int32_t>& Unique, std::vector<uint8_t>& Scratch) {
  const int32_t RecNo = Table.RecordCount() - 1;
  for (int32_t IndexNo : Unique) {
    Table.BuildIndex(IndexNo);
    const TEdbIndex& Index = Table.Index(IndexNo);
    const int32_t At = Index.FindRecord(RecNo);
    std::memcpy(Scratch.data(), Table.GetRecord(RecNo), Scratch.size());
    for (int32_t Near : {At - 1, At + 1}) {
      if (Near < 0 || Near >= Index.Count()) continue;
      if (Index.CompareKeys(Scratch.data(), Table.GetRecord(Index.At(Near))) == 0) return IndexNo;
    }
  }
  return -1;
}

// Appends the rows of File to Table, counting them in Loaded. A TLineError names the line that
// stopped it; the rows before it are in the table.
void LoadRows(const TCommandRun& Run, TEdbDataManager& Table, platform::IFile& File, int64_t& Loaded) {
  TLoadProgress Progress(Run, File.Size());
  TLineReader Reader(File);
  std::string_view Line;
  if (!Reader.Next(Line)) throw TLineError("the file is empty (it needs a header line naming the fields)");
  std::vector<TColumn> Columns;
  ParseHeader(Table, Line, Columns);

  const std::vector<uint8_t> Fresh = Table.NewRecordBuffer();
  std::vector<uint8_t> Record(Fresh.size());
  std::vector<uint8_t> Scratch(Fresh.size());
  const std::vector<int32_t> Unique = UniqueIndexes(Table);
  const bool HasBLOBs = Table.HasBLOBFields();
  // Without unique keys to check row by row, a file large beside the table gets its indexes
  // sorted once after the last row (a small one added to a large table is cheaper put in row by
  // row). Should a row fail, the close sorts them before it saves them.
  const bool Bulk = Unique.empty() && static_cast<int64_t>(Table.RecordCount()) <= File.Size() / kBulkBytesPerRecord;
  if (Bulk) Table.BeginBulkAppend();
  std::vector<TTsvField> Fields;
  std::string Text;
  struct TBlobValue {
    int32_t FieldNo;
    std::string Stored;
  };
  std::vector<TBlobValue> Blobs;
  int64_t LineNo = 1;
  while (Reader.Next(Line)) {
    ++LineNo;
    if ((LineNo & 0x3FFF) == 0) Progress.Update(Reader.BytesRead());
    SplitTsvLine(Line, Fields);
    // Messages are made only for a row that fails.
    auto where = [LineNo]() { return "line " + std::to_string(LineNo); };
    if (Fields.size() != Columns.size()) {
      throw TLineError(where() + ": " + std::to_string(Fields.size()) + (Fields.size() == 1 ? " field" : " fields") +
                       ", the header names " + std::to_string(Columns.size()));
    }
    std::memcpy(Record.data(), Fresh.data(), Record.size());
    Blobs.clear();
    for (size_t C = 0; C < Columns.size(); ++C) {
      const TColumn& Column = Columns[C];
      if (Column.FieldNo < 0) continue;  // the table assigns the record ID
      const TFieldHeader& Header = Table.FieldHeaders()[static_cast<size_t>(Column.FieldNo)];
      auto at = [&]() { return where() + ", field '" + Column.Name + "'"; };
      if (Fields[C].Null) {
        if (Header.Required) throw TLineError(at() + ": the field is required, \\N is not allowed");
        continue;
      }
      Text.clear();
      size_t BadAt = 0;
      if (!UnescapeTsvField(Fields[C].Raw, Text, BadAt)) {
        throw TLineError(at() + ": a backslash that starts no escape (\\N, \\t, \\n, \\r, \\\\) at character " +
                         std::to_string(BadAt + 1));
      }
      try {
        if (toolkit::IsBlobFieldType(Header.FieldType)) {
          Blobs.push_back({Column.FieldNo, ParseBlobText(Header, Text)});
        } else {
          ParseFieldText(Header, Text, Record.data() + Table.FieldOffset(Column.FieldNo));
        }
      } catch (const ToolError& E) {
        throw TLineError(at() + ": " + E.what());
      }
      SetNotNull(Table, Record.data(), Column.FieldNo);
    }
    // Everything of the row is checked: now it goes in.
    if (HasBLOBs) AddBlobRecord(Table);
    try {
      Table.edInsertRecord(Record.data(), 0);
    } catch (...) {
      if (HasBLOBs) DropLastBlobRecord(Table);
      throw;
    }
    const int32_t RecNo = Table.RecordCount() - 1;
    for (const TBlobValue& Blob : Blobs) WriteBlobValue(Table, Blob.FieldNo, RecNo, Blob.Stored);
    if (!Unique.empty()) {
      const int32_t Duplicate = DuplicateKey(Table, Unique, Scratch);
      if (Duplicate >= 0) {
        if (HasBLOBs) DeleteBlobRecord(Table, RecNo);
        Table.edDeleteRecord(0, RecNo);
        throw TLineError(where() + ": its key of the unique index " + Quoted(Table.Index(Duplicate).Header().Name) +
                         " is in the table already");
      }
    }
    ++Loaded;
  }
  if (Bulk) Table.EndBulkAppend();
  Progress.Update(Reader.BytesRead());
}

// Dump output: appended to a buffer that goes out in large pieces.
class TDumpWriter {
public:
  explicit TDumpWriter(std::ostream& Out) : FOut(Out) { FBuffer.reserve(kWriteChunk + (64 << 10)); }
  std::string& Buffer() { return FBuffer; }
  void FlushIfFull() {
    if (FBuffer.size() >= kWriteChunk) Flush();
  }
  void Flush() {
    FOut.write(FBuffer.data(), static_cast<std::streamsize>(FBuffer.size()));
    FBuffer.clear();
    if (!FOut) throw ToolError("cannot write the output");
  }

private:
  std::ostream& FOut;
  std::string FBuffer;
};

// The --blob-compression level given, else Default.
uint8_t CompressionOption(const TCommandRun& Run, uint8_t Default) {
  if (!Run.Table.BlobCompression) return Default;
  const std::string& Text = *Run.Table.BlobCompression;
  if (Text.size() != 1 || Text[0] < '0' || Text[0] > '3') throw ToolError("--blob-compression: a level 0 to 3, not '" + ShownHost(Text) + "'");
  return static_cast<uint8_t>(Text[0] - '0');
}

// The --blob-block-size given, else Default.
int32_t BlockSizeOption(const TCommandRun& Run, int32_t Default) {
  if (!Run.Table.BlobBlockSize) return Default;
  const std::string& Text = *Run.Table.BlobBlockSize;
  int32_t BlockSize = 0;
  const auto [End, Error] = std::from_chars(Text.data(), Text.data() + Text.size(), BlockSize);
  if (Text.empty() || Error != std::errc() || End != Text.data() + Text.size() || BlockSize < 1 || BlockSize > kMaxBlobBlockSize)
    throw ToolError("--blob-block-size: a number of bytes from 1 to " + std::to_string(kMaxBlobBlockSize) + ", not '" +
                    ShownHost(Text) + "'");
  return BlockSize;
}

// A closed table component on table Name of the run's database, with the run's table password.
std::unique_ptr<dataset::TEdbTable> ToolTable(TToolDatabase& Database, const TCommandRun& Run, const std::string& Name) {
  auto Table = std::make_unique<dataset::TEdbTable>();
  if (Database.Dataset().DatabaseFileName().empty()) Table->SetDatabaseName(Database.Path());
  else Table->SetDatabaseFileName(Database.Path());
  Table->SetTableName(Name + ".dat");  // a name with a dot of its own keeps it
  Table->SetRecordsPerPage(kRecordsPerPage);
  Table->SetTempTableRecords(kRecordsPerPage);
  if (Run.Table.TablePassword) Table->SetPassword(*Run.Table.TablePassword);
  return Table;
}

// Opens Table, in the tool's words for a table password; the engine's other messages (a
// filter's among them) pass on.
void OpenToolTable(dataset::TEdbDataset& Table, const TCommandRun& Run) {
  try {
    Table.Open();
  } catch (const Exception& E) {
    const std::string& Message = E.Message();
    if (Message.find("invalid password") != std::string::npos || Message.find("no password") != std::string::npos)
      throw ToolError(Run.Table.TablePassword ? Quoted(Table.TableName()) + ": wrong table password"
                                              : Quoted(Table.TableName()) + ": the table is encrypted; give --table-password");
    throw;
  }
}

// A progress bar for the table component's long operations, on a terminal only.
class TTableProgress {
public:
  TTableProgress(const TCommandRun& Run, const char* Label) : FBar(Run.Context.Err, Label), FShow(Run.Context.ErrIsTerminal) {}
  ~TTableProgress() { FBar.Finish(); }
  TTableProgress(const TTableProgress&) = delete;
  TTableProgress& operator=(const TTableProgress&) = delete;
  void Show(double Percent) {
    if (FShow) FBar.Show(Percent);
  }

private:
  TProgressBar FBar;
  bool FShow;
};

int TableCreate(TCommandRun& Run) {
  const std::string Name = TableNameArgument(Run, 2);
  if (!Run.Table.Fields) throw ToolError("table create: --fields is required (see edb table --help)");
  const toolkit::TFieldDefs Fields = ParseFieldList(*Run.Table.Fields);
  toolkit::TIndexDefs Indexes;
  for (const std::string& Text : Run.Table.Indexes) Indexes.push_back(ParseIndexDefinition(Text));
  const uint8_t Compression = CompressionOption(Run, 2);
  const int32_t BlockSize = BlockSizeOption(Run, dataset::TEdbTable::kDefaultBLOBBlockSize);
  if (Run.Table.TablePassword && Run.Table.TablePassword->empty()) throw ToolError("--table-password: an empty password");
  TToolDatabase Database(Run, Access::Write);
  if (Database.TableExists(Name)) throw ToolError(Database.Path() + ": table " + Quoted(Name) + " exists already");
  const std::unique_ptr<dataset::TEdbTable> Table = ToolTable(Database, Run, Name);
  Table->FieldDefs() = Fields;
  Table->SetIndexDefs(Indexes);
  Table->SetAutoIndexes(!Run.Table.NoAutoIndexes);
  Table->SetBLOBCompression(static_cast<codec::TCompressionLevel>(Compression));
  Table->SetBLOBBlockSize(BlockSize);
  Table->SetEncrypted(Run.Table.TablePassword.has_value());
  Table->CreateTable();
  return 0;
}

int TableRestructure(TCommandRun& Run) {
  const std::string Name = TableNameArgument(Run, 2);
  if (!Run.Table.Fields) throw ToolError("table restructure: --fields is required (see edb table --help)");
  const toolkit::TFieldDefs Fields = ParseFieldList(*Run.Table.Fields);
  TToolDatabase Database(Run, Access::Write);
  if (!Database.TableExists(Name)) throw ToolError(Database.Path() + ": no table " + Quoted(Name));
  const std::unique_ptr<dataset::TEdbTable> Table = ToolTable(Database, Run, Name);
  // The settings the table has, kept unless given.
  OpenToolTable(*Table, Run);
  const TEdbDataManager& Manager = *Table->DataManager();
  const bool Encrypted = Manager.Encrypted();
  const uint8_t Compression = CompressionOption(Run, Manager.TableHeader().BLOBCompression);
  const int32_t BlockSize = BlockSizeOption(Run, Manager.BLOBBlockSize());
  bool AutoIndexes = false;
  const std::string IdIndex = std::string(1, kAutoIndexPrefix) + Manager.TableHeader().IDFieldName;
  for (int32_t I = 0; I < Manager.IndexCount(); ++I) {
    const std::string& Index = Manager.Index(I).Header().Name;
    if (Index.front() == kAutoIndexPrefix && !platform::AnsiSameText(Index, IdIndex)) AutoIndexes = true;
  }
  toolkit::TIndexDefs Indexes;
  if (Run.Table.Indexes.empty()) {
    // Indexes over fields the new list still has.
    for (const toolkit::TIndexDef& Index : Table->VisibleIndexDefs()) {
      bool Kept = true;
      for (const std::string& Field : toolkit::SplitFieldNames(Index.Fields))
        Kept = Kept && (toolkit::FindFieldDef(Fields, Field) != nullptr || platform::AnsiSameText(Field, Manager.TableHeader().IDFieldName));
      if (Kept) Indexes.push_back(Index);
      else Run.Result << "index " << Quoted(Index.Name) << " dropped: it is on a field the table no longer has\n";
    }
  } else {
    for (const std::string& Text : Run.Table.Indexes) Indexes.push_back(ParseIndexDefinition(Text));
  }
  Table->Close();
  Table->FieldDefs() = Fields;
  Table->SetIndexDefs(Indexes);
  Table->SetAutoIndexes(AutoIndexes && !Run.Table.NoAutoIndexes);
  TTableProgress Progress(Run, "restructuring");
  Table->OnProgress = [&Progress](const void*, double Percent, toolkit::TedProgressProcess, bool&) { Progress.Show(Percent); };
  Table->RestructureTable(Encrypted, Table->Password(), static_cast<codec::TCompressionLevel>(Compression), BlockSize);
  return 0;
}

int TableAddIndex(TCommandRun& Run) {
  const std::string Name = TableNameArgument(Run, 2);
  const toolkit::TIndexDef Index = ParseIndexDefinition(Run.Args[3]);
  TToolDatabase Database(Run, Access::Write);
  if (!Database.TableExists(Name)) throw ToolError(Database.Path() + ": no table " + Quoted(Name));
  const std::unique_ptr<dataset::TEdbTable> Table = ToolTable(Database, Run, Name);
  OpenToolTable(*Table, Run);
  Table->Close();
  // The index is built in one piece: the bar shows its start and its end.
  TTableProgress Progress(Run, "indexing");
  Progress.Show(0);
  Table->AddIndex(Index.Name, Index.Fields, Index.CaseInsFields, Index.DescFields, Index.Options);
  Progress.Show(100);
  return 0;
}

int TableDropIndex(TCommandRun& Run) {
  const std::string Name = TableNameArgument(Run, 2);
  const std::string Index = ArgumentToAnsi(Run.Args[3], "NAME");
  if (Index.empty()) throw ToolError("an empty index name");
  if (Index.front() == kAutoIndexPrefix || Index.front() == kTemporaryIndexPrefix)
    throw ToolError(Quoted(Index) + ": names beginning with '@' or '$' belong to the engine's own indexes");
  TToolDatabase Database(Run, Access::Write);
  if (!Database.TableExists(Name)) throw ToolError(Database.Path() + ": no table " + Quoted(Name));
  const std::unique_ptr<dataset::TEdbTable> Table = ToolTable(Database, Run, Name);
  OpenToolTable(*Table, Run);
  if (Table->DataManager()->InternalGetIndexNo(Index) < 0)
    throw ToolError(Quoted(Name) + ": no index " + Quoted(Index) + " (edb table info lists them)");
  Table->Close();
  Table->DeleteIndex(Index);
  return 0;
}

int TableLoad(TCommandRun& Run) {
  const std::string Name = TableNameArgument(Run, 2);
  const std::string& Source = Run.Args[3];
  platform::IFileSystem& Fs = platform::FileSystem();
  if (Fs.DirectoryExists(Source)) throw ToolError(Source + ": is a directory");
  platform::FileOpenOptions Options;
  Options.randomAccess = false;
  std::unique_ptr<platform::IFile> File = Fs.Open(Source, Options);
  if (!File) throw ToolError(Source + ": cannot open: " + platform::LastErrorText());
  TToolDatabase Database(Run, Access::Write);
  TOpenTable Table(Database, Name);
  int64_t Loaded = 0;
  try {
    LoadRows(Run, *Table, *File, Loaded);
  } catch (const std::exception& E) {
    // The rows before the fault stay: the close writes them.
    std::string Message = dynamic_cast<const Exception*>(&E) ? Shown(static_cast<const Exception&>(E).Message()) : E.what();
    std::string Kept;
    try {
      Table.Close();
      Kept = "; the " + std::to_string(Loaded) + (Loaded == 1 ? " row" : " rows") + " before it are in the table";
    } catch (const Exception& Close) {
      Kept = "; the rows before it could not be written: " + Shown(Close.Message());
    }
    if (dynamic_cast<const TLineError*>(&E)) throw ToolError(ShownHost(Source) + ": " + Message + Kept);
    throw ToolError(Quoted(Name) + ": after " + std::to_string(Loaded) + " rows: " + Message + Kept);
  }
  Table.Close();
  Run.Result << Loaded << (Loaded == 1 ? " row" : " rows") << " loaded into " << Quoted(Name) << '\n';
  return 0;
}

// The header line of a dump: the field names, then the record-ID field's.
void AppendDumpHeader(const TFieldTextWriter& Text, const TEdbDataManager& Table, std::string& Out) {
  for (const TFieldHeader& Field : Table.FieldHeaders()) {
    Text.AnsiText(Field.Name, Out);
    Out += '\t';
  }
  Text.AnsiText(Table.TableHeader().IDFieldName, Out);
  Out += '\n';
}

// Field FieldNo of record RecNo in the dump's text form. Record is the record's bytes, fetched
// again when a BLOB read may have used the pool. Blob is scratch space for BLOB values.
void AppendDumpValue(const TFieldTextWriter& Text, TEdbDataManager& Table, int32_t RecNo, int32_t FieldNo,
                     const uint8_t*& Record, toolkit::TMemoryStream& Blob, std::string& Out) {
  const TFieldHeader& Field = Table.FieldHeaders()[static_cast<size_t>(FieldNo)];
  if (IsNull(Table, Record, FieldNo)) {
    AppendTsvNull(Out);
  } else if (toolkit::IsBlobFieldType(Field.FieldType)) {
    Text.BlobText(Field, ReadBlobValue(Table, FieldNo, RecNo, Blob), Out);
    Record = Table.GetRecord(RecNo);
  } else {
    Text.FieldText(Field, Record + Table.FieldOffset(FieldNo), Out);
  }
}

// One dump line: record RecNo's values, then its record ID. Blob is scratch space for BLOB
// values, reused from row to row.
void AppendDumpRow(const TFieldTextWriter& Text, TEdbDataManager& Table, int32_t RecNo, toolkit::TMemoryStream& Blob,
                   std::string& Out) {
  const uint8_t* Record = Table.GetRecord(RecNo);
  const int32_t ID = GetInt32(Record + Table.DataSize());
  const int32_t Count = static_cast<int32_t>(Table.FieldHeaders().size());
  for (int32_t FieldNo = 0; FieldNo < Count; ++FieldNo) {
    AppendDumpValue(Text, Table, RecNo, FieldNo, Record, Blob, Out);
    Out += '\t';
  }
  AppendNumber32(ID, Out);
  Out += '\n';
}

// A dump through a dataset: the order of --index or --index-fields, the rows --filter keeps.
int TableDumpThroughDataset(TCommandRun& Run, const std::string& Name) {
  TToolDatabase Database(Run, Access::Read);
  if (!Database.TableExists(Name)) throw ToolError(Database.Path() + ": no table " + Quoted(Name));
  const std::unique_ptr<dataset::TEdbTable> Component = ToolTable(Database, Run, Name);
  dataset::TEdbTable& Dataset = *Component;
  Dataset.SetReadOnly(true);
  std::string Order;
  if (!Run.Table.Indexes.empty()) {
    Order = ArgumentToAnsi(Run.Table.Indexes[0], "--index");
    Dataset.SetIndexName(Order);
  } else if (Run.Table.IndexFields) {
    Order = ArgumentToAnsi(*Run.Table.IndexFields, "--index-fields");
    Dataset.SetIndexFieldNames(Order);
  }
  if (Run.Table.Filter) {
    Dataset.SetFilter(ArgumentToAnsi(*Run.Table.Filter, "--filter"));
    Dataset.SetFiltered(true);
  }
  if (Run.Table.Distinct) Dataset.SetDistinctFields(ArgumentToAnsi(*Run.Table.Distinct, "--distinct"));
  toolkit::TFilterOptions Options;
  if (Run.Table.CaseInsensitive) Options.Include(toolkit::foCaseInsensitive);
  Dataset.SetFilterOptions(Options);
  OpenToolTable(Dataset, Run);
  if (!Run.Table.Indexes.empty() && Dataset.IndexName().empty())
    throw ToolError(Quoted(Name) + ": no index " + Quoted(Order) + " (edb table info lists them)");
  if (Run.Table.IndexFields && Dataset.IndexFieldNames().empty())
    throw ToolError(Quoted(Name) + ": no index on the fields " + Quoted(Order) + " (edb table info lists them)");
  TEdbDataManager& Table = *Dataset.DataManager();
  TDumpWriter Writer(Run.Context.Out);
  std::string& Out = Writer.Buffer();
  const TFieldTextWriter Text;
  toolkit::TMemoryStream Blob;
  const int32_t Count = Dataset.ViewCount();
  if (Run.Table.Distinct) {
    // Just the distinct fields, in the order named.
    std::vector<int32_t> Columns;
    for (const std::string& Field : toolkit::SplitFieldNames(Dataset.DistinctFields())) {
      const int32_t FieldNo = Table.InternalGetFieldNo(Field);
      if (FieldNo < 0) throw ToolError(Quoted(Name) + ": --distinct takes stored fields, not the record ID");
      Text.AnsiText(Table.FieldHeaders()[static_cast<size_t>(FieldNo)].Name, Out);
      Columns.push_back(FieldNo);
      Out += '\t';
    }
    Out.back() = '\n';
    for (int32_t Position = 0; Position < Count; ++Position) {
      const int32_t RecNo = Dataset.GetViewRecord(Position);
      const uint8_t* Record = Table.GetRecord(RecNo);
      for (const int32_t FieldNo : Columns) {
        AppendDumpValue(Text, Table, RecNo, FieldNo, Record, Blob, Out);
        Out += '\t';
      }
      Out.back() = '\n';
      Writer.FlushIfFull();
    }
  } else {
    AppendDumpHeader(Text, Table, Out);
    for (int32_t Position = 0; Position < Count; ++Position) {
      AppendDumpRow(Text, Table, Dataset.GetViewRecord(Position), Blob, Out);
      Writer.FlushIfFull();
    }
  }
  Writer.Flush();
  Dataset.Close();
  return 0;
}

// Rows of a dump on their way from the table to the text: their records' bytes and their BLOB
// values, gathered from the table by one thread and turned into text by another.
struct TDumpBatch {
  std::vector<uint8_t> Records;  // RecordSize bytes per row
  std::string Blobs;             // the rows' BLOB values one after another
  std::vector<size_t> BlobEnds;  // per row and BLOB field: where its value ends in Blobs
  int32_t Rows = 0;
};

// What the text of a row needs of its table, copied so that the thread writing text never
// touches the table.
struct TDumpLayout {
  explicit TDumpLayout(const TEdbDataManager& Table)
      : Fields(Table.FieldHeaders()), DataSize(Table.DataSize()), RecordSize(Table.RecordSize()) {
    for (size_t FieldNo = 0; FieldNo < Fields.size(); ++FieldNo) {
      Offsets.push_back(Table.FieldOffset(static_cast<int32_t>(FieldNo)));
      Blob.push_back(toolkit::IsBlobFieldType(Fields[FieldNo].FieldType));
    }
  }
  std::vector<TFieldHeader> Fields;
  std::vector<int32_t> Offsets;
  std::vector<bool> Blob;
  int32_t DataSize;
  int32_t RecordSize;
};

// Fills Batch with the rows at positions From..To-1 of Index.
void GatherDumpRows(TEdbDataManager& Table, const TDumpLayout& Layout, const TEdbIndex& Index, int32_t From, int32_t To,
                    toolkit::TMemoryStream& Blob, TDumpBatch& Batch) {
  Batch.Records.resize(static_cast<size_t>(To - From) * static_cast<size_t>(Layout.RecordSize));
  Batch.Blobs.clear();
  Batch.BlobEnds.clear();
  Batch.Rows = To - From;
  const auto FieldCount = static_cast<int32_t>(Layout.Fields.size());
  for (int32_t Position = From; Position < To; ++Position) {
    const int32_t RecNo = Index.At(Position);
    // The record is copied first: a BLOB read may use the page pool the record lies in.
    uint8_t* Record = Batch.Records.data() + static_cast<size_t>(Position - From) * static_cast<size_t>(Layout.RecordSize);
    std::memcpy(Record, Table.GetRecord(RecNo), static_cast<size_t>(Layout.RecordSize));
    for (int32_t FieldNo = 0; FieldNo < FieldCount; ++FieldNo) {
      if (!Layout.Blob[static_cast<size_t>(FieldNo)]) continue;
      if (!IsNull(Table, Record, FieldNo)) Batch.Blobs += ReadBlobValue(Table, FieldNo, RecNo, Blob);
      Batch.BlobEnds.push_back(Batch.Blobs.size());
    }
  }
}

// Appends the text of the rows of Batch to the writer's buffer, writing it out as it fills.
void WriteDumpRows(const TDumpLayout& Layout, const TFieldTextWriter& Text, const TDumpBatch& Batch, TDumpWriter& Writer) {
  std::string& Out = Writer.Buffer();
  const std::string_view Blobs = Batch.Blobs;
  size_t BlobNo = 0;
  size_t BlobStart = 0;
  for (int32_t Row = 0; Row < Batch.Rows; ++Row) {
    const uint8_t* Record = Batch.Records.data() + static_cast<size_t>(Row) * static_cast<size_t>(Layout.RecordSize);
    const uint8_t* Nulls = Record + Layout.DataSize + 4;
    for (size_t FieldNo = 0; FieldNo < Layout.Fields.size(); ++FieldNo) {
      const TFieldHeader& Field = Layout.Fields[FieldNo];
      const bool Null = (Nulls[FieldNo / 8] >> (FieldNo % 8)) & 1;
      if (Layout.Blob[FieldNo]) {
        const size_t End = Batch.BlobEnds[BlobNo++];
        if (Null) AppendTsvNull(Out);
        else Text.BlobText(Field, Blobs.substr(BlobStart, End - BlobStart), Out);
        BlobStart = End;
      } else if (Null) {
        AppendTsvNull(Out);
      } else {
        Text.FieldText(Field, Record + Layout.Offsets[FieldNo], Out);
      }
      Out += '\t';
    }
    AppendNumber32(GetInt32(Record + Layout.DataSize), Out);
    Out += '\n';
    Writer.FlushIfFull();
  }
}

// Rows a dump gathers from the table while the text of the rows before them is written.
constexpr int32_t kDumpBatchRows = 2048;

// The rows of Table in the order of Index as dump lines. The table's rows are read on this
// thread, and their text is made and written on another (or on this one when no thread can be
// had), one batch behind; a failure of either is raised here.
void DumpRows(TEdbDataManager& Table, const TEdbIndex& Index, const TFieldTextWriter& Text, TDumpWriter& Writer) {
  const TDumpLayout Layout(Table);
  toolkit::TMemoryStream Blob;
  TDumpBatch Batches[2];
  std::future<void> Writing;  // after what it uses: it is waited for before they go
  const int32_t Count = Index.Count();
  for (int32_t From = 0, BatchNo = 0; From < Count; From += kDumpBatchRows, ++BatchNo) {
    TDumpBatch& Batch = Batches[BatchNo % 2];
    GatherDumpRows(Table, Layout, Index, From, std::min(Count, From + kDumpBatchRows), Blob, Batch);
    if (Writing.valid()) Writing.get();
    Writing = std::async(std::launch::async | std::launch::deferred,
                         [&Layout, &Text, &Batch, &Writer] { WriteDumpRows(Layout, Text, Batch, Writer); });
  }
  if (Writing.valid()) Writing.get();
}

int TableDump(TCommandRun& Run) {
  const std::string Name = TableNameArgument(Run, 2);
  if (Run.Table.Indexes.size() > 1) throw ToolError("table dump: one --index at most");
  if (!Run.Table.Indexes.empty() && Run.Table.IndexFields) throw ToolError("table dump: --index or --index-fields, not both");
  if (Run.Table.CaseInsensitive && !Run.Table.Filter) throw ToolError("table dump: --case-insensitive applies to --filter");
  if (Run.Table.Filter || Run.Table.IndexFields || Run.Table.Distinct) return TableDumpThroughDataset(Run, Name);
  TToolDatabase Database(Run, Access::Read);
  TOpenTable Table(Database, Name);
  int32_t IndexNo = 0;
  if (!Run.Table.Indexes.empty()) {
    const std::string Index = ArgumentToAnsi(Run.Table.Indexes[0], "--index");
    IndexNo = Table->InternalGetIndexNo(Index);
    if (IndexNo < 0) throw ToolError(Quoted(Name) + ": no index " + Quoted(Index) + " (edb table info lists them)");
  } else {
    IndexNo = Table->InternalGetIndexNo(std::string(1, '@') + Table->TableHeader().IDFieldName);
    if (IndexNo < 0) IndexNo = 0;
  }
  Table->BuildIndex(IndexNo);
  TDumpWriter Writer(Run.Context.Out);
  const TFieldTextWriter Text;
  AppendDumpHeader(Text, *Table, Writer.Buffer());
  DumpRows(*Table, Table->Index(IndexNo), Text, Writer);
  Writer.Flush();
  Table.Close();
  return 0;
}

// A value of `table locate` (UTF-8, in the dump's text form) as the key value of field Field.
toolkit::TValue LocateValue(const TFieldHeader& Field, const std::string& Utf8) {
  using namespace toolkit;
  if (Utf8.empty()) return TValue(std::string());  // NULL
  std::vector<uint8_t> Bytes(static_cast<size_t>(std::max(Field.Size, 8)));
  const auto parsed = [&]<class T>(T Value) {
    ParseFieldText(Field, Utf8, Bytes.data());
    std::memcpy(&Value, Bytes.data(), sizeof Value);
    return Value;
  };
  switch (Field.FieldType) {
    case ftString:
    case ftWideString: return TValue(TextToAnsi(Utf8));
    case ftSmallint: return TValue(int32_t{parsed(int16_t{})});
    case ftInteger: return TValue(parsed(int32_t{}));
    case ftWord: return TValue(int32_t{parsed(uint16_t{})});
    case ftLargeint: return TValue(parsed(int64_t{}));
    case ftBoolean: return TValue(parsed(uint8_t{}) != 0);
    case ftFloat:
    case ftCurrency: return TValue(parsed(double{}));
    case ftDate: return TValue::FromDateTime(TimeStampToDateTime({0, parsed(int32_t{})}));
    case ftTime: return TValue::FromDateTime(parsed(int32_t{}) / static_cast<double>(MSecsPerDay));
    case ftDateTime: return TValue::FromDateTime(TimeStampToDateTime(MSecsToTimeStamp(parsed(double{}))));
    default: throw ToolError("field " + Quoted(Field.Name) + " cannot be searched");
  }
}

int TableLocate(TCommandRun& Run) {
  const std::string Name = TableNameArgument(Run, 2);
  const std::string& Conditions = Run.Args[3];
  std::vector<std::pair<std::string, std::string>> Pairs;  // field (engine code page), value (UTF-8)
  for (size_t Start = 0; Start <= Conditions.size();) {
    size_t End = Conditions.find(';', Start);
    if (End == std::string::npos) End = Conditions.size();
    const std::string Item = Conditions.substr(Start, End - Start);
    const size_t Equals = Item.find('=');
    if (Equals == std::string::npos || Equals == 0)
      throw ToolError("table locate: '" + ShownHost(Item) + "' is not FIELD=VALUE");
    Pairs.emplace_back(ArgumentToAnsi(Item.substr(0, Equals), "FIELD"), Item.substr(Equals + 1));
    Start = End + 1;
  }
  TToolDatabase Database(Run, Access::Read);
  TOpenTable Table(Database, Name);
  std::string KeyFields;
  std::vector<toolkit::TValue> Values;
  for (const auto& [Field, Value] : Pairs) {
    const int32_t FieldNo = Table->InternalGetFieldNo(Field);
    const TFieldHeader IdField{Table->TableHeader().IDFieldName, toolkit::ftInteger, 4, false};  // its text is an Integer's
    const TFieldHeader& Header = FieldNo < 0 ? IdField : Table->FieldHeaders()[static_cast<size_t>(FieldNo)];
    try {
      Values.push_back(LocateValue(Header, Value));
    } catch (const ToolError& E) {
      throw ToolError(Quoted(Field) + ": " + E.what());
    }
    KeyFields += (KeyFields.empty() ? "" : ";") + Field;
  }
  toolkit::TLocateOptions Options;
  if (Run.Table.CaseInsensitive) Options.Include(toolkit::loCaseInsensitive);
  if (Run.Table.Partial) Options.Include(toolkit::loPartialKey);
  int32_t RecNo = -1;
  {
    const std::unique_ptr<dataset::TEdbTable> Located = ToolTable(Database, Run, Name);
    dataset::TEdbTable& Dataset = *Located;
    Dataset.SetPassword(Database.Dataset().Password());
    Dataset.Open();
    if (Dataset.Locate(KeyFields, Values.size() == 1 ? Values[0] : toolkit::TValue::FromArray(Values), Options))
      RecNo = Dataset.GetViewRecord(Dataset.CurrentPos());
    Dataset.Close();
  }
  if (RecNo >= 0) {
    std::string Out;
    toolkit::TMemoryStream Blob;
    const TFieldTextWriter Text;
    AppendDumpHeader(Text, *Table, Out);
    AppendDumpRow(Text, *Table, RecNo, Blob, Out);
    Run.Result << Out;
  }
  Table.Close();
  return RecNo >= 0 ? 0 : 1;
}

int TableInfo(TCommandRun& Run) {
  const std::string Name = TableNameArgument(Run, 2);
  TToolDatabase Database(Run, Access::Read);
  TOpenTable Table(Database, Name);
  const TTableHeader& Header = Table->TableHeader();
  std::ostream& Out = Run.Result;
  auto Padded = [](std::string Text, size_t Width) {
    size_t Characters = 0;
    for (char C : Text) Characters += (static_cast<uint8_t>(C) & 0xC0) != 0x80;
    if (Characters < Width) Text.append(Width - Characters, ' ');
    return Text;
  };
  Out << "Table:            " << Shown(Name) << '\n'
      << "Records:          " << Header.RecordCount << '\n'
      << "Encryption:       " << (Header.Encrypted ? "table password (records and BLOBs)" : "none") << '\n'
      << "BLOB compression: " << CompressionName(Header.BLOBCompression) << '\n';
  if (Table->HasBLOBFields()) Out << "BLOB blocks:      " << Table->BLOBBlockSize() << " bytes\n";
  Out << "Fields:\n";
  for (const TFieldHeader& Field : Table->FieldHeaders()) {
    std::string Type = edb::FieldTypeName(Field.FieldType);
    const int32_t Length = Field.FieldType == toolkit::ftString       ? Field.Size - 1
                          : Field.FieldType == toolkit::ftWideString ? Field.Size - 2
                          : Field.FieldType == toolkit::ftBytes      ? Field.Size
                                                                     : -1;
    if (Length >= 0) {
      Type += ':';
      Type += std::to_string(Length);
    }
    Out << "  " << Padded(Shown(Field.Name), 20) << Type << (Field.Required ? " required" : "") << '\n';
  }
  Out << "  " << Padded(Shown(Header.IDFieldName), 20) << "AutoInc (record ID, last " << Header.LastAutoInc << ")\n"
      << "Indexes:\n";
  for (int32_t I = 0; I < Table->IndexCount(); ++I) {
    const TIndexHeader& Index = Table->Index(I).Header();
    if (Index.Temporary()) continue;
    std::string Parts;
    for (int32_t K = 0; K < Index.FieldCount(); ++K) {
      const int32_t FieldNo = Index.FieldNos[static_cast<size_t>(K)];
      const std::string& FieldName =
          FieldNo < 0 ? Header.IDFieldName : Table->FieldHeaders()[static_cast<size_t>(FieldNo)].Name;
      if (K > 0) Parts += ';';
      Parts += Shown(FieldName);
      if (!Index.Ascending(K)) Parts += " desc";
      if (FieldNo >= 0 && Index.CaseInsensitive(K)) {
        const TFieldType Type = Table->FieldHeaders()[static_cast<size_t>(FieldNo)].FieldType;
        if (Type == toolkit::ftString || Type == toolkit::ftWideString) Parts += " nocase";
      }
    }
    if (Index.Options & toolkit::ixPrimary) Parts += " primary";
    if (Index.Options & toolkit::ixUnique) Parts += " unique";
    Out << "  " << Padded(Shown(Index.Name), 20) << Parts << '\n';
  }
  Table.Close();
  return 0;
}

int TableList(TCommandRun& Run) {
  TToolDatabase Database(Run, Access::Read);
  TAbstractPlainFileSystem* Store = Database.Manager().GetStore(pfs::fsmDefault);
  if (!Store) throw ToolError(Database.Path() + ": the database cannot be opened");
  std::vector<std::string> Files;
  Store->GetFileNames(".dat", Files);
  std::vector<std::string> Names = Files;  // the names without their extension
  std::sort(Names.begin(), Names.end(), [](const std::string& A, const std::string& B) {
    return platform::AnsiCompareTextCI(A, B) < 0;
  });
  for (const std::string& Table : Names) Run.Result << Shown(Table) << '\n';
  return 0;
}

int TableDrop(TCommandRun& Run) {
  const std::string Name = TableNameArgument(Run, 2);
  TToolDatabase Database(Run, Access::Write);
  if (!Database.TableExists(Name)) throw ToolError(Database.Path() + ": no table " + Quoted(Name));
  ToolTable(Database, Run, Name)->DeleteTable();
  return 0;
}

int TableRename(TCommandRun& Run) {
  const std::string Old = TableNameArgument(Run, 2);
  const std::string New = TableNameArgument(Run, 3);
  TToolDatabase Database(Run, Access::Write);
  if (!Database.TableExists(Old)) throw ToolError(Database.Path() + ": no table " + Quoted(Old));
  if (!platform::AnsiSameText(Old, New) && Database.TableExists(New))
    throw ToolError(Database.Path() + ": table " + Quoted(New) + " exists already");
  ToolTable(Database, Run, Old)->InternalRenameTable(New);
  return 0;
}

struct TTableCommand {
  const char* Name;
  const char* Usage;
  size_t Args;           // positionals after the subcommand
  uint32_t Options;      // the TTableOption bits it takes
  const char* Summary;
  int (*Run)(TCommandRun&);
};

const TTableCommand kTableCommands[] = {
    {"create", "DB TABLE --fields LIST", 2, toFields | toIndex | toNoAutoIndexes | toBlobCompression | toBlobBlockSize | toTablePassword,
     
     "create a table", TableCreate},
    {"load", "DB TABLE FILE.tsv", 3, toTablePassword, "append the rows of a tab-separated file", TableLoad},
    {"dump", "DB TABLE", 2, toIndex | toIndexFields | toFilter | toCaseInsensitive | toDistinct | toTablePassword,
     "print the rows as tab-separated text", TableDump},
    {"locate", "DB TABLE FIELD=VALUE[;FIELD=VALUE...]", 3, toPartial | toCaseInsensitive | toTablePassword,
     "print the first row with these values", TableLocate},
    {"info", "DB TABLE", 2, toTablePassword, "show fields, indexes, record count, encryption", TableInfo},
    {"list", "DB", 1, 0, "list the tables", TableList},
    {"drop", "DB TABLE", 2, toTablePassword, "delete a table and its files", TableDrop},
    {"rename", "DB OLD NEW", 3, toTablePassword, "rename a table", TableRename},
    {"restructure", "DB TABLE --fields LIST", 2,
     toFields | toIndex | toNoAutoIndexes | toBlobCompression | toBlobBlockSize | toTablePassword,
     "give a table new fields, keeping its records", TableRestructure},
    {"add-index", "DB TABLE NAME:FIELDS[:options]", 3, toTablePassword, "add an index and build it", TableAddIndex},
    {"drop-index", "DB TABLE NAME", 3, toTablePassword, "delete an index", TableDropIndex},
};

}  // namespace

int CmdTable(TCommandRun& Run) {
  const std::string& Sub = Run.Args[0];
  const TTableCommand* Command = nullptr;
  for (const TTableCommand& Candidate : kTableCommands) {
    if (Sub == Candidate.Name) Command = &Candidate;
  }
  if (!Command) throw ToolError("unknown table command '" + ShownHost(Sub) + "' (see edb table --help)");
  const std::string SeeHelp = " (see edb table --help)";
  for (const auto& [Bit, Option] : Run.Table.Given) {
    if ((Command->Options & Bit) == 0)
      throw ToolError("option '" + Option + "' does not apply to table " + Command->Name + SeeHelp);
  }
  if (Run.Args.size() - 1 != Command->Args) {
    throw ToolError(std::string("table ") + Command->Name + ": " + (Run.Args.size() - 1 < Command->Args ? "missing" : "too many") +
                    " arguments; usage: edb table " + Command->Name + " " + Command->Usage);
  }
  try {
    return Command->Run(Run);
  } catch (const Exception& E) {
    // The engine's messages name its classes and hold engine text: say which database it was.
    throw ToolError(Run.Args[1] + ": " + Shown(E.Message()));
  }
}

}  // namespace tesvar::edb
