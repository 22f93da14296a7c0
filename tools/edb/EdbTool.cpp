// Command line front of edb: parses the arguments, prints help, runs a command and turns its
// failures into one "edb: ..." line and exit status 1.

#include "edb/EdbTool.h"

#include "edb/EdbTool_internal.h"
#include "platform/CodePage.h"
#include "platform/Exception.h"

#include <algorithm>
#include <cstdlib>
#include <iostream>
#include <new>
#include <string_view>

namespace tesvar::edb {

namespace {

struct TCommandInfo {
  const char* Name;
  const char* Usage;  // arguments after the command name
  size_t MinArgs;
  size_t MaxArgs;
  bool OpensContainer;  // takes --password; its first argument is the container file
  bool TakesForce;
  unsigned NameArgs;  // bit i: positional i (0 = FILE) is a name inside the container
  const char* Summary;
  const char* Help;  // text after the usage line of `edb COMMAND --help`
  int (*Run)(TCommandRun&);
};

const TCommandInfo kCommands[] = {
    {"create", "FILE", 1, 1, true, true, 0, "create an empty container",
     "Creates an empty container FILE, encrypted when a password is given.\n"
     "An existing FILE is left alone unless --force is given.\n"
     "\n"
     "Options:\n"
     "  -f, --force      replace an existing FILE\n",
     CmdCreate},
    {"info", "FILE", 1, 1, true, false, 0, "show the container's header and free space",
     "Prints the header fields (format version, page size, extent pages, page count, GAM, PFS\n"
     "and directory page counts, directory items), the container's size, its free pages, its\n"
     "encryption and whether a rollback journal lies beside it (an interrupted change).\n"
     "The container is opened read-only.\n",
     CmdInfo},
    {"ls", "FILE [DIR]", 1, 2, true, false, 0b10, "list a folder of the container",
     "Lists the items of folder DIR (default: the root) with their last write time (local),\n"
     "size and name; folders show <DIR> and a trailing \"\\\". A file name as DIR lists that file.\n"
     "The container is opened read-only.\n",
     CmdLs},
    {"put", "FILE NAME [SRC]", 2, 3, true, false, 0b10, "store a file in the container",
     "Stores the host file SRC (default or \"-\": standard input) in the container as NAME,\n"
     "creating NAME's folders. The data goes to NAME~edb-new first; an existing NAME then moves\n"
     "aside to NAME~edb-old, NAME~edb-new takes its name and NAME~edb-old is removed, so NAME\n"
     "holds either its old or its new data whatever fails. A failure says which copy is where.\n"
     "When NAME~edb-new or NAME~edb-old exists (a put that did not finish), put refuses to run\n"
     "until they are removed or renamed.\n",
     CmdPut},
    {"get", "FILE NAME [DEST]", 2, 3, true, false, 0b10, "read a stored file",
     "Writes the stored file NAME to the host file DEST (default or \"-\": standard output).\n"
     "Data for standard output, a device or a pipe is verified first, so a damaged file writes\n"
     "nothing there. An existing DEST is replaced only once the new file is complete.\n"
     "The container is opened read-only.\n",
     CmdGet},
    {"rm", "FILE NAME", 2, 2, true, false, 0b10, "remove a file or an empty folder",
     "Removes the stored file or empty folder NAME.\n", CmdRm},
    {"mv", "FILE OLD NEW", 3, 3, true, false, 0b110, "rename or move a file or folder",
     "Renames OLD to NEW, creating NEW's folders. When NEW is an existing folder, OLD moves\n"
     "into it under its own name.\n",
     CmdMv},
    {"mkdir", "FILE DIR", 2, 2, true, false, 0b10, "create a folder (and its parents)",
     "Creates folder DIR and any missing parent folders.\n", CmdMkdir},
    {"check", "FILE", 1, 1, true, false, 0, "verify the container",
     "Verifies the header checksum, the checksum of every page in use, the free-space bitmaps\n"
     "against the pages the directory and the page maps use, the directory items and the file\n"
     "sizes against their page maps. Prints each problem and exits with 1 when there is any,\n"
     "else prints \"OK\" and a summary. Notes name what a put that did not finish left\n"
     "(NAME~edb-new, NAME~edb-old). A rollback journal of an interrupted change is a problem\n"
     "(\"edb recover\" rolls the change back). The container is opened read-only.\n",
     CmdCheck},
    {"recover", "FILE", 1, 1, true, false, 0, "roll back a change a crash interrupted",
     "Opens the container for writing, which rolls back a change that a crash or a power cut\n"
     "interrupted (its rollback journal FILE-journal lies beside it), so that the container is\n"
     "as of its last completed change. A journal that does not belong to the container is\n"
     "refused and nothing is changed.\n",
     CmdRecover},
    {"compact", "FILE", 1, 1, true, false, 0, "rewrite the container without unused space",
     "Copies every file and folder into a fresh container and puts it in place of FILE,\n"
     "printing the sizes before and after. Shows a progress bar when standard error is a\n"
     "terminal. When compaction fails, FILE is left as it was and the status is 1.\n",
     CmdCompact},
    {"table", "SUBCOMMAND DB [ARGS...]", 2, 4, false, false, 0, "create, load, dump, restructure and maintain tables",
     "Works on the tables of database DB: a container file (.edb, made by edb create) or a\n"
     "directory holding one file per table file.\n"
     "\n"
     "  table create DB TABLE --fields LIST [--index INDEX]... [--no-autoindexes]\n"
     "               [--blob-compression 0-3] [--blob-block-size N] [--table-password P]\n"
     "                       create an empty table\n"
     "  table load DB TABLE FILE.tsv\n"
     "                       append the rows of a tab-separated file\n"
     "  table dump DB TABLE [--index NAME | --index-fields F1;F2] [--filter EXPR]\n"
     "               [--case-insensitive] [--distinct F1;F2]\n"
     "                       print the rows as tab-separated text, in the order of index NAME\n"
     "                       or of the first index on those fields (default: the record-ID\n"
     "                       index); the record-ID column comes last\n"
     "  table locate DB TABLE FIELD=VALUE[;FIELD=VALUE...] [--partial] [--case-insensitive]\n"
     "                       print the header line and the first row (record-ID order) whose\n"
     "                       fields have these values (in the dump's text form; empty: NULL);\n"
     "                       status 1 and no output when there is none\n"
     "  table info DB TABLE  show fields, indexes, record count, encryption, BLOB compression\n"
     "  table list DB        list the tables\n"
     "  table drop DB TABLE  delete a table\n"
     "  table rename DB OLD NEW\n"
     "                       rename a table\n"
     "  table restructure DB TABLE --fields LIST [--index INDEX]... [--no-autoindexes]\n"
     "               [--blob-compression 0-3] [--blob-block-size N] [--table-password P]\n"
     "                       give a table new fields: a field keeps its values when LIST has a\n"
     "                       field of its name (converted to its new type or size), or, renamed,\n"
     "                       one of its type at its place; every record keeps its ID. Indexes,\n"
     "                       BLOB compression and block size stay unless given; indexes on\n"
     "                       fields LIST drops go. On failure the table is left as it was\n"
     "  table add-index DB TABLE INDEX\n"
     "                       add an index (INDEX as for --index) and build it\n"
     "  table drop-index DB TABLE NAME\n"
     "                       delete an index\n"
     "\n"
     "LIST is NAME:TYPE[:SIZE][:required],... with TYPE a field type: String (SIZE characters),\n"
     "WideString (SIZE characters), Bytes (SIZE bytes), Smallint, Integer, Word, Largeint,\n"
     "Boolean, Float, Currency, Date, Time, DateTime, Memo, FmtMemo, Blob, Graphic, AutoInc.\n"
     "ID:AutoInc makes the record-ID field; without an AutoInc field the table gets a hidden one.\n"
     "INDEX is NAME:FIELD;FIELD...[:descending][:caseinsensitive][:unique][:primary]. Unless\n"
     "--no-autoindexes is given, every field but Bytes and BLOB fields gets indexes of its own.\n"
     "\n"
     "Tab-separated files: a header line naming fields of the table (in any order; fields not\n"
     "named are NULL), then one line per row. \\N is NULL; \\t, \\n, \\r and \\\\ stand for TAB,\n"
     "LF, CR and a backslash. Text is UTF-8; String and Memo values go into the engine's code\n"
     "page, and a character it lacks stops the load. Dates are YYYY-MM-DD, times hh:mm:ss[.zzz],\n"
     "numbers use \".\", Boolean is true/false, Bytes, Blob and Graphic are hexadecimal. Values\n"
     "in the record-ID column are not read: the table numbers the rows it appends. A bad row\n"
     "stops the load with its line and field; the rows before it stay in the table. A progress\n"
     "bar shows on a terminal for large files, and for restructure and add-index. Dump writes\n"
     "its rows as it reads them: a failure part way ends the output early, with the error line\n"
     "and status 1.\n"
     "\n"
     "Options:\n"
     "  --fields LIST        the fields of a new or restructured table\n"
     "  --index INDEX        (create, restructure) an index of the table; (dump) the index giving\n"
     "                       the order\n"
     "  --no-autoindexes     (create, restructure) no automatic per-field indexes\n"
     "  --blob-compression N (create, restructure) compression of BLOB values: 0 none, 1 fastest, 2 default, 3 max\n"
     "  --blob-block-size N  (create, restructure) bytes per block of BLOB data (default 512); a value takes\n"
     "                       whole blocks, so small blocks suit short memos\n"
     "  --table-password P   password of an encrypted table; given to create, the table is encrypted\n"
     "  --partial            (locate) texts match when they start with the value given\n"
     "  --index-fields F1;F2 (dump) the first index whose leading fields are these gives the order\n"
     "  --filter EXPR        (dump) only the rows meeting EXPR: conditions FIELD OP VALUE with\n"
     "                       = <> < <= > >= like, not like, is null, is not null, joined by\n"
     "                       and, or, not and brackets; strings in quotes compare with as many\n"
     "                       leading characters as they have (a final * is dropped), '' is NULL;\n"
     "                       names other than letters, digits and _ go in [brackets]\n"
     "  --distinct F1;F2     (dump) one line per distinct combination of these fields' values\n"
     "                       among the rows --filter keeps, with just these columns, each at\n"
     "                       the place of one of its rows in the dump's order\n"
     "  --case-insensitive   (dump) --filter compares text ignoring case; (locate) texts match\n"
     "                       without regard to case\n",
     CmdTable},
};

const char kNameNote[] =
    "Names inside a container use \"\\\" or \"/\" as separators; both are accepted. They are\n"
    "paths from the root without \".\" or \"..\" parts, each part at most 259 characters; new\n"
    "names hold no control characters. Names and passwords are UTF-8 and are stored in the\n"
    "engine's code page (windows-1251, or $TESVAR_CODEPAGE); a character it lacks is an error.\n";
const char kPasswordOption[] =
    "  --password P     password of an encrypted container (default: $EDB_PASSWORD)\n";
const char kHelpOption[] = "  -h, --help       show this help\n";

const TCommandInfo* FindCommand(std::string_view Name) {
  for (const TCommandInfo& Command : kCommands) {
    if (Name == Command.Name) return &Command;
  }
  return nullptr;
}

std::string GeneralHelp() {
  std::string Text =
      "Usage: edb COMMAND [OPTIONS] ARGS...\n"
      "\n"
      "Maintenance tool for Tesvar database containers (.edb files).\n"
      "\n"
      "Commands:\n";
  for (const TCommandInfo& Command : kCommands) {
    std::string Left = std::string(Command.Name) + " " + Command.Usage;
    Left.resize(std::max<size_t>(Left.size() + 2, 24), ' ');
    Text += "  " + Left + Command.Summary + "\n";
  }
  Text += "  help [COMMAND]          show help for a command\n";
  Text += "\nOptions:\n";
  Text += kPasswordOption;
  Text += kHelpOption;
  Text += "\n";
  Text += kNameNote;
  Text += "Exit status: 0 on success, 1 on an error or when check finds problems.\n";
  return Text;
}

std::string CommandHelp(const TCommandInfo& Command) {
  std::string Text = std::string("Usage: edb ") + Command.Name + " [OPTIONS] " + Command.Usage + "\n\n" + Command.Help;
  if (std::string_view(Command.Help).find("Options:") == std::string_view::npos) Text += "\nOptions:\n";
  Text += kPasswordOption;
  Text += kHelpOption;
  if (Command.MaxArgs > 1) Text += "\n" + std::string(kNameNote);
  return Text;
}

// Engine messages are meant for one line; keep them so.
std::string OneLine(std::string Text) {
  for (char& C : Text) {
    if (C == '\r' || C == '\n') C = ' ';
  }
  while (!Text.empty() && Text.back() == ' ') Text.pop_back();
  return Text;
}

// The argument names of a usage line: "FILE NAME [SRC]" -> FILE, NAME, SRC.
std::vector<std::string> ArgumentRoles(std::string_view Usage) {
  std::vector<std::string> Roles;
  std::string Role;
  for (char C : std::string(Usage) + " ") {
    if (C == ' ') {
      if (!Role.empty()) Roles.push_back(Role);
      Role.clear();
    } else if (C != '[' && C != ']') {
      Role += C;
    }
  }
  return Roles;
}

struct TParsedLine {
  std::vector<std::string> Positionals;
  std::optional<std::string> Password;
  bool Help = false;
  bool Force = false;
  TTableOptions Table;
  std::string UnknownOption;
};

struct TTableOptionName {
  const char* Name;
  TTableOption Bit;
  bool TakesValue;
};

const TTableOptionName kTableOptions[] = {
    {"--fields", toFields, true},
    {"--index", toIndex, true},
    {"--no-autoindexes", toNoAutoIndexes, false},
    {"--blob-compression", toBlobCompression, true},
    {"--blob-block-size", toBlobBlockSize, true},
    {"--table-password", toTablePassword, true},
    {"--filter", toFilter, true},
    {"--case-insensitive", toCaseInsensitive, false},
    {"--index-fields", toIndexFields, true},
    {"--partial", toPartial, false},
    {"--distinct", toDistinct, true},
};

// Takes Args[I] (and its value) when it is a table option; false when it is none.
bool ParseTableOption(const std::vector<std::string>& Args, size_t& I, TTableOptions& Table) {
  const std::string& Arg = Args[I];
  for (const TTableOptionName& Option : kTableOptions) {
    const std::string_view Name = Option.Name;
    std::optional<std::string> Value;
    if (Arg == Name) {
      if (Option.TakesValue) {
        if (I + 1 >= Args.size()) throw ToolError("option '" + Arg + "' needs a value (see edb table --help)");
        Value = Args[++I];
      }
    } else if (Option.TakesValue && Arg.starts_with(std::string(Name) + "=")) {
      Value = Arg.substr(Name.size() + 1);
    } else {
      continue;
    }
    Table.Given.emplace_back(Option.Bit, Option.Name);
    switch (Option.Bit) {
      case toFields: Table.Fields = *Value; break;
      case toIndex: Table.Indexes.push_back(*Value); break;
      case toNoAutoIndexes: Table.NoAutoIndexes = true; break;
      case toBlobCompression: Table.BlobCompression = *Value; break;
      case toBlobBlockSize: Table.BlobBlockSize = *Value; break;
      case toTablePassword: Table.TablePassword = *Value; break;
      case toFilter: Table.Filter = *Value; break;
      case toCaseInsensitive: Table.CaseInsensitive = true; break;
      case toIndexFields: Table.IndexFields = *Value; break;
      case toPartial: Table.Partial = true; break;
      case toDistinct: Table.Distinct = *Value; break;
    }
    return true;
  }
  return false;
}

TParsedLine ParseLine(const std::vector<std::string>& Args) {
  TParsedLine Line;
  bool OptionsEnded = false;
  for (size_t I = 0; I < Args.size(); ++I) {
    const std::string& Arg = Args[I];
    if (OptionsEnded || Arg.size() < 2 || Arg[0] != '-') {
      Line.Positionals.push_back(Arg);
    } else if (Arg == "--") {
      OptionsEnded = true;
    } else if (Arg == "-h" || Arg == "--help") {
      Line.Help = true;
    } else if (Arg == "-f" || Arg == "--force") {
      Line.Force = true;
    } else if (Arg == "--password") {
      if (I + 1 >= Args.size()) throw ToolError("option '--password' needs a value (see edb --help)");
      Line.Password = Args[++I];
    } else if (Arg.starts_with("--password=")) {
      Line.Password = Arg.substr(std::string_view("--password=").size());
    } else if (ParseTableOption(Args, I, Line.Table)) {
      continue;
    } else if (Line.UnknownOption.empty()) {
      Line.UnknownOption = Arg;
    }
  }
  return Line;
}

// Runs a parsed line; output of the command goes to Run.Result.
int Dispatch(const TParsedLine& Line, TEdbContext& Context, std::string& ContainerFile) {
  std::string_view Name = Line.Positionals.empty() ? std::string_view() : std::string_view(Line.Positionals[0]);
  if (Name == "help") {
    if (!Line.UnknownOption.empty()) throw ToolError("unknown option '" + Line.UnknownOption + "' (see edb --help)");
    if (Line.Positionals.size() > 2) throw ToolError("help: too many arguments (see edb --help)");
    if (Line.Positionals.size() == 1) {
      Context.Out << GeneralHelp();
      return 0;
    }
    Name = Line.Positionals[1];
    const TCommandInfo* Command = FindCommand(Name);
    if (!Command) throw ToolError("unknown command '" + std::string(Name) + "' (see edb --help)");
    Context.Out << CommandHelp(*Command);
    return 0;
  }
  if (Name.empty()) {
    if (Line.Help && Line.UnknownOption.empty()) {
      Context.Out << GeneralHelp();
      return 0;
    }
    if (!Line.UnknownOption.empty()) throw ToolError("unknown option '" + Line.UnknownOption + "' (see edb --help)");
    throw ToolError("no command given (see edb --help)");
  }
  const TCommandInfo* Command = FindCommand(Name);
  if (!Command) throw ToolError("unknown command '" + std::string(Name) + "' (see edb --help)");
  const std::string SeeHelp = std::string(" (see edb ") + Command->Name + " --help)";
  if (!Line.UnknownOption.empty()) throw ToolError("unknown option '" + Line.UnknownOption + "'" + SeeHelp);
  if (Line.Help) {
    Context.Out << CommandHelp(*Command);
    return 0;
  }
  if (Line.Force && !Command->TakesForce) {
    throw ToolError(std::string("option '--force' does not apply to ") + Command->Name + SeeHelp);
  }
  if (!Line.Table.Given.empty() && Command->Run != CmdTable) {
    throw ToolError("option '" + Line.Table.Given.front().second + "' does not apply to " + Command->Name + SeeHelp);
  }
  const size_t Count = Line.Positionals.size() - 1;
  if (Count < Command->MinArgs || Count > Command->MaxArgs) {
    throw ToolError(std::string(Command->Name) + ": " + (Count < Command->MinArgs ? "missing" : "too many") +
                    " arguments; usage: edb " + Command->Name + " " + Command->Usage);
  }

  std::optional<platform::ScopedEngineCodePage> CodePage;
  if (Context.EnvCodePage) {
    try {
      CodePage.emplace(*Context.EnvCodePage);
    } catch (const platform::ECodePageError& E) {
      throw ToolError(std::string(platform::kCodePageVariable) + ": " + E.Message());
    }
  }
  // Every text argument in the engine code page before anything is touched.
  TCommandRun Run{Context, {Line.Positionals.begin() + 1, Line.Positionals.end()}, {}, Line.Force, Line.Table, {}};
  if (Run.Table.TablePassword) Run.Table.TablePassword = ArgumentToAnsi(*Run.Table.TablePassword, "--table-password", true);
  const std::vector<std::string> Roles = ArgumentRoles(Command->Usage);
  for (size_t I = 0; I < Run.Args.size(); ++I) {
    if (Command->NameArgs & (1u << I)) Run.Args[I] = ArgumentToAnsi(Run.Args[I], Roles.at(I));
  }
  if (const std::optional<std::string>& Given = Line.Password ? Line.Password : Context.EnvPassword) {
    Run.Password = ArgumentToAnsi(*Given, Line.Password ? "--password" : "EDB_PASSWORD", true);
  }
  if (Command->OpensContainer) ContainerFile = Run.Args[0];
  const int Status = Command->Run(Run);
  Context.Out << Run.Result.str();
  return Status;
}

}  // namespace

int RunEdb(const std::vector<std::string>& Args, TEdbContext& Context) {
  std::string ContainerFile;
  std::string Message;
  try {
    const int Status = Dispatch(ParseLine(Args), Context, ContainerFile);
    Context.Out.flush();
    if (!Context.Out) throw ToolError("cannot write the output");
    return Status;
  } catch (const ToolError& E) {
    Message = E.what();
  } catch (const tesvar::Exception& E) {
    // The engine's texts name its classes, not the file: say which container it was.
    Message = ContainerFile.empty() ? E.Message() : ContainerFile + ": " + E.Message();
  } catch (const std::bad_alloc&) {
    Message = "out of memory";
  } catch (const std::exception& E) {
    Message = E.what();
  }
  Context.Err << "edb: " << ShownHost(OneLine(Message)) << '\n';
  Context.Err.flush();
  return 1;
}

int RunEdb(const std::vector<std::string>& Args, std::istream& In, std::ostream& Out, std::ostream& Err) {
  TEdbContext Context{In, Out, Err};
  if (const char* Value = std::getenv("EDB_PASSWORD")) Context.EnvPassword = Value;
  if (const char* Value = std::getenv(platform::kCodePageVariable)) Context.EnvCodePage = Value;
  return RunEdb(Args, Context);
}

}  // namespace tesvar::edb
