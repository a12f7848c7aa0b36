// Generation of ensemble patches.
//
// Two candidates are weighed and the smaller one that applies is kept
// (unless the caller asks for one of them, ensemble_create.h):
//  - the plain patch: zero elements, the final correction a diff of the two
//    files (for identical files the cheapest "no change" the format has, one
//    copy of the whole old file, so nothing else is tried); it is compressed
//    densely only when a quick compression says it may win;
//  - the element patch: when both files are executables of the same kind that
//    parse, one element (the old file's executable part), an identity
//    parameter correction, a diff from the old element's encoded program to
//    the new one's, and a final correction from the prediction buffer (old
//    file followed by the reassembled new element) to the new file.
// The new program's labels are numbered after the old program's (label
// alignment, paired through the plain diff's byte alignment), which the
// applier accepts because it only assembles what the correction yields.
// The old element is encoded exactly as the applier encodes it, each program
// is parsed and encoded once, and the kept patch is applied once in memory
// before it is handed out.
#include <lzma.h>

#include <algorithm>
#include <cstdint>
#include <memory>
#include <new>
#include <vector>

#include "checksum.h"
#include "element_matching.h"
#include "encoded_program.h"
#include "ensemble_patcher.h"
#include "executable_detection.h"
#include "label_alignment.h"
#include "lzmaioout.h"
#include "mapped_file.h"
#include "output_file.h"
#include "vxdiff.h"
#include "vxpatch/ensemble_create.h"
#include "vxpatch/ensemble_patch.h"
#include "vxpatch/packed_file.h"

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
// encode in seconds. Their dictionary is held to 1 MiB: the encoder needs
// about ten bytes per dictionary byte, and on library patches a dictionary
// of the whole body saves 0.1 percent.
// Pieces primed with a quarter piece (more than that dictionary) see every
// match the whole block would see, and lose only the adapted probabilities,
// a few hundred bytes per piece: such bodies are split only from 12 MiB on.
constexpr size_t kExtremeBodyLimit = size_t{16} << 20;
constexpr uint32_t kExtremeBodyDictionary = uint32_t{1} << 20;
constexpr size_t kExtremeBodyPiece = size_t{6} << 20;
// Larger bodies keep a dictionary of 8 MiB rather than one of the whole
// body (up to 64 MiB): the applier decodes through a window of the
// dictionary's size, all of whose pages it touches, and the encoder holds
// ten bytes per dictionary byte, while on the pairs of bench/run-patch
// whose bodies are that large the larger dictionary saves nothing on the
// libraries of 9 to 32 MB and the omni.ja archives (at most 0.01 percent
// either way) and 0.5 percent on libxul across a major release (41.3 MB
// instead of 41.5), whose window it would make 64 MiB.
constexpr uint32_t kBodyDictionary = uint32_t{8} << 20;

Lzma2Tuning BodyTuning(size_t length, ThreadBudget* threads = nullptr) {
  Lzma2Tuning tuning;
  tuning.threads = threads;
  tuning.dictionary_limit = kBodyDictionary;
  if (length <= kExtremeBodyLimit) {
    tuning.dictionary_limit = kExtremeBodyDictionary;
    tuning.extreme = true;
    tuning.literal_context_bits = 1;
    tuning.position_bits = 0;
    tuning.piece_bytes = kExtremeBodyPiece;
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
          OutputStream* diff, const DiffTuning& tuning = DiffTuning()) {
  InputStream old_stream(old_data, old_length);
  InputStream new_stream(new_data, new_length);
  return CreateDiff(&old_stream, &new_stream, diff, false, kCorrectionMethod, tuning);
}

// The element correction across a big change (see DiffTuning): on a browser
// library two major versions apart, 16.6 of its 51.6 MB were control
// triples, most of them for chance matches of 9 to 30 bytes.
DiffTuning BigChangeTuning() {
  DiffTuning tuning;
  tuning.match_advantage = 32;
  tuning.mismatch_cost = 3;
  return tuning;
}

// The serialised set of transformed elements holding one program, as the
// applier builds it from the old element; `encoded`, if given, keeps the
// program for assembly.
Status SerialiseProgram(const ParsedProgram& program, OutputStream* serialised,
                        std::unique_ptr<EncodedProgram>* encoded_out) {
  std::unique_ptr<EncodedProgram> encoded = EncodeProgram(program);
  if (!encoded) return STATUS_GENERAL_ERROR;
  OutputStreamSet single, transformed;
  const Status status = WriteEncodedProgram(*encoded, &single);
  if (status != STATUS_OK) return status;
  if (!transformed.WriteSet(&single) || !transformed.SerializeSet(serialised)) return STATUS_STREAM_ERROR;
  if (encoded_out) *encoded_out = std::move(encoded);
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
void ProgramParts(const OutputStream& old_programs, const OutputStream& new_programs, const DiffTuning& tuning,
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
              &diff, tuning))
      continue;
    parts->push_back(
        {kProgramStreamNames[i], new_stream->Remaining(), CompressedSize(diff.Buffer(), diff.Length())});
  }
}

// The serialised body of a patch from its corrections (which are consumed).
Status SerialiseBody(const std::vector<Element>& elements, OutputStream* element_correction,
                     OutputStream* final_correction, std::vector<EnsemblePatchPart>* parts,
                     OutputStream* serialised) {
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
  element_correction->Retire();
  final_correction->Retire();
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
  return body.SerializeSet(serialised) ? STATUS_OK : STATUS_STREAM_ERROR;
}

// Header and densely compressed body.
Status WritePatch(Bytes old_file, Bytes new_file, size_t prediction_length, const OutputStream& body,
                  ThreadBudget* threads, OutputStream* patch) {
  if (prediction_length > UINT32_MAX) return STATUS_GENERAL_ERROR;
  const bool header_ok = patch->WriteUVarint(kEnsembleMagic) && patch->WriteUVarint(kEnsembleVersion) &&
                         patch->WriteUVarint(ComputeChecksum(old_file.data, old_file.length)) &&
                         patch->WriteUVarint(ComputeChecksum(new_file.data, new_file.length)) &&
                         patch->WriteSizeUVarint(prediction_length);
  if (!header_ok) return STATUS_STREAM_ERROR;
  return WriteLzma2Block(body.Buffer(), body.Length(), patch, BodyTuning(body.Length(), threads))
             ? STATUS_OK
             : STATUS_STREAM_ERROR;
}

struct Candidate {
  Status status = STATUS_GENERAL_ERROR;
  OutputStream patch;
  size_t elements = 0;
  std::vector<EnsemblePatchPart> parts;
};

// What `body` compresses to at a fast setting, counted up to just past
// `bound` (the output itself is never kept). That costs about a seventh of
// the dense compression, and the quick sizes of two bodies of the same pair
// of files rank them as their dense sizes do: on the library pairs of
// bench/run-patch the ratio of the dense sizes of the plain and the element
// patch lay between 0.80 and 1.01 times the ratio of their quick sizes
// (the fast setting rates the plain patch's literals worse), and the
// closest pair, a major version 0.7 percent apart, ranked alike.
size_t QuickSize(const OutputStream& body, size_t bound = SIZE_MAX) {
  lzma_options_lzma options;
  if (lzma_lzma_preset(&options, 1)) return 0;
  options.lc = 1;
  options.pb = 0;
  options.dict_size = kExtremeBodyDictionary;
  lzma_filter filters[2] = {{LZMA_FILTER_LZMA2, &options}, {LZMA_VLI_UNKNOWN, nullptr}};
  lzma_stream stream = LZMA_STREAM_INIT;
  if (lzma_raw_encoder(&stream, filters) != LZMA_OK) return 0;  // no estimate: let it compete
  uint8_t chunk[1 << 16];
  stream.next_in = body.Buffer();
  stream.avail_in = body.Length();
  size_t produced = 0;
  lzma_ret result = LZMA_OK;
  while (result == LZMA_OK && produced <= bound) {
    stream.next_out = chunk;
    stream.avail_out = sizeof chunk;
    result = lzma_code(&stream, LZMA_FINISH);
    produced += sizeof chunk - stream.avail_out;
  }
  lzma_end(&stream);
  return result == LZMA_OK || result == LZMA_STREAM_END ? produced : 0;
}

// The patch without elements from its serialised body.
void PlainPatch(Bytes old_file, Bytes new_file, const OutputStream& body, ThreadBudget* threads,
                Candidate* candidate) {
  candidate->status = WritePatch(old_file, new_file, old_file.length, body, threads, &candidate->patch);
}

// The serialised body of the plain patch; `plain_diff` (old file to new
// file) is consumed.
Status PlainBody(OutputStream* plain_diff, std::vector<EnsemblePatchPart>* parts, OutputStream* body) {
  OutputStream transforms, element_correction;
  if (!EmptySets(0, &transforms) || !IdentityDiff(transforms, &element_correction))
    return STATUS_STREAM_ERROR;
  return SerialiseBody({}, &element_correction, plain_diff, parts, body);
}

// The final correction of an element patch, whose prediction is the old
// file followed by `element` (the reassembled new element). When that is the
// whole new file byte for byte, the correction is one skip over the old file
// and one copy of the element, made without searching anything (and without
// building the prediction).
bool FinalCorrection(Bytes old_file, Bytes new_file, const OutputStream& element, OutputStream* correction) {
  const size_t element_length = element.Length();
  const bool whole = element_length == new_file.length && old_file.length <= INT32_MAX &&
                     element_length <= INT32_MAX &&
                     std::equal(new_file.data, new_file.data + new_file.length, element.Buffer());
  if (!whole) {
    OutputStream prediction;
    if (!prediction.Reserve(old_file.length + element_length) ||
        !prediction.Write(old_file.data, old_file.length) ||
        !prediction.Write(element.Buffer(), element_length))
      return false;
    return Diff(prediction.Buffer(), prediction.Length(), new_file.data, new_file.length, correction);
  }
  OutputStream control;
  if (!control.WriteSVarint(0) || !control.WriteSVarint(0) ||
      !control.WriteSVarint(static_cast<int32_t>(old_file.length)) ||
      !control.WriteSVarint(static_cast<int32_t>(element_length)) || !control.WriteSVarint(0) ||
      !control.WriteSVarint(0))
    return false;
  if (!correction->WriteByte(DIFF_RAW) || !correction->WriteSizeUVarint(new_file.length) ||
      !correction->WriteSizeUVarint(control.Length()) || !correction->WriteSizeUVarint(element_length) ||
      !correction->WriteUVarint(0) || !correction->Append(&control) ||
      !correction->EnsureSpare(element_length))
    return false;
  std::fill_n(correction->Spare(), element_length, uint8_t{0});
  return correction->Commit(element_length);
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

// `quick_size`, if given, receives the body's QuickSize.
void ElementPatch(Bytes old_file, Bytes new_file, ElementPair* pair, const std::vector<AlignedRange>& ranges,
                  const DiffTuning& tuning, ThreadBudget* threads, Candidate* candidate,
                  LabelAlignmentStats* labels, bool with_parts, size_t* quick_size) {
  const Element old_element = pair->old_element;
  std::unique_ptr<ParsedProgram> old_program = std::move(pair->old_program);
  std::unique_ptr<ParsedProgram> new_program = std::move(pair->new_program);
  // The old program is serialised while the new one is aligned to it and
  // serialised (both only read the old program).
  OutputStream old_programs, new_programs;
  std::unique_ptr<EncodedProgram> encoded;
  Status old_status = STATUS_GENERAL_ERROR, new_status = STATUS_GENERAL_ERROR;
  RunBeside(
      threads, [&] { old_status = SerialiseProgram(*old_program, &old_programs, nullptr); },
      [&] {
        AlignLabelIndexes(*old_program, old_file.data, old_element.length, new_program.get(), new_file.data,
                          pair->new_element.length, ranges, labels);
        new_status = SerialiseProgram(*new_program, &new_programs, &encoded);
      });
  old_program.reset();
  new_program.reset();
  if (old_status != STATUS_OK || new_status != STATUS_OK) return;
  OutputStream element_correction;
  DiffTuning scan_tuning = tuning;
  scan_tuning.threads = threads;
  if (!Diff(old_programs.Buffer(), old_programs.Length(), new_programs.Buffer(), new_programs.Length(),
            &element_correction, scan_tuning))
    return;
  if (with_parts) ProgramParts(old_programs, new_programs, tuning, &candidate->parts);
  old_programs.Retire();
  new_programs.Retire();

  // The new element as the applier will reassemble it: the serialised form
  // is byte-exact (encoded_program.h), so the program just written is
  // assembled instead of being read back.
  OutputStream element;
  if (AssembleProgram(encoded.get(), &element) != STATUS_OK) return;
  encoded.reset();
  OutputStream final_correction;
  if (!FinalCorrection(old_file, new_file, element, &final_correction)) return;
  const size_t prediction_length = old_file.length + element.Length();
  element.Retire();
  OutputStream body;
  const Status status = SerialiseBody({old_element}, &element_correction, &final_correction,
                         with_parts ? &candidate->parts : nullptr, &body);
  if (status != STATUS_OK) return;
  candidate->elements = 1;
  const auto dense = [&] {
    candidate->status = WritePatch(old_file, new_file, prediction_length, body, threads, &candidate->patch);
  };
  if (quick_size) {
    // Both only read the body; the dense compression takes back the thread
    // for its pieces once the quick one is done.
    RunBeside(
        threads, [&] { *quick_size = QuickSize(body); }, dense);
  } else {
    dense();
  }
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

// The plain diff (`plain_diff`), and the element patch where `try_elements`
// and the files are a pair of executables. The diff is always made: the
// plain patch is the fallback of every choice, and the diff's ranges are the
// byte alignment that pairs the labels. The elements are parsed meanwhile
// where a thread is free. `element_quick`, if given, receives the element
// body's QuickSize.
bool DiffAndElementPatch(Bytes old_bytes, Bytes new_bytes, bool try_elements, bool with_parts,
                         ThreadBudget* threads, OutputStream* plain_diff, Candidate* element,
                         LabelAlignmentStats* labels, size_t* element_quick) {
  ElementPair pair;
  bool diffed = false, found = false;
  RunBeside(
      threads, [&] { found = try_elements && FindElementPair(old_bytes, new_bytes, &pair); },
      [&] {
        // The parse is over by the time the diff's scan starts: the scan
        // may take its thread back.
        DiffTuning tuning;
        tuning.threads = threads;
        diffed = Diff(old_bytes.data, old_bytes.length, new_bytes.data, new_bytes.length, plain_diff, tuning);
      });
  if (!diffed) return false;
  std::vector<AlignedRange> ranges;
  const bool paired = found && AlignedRangesOfDiff(plain_diff->Buffer(), plain_diff->Length(), &ranges);
  // Across a big change the labels are paired through what still matches,
  // and the element correction keeps to long matches.
  const bool big_change =
      paired && MatchElements(*pair.old_program, old_bytes.data, pair.old_element.length, *pair.new_program,
                              new_bytes.data, pair.new_element.length, &ranges);
  if (paired)
    ElementPatch(old_bytes, new_bytes, &pair, ranges, big_change ? BigChangeTuning() : DiffTuning(), threads,
                 element, labels, with_parts, element_quick);
  return true;
}

// The plain patch from `plain_diff` (consumed), compressed densely (which
// costs more than the rest of it) only where it may be kept: when `needed`
// (asked for, the fallback, or for statistics, which show it always) or
// when its quick size is below `element_quick` (the element patch's, 0 if
// unknown). Equal quick sizes keep the element patch, and the plain one is
// then not compressed at all.
void PlainCandidate(Bytes old_bytes, Bytes new_bytes, OutputStream* plain_diff, bool needed, bool with_parts,
                    size_t element_quick, ThreadBudget* threads, Candidate* plain) {
  OutputStream body;
  if (PlainBody(plain_diff, with_parts ? &plain->parts : nullptr, &body) != STATUS_OK) return;
  if (needed || element_quick == 0 || QuickSize(body, element_quick) < element_quick)
    PlainPatch(old_bytes, new_bytes, body, threads, plain);
}

// The plain diff is made for small edits. Between two major versions of a
// data file (a browser's archive of scripts) it takes a triple every hundred
// bytes, most of them for chance matches of a dozen bytes whose far jumps
// cost more than the bytes they save (two thirds of such a patch were
// control triples). A diff with more than one triple per this many new
// bytes is made again keeping to long matches, as the element correction
// is across a big change. Library pairs have a triple per 600 bytes or
// more.
constexpr size_t kDenseTripleBytes = 256;

// How many triples a raw diff holds: each takes three varints, and each
// varint ends in the one byte of it below 128.
size_t TripleCount(const OutputStream& diff) {
  InputStream in(diff);
  uint8_t method = 0;
  uint32_t new_size = 0, control_length = 0, diff_length = 0, extra_length = 0;
  if (!in.Read(&method, 1) || !in.ReadUVarint(&new_size) || !in.ReadUVarint(&control_length) ||
      !in.ReadUVarint(&diff_length) || !in.ReadUVarint(&extra_length) || in.Remaining() < control_length)
    return 0;
  const uint8_t* control = in.Current();
  return static_cast<size_t>(
             std::count_if(control, control + control_length, [](uint8_t b) { return b < 128; })) /
         3;
}

// Where `plain_diff` has dense triples, the diff keeping to long matches
// replaces it if that is smaller at the quick setting.
void PreferLongMatches(Bytes old_bytes, Bytes new_bytes, ThreadBudget* threads, OutputStream* plain_diff) {
  if (TripleCount(*plain_diff) <= new_bytes.length / kDenseTripleBytes) return;
  DiffTuning tuning = BigChangeTuning();
  tuning.threads = threads;
  OutputStream long_diff;
  if (!Diff(old_bytes.data, old_bytes.length, new_bytes.data, new_bytes.length, &long_diff, tuning)) return;
  const size_t quick = QuickSize(*plain_diff);
  const size_t long_quick = quick == 0 ? 0 : QuickSize(long_diff, quick);
  if (long_quick != 0 && long_quick < quick) *plain_diff = std::move(long_diff);
}

// In order of preference: the asked-for kind first, then the smaller; null
// if neither applies.
Candidate* KeptCandidate(PatchChoice choice, Candidate* element, bool element_applies, Candidate* plain,
                         bool plain_applies) {
  if (element_applies && plain_applies) {
    const bool prefer_element =
        choice == PatchChoice::kElements ||
        (choice == PatchChoice::kSmallest && element->patch.Length() <= plain->patch.Length());
    return prefer_element ? element : plain;
  }
  if (element_applies) return element;
  return plain_applies ? plain : nullptr;
}

void FillStats(const Candidate& kept, const Candidate& element, const Candidate& plain,
               const LabelAlignmentStats& labels, EnsemblePatchStats* stats) {
  stats->patch_bytes = kept.patch.Length();
  stats->element_patch_bytes = element.status == STATUS_OK ? element.patch.Length() : 0;
  stats->plain_patch_bytes = plain.status == STATUS_OK ? plain.patch.Length() : 0;
  stats->elements = kept.elements;
  stats->labels = labels;
  stats->parts = kept.parts;
}

Status Create(InputStream* old_file, InputStream* new_file, OutputStream* patch, PatchChoice choice,
              EnsemblePatchStats* stats, ThreadBudget* threads) {
  const Bytes old_bytes{old_file->Current(), old_file->Remaining()};
  const Bytes new_bytes{new_file->Current(), new_file->Remaining()};
  const bool with_parts = stats != nullptr;
  const bool identical = old_bytes.length == new_bytes.length &&
                         (old_bytes.length == 0 ||
                          std::equal(old_bytes.data, old_bytes.data + old_bytes.length, new_bytes.data));
  // Identical files: nothing beats the plain patch's single copy.
  const bool try_elements =
      choice == PatchChoice::kElements || (choice == PatchChoice::kSmallest && !identical);
  // Only the default choice without statistics weighs the candidates by
  // their quick sizes.
  const bool estimate = choice == PatchChoice::kSmallest && !with_parts;

  OutputStream plain_diff;
  Candidate plain, element;
  LabelAlignmentStats labels;
  size_t element_quick = 0;
  if (!DiffAndElementPatch(old_bytes, new_bytes, try_elements, with_parts, threads, &plain_diff, &element,
                           &labels, estimate ? &element_quick : nullptr))
    return STATUS_GENERAL_ERROR;
  const bool element_applies = element.status == STATUS_OK && Reproduces(old_bytes, new_bytes, element.patch);
  if (element.status != STATUS_OK) PreferLongMatches(old_bytes, new_bytes, threads, &plain_diff);
  const bool plain_needed = !element_applies || choice == PatchChoice::kPlain || with_parts;
  if (plain_needed || estimate)
    PlainCandidate(old_bytes, new_bytes, &plain_diff, plain_needed, with_parts, element_quick, threads,
                   &plain);
  plain_diff.Retire();
  const bool plain_applies = plain.status == STATUS_OK && Reproduces(old_bytes, new_bytes, plain.patch);

  Candidate* kept = KeptCandidate(choice, &element, element_applies, &plain, plain_applies);
  if (!kept) return plain.status != STATUS_OK ? plain.status : STATUS_GENERAL_ERROR;
  if (stats) FillStats(*kept, element, plain, labels, stats);
  if (!patch->Append(&kept->patch)) return STATUS_STREAM_ERROR;
  old_file->Skip(old_file->Remaining());
  new_file->Skip(new_file->Remaining());
  return STATUS_OK;
}

}  // namespace

Status CreateEnsemblePatch(InputStream* old_file, InputStream* new_file, OutputStream* patch,
                           PatchChoice choice, EnsemblePatchStats* stats, ThreadBudget* threads) {
  try {
    return Create(old_file, new_file, patch, choice, stats, threads);
  } catch (const std::bad_alloc&) {
    return STATUS_STREAM_ERROR;
  }
}

Status CreateEnsemblePatch(InputStream* old_file, InputStream* new_file, OutputStream* patch) {
  return CreateEnsemblePatch(old_file, new_file, patch, PatchChoice::kSmallest, nullptr);
}

Status CreateEnsemblePatch(const oschar* old_path, const oschar* new_path, const oschar* patch_path) {
  return CreateEnsemblePatch(old_path, new_path, patch_path, nullptr);
}

Status CreateEnsemblePatch(const oschar* old_path, const oschar* new_path, const oschar* patch_path,
                           ThreadBudget* threads) {
  MappedFile old_file, new_file;
  if (!old_file.Open(old_path) && !old_file.OpenedEmpty()) return STATUS_READ_ERROR;
  if (!new_file.Open(new_path) && !new_file.OpenedEmpty()) return STATUS_READ_ERROR;
  InputStream old_stream(old_file.Data(), old_file.Length());
  InputStream new_stream(new_file.Data(), new_file.Length());
  OutputStream patch;
  const Status status =
      CreateEnsemblePatch(&old_stream, &new_stream, &patch, PatchChoice::kSmallest, nullptr, threads);
  if (status != STATUS_OK) return status;
  if (!WriteWholeFile(patch_path, patch.Buffer(), patch.Length())) return STATUS_READ_ERROR;
  return STATUS_OK;
}

}  // namespace vxpatch
