// The executable form of packed files (directive 2): unpacking and packing.
// Payload: one serialised stream set; streams 0 to n-2 each hold one
// element's encoded program (itself a serialised set), stream n-1 a raw diff
// from the concatenated assembled elements to the whole file.
#include "executable_form.h"

#include <memory>
#include <new>
#include <string>
#include <vector>

#include "disassembler.h"
#include "encoded_program.h"
#include "engine_log.h"
#include "executable_elements.h"
#include "lzmaioout.h"
#include "output_limit.h"
#include "container.h"
#include "vxdiff.h"

namespace vxpatch {

namespace {

bool UnpackError(const char* message) {
  LogError(message);
  return false;
}

bool PackWarning(const char* message) {
  LogWarning(message);
  return false;
}

// Appends every element's assembled bytes to `assembly`.
bool AssembleElements(InputStreamSet* set, OutputStream* assembly, ProgressSpan* progress) {
  for (size_t i = 0; i + 1 < set->Count(); ++i) {
    InputStream* stream = set->Stream(i);
    // Parsed in place: the program's streams point into the decompressed
    // payload.
    InputStreamSet program_set;
    if (!program_set.InitFromBuffer(stream->Current(), stream->Remaining()))
      return UnpackError("could not init program_source set");
    const Status status = AssembleEncodedProgram(&program_set, assembly);
    if (status == STATUS_DESERIALIZATION_FAILED) return UnpackError("could not read encoded program");
    if (status != STATUS_OK) {
      if (assembly->LimitExceeded()) LogOutputLimit(assembly->Limit());
      return UnpackError("could not assemble program");
    }
    progress->Advance(stream->Remaining());
  }
  return true;
}

// One element into its stream, and its assembled bytes onto `assembly`.
bool PackElement(const uint8_t* data, const ExecutableElement& element, OutputStream* stream,
                 OutputStream* assembly) {
  std::unique_ptr<ParsedProgram> parsed;
  if (ParseExecutable(data + element.offset, static_cast<size_t>(element.length), &parsed) != STATUS_OK)
    return PackWarning("could not parse file");
  if (!TrimLabels(parsed.get())) return PackWarning("could not trim labels");
  std::unique_ptr<EncodedProgram> encoded = EncodeProgram(*parsed);
  parsed.reset();
  if (!encoded) return PackWarning("could not encode program");
  OutputStreamSet program_set;
  if (WriteEncodedProgram(*encoded, &program_set) != STATUS_OK) return PackWarning("could not write encode program");
  if (!program_set.SerializeSet(stream)) return PackWarning("could not combine streams");
  // The unpacker assembles what it reads back, which is this very program.
  if (AssembleProgram(encoded.get(), assembly) != STATUS_OK) return PackWarning("could not assemble program");
  return true;
}

bool BuildExecutableForm(const uint8_t* data, size_t length, uint32_t checksum,
                         const std::vector<ExecutableElement>& elements, OutputStream* packed) {
  if (!packed->WriteUVarint(kPackedFileMagic) || !packed->WriteUVarint(checksum) ||
      !packed->WriteUVarint(DIRECTIVE_EXECUTABLE))
    return PackWarning("could not write preprocess directive");
  // One stream per element and the diff: at most nine elements fit a set.
  if (elements.size() + 1 > kMaxStreams) return PackWarning("too many executable elements");
  OutputStreamSet set;
  set.SetCount(elements.size() + 1);
  OutputStream assembly;
  for (size_t i = 0; i < elements.size(); ++i) {
    if (!PackElement(data, elements[i], set.Stream(i), &assembly)) return false;
  }
  InputStream old_bytes(assembly);
  InputStream new_bytes(data, length);
  if (!CreateDiff(&old_bytes, &new_bytes, set.Stream(elements.size()), false, DIFF_RAW))
    return PackWarning("could not generate diff");
  assembly.Retire();
  OutputStream payload;
  if (!set.SerializeSet(&payload)) return PackWarning("could not combine dis and dif");
  if (!WriteLzma2Block(payload.Buffer(), payload.Length(), packed)) return PackWarning("could not compress file");
  return true;
}

}  // namespace

bool UnpackExecutableForm(InputStream* payload, OutputStream* result, size_t output_limit,
                          const ProgressSpan& progress) {
  try {
    // Shares of the time, as measured on large libraries: decoding the
    // payload most, assembling the elements less, the final diff little.
    ProgressSpan decoding = progress.Part(0, 6, 10, Lzma2BlockSize(*payload));
    OutputStream decompressed;
    decompressed.SetLimit(WorkLimit(output_limit));
    if (!ReadLzma2Block(payload, &decompressed, &decoding)) {
      if (decompressed.LimitExceeded()) result->FailOverLimit();
      return UnpackError("could not decompress file");
    }
    InputStreamSet set;
    if (!set.InitFromBuffer(decompressed.Buffer(), decompressed.Length()))
      return UnpackError("could not init dif_and_dis set");
    if (set.Count() < 2) return UnpackError("dis_and_diff too small");
    // The payload and the assembled elements share one work limit.
    OutputStream assembly;
    assembly.SetLimit(WorkLimit(output_limit) - decompressed.Length());
    size_t programs = 0;
    for (size_t i = 0; i + 1 < set.Count(); ++i) programs += set.Stream(i)->Remaining();
    ProgressSpan assembling = progress.Part(6, 9, 10, programs);
    if (!AssembleElements(&set, &assembly, &assembling)) {
      if (assembly.LimitExceeded()) result->FailOverLimit();
      return false;
    }
    InputStream old_bytes(assembly);
    if (!ApplyDiff(&old_bytes, 1, set.Stream(set.Count() - 1), result, false, output_limit, kNoOutputLimit,
                   progress.Part(9, 10, 10, 0)))
      return UnpackError("could not apply diff");
    return true;
  } catch (const std::bad_alloc&) {
    return UnpackError("out of memory");
  }
}

ExecutablePackResult PackExecutableForm(const uint8_t* data, size_t length, uint32_t checksum,
                                        OutputStream* packed) {
  try {
    std::vector<ExecutableElement> elements;
    const Status status = FindExecutableElements(data, length, &elements);
    if (status != STATUS_OK) {
      LogError("error detecting file type " + std::to_string(status));
      return ExecutablePackResult::kFailed;
    }
    if (elements.empty()) return ExecutablePackResult::kUsePlainForm;
    for (const ExecutableElement& element : elements)
      LogDebug(std::string("detected ") + ExecutableKindName(element.kind));
    if (BuildExecutableForm(data, length, checksum, elements, packed)) return ExecutablePackResult::kPacked;
  } catch (const std::bad_alloc&) {
    LogWarning("out of memory");
  }
  LogWarning("falling back to default compression");
  packed->Retire();
  return ExecutablePackResult::kUsePlainForm;
}

}  // namespace vxpatch
