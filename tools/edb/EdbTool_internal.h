#pragma once
// Pieces shared by the command line front (EdbTool.cpp) and the commands (EdbCommands.cpp).

#include "edb/EdbTool.h"

#include <optional>
#include <sstream>
#include <stdexcept>
#include <string>
#include <vector>

namespace tesvar::edb {

// A failure the tool reports in its own words: one line, printed after "edb: ".
class ToolError : public std::runtime_error {
public:
  using std::runtime_error::runtime_error;
};

// One parsed command line.
struct TCommandRun {
  TEdbContext& Context;
  std::vector<std::string> Args;        // the positional arguments after the command name
  std::optional<std::string> Password;  // --password, else EDB_PASSWORD; empty = none
  bool Force = false;                   // --force
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
int CmdCompact(TCommandRun& Run);

}  // namespace tesvar::edb
