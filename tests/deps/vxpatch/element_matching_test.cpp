// Element matching: across a version that reorders every function, the new
// program's functions take the label indexes of the same functions in the
// old program, and the element patch made that way reproduces the new file.
#include <gtest/gtest.h>

#include <cstdio>
#include <map>
#include <memory>

#include "assembly_program.h"
#include "element_matching.h"
#include "exe_test_support.h"
#include "executable_detection.h"
#include "label_alignment.h"
#include "vxpatch/ensemble_create.h"
#include "vxpatch/ensemble_patch.h"

namespace {

using exetest::Bytes;

struct Version {
  Bytes bytes;
  std::unique_ptr<vxpatch::ParsedProgram> program;
  std::map<std::string, uint32_t> functions;  // f<i> -> rva
};

// Builds the reshuffled program at `version` as a shared library, parses it
// as the generator does and reads its function addresses with nm.
void Build(const exetest::TempDir& dir, int version, Version* out) {
  const std::string library = dir.File("v" + std::to_string(version) + ".so");
  ASSERT_TRUE(exetest::BuildReshuffledProgram(dir, version, library));
  out->bytes = exetest::ReadFile(library);
  size_t length = 0;
  vxpatch::ExecutableKind kind = vxpatch::EXE_UNKNOWN;
  ASSERT_EQ(vxpatch::DetectExecutable(out->bytes.data(), out->bytes.size(), &kind, &length),
            vxpatch::STATUS_OK);
  ASSERT_EQ(length, out->bytes.size());
  ASSERT_EQ(vxpatch::ParseExecutable(out->bytes.data(), length, &out->program), vxpatch::STATUS_OK);
  ASSERT_TRUE(vxpatch::TrimLabels(out->program.get()));
  FILE* nm = popen(("nm '" + library + "'").c_str(), "r");
  ASSERT_NE(nm, nullptr);
  char line[512], symbol[256];
  unsigned long address = 0;
  char type = 0;
  while (std::fgets(line, sizeof line, nm)) {
    if (std::sscanf(line, "%lx %c %255s", &address, &type, symbol) == 3 && symbol[0] == 'f' &&
        symbol[1] >= '0' && symbol[1] <= '9')
      out->functions[symbol] = static_cast<uint32_t>(address);
  }
  pclose(nm);
  ASSERT_GE(out->functions.size(), 50u);
}

TEST(ElementMatching, ReorderedFunctionsKeepTheirLabelIndexesAndThePatchApplies) {
  exetest::TempDir dir;
  ASSERT_TRUE(dir.Valid());
  Version old_version, new_version;
  ASSERT_NO_FATAL_FAILURE(Build(dir, 1, &old_version));
  ASSERT_NO_FATAL_FAILURE(Build(dir, 2, &new_version));

  // No alignment of the raw files to start from: everything is matched.
  std::vector<vxpatch::AlignedRange> ranges;
  EXPECT_TRUE(vxpatch::MatchElements(*old_version.program, old_version.bytes.data(), old_version.bytes.size(),
                                     *new_version.program, new_version.bytes.data(), new_version.bytes.size(),
                                     &ranges));
  vxpatch::LabelAlignmentStats stats;
  vxpatch::AlignLabelIndexes(*old_version.program, old_version.bytes.data(), old_version.bytes.size(),
                             new_version.program.get(), new_version.bytes.data(), new_version.bytes.size(),
                             ranges, &stats);
  const vxpatch::LabelTable& old_labels = old_version.program->rel32_labels();
  const vxpatch::LabelTable& new_labels = new_version.program->rel32_labels();
  size_t labelled = 0, same_index = 0;
  for (const auto& function : new_version.functions) {
    const uint32_t old_label = old_labels.Find(old_version.functions.at(function.first));
    const uint32_t new_label = new_labels.Find(function.second);
    if (old_label == vxpatch::kNoLabel || new_label == vxpatch::kNoLabel) continue;
    ++labelled;
    if (old_labels[old_label].index == new_labels[new_label].index) ++same_index;
  }
  EXPECT_GE(labelled, 50u);
  EXPECT_EQ(same_index, labelled);

  vxpatch::InputStream old_stream(old_version.bytes.data(), old_version.bytes.size());
  vxpatch::InputStream new_stream(new_version.bytes.data(), new_version.bytes.size());
  vxpatch::OutputStream patch, result;
  vxpatch::EnsemblePatchStats patch_stats;
  ASSERT_EQ(vxpatch::CreateEnsemblePatch(&old_stream, &new_stream, &patch, vxpatch::PatchChoice::kElements,
                                         &patch_stats),
            vxpatch::STATUS_OK);
  EXPECT_EQ(patch_stats.elements, 1u);
  EXPECT_GE(patch_stats.labels.rel32_paired, stats.rel32_paired);
  vxpatch::InputStream base(old_version.bytes.data(), old_version.bytes.size());
  vxpatch::InputStream patch_stream(patch);
  ASSERT_EQ(vxpatch::ApplyEnsemblePatch(&base, &patch_stream, &result, vxpatch::kNoOutputLimit),
            vxpatch::STATUS_OK);
  EXPECT_TRUE(Bytes(result.Buffer(), result.Buffer() + result.Length()) == new_version.bytes);
}

}  // namespace
