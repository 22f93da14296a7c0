// Whole-table operations: deleting and renaming a table's files, saving an in-memory table to
// the database's store, and converting a table of an older format version when it opens.

#include "BLOBTestSupport.h"
#include "support/ExceptionText.h"

#include <gtest/gtest.h>

using namespace tesvar;
using namespace tesvar::storagetest;
using platform::FaultKind;
using tesvar::testsupport::messageOf;

namespace {

const std::vector<std::string> kExtensions = {".bdf", ".bif", ".idx", ".dat"};

class TableMaintenance : public ::testing::TestWithParam<TStoreCase> {
protected:
  // A closed table T with two records and BLOB values.
  void MakeTable(TBlobEnv& E) {
    E.CreateBlobTable();
    E.Open();
    E.Add("first", noise(700, 1), noise(20, 2));
    E.Add("second", text(3000));
    E.Close();
  }
  // The (closed) manager of Name in the store mode of the environment.
  TEdbDataManager& Manager(TBlobEnv& E, const std::string& Name) {
    TEdbDataManager& m = edGetDataManager(Name, E.FDatabase);
    m.SetFileStoreMode(E.FileMode());
    return m;
  }
  bool Exists(TBlobEnv& E, const std::string& File) { return E.FDatabase->FileExists(File, E.FileMode()); }
  void ExpectReadable(TBlobEnv& E) {
    E.Open();
    ASSERT_EQ(E.M().RecordCount(), 2);
    EXPECT_EQ(E.NameOf(0), "first");
    EXPECT_EQ(E.Read(0, kNotes), noise(700, 1));
    EXPECT_EQ(E.Read(1, kNotes), text(3000));
    E.Close();
  }

  TBlobEnv Env{GetParam(), 1};
};

TEST_P(TableMaintenance, DeleteTableDeletesEveryFile) {
  MakeTable(Env);
  for (const std::string& ext : kExtensions) EXPECT_TRUE(Exists(Env, "T" + ext)) << ext;
  Manager(Env, "T").DeleteTable();
  for (const std::string& ext : kExtensions) EXPECT_FALSE(Exists(Env, "T" + ext)) << ext;
  // An in-memory open looks for the table in the database's store instead of testing for T.dat.
  EXPECT_EQ(Env.TryOpen(), GetParam().Mode == pfs::fsmInMemory ? otrCannotOpen : otrNoDataFile);
}

TEST_P(TableMaintenance, DeleteTableSkipsMissingFiles) {
  MakeTable(Env);
  ASSERT_TRUE(Env.FDatabase->DeleteFile("T.idx", Env.FileMode()));
  EXPECT_EQ(messageOf([&] { Manager(Env, "T").DeleteTable(); }), "(no exception)");
  for (const std::string& ext : kExtensions) EXPECT_FALSE(Exists(Env, "T" + ext)) << ext;
}

TEST_P(TableMaintenance, OpenTablesAreNeitherDeletedNorRenamed) {
  MakeTable(Env);
  Env.Open();
  EXPECT_EQ(messageOf([&] { Env.M().DeleteTable(); }), "TEdbDataManager.DeleteTable - table \"T\" is open.");
  EXPECT_EQ(messageOf([&] { Env.M().RenameTable("U"); }), "TEdbDataManager.RenameTable - table \"T\" is open.");
  Env.Close();
  ExpectReadable(Env);
}

TEST_P(TableMaintenance, RenameTableMovesEveryFile) {
  MakeTable(Env);
  TEdbDataManager& m = Manager(Env, "T");
  m.RenameTable("Каталог");
  EXPECT_EQ(m.TableName(), "Каталог");
  for (const std::string& ext : kExtensions) {
    EXPECT_FALSE(Exists(Env, "T" + ext)) << ext;
    EXPECT_TRUE(Exists(Env, "Каталог" + ext)) << ext;
  }
  Env.FTable = "Каталог";
  ExpectReadable(Env);
}

TEST_P(TableMaintenance, RenameToOtherLetterCaseDeletesNothing) {
  MakeTable(Env);
  TEdbDataManager& m = Manager(Env, "T");
  m.RenameTable("t");
  EXPECT_EQ(m.TableName(), "t");
  for (const std::string& ext : kExtensions) EXPECT_TRUE(Exists(Env, "t" + ext)) << ext;
  Env.FTable = "t";
  ExpectReadable(Env);
}

TEST_P(TableMaintenance, RenameOntoAnExistingTableReplacesIt) {
  MakeTable(Env);
  {
    // U: a table of other fields, without BLOB files.
    TEdbDataManager& u = edGetDataManager("U", Env.FDatabase);
    u.SetFileStoreMode(Env.FileMode());
    u.CreateTable(testFields(), {}, 1000, true, &Env.FDataset);
  }
  ASSERT_FALSE(Exists(Env, "U.bdf"));
  Manager(Env, "T").RenameTable("U");
  for (const std::string& ext : kExtensions) EXPECT_FALSE(Exists(Env, "T" + ext)) << ext;
  Env.FTable = "U";
  ExpectReadable(Env);
  Env.Open();
  EXPECT_EQ(Env.M().FieldHeaders().size(), blobFields().size());
  EXPECT_EQ(Env.M().IndexCount(), 1) << "T's index file, not U's";
}

TEST_P(TableMaintenance, SaveTableIsForTablesOpenInMemory) {
  MakeTable(Env);
  TEdbDataManager& closed = Manager(Env, "T");
  EXPECT_EQ(messageOf([&] { closed.SaveTable(); }), "TEdbDataManager.SaveTable - table \"T\" is not open in memory.");
  if (GetParam().Mode == pfs::fsmInMemory) return;
  Env.Open();
  EXPECT_EQ(messageOf([&] { Env.M().SaveTable(); }), "TEdbDataManager.SaveTable - table \"T\" is not open in memory.");
}

INSTANTIATE_TEST_SUITE_P(Stores, TableMaintenance, ::testing::ValuesIn(allStoreCases()),
                         [](const auto& info) { return caseName(info.param); });

// An in-memory table of a directory or single-file database reaches the database's own files
// only through SaveTable.
class SaveInMemoryTable : public ::testing::TestWithParam<TStoreCase> {};

TEST_P(SaveInMemoryTable, CopiesTheMemoryFilesToTheStore) {
  TBlobEnv env(GetParam(), 2);
  env.CreateBlobTable();
  env.FDataset.Memory = true;
  env.Open();
  EXPECT_EQ(env.M().FileStoreMode(), pfs::fsmInMemory);
  env.Add("kept", text(5000), noise(300, 1));
  env.Close();
  env.FDataset.Memory = false;
  env.Open();
  EXPECT_EQ(env.M().RecordCount(), 0) << "the store still has the empty table";
  env.Close();

  env.FDataset.Memory = true;
  env.Open();
  ASSERT_EQ(env.M().RecordCount(), 1) << "the memory copy";
  env.Add("more", noise(2000, 2));
  env.M().SaveTable();
  env.Close();
  env.FDataset.Memory = false;
  env.Open();
  ASSERT_EQ(env.M().RecordCount(), 2);
  EXPECT_EQ(env.NameOf(0), "kept");
  EXPECT_EQ(env.Read(0, kNotes), text(5000));
  EXPECT_EQ(env.Read(0, kPic), noise(300, 1));
  EXPECT_EQ(env.Read(1, kNotes), noise(2000, 2));
  EXPECT_EQ(env.M().Index(0).Count(), 2);
}

INSTANTIATE_TEST_SUITE_P(Stores, SaveInMemoryTable,
                         ::testing::Values(TStoreCase{pfs::fsmDirectory, false}, TStoreCase{pfs::fsmDirectory, true},
                                           TStoreCase{pfs::fsmSingleFile, false}, TStoreCase{pfs::fsmSingleFile, true}),
                         [](const auto& info) { return caseName(info.param); });

// Failed deletes and renames of host files: the message names the file, and what was done before
// stays done.
TEST(TableMaintenanceFault, DeleteAndRenameStopAtTheFailedFile) {
  const TStoreCase directory{pfs::fsmDirectory, false};
  {
    TBlobEnv env(directory, 0);
    env.CreateBlobTable();
    env.FFaults.FailAt(FaultKind::Delete, 2);
    EXPECT_EQ(messageOf([&] { edGetDataManager("T", env.FDatabase).DeleteTable(); }),
              "Error in TEdbDataManager.DeleteTable - T.bif file cannot be deleted.");
    EXPECT_FALSE(env.FMem.FileExists("db/T.bdf"));
    for (const char* file : {"db/T.bif", "db/T.idx", "db/T.dat"}) EXPECT_TRUE(env.FMem.FileExists(file)) << file;
  }
  {
    TBlobEnv env(directory, 0);
    env.CreateBlobTable();
    env.FFaults.FailAt(FaultKind::Rename, 2);
    TEdbDataManager& m = edGetDataManager("T", env.FDatabase);
    EXPECT_EQ(messageOf([&] { m.RenameTable("U"); }),
              "Error in TEdbDataManager.RenameTable - T.bif file cannot be renamed.");
    EXPECT_EQ(m.TableName(), "T");
    EXPECT_TRUE(env.FMem.FileExists("db/U.bdf"));
    for (const char* file : {"db/T.bif", "db/T.idx", "db/T.dat"}) EXPECT_TRUE(env.FMem.FileExists(file)) << file;
  }
  {
    TBlobEnv env(directory, 0);
    env.CreateBlobTable();
    env.FTable = "U";
    env.CreateBlobTable();
    env.FFaults.FailAt(FaultKind::Delete, 1);
    EXPECT_EQ(messageOf([&] { edGetDataManager("T", env.FDatabase).RenameTable("U"); }),
              "Error in TEdbDataManager.RenameTable - T.bdf file cannot be overwritten");
    for (const char* file : {"db/T.bdf", "db/U.bdf"}) EXPECT_TRUE(env.FMem.FileExists(file)) << file;
  }
}

// ---------------------------------------------------------------------------------------------
// Conversion of older versions.

// Title (string of 20), Day (date), Num (integer); DataSize 33.
TFieldDefs datedFields() {
  return {{"Title", ftString, 20, false}, {"Day", ftDate, 0, false}, {"Num", ftInteger, 0, false}};
}

// An index header as tables below the Options version store it.
void putOldIndexHeader(std::vector<uint8_t>& Out, const std::string& Name, int32_t FieldNo) {
  const size_t at = Out.size();
  Out.resize(at + kNameBytes + 4 + 4 + 1 + 1 + 2, 0);
  uint8_t* p = Out.data() + at;
  PutShortString(p, Name, kNameCapacity);
  p += kNameBytes;
  PutInt32(p, 1);
  PutInt32(p + 4, FieldNo);
  p[8] = 0x01;  // ascending
}

class TableConversion : public ::testing::TestWithParam<TStoreCase> {
protected:
  // A table written as Version 2.0: days descending in record order, an index file of the old
  // layout whose date index lists the records in record order (the old date order).
  void MakeOldTable(TBlobEnv& E, int32_t Count) {
    E.Create(datedFields(), {{"ByDay", "Day", "", "", {}}}, false);
    E.Open();
    for (int32_t i = 0; i < Count; ++i) {
      std::vector<uint8_t> r = E.M().NewRecordBuffer();
      const std::string title = "t" + std::to_string(i);
      std::memcpy(r.data(), title.data(), title.size());
      PutInt32(r.data() + 21, 700000 - i);
      r[static_cast<size_t>(E.M().DataSize() + 4)] = 0;
      E.M().edInsertRecord(r.data(), 0);
    }
    const int32_t changes = E.M().TableHeader().ChangeCount;
    E.Close();
    E.ChangeFile(".dat", [](std::vector<uint8_t>& b) {
      PutDouble(b.data() + kTHVersion, 2.0);
      return true;
    });
    E.ChangeFile(".idx", [&](std::vector<uint8_t>& b) {
      b.assign(kIndexFileHeaderSize, 0);
      PutInt32(b.data() + kIHChangeCount, changes);
      PutInt32(b.data() + kIHIndexCount, 2);
      PutDouble(b.data() + kIHVersion, 2.0);
      putOldIndexHeader(b, "@id", -1);
      putOldIndexHeader(b, "ByDay", 1);
      for (int index = 0; index < 2; ++index)
        for (int32_t i = 0; i < Count; ++i) {
          b.resize(b.size() + 4);
          PutInt32(b.data() + b.size() - 4, i);
        }
      return true;
    });
  }
};

TEST_P(TableConversion, Version2TablesGetTheirTextIndexesAndDateOrder) {
  TBlobEnv env(GetParam(), 0);
  const int32_t count = 40;
  MakeOldTable(env, count);
  TEdbDataManager& m = env.Open();
  EXPECT_EQ(m.TableHeader().Version, kCurrentVersion);
  ASSERT_EQ(m.IndexCount(), 3);
  EXPECT_EQ(m.Index(2).Header().Name, "@@Title");
  const int32_t byDay = m.InternalGetIndexNo("ByDay");
  ASSERT_GE(byDay, 0);
  for (int32_t k = 0; k < count; ++k) EXPECT_EQ(m.Index(byDay).At(k), count - 1 - k) << k;
  env.Close();
  EXPECT_EQ(GetDouble(env.FileBytes(".dat").data() + kTHVersion), kCurrentVersion);
  EXPECT_EQ(GetDouble(env.FileBytes(".idx").data() + kIHVersion), kCurrentVersion);
  env.Open();
  EXPECT_EQ(env.M().IndexCount(), 3);
  EXPECT_EQ(env.M().Index(env.M().InternalGetIndexNo("ByDay")).At(0), count - 1);
}

TEST_P(TableConversion, ReadOnlyTablesAreNotConverted) {
  TBlobEnv env(GetParam(), 0);
  MakeOldTable(env, 3);
  env.FDataset.RO = true;
  EXPECT_EQ(env.TryOpen(), otrCannotOpen);
  EXPECT_EQ(edGetDataManager("T", env.FDatabase).LastOpenError(),
            "Error in TEdbDataManager.ConvertToCurrentTable - table is in ReadOnly mode!");
}

// A table below the compressed-directory version keeps its directory uncompressed; below the
// oldest convertible version its BLOB fields make it unsupported.
TEST_P(TableConversion, OldTablesWithBLOBFieldsAreRefused) {
  TBlobEnv env(GetParam(), 0);
  env.CreateBlobTable();
  const std::vector<uint8_t> block = env.DirectoryBlock();
  env.ChangeFile(".bif", [&](std::vector<uint8_t>& b) {
    b = block;
    return true;
  });
  env.ChangeFile(".dat", [](std::vector<uint8_t>& b) {
    PutDouble(b.data() + kTHVersion, 1.0);
    return true;
  });
  EXPECT_EQ(env.TryOpen(), otrCannotOpen);
  const std::string error = edGetDataManager("T", env.FDatabase).LastOpenError();
  EXPECT_EQ(error.rfind("Error in TEdbDataManager.ConvertToCurrentTable - this table format is not supported, "
                        "version = 1.00\n",
                        0),
            0u)
      << error;
}

INSTANTIATE_TEST_SUITE_P(Stores, TableConversion, ::testing::ValuesIn(allStoreCases()),
                         [](const auto& info) { return caseName(info.param); });

}  // namespace
