#pragma once
// edb, the maintenance tool for .edb containers, as a library: main() and the tests run the same
// commands in-process through RunEdb.
//
// Contract of every command:
//   - exit status 0 on success, 1 on any error (usage, missing file, wrong password, engine
//     failure) and when `check` finds problems or `compact` fails;
//   - an error is one line "edb: ..." on the error stream, and nothing of the command's result
//     reaches the output stream then (results are buffered, or verified before they are written);
//   - `--help` / `-h` prints the command's help on the output stream with status 0.

#include <iosfwd>
#include <optional>
#include <string>
#include <vector>

namespace tesvar::edb {

// Where a run reads and writes, and what it knows of its surroundings.
struct TEdbContext {
  TEdbContext(std::istream& InStream, std::ostream& OutStream, std::ostream& ErrStream)
      : In(InStream), Out(OutStream), Err(ErrStream) {}

  std::istream& In;   // data for `put` without a source file (binary)
  std::ostream& Out;  // results and `get` data (binary)
  std::ostream& Err;  // error lines and the progress bar
  // Draw the compaction progress bar on Err (set when Err is a terminal).
  bool ErrIsTerminal = false;
  // Value of the EDB_PASSWORD environment variable, used when no --password is given.
  std::optional<std::string> EnvPassword;
};

// Runs one edb command line (Args without the program name). Returns the exit status.
int RunEdb(const std::vector<std::string>& Args, TEdbContext& Context);

// As above, with EDB_PASSWORD taken from the process environment and no progress bar.
int RunEdb(const std::vector<std::string>& Args, std::istream& In, std::ostream& Out, std::ostream& Err);

}  // namespace tesvar::edb
