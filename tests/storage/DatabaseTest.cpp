// The database component and the database manager: naming, connecting and sharing, store modes,
// the memory copy of files, creation and compaction.

#include "StorageTestSupport.h"
#include "pfs/TPFSManager.h"
#include "support/ExceptionText.h"

#include <gtest/gtest.h>

using namespace tesvar;
using namespace tesvar::storagetest;
using tesvar::testsupport::messageOf;

namespace {

class Database : public ::testing::Test {
protected:
  Database() {
    FMem.CreateDirectory("dir");
    TEdbDatabase creator;
    creator.CreateDatabase("db.edb");
  }
  std::string readFile(TEdbDatabaseManager& m, const std::string& name, pfs::TFileStoreMode mode) {
    TAbstractFile& f = m.OpenFile(name, mode, false, true, false);
    std::string text(static_cast<size_t>(f.GetSize()), '\0');
    f.SetPosition(0);
    f.ReadBuffer(text.data(), static_cast<int64_t>(text.size()));
    m.CloseFile(f);
    return text;
  }
  void writeFile(TEdbDatabaseManager& m, const std::string& name, pfs::TFileStoreMode mode, const std::string& text) {
    TAbstractFile& f = m.OpenFile(name, mode, false, false, true);
    f.WriteBuffer(text.data(), static_cast<int64_t>(text.size()));
    m.CloseFile(f);
  }

  platform::MemoryFileSystem FMem;
  platform::ScopedFileSystem FScope{FMem};
  ScopedStorageEngine FEngine;
};

TEST_F(Database, LocationSettersKeepOneOfDirectoryAndFileName) {
  TEdbDatabase db;
  db.SetDirectory("dir");
  db.SetDatabaseFileName("x.edb");
  EXPECT_EQ(db.Directory(), "");
  db.SetDirectory("dir");
  db.SetDatabaseFileName("");
  EXPECT_EQ(db.Directory(), "dir");
  EXPECT_EQ(db.DatabaseFileName(), "");
}

TEST_F(Database, ConnectingChecksTheLocation) {
  TEdbDatabase db;
  db.SetConnected(true);
  EXPECT_FALSE(db.Connected()) << "no location: stays unconnected without an error";
  db.SetDirectory("nowhere");
  EXPECT_EQ(messageOf([&] { db.SetConnected(true); }), "TEdbDatabase.SetConnected - Directory \"nowhere\" doesn't exist.");
  db.SetDatabaseFileName("missing.edb");
  EXPECT_EQ(messageOf([&] { db.SetConnected(true); }), "TEdbDatabase.SetConnected - File \"missing.edb\" doesn't exist.");
  FMem.WriteAll("bad.edb", std::vector<uint8_t>(5000, 0x5A));
  db.SetDatabaseFileName("bad.edb");
  EXPECT_EQ(messageOf([&] { db.SetConnected(true); }),
            "TEdbDatabaseManager.SetConnected - Invalid password or corrupted database file.");
  EXPECT_FALSE(db.Connected());
  EXPECT_EQ(db.Manager(), nullptr);
  db.SetDirectory("dir");
  db.SetConnected(true);
  ASSERT_TRUE(db.Connected());
  EXPECT_EQ(db.Manager()->StoreMode(), pfs::fsmDirectory);
  EXPECT_FALSE(db.Manager()->IsSingleFile());
}

TEST_F(Database, InMemoryComponentConnectsToAMissingContainer) {
  TEdbDatabase db;
  db.SetDatabaseFileName("new.edb");
  db.SetInMemory(true);
  db.SetPassword("pw");
  db.SetConnected(true);
  EXPECT_TRUE(db.Connected());
  EXPECT_FALSE(db.Encrypted());
  EXPECT_EQ(db.Password(), "");
  EXPECT_FALSE(FMem.FileExists("new.edb"));
}

TEST_F(Database, ComponentsOfOneFileShareTheManagerUnderItsRules) {
  TEdbDatabase first, second, third;
  for (TEdbDatabase* db : {&first, &second, &third}) db->SetDatabaseFileName("db.edb");
  first.SetConnected(true);
  second.SetConnected(true);
  EXPECT_EQ(first.Manager(), second.Manager());
  third.SetInMemory(true);
  EXPECT_EQ(messageOf([&] { third.SetConnected(true); }),
            "TEdbDatabaseManager.ConnectDatabase - database is already open with other in-memory mode value.");
  third.SetInMemory(false);
  third.SetReadOnly(true);
  third.SetConnected(true);  // a read-only component joins a writable database
  EXPECT_TRUE(third.Connected());
  first.SetConnected(false);
  second.SetConnected(false);
  third.SetConnected(false);

  TEdbDatabase ro, rw;
  ro.SetDatabaseFileName("db.edb");
  ro.SetReadOnly(true);
  rw.SetDatabaseFileName("db.edb");
  ro.SetConnected(true);
  EXPECT_EQ(messageOf([&] { rw.SetConnected(true); }),
            "TEdbDatabaseManager.ConnectDatabase - database is already open in read-only mode.");
  EXPECT_FALSE(rw.Connected());
}

TEST_F(Database, DisconnectingClosesTheDatasetsOfThatComponentOnly) {
  TEdbDatabase a, b;
  a.SetDatabaseName("Alias");
  a.SetDirectory("dir");
  b.SetDirectory("dir");
  a.SetConnected(true);
  b.SetConnected(true);
  TEdbDatabaseManager& m = *a.Manager();
  ASSERT_EQ(&m, b.Manager());
  EXPECT_EQ(&edGetDatabaseManager("alias", nullptr), &m) << "the alias of a connected component";
  TTestDataset viaA, viaB, idle;
  viaA.Component = &a;
  viaB.Component = &b;
  idle.Component = &a;
  idle.IsActive = false;
  for (TTestDataset* ds : {&viaA, &viaB, &idle}) m.AttachDataset(*ds);
  a.SetConnected(false);
  EXPECT_EQ(viaA.Closes, 1);
  EXPECT_EQ(viaB.Closes, 0);
  EXPECT_EQ(idle.Closes, 0);
  m.DetachDataset(viaB);
  EXPECT_EQ(viaB.Closes, 1);
  m.DetachDataset(viaA);
  m.DetachDataset(idle);
}

TEST_F(Database, ManagersForDatasetsWithoutComponent) {
  TTestDataset inDir;
  inDir.Name = "dir";
  TEdbDatabaseManager& d = edGetDatabaseManager("dir", &inDir);
  EXPECT_EQ(d.StoreMode(), pfs::fsmDirectory);
  TTestDataset named;
  named.Name = "nosuch";
  TEdbDatabaseManager& s = edGetDatabaseManager("nosuch", &named);
  EXPECT_EQ(s.StoreMode(), pfs::fsmSingleFile);
  EXPECT_TRUE(s.IsSingleFile());
  TTestDataset memory;
  memory.Name = "mem";
  memory.Memory = true;
  EXPECT_EQ(edGetDatabaseManager("mem", &memory).StoreMode(), pfs::fsmInMemory);
  EXPECT_EQ(&edGetDatabaseManager("DIR", nullptr), &d);
  // A read-only database makes an attached dataset read-only.
  d.SetReadOnly(true);
  d.AttachDataset(inDir);
  EXPECT_TRUE(inDir.RO);
  d.DetachDataset(inDir);
}

TEST_F(Database, MemoryFilesStartAsACopyOfTheStoreAndSaveBack) {
  TEdbDatabaseManager& m = edGetDatabaseManager("dir", nullptr);
  writeFile(m, "T.dat", pfs::fsmDefault, "on disk");
  EXPECT_EQ(readFile(m, "T.dat", pfs::fsmInMemory), "on disk");
  writeFile(m, "T.dat", pfs::fsmInMemory, "changed in memory");
  EXPECT_EQ(readFile(m, "T.dat", pfs::fsmDefault), "on disk");
  EXPECT_TRUE(m.SaveFileToStore("T.dat"));
  EXPECT_EQ(readFile(m, "T.dat", pfs::fsmDefault), "changed in memory");
  EXPECT_TRUE(m.FileExists("T.dat", pfs::fsmInMemory));
  EXPECT_TRUE(m.RenameFile("T.dat", "U.dat", pfs::fsmDefault));
  EXPECT_TRUE(m.DeleteFile("U.dat", pfs::fsmDefault));
  EXPECT_FALSE(m.FileExists("U.dat", pfs::fsmDefault));
}

TEST_F(Database, InMemoryContainerKeepsMemoryFilesInTheContainer) {
  TEdbDatabase db;
  db.SetDatabaseFileName("mem.edb");
  db.SetInMemory(true);
  db.CreateDatabase();
  db.SetConnected(true);
  TEdbDatabaseManager& m = *db.Manager();
  writeFile(m, "T.dat", pfs::fsmInMemory, "inside");
  EXPECT_EQ(readFile(m, "T.dat", pfs::fsmSingleFile), "inside");
  EXPECT_TRUE(m.DatabaseExists());
}

TEST_F(Database, CreateDatabaseMessages) {
  TEdbDatabase db;
  EXPECT_EQ(messageOf([&] { db.CreateDatabase(); }), "DatabaseFileName property is blank.");
  db.SetDatabaseFileName("db.edb");
  db.SetConnected(true);
  EXPECT_EQ(messageOf([&] { db.CreateDatabase(); }), "CreateDatabase error. Database is connected.");
  db.SetConnected(false);
  EXPECT_EQ(messageOf([&] { db.CreateDatabase("nodir/x.edb"); }),
            "TEdbDatabaseManager.CreateDatabase - Cannot create database file \"nodir/x.edb\" as the directory "
            "\"nodir/\" does not exist");
  TEdbDatabaseManager& m = edGetDatabaseManager("db.edb", nullptr);
  TTestDataset ds;
  m.AttachDataset(ds);
  EXPECT_EQ(messageOf([&] { m.CreateDatabase(); }), "TEdbDatabaseManager.CreateDatabase - Some datasets are connected.");
  m.DetachDataset(ds);
  db.CreateDatabase("dir/made.edb");
  EXPECT_TRUE(FMem.FileExists("dir/made.edb"));
}

TEST_F(Database, CompactDatabase) {
  TEdbDatabase db;
  std::string log;
  EXPECT_EQ(messageOf([&] { (void)db.CompactDatabase(log); }),
            "TEdbDatabase.CompactDatabase - DatabaseFileName property is blank.");
  db.SetDatabaseFileName("db.edb");
  db.SetConnected(true);
  EXPECT_EQ(messageOf([&] { (void)db.CompactDatabase(log); }), "TEdbDatabase.CompactDatabase -  Database is connected.");
  db.SetConnected(false);
  {
    TTestDataset ds;
    ds.FileName = "db.edb";
    TEdbDataManager& t = edGetDataManager("T", &edGetDatabaseManager("db.edb", nullptr));
    t.CreateTable(testFields(), {}, 1000, false, &ds);
    ASSERT_EQ(t.ConnectDataset(ds), otrOk);
    std::vector<uint8_t> r = t.NewRecordBuffer();
    for (int i = 0; i < 100; ++i) t.edInsertRecord(r.data(), 0);
    t.DisconnectDataset(ds);
  }
  std::vector<double> percents;
  db.OnProgress = [&](const void* sender, double percent, TedProgressProcess process, bool&) {
    EXPECT_EQ(sender, &db);
    EXPECT_EQ(process, edppCompactDB);
    percents.push_back(percent);
  };
  ASSERT_TRUE(db.CompactDatabase(log)) << log;
  ASSERT_GE(percents.size(), 2u);
  EXPECT_EQ(percents.front(), 0);
  EXPECT_EQ(percents.back(), 100);
  EXPECT_FALSE(db.Connected());
  // The table is intact after compaction.
  TTestDataset ds;
  ds.FileName = "db.edb";
  TEdbDataManager& t = edGetDataManager("T", &edGetDatabaseManager("db.edb", nullptr));
  ASSERT_EQ(t.ConnectDataset(ds), otrOk);
  EXPECT_EQ(t.RecordCount(), 100);
  TEdbDatabaseManager& m = t.DatabaseManager();
  m.AttachDataset(ds);
  EXPECT_EQ(messageOf([&] { (void)db.CompactDatabase(log); }), "TEdbDatabase.CompactDatabase - Some datasets are connected.");
  m.DetachDataset(ds);
  t.DisconnectDataset(ds);

  db.OnProgress = [](const void*, double percent, TedProgressProcess, bool& cancel) { cancel = percent > 0; };
  EXPECT_FALSE(db.CompactDatabase(log)) << "cancelled";
  const std::string tail = "\r\nCompactDatabase cancelled. Original database file restored.";
  ASSERT_GE(log.size(), tail.size());
  EXPECT_EQ(log.substr(log.size() - tail.size()), tail);

  FMem.WriteAll("bad.edb", std::vector<uint8_t>(5000, 0x5A));
  db.SetDatabaseFileName("bad.edb");
  db.OnProgress = nullptr;
  EXPECT_EQ(messageOf([&] { (void)db.CompactDatabase(log); }), "TEdbDatabase.CompactDatabase - PFSHandle = nil.");
  TEdbDatabaseManager& directory = edGetDatabaseManager("dir", nullptr);
  ASSERT_FALSE(directory.IsSingleFile());
  TEdbDatabase dirDb;
  dirDb.SetDatabaseFileName("dir");
  EXPECT_TRUE(dirDb.CompactDatabase(log)) << "a directory database has nothing to compact";
}

}  // namespace
