// Application of ensemble patches: EnsemblePatchApplier and the file entry.
#include "vxpatch/ensemble_patch.h"

#include <cstring>
#include <functional>
#include <memory>
#include <utility>
#include <vector>

#include "checksum.h"
#include "ensemble_patcher.h"
#include "lzma2_block_reader.h"
#include "mapped_file.h"
#include "output_file.h"
#include "output_limit.h"
#include "vxdiff.h"

namespace vxpatch {

namespace {

// An assembled element is at most a few times the size of its encoded form
// (a 2-byte abs32 op becomes 4 bytes plus an 8-byte relocation entry), so the
// announced prediction size is only honoured up to this many bytes per byte
// of corrected elements: a damaged header cannot make us reserve gigabytes.
constexpr size_t kMaxAssemblyGrowth = 16;

// What a byte of each step costs, relative to one another, as measured on
// libraries of 20 to 180 MB; progress weighs each step by its bytes times its
// cost. A correction's bytes are decoded as they are applied, so its cost is
// mostly the decoder's: the element correction is dense (encoded programs),
// the final one mostly zeros after a small update and dense after a large
// one, which this cost splits the difference of.
constexpr uint64_t kTransformCost = 12;          // per byte of old element parsed and encoded
constexpr uint64_t kElementCorrectionCost = 12;  // per byte of the element correction
constexpr uint64_t kAssembleCost = 2;            // per byte of reformed element
constexpr uint64_t kFinalCorrectionCost = 8;     // per byte of the final correction

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

// The body's bytes in order, as its block decodes them: the streams are
// used as they arrive and only the small ones are held.
class BodyReader final : public DiffSource {
 public:
  bool Open(const InputStream& patch, size_t limit, ThreadBudget* threads) {
    return block_.Open(patch, limit, threads);
  }
  bool Read(uint8_t* to, size_t count) override { return block_.Read(to, count); }
  size_t Lend(const uint8_t** data, size_t most) override { return block_.Lend(data, most); }
  bool ReadUVarint(uint32_t* value) {
    uint8_t bytes[kMaxVarintBytes];
    for (size_t used = 0; used < kMaxVarintBytes; ++used) {
      if (block_.Left() == 0 || !block_.Read(&bytes[used], 1)) return false;
      if ((bytes[used] & 0x80) == 0) {
        InputStream varint(bytes, used + 1);
        return varint.ReadUVarint(value);
      }
    }
    return false;
  }
  // The next `count` bytes appended to `into`.
  bool Take(size_t count, OutputStream* into) {
    if (!into->Reserve(count) || !block_.Read(into->Spare(), count)) return false;
    return into->Commit(count);
  }
  // Reads what is left and the end marker: false when the block does not
  // decode (now or earlier).
  bool Drain() {
    size_t consumed = 0;
    if (block_.Failed() || !block_.Read(nullptr, block_.Left())) return false;
    return block_.Finish(&consumed);
  }
  size_t Size() const { return block_.Size(); }
  size_t Left() const { return block_.Left(); }
  bool LimitExceeded() const { return block_.LimitExceeded(); }

 private:
  Lzma2BlockReader block_;
};

class EnsemblePatchApplier {
 public:
  // The new file goes to `target`; `result`, when given, is the stream
  // behind it (its limit becomes the output limit).
  Status Apply(InputStream* old_file, InputStream* patch, DiffTarget* target, OutputStream* result,
               size_t output_limit, const ProgressSpan& progress);
  const EnsembleHeader& header() const { return header_; }
  // The result is checked: the whole range is reported.
  void FinishProgress() { progress_.Finish(); }
  // The old file's mapping, when it is one: its pages are given back once
  // the elements are encoded (the final correction reads in again what it
  // uses of it).
  void SetOldMapping(const MappedFile* mapping) { old_mapping_ = mapping; }
  void SetThreads(ThreadBudget* threads) { threads_ = threads; }

 private:
  Status ApplySteps(InputStream* patch, DiffTarget* target);
  Status ApplyBody(BodyReader* body, DiffTarget* target);
  Status ReadElementDescriptions(InputStream* descriptions);
  Status CorrectParameters(InputStream* correction, InputStreamSet* corrected);
  Status TransformElements(InputStreamSet* parameters, OutputStreamSet* transformed);
  Status CorrectElements(OutputStreamSet* transformed, BodyReader* body, size_t length, InputStreamSet* corrected);
  Status Predict(InputStreamSet* elements, OutputStream* prediction);
  // One correction, `length` bytes of the body, applied to the old pieces.
  // A raw diff is applied as it decodes; one of the LZMA2 methods is held
  // and applied whole, its result going to the target afterwards.
  bool ApplyCorrection(const InputStream* old_pieces, size_t piece_count, BodyReader* body, size_t length,
                       DiffTarget* target, size_t result_limit, size_t output_limit, const ProgressSpan& progress);
  // Splits the progress among the steps once the body's stream lengths and
  // the elements are known.
  void PlanProgress(const uint32_t* lengths);

  // What the budget leaves for the next buffer, given the ones held now
  // (`extra`: one more that is not a member).
  size_t Room(size_t extra = 0) const;

  const uint8_t* base_start_ = nullptr;
  size_t base_length_ = 0;
  const MappedFile* old_mapping_ = nullptr;
  ThreadBudget* threads_ = nullptr;
  size_t output_limit_ = kNoOutputLimit;
  // One budget for every buffer built on the way to the result: the body's
  // streams that are held, the corrected parameters, the encoded and the
  // corrected elements, the prediction and what a correction holds,
  // together. The old file's elements and the prediction grow with the old
  // file, the rest with the output, so it is WorkLimit(output limit + old
  // file size).
  size_t budget_ = kNoOutputLimit;
  bool over_limit_ = false;
  // The body stream in use, when it is held whole (descriptions, the
  // parameter correction, a correction in an LZMA2 method).
  OutputStream held_;
  OutputStream prediction_;
  // The largest encoded stream's buffer once the elements are corrected,
  // for the prediction to be written into: its pages are the process's
  // already, where a fresh buffer's would each be handed out zeroed.
  OutputStream recycled_;
  EnsembleHeader header_;
  std::vector<std::unique_ptr<TransformationPatcher>> patchers_;
  OutputStream parameter_storage_;
  OutputStream element_storage_;
  std::vector<uint32_t> element_lengths_;
  // The whole application's range, then one per step.
  ProgressSpan progress_;
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

Status EnsemblePatchApplier::Apply(InputStream* old_file, InputStream* patch, DiffTarget* target,
                                   OutputStream* result, size_t output_limit, const ProgressSpan& progress) {
  progress_ = progress;
  const Status header_status = ReadEnsembleHeader(patch, &header_);
  if (header_status != STATUS_OK) return header_status;
  base_start_ = old_file->Current();
  base_length_ = old_file->Remaining();
  if (ComputeChecksum(base_start_, base_length_) != header_.source_checksum) return STATUS_BAD_CRC;

  output_limit_ = output_limit;
  budget_ = WorkLimit(SaturatingAdd(output_limit, base_length_));
  if (result) result->SetLimit(output_limit);
  const Status status = ApplySteps(patch, target);
  if (status == STATUS_OK || status == STATUS_STREAM_ERROR) return status;
  // Whichever step ran into a limit reported its own kind of failure; the
  // caller learns the one reason that matters.
  if (over_limit_) return STATUS_OUTPUT_LIMIT;
  for (const OutputStream* stream : {&held_, &parameter_storage_, &element_storage_, &prediction_}) {
    if (stream->LimitExceeded()) return STATUS_OUTPUT_LIMIT;
  }
  if (result && result->LimitExceeded()) return STATUS_OUTPUT_LIMIT;
  return status;
}

size_t EnsemblePatchApplier::Room(size_t extra) const {
  size_t held = extra;
  for (const OutputStream* stream : {&held_, &parameter_storage_, &element_storage_, &prediction_})
    held = SaturatingAdd(held, stream->Length());
  return held < budget_ ? budget_ - held : 0;
}

Status EnsemblePatchApplier::ApplySteps(InputStream* patch, DiffTarget* target) {
  // A body holds the corrections of the elements and of the whole file,
  // about the size of the old elements plus the output: real ones stay near
  // limit + old file size, so it may announce half of the budget.
  BodyReader body;
  if (!body.Open(*patch, ScaledLimit(SaturatingAdd(output_limit_, base_length_), kBodyLimitFactor), threads_)) {
    if (!body.LimitExceeded()) return STATUS_STREAM_ERROR;
    over_limit_ = true;
    return STATUS_OUTPUT_LIMIT;
  }
  const Status status = ApplyBody(&body, target);
  // A body that does not decode is the failure, whatever the steps made of
  // the part before the damage.
  if (!body.Drain()) return STATUS_STREAM_ERROR;
  return status;
}

Status EnsemblePatchApplier::ApplyBody(BodyReader* body, DiffTarget* target) {
  // The stream set's header. A body that is no stream set, or one of fewer
  // than four streams, is a bad header.
  uint32_t version = 0, count = 0;
  if (!body->ReadUVarint(&version) || version != kStreamSetVersion || !body->ReadUVarint(&count) ||
      count > kMaxStreams || count < kEnsembleStreamCount)
    return STATUS_BAD_HEADER;
  uint32_t lengths[kMaxStreams] = {};
  uint64_t total = 0;
  for (uint32_t i = 0; i < count; ++i) {
    if (!body->ReadUVarint(&lengths[i])) return STATUS_BAD_HEADER;
    total += lengths[i];
  }
  if (total != body->Left()) return STATUS_BAD_HEADER;

  if (!body->Take(lengths[kElementDescriptions], &held_)) return STATUS_STREAM_ERROR;
  InputStream descriptions(held_);
  Status status = ReadElementDescriptions(&descriptions);
  if (status != STATUS_OK) return status;
  PlanProgress(lengths);
  held_.Clear();
  if (!body->Take(lengths[kParameterCorrection], &held_)) return STATUS_STREAM_ERROR;
  InputStreamSet parameters;
  InputStream parameter_correction(held_);
  status = CorrectParameters(&parameter_correction, &parameters);
  if (status != STATUS_OK) return status;
  OutputStreamSet transformed;
  status = TransformElements(&parameters, &transformed);
  if (status != STATUS_OK) return status;
  held_.Retire();
  if (old_mapping_ && !patchers_.empty()) old_mapping_->Evict();
  InputStreamSet elements;
  status = CorrectElements(&transformed, body, lengths[kElementCorrection], &elements);
  if (status != STATUS_OK) return status;
  status = Predict(&elements, &prediction_);
  if (status != STATUS_OK) return status;

  // The prediction is the old file followed by the reformed elements; the
  // old file is read where it is mapped rather than copied in front.
  const InputStream prediction[2] = {InputStream(base_start_, base_length_), InputStream(prediction_)};
  if (!ApplyCorrection(prediction, 2, body, lengths[kFinalCorrection], target, output_limit_, output_limit_,
                       finishing_))
    return STATUS_GENERAL_ERROR;
  return STATUS_OK;
}

void EnsemblePatchApplier::PlanProgress(const uint32_t* lengths) {
  if (!progress_.Active()) return;
  uint64_t element_bytes = 0;
  for (const uint32_t length : element_lengths_) element_bytes += length;
  const uint64_t reformed =
      header_.prediction_size > base_length_ ? header_.prediction_size - base_length_ : 0;
  // A raw correction makes about as many bytes as it holds.
  const uint64_t transform = kTransformCost * element_bytes;
  const uint64_t correct = kElementCorrectionCost * lengths[kElementCorrection];
  const uint64_t assemble = kAssembleCost * reformed;
  const uint64_t finish = kFinalCorrectionCost * lengths[kFinalCorrection];
  const uint64_t whole = transform + correct + assemble + finish + 1;
  transforming_ = progress_.Part(0, transform, whole, element_bytes);
  correcting_ = progress_.Part(transform, transform + correct, whole, 0);
  assembling_ = progress_.Part(transform + correct, transform + correct + assemble, whole, reformed);
  finishing_ = progress_.Part(transform + correct + assemble, whole, whole, 0);
}

bool EnsemblePatchApplier::ApplyCorrection(const InputStream* old_pieces, size_t piece_count, BodyReader* body,
                                           size_t length, DiffTarget* target, size_t result_limit,
                                           size_t output_limit, const ProgressSpan& progress) {
  uint8_t method = 0;
  if (length == 0 || !body->Read(&method, 1)) return false;
  if (method == DIFF_RAW) {
    bool over_limit = false;
    const bool applied =
        ApplyStreamedRawDiff(old_pieces, piece_count, body, length - 1, target, output_limit, Room(), &over_limit,
                             progress);
    over_limit_ = over_limit_ || over_limit;
    return applied;
  }
  held_.Clear();
  if (!held_.WriteByte(method) || !body->Take(length - 1, &held_)) return false;
  InputStream correction(held_);
  OutputStream whole;
  whole.SetLimit(result_limit);
  const bool applied =
      ApplyDiff(old_pieces, piece_count, &correction, &whole, false, output_limit, Room(), progress);
  held_.Retire();
  if (!applied) {
    over_limit_ = over_limit_ || whole.LimitExceeded();
    return false;
  }
  if (!target->Begin(whole.Length())) {
    over_limit_ = true;
    return false;
  }
  for (size_t done = 0; done < whole.Length();) {
    const size_t part = whole.Length() - done < kDiffPiece ? whole.Length() - done : kDiffPiece;
    uint8_t* to = target->Place(done, part);
    if (!to) return false;
    std::memcpy(to, whole.Buffer() + done, part);
    done += part;
  }
  return target->End();
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
  uint64_t element_bytes = 0, done = 0;
  for (const uint32_t length : element_lengths_) element_bytes += length;
  for (auto& patcher : patchers_) {
    // A fresh nested set keeps its count of ten: an encoded program announces
    // eight streams (its last two are empty) and is read from nine.
    InputStreamSet nested;
    if (!parameters->ReadSet(&nested)) return STATUS_STREAM_ERROR;
    OutputStreamSet element;
    const uint64_t length = element_lengths_[static_cast<size_t>(&patcher - patchers_.data())];
    ProgressSpan span = transforming_.Part(done, done + length, element_bytes, length);
    done += length;
    // Every patcher made by ReadElementDescriptions is one of these.
    static_cast<PatcherX86_32*>(patcher.get())->set_progress(span);
    const Status status = patcher->Transform(&nested, &element);
    if (status != STATUS_OK) return status;
    if (!nested.Empty()) return STATUS_STREAM_NOT_CONSUMED;
    if (!transformed->WriteSet(&element)) return STATUS_STREAM_ERROR;
    span.Finish();
    // Elements may overlap, so their encoded forms are bounded by nothing but
    // this: a patch listing one large element many times is refused here.
    if (TotalLength(transformed) > Room()) {
      LogOutputLimit(Room());
      return STATUS_OUTPUT_LIMIT;
    }
  }
  return parameters->Empty() ? STATUS_OK : STATUS_STREAM_NOT_CONSUMED;
}

Status EnsemblePatchApplier::CorrectElements(OutputStreamSet* transformed, BodyReader* body, size_t length,
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
  StreamTarget target(&element_storage_);
  if (!ApplyCorrection(serialised, transformed->Count() + 1, body, length, &target, room, room, correcting_))
    return STATUS_GENERAL_ERROR;
  size_t largest = 0;
  for (size_t i = 1; i < kMaxStreams; ++i) {
    if (transformed->Stream(i)->Capacity() > transformed->Stream(largest)->Capacity()) largest = i;
  }
  recycled_ = std::move(*transformed->Stream(largest));
  for (size_t i = 0; i < kMaxStreams; ++i) transformed->Stream(i)->Retire();
  if (!corrected->InitFromBuffer(element_storage_.Buffer(), element_storage_.Length()))
    return STATUS_STREAM_ERROR;
  return STATUS_OK;
}

Status EnsemblePatchApplier::Predict(InputStreamSet* elements, OutputStream* prediction) {
  // `prediction` receives the reformed elements only: the old file in front
  // of them stays where it is mapped.
  if (!recycled_.Failed() && recycled_.Capacity() > 0) {
    *prediction = std::move(recycled_);
    prediction->Clear();
  }
  recycled_.Retire();
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
  // What a larger recycled buffer has beyond the prediction goes back now,
  // before the old file is read in again.
  prediction->ShrinkToFit();
  return STATUS_OK;
}

// The new file checked against the header once it is complete;
// `checksum_of` reads it back.
Status ApplyToTarget(InputStream* old_file, InputStream* patch, DiffTarget* target, OutputStream* result,
                     size_t output_limit, const ProgressSpan& progress,
                     const std::function<bool(uint32_t*)>& checksum_of, ThreadBudget* threads,
                     const MappedFile* old_mapping = nullptr) {
  try {
    EnsemblePatchApplier applier;
    applier.SetOldMapping(old_mapping);
    applier.SetThreads(threads);
    const Status status = applier.Apply(old_file, patch, target, result, output_limit, progress);
    if (status != STATUS_OK) return status;
    uint32_t checksum = 0;
    if (!checksum_of(&checksum)) return STATUS_READ_ERROR;
    if (checksum != applier.header().target_checksum) return STATUS_BAD_CRC;
    applier.FinishProgress();
    return STATUS_OK;
  } catch (const std::bad_alloc&) {
    return STATUS_STREAM_ERROR;
  }
}

}  // namespace

Status ApplyEnsemblePatch(InputStream* old_file, InputStream* patch, OutputStream* result, size_t output_limit,
                          const ProgressSpan& progress, ThreadBudget* threads) {
  StreamTarget target(result);
  return ApplyToTarget(old_file, patch, &target, result, output_limit, progress, [result](uint32_t* checksum) {
    *checksum = ComputeChecksum(result->Buffer(), result->Length());
    return true;
  }, threads);
}

Status ApplyEnsemblePatch(const oschar* old_path, const oschar* patch_path, const oschar* new_path,
                          size_t output_limit, const ProgressFn& progress, ThreadBudget* threads) {
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
  // The result goes straight into a file beside the new path, renamed into
  // place once it is verified (removed otherwise).
  OutputFile output;
  if (!output.Create(new_path)) return STATUS_READ_ERROR;
  FileTarget target(&output, output_limit);
  ProgressMeter meter(&progress, kProgressUnits);
  meter.Reach(0);
  const Status status = ApplyToTarget(
      &old_stream, &patch_stream, &target, nullptr, output_limit,
      ProgressSpan(&meter, 0, kProgressUnits, kProgressUnits),
      [&](uint32_t* checksum) { return target.Checksum(checksum); }, threads, &old_file);
  if (status != STATUS_OK) return status;
  if (!output.Commit(target.Size())) return STATUS_READ_ERROR;
  return STATUS_OK;
}

}  // namespace vxpatch
