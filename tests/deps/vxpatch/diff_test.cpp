// Applying and creating diffs: hand-built diffs for each rule of the reader,
// and creation followed by application on real programs and libraries.
#include "checksum.h"
#include "lzmaioout.h"
#include "output_file.h"
#include "vxdiff.h"
#include "vxpatch/thread_budget.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <random>
#include <string>
#include <tuple>

#include "engine_test_support.h"

namespace vxpatch {
namespace {

using vxtest::Bytes;
using vxtest::Content;
using vxtest::LogCapture;

struct Triple {
  int32_t x, y, z;
};

// The raw layout (lengths and sections) of the given triples and bytes.
Bytes RawSections(const std::vector<Triple>& triples, const Bytes& diff, const Bytes& extra) {
  OutputStream control;
  for (const Triple& t : triples) {
    control.WriteSVarint(t.x);
    control.WriteSVarint(t.y);
    control.WriteSVarint(t.z);
  }
  OutputStream out;
  out.WriteUVarint(static_cast<uint32_t>(control.Length()));
  out.WriteUVarint(static_cast<uint32_t>(diff.size()));
  out.WriteUVarint(static_cast<uint32_t>(extra.size()));
  out.Append(&control);
  out.Write(diff.data(), diff.size());
  out.Write(extra.data(), extra.size());
  return Content(out);
}

Bytes RawDiff(uint32_t new_size, const std::vector<Triple>& triples, const Bytes& diff, const Bytes& extra) {
  Bytes out{DIFF_RAW};
  OutputStream size;
  size.WriteUVarint(new_size);
  out.insert(out.end(), size.Buffer(), size.Buffer() + size.Length());
  const Bytes sections = RawSections(triples, diff, extra);
  out.insert(out.end(), sections.begin(), sections.end());
  return out;
}

Bytes WithHeader(const Bytes& body, uint32_t checksum) {
  OutputStream out;
  out.Write(kDiffMagic, sizeof kDiffMagic);
  out.WriteUVarint(checksum);
  out.Write(body.data(), body.size());
  return Content(out);
}

// Applies `diff` to `old_bytes`; returns the messages and fills *result.
std::vector<std::string> Apply(const Bytes& old_bytes, const Bytes& diff, bool header, bool* ok, Bytes* result) {
  LogCapture log;
  InputStream old_stream(old_bytes.data(), old_bytes.size());
  InputStream diff_stream(diff.data(), diff.size());
  OutputStream out;
  *ok = ApplyDiff(&old_stream, &diff_stream, &out, header, kNoOutputLimit);
  *result = Content(out);
  return log.Messages();
}

const Bytes kOld = vxtest::Text("0123456789");

TEST(ApplyDiffTest, RawDiffAddsCopiesAndMovesTheOldPosition) {
  // "01" + 1 each -> "12"; extra "ab"; jump back to 0; "0123" unchanged.
  const Bytes diff = RawDiff(8, {{2, 2, -2}, {4, 0, 0}}, {1, 1, 0, 0, 0, 0}, vxtest::Text("ab"));
  bool ok = false;
  Bytes result;
  EXPECT_TRUE(Apply(kOld, diff, false, &ok, &result).empty());
  EXPECT_TRUE(ok);
  EXPECT_EQ(result, vxtest::Text("12ab0123"));

  // Leftover triples and bytes after the new size is reached are ignored.
  const Bytes spare = RawDiff(2, {{2, 0, 0}, {99, 99, 99}}, {0, 0, 7}, vxtest::Text("zz"));
  EXPECT_TRUE(Apply(kOld, spare, false, &ok, &result).empty());
  EXPECT_TRUE(ok);
  EXPECT_EQ(result, vxtest::Text("01"));
}

TEST(ApplyDiffTest, NewSizeZeroReadsNoControl) {
  bool ok = false;
  Bytes result;
  EXPECT_TRUE(Apply(kOld, RawDiff(0, {}, {}, {}), false, &ok, &result).empty());
  EXPECT_TRUE(ok);
  EXPECT_TRUE(result.empty());
}

TEST(ApplyDiffTest, MalformedDiffsAreRefusedWithTheirMessage) {
  struct Case {
    const char* what;
    Bytes diff;
    std::vector<std::string> messages;
  };
  const Case cases[] = {
      {"method 3", {3, 0}, {"Invalid compression method"}},
      {"no method", {}, {}},
      {"no new size", {DIFF_RAW}, {}},
      {"no section lengths", {DIFF_RAW, 4, 1}, {}},
      {"x past the new size", RawDiff(4, {{5, 0, 0}}, Bytes(5, 0), {}), {"Corrupt patch"}},
      {"y past the new size", RawDiff(4, {{2, 3, 0}}, {0, 0}, vxtest::Text("abc")), {"Corrupt patch"}},
      {"control ends early", RawDiff(4, {{2, 0, 0}}, {0, 0, 0, 0}, {}), {"Corrupt patch reading control"}},
      {"half a triple", RawDiff(4, {}, {0, 0, 0, 0}, {}), {"Corrupt patch reading control"}},
      {"negative x", RawDiff(4, {{-1, 0, 0}, {4, 0, 0}}, {0, 0, 0, 0}, {}), {"Corrupt patch"}},
      {"negative y", RawDiff(4, {{0, -2, 0}, {4, 0, 0}}, {0, 0, 0, 0}, {}), {"Corrupt patch"}},
      {"x beyond the diff section", RawDiff(4, {{3, 1, 0}}, {0, 0}, vxtest::Text("ab")), {"Corrupt patch"}},
      {"y beyond the extra section", RawDiff(4, {{2, 2, 0}}, {0, 0, 0}, vxtest::Text("a")), {"Corrupt patch"}},
      {"new size beyond both sections", RawDiff(5, {{2, 2, 0}}, {0, 0}, vxtest::Text("ab")), {"Corrupt patch"}},
      {"old range past the old end", RawDiff(4, {{1, 0, 9}, {3, 0, 0}}, {0, 0, 0, 0}, {}), {}},
      {"old position before the start", RawDiff(4, {{1, 0, -2}, {3, 0, 0}}, {0, 0, 0, 0}, {}), {}},
  };
  for (const Case& test : cases) {
    SCOPED_TRACE(test.what);
    bool ok = true;
    Bytes result;
    EXPECT_EQ(Apply(kOld, test.diff, false, &ok, &result), test.messages);
    EXPECT_FALSE(ok);
  }
  // Section lengths that reach past the data.
  Bytes cut = RawDiff(2, {{2, 0, 0}}, {0, 0}, {});
  cut.pop_back();
  bool ok = true;
  Bytes result;
  EXPECT_EQ(Apply(kOld, cut, false, &ok, &result), std::vector<std::string>{"Corrupt patch"});
  EXPECT_FALSE(ok);
}

TEST(ApplyDiffTest, HeaderMagicAndChecksum) {
  const Bytes body = RawDiff(3, {{3, 0, 0}}, {0, 0, 0}, {});
  const uint32_t right = ComputeChecksum(kOld.data(), 3);
  bool ok = false;
  Bytes result;
  EXPECT_TRUE(Apply(kOld, WithHeader(body, right), true, &ok, &result).empty());
  EXPECT_TRUE(ok);
  EXPECT_EQ(result, vxtest::Text("012"));

  EXPECT_EQ(Apply(kOld, WithHeader(body, right + 1), true, &ok, &result), std::vector<std::string>{"crc mismatch"});
  EXPECT_FALSE(ok);
  Bytes wrong_magic = WithHeader(body, right);
  wrong_magic[7] = '1';
  EXPECT_EQ(Apply(kOld, wrong_magic, true, &ok, &result), std::vector<std::string>{"Corrupt patch header"});
  EXPECT_EQ(Apply(kOld, vxtest::Text("VXDIFF1"), true, &ok, &result), std::vector<std::string>{});
  EXPECT_FALSE(ok);
  EXPECT_EQ(Apply(kOld, vxtest::Text("VXDIFF10"), true, &ok, &result), std::vector<std::string>{"Could not read crc"});
  EXPECT_EQ(Apply(kOld, body, true, &ok, &result), std::vector<std::string>{"Corrupt patch header"});
}

TEST(ApplyDiffTest, LzmaMethodsDecodeTheirSections) {
  const Bytes diff_bytes{1, 1, 0, 0, 0, 0};
  const Bytes extra = vxtest::Text("ab");
  const std::vector<Triple> triples{{2, 2, -2}, {4, 0, 0}};

  OutputStream joined;
  joined.WriteByte(DIFF_LZMA2_JOINED);
  joined.WriteUVarint(8);
  const Bytes sections = RawSections(triples, diff_bytes, extra);
  ASSERT_TRUE(WriteLzma2Block(sections.data(), sections.size(), &joined));

  OutputStream split;
  split.WriteByte(DIFF_LZMA2_SPLIT);
  split.WriteUVarint(8);
  OutputStream control;
  for (const Triple& t : triples) {
    control.WriteSVarint(t.x);
    control.WriteSVarint(t.y);
    control.WriteSVarint(t.z);
  }
  ASSERT_TRUE(WriteLzma2Block(control.Buffer(), control.Length(), &split));
  ASSERT_TRUE(WriteLzma2Block(diff_bytes.data(), diff_bytes.size(), &split));
  ASSERT_TRUE(WriteLzma2Block(extra.data(), extra.size(), &split));

  for (const Bytes& diff : {Content(joined), Content(split)}) {
    bool ok = false;
    Bytes result;
    EXPECT_TRUE(Apply(kOld, diff, false, &ok, &result).empty());
    EXPECT_TRUE(ok);
    EXPECT_EQ(result, vxtest::Text("12ab0123"));
    // A split diff missing its last block fails with the block's message.
    Bytes cut(diff.begin(), diff.end() - 1);
    EXPECT_FALSE(Apply(kOld, cut, false, &ok, &result).empty());
    EXPECT_FALSE(ok);
  }
}

// CreateDiff then ApplyDiff, for every method, with and without header.
void ExpectRoundTrip(const Bytes& old_bytes, const Bytes& new_bytes) {
  for (DiffMethod method : {DIFF_RAW, DIFF_LZMA2_SPLIT, DIFF_LZMA2_JOINED}) {
    for (bool header : {false, true}) {
      SCOPED_TRACE(testing::Message() << "method " << int(method) << " header " << header);
      InputStream old_stream(old_bytes.data(), old_bytes.size());
      InputStream new_stream(new_bytes.data(), new_bytes.size());
      OutputStream diff;
      ASSERT_TRUE(CreateDiff(&old_stream, &new_stream, &diff, header, method));
      EXPECT_TRUE(old_stream.Empty());
      EXPECT_TRUE(new_stream.Empty());
      bool ok = false;
      Bytes result;
      EXPECT_TRUE(Apply(old_bytes, Content(diff), header, &ok, &result).empty());
      EXPECT_TRUE(ok);
      EXPECT_TRUE(result == new_bytes) << "result differs";
    }
  }
}

// A file target's checksum is taken from its runs as they are written when
// they cover the file once, whatever their order, and from the file itself
// when a range was placed twice: always the checksum of what the file holds.
TEST(FileTargetTest, ChecksumIsThatOfTheFileWrittenInAnyOrder) {
  struct Placement {
    size_t offset, count;
  };
  const std::vector<std::vector<Placement>> cases = {
      {{0, 5000}, {5000, 3000}},                          // one rising run
      {{0, 100}, {300, 4000}, {100, 200}, {4300, 3700}},  // diff bytes, then extra bytes between
      {{0, 8000}, {2000, 10}},                            // a range placed twice
  };
  vxtest::TempDir dir;
  for (const auto& placements : cases) {
    SCOPED_TRACE(placements.size());
    OutputFile file;
    ASSERT_TRUE(file.Create(dir.File("out").c_str()));
    FileTarget target(&file, kNoOutputLimit);
    ASSERT_TRUE(target.Begin(8000));
    for (size_t i = 0; i < placements.size(); ++i) {
      uint8_t* to = target.Place(placements[i].offset, placements[i].count);
      ASSERT_NE(to, nullptr);
      for (size_t j = 0; j < placements[i].count; ++j) to[j] = static_cast<uint8_t>(j * 31 + i);
    }
    ASSERT_TRUE(target.End());
    uint32_t checksum = 0;
    ASSERT_TRUE(target.Checksum(&checksum));
    ASSERT_TRUE(file.Commit(target.Size()));
    const Bytes written = vxtest::ReadFile(dir.File("out"));
    EXPECT_EQ(checksum, ComputeChecksum(written.data(), written.size()));
  }
}

TEST(CreateDiffTest, IdenticalInputIsOneTripleOfZeroDiffBytes) {
  const Bytes bytes = vxtest::SampleBytes(5000, 6);
  InputStream old_stream(bytes.data(), bytes.size());
  InputStream new_stream(bytes.data(), bytes.size());
  OutputStream diff;
  ASSERT_TRUE(CreateDiff(&old_stream, &new_stream, &diff, false, DIFF_RAW));
  InputStream in(diff.Buffer(), diff.Length());
  uint8_t method = 9;
  uint32_t new_size = 0, control_length = 0, diff_length = 0, extra_length = 0;
  ASSERT_TRUE(in.ReadByte(&method) && in.ReadUVarint(&new_size) && in.ReadUVarint(&control_length) &&
              in.ReadUVarint(&diff_length) && in.ReadUVarint(&extra_length));
  EXPECT_EQ(method, DIFF_RAW);
  EXPECT_EQ(new_size, 5000u);
  EXPECT_EQ(diff_length, 5000u);
  EXPECT_EQ(extra_length, 0u);
  InputStream control;
  ASSERT_TRUE(in.ReadSubstream(control_length, &control));
  int32_t x = 0, y = 0, z = 0;
  ASSERT_TRUE(control.ReadSVarint(&x) && control.ReadSVarint(&y) && control.ReadSVarint(&z));
  EXPECT_EQ(std::make_tuple(x, y, z), std::make_tuple(5000, 0, -5000));
  EXPECT_TRUE(control.Empty());
  EXPECT_EQ(Bytes(in.Current(), in.Current() + diff_length), Bytes(5000, 0));
}

TEST(CreateDiffTest, EdgeInputsRoundTrip) {
  ExpectRoundTrip({}, {});
  ExpectRoundTrip({}, vxtest::Text("from nothing"));
  ExpectRoundTrip(vxtest::Text("to nothing"), {});
  ExpectRoundTrip(Bytes(1, 'a'), Bytes(1, 'b'));
  ExpectRoundTrip(Bytes(20000, 0), Bytes(30000, 0));
  Bytes shifted = vxtest::SampleBytes(20000, 7);
  Bytes edited = shifted;
  edited.erase(edited.begin() + 100, edited.begin() + 300);
  for (size_t i = 1000; i < edited.size(); i += 997) edited[i] ^= 0x11;
  edited.insert(edited.begin() + 15000, 500, 0x42);
  ExpectRoundTrip(shifted, edited);
  ExpectRoundTrip(edited, shifted);

  // Runs far longer than the longest match the search measures, edited
  // sparsely: still one alignment, the edits diff bytes.
  const Bytes zeros(150000, 0);
  Bytes dotted = zeros;
  for (size_t i = 20000; i < dotted.size(); i += 20000) dotted[i] = 1;
  ExpectRoundTrip(zeros, dotted);
  InputStream zeros_stream(zeros.data(), zeros.size());
  InputStream dotted_stream(dotted.data(), dotted.size());
  OutputStream long_diff;
  ASSERT_TRUE(CreateDiff(&zeros_stream, &dotted_stream, &long_diff, false, DIFF_RAW));
  EXPECT_LT(long_diff.Length(), dotted.size() + 64);

  InputStream none;
  OutputStream out;
  LogCapture log;
  EXPECT_FALSE(CreateDiff(&none, &none, &out, false, static_cast<DiffMethod>(3)));
}

// Section lengths of a raw diff made with `tuning`, after checking that it
// applies.
struct SectionLengths {
  uint32_t control, diff, extra;
};
SectionLengths TunedDiff(const Bytes& old_bytes, const Bytes& new_bytes, const DiffTuning& tuning) {
  InputStream old_stream(old_bytes.data(), old_bytes.size());
  InputStream new_stream(new_bytes.data(), new_bytes.size());
  OutputStream diff;
  EXPECT_TRUE(CreateDiff(&old_stream, &new_stream, &diff, false, DIFF_RAW, tuning));
  bool ok = false;
  Bytes result;
  EXPECT_TRUE(Apply(old_bytes, Content(diff), false, &ok, &result).empty());
  EXPECT_TRUE(ok && result == new_bytes);
  InputStream in(diff.Buffer(), diff.Length());
  uint8_t method = 0;
  uint32_t size = 0;
  SectionLengths lengths{};
  EXPECT_TRUE(in.ReadByte(&method) && in.ReadUVarint(&size) && in.ReadUVarint(&lengths.control) &&
              in.ReadUVarint(&lengths.diff) && in.ReadUVarint(&lengths.extra));
  return lengths;
}

Bytes RandomBytes(size_t length, uint32_t seed) {
  std::mt19937 generator(seed);
  Bytes bytes(length);
  for (uint8_t& byte : bytes) byte = static_cast<uint8_t>(generator());
  return bytes;
}

TEST(CreateDiffTest, TuningTradesShortAndNoisyMatchesForExtraBytes) {
  const Bytes old_bytes = RandomBytes(40000, 8);
  // Fresh bytes with 16-byte chance repeats of the old bytes, then a stretch
  // of 4000 old bytes with every other byte changed, between exact runs.
  Bytes chance = RandomBytes(20000, 9);
  for (size_t at = 400; at + 16 < chance.size(); at += 400)
    std::copy_n(old_bytes.begin() + static_cast<long>(at * 2), 16, chance.begin() + static_cast<long>(at));
  Bytes noisy(old_bytes.begin() + 10000, old_bytes.begin() + 20000);
  for (size_t i = 3000; i < 7000; i += 2) noisy[i] ^= 0x5a;
  // Old blocks of 40 to 199 bytes in random order, three fresh bytes
  // between them: every block must be found whatever the tuning.
  Bytes shuffled;
  std::mt19937 blocks(10);
  while (shuffled.size() < 20000) {
    const size_t length = 40 + blocks() % 160;
    const size_t from = blocks() % (old_bytes.size() - length);
    shuffled.insert(shuffled.end(), old_bytes.begin() + static_cast<long>(from),
                    old_bytes.begin() + static_cast<long>(from + length));
    for (int i = 0; i < 3; ++i) shuffled.push_back(static_cast<uint8_t>(blocks()));
  }
  // Extra bytes between the bounds; the noisy stretch alone as extra bytes
  // means the exact run behind it resumed the alignment.
  struct Row {
    const char* name;
    const Bytes& new_bytes;
    int64_t advantage, cost;
    size_t extra_min, extra_max;
  } rows[] = {
      {"chance repeats match by default", chance, 8, 1, 0, chance.size() - 700},
      {"long matches only", chance, 32, 1, chance.size(), chance.size()},
      {"half-equal stretch as differences", noisy, 8, 1, 0, 100},
      {"half-equal stretch as extra bytes", noisy, 8, 3, 3900, 4000},
      {"shuffled blocks by default", shuffled, 8, 1, 0, shuffled.size() / 30},
      {"shuffled blocks, long matches only", shuffled, 32, 3, 0, shuffled.size() / 30},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    DiffTuning tuning;
    tuning.match_advantage = row.advantage;
    tuning.mismatch_cost = row.cost;
    const SectionLengths lengths = TunedDiff(old_bytes, row.new_bytes, tuning);
    EXPECT_GE(lengths.extra, row.extra_min);
    EXPECT_LE(lengths.extra, row.extra_max);
  }
}

// A new file scanned as two halves: the diff applies, does not depend on
// whether the second half had a thread, and costs about what one scan does.
TEST(CreateDiffTest, HalvesScannedApartJoinIntoOneDiff) {
  const Bytes old_bytes = RandomBytes(40000, 11);
  Bytes edited(old_bytes.begin() + 5000, old_bytes.end());
  for (size_t i = 300; i < edited.size(); i += 997) edited[i] ^= 0x21;
  Bytes moved(old_bytes.begin() + 30000, old_bytes.end());
  moved.insert(moved.end(), old_bytes.begin(), old_bytes.begin() + 30000);
  struct Row {
    const char* name;
    Bytes old_bytes, new_bytes;
  } rows[] = {
      {"edited", old_bytes, edited},
      {"blocks swapped across the middle", old_bytes, moved},
      {"no old bytes", {}, RandomBytes(5000, 12)},
      {"old shorter than the first half", Bytes(old_bytes.begin(), old_bytes.begin() + 100), edited},
  };
  ThreadBudget threads(1);
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    DiffTuning whole, halves, halves_beside;
    halves.split_from = halves_beside.split_from = 1000;
    halves_beside.threads = &threads;
    const SectionLengths one = TunedDiff(row.old_bytes, row.new_bytes, whole);
    const SectionLengths two = TunedDiff(row.old_bytes, row.new_bytes, halves);
    const SectionLengths beside = TunedDiff(row.old_bytes, row.new_bytes, halves_beside);
    EXPECT_EQ(std::tie(two.control, two.diff, two.extra),
              std::tie(beside.control, beside.diff, beside.extra));
    EXPECT_LE(two.control + two.extra, one.control + one.extra + 64);
  }
}

// Builds two versions of a small program with g++.
class ProgramVersions : public ::testing::Test {
 protected:
  Bytes Build(const std::string& name, const std::string& source) {
    const std::string source_path = dir_.File(name + ".cpp");
    vxtest::WriteFile(source_path, vxtest::Text(source));
    const std::string binary = dir_.File(name);
    const std::string command = "g++ -O1 -o '" + binary + "' '" + source_path + "' 2>&1";
    EXPECT_EQ(std::system(command.c_str()), 0) << command;
    return vxtest::ReadFile(binary);
  }
  vxtest::TempDir dir_;
};

TEST_F(ProgramVersions, TwoBuildsOfAProgramRoundTrip) {
  const std::string common =
      "#include <cstdio>\n#include <string>\n#include <vector>\n"
      "static int Sum(const std::vector<int>& v) { int s = 0; for (int x : v) s += x; return s; }\n";
  const Bytes first = Build("v1", common +
                                      "int main() { std::vector<int> v{1, 2, 3}; std::printf(\"%d\\n\", Sum(v));"
                                      " return 0; }\n");
  const Bytes second = Build("v2", common +
                                       "static std::string Name() { return \"second version\"; }\n"
                                       "int main() { std::vector<int> v{1, 2, 3, 4}; std::printf(\"%d %s\\n\","
                                       " Sum(v), Name().c_str()); return 0; }\n");
  ASSERT_FALSE(first.empty());
  ASSERT_FALSE(second.empty());
  ExpectRoundTrip(first, second);
  ExpectRoundTrip(second, first);
}

TEST(SystemLibraries, PairsOfSharedLibrariesRoundTrip) {
  const char* const pairs[][2] = {
      {"/usr/lib/x86_64-linux-gnu/libz.so.1", "/usr/lib/x86_64-linux-gnu/liblzma.so.5"},
      {"/usr/lib/x86_64-linux-gnu/libgtest.a", "/usr/lib/x86_64-linux-gnu/libgtest_main.a"},
      {"/usr/lib/x86_64-linux-gnu/libdivsufsort.so.3", "/usr/lib/x86_64-linux-gnu/libz.so.1"},
  };
  int tried = 0;
  for (const auto& pair : pairs) {
    const Bytes old_bytes = vxtest::ReadFile(pair[0]);
    const Bytes new_bytes = vxtest::ReadFile(pair[1]);
    if (old_bytes.empty() || new_bytes.empty()) continue;
    SCOPED_TRACE(std::string(pair[0]) + " -> " + pair[1]);
    ExpectRoundTrip(old_bytes, new_bytes);
    ++tried;
  }
  EXPECT_GE(tried, 2);
}

}  // namespace
}  // namespace vxpatch
