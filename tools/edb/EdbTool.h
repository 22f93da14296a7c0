#pragma once
// edb, the maintenance tool for .edb containers and the tables of a database, as a library:
// main() and the tests run the same commands in-process through RunEdb.
//
// Contract of every command:
//   - exit status 0 on success, 1 on any error (usage, missing file, wrong password, engine
//     failure) and when `check` finds problems or `compact` fails;
//   - an error is one line "edb: ..." on the error stream, and nothing of the command's result
//     reaches the output stream then (results are buffered, or verified before they are
//     written), except for `table dump`, which writes rows as it reads them: a failure part way
//     leaves the rows before it on the output, followed by the error line and status 1;
//   - `--help` / `-h` prints the command's help on the output stream with status 0.
//
// Text: arguments that are names inside the container, and passwords, are UTF-8 and go into the
// engine code page (platform/CodePage.h) before anything else happens; one that the code page
// cannot hold is an error naming the argument. Names printed go back to UTF-8, and every control
// character in the output and in error lines is shown escaped ("\x1b"). Host paths (the
// container FILE, SRC, DEST) stay as given.

#include <cstdint>
#include <functional>
#include <iosfwd>
#include <optional>
#include <string>
#include <vector>

namespace tesvar::container {
class TContainerFileSystem;
}

namespace tesvar::edb {

// The steps of `put`: the data goes to NAME~edb-new and is flushed; an existing NAME moves
// aside to NAME~edb-old, NAME~edb-new takes the name NAME, NAME~edb-old goes, and the container
// is flushed again.
enum class TPutStep : uint8_t { WriteNew, FlushNew, MoveOldAside, RenameNew, DeleteOld, FlushDone };

// Where a run reads and writes, and what it knows of its surroundings.
struct TEdbContext {
  TEdbContext(std::istream& InStream, std::ostream& OutStream, std::ostream& ErrStream)
      : In(InStream), Out(OutStream), Err(ErrStream) {}

  std::istream& In;   // data for `put` without a source file (binary)
  std::ostream& Out;  // results and `get` data (binary)
  std::ostream& Err;  // error lines and the progress bar
  // Draw the progress bars of compact and table load on Err (set when Err is a terminal).
  bool ErrIsTerminal = false;
  // table load draws its bar for files of at least this many bytes.
  int64_t LoadProgressFromBytes = int64_t{8} << 20;
  // Value of the EDB_PASSWORD environment variable, used when no --password is given.
  std::optional<std::string> EnvPassword;
  // Value of the TESVAR_CODEPAGE environment variable: the engine code page for the run; unset,
  // the code page in force (windows-1251 unless the program set another).
  std::optional<std::string> EnvCodePage;
  // Test seam: called by `put` on its open container just before each step.
  std::function<void(container::TContainerFileSystem&, TPutStep)> BeforePutStep;
};

// Runs one edb command line (Args without the program name). Returns the exit status.
int RunEdb(const std::vector<std::string>& Args, TEdbContext& Context);

// As above, with EDB_PASSWORD and TESVAR_CODEPAGE taken from the process environment and no
// progress bar.
int RunEdb(const std::vector<std::string>& Args, std::istream& In, std::ostream& Out, std::ostream& Err);

}  // namespace tesvar::edb
