#include "help.h"

namespace vxtool {
namespace {

#define VXPATCH_LIMIT_HELP                                                                   \
  "  --limit BYTES   the most bytes the output may have, with K, M or G for KiB, MiB, GiB\n" \
  "                  (the larger of 256 MiB and 64 times the input's size)\n"

#define VXPATCH_EXIT_HELP                                 \
  "\n"                                                    \
  "Exit status:\n"                                        \
  "  0  done\n"                                           \
  "  1  the engine failed (its messages are on stderr)\n" \
  "  2  a wrong argument\n"

const char* const kTool =
    "Usage: vxpatch COMMAND [OPTION]... FILE...\n"
    "The Voxaro patch engine on the command line: packed-file containers,\n"
    "byte-level diffs and ensemble patches, as the updater reads them.\n"
    "\n"
    "Commands:\n"
    "  pack          pack a file into an LZMA2 container\n"
    "  unpack        unpack a container\n"
    "  diff          make a byte-level diff of two files\n"
    "  apply-diff    apply a byte-level diff\n"
    "  make-patch    make an ensemble patch of two files\n"
    "  apply-patch   apply an ensemble patch\n"
    "  detect        name the executable kind of a file and its elements\n"
    "  roundtrip     check that an executable survives parsing, encoding and assembly\n"
    "\n"
    "  --help        this text; 'vxpatch COMMAND --help' for a command's\n" VXPATCH_EXIT_HELP
    "\n"
    "Example:\n"
    "  vxpatch make-patch libold.so libnew.so lib.so._patch_\n";

const char* const kPack =
    "Usage: vxpatch pack [--exe] IN OUT\n"
    "Packs IN into the packed-file container OUT (LZMA2, preset 9).\n"
    "\n"
    "Options:\n"
    "  --exe   the executable form for an executable it applies to (off: the plain form)\n" VXPATCH_EXIT_HELP
    "\n"
    "Example:\n"
    "  vxpatch pack --exe update update._lzma2_\n";

const char* const kUnpack =
    "Usage: vxpatch unpack [--limit BYTES] IN OUT\n"
    "Unpacks the container IN into OUT after checking its checksum.\n"
    "\n"
    "Options:\n" VXPATCH_LIMIT_HELP VXPATCH_EXIT_HELP
    "\n"
    "Example:\n"
    "  vxpatch unpack update._lzma2_ update\n";

const char* const kDiff =
    "Usage: vxpatch diff [--method raw|split|joined] [--header] OLD NEW DIFF\n"
    "Writes the byte-level diff that makes NEW from OLD.\n"
    "\n"
    "Options:\n"
    "  --method M   raw (uncompressed), split or joined (LZMA2 over the streams apart or\n"
    "               joined) (joined)\n"
    "  --header     write the diff with its header (off)\n" VXPATCH_EXIT_HELP
    "\n"
    "Example:\n"
    "  vxpatch diff --header data.old data.new data.diff\n";

const char* const kApplyDiff =
    "Usage: vxpatch apply-diff [--header] [--limit BYTES] OLD DIFF NEW\n"
    "Applies the byte-level diff DIFF to OLD and writes NEW.\n"
    "\n"
    "Options:\n"
    "  --header        the diff starts with its header (off)\n" VXPATCH_LIMIT_HELP VXPATCH_EXIT_HELP
    "\n"
    "Example:\n"
    "  vxpatch apply-diff --header data.old data.diff data.new\n";

const char* const kMakePatch =
    "Usage: vxpatch make-patch [--plain|--elements] [--stats] [--jobs N] OLD NEW PATCH\n"
    "Writes the ensemble patch that makes NEW from OLD: executables are\n"
    "patched as disassembled programs where that is smaller.\n"
    "\n"
    "Options:\n"
    "  --plain      a plain patch only, no element patches (the smaller of both)\n"
    "  --elements   the element patch even where the plain one is smaller (the smaller of both)\n"
    "  --stats      print the patch's parts and sizes (off)\n"
    "  --jobs N     threads, 1 to 256 (one per core); the patch is the same for every N\n" VXPATCH_EXIT_HELP
    "\n"
    "Example:\n"
    "  vxpatch make-patch --stats libold.so libnew.so lib.so._patch_\n";

const char* const kApplyPatch =
    "Usage: vxpatch apply-patch [--limit BYTES] [--jobs N] [--progress] OLD PATCH NEW\n"
    "Applies the ensemble patch PATCH to OLD and writes NEW, checking both\n"
    "against the patch's checksums.\n"
    "\n"
    "Options:\n" VXPATCH_LIMIT_HELP
    "  --jobs N        threads, 1 to 256 (one per core)\n"
    "  --progress      report the share done, time and memory on stderr (off)\n" VXPATCH_EXIT_HELP
    "\n"
    "Example:\n"
    "  vxpatch apply-patch libold.so lib.so._patch_ libnew.so\n";

const char* const kDetect =
    "Usage: vxpatch detect FILE\n"
    "Prints the executable kind and length of FILE, or of each executable\n"
    "element found inside it (\"KIND LENGTH at OFFSET\").\n"
    "\n"
    "Exit status:\n"
    "  0  an executable, or elements, were found\n"
    "  1  FILE cannot be read\n"
    "  2  a wrong argument\n"
    "  3  no executable of a known kind\n"
    "\n"
    "Example:\n"
    "  vxpatch detect libvoxaro.so\n";

const char* const kRoundtrip =
    "Usage: vxpatch roundtrip FILE\n"
    "Parses the executable FILE, encodes it, writes and reads the encoded\n"
    "program and assembles it again; prints \"exact KIND LENGTH\" when the\n"
    "result is FILE byte for byte, else where it differs or why it was refused.\n"
    "\n"
    "Exit status:\n"
    "  0  exact\n"
    "  1  different, refused, or FILE cannot be read\n"
    "  2  a wrong argument\n"
    "  3  no executable of a known kind\n"
    "\n"
    "Example:\n"
    "  vxpatch roundtrip libvoxaro.so\n";

struct Entry {
  const char* name;
  const char* text;
};

const Entry kCommands[] = {
    {"pack", kPack},
    {"unpack", kUnpack},
    {"diff", kDiff},
    {"apply-diff", kApplyDiff},
    {"make-patch", kMakePatch},
    {"apply-patch", kApplyPatch},
    {"detect", kDetect},
    {"roundtrip", kRoundtrip},
};

}  // namespace

const char* ToolHelp() { return kTool; }

const char* CommandHelp(const std::string& command) {
  for (const Entry& entry : kCommands) {
    if (command == entry.name) return entry.text;
  }
  return nullptr;
}

}  // namespace vxtool
