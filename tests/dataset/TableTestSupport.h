#pragma once
// Table component tests: one database in one store (directory, single file, in memory,
// temporary files; plain or encrypted tables) over the in-memory host file system, and table
// components on it.

#include "dataset/TEdbTable.h"
#include "storage/StorageTestSupport.h"
#include "support/ExceptionText.h"
#include "toolkit/FieldClasses.h"

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

namespace tesvar::tabletest {

using namespace tesvar::dataset;
using namespace tesvar::storage;
using namespace tesvar::toolkit;
using storagetest::TStoreCase;
using tesvar::testsupport::messageOf;

// Name (string of 20), Num (integer), Amount (float), with the indexes ByName (Name) and ByNum
// (Num).
inline TFieldDefs tableFields() {
  return {{"Name", ftString, 20, false}, {"Num", ftInteger, 0, false}, {"Amount", ftFloat, 0, false}};
}
inline TIndexDefs tableIndexes() { return {{"ByName", "Name", "", "", {}}, {"ByNum", "Num", "", "", {}}}; }

class TTableStore : public storagetest::TMemoryHost {
public:
  explicit TTableStore(TStoreCase Case, bool MakeContainer = true) : FCase(Case) {
    if (Case.Mode == pfs::fsmSingleFile && MakeContainer) {
      TEdbDatabase creator;
      creator.CreateDatabase("db.edb");
    }
  }
  ~TTableStore() { FTables.clear(); }
  TTableStore(const TTableStore&) = delete;
  TTableStore& operator=(const TTableStore&) = delete;

  // A closed table component on table Name of the store's database, owned by the store (freed
  // before the engine stops).
  TEdbTable& NewTable(const std::string& Name = "T") {
    FTables.push_back(std::make_unique<TEdbTable>());
    TEdbTable& t = *FTables.back();
    Configure(t);
    t.SetTableName(Name);
    return t;
  }
  void Configure(TEdbTable& T) const {
    if (FCase.Mode == pfs::fsmSingleFile)
      T.SetDatabaseFileName("db.edb");
    else
      T.SetDatabaseName("db");
    T.SetInMemory(FCase.Mode == pfs::fsmInMemory);
    T.SetTemporary(FCase.Mode == pfs::fsmTemporary);
    T.SetEncrypted(FCase.Encrypted);
    T.SetPassword(FCase.Encrypted ? "secret" : "");
  }
  // A closed table component on Name with the test fields and indexes, created.
  TEdbTable& CreateTestTable(const std::string& Name = "T") {
    TEdbTable& t = NewTable(Name);
    t.FieldDefs() = tableFields();
    t.SetIndexDefs(tableIndexes());
    t.SetAutoIndexes(false);
    t.CreateTable();
    return t;
  }
  // Appends (Name, Num, Amount = Num / 2) through the open dataset T and posts; returns the ID.
  static int32_t Append(TEdbDataset& T, const std::string& Name, int32_t Num) {
    T.Append();
    T.FieldByName("Name").SetAsString(Name);
    T.FieldByName("Num").SetAsInteger(Num);
    T.FieldByName("Amount").SetAsFloat(Num / 2.0);
    T.Post();
    return T.Fields()[T.FieldCount() - 1].AsInteger();
  }
  // The Name values of the open dataset T in its order (the cursor ends after the last record).
  static std::vector<std::string> Names(TEdbDataset& T) {
    std::vector<std::string> names;
    for (T.First(); !T.Eof(); T.Next()) names.push_back(T.FieldByName("Name").AsString());
    return names;
  }

  TStoreCase FCase;

private:
  std::vector<std::unique_ptr<TEdbTable>> FTables;
};

// Parameterised over every store mode, plain and encrypted.
class TableStoreTest : public ::testing::TestWithParam<TStoreCase> {
protected:
  TTableStore store{GetParam()};
};

inline std::string storeCaseName(const ::testing::TestParamInfo<TStoreCase>& Info) {
  return storagetest::caseName(Info.param);
}

}  // namespace tesvar::tabletest
