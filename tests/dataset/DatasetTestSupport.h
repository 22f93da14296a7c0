#pragma once
// Dataset tests: a directory database over the in-memory file system, a table whose records the
// tests write through its table manager (as another user of the table would), and datasets on it.

#include "dataset/TEdbDataset.h"
#include "storage/StorageTestSupport.h"
#include "support/ExceptionText.h"

#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <string>
#include <vector>

namespace tesvar::datasettest {

using namespace tesvar::dataset;
using namespace tesvar::storage;
using namespace tesvar::toolkit;
using tesvar::testsupport::messageOf;

// Name (string of 20), Num (integer), Amount (float): the storage tests' table.
// Indexes: ByName (Name), ByNumName (Num; Name), ByNumDesc (Num descending), ByAmountName
// (Amount; Name).
inline TIndexDefs testIndexes() {
  return {{"ByName", "Name", "", "", {}},
          {"ByNumName", "Num;Name", "", "", {}},
          {"ByNumDesc", "Num", "Num", "", {}},
          {"ByAmountName", "Amount;Name", "", "", {}}};
}

// A record image for the table manager, built field by field.
class TRecordImage {
public:
  explicit TRecordImage(TEdbDataManager& M) : FM(M), FBytes(M.NewRecordBuffer()) {}

  template <class T>
  TRecordImage& Set(int32_t FieldNo, const T& Value) {
    std::memcpy(FBytes.data() + FM.FieldOffset(FieldNo), &Value, sizeof Value);
    return NotNull(FieldNo);
  }
  TRecordImage& SetText(int32_t FieldNo, const std::string& Value) {
    std::memcpy(FBytes.data() + FM.FieldOffset(FieldNo), Value.data(), Value.size());
    return NotNull(FieldNo);
  }
  TRecordImage& NotNull(int32_t FieldNo) {
    FBytes[static_cast<size_t>(FM.DataSize() + 4 + FieldNo / 8)] &= static_cast<uint8_t>(~(1u << (FieldNo % 8)));
    return *this;
  }
  uint8_t* Data() { return FBytes.data(); }
  int32_t Id() const { return GetInt32(FBytes.data() + FM.DataSize()); }

private:
  TEdbDataManager& FM;
  std::vector<uint8_t> FBytes;
};

// A directory database "db" with table T, opened by the environment's own dataset, through which
// the tests change records; datasets made by NewDataset share the table manager.
class TDatasetEnv : public storagetest::TTableEnv {
public:
  // AutoIndexes: the table has the automatic per-field indexes.
  explicit TDatasetEnv(const TFieldDefs& Fields = storagetest::testFields(), const TIndexDefs& Indexes = testIndexes(),
                       bool AutoIndexes = false)
      : TTableEnv({pfs::fsmDirectory, false}) {
    Create(Fields, Indexes, AutoIndexes);
    Open();
  }

  // A closed dataset on T (owned by the environment, freed before the table closes).
  TEdbDataset& NewDataset() {
    FDatasets.push_back(std::make_unique<TEdbDataset>());
    TEdbDataset& ds = *FDatasets.back();
    ds.SetDatabaseName("db");
    ds.SetTableName("T");
    return ds;
  }

  // Inserts (Name, Num) with Amount = Num / 2; returns the record ID.
  int32_t Add(const std::string& Name, int32_t Num) { return Insert(Name, Num); }
  // The physical number of the record with ID Id (-1: none).
  int32_t RecNoOf(int32_t Id) {
    for (int32_t r = 0; r < M().RecordCount(); ++r)
      if (IdOf(r) == Id) return r;
    return -1;
  }
  void Delete(int32_t Id) { M().edDeleteRecord(0, RecNoOf(Id)); }
  void Update(int32_t Id, const std::string& Name, int32_t Num) {
    std::vector<uint8_t> r = Record(Name, Num);
    PutInt32(r.data() + M().DataSize(), Id);
    M().edUpdateRecord(r.data(), 0, RecNoOf(Id));
  }

  ~TDatasetEnv() { FDatasets.clear(); }

private:
  std::vector<std::unique_ptr<TEdbDataset>> FDatasets;
};

// The record ID of the dataset's current record (its ID field), 0 when it has none.
inline int32_t currentId(TEdbDataset& Ds) {
  TField* f = Ds.Fields().Count() > 0 ? &Ds.Fields()[Ds.FieldCount() - 1] : nullptr;
  return f != nullptr && !f->IsNull() ? f->AsInteger() : 0;
}

// IDs 1..5: delta 40, alpha 20, echo 50, charlie 20, bravo 10 (Num descending with the name
// order reversed, and two records sharing Num 20).
inline void addFiveRecords(TDatasetEnv& Env) {
  Env.Add("delta", 40);
  Env.Add("alpha", 20);
  Env.Add("echo", 50);
  Env.Add("charlie", 20);
  Env.Add("bravo", 10);
}

// Names (the Name field) in the dataset's order from the current record on, and from the first.
inline std::vector<std::string> namesFromHere(TEdbDataset& Ds) {
  std::vector<std::string> names;
  for (; !Ds.Eof(); Ds.Next()) names.push_back(Ds.FieldByName("Name").AsString());
  return names;
}

inline std::vector<std::string> allNames(TEdbDataset& Ds) {
  Ds.First();
  return namesFromHere(Ds);
}

}  // namespace tesvar::datasettest
