#pragma once
// Shared by the host file, page file and free-space tests: an in-memory file system with a /db
// folder, a settable clock, a check for the engine's exact messages and a sorted folder listing.

#include "container/TCFSTransaction.h"
#include "platform/Exception.h"
#include "platform/IClock.h"
#include "platform/MemoryFileSystem.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <string>
#include <vector>

namespace tesvar::container::pagetest {

// Runs Action and expects it to raise tesvar::Exception with exactly Message.
inline void expectMessage(const std::function<void()>& Action, const std::string& Message) {
  try {
    Action();
    ADD_FAILURE() << "no exception, expected: " << Message;
  } catch (const Exception& e) {
    EXPECT_EQ(e.Message(), Message);
  }
}

// Names of the files and folders in Dir, sorted.
inline std::vector<std::string> sortedNames(platform::MemoryFileSystem& Fs, const std::string& Dir) {
  std::vector<platform::DirEntry> Entries;
  Fs.ListDirectory(Dir, Entries);
  std::vector<std::string> Names;
  for (const auto& E : Entries) Names.push_back(E.name);
  std::sort(Names.begin(), Names.end());
  return Names;
}

// Installs a memory file system holding the folder /db, and a settable clock that moves 300 ms at
// every look, so that password checks finish at once. Containers made here write every page
// through to the host as it is written (no transactions): these tests look at the page layers'
// own transfers, which commits would otherwise gather.
class MemoryFsTest : public ::testing::Test {
protected:
  MemoryFsTest() {
    fs.CreateDirectory("/db");
    clock.SetAutoAdvance(300);
  }

  TCFSTransaction::ScopedEnabled transactions{false};
  platform::MemoryFileSystem fs;
  platform::ScopedFileSystem fsGuard{fs};
  platform::SettableClock clock;
  platform::ScopedClock clockGuard{clock};
};

}  // namespace tesvar::container::pagetest
