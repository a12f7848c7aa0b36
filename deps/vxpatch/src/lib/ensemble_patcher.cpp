// PatcherX86_32 and the element transform.
#include "ensemble_patcher.h"

#include <memory>
#include <utility>

#include "encoded_program.h"
#include "executable_detection.h"

namespace vxpatch {

namespace {

// Shares of a transform's time, in parts of kShares, as measured on large
// x86-64 libraries: going through the bytes (finding references, emitting
// instructions), numbering the labels, then trimming and encoding.
constexpr uint64_t kWalkShare = 47;
constexpr uint64_t kIndexShare = 15;
constexpr uint64_t kShares = 100;

}  // namespace

Status TransformElement(const uint8_t* element, size_t length, OutputStreamSet* transformed,
                        const ProgressSpan& progress) {
  std::unique_ptr<ParsedProgram> parsed;
  ProgressSpan parsing = progress.Part(0, kWalkShare, kShares, 2 * static_cast<uint64_t>(length));
  const Status parse_status = ParseExecutable(element, length, &parsed, &parsing);
  progress.Part(0, kWalkShare + kIndexShare, kShares, 0).Finish();
  if (parse_status != STATUS_OK) return parse_status;
  if (!TrimLabels(parsed.get())) return STATUS_TRIM_FAILED;
  return WriteProgramStreams(std::move(parsed), transformed);
}

Status PatcherX86_32::ReadParameters(InputStream* descriptions) {
  uint32_t offset = 0, length = 0;
  if (!descriptions->ReadUVarint(&offset) || !descriptions->ReadUVarint(&length)) return STATUS_BAD_TRANSFORM;
  if (offset > base_length_ || base_length_ - offset < length) return STATUS_BAD_TRANSFORM;
  offset_ = offset;
  length_ = length;
  return STATUS_OK;
}

Status PatcherX86_32::PredictParameters(OutputStreamSet*) { return STATUS_OK; }

Status PatcherX86_32::Transform(InputStreamSet* parameters, OutputStreamSet* transformed) {
  if (!parameters->Empty()) return STATUS_GENERAL_ERROR;
  return TransformElement(base_start_ + offset_, length_, transformed, progress_);
}

Status PatcherX86_32::Reform(InputStreamSet* corrected, OutputStream* prediction) {
  return AssembleEncodedProgram(corrected, prediction);
}

}  // namespace vxpatch
