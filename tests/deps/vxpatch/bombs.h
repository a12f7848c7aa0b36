// Hand-made bombs: small inputs that announce or expand to far more than
// their size. Shared by the limit tests, the tool tests and make_bombs (which
// writes them to files for memory measurements and fuzz seeds); the progress
// test makes its patch with the same ElementlessPatch.
#ifndef VXPATCH_TEST_BOMBS_H
#define VXPATCH_TEST_BOMBS_H

#include <cstdint>
#include <string>
#include <vector>

#include "checksum.h"
#include "container.h"
#include "lzmaioout.h"
#include "streams.h"
#include "vxdiff.h"
#include "vxpatch/ensemble_patch.h"
#include "vxpatch/packed_file.h"

namespace vxtest {

using Bytes = std::vector<uint8_t>;

inline Bytes BombContent(const vxpatch::OutputStream& stream) {
  return Bytes(stream.Buffer(), stream.Buffer() + stream.Length());
}

// One LZMA2 block of `size` zero bytes: about 0.2 KB per MiB.
inline Bytes ZeroBlock(size_t size) {
  const Bytes zeros(size);
  vxpatch::OutputStream out;
  vxpatch::WriteLzma2Block(zeros.data(), zeros.size(), &out);
  return BombContent(out);
}

// A valid plain container of `size` zero bytes, checksum and all.
inline Bytes ZeroContainer(size_t size) {
  const Bytes zeros(size);
  vxpatch::OutputStream out;
  vxpatch::PackPlainForm(zeros.data(), zeros.size(), vxpatch::ComputeChecksum(zeros.data(), zeros.size()), &out);
  return BombContent(out);
}

// A container whose block announces `claimed` bytes but holds a few thousand
// zero bytes (the announced size patched into a real block): 13 KB of input
// that claims up to 4 GiB.
inline Bytes ClaimingContainer(uint32_t claimed) {
  const Bytes block = ZeroBlock(4096);
  vxpatch::OutputStream out;
  out.WriteUVarint(vxpatch::kPackedFileMagic);
  out.WriteUVarint(0);
  out.WriteUVarint(vxpatch::DIRECTIVE_PLAIN);
  out.WriteByte(block[0]);
  out.WriteUVarint(claimed);
  // The real block's size varint (4096: two bytes) is replaced.
  out.Write(block.data() + 3, block.size() - 3);
  Bytes result = BombContent(out);
  // Padding, so that the input could in principle hold 4 GiB of LZMA2 chunks.
  result.resize(13 * 1024);
  return result;
}

// A split-method diff for a tiny output whose control section decodes to
// `control_size` zero bytes (a 95 KB input can expand to hundreds of MiB).
inline Bytes SplitDiffBomb(size_t control_size) {
  vxpatch::OutputStream out;
  out.WriteByte(vxpatch::DIFF_LZMA2_SPLIT);
  out.WriteUVarint(16);
  const Bytes control = ZeroBlock(control_size);
  const Bytes empty = ZeroBlock(0);
  out.Write(control.data(), control.size());
  out.Write(empty.data(), empty.size());
  out.Write(empty.data(), empty.size());
  return BombContent(out);
}

// A joined-method diff for a tiny output whose one block holds a control
// section of `control_size` zero bytes.
inline Bytes JoinedDiffBomb(size_t control_size) {
  vxpatch::OutputStream layout;
  layout.WriteSizeUVarint(control_size);
  layout.WriteUVarint(0);
  layout.WriteUVarint(0);
  const Bytes control(control_size);
  layout.Write(control.data(), control.size());
  vxpatch::OutputStream out;
  out.WriteByte(vxpatch::DIFF_LZMA2_JOINED);
  out.WriteUVarint(16);
  vxpatch::WriteLzma2Block(layout.Buffer(), layout.Length(), &out);
  return BombContent(out);
}

// The header of an ensemble patch for `old_file`, as the applier checks it
// before it decodes the body. Bombs name no new file (0 and 0).
inline void WriteEnsembleHeader(const Bytes& old_file, vxpatch::OutputStream* out, uint32_t new_checksum = 0,
                                uint32_t new_size = 0) {
  out->WriteUVarint(vxpatch::kEnsembleMagic);
  out->WriteUVarint(vxpatch::kEnsembleVersion);
  out->WriteUVarint(vxpatch::ComputeChecksum(old_file.data(), old_file.size()));
  out->WriteUVarint(new_checksum);
  out->WriteUVarint(new_size);
}

// An ensemble patch for `old_file` without elements: the corrections of
// parameters and elements keep the empty sets as they are, and
// `final_correction` (a diff: its method byte and what follows) makes the
// new file of `new_checksum` and `new_size` from the old one.
inline Bytes ElementlessPatch(const Bytes& old_file, const vxpatch::OutputStream& final_correction,
                              uint32_t new_checksum = 0, uint32_t new_size = 0) {
  vxpatch::OutputStream empty_set;
  vxpatch::OutputStreamSet().SerializeSet(&empty_set);
  vxpatch::OutputStream keep;
  vxpatch::InputStream old_set(empty_set);
  vxpatch::InputStream new_set(empty_set);
  vxpatch::CreateDiff(&old_set, &new_set, &keep, false, vxpatch::DIFF_RAW);
  vxpatch::OutputStreamSet body;
  body.SetCount(vxpatch::kEnsembleStreamCount);
  body.Stream(vxpatch::kElementDescriptions)->WriteUVarint(0);
  body.Stream(vxpatch::kParameterCorrection)->Write(keep.Buffer(), keep.Length());
  body.Stream(vxpatch::kElementCorrection)->Write(keep.Buffer(), keep.Length());
  body.Stream(vxpatch::kFinalCorrection)->Write(final_correction.Buffer(), final_correction.Length());
  vxpatch::OutputStream serialised;
  body.SerializeSet(&serialised);
  vxpatch::OutputStream out;
  WriteEnsembleHeader(old_file, &out, new_checksum, new_size);
  vxpatch::WriteLzma2Block(serialised.Buffer(), serialised.Length(), &out);
  return BombContent(out);
}

// An ensemble patch for `old_file` whose body decodes to `body_size` zero
// bytes (the header is right, so the body is the first thing decoded).
inline Bytes PatchBodyBomb(const Bytes& old_file, size_t body_size) {
  vxpatch::OutputStream out;
  WriteEnsembleHeader(old_file, &out);
  const Bytes body = ZeroBlock(body_size);
  out.Write(body.data(), body.size());
  return BombContent(out);
}

// An ensemble patch for `old_file` without elements whose final correction
// is a split diff for `new_size` bytes: three sections of `section_size`
// zero bytes each, so that every section alone may pass the limit of a
// diff's sections while together they would not.
inline Bytes CorrectionBomb(const Bytes& old_file, uint32_t new_size, size_t section_size) {
  vxpatch::OutputStream final_correction;
  final_correction.WriteByte(vxpatch::DIFF_LZMA2_SPLIT);
  final_correction.WriteUVarint(new_size);
  const Bytes section = ZeroBlock(section_size);
  for (int i = 0; i < 3; ++i) final_correction.Write(section.data(), section.size());
  return ElementlessPatch(old_file, final_correction);
}

// A container in the executable form holding one encoded program of `ops`
// rel32 ops: two bytes of payload each, four assembled bytes each (and, to
// an applier that expands the operand tables, eight bytes of tables each).
inline Bytes EncodedProgramBomb(uint32_t ops) {
  vxpatch::OutputStreamSet program;
  const Bytes rel32_ops(ops, 3);  // OP_REL32
  const Bytes zero_indexes(ops, 0);
  program.Stream(0)->WriteUVarint(0);  // image base
  program.Stream(0)->WriteUVarint(0);  // no origins
  program.Stream(1)->WriteUVarint(ops);
  program.Stream(1)->Write(rel32_ops.data(), rel32_ops.size());
  program.Stream(2)->WriteUVarint(0);  // no copy bytes
  program.Stream(3)->WriteUVarint(0);  // no abs32 indexes
  program.Stream(4)->WriteUVarint(ops);
  program.Stream(4)->Write(zero_indexes.data(), zero_indexes.size());
  program.Stream(5)->WriteUVarint(0);  // no abs32 labels
  program.Stream(6)->WriteUVarint(1);  // one rel32 label at 0
  program.Stream(6)->WriteUVarint(0);
  program.Stream(7)->WriteUVarint(0);  // no copy counts
  vxpatch::OutputStreamSet payload;
  payload.SetCount(2);
  program.SerializeSet(payload.Stream(0));
  const uint8_t empty_diff[] = {vxpatch::DIFF_RAW, 0, 0, 0, 0};
  payload.Stream(1)->Write(empty_diff, sizeof empty_diff);
  vxpatch::OutputStream serialised;
  payload.SerializeSet(&serialised);
  vxpatch::OutputStream out;
  out.WriteUVarint(vxpatch::kPackedFileMagic);
  out.WriteUVarint(0);
  out.WriteUVarint(vxpatch::DIRECTIVE_EXECUTABLE);
  vxpatch::WriteLzma2Block(serialised.Buffer(), serialised.Length(), &out);
  return BombContent(out);
}

}  // namespace vxtest

#endif  // VXPATCH_TEST_BOMBS_H
