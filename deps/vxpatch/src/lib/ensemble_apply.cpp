// Application of ensemble patches: EnsemblePatchApplier and the file entry.
#include "ensemble_patch.h"

#include <memory>
#include <new>
#include <vector>

#include "checksum.h"
#include "ensemble_patcher.h"
#include "lzmaioout.h"
#include "mapped_file.h"
#include "output_limit.h"
#include "packed_file.h"
#include "vxdiff.h"

namespace vxpatch {

namespace {

// An assembled element is at most a few times the size of its encoded form
// (a 2-byte abs32 op becomes 4 bytes plus an 8-byte relocation entry), so the
// announced prediction size is only honoured up to this many bytes per byte
// of corrected elements: a damaged header cannot make us reserve gigabytes.
constexpr size_t kMaxAssemblyGrowth = 16;

// What a byte of each step costs, relative to adding a diff byte, as measured
// on large libraries; progress weighs each step by its bytes times its cost.
constexpr uint64_t kBodyCost = 8;        // per byte the body decodes to
constexpr uint64_t kTransformCost = 12;  // per byte of old element parsed and encoded
constexpr uint64_t kAssembleCost = 1;    // per byte of reformed element
constexpr uint64_t kDiffCost = 1;        // per byte a raw correction makes

// The new size a correction (a diff without header) announces; 0 when unreadable.
uint64_t CorrectionSize(const InputStream& correction) {
  InputStream header = correction;
  uint8_t method = 0;
  uint32_t size = 0;
  if (!header.ReadByte(&method) || !header.ReadUVarint(&size)) return 0;
  return size;
}

struct EnsembleHeader {
  uint32_t source_checksum = 0;
  uint32_t target_checksum = 0;
  uint32_t prediction_size = 0;
};

Status ReadEnsembleHeader(InputStream* patch, EnsembleHeader* header) {
  uint32_t magic = 0, version = 0;
  if (!patch->ReadUVarint(&magic) || magic != kEnsembleMagic) return STATUS_BAD_MAGIC;
  if (!patch->ReadUVarint(&version) || version != kEnsembleVersion) return STATUS_BAD_VERSION;
  if (!patch->ReadUVarint(&header->source_checksum) || !patch->ReadUVarint(&header->target_checksum) ||
      !patch->ReadUVarint(&header->prediction_size))
    return STATUS_BAD_HEADER;
  return STATUS_OK;
}

class EnsemblePatchApplier {
 public:
  Status Apply(InputStream* old_file, InputStream* patch, OutputStream* result, size_t output_limit,
               const ProgressSpan& progress);

 private:
  Status ApplySteps(InputStream* patch, OutputStream* result);
  Status ReadElementDescriptions(InputStream* descriptions);
  Status CorrectParameters(InputStream* correction, InputStreamSet* corrected);
  Status TransformElements(InputStreamSet* parameters, OutputStreamSet* transformed);
  Status CorrectElements(OutputStreamSet* transformed, InputStream* correction, InputStreamSet* corrected);
  Status Predict(InputStreamSet* elements, OutputStream* prediction);
  // Splits what the body leaves of the progress among the later steps.
  void PlanProgress(InputStreamSet* streams);

  // What the budget leaves for the next buffer, given the ones held now
  // (`extra`: one more that is not a member).
  size_t Room(size_t extra = 0) const;

  const uint8_t* base_start_ = nullptr;
  size_t base_length_ = 0;
  size_t output_limit_ = kNoOutputLimit;
  // One budget for every buffer built on the way to the result: the body,
  // the corrected parameters, the encoded and the corrected elements, the
  // prediction and the sections a correction decodes, together. The old
  // file's elements and the prediction grow with the old file, the rest with
  // the output, so it is WorkLimit(output limit + old file size).
  size_t budget_ = kNoOutputLimit;
  OutputStream body_;
  OutputStream prediction_;
  EnsembleHeader header_;
  std::vector<std::unique_ptr<TransformationPatcher>> patchers_;
  OutputStream parameter_storage_;
  OutputStream element_storage_;
  std::vector<uint32_t> element_lengths_;
  // The whole application's range; what the body leaves; then one per step.
  ProgressSpan progress_;
  ProgressSpan after_body_;
  ProgressSpan transforming_;
  ProgressSpan correcting_;
  ProgressSpan assembling_;
  ProgressSpan finishing_;
};

// Bytes held by the streams of `set`.
size_t TotalLength(OutputStreamSet* set) {
  size_t total = 0;
  for (size_t i = 0; i < kMaxStreams; ++i) total = SaturatingAdd(total, set->Stream(i)->Length());
  return total;
}

Status EnsemblePatchApplier::Apply(InputStream* old_file, InputStream* patch, OutputStream* result,
                                   size_t output_limit, const ProgressSpan& progress) {
  progress_ = progress;
  const Status header_status = ReadEnsembleHeader(patch, &header_);
  if (header_status != STATUS_OK) return header_status;
  base_start_ = old_file->Current();
  base_length_ = old_file->Remaining();
  if (ComputeChecksum(base_start_, base_length_) != header_.source_checksum) return STATUS_BAD_CRC;

  output_limit_ = output_limit;
  budget_ = WorkLimit(SaturatingAdd(output_limit, base_length_));
  result->SetLimit(output_limit);
  const Status status = ApplySteps(patch, result);
  if (status == STATUS_OK) return STATUS_OK;
  // Whichever step ran into a limit reported its own kind of failure; the
  // caller learns the one reason that matters.
  for (const OutputStream* stream : {&body_, &parameter_storage_, &element_storage_, &prediction_, result}) {
    if (stream->LimitExceeded()) return STATUS_OUTPUT_LIMIT;
  }
  return status;
}

size_t EnsemblePatchApplier::Room(size_t extra) const {
  size_t held = extra;
  for (const OutputStream* stream : {&body_, &parameter_storage_, &element_storage_, &prediction_})
    held = SaturatingAdd(held, stream->Length());
  return held < budget_ ? budget_ - held : 0;
}

Status EnsemblePatchApplier::ApplySteps(InputStream* patch, OutputStream* result) {
  // A body holds the corrections of the elements and of the whole file,
  // about the size of the old elements plus the output: real ones stay near
  // limit + old file size, so it may take half of the budget.
  body_.SetLimit(ScaledLimit(SaturatingAdd(output_limit_, base_length_), kBodyLimitFactor));
  // Before the body is read only its size and the prediction's are known;
  // the steps after it are guessed from those (elements about the size of
  // their reformed bytes, the new file about the old one's) and split
  // exactly once the body tells their sizes.
  const uint64_t body_bytes = Lzma2BlockSize(*patch);
  const uint64_t reformed =
      header_.prediction_size > base_length_ ? header_.prediction_size - base_length_ : 0;
  const uint64_t body_cost = kBodyCost * body_bytes;
  const uint64_t later_cost =
      (kTransformCost + kDiffCost + kAssembleCost) * reformed + kDiffCost * base_length_;
  const uint64_t whole = body_cost + later_cost + 1;
  ProgressSpan decoding = progress_.Part(0, body_cost, whole, body_bytes);
  after_body_ = progress_.Part(body_cost, whole, whole, 0);
  if (!ReadLzma2Block(patch, &body_, &decoding)) return STATUS_STREAM_ERROR;
  // An unparsable body reads as a set of empty streams, so the missing
  // element count reports a bad header. A set of fewer than four streams is
  // just as malformed and is refused before any missing stream is touched.
  InputStreamSet streams;
  if (!streams.InitFromBuffer(body_.Buffer(), body_.Length())) streams = InputStreamSet();
  if (streams.Count() < kEnsembleStreamCount) return STATUS_BAD_HEADER;

  Status status = ReadElementDescriptions(streams.Stream(kElementDescriptions));
  if (status != STATUS_OK) return status;
  PlanProgress(&streams);
  InputStreamSet parameters;
  status = CorrectParameters(streams.Stream(kParameterCorrection), &parameters);
  if (status != STATUS_OK) return status;
  OutputStreamSet transformed;
  status = TransformElements(&parameters, &transformed);
  if (status != STATUS_OK) return status;
  InputStreamSet elements;
  status = CorrectElements(&transformed, streams.Stream(kElementCorrection), &elements);
  if (status != STATUS_OK) return status;
  status = Predict(&elements, &prediction_);
  if (status != STATUS_OK) return status;

  // The prediction is the old file followed by the reformed elements; the
  // old file is read where it is mapped rather than copied in front.
  const InputStream prediction[2] = {InputStream(base_start_, base_length_), InputStream(prediction_)};
  if (!ApplyDiff(prediction, 2, streams.Stream(kFinalCorrection), result, false, output_limit_, Room(),
                 finishing_))
    return STATUS_GENERAL_ERROR;
  if (ComputeChecksum(result->Buffer(), result->Length()) != header_.target_checksum) return STATUS_BAD_CRC;
  progress_.Finish();
  return STATUS_OK;
}

void EnsemblePatchApplier::PlanProgress(InputStreamSet* streams) {
  if (!after_body_.Active()) return;
  uint64_t element_bytes = 0;
  for (const uint32_t length : element_lengths_) element_bytes += length;
  const uint64_t reformed =
      header_.prediction_size > base_length_ ? header_.prediction_size - base_length_ : 0;
  const uint64_t transform = kTransformCost * element_bytes;
  const uint64_t correct = kDiffCost * CorrectionSize(*streams->Stream(kElementCorrection));
  const uint64_t assemble = kAssembleCost * reformed;
  const uint64_t finish = kDiffCost * CorrectionSize(*streams->Stream(kFinalCorrection));
  const uint64_t whole = transform + correct + assemble + finish + 1;
  transforming_ = after_body_.Part(0, transform, whole, element_bytes);
  correcting_ = after_body_.Part(transform, transform + correct, whole, 0);
  assembling_ = after_body_.Part(transform + correct, transform + correct + assemble, whole, reformed);
  finishing_ = after_body_.Part(transform + correct + assemble, whole, whole, 0);
}

Status EnsemblePatchApplier::ReadElementDescriptions(InputStream* descriptions) {
  uint32_t count = 0;
  // Every element takes at least one kind byte, so the count is bounded by
  // the stream before anything is allocated for it.
  if (!descriptions->ReadCount(&count)) return STATUS_BAD_HEADER;
  patchers_.reserve(count);
  for (uint32_t i = 0; i < count; ++i) {
    uint32_t kind = 0;
    if (!descriptions->ReadUVarint(&kind)) return STATUS_BAD_HEADER;
    if (kind == EXE_UNKNOWN || kind > kLastExecutableKind) return STATUS_BAD_HEADER;
    patchers_.emplace_back(new PatcherX86_32(base_start_, base_length_));
  }
  element_lengths_.reserve(count);
  for (auto& patcher : patchers_) {
    const Status status = patcher->ReadParameters(descriptions);
    if (status != STATUS_OK) return status;
    // Every patcher made above is one of these.
    element_lengths_.push_back(static_cast<const PatcherX86_32*>(patcher.get())->element_length());
  }
  return descriptions->Empty() ? STATUS_OK : STATUS_BAD_HEADER;
}

Status EnsemblePatchApplier::CorrectParameters(InputStream* correction, InputStreamSet* corrected) {
  OutputStreamSet predicted;
  for (auto& patcher : patchers_) {
    OutputStreamSet single;
    const Status status = patcher->PredictParameters(&single);
    if (status != STATUS_OK) return status;
    if (!predicted.WriteSet(&single)) return STATUS_STREAM_ERROR;
  }
  OutputStream serialised;
  if (!predicted.SerializeSet(&serialised)) return STATUS_STREAM_ERROR;
  InputStream serialised_view(serialised);
  const size_t room = Room(serialised.Length());
  parameter_storage_.SetLimit(room);
  if (!ApplyDiff(&serialised_view, 1, correction, &parameter_storage_, false, room, room))
    return STATUS_GENERAL_ERROR;
  if (!corrected->InitFromBuffer(parameter_storage_.Buffer(), parameter_storage_.Length()))
    return STATUS_STREAM_ERROR;
  return STATUS_OK;
}

Status EnsemblePatchApplier::TransformElements(InputStreamSet* parameters, OutputStreamSet* transformed) {
  for (auto& patcher : patchers_) {
    // A fresh nested set keeps its count of ten: an encoded program announces
    // eight streams (its last two are empty) and is read from nine.
    InputStreamSet nested;
    if (!parameters->ReadSet(&nested)) return STATUS_STREAM_ERROR;
    OutputStreamSet element;
    const Status status = patcher->Transform(&nested, &element);
    if (status != STATUS_OK) return status;
    if (!nested.Empty()) return STATUS_STREAM_NOT_CONSUMED;
    if (!transformed->WriteSet(&element)) return STATUS_STREAM_ERROR;
    transforming_.Advance(element_lengths_[static_cast<size_t>(&patcher - patchers_.data())]);
    // Elements may overlap, so their encoded forms are bounded by nothing but
    // this: a patch listing one large element many times is refused here.
    if (TotalLength(transformed) > Room()) {
      LogOutputLimit(Room());
      return STATUS_OUTPUT_LIMIT;
    }
  }
  return parameters->Empty() ? STATUS_OK : STATUS_STREAM_NOT_CONSUMED;
}

Status EnsemblePatchApplier::CorrectElements(OutputStreamSet* transformed, InputStream* correction,
                                             InputStreamSet* corrected) {
  // The correction applies to the serialised set, read here in its pieces
  // (header, then the streams where they lie) rather than copied together.
  OutputStream header;
  if (!transformed->WriteHeader(&header)) return STATUS_STREAM_ERROR;
  InputStream serialised[kMaxStreams + 1];
  serialised[0] = InputStream(header);
  for (size_t i = 0; i < transformed->Count(); ++i) serialised[i + 1] = InputStream(*transformed->Stream(i));
  const size_t room = Room(SaturatingAdd(header.Length(), TotalLength(transformed)));
  element_storage_.SetLimit(room);
  if (!ApplyDiff(serialised, transformed->Count() + 1, correction, &element_storage_, false, room, room,
                 correcting_))
    return STATUS_GENERAL_ERROR;
  for (size_t i = 0; i < kMaxStreams; ++i) transformed->Stream(i)->Retire();
  if (!corrected->InitFromBuffer(element_storage_.Buffer(), element_storage_.Length()))
    return STATUS_STREAM_ERROR;
  return STATUS_OK;
}

Status EnsemblePatchApplier::Predict(InputStreamSet* elements, OutputStream* prediction) {
  // `prediction` receives the reformed elements only: the old file in front
  // of them stays where it is mapped.
  prediction->SetLimit(Room());
  size_t reservation = header_.prediction_size > base_length_ ? header_.prediction_size - base_length_ : 0;
  const size_t plausible = kMaxAssemblyGrowth * element_storage_.Length();
  if (reservation > plausible) reservation = plausible;
  if (reservation > prediction->Limit()) reservation = prediction->Limit();
  if (!prediction->Reserve(reservation)) return STATUS_STREAM_ERROR;
  for (auto& patcher : patchers_) {
    InputStreamSet nested;
    if (!elements->ReadSet(&nested)) return STATUS_STREAM_ERROR;
    const size_t before = prediction->Length();
    const Status status = patcher->Reform(&nested, prediction);
    if (status != STATUS_OK) return status;
    assembling_.Advance(prediction->Length() - before);
    if (!nested.Empty()) return STATUS_STREAM_NOT_CONSUMED;
  }
  if (!elements->Empty()) return STATUS_STREAM_NOT_CONSUMED;
  element_storage_.Retire();
  return STATUS_OK;
}

}  // namespace

Status ApplyEnsemblePatch(InputStream* old_file, InputStream* patch, OutputStream* result,
                          size_t output_limit, const ProgressSpan& progress) {
  try {
    EnsemblePatchApplier applier;
    return applier.Apply(old_file, patch, result, output_limit, progress);
  } catch (const std::bad_alloc&) {
    return STATUS_STREAM_ERROR;
  }
}

Status ApplyEnsemblePatch(const oschar* old_path, const oschar* patch_path, const oschar* new_path,
                          size_t output_limit, const ProgressFn& progress) {
  MappedFile patch_file;
  if (!patch_file.Open(patch_path)) return STATUS_READ_OPEN_ERROR;
  {
    InputStream trial(patch_file.Data(), patch_file.Length());
    EnsembleHeader header;
    const Status status = ReadEnsembleHeader(&trial, &header);
    if (status != STATUS_OK) return status;
  }
  MappedFile old_file;
  // An empty old file cannot be mapped but is a perfectly good old file.
  if (!old_file.Open(old_path) && !old_file.OpenedEmpty()) return STATUS_READ_ERROR;

  InputStream old_stream(old_file.Data(), old_file.Length());
  InputStream patch_stream(patch_file.Data(), patch_file.Length());
  OutputStream result;
  ProgressMeter meter(&progress, kProgressUnits);
  meter.Reach(0);
  const Status status = ApplyEnsemblePatch(&old_stream, &patch_stream, &result, output_limit,
                                           ProgressSpan(&meter, 0, kProgressUnits, kProgressUnits));
  if (status != STATUS_OK) return status;
  if (!WriteWholeFile(new_path, result.Buffer(), result.Length())) return STATUS_READ_ERROR;
  return STATUS_OK;
}

}  // namespace vxpatch
