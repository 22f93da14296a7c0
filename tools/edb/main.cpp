// edb: the engine's maintenance tool for .edb containers.
#include <cstdio>
#include <cstring>

namespace {

const char kUsage[] =
    "Usage: edb COMMAND [ARGS...]\n"
    "\n"
    "Maintenance tool for Tesvar database containers (.edb files).\n"
    "\n"
    "Commands:\n"
    "  --help            show this help\n";

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2 || std::strcmp(argv[1], "--help") == 0 || std::strcmp(argv[1], "-h") == 0) {
    std::fputs(kUsage, argc < 2 ? stderr : stdout);
    return argc < 2 ? 1 : 0;
  }
  std::fprintf(stderr, "edb: unknown command '%s' (see edb --help)\n", argv[1]);
  return 1;
}
