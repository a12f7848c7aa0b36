// Stream sets (plain and nested) and encoded programs as the executable form
// and ensemble patches read them, then their assembly.
#include <cstddef>
#include <cstdint>
#include <memory>

#include "encoded_program.h"
#include "fuzz_input.h"
#include "streams.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  vxpatch::InputStreamSet set;
  if (!set.InitFromBuffer(data, size)) return 0;
  vxpatch::InputStreamSet nested_view = set;
  vxpatch::InputStreamSet nested;
  nested_view.ReadSet(&nested);
  std::unique_ptr<vxpatch::EncodedProgram> program;
  if (vxpatch::ReadEncodedProgram(&set, &program) != vxpatch::STATUS_OK) return 0;
  vxpatch::OutputStream assembled;
  assembled.SetLimit(vxfuzz::kOutputLimit);
  vxpatch::AssembleProgram(program.get(), &assembled);
  return 0;
}
