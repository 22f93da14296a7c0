// BLOB values and table maintenance for the table commands.

#include "edb/EdbTableStore.h"

#include "edb/EdbTool_internal.h"

namespace tesvar::edb {

using namespace tesvar::storage;

namespace {

const char* const kTableExtensions[] = {".dat", ".idx", ".bif", ".bdf"};

}  // namespace

void AddBlobRecord(TEdbDataManager&) {}

void DropLastBlobRecord(TEdbDataManager&) {}

void DeleteBlobRecord(TEdbDataManager&, int32_t) {}

void WriteBlobValue(TEdbDataManager& Table, int32_t FieldNo, int32_t, const std::string& Stored) {
  if (!Stored.empty())
    throw ToolError("field " + Quoted(Table.FieldHeaders()[static_cast<size_t>(FieldNo)].Name) +
                    ": this edb cannot store BLOB values yet");
}

void ReadBlobValue(TEdbDataManager&, int32_t, int32_t, std::string& Stored) { Stored.clear(); }

void DropTable(TEdbDatabaseManager& Database, toolkit::IEdbDataset&, const std::string& Name) {
  for (const char* Extension : kTableExtensions) {
    const std::string File = Name + Extension;
    if (Database.FileExists(File, pfs::fsmDefault) && !Database.DeleteFile(File, pfs::fsmDefault))
      throw ToolError("cannot delete " + Quoted(File));
  }
}

void RenameTable(TEdbDatabaseManager& Database, toolkit::IEdbDataset&, const std::string& OldName,
                 const std::string& NewName) {
  for (const char* Extension : kTableExtensions) {
    const std::string File = OldName + Extension;
    if (Database.FileExists(File, pfs::fsmDefault) && !Database.RenameFile(File, NewName + Extension, pfs::fsmDefault))
      throw ToolError("cannot rename " + Quoted(File));
  }
}

}  // namespace tesvar::edb
