// Element search of the executable form's packer.
#include "executable_elements.h"

#include <algorithm>
#include <new>

#include "checked_bytes.h"
#include "executable_detection.h"

namespace vxpatch {

namespace {

constexpr uint32_t kFatMagic = 0xCAFEBABE;
constexpr size_t kFatMinimumLength = 4096;
constexpr uint32_t kFatMaximumEntries = 8;
constexpr uint64_t kFatHeaderSize = 8;
constexpr uint64_t kFatEntrySize = 20;

// Multi-architecture headers are big-endian; the checked reader is not.
bool BigEndian32(const CheckedBytes& in, uint64_t offset, uint32_t* value) {
  uint32_t little = 0;
  if (!in.U32(offset, &little)) return false;
  *value = (little >> 24) | ((little >> 8) & 0xFF00u) | ((little << 8) & 0xFF0000u) | (little << 24);
  return true;
}

bool Overlaps(const std::vector<ExecutableElement>& elements, uint64_t offset, uint64_t length) {
  for (const ExecutableElement& element : elements) {
    if (offset < element.offset + element.length && element.offset < offset + length) return true;
  }
  return false;
}

// Records the recognised entries of a multi-architecture file. False when the
// search must go on with the whole file.
bool FindFatElements(const CheckedBytes& in, std::vector<ExecutableElement>* elements) {
  uint32_t magic = 0, count = 0;
  if (in.size() < kFatMinimumLength || !BigEndian32(in, 0, &magic) || magic != kFatMagic) return false;
  if (!BigEndian32(in, 4, &count) || count < 1 || count > kFatMaximumEntries) return false;
  for (uint32_t i = 0; i < count; ++i) {
    const uint64_t entry = kFatHeaderSize + uint64_t{i} * kFatEntrySize;
    uint32_t offset = 0, size = 0;
    if (!BigEndian32(in, entry + 8, &offset) || !BigEndian32(in, entry + 12, &size)) return false;
    if (!in.Contains(offset, size) || Overlaps(*elements, offset, size)) return false;
    ExecutableKind kind = EXE_UNKNOWN;
    size_t detected = 0;
    if (DetectExecutable(in.data() + offset, size, &kind, &detected) != STATUS_OK) continue;
    if (detected > size) return false;
    if (detected == 0) continue;
    ExecutableElement element;
    element.offset = offset;
    element.length = size;
    element.kind = kind;
    elements->push_back(element);
  }
  return !elements->empty();
}

// The form stores elements in file order, whatever the order of entries.
Status InFileOrder(std::vector<ExecutableElement>* elements) {
  std::sort(elements->begin(), elements->end(),
            [](const ExecutableElement& a, const ExecutableElement& b) { return a.offset < b.offset; });
  return STATUS_OK;
}

}  // namespace

Status FindExecutableElements(const uint8_t* data, size_t length, std::vector<ExecutableElement>* elements) {
  elements->clear();
  try {
    const CheckedBytes in(data, length);
    if (FindFatElements(in, elements)) return InFileOrder(elements);
    ExecutableKind kind = EXE_UNKNOWN;
    size_t detected = 0;
    const Status status = DetectExecutable(data, length, &kind, &detected);
    if (status == STATUS_INPUT_NOT_RECOGNIZED || (status == STATUS_OK && detected == 0))
      return InFileOrder(elements);
    if (status != STATUS_OK) return status;
    // The whole file counts only where it does not overlap the thin files
    // already found (it never does: a multi-architecture file is not itself
    // an executable of a known kind).
    if (Overlaps(*elements, 0, detected)) return InFileOrder(elements);
    ExecutableElement element;
    element.length = detected;
    element.kind = kind;
    elements->push_back(element);
    return InFileOrder(elements);
  } catch (const std::bad_alloc&) {
    return STATUS_GENERAL_ERROR;
  }
}

}  // namespace vxpatch
