#include "storage/TEdbDataManager.h"

#include "codec/Checksums.h"
#include "codec/EdbCompress.h"
#include "platform/AnsiCase.h"
#include "platform/Exception.h"
#include "platform/IClock.h"
#include "storage/StorageEngine.h"
#include "storage/TEdbDataManager_internal.h"
#include "storage/TEdbDatabaseManager.h"
#include "storage/TableFormat.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <random>

namespace tesvar::storage {

using namespace toolkit;
using namespace pfs;

using detail::checkTableName;
using detail::fixed2;

namespace {

int32_t fieldSize(const TFieldDef& Def) {
  switch (Def.DataType) {
    case ftString:
      if (Def.Size + 1 <= 0) throw Exception("Error in TEdbDataManager.CreateTable - illegal string size !");
      return Def.Size + 1;
    case ftSmallint:
    case ftWord:
    case ftBoolean: return 2;
    case ftInteger:
    case ftAutoInc: return 4;
    case ftFloat:
    case ftCurrency:
    case ftBCD:
    case ftDate:
    case ftTime:
    case ftDateTime:
    case ftLargeint: return 8;
    case ftBytes:
      if (Def.Size <= 0) throw Exception("Error in TEdbDataManager.CreateTable - illegal ftBytes size !");
      return Def.Size;
    case ftBlob:
    case ftMemo:
    case ftGraphic:
    case ftFmtMemo: return 0;
    case ftWideString:
      if (Def.Size + 2 <= 0) throw Exception("Error in TEdbDataManager.CreateTable - illegal wide string size !");
      return Def.Size + 2;
    default: throw Exception("Error in TEdbDataManager.CreateTable - Unsupported DB type!");
  }
}

bool storedFieldType(uint8_t Code) {
  return (Code >= ftString && Code <= ftBytes) || (Code >= ftBlob && Code <= ftFmtMemo) || Code == ftWideString ||
         Code == ftLargeint;
}

bool indexableType(TFieldType Type) {
  return (Type >= ftString && Type <= ftDateTime) || Type == ftWideString || Type == ftLargeint;
}

bool containsName(const std::vector<std::string>& Names, const std::string& Name) {
  return std::any_of(Names.begin(), Names.end(), [&Name](const std::string& n) { return platform::AnsiSameText(n, Name); });
}

}  // namespace

// ---------------------------------------------------------------------------------------------
// Registry

TEdbDataManager& edGetDataManager(const std::string& TableName, TEdbDatabaseManager* DatabaseManager) {
  if (DatabaseManager == nullptr) throw Exception("edGetDataManager - nil pointer to DatabaseManager.");
  auto& list = Registries().DataManagers;
  for (auto it = list.rbegin(); it != list.rend(); ++it)
    if (&(*it)->DatabaseManager() == DatabaseManager && platform::AnsiSameText((*it)->TableName(), TableName))
      return **it;
  list.push_back(std::make_unique<TEdbDataManager>(TableName, *DatabaseManager));
  return *list.back();
}

TEdbDataManager::TEdbDataManager(std::string TableName, TEdbDatabaseManager& DatabaseManager)
    : FTableName(std::move(TableName)), FDatabaseManager(DatabaseManager) {}

TEdbDataManager::~TEdbDataManager() {
  try {
    CloseTable();
  } catch (...) {
    // Destruction has no one to tell; CloseTable has closed the table all the same.
  }
}

// ---------------------------------------------------------------------------------------------
// Layout and headers

void TEdbDataManager::ResetTableState() {
  FTableHeader = TTableHeader{};
  FHeaderRead = false;
  FFieldHeaders.clear();
  FFieldOffsets.clear();
  FDataSize = FNullFlagsSize = FRecordSize = 0;
  FDataStart = kTableHeaderSize;
  FHasBLOBs = false;
  FIndexes.clear();
  FKeys.reset();
}

void TEdbDataManager::ComputeLayout() {
  FFieldOffsets.clear();
  int64_t offset = 0;
  FHasBLOBs = false;
  FBLOBFieldIndex.clear();
  int32_t blobFields = 0;
  for (const TFieldHeader& f : FFieldHeaders) {
    FFieldOffsets.push_back(static_cast<int32_t>(offset));
    offset += f.Size;
    FBLOBFieldIndex.push_back(IsBlobFieldType(f.FieldType) ? blobFields++ : -1);
  }
  FHasBLOBs = blobFields > 0;
  FDataSize = static_cast<int32_t>(offset);
  const auto fieldCount = static_cast<int32_t>(FFieldHeaders.size());
  FNullFlagsSize = FTableHeader.Version < kFixedNullFlagsVersion ? kFixedNullFlagsSize : (fieldCount + 7) / 8;
  FRecordSize = FDataSize + std::max(kMinTrailerSize, FNullFlagsSize + kRecordIdSize + kCrcSlotSize);
  FDataStart = kTableHeaderSize + static_cast<int64_t>(kFieldHeaderSize) * fieldCount;
}

TKeyLayout TEdbDataManager::KeyLayout() const {
  TKeyLayout layout;
  for (size_t i = 0; i < FFieldHeaders.size(); ++i) {
    layout.Types.push_back(FFieldHeaders[i].FieldType);
    layout.Offsets.push_back(FFieldOffsets[i]);
    layout.Sizes.push_back(FFieldHeaders[i].Size);
  }
  layout.IdOffset = FDataSize;
  layout.NullOffset = FDataSize + kRecordIdSize;
  return layout;
}

void TEdbDataManager::SaveTableHeaders() {
  std::vector<uint8_t> block(static_cast<size_t>(FDataStart), 0);
  uint8_t* h = block.data();
  PutInt32(h + kTHLastAutoInc, FTableHeader.LastAutoInc);
  PutShortString(h + kTHIDFieldName, FTableHeader.IDFieldName, kNameCapacity);
  PutInt32(h + kTHFieldCount, static_cast<int32_t>(FFieldHeaders.size()));
  PutInt32(h + kTHRecordCount, FTableHeader.RecordCount);
  PutDouble(h + kTHVersion, FTableHeader.Version);
  h[kTHReservedByte] = FTableHeader.ReservedByte;
  h[kTHBLOBCompression] = FTableHeader.BLOBCompression;
  h[kTHEncrypted] = FTableHeader.Encrypted ? 1 : 0;
  PutInt32(h + kTHChangeCount, FTableHeader.ChangeCount);
  for (size_t i = 0; i < FFieldHeaders.size(); ++i) {
    uint8_t* f = h + kTableHeaderSize + i * kFieldHeaderSize;
    PutShortString(f + kFHName, FFieldHeaders[i].Name, kNameCapacity);
    f[kFHFieldType] = FFieldHeaders[i].FieldType;
    PutInt32(f + kFHSize, FFieldHeaders[i].Size);
    f[kFHRequired] = FFieldHeaders[i].Required ? 1 : 0;
  }
  FDatFile->SetPosition(0);
  FDatFile->WriteBuffer(block.data(), static_cast<int64_t>(block.size()));
}

TTableHeader TEdbDataManager::ReadTableHeader() {
  uint8_t h[kTableHeaderSize];
  FDatFile->SetPosition(0);
  if (FDatFile->Read(h, kTableHeaderSize) != kTableHeaderSize)
    throw Exception("TEdbDataManager.ReadTableHeader - file \"" + FileName(kDatExt) + "\" is damaged: its header is incomplete.");
  TTableHeader t;
  t.LastAutoInc = GetInt32(h + kTHLastAutoInc);
  t.IDFieldName = GetShortString(h + kTHIDFieldName, kNameCapacity);
  t.FieldCount = GetInt32(h + kTHFieldCount);
  t.RecordCount = GetInt32(h + kTHRecordCount);
  t.Version = GetDouble(h + kTHVersion);
  t.ReservedByte = h[kTHReservedByte];
  t.BLOBCompression = h[kTHBLOBCompression];
  t.Encrypted = h[kTHEncrypted] != 0;
  t.ChangeCount = GetInt32(h + kTHChangeCount);
  return t;
}

void TEdbDataManager::OpenTable() {
  const TTableHeader header = ReadTableHeader();
  if (header.Version > kCurrentVersion)
    throw Exception("Error in TEdbDataManager.OpenTable - Invalid db engine version in file " + FileName(kDatExt) +
                    " (version = " + fixed2(header.Version) + ", internalCurrentVersion = " + fixed2(kCurrentVersion) +
                    ") !");
  const std::string damaged = "TEdbDataManager.OpenTable - file \"" + FileName(kDatExt) + "\" is damaged: ";
  if (!(header.Version > 0)) throw Exception(damaged + "invalid version.");
  const int64_t fileSize = FDatFile->GetSize();
  if (header.FieldCount < 0 || header.RecordCount < 0 ||
      kTableHeaderSize + static_cast<int64_t>(kFieldHeaderSize) * header.FieldCount > fileSize)
    throw Exception(damaged + "invalid field or record count.");
  std::vector<uint8_t> block(static_cast<size_t>(kFieldHeaderSize) * static_cast<size_t>(header.FieldCount));
  FDatFile->SetPosition(kTableHeaderSize);
  FDatFile->ReadBuffer(block.data(), static_cast<int64_t>(block.size()));
  std::vector<TFieldHeader> fields;
  int64_t dataSize = 0;
  for (int32_t i = 0; i < header.FieldCount; ++i) {
    const uint8_t* f = block.data() + static_cast<size_t>(i) * kFieldHeaderSize;
    TFieldHeader field;
    field.Name = GetShortString(f + kFHName, kNameCapacity);
    field.Size = GetInt32(f + kFHSize);
    field.Required = f[kFHRequired] != 0;
    if (!storedFieldType(f[kFHFieldType]) || field.Size < 0 ||
        (IsBlobFieldType(static_cast<TFieldType>(f[kFHFieldType])) != (field.Size == 0) &&
         f[kFHFieldType] != ftString && f[kFHFieldType] != ftBytes && f[kFHFieldType] != ftWideString))
      throw Exception(damaged + "invalid header of field " + std::to_string(i) + ".");
    field.FieldType = static_cast<TFieldType>(f[kFHFieldType]);
    dataSize += field.Size;
    fields.push_back(std::move(field));
  }
  if (dataSize >= kMaxDataSize) throw Exception(damaged + "record size out of range.");
  FTableHeader = header;
  FFieldHeaders = std::move(fields);
  ComputeLayout();
  FHeaderRead = true;
  const int64_t expected = FDataStart + static_cast<int64_t>(FTableHeader.RecordCount) * FRecordSize;
  if (fileSize < expected)
    throw Exception("TEdbDataManager.OpenTable - file \"" + FileName(kDatExt) + "\" is truncated: " +
                    std::to_string(FTableHeader.RecordCount) + " records expected, " +
                    std::to_string((fileSize - FDataStart) / FRecordSize) + " present.");
  // Records past the count are what an interrupted write left behind.
  if (fileSize > expected && !FReadOnly && !FFilesReadOnly) FDatFile->SetSize(expected);
}

void TEdbDataManager::TrimDataFile() {
  const int64_t expected = FDataStart + static_cast<int64_t>(FTableHeader.RecordCount) * FRecordSize;
  if (FDatFile->GetSize() != expected) FDatFile->SetSize(expected);
}

std::vector<uint8_t> TEdbDataManager::NewRecordBuffer() const {
  std::vector<uint8_t> buffer(static_cast<size_t>(FRecordSize), 0);
  PutInt32(buffer.data() + FDataSize, FTableHeader.LastAutoInc + 1);
  const auto fieldCount = static_cast<int32_t>(FFieldHeaders.size());
  for (int32_t i = 0; i < fieldCount; ++i)
    buffer[static_cast<size_t>(FDataSize + kRecordIdSize + i / 8)] |= static_cast<uint8_t>(1u << (i % 8));
  return buffer;
}

int32_t TEdbDataManager::InternalGetFieldNo(const std::string& Name) const {
  if (platform::AnsiSameText(Name, FTableHeader.IDFieldName)) return -1;
  for (size_t i = 0; i < FFieldHeaders.size(); ++i)
    if (platform::AnsiSameText(FFieldHeaders[i].Name, Name)) return static_cast<int32_t>(i);
  throw Exception("Error in TEdbDataManager.InternalGetFieldNo - field \"" + Name + "\" not found!");
}

// ---------------------------------------------------------------------------------------------
// Files

TAbstractFile& TEdbDataManager::OpenTableFile(const std::string& Extension, bool Create) {
  const std::string name = FileName(Extension);
  TAbstractFile* file = nullptr;
  try {
    file = &FDatabaseManager.OpenFile(name, FFileStoreMode, false, FReadOnly, Create);
  } catch (const Exception&) {
    file = nullptr;
  }
  if (file == nullptr)
    throw Exception("TEdbDataManager.OpenFiles - can not open file \"" + name + "\", bCreated = " +
                    (Create ? "1" : "0") + ", ReadOnly = " + (FReadOnly ? "1" : "0"));
  if (!FReadOnly && file->ReadOnly()) FFilesReadOnly = true;
  return *file;
}

bool TEdbDataManager::OpenFiles(bool Create) {
  if (!FStoreOpen) {
    FDatabaseManager.OpenStore();
    FStoreOpen = true;
  }
  if (!Create && FFileStoreMode != fsmInMemory && !FDatabaseManager.FileExists(FileName(kDatExt), FFileStoreMode))
    return false;
  FDatFile = &OpenTableFile(kDatExt, Create);
  try {
    FIdxFile = &OpenTableFile(kIdxExt, Create);
  } catch (const Exception&) {
    if (FReadOnly) throw;
    FIdxFile = &OpenTableFile(kIdxExt, true);
  }
  if (!Create && !FHeaderRead) OpenTable();
  if (Create || FHasBLOBs) {
    FBifFile = &OpenTableFile(kBifExt, Create);
    FBdfFile = &OpenTableFile(kBdfExt, Create);
  }
  if (FLog) FLog->SetFiles(FDatFile, FBdfFile);
  FBdfWindowBytes = 0;
  return true;
}

void TEdbDataManager::CloseFiles() {
  std::string error;
  for (TAbstractFile** file : {&FDatFile, &FIdxFile, &FBifFile, &FBdfFile}) {
    if (*file == nullptr) continue;
    TAbstractFile& f = **file;
    *file = nullptr;
    try {
      FDatabaseManager.CloseFile(f);
    } catch (const std::exception& e) {
      if (error.empty()) error = e.what();
    }
  }
  if (FLog) FLog->SetFiles(nullptr, nullptr);
  FBdfWindowBytes = 0;
  if (FStoreOpen) {
    FStoreOpen = false;
    FDatabaseManager.CloseStore();
  }
  if (!error.empty()) throw Exception(error);
}

void TEdbDataManager::CommitFiles() {
  for (TAbstractFile* file : {FDatFile, FBdfFile, FBifFile})
    if (file != nullptr) file->Flush();
  FLastCommit = platform::Clock().TickCount();
  ++FCommitCount;
  // Blocks the committed directory no longer assigns may take new values now; the cut of an
  // unused T.bdf is committed with the next commit (a T.bdf left longer only wastes space).
  if (FBLOBs.DirectoryCommitted() && FBdfFile != nullptr) FBdfFile->SetSize(0);
}

// ---------------------------------------------------------------------------------------------
// Creation

void TEdbDataManager::CreateTable(const TFieldDefs& FieldDefs, const TIndexDefs& IndexDefs, int32_t RecordsPerPage,
                                  bool AutoIndexes, const IEdbDataset* Creator) {
  checkTableName(FTableName);
  if (FOpen || !FDatasets.empty())
    throw Exception("TEdbDataManager.CreateTable - table \"" + FTableName + "\" is open.");
  for (const TFieldDef& def : FieldDefs)
    if (def.Name.size() > static_cast<size_t>(kMaxFieldNameLength))
      throw Exception("Field name must have no more than 18 chars. Please shorten field name \"" + def.Name + "\"");
  for (const TIndexDef& def : IndexDefs) {
    if (def.Name.size() > static_cast<size_t>(kMaxIndexNameLength))
      throw Exception("Index name must have no more than 18 chars. Please shorten index name \"" + def.Name + "\"");
    if (def.Name.empty()) throw Exception("Index name cannot be not blank. Please set non-blank index name.");
  }
  FRecordsPerPage = RecordsPerPage;
  FOpen = false;
  ResetTableState();
  FTableHeader.Encrypted = Creator != nullptr && Creator->Encrypted();
  FTableHeader.BLOBCompression = Creator != nullptr ? Creator->BLOBCompression() : 0;
  FBLOBBlockSize = Creator != nullptr && Creator->BLOBBlockSize() > 0 ? Creator->BLOBBlockSize() : 512;
  if (Creator != nullptr) FPassword = Creator->Password();

  // The record-ID field.
  std::string idName;
  for (const TFieldDef& def : FieldDefs)
    if (def.DataType == ftAutoInc) {
      idName = def.Name;
      break;
    }
  if (idName.empty()) {
    for (size_t n = 0; n < IndexDefs.size(); ++n) {
      const std::vector<std::string> fields = SplitFieldNames(IndexDefs[n].Fields);
      if (fields.empty())
        throw Exception("Error in TEdbDataManager.CreateTable without params - invalid index definition, #" +
                        std::to_string(n) + ".");
      if (!IndexDefs[n].Options.Contains(ixPrimary)) continue;
      auto def = std::find_if(FieldDefs.begin(), FieldDefs.end(),
                              [&fields](const TFieldDef& d) { return platform::AnsiSameText(d.Name, fields[0]); });
      if (def == FieldDefs.end())
        throw Exception("TEdbDataManager.Create - cannot find field \"" + fields[0] + "\" of primary index.");
      if (fields.size() != 1 || (def->DataType != ftAutoInc && def->DataType != ftInteger))
        throw Exception("TEdbDataManager.Create - Primary index should contain one field of AutoInc type.");
      idName = def->Name;
      break;
    }
  }
  if (idName.empty()) {
    const bool taken = std::any_of(FieldDefs.begin(), FieldDefs.end(),
                                   [](const TFieldDef& d) { return platform::AnsiSameText(d.Name, "id"); });
    if (taken) {
      std::random_device device;
      const uint32_t value = device() + platform::Clock().TickCount();
      idName = "id" + std::to_string(value % 100000);
    } else {
      idName = "id";
    }
  }
  FTableHeader.IDFieldName = idName;

  for (const TFieldDef& def : FieldDefs) {
    if (platform::AnsiSameText(def.Name, idName)) continue;
    if (def.Name.empty()) throw Exception("TEdbDataManager.CreateTable - field name is empty.");
    TFieldHeader field;
    field.Name = def.Name.substr(0, kNameCapacity);
    field.FieldType = def.DataType == ftAutoInc ? ftInteger : def.DataType;
    field.Required = def.Required;
    field.Size = fieldSize(def);
    FFieldHeaders.push_back(std::move(field));
  }
  FTableHeader.FieldCount = static_cast<int32_t>(FFieldHeaders.size());
  ComputeLayout();
  if (FDataSize >= kMaxDataSize)
    throw Exception("Error in TEdbDataManager.CreateTable - the field sizes add up to " + std::to_string(FDataSize) +
                    " bytes, more than 65535!");
  // Index definitions are checked before any file is touched.
  std::vector<std::string> fieldNames{idName};
  for (const TFieldHeader& f : FFieldHeaders) fieldNames.push_back(f.Name);
  for (const TIndexDef& def : IndexDefs) {
    if (def.Name[0] == kAutoIndexPrefix) continue;
    for (const std::string& name : SplitFieldNames(def.Fields)) {
      if (!containsName(fieldNames, name))
        throw Exception("Error in TEdbDataManager.CreateTable - index \"" + def.Name + "\": field \"" + name +
                        "\" not found!");
      if (!platform::AnsiSameText(name, idName) && !indexableType(FFieldHeaders[static_cast<size_t>(InternalGetFieldNo(name))].FieldType))
        throw Exception("Error in TEdbDataManager.InternalAddIndex - unsupported field type!");
    }
  }

  FHeaderRead = true;
  try {
    if (!OpenFiles(true)) throw Exception("TEdbDataManager.CreateTable - cannot create the table's files.");
    SaveTableHeaders();
    if (!FHasBLOBs) {
      for (TAbstractFile** file : {&FBdfFile, &FBifFile}) {
        TAbstractFile& f = **file;
        *file = nullptr;
        FDatabaseManager.CloseFile(f);
      }
      FDatabaseManager.DeleteFile(FileName(kBifExt), FFileStoreMode);
      FDatabaseManager.DeleteFile(FileName(kBdfExt), FFileStoreMode);
    } else {
      FBLOBs.Reset(FBLOBBlockSize,
                   static_cast<int32_t>(std::count_if(FBLOBFieldIndex.begin(), FBLOBFieldIndex.end(),
                                                      [](int32_t k) { return k >= 0; })),
                   kCurrentVersion);
      SaveBLOBHeaders(true);
    }
    CreateDefaultIndexes(AutoIndexes);
    for (const TIndexDef& def : IndexDefs)
      if (def.Name[0] != kAutoIndexPrefix)
        AddIndex(def.Name, def.Fields, true, def.CaseInsFields, def.DescFields, def.Options);
    SaveIndexesToDisk();
  } catch (...) {
    ReleaseTableState();
    try {
      CloseFiles();
    } catch (...) {
      // The creation's own error is the one to report.
    }
    for (const char* ext : {kDatExt, kIdxExt, kBifExt, kBdfExt}) FDatabaseManager.DeleteFile(FileName(ext), FFileStoreMode);
    FHeaderRead = false;
    throw;
  }
  ReleaseTableState();
  CloseFiles();
  FHeaderRead = false;
}

// ---------------------------------------------------------------------------------------------
// Open and close

int32_t TEdbDataManager::InternalOpenTable() {
  if (FOpen) return otrOk;
  checkTableName(FTableName);
  ResetTableState();
  auto fail = [this](int32_t code) {
    ReleaseTableState();
    try {
      CloseFiles();
    } catch (...) {
      // The open's result is the one to report.
    }
    return code;
  };
  try {
    if (!OpenFiles(false)) return fail(otrNoDataFile);
  } catch (const Exception& e) {
    FLastOpenError = e.Message();
    return fail(otrCannotOpen);
  }
  FRecordsArray = std::make_unique<TedRecordsArray>(*this, FOneRecordPages);
  if (FHasBLOBs) {
    try {
      LoadBLOBHeaders();
    } catch (const Exception& e) {
      FLastOpenError = e.Message();
      return fail(otrCannotOpen);
    }
  }
  if (FTableHeader.Encrypted && !CheckPassword()) return fail(otrBadPassword);
  FOpen = true;
  FLog = std::make_unique<TedBufferLogArray>(FDatFile, FDataStart, FBdfFile, FBLOBBlockSize);
  try {
    LoadIndexesFromDisk();
    if (FTableHeader.Version < kUpgradeVersion) ConvertToCurrentTable();
    if (FHasBLOBs && FBLOBs.RecordCount() != FTableHeader.RecordCount && !FReadOnly) TrimBLOBRecords();
  } catch (const Exception& e) {
    FLastOpenError = e.Message();
    FOpen = false;
    return fail(otrCannotOpen);
  }
  FLastCommit = platform::Clock().TickCount();
  FFullyOpen = true;
  return otrOk;
}

void TEdbDataManager::ReleaseTableState() {
  FBulkAppend = false;
  FLog.reset();
  FBLOBs.Reset(FBLOBBlockSize, 0, kCurrentVersion);
  FBLOBHeadersChanged = false;
  FRecordsArray.reset();
  FIndexes.clear();
  FKeys.reset();
  FFieldHeaders.clear();
  FOpen = false;
  FFullyOpen = false;
}

void TEdbDataManager::CloseTable() {
  bool failed = false;
  bool blobCountDiffers = false;
  if (!FReadOnly && FFullyOpen) {
    // The records and values are written all the same: the next open repairs the counts.
    blobCountDiffers = FHasBLOBs && FBLOBs.RecordCount() != FTableHeader.RecordCount;
    try {
      FlushBuffers();
      SaveIndexesIfChanged();
      TrimDataFile();
      CommitFiles();
    } catch (const std::exception&) {
      failed = true;
    }
  }
  const bool wasOpen = FOpen || FDatFile != nullptr;
  ReleaseTableState();
  FHeaderRead = false;
  if (wasOpen || FStoreOpen) {
    try {
      CloseFiles();
    } catch (const std::exception&) {
      failed = true;
    }
  }
  if (blobCountDiffers)
    throw Exception("TEdbDataManager.CloseTable - tableHeader.RecordCount <> blobFileHeader.RecordCount");
  if (failed)
    throw Exception(
        "TEdbDataManager.CloseTable - Cannot flush changes. Probably the table is opened by other application.");
}

bool TEdbDataManager::CheckPassword() {
  if (FPassword.empty()) return false;
  const uint32_t start = platform::Clock().TickCount();
  do {
    std::vector<uint8_t> buffer(static_cast<size_t>(FRecordSize + kDatasetBufferExtra), 0);
    codec::TCipher_Rijndael(FPassword).EncodeBuffer(buffer.data(), buffer.data(), static_cast<size_t>(FDataSize));
    codec::TCipher_Rijndael(FPassword).DecodeBuffer(buffer.data(), buffer.data(), static_cast<size_t>(FDataSize));
  } while (platform::Clock().TickCount() - start < kPasswordCheckMs);
  if (FTableHeader.RecordCount == 0) return true;
  try {
    std::vector<uint8_t> record(static_cast<size_t>(FRecordSize));
    FDatFile->SetPosition(FDataStart);
    FDatFile->ReadBuffer(record.data(), FRecordSize);
    ChangeBufferEncryption(record.data(), false);
    return true;
  } catch (const std::exception&) {
    return false;
  }
}

TFileStoreMode TEdbDataManager::DetectFileStoreMode() const {
  if (FDatasets.empty())
    throw Exception("TEdbDataManager.DetectFileStoreMode - there is no datasets, datasetList.count = 0");
  bool temporary = false;
  bool inMemory = false;
  bool other = false;
  for (const IEdbDataset* ds : FDatasets) {
    if (ds->Temporary()) {
      temporary = true;
    } else if (temporary) {
      throw Exception("TEdbDataManager.DetectFileStoreMode - more then one dataset was opened in temporary mode!");
    }
    if (ds->InMemory())
      inMemory = true;
    else
      other = true;
  }
  if (temporary) return fsmTemporary;
  if (inMemory && other)
    throw Exception("TEdbDataManager.DetectFileStoreMode - Cannot open table in both InMemory and not InMemory modes.");
  return inMemory ? fsmInMemory : fsmDefault;
}

int32_t TEdbDataManager::ConnectDataset(IEdbDataset& Dataset) {
  checkTableName(FTableName);
  if (!FDatasets.empty()) {
    if (Dataset.InMemory() != (FFileStoreMode == fsmInMemory))
      throw Exception("TEdbDataManager.ConnectDataset - Cannot open dataset in both InMemory and other modes.");
    if (Dataset.Temporary() && FFileStoreMode != fsmTemporary)
      throw Exception("TEdbDataManager.ConnectDataset - Cannot open dataset in both Temporary and other modes.");
  }
  FDatasets.push_back(&Dataset);
  if (FDatasets.size() > 1) {
    if (FTableHeader.Encrypted && Dataset.Password() != FPassword) {
      FDatasets.pop_back();
      throw Exception("TEdbDataManager.ConnectDataset - Inavlid password for table \"" + FTableName + "\"");
    }
    if (FReadOnly && !Dataset.ReadOnly() && !FFilesReadOnly) {
      FReadOnly = false;
      FBdfWindowBytes = 0;
    }
    if (FFilesReadOnly) Dataset.SetReadOnly(true);
    return otrOk;
  }
  FRecordsPerPage = Dataset.RecordsPerPage();
  FPassword = Dataset.Password();
  FOneRecordPages = Dataset.OneRecordPages();
  FReadOnly = Dataset.ReadOnly();
  FFilesReadOnly = false;
  int32_t result;
  try {
    FFileStoreMode = DetectFileStoreMode();
    result = InternalOpenTable();
  } catch (...) {
    FDatasets.pop_back();
    throw;
  }
  if (result != otrOk) {
    FDatasets.pop_back();
    return result;
  }
  if (FFilesReadOnly) {
    Dataset.SetReadOnly(true);
    FReadOnly = true;
  }
  return result;
}

void TEdbDataManager::DisconnectDataset(IEdbDataset& Dataset) {
  auto it = std::find(FDatasets.begin(), FDatasets.end(), &Dataset);
  if (it == FDatasets.end()) return;
  if (FDatasets.size() == 1) {
    FDatasets.clear();
    auto& list = Registries().DataManagers;
    auto self = std::find_if(list.begin(), list.end(), [this](const auto& p) { return p.get() == this; });
    if (self == list.end()) {
      CloseTable();
      return;
    }
    std::unique_ptr<TEdbDataManager> owned = std::move(*self);
    list.erase(self);
    owned->CloseTable();  // raises after closing; owned destroys the manager either way
    return;
  }
  FDatasets.erase(it);
  SetFileStoreMode(DetectFileStoreMode());
}

void TEdbDataManager::SetFileStoreMode(TFileStoreMode Mode) {
  if (Mode == FFileStoreMode) return;
  if (!FOpen && FDatasets.empty()) {
    FFileStoreMode = Mode;
    return;
  }
  CloseTable();
  FFileStoreMode = Mode;
  const int32_t result = InternalOpenTable();
  if (result != otrOk)
    throw Exception("TEdbDataManager.SetFileStoreMode - cannot open table \"" + FTableName + "\" again, code " +
                    std::to_string(result) + ".");
}

// ---------------------------------------------------------------------------------------------
// Encryption

codec::TCipher_Rijndael& TEdbDataManager::Cipher() {
  if (!FCipher || FCipherKey != FPassword) {
    FCipher = std::make_unique<codec::TCipher_Rijndael>(FPassword);
    FCipherKey = FPassword;
  }
  return *FCipher;
}

void TEdbDataManager::CountBufferCrc(const uint8_t* Buffer, int32_t Length, uint8_t* Out) const {
  std::string text;
  try {
    text = codec::THash_CRC32::CalcBuffer(Buffer, static_cast<size_t>(Length));
  } catch (const std::exception&) {
    throw Exception("Error in TEdbDataManager.CountBufferCrc - crc calc error, encoding");
  }
  PutShortString(Out, text.substr(0, kCrcTextLength), kCrcTextLength);
}

void TEdbDataManager::ChangeBufferEncryption(uint8_t* Buffer, bool Encrypt) {
  uint8_t* crc = Buffer + FDataSize + kRecordIdSize + FNullFlagsSize;
  if (Encrypt) {
    CountBufferCrc(Buffer, FDataSize, crc);
    try {
      Cipher().EncodeBuffer(Buffer, Buffer, static_cast<size_t>(FDataSize));
    } catch (const std::exception&) {
      throw Exception("Error in TEdbDataManager.ChangeBufferEncryption - encoding error.");
    }
    return;
  }
  try {
    Cipher().DecodeBuffer(Buffer, Buffer, static_cast<size_t>(FDataSize));
  } catch (const std::exception&) {
    throw Exception("Error in TEdbDataManager.ChangeBufferEncryption - decoding error.");
  }
  uint8_t computed[kCrcSlotSize];
  CountBufferCrc(Buffer, FDataSize, computed);
  if (crc[0] == 0 || std::memcmp(crc, computed, static_cast<size_t>(computed[0]) + 1) != 0)
    throw Exception("Error in TEdbDataManager.ChangeBufferEncryption - crc calc error, decoding 2");
}

// ---------------------------------------------------------------------------------------------
// Records

void TEdbDataManager::PrefetchRecord(int32_t RecNo) const {
  if (!FRecordsArray || RecNo < 0 || RecNo >= FTableHeader.RecordCount) return;
  FRecordsArray->PrefetchRecord(RecNo, FRecordSize);
  if (FHasBLOBs) FBLOBs.PrefetchMapEntry(RecNo);
}

void TEdbDataManager::RaiseInvalidRecord(int32_t RecNo) {
  throw Exception("TEdbDataManager.GetRecord - invalid record number " + std::to_string(RecNo) + ".");
}

void TEdbDataManager::LogRecordImage(int32_t RecNo, const uint8_t* PlainRecord) {
  if (!FTableHeader.Encrypted) {
    FLog->LogRecord(RecNo, PlainRecord, FRecordSize);
    return;
  }
  std::vector<uint8_t> copy(PlainRecord, PlainRecord + FRecordSize);
  ChangeBufferEncryption(copy.data(), true);
  FLog->LogRecord(RecNo, copy.data(), FRecordSize);
}

bool TEdbDataManager::MustMaintainAllIndexes() {
  const uint32_t now = platform::Clock().TickCount();
  bool result = true;
  if (FTableHeader.RecordCount <= kSmallTableRecords) {
    if (now - FLastMaintenance < kBurstIntervalMs) {
      ++FBurstCount;
      result = FBurstCount <= kBurstChanges;
    } else {
      FBurstCount = 0;
    }
  }
  FLastMaintenance = now;
  return result;
}

void TEdbDataManager::PrepareIndexes() {
  if (!FOpen) throw Exception("TEdbDataManager - table \"" + FTableName + "\" is not open.");
  if (FReadOnly) throw Exception("TEdbDataManager - table \"" + FTableName + "\" is read only.");
  if (FTableHeader.RecordCount > kSmallTableRecords && !FBulkAppend) BuildAllIndexes();
}

void TEdbDataManager::BeginBulkAppend() {
  for (int32_t i = 0; i < IndexCount(); ++i) Index(i).SetBuilt(false);
  FBulkAppend = true;
}

void TEdbDataManager::EndBulkAppend() {
  FBulkAppend = false;
  BuildAllIndexes();
}

TedKeyCache& TEdbDataManager::Keys() {
  if (!FKeys) {
    FKeys = std::make_unique<TedKeyCache>(KeyLayout(), *this);
    FKeys->SetCount(FTableHeader.RecordCount);
  }
  return *FKeys;
}

template <class TChange>
int32_t TEdbDataManager::MaintainIndexes(int32_t CurrentIndexNo, bool All, TChange&& Change) {
  int32_t result = 0;
  try {
    for (int32_t i = 0; i < IndexCount(); ++i) {
      TEdbIndex& index = Index(i);
      if (index.Built() && (i == CurrentIndexNo || All)) {
        const int32_t pos = Change(index, i == CurrentIndexNo);
        if (i == CurrentIndexNo) result = pos;
      } else {
        index.SetBuilt(false);
      }
    }
  } catch (...) {
    for (int32_t i = 0; i < IndexCount(); ++i) Index(i).SetBuilt(false);
    throw;
  }
  return result;
}

int32_t TEdbDataManager::edInsertRecord(uint8_t* Buffer, int32_t CurrentIndexNo) {
  PrepareIndexes();
  const int32_t id = FTableHeader.LastAutoInc + 1;
  PutInt32(Buffer + FDataSize, id);
  const int32_t n = FTableHeader.RecordCount;
  FRecordsArray->AppendPoolRecord(Buffer);
  FTableHeader.LastAutoInc = id;
  ++FTableHeader.ChangeCount;
  FTableHeader.RecordCount = n + 1;
  TedKeyCache& keys = Keys();
  int32_t result;
  try {
    keys.SetCount(n + 1);
    keys.Put(n, Buffer);
    result = MaintainIndexes(CurrentIndexNo, MustMaintainAllIndexes(), [n](TEdbIndex& Index, bool) { return Index.RecordInserted(n); });
  } catch (...) {
    // Index upkeep failed (a record it compares could not be read): the record goes again, and
    // the indexes, marked not built, are sorted from the records when next used.
    FTableHeader.RecordCount = n;
    keys.SetCount(n);
    FRecordsArray->DeletePoolRecord(n);
    throw;
  }
  LogRecordImage(n, Buffer);
  FlushIfDue();
  return result;
}

int32_t TEdbDataManager::edUpdateRecord(const uint8_t* Buffer, int32_t CurrentIndexNo, int32_t RecNo) {
  PrepareIndexes();
  if (RecNo < 0 || RecNo >= FTableHeader.RecordCount)
    throw Exception("TEdbDataManager.edUpdateRecord - invalid record number " + std::to_string(RecNo) + ".");
  ++FTableHeader.ChangeCount;
  FRecordsArray->LockRecordPage(RecNo);
  int32_t result = 0;
  try {
    TedKeyCache& keys = Keys();
    keys.Put(TedKeyCache::kProbe, Buffer);
    result = MaintainIndexes(CurrentIndexNo, MustMaintainAllIndexes(),
                             [RecNo](TEdbIndex& Index, bool Current) { return Index.RecordUpdated(RecNo, Current); });
    keys.Put(RecNo, Buffer);
    std::memcpy(FRecordsArray->GetRecord(RecNo), Buffer, static_cast<size_t>(FRecordSize));
    LogRecordImage(RecNo, Buffer);
  } catch (...) {
    FRecordsArray->UnlockRecordPage(RecNo);
    throw;
  }
  FRecordsArray->UnlockRecordPage(RecNo);
  FlushIfDue();
  return result;
}

int32_t TEdbDataManager::edDeleteRecord(int32_t CurrentIndexNo, int32_t RecNo) {
  PrepareIndexes();
  const int32_t n = FTableHeader.RecordCount;
  if (RecNo < 0 || RecNo >= n)
    throw Exception("TEdbDataManager.edDeleteRecord - invalid record Number, recPos = " + std::to_string(RecNo));
  const uint8_t* p = GetRecord(n - 1);
  const std::vector<uint8_t> last(p, p + FRecordSize);
  ++FTableHeader.ChangeCount;
  // Every index looks up both records: their look-ups are hinted stage by stage first, so that
  // the memory they wait for arrives together.
  for (int32_t i = 0; i < IndexCount(); ++i) {
    Index(i).PrefetchLocation(RecNo);
    Index(i).PrefetchLocation(n - 1);
  }
  for (int32_t i = 0; i < IndexCount(); ++i) {
    Index(i).PrefetchBlockOf(RecNo);
    Index(i).PrefetchBlockOf(n - 1);
  }
  const int32_t result = MaintainIndexes(CurrentIndexNo, MustMaintainAllIndexes(), [RecNo, n](TEdbIndex& Index, bool) {
    const int32_t pos = Index.RecordDeleted(RecNo, n - 1);
    if (pos == -2)
      throw Exception("TEdbDataManager.edDeleteRecord - invalid record Number, recPos = " + std::to_string(RecNo));
    if (pos == -3)
      throw Exception("TEdbDataManager.edDeleteRecord - invalid record Number, last = " + std::to_string(n - 1));
    return pos;
  });
  FTableHeader.RecordCount = n - 1;
  Keys().MoveLastTo(n - 1, RecNo);
  if (RecNo != n - 1) LogRecordImage(RecNo, last.data());
  FRecordsArray->DeletePoolRecord(RecNo);
  FlushIfDue();
  return result;
}

// ---------------------------------------------------------------------------------------------
// Flushing

void TEdbDataManager::FlushIfDue() {
  if (!FAutoFlush || FReadOnly || !FLog) return;
  if (!FLog->IsFlushDue()) return;
  const bool commitDue = platform::Clock().TickCount() - FLastCommit >= FCommitInterval;
  // The BLOB directory is rewritten whole. A container keeps what is written between its
  // commits only together with the commit, so there it is rewritten for the commit alone.
  if (FBLOBHeadersChanged && (commitDue || !InContainer())) SaveBLOBHeaders(false);
  SaveTableHeaders();
  TrimDataFile();
  if (commitDue) CommitFiles();
}

bool TEdbDataManager::InContainer() const {
  const TFileStoreMode mode = FFileStoreMode == fsmDefault ? FDatabaseManager.StoreMode() : FFileStoreMode;
  return mode == fsmSingleFile;
}

void TEdbDataManager::FlushBuffers() {
  if (FReadOnly || !FLog) return;
  if (FLog->Count() == 0 && !FBLOBHeadersChanged && ReadTableHeader().ChangeCount == FTableHeader.ChangeCount)
    return;
  // The records and BLOB blocks first, the directory and the header that count them after: a
  // failure in between never leaves a header that claims records the file lacks.
  FLog->FlushBuffers();
  if (FBLOBHeadersChanged) SaveBLOBHeaders(false);
  SaveTableHeaders();
  TrimDataFile();
  CommitFiles();
}

void TEdbDataManager::EnableAutoFlush(bool FlushNow) {
  FAutoFlush = true;
  if (FlushNow) FlushIfDue();
}

// ---------------------------------------------------------------------------------------------
// Indexes

int32_t TEdbDataManager::InternalGetIndexNo(const std::string& Name) const {
  for (int32_t i = 0; i < IndexCount(); ++i)
    if (platform::AnsiSameText(Index(i).Header().Name, Name)) return i;
  return -1;
}

void TEdbDataManager::BuildIndex(int32_t IndexNo) {
  Keys();
  Index(IndexNo).Build(FTableHeader.RecordCount);
}

void TEdbDataManager::BuildAllIndexes() {
  for (int32_t i = 0; i < IndexCount(); ++i) BuildIndex(i);
}

int32_t TEdbDataManager::FindRecordInIndex(int32_t IndexNo, int32_t RecNo, int32_t Count) const {
  const int32_t pos = Index(IndexNo).FindRecord(RecNo);
  return pos < Count ? pos : -1;
}

void TEdbDataManager::RebuildIndexes() {
  for (IEdbDataset* dataset : FDatasets) dataset->IndexBuildingStarted();
  const int32_t count = IndexCount();
  try {
    for (int32_t i = 0; i < count; ++i) {
      Index(i).SetBuilt(false);
      BuildIndex(i);
      const double done = static_cast<double>(i + 1) / count * 100;
      for (IEdbDataset* dataset : FDatasets) dataset->IndexBuildingProgress(done);
    }
  } catch (...) {
    for (IEdbDataset* dataset : FDatasets) dataset->IndexBuildingFinished();
    throw;
  }
  for (IEdbDataset* dataset : FDatasets) {
    dataset->IndexBuildingProgress(100);
    dataset->IndexBuildingFinished();
  }
}

size_t TEdbDataManager::IndexMemoryBytes() const {
  size_t bytes = FKeys ? FKeys->MemoryBytes() : 0;
  for (const auto& index : FIndexes) bytes += index->MemoryBytes();
  return bytes;
}

void TEdbDataManager::CreateDefaultIndexes(bool AutoIndexes) {
  AddIndex(std::string(1, kAutoIndexPrefix) + FTableHeader.IDFieldName, FTableHeader.IDFieldName, true, "", "", {});
  if (!AutoIndexes) return;
  for (const TFieldHeader& f : FFieldHeaders) {
    if (f.FieldType == ftBytes || IsBlobFieldType(f.FieldType)) continue;
    if (f.FieldType == ftString || f.FieldType == ftWideString)
      AddIndex(std::string(2, kAutoIndexPrefix) + f.Name, f.Name, true, "", "", ixCaseInsensitive);
    AddIndex(std::string(1, kAutoIndexPrefix) + f.Name, f.Name, true, "", "", {});
  }
}

void TEdbDataManager::AddIndex(const std::string& Name, const std::string& FieldNames, bool NoSave,
                               const std::string& CaseInsFields, const std::string& DescFields, TIndexOptions Options) {
  const std::vector<std::string> fields = SplitFieldNames(FieldNames);
  const std::vector<std::string> caseIns = SplitFieldNames(CaseInsFields);
  const std::vector<std::string> desc = SplitFieldNames(DescFields);
  std::vector<bool> caseList;
  std::vector<bool> descList;
  for (const std::string& f : fields) {
    descList.push_back(Options.Contains(ixDescending) || containsName(desc, f));
    caseList.push_back(Options.Contains(ixCaseInsensitive) || containsName(caseIns, f));
  }
  InternalAddIndex(Name, fields, Options.Contains(ixDescending), Options.Contains(ixCaseInsensitive), Options.Bits(),
                   caseList, descList);
  if (!NoSave) SaveIndexesToDisk();
}

std::string TEdbDataManager::CreateTemporaryIndex(const std::string& FieldNames, const std::string& DescFields,
                                                  const std::string& CaseInsFields) {
  static std::mt19937 random{std::random_device{}()};
  std::string name;
  do {
    name = std::string(1, kTemporaryIndexPrefix) + "_IDX_" + std::to_string(random() % 100000);
  } while (InternalGetIndexNo(name) >= 0);
  AddIndex(name, FieldNames, true, CaseInsFields, DescFields, {});
  return name;
}

int32_t TEdbDataManager::DeleteIndex(const std::string& Name, bool NoSave) {
  const std::string where = "Error in TEdbDataManager.DeleteIndex - ";
  if (!FOpen) throw Exception(where + "table is not opened.");
  if (Name.empty()) throw Exception(where + "name is empty.");
  if (Name.size() > static_cast<size_t>(kNameCapacity)) throw Exception(where + "name length > ." + std::to_string(kNameCapacity));
  if (Name[0] == kAutoIndexPrefix) return 0;
  const int32_t number = InternalGetIndexNo(Name);
  if (number < 0) throw Exception(where + "index \"" + Name + "\" doesn't exist!");
  FIndexes.erase(FIndexes.begin() + number);
  if (FIndexes.empty()) throw Exception("TEdbDataManager.DeleteIndex - last index deleted!");
  if (!NoSave) SaveIndexesToDisk();
  return number;
}

void TEdbDataManager::InternalAddIndex(const std::string& Name, const std::vector<std::string>& Fields,
                                       bool AllDescending, bool AllCaseInsensitive, uint8_t Options,
                                       const std::vector<bool>& CaseList, const std::vector<bool>& DescendingList) {
  const std::string where = "Error in TEdbDataManager.InternalAddIndex - ";
  if (Name.empty()) throw Exception(where + "name is empty.");
  if (Name.size() > static_cast<size_t>(kNameCapacity)) throw Exception(where + "name length > ." + std::to_string(kNameCapacity));
  if (Fields.empty()) throw Exception(where + "empty field name list");
  if (DescendingList.empty()) throw Exception(where + "empty sort orders list");
  if (InternalGetIndexNo(Name) >= 0) throw Exception(where + "index \"" + Name + "\" already exists!");
  TIndexHeader header;
  header.Options = Options;
  header.Name = Name;
  header.FieldNos.resize(Fields.size());
  header.AscendingBits.assign((Fields.size() + 7) / 8, 0xFF);
  header.CaseInsBits.assign((Fields.size() + 7) / 8, 0);
  if (!header.AscendingBits.empty() && Fields.size() % 8 != 0)
    header.AscendingBits.back() = static_cast<uint8_t>((1u << (Fields.size() % 8)) - 1);
  header.AllCaseInsensitive = AllCaseInsensitive;
  header.AllDescending = AllDescending;
  const bool temporary = Name[0] == kTemporaryIndexPrefix;
  for (size_t k = 0; k < Fields.size(); ++k) {
    // A temporary index orders by a field header of that name, else by the record ID.
    const auto field = std::find_if(FFieldHeaders.begin(), FFieldHeaders.end(),
                                    [&](const TFieldHeader& f) { return platform::AnsiSameText(f.Name, Fields[k]); });
    if (platform::AnsiSameText(Fields[k], FTableHeader.IDFieldName) && (!temporary || field == FFieldHeaders.end())) {
      header.FieldNos[k] = -1;
    } else {
      if (field == FFieldHeaders.end())
        throw Exception("Error in TEdbDataManager.InternalGetFieldNo - field \"" + Fields[k] + "\" not found!");
      if (!indexableType(field->FieldType)) throw Exception(where + "unsupported field type!");
      header.FieldNos[k] = static_cast<int32_t>(field - FFieldHeaders.begin());
      if (CaseList[k] && (field->FieldType == ftString || field->FieldType == ftWideString))
        header.CaseInsBits[k / 8] |= static_cast<uint8_t>(1u << (k % 8));
    }
    if (DescendingList[k]) header.AscendingBits[k / 8] &= static_cast<uint8_t>(~(1u << (k % 8)));
  }
  FIndexes.push_back(std::make_unique<TEdbIndex>(std::move(header), Keys()));
  if (FOpen) BuildIndex(IndexCount() - 1);
}

namespace {

// Appends an index header in the T.idx layout.
void putIndexHeader(std::vector<uint8_t>& Out, const TIndexHeader& Header) {
  const size_t at = Out.size();
  const size_t bits = Header.AscendingBits.size();
  Out.resize(at + kNameBytes + 4 + 4 * Header.FieldNos.size() + 2 * bits + 3, 0);
  uint8_t* p = Out.data() + at;
  PutShortString(p, Header.Name, kNameCapacity);
  p += kNameBytes;
  PutInt32(p, Header.FieldCount());
  p += 4;
  for (int32_t f : Header.FieldNos) {
    PutInt32(p, f);
    p += 4;
  }
  std::memcpy(p, Header.AscendingBits.data(), bits);
  p += bits;
  std::memcpy(p, Header.CaseInsBits.data(), bits);
  p += bits;
  *p++ = Header.AllCaseInsensitive ? 1 : 0;
  *p++ = Header.AllDescending ? 1 : 0;
  *p++ = Header.Options;
}

// Reads index headers from Data (Count of them, from Pos); false when the data ends before the
// last one is complete or a header is damaged (no fields, a field number out of range).
bool getIndexHeaders(const std::vector<uint8_t>& Data, size_t& Pos, int32_t Count, bool HasOptions,
                     int32_t FieldCount, std::vector<TIndexHeader>& Headers) {
  auto left = [&] { return Data.size() - Pos; };
  for (int32_t i = 0; i < Count; ++i) {
    TIndexHeader h;
    if (left() <= static_cast<size_t>(kNameCapacity)) return false;
    h.Name = GetShortString(Data.data() + Pos, kNameCapacity);
    Pos += kNameBytes;
    if (left() <= 3) return false;
    const int32_t n = GetInt32(Data.data() + Pos);
    Pos += 4;
    if (n <= 0 || static_cast<size_t>(n) * 4 > left()) return false;
    for (int32_t k = 0; k < n; ++k, Pos += 4) {
      const int32_t f = GetInt32(Data.data() + Pos);
      if (f < -1 || f >= FieldCount) return false;
      h.FieldNos.push_back(f);
    }
    const size_t bits = (static_cast<size_t>(n) + 7) / 8;
    if (left() < 2 * bits + (HasOptions ? 3 : 2)) return false;
    h.AscendingBits.assign(Data.begin() + static_cast<std::ptrdiff_t>(Pos), Data.begin() + static_cast<std::ptrdiff_t>(Pos + bits));
    Pos += bits;
    h.CaseInsBits.assign(Data.begin() + static_cast<std::ptrdiff_t>(Pos), Data.begin() + static_cast<std::ptrdiff_t>(Pos + bits));
    Pos += bits;
    h.AllCaseInsensitive = Data[Pos++] != 0;
    h.AllDescending = Data[Pos++] != 0;
    if (HasOptions) h.Options = Data[Pos++];
    Headers.push_back(std::move(h));
  }
  return true;
}

// Index headers are read in one piece of at most this size; larger header sets read the file.
constexpr int64_t kHeaderReadBytes = 64 << 10;

}  // namespace

void TEdbDataManager::SaveIndexesToDisk() {
  std::vector<uint8_t> out(kIndexFileHeaderSize, 0);
  int32_t stored = 0;
  for (int32_t i = 0; i < IndexCount(); ++i) {
    if (Index(i).Header().Temporary()) continue;
    ++stored;
    putIndexHeader(out, Index(i).Header());
  }
  PutInt32(out.data() + kIHChangeCount, FTableHeader.ChangeCount);
  PutInt32(out.data() + kIHIndexCount, stored);
  PutDouble(out.data() + kIHVersion, kCurrentVersion);
  const int32_t count = FTableHeader.RecordCount;
  if (count > 0) BuildAllIndexes();
  FIndexFileDamaged = false;
  FIdxFile->SetSize(0);
  FIdxFile->SetPosition(0);
  FIdxFile->WriteBuffer(out.data(), static_cast<int64_t>(out.size()));
  if (count == 0) return;
  // One write per index, through buffers reused from index to index.
  std::vector<int32_t> entries(static_cast<size_t>(count));
  out.resize(4 * static_cast<size_t>(count));
  for (int32_t i = 0; i < IndexCount(); ++i) {
    if (Index(i).Header().Temporary()) continue;
    Index(i).CopyTo(entries.data());
    for (size_t k = 0; k < entries.size(); ++k) PutInt32(out.data() + 4 * k, entries[k]);
    FIdxFile->WriteBuffer(out.data(), static_cast<int64_t>(out.size()));
  }
}

void TEdbDataManager::SaveIndexesIfChanged() {
  uint8_t h[kIndexFileHeaderSize];
  FIdxFile->SetPosition(0);
  const bool same = !FIndexFileDamaged && FIdxFile->Read(h, kIndexFileHeaderSize) == kIndexFileHeaderSize &&
                    GetInt32(h + kIHChangeCount) == FTableHeader.ChangeCount;
  if (!same) SaveIndexesToDisk();
}

void TEdbDataManager::LoadIndexesFromDisk() {
  FIndexes.clear();
  FIndexFileDamaged = false;
  const int64_t size = FIdxFile->GetSize();
  const int32_t records = FTableHeader.RecordCount;
  // The headers: from a first piece of the file, or the whole file when they do not fit in it.
  std::vector<uint8_t> data;
  auto readFrom0 = [&](int64_t Bytes) {
    data.resize(static_cast<size_t>(Bytes));
    FIdxFile->SetPosition(0);
    if (FIdxFile->Read(data.data(), Bytes) != Bytes) data.clear();
  };
  if (size >= kIndexFileHeaderSize) readFrom0(std::min(size, kHeaderReadBytes));
  bool complete = false;
  int32_t fileChangeCount = 0;
  size_t pos = kIndexFileHeaderSize;
  std::vector<TIndexHeader> headers;
  if (data.size() >= static_cast<size_t>(kIndexFileHeaderSize)) {
    fileChangeCount = GetInt32(data.data() + kIHChangeCount);
    const int32_t indexCount = GetInt32(data.data() + kIHIndexCount);
    const bool options = FTableHeader.Version > kIndexOptionsVersion;
    const auto fieldCount = static_cast<int32_t>(FFieldHeaders.size());
    complete = indexCount > 0 && getIndexHeaders(data, pos, indexCount, options, fieldCount, headers);
    if (!complete && indexCount > 0 && static_cast<int64_t>(data.size()) < size) {
      readFrom0(size);
      pos = kIndexFileHeaderSize;
      headers.clear();
      complete = data.size() == static_cast<size_t>(size) && getIndexHeaders(data, pos, indexCount, options, fieldCount, headers);
    }
  }
  if (!complete) {
    // Unusable headers: the default indexes, built from the records.
    FIndexFileDamaged = true;
    CreateDefaultIndexes(true);
    RebuildIndexes();
    return;
  }
  data = {};
  for (TIndexHeader& h : headers) FIndexes.push_back(std::make_unique<TEdbIndex>(std::move(h), Keys()));
  if (records == 0) {
    for (int32_t i = 0; i < IndexCount(); ++i) Index(i).Assign(nullptr, 0);
    return;
  }
  const int64_t arrayBytes = 4 * static_cast<int64_t>(records);
  bool arrays = fileChangeCount == FTableHeader.ChangeCount &&
                size - static_cast<int64_t>(pos) >= IndexCount() * arrayBytes;
  // One read per index into buffers reused from index to index; an array with a number out of
  // range or twice is damaged and rebuilt like a stale one.
  std::vector<uint8_t> bytes;
  std::vector<int32_t> entries;
  std::vector<uint32_t> seenIn;
  if (arrays) {
    bytes.resize(static_cast<size_t>(arrayBytes));
    entries.resize(static_cast<size_t>(records));
    seenIn.assign(static_cast<size_t>(records), 0);
    FIdxFile->SetPosition(static_cast<int64_t>(pos));
  }
  for (int32_t i = 0; arrays && i < IndexCount(); ++i) {
    if (FIdxFile->Read(bytes.data(), arrayBytes) != arrayBytes) {
      arrays = false;
      break;
    }
    const auto mark = static_cast<uint32_t>(i + 1);
    for (int32_t k = 0; k < records; ++k) {
      const int32_t r = GetInt32(bytes.data() + 4 * static_cast<size_t>(k));
      if (r < 0 || r >= records || seenIn[static_cast<size_t>(r)] == mark) {
        arrays = false;
        break;
      }
      seenIn[static_cast<size_t>(r)] = mark;
      entries[static_cast<size_t>(k)] = r;
    }
    if (arrays) Index(i).Assign(entries.data(), records);
  }
  if (!arrays) {
    FIndexFileDamaged = true;
    RebuildIndexes();
  }
}

}  // namespace tesvar::storage
