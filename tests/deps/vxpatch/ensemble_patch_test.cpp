// Ensemble patches: patches made by the generator reproduce the new file for
// real programs of every supported kind, for other files and for identical
// files; the applier returns the documented status for every malformed patch
// and writes nothing unless it succeeded.
#include <gtest/gtest.h>

#include <sys/stat.h>

#include <algorithm>
#include <map>
#include <random>

#include "checksum.h"
#include "exe_test_support.h"
#include "lzmaioout.h"
#include "vxdiff.h"
#include "vxpatch/ensemble_create.h"
#include "vxpatch/ensemble_patch.h"

namespace {

using exetest::Bytes;
using vxpatch::InputStream;
using vxpatch::OutputStream;

Bytes ToBytes(const OutputStream& stream) { return Bytes(stream.Buffer(), stream.Buffer() + stream.Length()); }

Bytes MakePatch(const Bytes& old_file, const Bytes& new_file,
                vxpatch::PatchChoice choice = vxpatch::PatchChoice::kSmallest,
                vxpatch::EnsemblePatchStats* stats = nullptr) {
  InputStream old_stream(old_file.data(), old_file.size());
  InputStream new_stream(new_file.data(), new_file.size());
  OutputStream patch;
  EXPECT_EQ(vxpatch::CreateEnsemblePatch(&old_stream, &new_stream, &patch, choice, stats),
            vxpatch::STATUS_OK);
  return ToBytes(patch);
}

vxpatch::Status Apply(const Bytes& old_file, const Bytes& patch, Bytes* result = nullptr) {
  InputStream old_stream(old_file.data(), old_file.size());
  InputStream patch_stream(patch.data(), patch.size());
  OutputStream out;
  const vxpatch::Status status = vxpatch::ApplyEnsemblePatch(&old_stream, &patch_stream, &out, vxpatch::kNoOutputLimit);
  if (result) *result = ToBytes(out);
  return status;
}

// The number of elements a patch describes (-1 when its body cannot be read).
int ElementCount(const Bytes& patch) {
  InputStream in(patch.data(), patch.size());
  uint32_t ignored = 0;
  for (int i = 0; i < 5; ++i) in.ReadUVarint(&ignored);
  OutputStream body;
  vxpatch::InputStreamSet set;
  uint32_t count = 0;
  if (!vxpatch::ReadLzma2Block(&in, &body) || !set.InitFromBuffer(body.Buffer(), body.Length()) ||
      !set.Stream(0)->ReadUVarint(&count))
    return -1;
  return static_cast<int>(count);
}

// A hand-made patch: header fields and the four body streams (or any other
// number of them).
struct HandMade {
  uint32_t magic = vxpatch::kEnsembleMagic;
  uint32_t version = vxpatch::kEnsembleVersion;
  uint32_t source_checksum = 0;
  uint32_t target_checksum = 0;
  uint32_t prediction_size = 0;
  std::vector<Bytes> streams;

  Bytes Build() const {
    OutputStream out;
    out.WriteUVarint(magic);
    out.WriteUVarint(version);
    out.WriteUVarint(source_checksum);
    out.WriteUVarint(target_checksum);
    out.WriteUVarint(prediction_size);
    vxpatch::OutputStreamSet set;
    set.SetCount(streams.size());
    for (size_t i = 0; i < streams.size(); ++i) set.Stream(i)->Write(streams[i].data(), streams[i].size());
    OutputStream body;
    EXPECT_TRUE(set.SerializeSet(&body));
    EXPECT_TRUE(vxpatch::WriteLzma2Block(body.Buffer(), body.Length(), &out));
    return ToBytes(out);
  }
};

Bytes RawDiff(const Bytes& from, const Bytes& to) {
  InputStream old_stream(from.data(), from.size());
  InputStream new_stream(to.data(), to.size());
  OutputStream diff;
  EXPECT_TRUE(vxpatch::CreateDiff(&old_stream, &new_stream, &diff, false, vxpatch::DIFF_RAW));
  return ToBytes(diff);
}

// The serialised outer set the applier builds from `elements` empty nested
// sets (the predicted parameters, or the transforms of zero elements).
Bytes EmptyNestedSets(size_t elements) {
  vxpatch::OutputStreamSet outer;
  for (size_t i = 0; i < elements; ++i) {
    vxpatch::OutputStreamSet nested;
    outer.WriteSet(&nested);
  }
  OutputStream serialised;
  EXPECT_TRUE(outer.SerializeSet(&serialised));
  return ToBytes(serialised);
}

// A valid patch of zero elements from old to new, with its description
// stream replaced by `descriptions` and `elements` announced in the
// parameter correction.
HandMade PlainPatch(const Bytes& old_file, const Bytes& new_file, Bytes descriptions = {0},
                    size_t elements = 0) {
  HandMade patch;
  patch.source_checksum = vxpatch::ComputeChecksum(old_file.data(), old_file.size());
  patch.target_checksum = vxpatch::ComputeChecksum(new_file.data(), new_file.size());
  patch.prediction_size = static_cast<uint32_t>(old_file.size());
  const Bytes parameters = EmptyNestedSets(elements);
  const Bytes transforms = EmptyNestedSets(0);
  patch.streams = {descriptions, RawDiff(parameters, parameters), RawDiff(transforms, transforms),
                   RawDiff(old_file, new_file)};
  return patch;
}

const Bytes kOld = {'o', 'l', 'd', ' ', 'c', 'o', 'n', 't', 'e', 'n', 't', ' ', 'o', 'f', ' ', 'a', ' ', 'f'};
const Bytes kNew = {'n', 'e', 'w', ' ', 'c', 'o', 'n', 't', 'e', 'n', 't', ' ', 'o', 'f', ' ', 'i', 't'};

// A patch may describe one large element many times over; their encoded
// forms together are held to the limit (here after a few of the 200), not
// to 200 times the old file.
TEST(EnsemblePatchLimits, RepeatedElementsAreHeldToTheLimit) {
  Bytes calls;
  for (int i = 0; i < 20000; ++i) calls.insert(calls.end(), {0xE8, 0, 0, 0, 0});
  exetest::ElfBuilder builder(true, 62);
  exetest::SynthSection text;
  text.data = calls;
  builder.Add(text);
  const Bytes old_file = builder.Build();
  constexpr uint32_t kElements = 200;
  OutputStream descriptions;
  descriptions.WriteUVarint(kElements);
  for (uint32_t i = 0; i < kElements; ++i) descriptions.WriteUVarint(vxpatch::EXE_ELF_64_X64);
  for (uint32_t i = 0; i < kElements; ++i) {
    descriptions.WriteUVarint(0);
    descriptions.WriteUVarint(static_cast<uint32_t>(old_file.size()));
  }
  const Bytes patch = PlainPatch(old_file, kNew, ToBytes(descriptions), kElements).Build();
  InputStream old_stream(old_file.data(), old_file.size());
  InputStream patch_stream(patch.data(), patch.size());
  OutputStream result;
  EXPECT_EQ(vxpatch::ApplyEnsemblePatch(&old_stream, &patch_stream, &result, kNew.size()),
            vxpatch::STATUS_OUTPUT_LIMIT);
}

TEST(EnsemblePatchHeader, StatusesOfTheHeader) {
  HandMade patch = PlainPatch(kOld, kNew);
  Bytes result;
  ASSERT_EQ(Apply(kOld, patch.Build(), &result), vxpatch::STATUS_OK);
  EXPECT_EQ(result, kNew);
  const Bytes generated = MakePatch(kOld, kNew);
  ASSERT_EQ(Apply(kOld, generated, &result), vxpatch::STATUS_OK);
  EXPECT_EQ(result, kNew);
  // Trailing bytes after the body are never read.
  Bytes trailing = generated;
  trailing.push_back(0x55);
  EXPECT_EQ(Apply(kOld, trailing), vxpatch::STATUS_OK);

  HandMade other = patch;
  other.magic = 7696196;
  EXPECT_EQ(Apply(kOld, other.Build()), vxpatch::STATUS_BAD_MAGIC);
  EXPECT_EQ(Apply(kOld, Bytes()), vxpatch::STATUS_BAD_MAGIC);
  other = patch;
  other.version = 20110215;
  EXPECT_EQ(Apply(kOld, other.Build()), vxpatch::STATUS_BAD_VERSION);

  // Cut right after the target checksum.
  OutputStream cut;
  cut.WriteUVarint(vxpatch::kEnsembleMagic);
  cut.WriteUVarint(vxpatch::kEnsembleVersion);
  cut.WriteUVarint(patch.source_checksum);
  cut.WriteUVarint(patch.target_checksum);
  EXPECT_EQ(Apply(kOld, ToBytes(cut)), vxpatch::STATUS_BAD_HEADER);
  // Header only: no body to decompress.
  cut.WriteUVarint(patch.prediction_size);
  EXPECT_EQ(Apply(kOld, ToBytes(cut)), vxpatch::STATUS_STREAM_ERROR);

  // The old file checked before anything is decompressed.
  Bytes changed = kOld;
  changed[3] ^= 1;
  EXPECT_EQ(Apply(changed, patch.Build()), vxpatch::STATUS_BAD_CRC);
  Bytes header_only = ToBytes(cut);
  EXPECT_EQ(Apply(changed, header_only), vxpatch::STATUS_BAD_CRC);

  other = patch;
  other.target_checksum ^= 1;
  EXPECT_EQ(Apply(kOld, other.Build()), vxpatch::STATUS_BAD_CRC);
}

TEST(EnsemblePatchBody, StatusesOfTheBodyAndTheElements) {
  HandMade patch = PlainPatch(kOld, kNew);
  auto with_descriptions = [](const Bytes& descriptions, size_t elements) {
    return PlainPatch(kOld, kNew, descriptions, elements).Build();
  };
  // Kinds 0 and 8 are no kinds; a missing kind or count is a bad header.
  EXPECT_EQ(Apply(kOld, with_descriptions({1, 0, 0, 4}, 1)), vxpatch::STATUS_BAD_HEADER);
  EXPECT_EQ(Apply(kOld, with_descriptions({1, 8, 0, 4}, 1)), vxpatch::STATUS_BAD_HEADER);
  EXPECT_EQ(Apply(kOld, with_descriptions({2, 5}, 2)), vxpatch::STATUS_BAD_HEADER);
  EXPECT_EQ(Apply(kOld, with_descriptions({}, 0)), vxpatch::STATUS_BAD_HEADER);
  // Bytes after the element parameters.
  EXPECT_EQ(Apply(kOld, with_descriptions({0, 0}, 0)), vxpatch::STATUS_BAD_HEADER);
  // Elements reaching past the old file, or with a parameter missing.
  EXPECT_EQ(Apply(kOld, with_descriptions({1, 2, 10, 9}, 1)), vxpatch::STATUS_BAD_TRANSFORM);
  EXPECT_EQ(Apply(kOld, with_descriptions({1, 2, 19, 0}, 1)), vxpatch::STATUS_BAD_TRANSFORM);
  EXPECT_EQ(Apply(kOld, with_descriptions({1, 2, 3}, 1)), vxpatch::STATUS_BAD_TRANSFORM);
  // An element no parser recognises.
  EXPECT_EQ(Apply(kOld, with_descriptions({1, 2, 0, 18}, 1)), vxpatch::STATUS_INPUT_NOT_RECOGNIZED);

  // Fewer than four streams, or a body that is no stream set.
  HandMade three = patch;
  three.streams.pop_back();
  EXPECT_EQ(Apply(kOld, three.Build()), vxpatch::STATUS_BAD_HEADER);
  HandMade five = patch;
  five.streams.push_back({1, 2, 3});
  EXPECT_EQ(Apply(kOld, five.Build()), vxpatch::STATUS_OK);
  OutputStream garbage;
  for (uint32_t field : {vxpatch::kEnsembleMagic, vxpatch::kEnsembleVersion, patch.source_checksum,
                         patch.target_checksum, 0u})
    garbage.WriteUVarint(field);
  const uint8_t not_a_set[3] = {1, 2, 3};
  vxpatch::WriteLzma2Block(not_a_set, 3, &garbage);
  EXPECT_EQ(Apply(kOld, ToBytes(garbage)), vxpatch::STATUS_BAD_HEADER);

  // Corrections that do not apply.
  HandMade broken = patch;
  broken.streams[3] = {7};
  EXPECT_EQ(Apply(kOld, broken.Build()), vxpatch::STATUS_GENERAL_ERROR);
  broken = patch;
  broken.streams[1] = {};
  EXPECT_EQ(Apply(kOld, broken.Build()), vxpatch::STATUS_GENERAL_ERROR);

  // Corrected parameters that nobody uses.
  Bytes unused_parameters = EmptyNestedSets(1);
  HandMade leftover = patch;
  leftover.streams[1] = RawDiff(EmptyNestedSets(0), unused_parameters);
  EXPECT_EQ(Apply(kOld, leftover.Build()), vxpatch::STATUS_STREAM_NOT_CONSUMED);
  // Corrected parameters that are no stream set.
  HandMade not_set = patch;
  not_set.streams[1] = RawDiff(EmptyNestedSets(0), Bytes{9, 9});
  EXPECT_EQ(Apply(kOld, not_set.Build()), vxpatch::STATUS_STREAM_ERROR);
  // Parameters handed to an element (which takes none) are an error.
  vxpatch::OutputStreamSet outer;
  vxpatch::OutputStreamSet nested;
  nested.Stream(0)->WriteByte(1);
  outer.WriteSet(&nested);
  OutputStream with_parameters;
  outer.SerializeSet(&with_parameters);
  const Bytes program = [] {
    exetest::TempDir dir;
    const std::string path = dir.File("x64");
    EXPECT_TRUE(exetest::BuildProgram(dir, exetest::Toolchains()[0], 1, false, path));
    return exetest::ReadFile(path);
  }();
  HandMade given = PlainPatch(program, program, Bytes(), 1);
  OutputStream descriptions;
  descriptions.WriteUVarint(1);
  descriptions.WriteUVarint(vxpatch::EXE_ELF_64_X64);
  descriptions.WriteUVarint(0);
  descriptions.WriteSizeUVarint(program.size());
  given.streams[0] = ToBytes(descriptions);
  given.streams[1] = RawDiff(EmptyNestedSets(1), ToBytes(with_parameters));
  EXPECT_EQ(Apply(program, given.Build()), vxpatch::STATUS_GENERAL_ERROR);
}

// Damaged bodies of a real element patch (re-compressed, so the damage
// reaches the corrections and the encoded programs): the applier returns a
// status and never a wrong result.
TEST(EnsemblePatchBody, DamagedBodiesGiveAStatusNeverAWrongResult) {
  exetest::TempDir dir;
  const std::string old_path = dir.File("old"), new_path = dir.File("new");
  ASSERT_TRUE(exetest::BuildProgram(dir, exetest::Toolchains()[2], 1, true, old_path));
  ASSERT_TRUE(exetest::BuildProgram(dir, exetest::Toolchains()[2], 2, true, new_path));
  const Bytes old_file = exetest::ReadFile(old_path), new_file = exetest::ReadFile(new_path);
  const Bytes patch = MakePatch(old_file, new_file, vxpatch::PatchChoice::kElements);
  ASSERT_EQ(ElementCount(patch), 1);

  InputStream in(patch.data(), patch.size());
  uint32_t header[5];
  for (uint32_t& field : header) ASSERT_TRUE(in.ReadUVarint(&field));
  OutputStream body;
  ASSERT_TRUE(vxpatch::ReadLzma2Block(&in, &body));
  const Bytes good(body.Buffer(), body.Buffer() + body.Length());

  std::mt19937 random(11);
  std::map<int, int> statuses;
  for (int i = 0; i < 400; ++i) {
    Bytes damaged = good;
    damaged[random() % damaged.size()] ^= static_cast<uint8_t>(1u << (random() % 8));
    OutputStream rebuilt;
    for (uint32_t field : header) rebuilt.WriteUVarint(field);
    ASSERT_TRUE(vxpatch::WriteLzma2Block(damaged.data(), damaged.size(), &rebuilt));
    Bytes result;
    const vxpatch::Status status = Apply(old_file, ToBytes(rebuilt), &result);
    ++statuses[status];
    if (status == vxpatch::STATUS_OK) {
      ASSERT_TRUE(result == new_file);
    }
  }
  EXPECT_GT(statuses.size(), 2u);
}

class EnsemblePatchFiles : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_TRUE(dir_.Valid()); }
  std::string Write(const std::string& name, const Bytes& bytes) {
    const std::string path = dir_.File(name);
    EXPECT_TRUE(exetest::WriteFile(path, bytes));
    return path;
  }
  bool Exists(const std::string& name) {
    struct stat info;
    return stat(dir_.File(name).c_str(), &info) == 0;
  }
  exetest::TempDir dir_;
};

// Element patches of every kind, forwards and backwards, with the new
// program's labels paired with the old ones; by default the smaller of the
// element and the plain patch is kept.
TEST_F(EnsemblePatchFiles, ProgramsOfEveryKindArePatchedThroughTheirElements) {
  for (const exetest::Toolchain& toolchain : exetest::Toolchains()) {
    for (bool shared : {false, true}) {
      SCOPED_TRACE(std::string(toolchain.name) + (shared ? " shared" : " executable"));
      const std::string old_path = dir_.File("old"), new_path = dir_.File("new");
      ASSERT_TRUE(exetest::BuildProgram(dir_, toolchain, 1, shared, old_path));
      ASSERT_TRUE(exetest::BuildProgram(dir_, toolchain, 2, shared, new_path));
      const Bytes one = exetest::ReadFile(old_path), two = exetest::ReadFile(new_path);
      for (const auto& pair : {std::make_pair(one, two), std::make_pair(two, one)}) {
        vxpatch::EnsemblePatchStats stats;
        const Bytes patch = MakePatch(pair.first, pair.second, vxpatch::PatchChoice::kElements, &stats);
        EXPECT_EQ(ElementCount(patch), 1);
        const size_t labels = stats.labels.rel32_labels + stats.labels.abs32_labels;
        EXPECT_GE(stats.labels.rel32_paired + stats.labels.abs32_paired, labels * 3 / 4);
        Bytes result;
        ASSERT_EQ(Apply(pair.first, patch, &result), vxpatch::STATUS_OK);
        EXPECT_TRUE(result == pair.second);

        const Bytes smallest = MakePatch(pair.first, pair.second, vxpatch::PatchChoice::kSmallest, &stats);
        EXPECT_EQ(smallest.size(), std::min(stats.element_patch_bytes, stats.plain_patch_bytes));
        EXPECT_LE(smallest.size(), MakePatch(pair.first, pair.second, vxpatch::PatchChoice::kPlain).size());
        // Without statistics the plain patch is only compressed where it
        // may win; the choice stays the same.
        EXPECT_TRUE(MakePatch(pair.first, pair.second) == smallest);
        ASSERT_EQ(Apply(pair.first, smallest, &result), vxpatch::STATUS_OK);
        EXPECT_TRUE(result == pair.second);
      }
    }
  }
}

TEST_F(EnsemblePatchFiles, OtherFilesIdenticalFilesAndMismatchedKindsUseNoElements) {
  const std::string program = dir_.File("program"), other_kind = dir_.File("other");
  ASSERT_TRUE(exetest::BuildProgram(dir_, exetest::Toolchains()[0], 1, false, program));
  ASSERT_TRUE(exetest::BuildProgram(dir_, exetest::Toolchains()[1], 1, false, other_kind));
  const Bytes program_bytes = exetest::ReadFile(program);
  const Bytes other_bytes = exetest::ReadFile(other_kind);
  struct Case {
    const char* name;
    Bytes old_file, new_file;
    int elements;
  };
  const Case cases[] = {
      {"text", kOld, kNew, 0},
      {"identical text", kOld, kOld, 0},
      {"identical program", program_bytes, program_bytes, 0},
      {"program to text", program_bytes, kNew, 0},
      {"text to program", kOld, program_bytes, 0},
      {"other kind", program_bytes, other_bytes, 0},
      {"empty to text", Bytes(), kNew, 0},
      {"text to empty", kOld, Bytes(), 0},
      {"empty to empty", Bytes(), Bytes(), 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const std::string old_path = Write("old", c.old_file), new_path = Write("new", c.new_file);
    const std::string patch_path = dir_.File("patch"), result_path = dir_.File("result");
    ASSERT_EQ(vxpatch::CreateEnsemblePatch(old_path.c_str(), new_path.c_str(), patch_path.c_str()),
              vxpatch::STATUS_OK);
    EXPECT_EQ(ElementCount(exetest::ReadFile(patch_path)), c.elements);
    ASSERT_EQ(vxpatch::ApplyEnsemblePatch(old_path.c_str(), patch_path.c_str(), result_path.c_str(), vxpatch::kNoOutputLimit),
              vxpatch::STATUS_OK);
    EXPECT_TRUE(exetest::ReadFile(result_path) == c.new_file);
  }
  // No change costs little even for megabytes: one copy of the old file.
  Bytes big(2 << 20);
  std::mt19937 random(5);
  for (uint8_t& byte : big) byte = static_cast<uint8_t>(random());
  EXPECT_LT(MakePatch(big, big).size(), 500u);
}

TEST_F(EnsemblePatchFiles, FileStatusesAndNothingWrittenOnFailure) {
  const std::string old_path = Write("old", kOld);
  const std::string patch_path = Write("patch", PlainPatch(kOld, kNew).Build());
  const std::string missing = dir_.File("missing");
  const std::string result = dir_.File("result");
  EXPECT_EQ(vxpatch::ApplyEnsemblePatch(old_path.c_str(), missing.c_str(), result.c_str(), vxpatch::kNoOutputLimit),
            vxpatch::STATUS_READ_OPEN_ERROR);
  EXPECT_EQ(vxpatch::ApplyEnsemblePatch(missing.c_str(), patch_path.c_str(), result.c_str(), vxpatch::kNoOutputLimit),
            vxpatch::STATUS_READ_ERROR);
  // The header is checked before the old file is even opened.
  const std::string bad_magic = Write("bad", {1, 2, 3});
  EXPECT_EQ(vxpatch::ApplyEnsemblePatch(missing.c_str(), bad_magic.c_str(), result.c_str(), vxpatch::kNoOutputLimit),
            vxpatch::STATUS_BAD_MAGIC);
  const std::string changed = Write("changed", {'O', 'l', 'd'});
  EXPECT_EQ(vxpatch::ApplyEnsemblePatch(changed.c_str(), patch_path.c_str(), result.c_str(), vxpatch::kNoOutputLimit),
            vxpatch::STATUS_BAD_CRC);
  EXPECT_FALSE(Exists("result"));
  // A failure late in the work (the limit, at the final correction) leaves a
  // file already at the new path as it was, and nothing beside it.
  const std::string kept = Write("kept", {'k'});
  EXPECT_EQ(vxpatch::ApplyEnsemblePatch(old_path.c_str(), patch_path.c_str(), kept.c_str(), kNew.size() - 1),
            vxpatch::STATUS_OUTPUT_LIMIT);
  EXPECT_EQ(exetest::ReadFile(kept), Bytes{'k'});
  EXPECT_EQ(vxtest::DirectoryEntries(dir_.Path()).size(), 5u) << "old, patch, bad, changed, kept";
  EXPECT_EQ(vxpatch::ApplyEnsemblePatch(old_path.c_str(), patch_path.c_str(), dir_.File("no/such/dir").c_str(), vxpatch::kNoOutputLimit),
            vxpatch::STATUS_READ_ERROR);
  ASSERT_EQ(vxpatch::ApplyEnsemblePatch(old_path.c_str(), patch_path.c_str(), result.c_str(), vxpatch::kNoOutputLimit), vxpatch::STATUS_OK);
  EXPECT_EQ(exetest::ReadFile(result), kNew);
}

}  // namespace
