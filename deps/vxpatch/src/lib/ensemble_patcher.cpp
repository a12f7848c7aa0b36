// PatcherX86_32 and the element transform.
#include "ensemble_patcher.h"

#include <memory>

#include "disassembler.h"
#include "encoded_program.h"

namespace vxpatch {

Status TransformElement(const uint8_t* element, size_t length, OutputStreamSet* transformed) {
  std::unique_ptr<ParsedProgram> parsed;
  const Status parse_status = ParseExecutable(element, length, &parsed);
  if (parse_status != STATUS_OK) return parse_status;
  if (!TrimLabels(parsed.get())) return STATUS_TRIM_FAILED;
  return WriteProgramStreams(*parsed, transformed);
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
  return TransformElement(base_start_ + offset_, length_, transformed);
}

Status PatcherX86_32::Reform(InputStreamSet* corrected, OutputStream* prediction) {
  return AssembleEncodedProgram(corrected, prediction);
}

}  // namespace vxpatch
