#pragma once
// Editing tests: a table with unique indexes and memo fields, in any store mode, and datasets on
// it configured for that store.

#include "DatasetTestSupport.h"

#include <memory>
#include <string>
#include <vector>

namespace tesvar::datasettest {

// Name (string of 20), Num (integer), Amount (float), Note and Extra (memos).
inline TFieldDefs editFields() {
  return {{"Name", ftString, 20, false},
          {"Num", ftInteger, 0, false},
          {"Amount", ftFloat, 0, false},
          {"Note", ftMemo, 0, false},
          {"Extra", ftMemo, 0, false}};
}

// ByName orders by Name; UName is unique on Name without letter case; UNum is unique on Num;
// ByNumName orders by Num, then Name.
inline TIndexDefs editIndexes() {
  return {{"ByName", "Name", "", "", {}},
          {"UName", "Name", "", "", ixUnique | ixCaseInsensitive},
          {"UNum", "Num", "", "", ixUnique},
          {"ByNumName", "Num;Name", "", "", {}}};
}

inline std::string keyViolation(const std::string& Index, const char* Call = "TEdbDataSet.InternalPost") {
  return std::string(Call) + " - key violation.\r\nTable name = \"T\".\r\nUnique index name = \"" + Index + "\".";
}

// The edit table T in one store; datasets made by NewDataset are set up for that store and go
// before the table closes.
class TEditEnv : public storagetest::TTableEnv {
public:
  explicit TEditEnv(storagetest::TStoreCase Case) : TTableEnv(Case) {
    Create(editFields(), editIndexes());
    Open();
  }
  ~TEditEnv() { FDatasets.clear(); }

  TEdbDataset& NewDataset() {
    FDatasets.push_back(std::make_unique<TEdbDataset>());
    TEdbDataset& ds = *FDatasets.back();
    if (!FDataset.FileName.empty())
      ds.SetDatabaseFileName(FDataset.FileName);
    else
      ds.SetDatabaseName(FDataset.Name);
    ds.SetTableName("T");
    ds.SetInMemory(FDataset.Memory);
    ds.SetTemporary(FDataset.Temp);
    ds.SetEncrypted(FDataset.Enc);
    ds.SetPassword(FDataset.Pass);
    return ds;
  }
  void DropDatasets() { FDatasets.clear(); }

  // The memo value of field FieldNo of record RecNo ("" for none).
  std::string Memo(int32_t RecNo, int32_t FieldNo = 3) {
    TMemoryStream s;
    M().ReadBLOBValue(s, FieldNo, RecNo);
    return std::string(s.Bytes().begin(), s.Bytes().end());
  }

private:
  std::vector<std::unique_ptr<TEdbDataset>> FDatasets;
};

}  // namespace tesvar::datasettest
