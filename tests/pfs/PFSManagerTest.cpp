// The plain file system registry and the engine's start and stop.

#include "pfs/EngineLifetime.h"
#include "pfs/TDiskPlainFileSystem.h"
#include "pfs/TMemoryPlainFileSystem.h"
#include "pfs/TPFSManager.h"
#include "platform/Exception.h"
#include "platform/MemoryFileSystem.h"
#include "platform/Paths.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

using namespace tesvar;
using namespace tesvar::pfs;

namespace {

class PFSRegistry : public ::testing::Test {
protected:
  PFSRegistry() { FMem.CreateDirectory("db"); }

  platform::MemoryFileSystem FMem;
  platform::ScopedFileSystem FScope{FMem};
  TPFSManager FManager;
};

TEST_F(PFSRegistry, OneFileSystemPerNameAndMode) {
  struct Case {
    uint8_t mode;
    TFileStoreMode expected;
  } cases[] = {{fsmDirectory, fsmDirectory}, {fsmInMemory, fsmInMemory}, {fsmTemporary, fsmTemporary}};
  for (const Case& c : cases) {
    SCOPED_TRACE(static_cast<int>(c.mode));
    bool readOnly = false;
    TAbstractPlainFileSystem* pfs = FManager.GetPFSHandle("C:\\Data\\DB", "", c.mode, readOnly, false);
    ASSERT_NE(pfs, nullptr);
    EXPECT_EQ(pfs->StoreMode(), c.expected);
    EXPECT_EQ(pfs->Name(), "C:\\Data\\DB");
    EXPECT_EQ(FManager.GetPFSHandle("c:\\data\\db", "", c.mode, readOnly, false), pfs);
    EXPECT_EQ(FManager.FindPFS("C:\\DATA\\db", c.expected), pfs);
    EXPECT_FALSE(readOnly);
  }
  EXPECT_EQ(FManager.Count(), 3u);
  EXPECT_NE(dynamic_cast<TMemoryPlainFileSystem*>(FManager.FindPFS("c:\\data\\db", fsmInMemory)),
            nullptr);
  // Only ASCII letters are folded: Cyrillic names differing in case are different names.
  EXPECT_EQ(FManager.FindPFS("C:\\Data\\DB\\x", fsmInMemory), nullptr);
  bool readOnly = false;
  TAbstractPlainFileSystem* upper = FManager.GetPFSHandle("\xC1\xC0\xC7\xC0", "", fsmInMemory, readOnly, false);
  TAbstractPlainFileSystem* lower = FManager.GetPFSHandle("\xE1\xE0\xE7\xE0", "", fsmInMemory, readOnly, false);
  EXPECT_NE(upper, lower);
}

TEST_F(PFSRegistry, UnsupportedModesGiveNoneWithoutException) {
  for (uint8_t mode : {uint8_t{fsmDefault}, uint8_t{5}, uint8_t{255}, uint8_t{fsmSingleFile}}) {
    SCOPED_TRACE(static_cast<int>(mode));
    bool readOnly = false;
    TAbstractPlainFileSystem* pfs = nullptr;
    EXPECT_NO_THROW(pfs = FManager.GetPFSHandle("db", "", mode, readOnly, false));
    EXPECT_EQ(pfs, nullptr);
  }
  EXPECT_EQ(FManager.Count(), 0u);
}

TEST_F(PFSRegistry, FindSearchesFromTheLastEntry) {
  auto& first = FManager.AddPFS(std::make_unique<TMemoryPlainFileSystem>("db"));
  auto& second = FManager.AddPFS(std::make_unique<TMemoryPlainFileSystem>("DB"));
  EXPECT_EQ(FManager.FindPFS("db", fsmInMemory), &second);
  EXPECT_EQ(FManager.FindPFS("db", fsmDirectory), nullptr);
  EXPECT_TRUE(FManager.RemovePFS(second));
  EXPECT_FALSE(FManager.RemovePFS(second));
  EXPECT_EQ(FManager.FindPFS("db", fsmInMemory), &first);
}

// ---- engine start and stop -----------------------------------------------------------------------

std::vector<std::string>* gDestroyed = nullptr;

class RecordingPFS : public TMemoryPlainFileSystem {
public:
  using TMemoryPlainFileSystem::TMemoryPlainFileSystem;
  ~RecordingPFS() override {
    if (gDestroyed) gDestroyed->push_back(Name());
  }
};

int gStartHookCalls = 0;
void countStart() { ++gStartHookCalls; }

TEST(EngineLifetime, StopFreesEveryPlainFileSystemInListOrder) {
  platform::MemoryFileSystem mem;
  platform::ScopedFileSystem scope(mem);
  mem.CreateDirectory("dir");
  mem.CreateDirectory("tmp");
  const std::string dirFile = std::string("dir") + platform::kPathDelimiter + "T.bdf";
  const std::string tmpFile = std::string("tmp") + platform::kPathDelimiter + "T.bdf";
  std::vector<std::string> destroyed;
  gDestroyed = &destroyed;
  gStartHookCalls = 0;
  edSetEngineStartHook(countStart);

  edEngineStart();
  edEngineStart();
  EXPECT_TRUE(edEngineStarted());
  EXPECT_EQ(gStartHookCalls, 1);
  TPFSManager& manager = pfs::PFSManager();
  manager.AddPFS(std::make_unique<RecordingPFS>("first"));
  bool readOnly = false;
  manager.GetPFSHandle("dir", "", fsmDirectory, readOnly, false)->OpenFile("T.bdf", true, false, false);
  manager.GetPFSHandle("tmp", "", fsmTemporary, readOnly, false)->OpenFile("T.bdf", true, false, false);
  manager.AddPFS(std::make_unique<RecordingPFS>("last"));
  EXPECT_EQ(mem.OpenHandleCount(dirFile), 1);
  EXPECT_TRUE(mem.FileExists(tmpFile));

  edEngineStop();
  EXPECT_FALSE(edEngineStarted());
  EXPECT_EQ(destroyed, (std::vector<std::string>{"first", "last"}));
  EXPECT_EQ(mem.OpenHandleCount(dirFile), 0);
  EXPECT_TRUE(mem.FileExists(dirFile));
  EXPECT_FALSE(mem.FileExists(tmpFile));
  EXPECT_EQ(pfs::PFSManager().Count(), 0u) << "a stopped engine hands out a fresh registry";
  edEngineStop();

  {
    ScopedEngine engine;
    EXPECT_EQ(gStartHookCalls, 2);
  }
  EXPECT_FALSE(edEngineStarted());
  edSetEngineStartHook(nullptr);
  gDestroyed = nullptr;
}

}  // namespace
