#pragma once
// Pieces shared by the command line front (EdbTool.cpp) and the commands (EdbCommands.cpp).

#include "edb/EdbTool.h"
#include "platform/CodePage.h"

#include <cstdint>
#include <optional>
#include <ostream>
#include <utility>
#include <sstream>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

namespace tesvar::edb {

// A failure the tool reports in its own words: one line, printed after "edb: ".
class ToolError : public std::runtime_error {
public:
  using std::runtime_error::runtime_error;
};

// Text at the tool's edge (EdbText.cpp).
// Argument Utf8 in the engine code page; a ToolError naming Role ("NAME", "--password") when it
// is not UTF-8 or holds a character the code page has not. Secret: the error does not show it.
std::string ArgumentToAnsi(const std::string& Utf8, const std::string& Role, bool Secret = false);
// What ToAnsi found wrong with Utf8: "not valid UTF-8 text (the 3rd character)" or "the
// character '…' (U+4E2D) is not in code page windows-1251" (Secret: the character not shown).
std::string CodePageProblem(std::string_view Utf8, const platform::ECodePageError& E, bool Secret = false);
// Engine text (a name, a path inside the container) for the terminal: UTF-8, with control
// characters and bytes that are no character of the code page shown as "\xNN".
std::string Shown(std::string_view Ansi);
// Shown(Ansi) in single quotes, as messages name items.
std::string Quoted(std::string_view Ansi);
// Host text (host paths, engine messages) for the terminal: UTF-8 stays, control characters and
// bytes that are not UTF-8 are shown as "\xNN".
std::string ShownHost(std::string_view Text);

// Options of the table commands; each subcommand takes some of them.
enum TTableOption : uint32_t {
  toFields = 1,
  toIndex = 2,
  toNoAutoIndexes = 4,
  toBlobCompression = 8,
  toTablePassword = 16,
  toBlobBlockSize = 32,
  toFilter = 64,
  toCaseInsensitive = 128,
  toIndexFields = 256,
  toPartial = 512,
  toDistinct = 1024,
};

struct TTableOptions {
  std::optional<std::string> Fields;           // --fields, UTF-8
  std::vector<std::string> Indexes;            // every --index, UTF-8, in order
  bool NoAutoIndexes = false;                  // --no-autoindexes
  std::optional<std::string> BlobCompression;  // --blob-compression, as given
  std::optional<std::string> BlobBlockSize;    // --blob-block-size, as given
  std::optional<std::string> TablePassword;    // --table-password, in the engine code page
  std::optional<std::string> Filter;           // --filter, UTF-8
  bool CaseInsensitive = false;                // --case-insensitive
  std::optional<std::string> IndexFields;      // --index-fields, UTF-8
  bool Partial = false;                        // --partial
  std::optional<std::string> Distinct;         // --distinct, UTF-8
  // Every table option on the line, with the name it was given by.
  std::vector<std::pair<TTableOption, std::string>> Given;
};

// A progress bar on a terminal, "LABEL [####    ]  42%", redrawn in place when the whole
// percentage changes.
class TProgressBar {
public:
  TProgressBar(std::ostream& Err, std::string Label) : FErr(Err), FLabel(std::move(Label)) {}
  void Show(double Percent);
  // Clears the bar's line (nothing when it was never shown).
  void Finish();

private:
  std::ostream& FErr;
  std::string FLabel;
  int FShown = -1;
};

// One parsed command line.
struct TCommandRun {
  TEdbContext& Context;
  // The positional arguments after the command name; names inside the container already in the
  // engine code page, host paths as given.
  std::vector<std::string> Args;
  std::optional<std::string> Password;  // --password, else EDB_PASSWORD, in the engine code page; empty = none
  bool Force = false;                   // --force
  TTableOptions Table;                  // options of `table`
  std::ostringstream Result;            // output, written to Context.Out only when the command ends
};

// The commands. Each returns the exit status; failures raise ToolError or the engine's
// exceptions. Args hold the number of positionals the command's table entry allows.
int CmdCreate(TCommandRun& Run);
int CmdInfo(TCommandRun& Run);
int CmdLs(TCommandRun& Run);
int CmdPut(TCommandRun& Run);
int CmdGet(TCommandRun& Run);
int CmdRm(TCommandRun& Run);
int CmdMv(TCommandRun& Run);
int CmdMkdir(TCommandRun& Run);
int CmdCheck(TCommandRun& Run);
int CmdRecover(TCommandRun& Run);
int CmdCompact(TCommandRun& Run);
// `table SUBCOMMAND DB ...`: Args[0] is the subcommand; the table commands convert their own
// names (EdbTableCommands.cpp).
int CmdTable(TCommandRun& Run);

}  // namespace tesvar::edb
