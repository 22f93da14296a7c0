// Whole-table operations of the table manager: delete, rename, save an in-memory table, convert
// a table of an older format version.

#include "storage/TEdbDataManager.h"

#include "platform/AnsiCase.h"
#include "platform/Exception.h"
#include "storage/TEdbDataManager_internal.h"
#include "storage/TEdbDatabaseManager.h"
#include "storage/TableFormat.h"

#include <algorithm>

namespace tesvar::storage {

using namespace toolkit;

namespace {

// The table's files in the order they are deleted and renamed.
constexpr const char* kMaintenanceOrder[] = {kBdfExt, kBifExt, kIdxExt, kDatExt};

// Holds the database's store open (a single-file database's container) for a closed table.
class TStoreUse {
public:
  explicit TStoreUse(TEdbDatabaseManager& Database) : FDatabase(Database) { FDatabase.OpenStore(); }
  ~TStoreUse() {
    try {
      FDatabase.CloseStore();
    } catch (...) {
      // The operation's own result is the one to report.
    }
  }
  TStoreUse(const TStoreUse&) = delete;
  TStoreUse& operator=(const TStoreUse&) = delete;

private:
  TEdbDatabaseManager& FDatabase;
};

bool isDateOrTime(TFieldType Type) { return Type == ftDate || Type == ftTime || Type == ftDateTime; }

}  // namespace

void TEdbDataManager::RequireClosed(const char* Call) const {
  if (FOpen || !FDatasets.empty())
    throw Exception(std::string("TEdbDataManager.") + Call + " - table \"" + FTableName + "\" is open.");
}

void TEdbDataManager::DeleteTable() {
  RequireClosed("DeleteTable");
  TStoreUse store(FDatabaseManager);
  for (const char* ext : kMaintenanceOrder) {
    const std::string name = FileName(ext);
    if (FDatabaseManager.FileExists(name, FFileStoreMode) && !FDatabaseManager.DeleteFile(name, FFileStoreMode))
      throw Exception("Error in TEdbDataManager.DeleteTable - " + name + " file cannot be deleted.");
  }
}

void TEdbDataManager::RenameTable(const std::string& NewName) {
  RequireClosed("RenameTable");
  detail::checkTableName(NewName);
  TStoreUse store(FDatabaseManager);
  const bool sameName = platform::AnsiSameText(FTableName, NewName);
  for (const char* ext : kMaintenanceOrder) {
    const std::string oldName = FileName(ext);
    const std::string newName = NewName + ext;
    if (!FDatabaseManager.FileExists(oldName, FFileStoreMode)) continue;
    if (!sameName && FDatabaseManager.FileExists(newName, FFileStoreMode) &&
        !FDatabaseManager.DeleteFile(newName, FFileStoreMode))
      throw Exception("Error in TEdbDataManager.RenameTable - " + oldName + " file cannot be overwritten");
    if (!FDatabaseManager.RenameFile(oldName, newName, FFileStoreMode))
      throw Exception("Error in TEdbDataManager.RenameTable - " + oldName + " file cannot be renamed.");
  }
  FTableName = NewName;
}

void TEdbDataManager::SaveTable() {
  if (!FOpen || FFileStoreMode != pfs::fsmInMemory)
    throw Exception("TEdbDataManager.SaveTable - table \"" + FTableName + "\" is not open in memory.");
  FlushBuffers();
  SaveIndexesIfChanged();
  std::vector<const char*> files;
  if (FHasBLOBs) files = {kBdfExt, kBifExt};
  files.push_back(kIdxExt);
  files.push_back(kDatExt);
  for (const char* ext : files)
    if (!FDatabaseManager.SaveFileToStore(FileName(ext)))
      throw Exception("TEdbDataManager.SaveTable - " + FileName(ext) + " file cannot be saved.");
}

void TEdbDataManager::ConvertToCurrentTable() {
  const std::string where = "Error in TEdbDataManager.ConvertToCurrentTable - ";
  if (FReadOnly) throw Exception(where + "table is in ReadOnly mode!");
  const double version = FTableHeader.Version;
  // Below the fixed null-flag version the record layout changes with the version unless the
  // record size and (in encrypted tables) the CRC slot stay where they are.
  const auto fieldCount = static_cast<int32_t>(FFieldHeaders.size());
  const int32_t nullFlags = (fieldCount + 7) / 8;
  const bool layoutChanges =
      version < kFixedNullFlagsVersion &&
      (FDataSize + std::max(kMinTrailerSize, nullFlags + kRecordIdSize + kCrcSlotSize) != FRecordSize ||
       (FTableHeader.Encrypted && nullFlags != FNullFlagsSize));
  if ((version < blobformat::kUncompressedDirectoryVersion && FHasBLOBs) || layoutChanges)
    throw Exception(where + "this table format is not supported, version = " + detail::fixed2(version) +
                    "\nExport its data with the program version that wrote it and import it into a new table.");
  if (version < kDateOrderVersion) {
    for (const TFieldHeader& f : FFieldHeaders) {
      if (f.FieldType != ftString && f.FieldType != ftWideString) continue;
      const std::string name = std::string(2, kAutoIndexPrefix) + f.Name;
      if (InternalGetIndexNo(name) < 0) AddIndex(name, f.Name, true, "", "", ixCaseInsensitive);
    }
    for (int32_t i = 0; i < IndexCount(); ++i) {
      const std::vector<int32_t>& fields = Index(i).Header().FieldNos;
      const bool overDates = std::any_of(fields.begin(), fields.end(), [this](int32_t f) {
        return f >= 0 && isDateOrTime(FFieldHeaders[static_cast<size_t>(f)].FieldType);
      });
      if (!overDates) continue;
      Index(i).SetBuilt(false);
      BuildIndex(i);
    }
  }
  FTableHeader.Version = kCurrentVersion;
  SaveTableHeaders();
  FlushBuffers();
  SaveIndexesToDisk();
  if (FHasBLOBs) {
    FBLOBs.SetVersion(kCurrentVersion);
    SaveBLOBHeaders(false);
  }
}

}  // namespace tesvar::storage
