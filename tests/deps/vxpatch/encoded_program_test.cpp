// Parsed programs, encoding, the stream form of encoded programs and
// assembly: folding of copies, label vectors and their gaps, operand checks,
// the PE and ELF relocation tables, trimming of ARM labels and the ARM branch
// forms.
#include <gtest/gtest.h>

#include <algorithm>
#include <random>

#include "arm_branch.h"
#include "assembly_program.h"
#include "encoded_program.h"

namespace {

using vxpatch::EncodedProgram;
using vxpatch::OutputStream;
using vxpatch::ParsedProgram;
using Bytes = std::vector<uint8_t>;

Bytes Assemble(EncodedProgram* program, vxpatch::Status* status) {
  OutputStream out;
  *status = vxpatch::AssembleProgram(program, &out);
  return Bytes(out.Buffer(), out.Buffer() + out.Length());
}

Bytes Le32(uint32_t v) { return {uint8_t(v), uint8_t(v >> 8), uint8_t(v >> 16), uint8_t(v >> 24)}; }

Bytes Cat(std::initializer_list<Bytes> parts) {
  Bytes out;
  for (const Bytes& part : parts) out.insert(out.end(), part.begin(), part.end());
  return out;
}

Bytes SerialisedStream(const EncodedProgram& program, size_t index) {
  vxpatch::OutputStreamSet set;
  EXPECT_EQ(vxpatch::WriteEncodedProgram(program, &set), vxpatch::STATUS_OK);
  OutputStream* stream = set.Stream(index);
  return Bytes(stream->Buffer(), stream->Buffer() + stream->Length());
}

TEST(EncodeProgram, FoldsConsecutiveCopiesIntoOne) {
  ParsedProgram program;
  const uint8_t run[3] = {7, 8, 9};
  program.set_file(run, sizeof run);
  ASSERT_TRUE(program.EmitByte(1));
  ASSERT_TRUE(program.EmitByte(2));
  std::unique_ptr<EncodedProgram> two = vxpatch::EncodeProgram(program);
  ASSERT_TRUE(two);
  EXPECT_EQ(two->ops, std::vector<uint32_t>({vxpatch::OP_COPY}));
  EXPECT_EQ(two->copy_counts, std::vector<uint32_t>({2}));

  ASSERT_TRUE(program.EmitBytes(run, 3));
  ASSERT_TRUE(program.EmitBytes(run, 0));  // nothing at all
  ASSERT_TRUE(program.EmitOrigin(0x100));
  ASSERT_TRUE(program.EmitByte(4));
  std::unique_ptr<EncodedProgram> encoded = vxpatch::EncodeProgram(program);
  ASSERT_TRUE(encoded);
  EXPECT_EQ(encoded->ops, std::vector<uint32_t>({vxpatch::OP_COPY, vxpatch::OP_ORIGIN, vxpatch::OP_COPY1}));
  EXPECT_EQ(encoded->copy_counts, std::vector<uint32_t>({5}));
  EXPECT_EQ(encoded->copy_bytes, Bytes({1, 2, 7, 8, 9, 4}));
  EXPECT_EQ(encoded->origins, std::vector<uint32_t>({0x100}));
}

TEST(EncodeProgram, LabelVectorsAreEmptyWithoutLabelsAndFillTheirGaps) {
  ParsedProgram plain;
  ASSERT_TRUE(plain.EmitByte(0x90));
  std::unique_ptr<EncodedProgram> encoded = vxpatch::EncodeProgram(plain);
  ASSERT_TRUE(encoded);
  EXPECT_EQ(SerialisedStream(*encoded, 5), Bytes({0}));
  EXPECT_EQ(SerialisedStream(*encoded, 6), Bytes({0}));

  // Indexes 0 and 2 defined, 1 not: slot 1 repeats slot 0.
  ParsedProgram gapped;
  const uint32_t low = gapped.FindOrMakeRel32Label(0x5000);
  const uint32_t high = gapped.FindOrMakeRel32Label(0x6000);
  gapped.rel32_labels()[low].index = 0;
  gapped.rel32_labels()[high].index = 2;
  ASSERT_TRUE(gapped.EmitRel32(high));
  encoded = vxpatch::EncodeProgram(gapped);
  ASSERT_TRUE(encoded);
  EXPECT_EQ(encoded->rel32_rvas, std::vector<uint32_t>({0x5000, 0x5000, 0x6000}));
  // As deltas: 0x5000, 0, 0x1000.
  EXPECT_EQ(SerialisedStream(*encoded, 6), Bytes({3, 0x80, 0xA0, 0x01, 0x00, 0x80, 0x20}));

  // The highest address is an address like any other, not a gap.
  ParsedProgram top;
  top.abs32_labels()[top.FindOrMakeAbs32Label(7)].index = 0;
  top.abs32_labels()[top.FindOrMakeAbs32Label(0xFFFFFFFFu)].index = 1;
  encoded = vxpatch::EncodeProgram(top);
  ASSERT_TRUE(encoded);
  EXPECT_EQ(encoded->abs32_rvas, std::vector<uint32_t>({7, 0xFFFFFFFFu}));
}

TEST(EncodeProgram, LabelsAreCountedAndNumberedAbs32First) {
  ParsedProgram program;
  program.FindOrMakeRel32Label(30);
  program.FindOrMakeRel32Label(10);
  program.FindOrMakeRel32Label(30);
  program.FindOrMakeAbs32Label(99);
  program.AssignDefaultIndexes();
  EXPECT_EQ(program.rel32_labels().at(10).index, 0);
  EXPECT_EQ(program.rel32_labels().at(30).index, 1);
  EXPECT_EQ(program.rel32_labels().at(30).count, 2);
  EXPECT_EQ(program.abs32_labels().at(99).index, 0);
}

TEST(EncodedProgramStreams, WriteThenReadGivesTheSameProgram) {
  EncodedProgram program;
  program.image_base = 0x400000;
  program.rel32_rvas = {0x2000, 0x1000, 0xFFFFFFF0u};  // deltas wrap modulo 2^32
  program.abs32_rvas = {0x10};
  program.ops = {0, 1, 2, 3, 4, 0x4123};
  program.origins = {0x1000};
  program.copy_counts = {2};
  program.copy_bytes = {1, 2, 3};
  program.rel32_ix = {0, 2};
  program.abs32_ix = {0};
  vxpatch::OutputStreamSet set;
  ASSERT_EQ(vxpatch::WriteEncodedProgram(program, &set), vxpatch::STATUS_OK);
  OutputStream serialised;
  ASSERT_TRUE(set.SerializeSet(&serialised));

  vxpatch::InputStreamSet input;
  ASSERT_TRUE(input.InitFromBuffer(serialised.Buffer(), serialised.Length()));
  std::unique_ptr<EncodedProgram> read;
  ASSERT_EQ(vxpatch::ReadEncodedProgram(&input, &read), vxpatch::STATUS_OK);
  EXPECT_EQ(read->image_base, program.image_base);
  EXPECT_EQ(read->rel32_rvas, program.rel32_rvas);
  EXPECT_EQ(read->abs32_rvas, program.abs32_rvas);
  EXPECT_EQ(read->ops, program.ops);
  EXPECT_EQ(read->origins, program.origins);
  EXPECT_EQ(read->copy_counts, program.copy_counts);
  EXPECT_EQ(read->copy_bytes, program.copy_bytes);
  EXPECT_EQ(read->rel32_ix, program.rel32_ix);
  EXPECT_EQ(read->abs32_ix, program.abs32_ix);
}

TEST(EncodedProgramStreams, LeftoversShortSetsAndImpossibleCountsAreRefused) {
  EncodedProgram program;
  program.ops = {2};
  program.copy_bytes = {5};
  auto read_with = [&](size_t stream, const Bytes& extra, size_t count) {
    vxpatch::OutputStreamSet set;
    set.SetCount(count);
    EXPECT_EQ(vxpatch::WriteEncodedProgram(program, &set), vxpatch::STATUS_OK);
    set.Stream(stream)->Write(extra.data(), extra.size());
    OutputStream serialised;
    EXPECT_TRUE(set.SerializeSet(&serialised));
    vxpatch::InputStreamSet input;
    EXPECT_TRUE(input.InitFromBuffer(serialised.Buffer(), serialised.Length()));
    std::unique_ptr<EncodedProgram> read;
    return vxpatch::ReadEncodedProgram(&input, &read);
  };
  EXPECT_EQ(read_with(8, {}, 10), vxpatch::STATUS_OK);
  EXPECT_EQ(read_with(8, {}, 9), vxpatch::STATUS_OK);
  EXPECT_EQ(read_with(8, {0}, 10), vxpatch::STATUS_DESERIALIZATION_FAILED);
  EXPECT_EQ(read_with(3, {0}, 10), vxpatch::STATUS_DESERIALIZATION_FAILED);
  EXPECT_EQ(read_with(8, {}, 8), vxpatch::STATUS_DESERIALIZATION_FAILED);
  // Stream 9 is not part of the program and may hold anything.
  EXPECT_EQ(read_with(9, {1, 2}, 10), vxpatch::STATUS_OK);

  // A count larger than the stream could hold fails before allocating.
  vxpatch::OutputStreamSet set;
  set.Stream(1)->WriteUVarint(0xFFFFFFF0u);
  OutputStream serialised;
  ASSERT_TRUE(set.SerializeSet(&serialised));
  vxpatch::InputStreamSet input;
  ASSERT_TRUE(input.InitFromBuffer(serialised.Buffer(), serialised.Length()));
  std::unique_ptr<EncodedProgram> read;
  EXPECT_EQ(vxpatch::ReadEncodedProgram(&input, &read), vxpatch::STATUS_DESERIALIZATION_FAILED);
  EXPECT_FALSE(read);
}

// Damaged serialised programs: reading either refuses them or yields a
// program that assembles or refuses to; nothing reads or writes out of
// bounds (the sanitizer build checks).
TEST(EncodedProgramStreams, DamagedProgramsAreRefusedOrAssembleSafely) {
  EncodedProgram program;
  program.origins = {0x1000, 0x2000};
  program.rel32_rvas = {0x1100, 0x1200};
  program.abs32_rvas = {0x2100};
  program.ops = {vxpatch::OP_ORIGIN, vxpatch::OP_COPY,      vxpatch::OP_REL32,  vxpatch::OP_ELF_RELOCS,
                 vxpatch::OP_ORIGIN, vxpatch::OP_ABS32,     0x4321,             vxpatch::OP_COPY1,
                 0x1023,             0x3012,                vxpatch::OP_ABS32};
  program.copy_counts = {3};
  program.copy_bytes = {1, 2, 3, 4};
  program.rel32_ix = {1, 0, 1, 0};
  program.abs32_ix = {0, 0};
  vxpatch::OutputStreamSet set;
  ASSERT_EQ(vxpatch::WriteEncodedProgram(program, &set), vxpatch::STATUS_OK);
  OutputStream serialised;
  ASSERT_TRUE(set.SerializeSet(&serialised));
  const Bytes good(serialised.Buffer(), serialised.Buffer() + serialised.Length());

  std::mt19937 random(5);
  size_t assembled = 0;
  for (int i = 0; i < 20000; ++i) {
    Bytes damaged = good;
    const int flips = 1 + static_cast<int>(random() % 3);
    for (int f = 0; f < flips; ++f) damaged[random() % damaged.size()] = static_cast<uint8_t>(random());
    vxpatch::InputStreamSet input;
    if (!input.InitFromBuffer(damaged.data(), damaged.size())) continue;
    std::unique_ptr<EncodedProgram> read;
    if (vxpatch::ReadEncodedProgram(&input, &read) != vxpatch::STATUS_OK) {
      ASSERT_FALSE(read);
      continue;
    }
    OutputStream out;
    if (vxpatch::AssembleProgram(read.get(), &out) == vxpatch::STATUS_OK) ++assembled;
  }
  EXPECT_GT(assembled, 0u);
}

// Assembling from the streams where they lie gives what reading the program
// out and assembling it gives: the same status, the same bytes, for a PE and
// an ELF program (each with its relocation table) and thousands of damaged
// copies of them.
TEST(AssembleEncodedProgram, MatchesReadingThenAssembling) {
  EncodedProgram elf;
  elf.origins = {0x1000, 0x2000};
  elf.rel32_rvas = {0x1100, 0x1200};
  elf.abs32_rvas = {0x2100};
  elf.ops = {vxpatch::OP_ORIGIN,
             vxpatch::OP_COPY,
             vxpatch::OP_REL32,
             vxpatch::OP_ELF_RELOCS,
             vxpatch::OP_ORIGIN,
             vxpatch::OP_ABS32,
             0x4321,
             vxpatch::OP_COPY1,
             0x1023,
             0x3012,
             vxpatch::OP_ABS32};
  elf.copy_counts = {3};
  elf.copy_bytes = {1, 2, 3, 4};
  elf.rel32_ix = {1, 0, 1, 0};
  elf.abs32_ix = {0, 0};
  EncodedProgram pe = elf;
  pe.image_base = 0x400000;
  pe.ops = {vxpatch::OP_ABS32,  vxpatch::OP_COPY,  vxpatch::OP_PE_RELOCS, vxpatch::OP_COPY1,
            vxpatch::OP_ORIGIN, vxpatch::OP_ABS32, vxpatch::OP_REL32};
  pe.rel32_ix = {1};
  std::mt19937 random(11);
  for (const EncodedProgram* program : {&elf, &pe}) {
    vxpatch::OutputStreamSet set;
    ASSERT_EQ(vxpatch::WriteEncodedProgram(*program, &set), vxpatch::STATUS_OK);
    OutputStream serialised;
    ASSERT_TRUE(set.SerializeSet(&serialised));
    const Bytes good(serialised.Buffer(), serialised.Buffer() + serialised.Length());
    size_t assembled = 0;
    for (int i = 0; i < 5000; ++i) {
      Bytes input = good;
      const int flips = i == 0 ? 0 : 1 + static_cast<int>(random() % 3);
      for (int f = 0; f < flips; ++f) input[random() % input.size()] = static_cast<uint8_t>(random());
      vxpatch::InputStreamSet first;
      vxpatch::InputStreamSet second;
      if (!first.InitFromBuffer(input.data(), input.size())) continue;
      second.InitFromBuffer(input.data(), input.size());
      std::unique_ptr<EncodedProgram> read;
      vxpatch::Status expected = vxpatch::ReadEncodedProgram(&first, &read);
      OutputStream expected_bytes;
      if (expected == vxpatch::STATUS_OK) expected = vxpatch::AssembleProgram(read.get(), &expected_bytes);
      OutputStream bytes;
      ASSERT_EQ(vxpatch::AssembleEncodedProgram(&second, &bytes), expected) << "input " << i;
      if (expected != vxpatch::STATUS_OK) continue;
      ++assembled;
      ASSERT_EQ(Bytes(bytes.Buffer(), bytes.Buffer() + bytes.Length()),
                Bytes(expected_bytes.Buffer(), expected_bytes.Buffer() + expected_bytes.Length()))
          << "input " << i;
    }
    EXPECT_GT(assembled, 1u);
  }
}

// Writing the streams straight from a parsed program gives what encoding and
// writing the encoded program give, for random programs that mix every kind
// of instruction (copy runs of every shape included).
TEST(WriteProgramStreams, MatchesEncodingThenWriting) {
  const uint8_t data[16] = {9, 8, 7, 6, 5, 4, 3, 2, 1, 0, 11, 12, 13, 14, 15, 16};
  std::mt19937 random(3);
  for (int round = 0; round < 300; ++round) {
    ParsedProgram program;
    program.set_kind(round % 2 ? vxpatch::EXE_WIN_32_X86 : vxpatch::EXE_ELF_32_ARM);
    program.set_image_base(0x400000);
    program.set_file(data, sizeof data);
    for (int i = 0; i < 40; ++i) {
      switch (random() % 7) {
        case 0: program.EmitOrigin(static_cast<uint32_t>(random() % 0x10000)); break;
        case 1:
        case 2: program.EmitByte(static_cast<uint8_t>(random())); break;
        case 3: program.EmitBytes(data, random() % 16); break;
        case 4: program.EmitRel32(program.FindOrMakeRel32Label(static_cast<uint32_t>(random() % 64))); break;
        case 5: program.EmitAbs32(program.FindOrMakeAbs32Label(static_cast<uint32_t>(random() % 64))); break;
        default: program.EmitRel32Arm(0x3012, 4, data, program.FindOrMakeRel32Label(8)); break;
      }
    }
    if (round % 3 == 0) program.EmitPeRelocs();
    program.AssignDefaultIndexes();
    // Indexes other than the default ones, as label alignment gives them.
    const int32_t labels = static_cast<int32_t>(program.rel32_labels().size());
    if (round % 4 == 1)
      for (vxpatch::Label& label : program.rel32_labels()) label.index = labels - 1 - label.index;
    std::unique_ptr<EncodedProgram> encoded = vxpatch::EncodeProgram(program);
    ASSERT_TRUE(encoded);
    vxpatch::OutputStreamSet expected;
    ASSERT_EQ(vxpatch::WriteEncodedProgram(*encoded, &expected), vxpatch::STATUS_OK);
    vxpatch::OutputStreamSet direct;
    ASSERT_EQ(vxpatch::WriteProgramStreams(program, &direct), vxpatch::STATUS_OK);
    OutputStream a;
    OutputStream b;
    ASSERT_TRUE(expected.SerializeSet(&a) && direct.SerializeSet(&b));
    ASSERT_EQ(Bytes(b.Buffer(), b.Buffer() + b.Length()), Bytes(a.Buffer(), a.Buffer() + a.Length()))
        << "round " << round;
  }
}

// A program written for the last time gives its pages back as it goes and
// still writes the same streams; two million instructions are many pages.
TEST(WriteProgramStreams, GivingThePagesBackWritesTheSame) {
  const uint8_t data[64] = {1, 2, 3};
  auto make = [&data]() {
    std::unique_ptr<ParsedProgram> program(new ParsedProgram());
    program->set_file(data, sizeof data);
    for (uint32_t i = 0; i < 1000000; ++i) {
      EXPECT_TRUE(program->EmitBytes(data + i % 60, 1 + i % 3) && program->EmitRel32To(i % 5000 * 16));
    }
    EXPECT_TRUE(program->AssignDefaultIndexes());
    return program;
  };
  std::unique_ptr<ParsedProgram> kept = make();
  vxpatch::OutputStreamSet sets[2];
  ASSERT_EQ(vxpatch::WriteProgramStreams(*kept, &sets[0]), vxpatch::STATUS_OK);
  ASSERT_EQ(vxpatch::WriteProgramStreams(make(), &sets[1]), vxpatch::STATUS_OK);
  OutputStream a;
  OutputStream b;
  ASSERT_TRUE(sets[0].SerializeSet(&a) && sets[1].SerializeSet(&b));
  EXPECT_TRUE(a.Length() == b.Length() && std::equal(a.Buffer(), a.Buffer() + a.Length(), b.Buffer()));
}

// References named by rva and resolved at once give the labels, counts,
// indexes and streams that find-or-make per reference gives, also mixed
// with labels made directly and past the pending table's first growth.
TEST(WriteProgramStreams, PendingReferencesMatchFindOrMake) {
  const uint8_t data[4] = {1, 2, 3, 4};
  std::mt19937 random(5);
  ParsedProgram direct;
  ParsedProgram pending;
  direct.set_file(data, sizeof data);
  pending.set_file(data, sizeof data);
  for (uint32_t made : {0x30u, 0x5555u, 0x5560u, 0xFFFF0u}) {
    pending.FindOrMakeRel32Label(made);
    direct.FindOrMakeRel32Label(made);
  }
  for (int i = 0; i < 20000; ++i) {
    const uint32_t rva = static_cast<uint32_t>(random() % 3000) * 16;
    switch (random() % 4) {
      case 0:
        ASSERT_TRUE(direct.EmitRel32(direct.FindOrMakeRel32Label(rva)) && pending.EmitRel32To(rva));
        break;
      case 1:
        ASSERT_TRUE(direct.EmitAbs32(direct.FindOrMakeAbs32Label(rva)) && pending.EmitAbs32To(rva));
        break;
      case 2:
        ASSERT_TRUE(direct.EmitRel32Arm(0x3012, 4, data, direct.FindOrMakeRel32Label(rva)) &&
                    pending.EmitRel32ArmTo(0x3012, 4, data, rva));
        break;
      default:
        ASSERT_TRUE(direct.EmitBytes(data, 4) && pending.EmitBytes(data, 4));
        break;
    }
  }
  ASSERT_TRUE(direct.AssignDefaultIndexes() && pending.AssignDefaultIndexes());
  for (auto maps : {std::make_pair(&direct.rel32_labels(), &pending.rel32_labels()),
                    std::make_pair(&direct.abs32_labels(), &pending.abs32_labels())}) {
    ASSERT_EQ(maps.first->size(), maps.second->size());
    for (const vxpatch::Label& label : *maps.first) {
      const vxpatch::Label& other = maps.second->at(label.rva);
      EXPECT_EQ(other.index, label.index);
      EXPECT_EQ(other.count, label.count);
    }
  }
  vxpatch::OutputStreamSet sets[2];
  ASSERT_EQ(vxpatch::WriteProgramStreams(direct, &sets[0]), vxpatch::STATUS_OK);
  ASSERT_EQ(vxpatch::WriteProgramStreams(pending, &sets[1]), vxpatch::STATUS_OK);
  OutputStream a;
  OutputStream b;
  ASSERT_TRUE(sets[0].SerializeSet(&a) && sets[1].SerializeSet(&b));
  EXPECT_EQ(Bytes(b.Buffer(), b.Buffer() + b.Length()), Bytes(a.Buffer(), a.Buffer() + a.Length()));
}

TEST(AssembleProgram, WritesEveryOpAndAppends) {
  EncodedProgram program;
  program.image_base = 0x10000;
  program.origins = {0x1000};
  program.rel32_rvas = {0x1100};
  program.abs32_rvas = {0x2000};
  program.ops = {vxpatch::OP_ORIGIN, vxpatch::OP_COPY1, vxpatch::OP_REL32, vxpatch::OP_ABS32, vxpatch::OP_COPY};
  program.copy_bytes = {0xE8, 0xAA, 0xBB};
  program.copy_counts = {2};
  program.rel32_ix = {0};
  program.abs32_ix = {0};
  OutputStream out;
  out.WriteByte(0x55);
  ASSERT_EQ(vxpatch::AssembleProgram(&program, &out), vxpatch::STATUS_OK);
  const Bytes expected = Cat({{0x55, 0xE8}, Le32(0x1100 - (0x1001 + 4)), Le32(0x12000), {0xAA, 0xBB}});
  EXPECT_EQ(Bytes(out.Buffer(), out.Buffer() + out.Length()), expected);
  EXPECT_EQ(program.abs32_relocs, std::vector<uint32_t>({0x1005}));
}

TEST(AssembleProgram, RefusesMissingOutOfRangeAndLeftOverOperands) {
  vxpatch::Status status;
  EncodedProgram rel;
  rel.ops = {vxpatch::OP_REL32};
  rel.rel32_rvas = {1, 2};
  rel.rel32_ix = {2};  // equal to the size
  Assemble(&rel, &status);
  EXPECT_EQ(status, vxpatch::STATUS_ASSEMBLY_FAILED);
  rel.rel32_ix = {1};
  Assemble(&rel, &status);
  EXPECT_EQ(status, vxpatch::STATUS_OK);

  EncodedProgram abs;
  abs.ops = {vxpatch::OP_ABS32};
  abs.abs32_ix = {0};
  Assemble(&abs, &status);
  EXPECT_EQ(status, vxpatch::STATUS_ASSEMBLY_FAILED);

  EncodedProgram leftover;
  leftover.ops = {vxpatch::OP_COPY1};
  leftover.copy_bytes = {1, 2};
  Assemble(&leftover, &status);
  EXPECT_EQ(status, vxpatch::STATUS_ASSEMBLY_FAILED);

  EncodedProgram short_copy;
  short_copy.ops = {vxpatch::OP_COPY};
  short_copy.copy_counts = {3};
  short_copy.copy_bytes = {1, 2};
  Assemble(&short_copy, &status);
  EXPECT_EQ(status, vxpatch::STATUS_ASSEMBLY_FAILED);

  EncodedProgram no_origin;
  no_origin.ops = {vxpatch::OP_ORIGIN};
  Assemble(&no_origin, &status);
  EXPECT_EQ(status, vxpatch::STATUS_ASSEMBLY_FAILED);

  // Origins that are never used are fine.
  EncodedProgram spare_origin;
  spare_origin.origins = {1, 2};
  Assemble(&spare_origin, &status);
  EXPECT_EQ(status, vxpatch::STATUS_OK);

  EncodedProgram unknown;
  unknown.ops = {9};
  Assemble(&unknown, &status);
  EXPECT_EQ(status, vxpatch::STATUS_ASSEMBLY_FAILED);
}

TEST(AssembleProgram, AllowsOneRelocationTable) {
  vxpatch::Status status;
  for (uint32_t second : {vxpatch::OP_PE_RELOCS, vxpatch::OP_ELF_RELOCS, vxpatch::OP_ELF_ARM_RELOCS,
                          vxpatch::OP_PE64_RELOCS}) {
    EncodedProgram program;
    program.ops = {vxpatch::OP_ELF_RELOCS, second};
    Assemble(&program, &status);
    EXPECT_EQ(status, vxpatch::STATUS_ASSEMBLY_FAILED) << second;
  }
}

TEST(AssembleProgram, BuildsPeBlocksPerPage) {
  // abs32 values at 0x1000, 0x1004 and 0x2008, the table between the first
  // byte and the values.
  EncodedProgram program;
  program.origins = {0x1000, 0x1004, 0x2008};
  program.abs32_rvas = {0x40};
  program.ops = {vxpatch::OP_COPY1,  vxpatch::OP_PE_RELOCS, vxpatch::OP_ORIGIN, vxpatch::OP_ABS32,
                 vxpatch::OP_ORIGIN, vxpatch::OP_ABS32,     vxpatch::OP_ORIGIN, vxpatch::OP_ABS32};
  program.copy_bytes = {0xCC};
  program.abs32_ix = {0, 0, 0};
  vxpatch::Status status;
  const Bytes out = Assemble(&program, &status);
  ASSERT_EQ(status, vxpatch::STATUS_OK);
  const Bytes table = Cat({Le32(0x1000), Le32(12), {0x00, 0x30, 0x04, 0x30}, Le32(0x2000), Le32(12),
                           {0x08, 0x30, 0x00, 0x00}});
  EXPECT_EQ(out, Cat({{0xCC}, table, Le32(0x40), Le32(0x40), Le32(0x40)}));

  // PE32+ entries carry type 10; no abs32 value writes no table at all.
  program.ops[1] = vxpatch::OP_PE64_RELOCS;
  EXPECT_EQ(Assemble(&program, &status)[10], 0xA0);
  EncodedProgram empty;
  empty.ops = {vxpatch::OP_PE_RELOCS, vxpatch::OP_COPY1};
  empty.copy_bytes = {7};
  EXPECT_EQ(Assemble(&empty, &status), Bytes({7}));
}

TEST(AssembleProgram, BuildsElfTablesSortedExceptTheLastEntry) {
  EncodedProgram program;
  program.origins = {0x300, 0x100, 0x200};
  program.abs32_rvas = {0};
  program.ops = {vxpatch::OP_ELF_ARM_RELOCS, vxpatch::OP_ORIGIN, vxpatch::OP_ABS32, vxpatch::OP_ORIGIN,
                 vxpatch::OP_ABS32,         vxpatch::OP_ORIGIN, vxpatch::OP_ABS32};
  program.abs32_ix = {0, 0, 0};
  vxpatch::Status status;
  const Bytes out = Assemble(&program, &status);
  ASSERT_EQ(status, vxpatch::STATUS_OK);
  const Bytes table =
      Cat({Le32(0x100), Le32(23), Le32(0x300), Le32(23), Le32(0x200), Le32(23)});
  EXPECT_EQ(out, Cat({table, Le32(0), Le32(0), Le32(0)}));
}

// Byte runs and branches are kept as offsets into the parsed file: one that
// lies outside it, or a label id never made, is refused and adds nothing.
TEST(ParsedProgram, RefusesWhatItCannotPointAt) {
  const uint8_t file[8] = {};
  const uint8_t elsewhere[4] = {};
  ParsedProgram program;
  program.set_file(file, sizeof file);
  const uint32_t label = program.FindOrMakeRel32Label(0x40);
  EXPECT_FALSE(program.EmitBytes(elsewhere, 2));
  EXPECT_FALSE(program.EmitBytes(file + 6, 3));
  EXPECT_FALSE(program.EmitRel32ArmTo(0x3012, 4, file + 5, 0x40));
  EXPECT_FALSE(program.EmitRel32(label + 1));
  EXPECT_FALSE(program.EmitAbs32(0));
  EXPECT_TRUE(program.instructions().empty());
  EXPECT_EQ(program.rel32_labels().at(0x40).count, 1);
  ASSERT_TRUE(program.EmitBytes(file + 6, 2) && program.EmitRel32Arm(0x3012, 4, file + 4, label));
  EXPECT_EQ(program.Data(program.instructions()[1]), file + 4);
}

TEST(TrimLabels, TurnsRareArmBranchesBackIntoBytesAndKeepsOthers) {
  const uint8_t code[4] = {0x00, 0xF0, 0x00, 0xF8};
  ParsedProgram program;
  program.set_kind(vxpatch::EXE_ELF_32_ARM);
  program.set_file(code, sizeof code);
  const uint32_t rare = program.FindOrMakeRel32Label(0x100);
  for (int i = 0; i < 4; ++i) program.FindOrMakeRel32Label(0x100);  // 5 references
  const uint32_t common = program.FindOrMakeRel32Label(0x200);
  for (int i = 0; i < 5; ++i) program.FindOrMakeRel32Label(0x200);  // 6 references
  ASSERT_TRUE(program.EmitRel32Arm(0x4000, 4, code, rare));
  ASSERT_TRUE(program.EmitRel32Arm(0x4000, 4, code, common));
  ASSERT_TRUE(vxpatch::TrimLabels(&program));
  ASSERT_EQ(program.instructions().size(), 2u);
  EXPECT_EQ(program.instructions()[0].kind, vxpatch::INSN_BYTES);
  EXPECT_EQ(program.Data(program.instructions()[0]), code);
  EXPECT_EQ(program.instructions()[0].length, 4u);
  EXPECT_EQ(program.instructions()[1].kind, vxpatch::INSN_REL32ARM);
  EXPECT_EQ(program.rel32_labels().size(), 1u);
  EXPECT_EQ(program.rel32_labels().count(0x200), 1u);

  ParsedProgram broken;
  broken.set_kind(vxpatch::EXE_ELF_32_ARM);
  broken.set_file(code, sizeof code);
  ASSERT_TRUE(broken.EmitRel32Arm(0x1000, 0, code, broken.FindOrMakeRel32Label(4)));
  EXPECT_FALSE(vxpatch::TrimLabels(&broken));

  ParsedProgram x86;
  x86.set_kind(vxpatch::EXE_ELF_32_X86);
  x86.FindOrMakeRel32Label(4);
  EXPECT_TRUE(vxpatch::TrimLabels(&x86));
  EXPECT_EQ(x86.rel32_labels().size(), 1u);
}

// Every form: the value rebuilt from the op and the relative target is the
// instruction the scan saw, whatever the displacement and position.
TEST(ArmBranch, CompressionAndRebuildingAreExactInverses) {
  std::mt19937 random(20110216);
  struct Form {
    vxpatch::ArmBranchType type;
    uint32_t fixed_mask;
    uint32_t fixed_bits;
  };
  const Form forms[] = {
      {vxpatch::ARM_OFF8, 0xFFFFF000u, 0x0000D000u},
      {vxpatch::ARM_OFF11, 0xFFFFF800u, 0x0000E000u},
      {vxpatch::ARM_OFF24, 0x0E000000u, 0x0A000000u},
      {vxpatch::ARM_OFF25, 0xF8008000u, 0xF0008000u},   // needs bit 12 or 14, forced below
      {vxpatch::ARM_OFF21, 0xF800D000u, 0xF0008000u},
  };
  for (const Form& form : forms) {
    for (int i = 0; i < 20000; ++i) {
      uint32_t c = (random() & ~form.fixed_mask) | form.fixed_bits;
      if (form.type == vxpatch::ARM_OFF25 && (c & 0x5000u) == 0) c |= 0x1000u;
      const uint32_t rva = random() & ~1u;
      const vxpatch::CompressedArmBranch compressed = vxpatch::CompressArmBranch(form.type, c, rva);
      uint32_t rebuilt = 0;
      uint8_t size = 0;
      ASSERT_TRUE(vxpatch::RebuildArmBranch(compressed.op, compressed.relative_target, &rebuilt, &size));
      ASSERT_EQ(rebuilt, c) << "type " << int(form.type) << " rva " << rva;
      ASSERT_EQ(size, vxpatch::ArmOpSize(form.type));
    }
  }
  uint32_t value = 0;
  uint8_t size = 0;
  EXPECT_FALSE(vxpatch::RebuildArmBranch(0x6000, 0, &value, &size));
  EXPECT_FALSE(vxpatch::RebuildArmBranch(0x0800, 0, &value, &size));
}

TEST(ArmBranch, ThumbTwoHalvesAreStoredHighHalfFirst) {
  uint8_t out[4];
  vxpatch::StoreArmBranch(0x4000, 0xF123F845u, out);
  EXPECT_EQ(Bytes(out, out + 4), Bytes({0x23, 0xF1, 0x45, 0xF8}));
  vxpatch::StoreArmBranch(0x3000, 0xEB000010u, out);
  EXPECT_EQ(Bytes(out, out + 4), Bytes({0x10, 0x00, 0x00, 0xEB}));
}

}  // namespace
