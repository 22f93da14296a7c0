// edb and a container left with a rollback journal: info and check report it, a read-only
// command refuses the container with the reason, and recover rolls the change back.

#include "EdbTestSupport.h"
#include "container/ContainerFormat.h"
#include "container/TCFSJournal.h"
#include "container/TContainerFileSystem.h"
#include "platform/FaultFileSystem.h"
#include "platform/MemoryFileSystem.h"

#include <gtest/gtest.h>

namespace tesvar::edb::test {
namespace {

using container::TContainerFileSystem;

class EdbJournal : public EdbToolTest {
protected:
  EdbJournal() : FFaults(FMemory), FGuard(FFaults) {}

  // f.txt holds kOld; a change to kNew was cut short after the journal became durable and the
  // pages reached the host: every host flush from the second on fails, so neither the commit
  // nor the destructor's finish it.
  void Interrupt() {
    Ok({"create", C});
    Ok({"put", C, "f.txt"}, kOld);
    {
      TContainerFileSystem Container(C, container::kModeReadWrite, false, {});
      const int32_t H = Container.FileOpen("\\f.txt", container::kModeReadWrite);
      ASSERT_GE(H, 0);
      ASSERT_EQ(Container.FileWrite(H, kNew.data(), static_cast<int32_t>(kNew.size())), int32_t(kNew.size()));
      FFaults.FailFrom(platform::FaultKind::Flush, 2);
      EXPECT_FALSE(Container.FileFlush(H));
      static_cast<void>(Container.FileClose(H));
    }
    FFaults.Reset();
    ASSERT_TRUE(FMemory.FileExists(container::TCFSJournal::PathFor(C)));
  }

  platform::MemoryFileSystem FMemory;
  platform::FaultFileSystem FFaults;
  platform::ScopedFileSystem FGuard;
  const std::string C = "/c.edb";
  const std::string kOld = Pattern(5000, 1);
  const std::string kNew = Pattern(9000, 2);
};

TEST_F(EdbJournal, InfoCheckAndRecover) {
  Interrupt();
  const std::string Info = Fails({"info", C});
  EXPECT_NE(Info.find("left in the middle of a change (rollback journal \"/c.edb-journal\")"), std::string::npos) << Info;

  const RunResult Check = Run({"check", C});
  EXPECT_EQ(Check.Status, 1);
  EXPECT_TRUE(Check.Out.starts_with("/c.edb-journal: a change was interrupted;")) << Check.Out;
  EXPECT_NE(Check.Out.find("\"edb recover\" rolls it back"), std::string::npos) << Check.Out;

  const std::string Refused = Fails({"get", C, "f.txt"});
  EXPECT_NE(Refused.find("left in the middle of a change"), std::string::npos) << Refused;

  EXPECT_EQ(Ok({"recover", C}), "rolled back: the container is as of its last completed change\n");
  EXPECT_FALSE(FMemory.FileExists(container::TCFSJournal::PathFor(C)));
  EXPECT_EQ(Ok({"get", C, "f.txt"}), kOld);
  EXPECT_TRUE(Ok({"check", C}).starts_with("OK")) ;
  EXPECT_NE(Ok({"info", C}).find("Journal:          none\n"), std::string::npos);
  EXPECT_EQ(Ok({"recover", C}), "nothing to recover: no journal\n");
}

TEST_F(EdbJournal, AJournalThatNeverTookEffectIsANote) {
  Ok({"create", C});
  Ok({"put", C, "f.txt"}, kOld);
  FMemory.WriteAll(container::TCFSJournal::PathFor(C), std::vector<uint8_t>(40, 0));
  const std::string Out = Ok({"check", C});
  EXPECT_TRUE(Out.starts_with("OK")) << Out;
  EXPECT_NE(Out.find("note: /c.edb-journal: an unfinished journal that never took effect"), std::string::npos) << Out;
  EXPECT_EQ(Ok({"get", C, "f.txt"}), kOld);
  EXPECT_EQ(Ok({"recover", C}), "removed an unfinished journal that never took effect\n");
  EXPECT_FALSE(FMemory.FileExists(container::TCFSJournal::PathFor(C)));
}

TEST_F(EdbJournal, AForeignJournalIsRefusedAndKept) {
  Interrupt();
  // Another container's journal under this one's name: the header it records is not this one's.
  const std::vector<uint8_t> Journal = FMemory.ReadAll(container::TCFSJournal::PathFor(C));
  Ok({"recover", C});
  Ok({"create", "/other.edb"});
  Ok({"put", "/other.edb", "x"}, "other");
  FMemory.WriteAll("/other.edb-journal", Journal);
  const std::vector<uint8_t> Image = FMemory.ReadAll("/other.edb");
  const std::string Refused = Fails({"recover", "/other.edb"});
  EXPECT_NE(Refused.find("does not belong to this container"), std::string::npos) << Refused;
  EXPECT_EQ(FMemory.ReadAll("/other.edb"), Image);
  EXPECT_TRUE(FMemory.FileExists("/other.edb-journal"));
}

}  // namespace
}  // namespace tesvar::edb::test
