// Executable detection and the ELF, PE and Mach-O parsers, then the rest of
// the path an element takes: trim, encode, serialise, read back, assemble.
#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

#include "encoded_program.h"
#include "executable_detection.h"
#include "executable_elements.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  vxpatch::ExecutableKind kind = vxpatch::EXE_UNKNOWN;
  size_t length = 0;
  vxpatch::DetectExecutable(data, size, &kind, &length);
  std::vector<vxpatch::ExecutableElement> elements;
  vxpatch::FindExecutableElements(data, size, &elements);
  std::unique_ptr<vxpatch::ParsedProgram> parsed;
  if (vxpatch::ParseExecutable(data, size, &parsed) != vxpatch::STATUS_OK) return 0;
  if (!vxpatch::TrimLabels(parsed.get())) return 0;
  std::unique_ptr<vxpatch::EncodedProgram> encoded = vxpatch::EncodeProgram(*parsed);
  parsed.reset();
  if (!encoded) return 0;
  vxpatch::OutputStream assembled;
  vxpatch::AssembleProgram(encoded.get(), &assembled);
  return 0;
}
