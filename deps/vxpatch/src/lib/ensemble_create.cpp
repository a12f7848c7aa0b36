// Generation of ensemble patches.
//
// Two candidates are made and the smaller one that applies is kept (unless
// the caller asks for one of them, ensemble_create.h):
//  - the plain patch: zero elements, the final correction a diff of the two
//    files (for identical files the cheapest "no change" the format has, one
//    copy of the whole old file, so nothing else is tried);
//  - the element patch: when both files are executables of the same kind that
//    parse, one element (the old file's executable part), an identity
//    parameter correction, a diff from the old element's encoded program to
//    the new one's, and a final correction from the prediction buffer (old
//    file followed by the reassembled new element) to the new file.
// The new program's labels are numbered after the old program's (label
// alignment, paired through the plain diff's byte alignment), which the
// applier accepts because it only assembles what the correction yields.
// The old element is encoded exactly as the applier encodes it, and the kept
// patch is applied once in memory before it is handed out.
#include <algorithm>
#include <memory>
#include <new>
#include <vector>

#include "checksum.h"
#include "disassembler.h"
#include "encoded_program.h"
#include "ensemble_create.h"
#include "ensemble_patch.h"
#include "ensemble_patcher.h"
#include "label_alignment.h"
#include "lzmaioout.h"
#include "mapped_file.h"
#include "packed_file.h"
#include "vxdiff.h"

namespace vxpatch {

namespace {

// Corrections are stored raw: the whole body is compressed as one LZMA2
// block, which does better than compressing each diff on its own.
constexpr DiffMethod kCorrectionMethod = DIFF_RAW;

// Diff bytes are mostly zeros with scattered small values, whose best
// predictor is the byte before rather than its three top bits, and their runs
// follow no alignment: with the extreme search, one literal context bit and
// no position bits save 6 to 12 percent on library patches. The extreme
// search costs about twice the encoding time, so it is kept to bodies that
// encode in seconds.
constexpr size_t kExtremeBodyLimit = size_t{16} << 20;

Lzma2Tuning BodyTuning(size_t length) {
  Lzma2Tuning tuning;
  if (length <= kExtremeBodyLimit) {
    tuning.extreme = true;
    tuning.literal_context_bits = 1;
    tuning.position_bits = 0;
  }
  return tuning;
}

struct Element {
  ExecutableKind kind = EXE_UNKNOWN;
  uint32_t offset = 0;
  uint32_t length = 0;
};

struct Bytes {
  const uint8_t* data;
  size_t length;
};

// The whole file as one element, parsed and trimmed as the applier does.
bool ParseElement(Bytes file, Element* element, std::unique_ptr<ParsedProgram>* program) {
  ExecutableKind kind = EXE_UNKNOWN;
  size_t length = 0;
  if (DetectExecutable(file.data, file.length, &kind, &length) != STATUS_OK) return false;
  if (length == 0 || length > UINT32_MAX) return false;
  if (ParseExecutable(file.data, length, program) != STATUS_OK) return false;
  if (!TrimLabels(program->get())) return false;
  element->kind = kind;
  element->offset = 0;
  element->length = static_cast<uint32_t>(length);
  return true;
}

bool Diff(const uint8_t* old_data, size_t old_length, const uint8_t* new_data, size_t new_length,
          OutputStream* diff) {
  InputStream old_stream(old_data, old_length);
  InputStream new_stream(new_data, new_length);
  return CreateDiff(&old_stream, &new_stream, diff, false, kCorrectionMethod);
}

// The serialised set of transformed elements holding one program, as the
// applier builds it from the old element.
Status SerialiseProgram(const ParsedProgram& program, OutputStream* serialised) {
  std::unique_ptr<EncodedProgram> encoded = EncodeProgram(program);
  if (!encoded) return STATUS_GENERAL_ERROR;
  OutputStreamSet single, transformed;
  const Status status = WriteEncodedProgram(*encoded, &single);
  if (status != STATUS_OK) return status;
  if (!transformed.WriteSet(&single) || !transformed.SerializeSet(serialised)) return STATUS_STREAM_ERROR;
  return STATUS_OK;
}

// The serialised set of `count` empty nested sets: the predicted parameters
// of `count` elements, and for count 0 also the transforms of no element.
bool EmptySets(size_t count, OutputStream* serialised) {
  OutputStreamSet outer;
  for (size_t i = 0; i < count; ++i) {
    OutputStreamSet single;
    if (!outer.WriteSet(&single)) return false;
  }
  return outer.SerializeSet(serialised);
}

bool IdentityDiff(const OutputStream& of, OutputStream* diff) {
  return Diff(of.Buffer(), of.Length(), of.Buffer(), of.Length(), diff);
}

const char* const kBodyStreamNames[kEnsembleStreamCount] = {"element descriptions", "parameter correction",
                                                            "element correction", "final correction"};
const char* const kProgramStreamNames[8] = {"  origins",         "  ops",           "  copy bytes",
                                            "  abs32 indexes",   "  rel32 indexes", "  abs32 addresses",
                                            "  rel32 addresses", "  copy counts"};

size_t CompressedSize(const uint8_t* data, size_t length) {
  OutputStream compressed;
  return WriteLzma2Block(data, length, &compressed, BodyTuning(length)) ? compressed.Length() : 0;
}

// What each table of the encoded program costs inside the element
// correction: the diff of that table alone, compressed alone.
void ProgramParts(const OutputStream& old_programs, const OutputStream& new_programs,
                  std::vector<EnsemblePatchPart>* parts) {
  InputStreamSet old_outer, new_outer, old_set, new_set;
  if (!old_outer.InitFromBuffer(old_programs.Buffer(), old_programs.Length()) ||
      !new_outer.InitFromBuffer(new_programs.Buffer(), new_programs.Length()) ||
      !old_outer.ReadSet(&old_set) || !new_outer.ReadSet(&new_set))
    return;
  for (size_t i = 0; i < 8; ++i) {
    InputStream* old_stream = old_set.Stream(i);
    InputStream* new_stream = new_set.Stream(i);
    OutputStream diff;
    if (!Diff(old_stream->Current(), old_stream->Remaining(), new_stream->Current(), new_stream->Remaining(),
              &diff))
      continue;
    parts->push_back(
        {kProgramStreamNames[i], new_stream->Remaining(), CompressedSize(diff.Buffer(), diff.Length())});
  }
}

// Header and body of a patch from its corrections (which are consumed). The
// body is compressed densely, or quickly and kept in `kept_body` for a dense
// second try (Densify).
Status WritePatch(Bytes old_file, Bytes new_file, const std::vector<Element>& elements,
                  OutputStream* element_correction, size_t prediction_length, OutputStream* final_correction,
                  OutputStream* patch, std::vector<EnsemblePatchPart>* parts, OutputStream* kept_body,
                  size_t* header_length) {
  if (prediction_length > UINT32_MAX) return STATUS_GENERAL_ERROR;
  OutputStreamSet body;
  body.SetCount(kEnsembleStreamCount);
  OutputStream* descriptions = body.Stream(kElementDescriptions);
  if (!descriptions->WriteSizeUVarint(elements.size())) return STATUS_STREAM_ERROR;
  for (const Element& element : elements) {
    if (!descriptions->WriteUVarint(static_cast<uint32_t>(element.kind))) return STATUS_STREAM_ERROR;
  }
  for (const Element& element : elements) {
    if (!descriptions->WriteUVarint(element.offset) || !descriptions->WriteUVarint(element.length))
      return STATUS_STREAM_ERROR;
  }
  // Parameters: every element predicts an empty set, and the correction
  // keeps it so.
  OutputStream parameters;
  if (!EmptySets(elements.size(), &parameters) ||
      !IdentityDiff(parameters, body.Stream(kParameterCorrection)))
    return STATUS_STREAM_ERROR;
  if (!body.Stream(kElementCorrection)->Append(element_correction) ||
      !body.Stream(kFinalCorrection)->Append(final_correction))
    return STATUS_STREAM_ERROR;
  if (parts) {
    std::vector<EnsemblePatchPart> body_parts;
    for (size_t i = 0; i < kEnsembleStreamCount; ++i) {
      const OutputStream* stream = body.Stream(i);
      body_parts.push_back(
          {kBodyStreamNames[i], stream->Length(), CompressedSize(stream->Buffer(), stream->Length())});
    }
    // The element correction's own breakdown, if any, follows its line.
    parts->insert(parts->begin(), body_parts.begin(), body_parts.begin() + kFinalCorrection);
    parts->push_back(body_parts[kFinalCorrection]);
  }

  OutputStream serialised_body;
  if (!body.SerializeSet(&serialised_body)) return STATUS_STREAM_ERROR;
  const bool header_ok = patch->WriteUVarint(kEnsembleMagic) && patch->WriteUVarint(kEnsembleVersion) &&
                         patch->WriteUVarint(ComputeChecksum(old_file.data, old_file.length)) &&
                         patch->WriteUVarint(ComputeChecksum(new_file.data, new_file.length)) &&
                         patch->WriteSizeUVarint(prediction_length);
  if (!header_ok) return STATUS_STREAM_ERROR;
  if (header_length) *header_length = patch->Length();
  const Lzma2Tuning tuning = kept_body ? Lzma2Tuning() : BodyTuning(serialised_body.Length());
  if (!WriteLzma2Block(serialised_body.Buffer(), serialised_body.Length(), patch, tuning))
    return STATUS_STREAM_ERROR;
  if (kept_body && !kept_body->Append(&serialised_body)) return STATUS_STREAM_ERROR;
  return STATUS_OK;
}

struct Candidate {
  Status status = STATUS_GENERAL_ERROR;
  OutputStream patch;
  size_t elements = 0;
  std::vector<EnsemblePatchPart> parts;
  OutputStream body;  // the plain patch's serialised body, until Densify
  size_t header_length = 0;
};

// The plain patch is first compressed quickly: the dense search costs more
// than the rest of a plain patch and only pays when that patch is kept.
void Densify(Candidate* candidate) {
  if (candidate->status != STATUS_OK || candidate->body.Length() == 0) return;
  OutputStream dense;
  if (dense.Write(candidate->patch.Buffer(), candidate->header_length) &&
      WriteLzma2Block(candidate->body.Buffer(), candidate->body.Length(), &dense,
                      BodyTuning(candidate->body.Length())) &&
      dense.Length() < candidate->patch.Length()) {
    candidate->patch.Retire();
    candidate->patch.Append(&dense);
  }
  candidate->body.Retire();
}

// The patch without elements; `plain_diff` (old file to new file) is consumed.
void PlainPatch(Bytes old_file, Bytes new_file, OutputStream* plain_diff, Candidate* candidate,
                bool with_parts) {
  OutputStream transforms, element_correction;
  if (!EmptySets(0, &transforms) || !IdentityDiff(transforms, &element_correction)) {
    candidate->status = STATUS_STREAM_ERROR;
    return;
  }
  candidate->status =
      WritePatch(old_file, new_file, {}, &element_correction, old_file.length, plain_diff, &candidate->patch,
                 with_parts ? &candidate->parts : nullptr, &candidate->body, &candidate->header_length);
}

// The final correction of an element patch. The reassembled element behind
// the old file in the prediction is the new file's element byte for byte, so
// when the element is the whole new file the correction is one skip over the
// old file and one copy of the element, made without searching anything.
bool FinalCorrection(Bytes old_file, Bytes new_file, const OutputStream& prediction,
                     OutputStream* correction) {
  const size_t element_length = prediction.Length() - old_file.length;
  const bool whole =
      element_length == new_file.length && old_file.length <= INT32_MAX && element_length <= INT32_MAX &&
      std::equal(new_file.data, new_file.data + new_file.length, prediction.Buffer() + old_file.length);
  if (!whole)
    return Diff(prediction.Buffer(), prediction.Length(), new_file.data, new_file.length, correction);
  OutputStream control;
  if (!control.WriteSVarint(0) || !control.WriteSVarint(0) ||
      !control.WriteSVarint(static_cast<int32_t>(old_file.length)) ||
      !control.WriteSVarint(static_cast<int32_t>(element_length)) || !control.WriteSVarint(0) ||
      !control.WriteSVarint(0))
    return false;
  const std::vector<uint8_t> zeros(element_length, 0);
  return correction->WriteByte(DIFF_RAW) && correction->WriteSizeUVarint(new_file.length) &&
         correction->WriteSizeUVarint(control.Length()) && correction->WriteSizeUVarint(element_length) &&
         correction->WriteUVarint(0) && correction->Append(&control) &&
         correction->Write(zeros.data(), zeros.size());
}

// A pair of elements, parsed and trimmed as the applier does.
struct ElementPair {
  Element old_element, new_element;
  std::unique_ptr<ParsedProgram> old_program, new_program;
};

bool FindElementPair(Bytes old_file, Bytes new_file, ElementPair* pair) {
  return ParseElement(new_file, &pair->new_element, &pair->new_program) &&
         ParseElement(old_file, &pair->old_element, &pair->old_program) &&
         pair->old_element.kind == pair->new_element.kind;
}

void ElementPatch(Bytes old_file, Bytes new_file, ElementPair* pair, const std::vector<AlignedRange>& ranges,
                  Candidate* candidate, LabelAlignmentStats* labels, bool with_parts) {
  const Element old_element = pair->old_element;
  std::unique_ptr<ParsedProgram> old_program = std::move(pair->old_program);
  std::unique_ptr<ParsedProgram> new_program = std::move(pair->new_program);
  OutputStream old_programs, new_programs;
  Status status = SerialiseProgram(*old_program, &old_programs);
  if (status != STATUS_OK) return;
  AlignLabelIndexes(*old_program, old_file.data, old_element.length, new_program.get(), new_file.data,
                    pair->new_element.length, ranges, labels);
  old_program.reset();
  status = SerialiseProgram(*new_program, &new_programs);
  new_program.reset();
  if (status != STATUS_OK) return;
  OutputStream element_correction;
  if (!Diff(old_programs.Buffer(), old_programs.Length(), new_programs.Buffer(), new_programs.Length(),
            &element_correction))
    return;
  if (with_parts) ProgramParts(old_programs, new_programs, &candidate->parts);
  old_programs.Retire();

  // Prediction: the old file, then the new program reassembled exactly as
  // the applier will reassemble it from the corrected set.
  OutputStream prediction;
  if (!prediction.Write(old_file.data, old_file.length)) return;
  InputStreamSet programs, nested;
  if (!programs.InitFromBuffer(new_programs.Buffer(), new_programs.Length()) || !programs.ReadSet(&nested))
    return;
  PatcherX86_32 reformer(old_file.data, old_file.length);
  if (reformer.Reform(&nested, &prediction) != STATUS_OK) return;
  new_programs.Retire();
  OutputStream final_correction;
  if (!FinalCorrection(old_file, new_file, prediction, &final_correction)) return;
  const size_t prediction_length = prediction.Length();
  prediction.Retire();
  candidate->elements = 1;
  candidate->status =
      WritePatch(old_file, new_file, {old_element}, &element_correction, prediction_length, &final_correction,
                 &candidate->patch, with_parts ? &candidate->parts : nullptr, nullptr, nullptr);
}

bool Reproduces(Bytes old_file, Bytes new_file, const OutputStream& patch) {
  InputStream old_stream(old_file.data, old_file.length);
  InputStream patch_stream(patch);
  OutputStream result;
  // Applied under the limit the updater sets (the new file's size), so that
  // a patch is only written when installed updaters take it.
  if (ApplyEnsemblePatch(&old_stream, &patch_stream, &result, new_file.length) != STATUS_OK) return false;
  return result.Length() == new_file.length &&
         (new_file.length == 0 ||
          std::equal(new_file.data, new_file.data + new_file.length, result.Buffer()));
}

Status Create(InputStream* old_file, InputStream* new_file, OutputStream* patch, PatchChoice choice,
              EnsemblePatchStats* stats) {
  const Bytes old_bytes{old_file->Current(), old_file->Remaining()};
  const Bytes new_bytes{new_file->Current(), new_file->Remaining()};
  const bool with_parts = stats != nullptr;
  const bool identical = old_bytes.length == new_bytes.length &&
                         (old_bytes.length == 0 ||
                          std::equal(old_bytes.data, old_bytes.data + old_bytes.length, new_bytes.data));
  // Identical files: nothing beats the plain patch's single copy.
  const bool try_elements =
      choice == PatchChoice::kElements || (choice == PatchChoice::kSmallest && !identical);

  // The plain patch is always made: it is the fallback of every choice, and
  // its diff's ranges are the byte alignment that pairs the labels.
  OutputStream plain_diff;
  if (!Diff(old_bytes.data, old_bytes.length, new_bytes.data, new_bytes.length, &plain_diff))
    return STATUS_GENERAL_ERROR;
  ElementPair pair;
  std::vector<AlignedRange> ranges;
  const bool paired = try_elements && FindElementPair(old_bytes, new_bytes, &pair) &&
                      AlignedRangesOfDiff(plain_diff.Buffer(), plain_diff.Length(), &ranges);
  Candidate plain, element;
  LabelAlignmentStats labels;
  PlainPatch(old_bytes, new_bytes, &plain_diff, &plain, with_parts);
  if (paired) ElementPatch(old_bytes, new_bytes, &pair, ranges, &element, &labels, with_parts);

  // Dense compression takes at most about an eighth off, so a plain patch
  // more than a fifth larger than the element patch stays as it is.
  if (element.status != STATUS_OK || plain.patch.Length() * 5 < element.patch.Length() * 6) Densify(&plain);
  plain.body.Retire();

  // In order of preference (the asked-for kind first, then the smaller); a
  // candidate that does not reproduce the new file is passed over.
  std::vector<Candidate*> order;
  for (Candidate* candidate : {&element, &plain}) {
    if (candidate->status == STATUS_OK) order.push_back(candidate);
  }
  std::stable_sort(order.begin(), order.end(), [choice](const Candidate* a, const Candidate* b) {
    if (choice != PatchChoice::kSmallest && (a->elements > 0) != (b->elements > 0))
      return (a->elements > 0) == (choice == PatchChoice::kElements);
    return a->patch.Length() < b->patch.Length();
  });
  for (Candidate* candidate : order) {
    if (!Reproduces(old_bytes, new_bytes, candidate->patch)) continue;
    if (stats) {
      stats->patch_bytes = candidate->patch.Length();
      stats->element_patch_bytes = element.status == STATUS_OK ? element.patch.Length() : 0;
      stats->plain_patch_bytes = plain.status == STATUS_OK ? plain.patch.Length() : 0;
      stats->elements = candidate->elements;
      stats->labels = labels;
      stats->parts = candidate->parts;
    }
    if (!patch->Append(&candidate->patch)) return STATUS_STREAM_ERROR;
    old_file->Skip(old_file->Remaining());
    new_file->Skip(new_file->Remaining());
    return STATUS_OK;
  }
  return plain.status != STATUS_OK ? plain.status : STATUS_GENERAL_ERROR;
}

}  // namespace

Status CreateEnsemblePatch(InputStream* old_file, InputStream* new_file, OutputStream* patch,
                           PatchChoice choice, EnsemblePatchStats* stats) {
  try {
    return Create(old_file, new_file, patch, choice, stats);
  } catch (const std::bad_alloc&) {
    return STATUS_STREAM_ERROR;
  }
}

Status CreateEnsemblePatch(InputStream* old_file, InputStream* new_file, OutputStream* patch) {
  return CreateEnsemblePatch(old_file, new_file, patch, PatchChoice::kSmallest, nullptr);
}

Status CreateEnsemblePatch(const oschar* old_path, const oschar* new_path, const oschar* patch_path) {
  MappedFile old_file, new_file;
  if (!old_file.Open(old_path) && !old_file.OpenedEmpty()) return STATUS_READ_ERROR;
  if (!new_file.Open(new_path) && !new_file.OpenedEmpty()) return STATUS_READ_ERROR;
  InputStream old_stream(old_file.Data(), old_file.Length());
  InputStream new_stream(new_file.Data(), new_file.Length());
  OutputStream patch;
  const Status status = CreateEnsemblePatch(&old_stream, &new_stream, &patch);
  if (status != STATUS_OK) return status;
  if (!WriteWholeFile(patch_path, patch.Buffer(), patch.Length())) return STATUS_READ_ERROR;
  return STATUS_OK;
}

}  // namespace vxpatch
