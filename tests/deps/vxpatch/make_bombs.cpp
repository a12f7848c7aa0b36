// make_bombs DIR: writes the hand-made bombs of bombs.h into DIR:
// zeros-1g.lzma (a valid container of 1 GiB of zeros), claims-4g.lzma (12 KB
// claiming 4 GiB), split-diff-1g.diff (a split diff whose control section
// decodes to 1 GiB), joined-diff-1g.diff (the same in a joined diff),
// patch-body-1g.patch with its old file patch-old,
// correction-3x500m.patch (for patch-old: a final correction of three
// 500 MiB sections for a 256 MiB result) and program-128m-ops.lzma (an
// executable form whose one program has 128 Mi rel32 ops).
#include <cstdio>
#include <string>

#include "bombs.h"
#include "output_file.h"

namespace {

bool Write(const std::string& path, const vxtest::Bytes& bytes) {
  if (!vxpatch::WriteWholeFile(path.c_str(), bytes.data(), bytes.size())) {
    std::fprintf(stderr, "make_bombs: cannot write %s\n", path.c_str());
    return false;
  }
  std::printf("%s %zu bytes\n", path.c_str(), bytes.size());
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: make_bombs DIR\n");
    return 2;
  }
  const std::string dir = argv[1];
  const size_t gib = size_t{1} << 30;
  const vxtest::Bytes old_file(4096, 'o');
  const bool ok = Write(dir + "/zeros-1g.lzma", vxtest::ZeroContainer(gib)) &&
                  Write(dir + "/claims-4g.lzma", vxtest::ClaimingContainer(0xFFFFFFFFu)) &&
                  Write(dir + "/split-diff-1g.diff", vxtest::SplitDiffBomb(gib)) &&
                  Write(dir + "/joined-diff-1g.diff", vxtest::JoinedDiffBomb(gib)) &&
                  Write(dir + "/patch-old", old_file) &&
                  Write(dir + "/patch-body-1g.patch", vxtest::PatchBodyBomb(old_file, gib)) &&
                  Write(dir + "/correction-3x500m.patch",
                        vxtest::CorrectionBomb(old_file, 256u << 20, size_t{500} << 20)) &&
                  Write(dir + "/program-128m-ops.lzma", vxtest::EncodedProgramBomb(128u << 20));
  return ok ? 0 : 1;
}
