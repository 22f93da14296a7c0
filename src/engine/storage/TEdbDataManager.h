#pragma once
// The table manager: one per open table and database manager, shared by every dataset of that
// table. It owns the table's files (through the database manager's plain file systems), its
// headers, page pool, write-behind log and in-memory indexes.
//
// Managers live in the registry DataManagers (StorageEngine.h), which owns them; edGetDataManager
// finds or creates one, and DisconnectDataset of the last dataset destroys it.

#include "codec/TCipher_Rijndael.h"
#include "pfs/FileStoreMode.h"
#include "pfs/TAbstractFile.h"
#include "storage/TEdbIndex.h"
#include "toolkit/TMemoryStream.h"
#include "storage/TedBLOBDirectory.h"
#include "storage/TedBufferLogArray.h"
#include "storage/TedKeyCache.h"
#include "storage/TedRecordsArray.h"
#include "toolkit/FieldType.h"
#include "toolkit/IEdbDataset.h"
#include "toolkit/TFieldDefs.h"

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace tesvar::storage {

using pfs::TAbstractFile;
using pfs::TFileStoreMode;
using toolkit::IEdbDataset;
using toolkit::TFieldType;

class TEdbDatabaseManager;

// The 56-byte header at the start of T.dat (TableFormat.h).
struct TTableHeader {
  int32_t LastAutoInc = 0;
  std::string IDFieldName;
  int32_t FieldCount = 0;
  int32_t RecordCount = 0;
  double Version = 2.2;
  uint8_t ReservedByte = 0;
  uint8_t BLOBCompression = 0;
  bool Encrypted = false;
  int32_t ChangeCount = 0;
};

// A field header of T.dat.
struct TFieldHeader {
  std::string Name;
  TFieldType FieldType = toolkit::ftUnknown;
  int32_t Size = 0;
  bool Required = false;
};

// Result codes of ConnectDataset / InternalOpenTable.
enum TOpenTableResult : int32_t {
  otrOk = 0,
  otrNoDataFile = -1,     // T.dat does not exist
  otrBadPassword = -3,    // the password does not open the encrypted table
  otrCannotOpen = -4,     // the table's files could not be opened (or are damaged)
};

class TEdbDataManager : public IRecordSource {
public:
  // Milliseconds between commits of the table's files while records are written (see
  // CommitInterval).
  static constexpr uint32_t kDefaultCommitIntervalMs = 2000;
  // Index upkeep and building run before changes only above this many records.
  static constexpr int32_t kSmallTableRecords = 10;
  // The burst throttle (MustMaintainAllIndexes).
  static constexpr uint32_t kBurstIntervalMs = 1000;
  static constexpr int32_t kBurstChanges = 100;
  // The fixed duration of a password check.
  static constexpr uint32_t kPasswordCheckMs = 256;

  TEdbDataManager(std::string TableName, TEdbDatabaseManager& DatabaseManager);
  // Closes the table if open (errors are dropped: call CloseTable first to see them).
  ~TEdbDataManager() override;
  TEdbDataManager(const TEdbDataManager&) = delete;
  TEdbDataManager& operator=(const TEdbDataManager&) = delete;

  // Creates the files of a new table (which no dataset may have open) and leaves it closed. The
  // creating dataset, if given, supplies Encrypted, Password, BLOBCompression and BLOBBlockSize.
  // Raises the creation messages (field and index names, ID field, sizes, types; a table name
  // with path characters: "TEdbDataManager.CreateTable - invalid table name "<name>"."). Files
  // left by a failed creation are deleted.
  void CreateTable(const toolkit::TFieldDefs& FieldDefs, const toolkit::TIndexDefs& IndexDefs, int32_t RecordsPerPage,
                   bool AutoIndexes, const IEdbDataset* Creator = nullptr);

  // Attach / detach a dataset. ConnectDataset returns a TOpenTableResult; on a non-zero result
  // the dataset is not attached. Raises the mixed-mode and password messages. DisconnectDataset
  // of the only dataset destroys this manager (do not use it afterwards) and raises, after the
  // table is closed, the close's error if any.
  [[nodiscard]] int32_t ConnectDataset(IEdbDataset& Dataset);
  void DisconnectDataset(IEdbDataset& Dataset);

  // Opens the table's files and reads the headers (0 when open already); see TOpenTableResult.
  [[nodiscard]] int32_t InternalOpenTable();
  // Flushes, saves the index file when it changed, trims T.dat, then frees everything and closes
  // the files. A failure while flushing or closing is raised as "TEdbDataManager.CloseTable -
  // Cannot flush changes. Probably the table is opened by other application." after the table is
  // closed all the same.
  void CloseTable();
  [[nodiscard]] bool CheckPassword();
  // Temporary when a dataset is temporary, in-memory when every dataset is, else default. Raises
  // the mixed-mode messages.
  TFileStoreMode DetectFileStoreMode() const;
  // Closes and reopens the table in another store mode; a manager without datasets whose table
  // is closed only takes the mode (for DeleteTable and RenameTable).
  void SetFileStoreMode(TFileStoreMode Mode);
  // -1 for the ID field; raises "Error in TEdbDataManager.InternalGetFieldNo - field "<name>" not
  // found!".
  int32_t InternalGetFieldNo(const std::string& Name) const;

  // Records. Buffer holds RecordSize bytes (the ID slot is set by the insert). Results: the
  // position in index CurrentIndexNo (see the index list). An update leaves the entry of every
  // index whose key it does not change where it is (its result there is that entry's position).
  // When index upkeep fails (a record it compares cannot be read), the change is not made, every
  // index is marked not built and the error is raised.
  int32_t edInsertRecord(uint8_t* Buffer, int32_t CurrentIndexNo);
  int32_t edUpdateRecord(const uint8_t* Buffer, int32_t CurrentIndexNo, int32_t RecNo);
  // Raises "TEdbDataManager.edDeleteRecord - invalid record Number, recPos = <n>" / "..., last =
  // <n>" when an index lacks a record.
  int32_t edDeleteRecord(int32_t CurrentIndexNo, int32_t RecNo);
  // The next insert gets ID Value + 1; the change counts as a change of the table (ChangeCount + 1),
  // so the header is written at the next flush and the datasets of the table see it.
  void SetLastAutoInc(int32_t Value) {
    FTableHeader.LastAutoInc = Value;
    ++FTableHeader.ChangeCount;
  }
  // Bulk appending, for a table being filled from another: from BeginBulkAppend on, inserts
  // maintain no index (each is marked not built, so nothing uses it stale, and is sorted from the
  // records when next used); EndBulkAppend sorts every index once. Records, IDs and the log are
  // as with single inserts. The table must be open.
  void BeginBulkAppend();
  void EndBulkAppend();
  // A fresh record buffer: zero, every null flag set, the ID slot LastAutoInc + 1.
  std::vector<uint8_t> NewRecordBuffer() const;
  // The record's plain bytes from the pool (valid until the next pool operation). Raises
  // "TEdbDataManager.GetRecord - invalid record number <n>." for a record the table lacks.
  const uint8_t* GetRecord(int32_t RecNo) {
    // Inline: a scan asks for every record in turn.
    if (!FRecordsArray || RecNo < 0 || RecNo >= FTableHeader.RecordCount) RaiseInvalidRecord(RecNo);
    return FRecordsArray->GetRecord(RecNo);
  }

  // Hints to the processor that record RecNo is read soon: its image (when its page is in the
  // pool) and its entry in the BLOB directory's map; PrefetchBLOBHeaders, asked some reads later,
  // its BLOB headers. They change nothing; any RecNo may be given.
  void PrefetchRecord(int32_t RecNo) const;
  void PrefetchBLOBHeaders(int32_t RecNo) const {
    if (FHasBLOBs) FBLOBs.PrefetchHeaders(RecNo);
  }
  // The same for the parts lists of record RecNo's BLOB values, some reads after
  // PrefetchBLOBHeaders.
  void PrefetchBLOBParts(int32_t RecNo) const {
    if (FHasBLOBs) FBLOBs.PrefetchParts(RecNo);
  }

  // Writes the log, the headers and the file size when the log is due (auto flush on, writable).
  void FlushIfDue();
  // Writes everything pending when the table changed since the header on disk was written.
  void FlushBuffers();
  void DisableAutoFlush() { FAutoFlush = false; }
  void EnableAutoFlush(bool FlushNow);

  // Record CRC text (13-byte ShortString) and record encryption of the data part.
  void CountBufferCrc(const uint8_t* Buffer, int32_t Length, uint8_t* Out) const;
  // Raises "Error in TEdbDataManager.ChangeBufferEncryption - crc calc error, decoding 2" when a
  // decrypted record's CRC does not match.
  void ChangeBufferEncryption(uint8_t* Buffer, bool Encrypt);

  // Writes the table and field headers at the start of T.dat.
  void SaveTableHeaders();
  // The table header stored in T.dat.
  TTableHeader ReadTableHeader();
  // Indexes. Index numbers are positions in the index list: in the order indexes were added or
  // loaded, later ones moving down when one is deleted.
  //
  // Writes T.idx: the header with ChangeCount, every stored (non-temporary) index header, and,
  // with records, each stored index's entries (every index is built first).
  void SaveIndexesToDisk();
  // SaveIndexesToDisk unless the ChangeCount stored at the start of T.idx is the table's and the
  // file was read whole at open (a file whose indexes were rebuilt is written again even when its
  // ChangeCount is current).
  void SaveIndexesIfChanged();
  // Reads T.idx at open. A short or damaged file is never an error: headers that are incomplete
  // give the default indexes (CreateDefaultIndexes(true)); entries that are missing, stale (the
  // file's ChangeCount differs) or damaged are rebuilt from the records (RebuildIndexes).
  void LoadIndexesFromDisk();
  // Marks every index not built and builds it, telling the connected datasets (their
  // IndexBuilding* calls: started, the percentage after each index, 100 and finished; finished
  // also when a build fails).
  void RebuildIndexes();
  // "@" + IDFieldName, and with AutoIndexes, for every field that is neither ftBytes nor a BLOB
  // field, in order: "@@" + name (case-insensitive, text fields only), then "@" + name.
  void CreateDefaultIndexes(bool AutoIndexes);
  // Adds and builds an index. FieldNames, CaseInsFields and DescFields are field-name lists
  // (toolkit::SplitFieldNames); ixDescending / ixCaseInsensitive in Options apply to every field.
  // Unless NoSave, T.idx is saved. Raises the InternalAddIndex messages: "Error in
  // TEdbDataManager.InternalAddIndex - " followed by "name is empty.", "name length > .20",
  // "empty field name list", "empty sort orders list", "index "<name>" already exists!" or
  // "unsupported field type!", and InternalGetFieldNo's message for an unknown field.
  void AddIndex(const std::string& Name, const std::string& FieldNames, bool NoSave, const std::string& CaseInsFields,
                const std::string& DescFields, toolkit::TIndexOptions Options);
  // Adds an unsaved index named "$_IDX_" + a random number 0..99999 (one no index has) and
  // returns its name; raises as AddIndex.
  std::string CreateTemporaryIndex(const std::string& FieldNames, const std::string& DescFields,
                                   const std::string& CaseInsFields);
  // Deletes an index and, unless NoSave, saves T.idx; returns the number it had. A name beginning
  // with "@" is left alone (result 0). Raises "Error in TEdbDataManager.DeleteIndex - " followed
  // by "table is not opened.", "name is empty.", "name length > .20" or "index "<name>" doesn't
  // exist!".
  int32_t DeleteIndex(const std::string& Name, bool NoSave);
  // Number of the index of that name (case-insensitive), or -1.
  int32_t InternalGetIndexNo(const std::string& Name) const;
  // Sorts the index unless it is built; the dataset layer calls it before using an index.
  void BuildIndex(int32_t IndexNo);
  void BuildAllIndexes();
  // Position of record RecNo among the first Count entries of index IndexNo, or -1.
  int32_t FindRecordInIndex(int32_t IndexNo, int32_t RecNo, int32_t Count) const;
  // The burst throttle of index upkeep: true (every index is maintained) with more than
  // kSmallTableRecords records; otherwise false once more than kBurstChanges calls came each
  // less than kBurstIntervalMs after the one before. Every call records the tick count.
  bool MustMaintainAllIndexes();

  // BLOB values. FieldNo is a field's number among all fields (a BLOB field), RecNo a physical
  // record number below the BLOB RecordCount. Other numbers raise "TEdbDataManager.<call> -
  // invalid field or record number (FieldNo = <f>, RecNo = <r>).".
  //
  // Stores the whole of Stream (read from position 0) as the value: a graphic header in front
  // of a bitmap is dropped (IsStreamGraphic), the bytes are stamped with their CRC, compressed by
  // BLOBCompression, enciphered in encrypted tables, and logged for the blocks they get; an empty
  // stream removes the value. The value being replaced is freed only once the new one is ready,
  // so a failure keeps it. Raises "Error in TEdbDataManager.edWriteBLOBValue - " followed by "crc
  // calc error", "edCompress compressing error! mode = <level>, tSize = <Size>, hSize =
  // <StoredSize>", "no password specified." or "encoding error.".
  void WriteBLOBValue(toolkit::TMemoryStream& Stream, int32_t FieldNo, int32_t RecNo);
  // Replaces Stream's contents with the value (empty when there is none) at position 0. Pending
  // BLOB data in the log is written first. A value that cannot be had leaves Stream empty and
  // raises "Error in TEdbDataManager.edReadBLOBValue - " followed by "no password specified.",
  // "decoding error.", "decompressing error, mode=<level>.", "crc error" or "blob data is
  // missing." (T.bdf lacks its blocks); the record and every other value stay readable.
  void ReadBLOBValue(toolkit::TMemoryStream& Stream, int32_t FieldNo, int32_t RecNo);
  // Frees the value's blocks (appended to the free list) and clears its header.
  void DeleteBLOBValue(int32_t FieldNo, int32_t RecNo);
  // Appends a cleared header group for a record about to be inserted (the dataset layer calls it
  // before writing the new record's values). Raises "TEdbDataManager.edAddBLOBRecord -
  // blobMap.ItemCount <> blobFileHeader.RecordCount".
  void edAddBLOBRecord();
  // Frees the values of record RecNo and moves the last record's group into its place, as
  // edDeleteRecord moves the last record.
  void edDeleteBLOBRecord(int32_t RecNo);
  // Makes the BLOB RecordCount equal to RecordCount at open: surplus groups are deleted (their
  // values freed), missing ones (an interrupted flush wrote records but not the directory) added
  // empty; then ChangeCount + 1 and FlushBuffers.
  void TrimBLOBRecords();
  // Writes T.bif from the directory (without records, a directory without blocks; T.bdf is cut
  // when it is committed). Blocks freed before it become free to allocate at the next commit
  // after it; a failed write leaves them pending. Nothing when not Force and the table is
  // read-only or has no BLOB fields.
  void SaveBLOBHeaders(bool Force);
  // Reads T.bif into the directory; BLOBBlockSize becomes the file's. Raises "Error in
  // TEdbDataManager.LoadBLOBHeaders - this table format is not supported, version = <v>" for
  // table versions between the uncompressed and the compressed directory formats, and the
  // directory's damage messages (TedBLOBDirectory::Parse, "... cannot decompress the BLOB
  // directory.").
  void LoadBLOBHeaders();
  // At least 10 bytes starting 01 00 00 01, four bytes of any value, then "BM". The stream is left
  // at position 0.
  static bool IsStreamGraphic(toolkit::TMemoryStream& Stream);
  const TedBLOBDirectory& BLOBDirectory() const { return FBLOBs; }
  int32_t BLOBBlockSize() const { return FBLOBBlockSize; }

  // Table maintenance; the table must not be open (the dataset layer closes it first), else
  // "TEdbDataManager.<call> - table "<name>" is open.".
  //
  // Deletes T.bdf, T.bif, T.idx and T.dat in this order, missing ones skipped. Raises "Error in
  // TEdbDataManager.DeleteTable - <file> file cannot be deleted."; files deleted before stay
  // deleted.
  void DeleteTable();
  // Renames the table's files (.bdf, .bif, .idx, .dat) to NewName, replacing files of that name
  // unless the names differ only in letter case, and takes the new name. Raises "Error in
  // TEdbDataManager.RenameTable - <old file> file cannot be overwritten" / "... cannot be
  // renamed."; files renamed before a failure keep their new names.
  void RenameTable(const std::string& NewName);
  // For an open in-memory table: flushes, saves the indexes when changed, then copies the memory
  // files to the database's own store. Raises "TEdbDataManager.SaveTable - table is not open in
  // memory." otherwise and "TEdbDataManager.SaveTable - <file> file cannot be saved." when a copy
  // fails (the memory table stays as it was; the store's copy may be incomplete).
  void SaveTable();
  // Upgrades an open table of a version below 2.199 to 2.2 (the open sequence calls it): string
  // fields of tables below 2.099 get their "@@" indexes, indexes over date and time fields are
  // sorted again, then headers, log, indexes and the BLOB directory are written. Raises "Error in
  // TEdbDataManager.ConvertToCurrentTable - table is in ReadOnly mode!" and, for tables it cannot
  // convert, "Error in TEdbDataManager.ConvertToCurrentTable - this table format is not
  // supported, version = <v>" with a second line for the user.
  void ConvertToCurrentTable();

  // IRecordSource
  const uint8_t* IndexRecord(int32_t RecNo) override { return GetRecord(RecNo); }

  // State read by the pool, the log, the dataset layer and tests.
  const std::string& TableName() const { return FTableName; }
  TEdbDatabaseManager& DatabaseManager() const { return FDatabaseManager; }
  const std::vector<IEdbDataset*>& Datasets() const { return FDatasets; }
  TFileStoreMode FileStoreMode() const { return FFileStoreMode; }
  bool ReadOnly() const { return FReadOnly; }
  bool FilesReadOnly() const { return FFilesReadOnly; }
  bool Encrypted() const { return FTableHeader.Encrypted; }
  const TTableHeader& TableHeader() const { return FTableHeader; }
  const std::vector<TFieldHeader>& FieldHeaders() const { return FFieldHeaders; }
  int32_t FieldOffset(int32_t FieldNo) const { return FFieldOffsets[static_cast<size_t>(FieldNo)]; }
  int32_t RecordCount() const { return FTableHeader.RecordCount; }
  int32_t RecordSize() const { return FRecordSize; }
  int32_t DataSize() const { return FDataSize; }
  int32_t NullFlagsSize() const { return FNullFlagsSize; }
  int64_t DataStart() const { return FDataStart; }
  bool HasBLOBFields() const { return FHasBLOBs; }
  int32_t RecordsPerPage() const { return FRecordsPerPage; }
  bool OneRecordPages() const { return FOneRecordPages; }
  bool IsOpen() const { return FOpen; }
  // Why the last InternalOpenTable returned otrCannotOpen.
  const std::string& LastOpenError() const { return FLastOpenError; }
  bool IsFullyOpen() const { return FFullyOpen; }
  TAbstractFile* DataFile() const { return FDatFile; }
  TedBufferLogArray* Log() const { return FLog.get(); }
  TedRecordsArray* RecordsArray() const { return FRecordsArray.get(); }
  int32_t IndexCount() const { return static_cast<int32_t>(FIndexes.size()); }
  TEdbIndex& Index(int32_t IndexNo) const { return *FIndexes[static_cast<size_t>(IndexNo)]; }
  // Bytes held by the indexes and the key cache, for memory figures.
  size_t IndexMemoryBytes() const;

  // The commit rule: when the log has been written and the table's files were last committed
  // (flushed through to their store; in single-file mode this commits the container) at least
  // CommitInterval milliseconds ago, they are committed again. 0 commits after every write of the
  // log.
  uint32_t CommitInterval() const { return FCommitInterval; }
  void SetCommitInterval(uint32_t Milliseconds) { FCommitInterval = Milliseconds; }
  // Commits of the table's files that completed since the manager was created.
  uint64_t CommitCount() const { return FCommitCount; }

private:
  [[noreturn]] static void RaiseInvalidRecord(int32_t RecNo);
  void ResetTableState();
  [[nodiscard]] bool OpenFiles(bool Create);
  void CloseFiles();
  void OpenTable();
  void ComputeLayout();
  void ReleaseTableState();
  TAbstractFile& OpenTableFile(const std::string& Extension, bool Create);
  std::string FileName(const std::string& Extension) const { return FTableName + Extension; }
  void TrimDataFile();
  // The table's files are kept in a container (single-file store), which commits them together.
  bool InContainer() const;
  // BLOB field K (among the BLOB fields) of FieldNo, after checking FieldNo and RecNo for Call.
  int32_t BLOBFieldIndex(const char* Call, int32_t FieldNo, int32_t RecNo) const;
  // Reads Bytes bytes of T.bdf from Offset into Dest; false when the file holds fewer or the
  // read fails.
  bool ReadBdf(int64_t Offset, int64_t Bytes, uint8_t* Dest);
  // The Bytes bytes of T.bdf from Offset in the read window of a read-only table (Bytes at most
  // the window's size), read into it when it does not hold them; valid until the next read of
  // T.bdf. nullptr when the file holds fewer or the read fails.
  const uint8_t* WindowBdf(int64_t Offset, int64_t Bytes);
  // Raises "TEdbDataManager.<Call> - table "<name>" is open." when it is.
  void RequireClosed(const char* Call) const;
  // Flushes the table's files (a container commits them), then releases the BLOB blocks the
  // directory written before no longer assigns. Raises when a flush fails; nothing is released
  // then.
  void CommitFiles();
  codec::TCipher_Rijndael& Cipher();
  TKeyLayout KeyLayout() const;
  void LogRecordImage(int32_t RecNo, const uint8_t* PlainRecord);
  void PrepareIndexes();
  // The key cache, created for the current layout on first use.
  TedKeyCache& Keys();
  // Runs Change(index, whether it is CurrentIndexNo) over every index that is built and either
  // CurrentIndexNo or, when All, any; marks the others not built. Change's result for
  // CurrentIndexNo is returned (0 if none). If
  // Change raises, every index is marked not built (to be sorted from the records) and the
  // exception goes on.
  template <class TChange>
  int32_t MaintainIndexes(int32_t CurrentIndexNo, bool All, TChange&& Change);
  void InternalAddIndex(const std::string& Name, const std::vector<std::string>& Fields, bool AllDescending,
                        bool AllCaseInsensitive, uint8_t Options, const std::vector<bool>& CaseList,
                        const std::vector<bool>& DescendingList);

  std::string FTableName;
  TEdbDatabaseManager& FDatabaseManager;
  std::vector<IEdbDataset*> FDatasets;
  TFileStoreMode FFileStoreMode = pfs::fsmDefault;
  bool FReadOnly = false;
  bool FFilesReadOnly = false;
  std::string FPassword;
  int32_t FBLOBBlockSize = 512;
  int32_t FRecordsPerPage = 1000;
  bool FOneRecordPages = false;

  TTableHeader FTableHeader;
  bool FHeaderRead = false;
  std::vector<TFieldHeader> FFieldHeaders;
  std::vector<int32_t> FFieldOffsets;
  int32_t FDataSize = 0;
  int32_t FNullFlagsSize = 0;
  int32_t FRecordSize = 0;
  int64_t FDataStart = 0;
  bool FHasBLOBs = false;
  std::vector<int32_t> FBLOBFieldIndex;  // per field: its number among the BLOB fields, or -1
  TedBLOBDirectory FBLOBs;
  bool FBLOBHeadersChanged = false;  // the directory differs from T.bif

  TAbstractFile* FDatFile = nullptr;
  TAbstractFile* FIdxFile = nullptr;
  TAbstractFile* FBifFile = nullptr;
  TAbstractFile* FBdfFile = nullptr;
  bool FStoreOpen = false;
  // A read-only table reads T.bdf through this window of consecutive bytes, so that values in
  // neighbouring blocks come from one file read. Nothing writes T.bdf while the table is read
  // only; the window is dropped whenever the files are opened or closed.
  std::vector<uint8_t> FBdfWindow;
  int64_t FBdfWindowStart = 0;
  int64_t FBdfWindowBytes = 0;  // bytes of FBdfWindow that hold file bytes from FBdfWindowStart
  // The blocks of a value being read and its bytes after decompression, kept for the next value
  // unless they grew large.
  std::unique_ptr<uint8_t[]> FBLOBScratch;
  size_t FBLOBScratchSize = 0;
  std::vector<uint8_t> FBLOBUnpacked;

  std::unique_ptr<TedRecordsArray> FRecordsArray;
  std::unique_ptr<TedBufferLogArray> FLog;
  std::unique_ptr<TedKeyCache> FKeys;  // before FIndexes, which refer to it
  std::vector<std::unique_ptr<TEdbIndex>> FIndexes;
  std::unique_ptr<codec::TCipher_Rijndael> FCipher;
  std::string FCipherKey;

  bool FOpen = false;
  bool FFullyOpen = false;
  bool FAutoFlush = true;
  bool FBulkAppend = false;
  std::string FLastOpenError;
  uint32_t FCommitInterval = kDefaultCommitIntervalMs;
  uint64_t FCommitCount = 0;
  uint32_t FLastCommit = 0;
  uint32_t FLastMaintenance = 0;
  bool FIndexFileDamaged = false;  // LoadIndexesFromDisk rebuilt what T.idx holds
  int32_t FBurstCount = 0;
};

// The manager of TableName (case-insensitive) and DatabaseManager, searched from the newest, or a
// new registered one. Raises "edGetDataManager - nil pointer to DatabaseManager." for a null
// DatabaseManager.
TEdbDataManager& edGetDataManager(const std::string& TableName, TEdbDatabaseManager* DatabaseManager);

}  // namespace tesvar::storage
