// edb: the engine's maintenance tool for .edb containers. The commands live in EdbTool.cpp and
// EdbCommands.cpp; this file only connects them to the process's standard streams.
#include "edb/EdbTool.h"
#include "platform/CodePage.h"

#include <cstdio>
#include <cstdlib>
#include <iostream>
#include <string>
#include <vector>

#ifdef _WIN32
#include <fcntl.h>
#include <io.h>
#else
#include <unistd.h>
#endif

namespace {

// Whether Stream is a terminal; on Windows also switches data streams to binary mode, so that
// `put` and `get` move bytes unchanged. The tool's only direct operating-system calls.
bool PrepareStream(std::FILE* Stream, bool Binary) {
#ifdef _WIN32
  if (Binary) _setmode(_fileno(Stream), _O_BINARY);
  return _isatty(_fileno(Stream)) != 0;
#else
  (void)Binary;
  return isatty(fileno(Stream)) != 0;
#endif
}

}  // namespace

int main(int argc, char** argv) {
  PrepareStream(stdin, true);
  PrepareStream(stdout, true);
  const bool ErrIsTerminal = PrepareStream(stderr, false);
  std::vector<std::string> Args(argv + 1, argv + argc);
  tesvar::edb::TEdbContext Context{std::cin, std::cout, std::cerr};
  Context.ErrIsTerminal = ErrIsTerminal;
  if (const char* Value = std::getenv("EDB_PASSWORD")) Context.EnvPassword = Value;
  if (const char* Value = std::getenv(tesvar::platform::kCodePageVariable)) Context.EnvCodePage = Value;
  return tesvar::edb::RunEdb(Args, Context);
}
