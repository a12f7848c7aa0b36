// Generation of ensemble patches.
//
// The new file's executable element (detected over the whole file) is paired
// with the old file's when both are of the same kind and both transform; the
// patch then carries an identity parameter correction, a diff between the
// serialised encoded programs and a final diff from the prediction buffer
// (old file followed by the reassembled new element) to the new file. Without
// a pair the patch has zero elements and the final diff works on the old
// file alone. The applier's own code computes every intermediate the patch
// is diffed against, and the finished patch is applied once in memory before
// it is handed out.
#include "ensemble_patch.h"

#include <algorithm>
#include <new>
#include <vector>

#include "checksum.h"
#include "disassembler.h"
#include "ensemble_patcher.h"
#include "lzmaioout.h"
#include "mapped_file.h"
#include "packed_file.h"
#include "vxdiff.h"

namespace vxpatch {

namespace {

// Corrections are stored raw: the whole body is compressed as one LZMA2
// block, which does better than compressing each diff on its own.
constexpr DiffMethod kCorrectionMethod = DIFF_RAW;

struct Element {
  ExecutableKind kind = EXE_UNKNOWN;
  uint32_t offset = 0;
  uint32_t length = 0;
};

struct Bytes {
  const uint8_t* data;
  size_t length;
};

// The whole file as one element, if it is an executable that transforms.
bool FindElement(Bytes file, Element* element) {
  ExecutableKind kind = EXE_UNKNOWN;
  size_t length = 0;
  if (DetectExecutable(file.data, file.length, &kind, &length) != STATUS_OK) return false;
  if (length == 0 || length > UINT32_MAX) return false;
  OutputStreamSet probe;
  if (TransformElement(file.data, length, &probe) != STATUS_OK) return false;
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

// The serialised set of transformed elements, as the applier builds it.
Status SerialisedTransforms(Bytes file, const std::vector<Element>& elements, OutputStream* serialised) {
  OutputStreamSet transformed;
  for (const Element& element : elements) {
    OutputStreamSet single;
    const Status status = TransformElement(file.data + element.offset, element.length, &single);
    if (status != STATUS_OK) return status;
    if (!transformed.WriteSet(&single)) return STATUS_STREAM_ERROR;
  }
  return transformed.SerializeSet(serialised) ? STATUS_OK : STATUS_STREAM_ERROR;
}

Status BuildPatch(Bytes old_file, Bytes new_file, const std::vector<Element>& elements, OutputStream* patch) {
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
  OutputStreamSet predicted;
  for (size_t i = 0; i < elements.size(); ++i) {
    OutputStreamSet single;
    if (!predicted.WriteSet(&single)) return STATUS_STREAM_ERROR;
  }
  OutputStream parameters;
  if (!predicted.SerializeSet(&parameters)) return STATUS_STREAM_ERROR;
  if (!Diff(parameters.Buffer(), parameters.Length(), parameters.Buffer(), parameters.Length(),
            body.Stream(kParameterCorrection)))
    return STATUS_GENERAL_ERROR;

  // Elements: from the old elements' encoded programs to the new ones'.
  OutputStream old_programs, new_programs;
  Status status = SerialisedTransforms(old_file, elements, &old_programs);
  if (status != STATUS_OK) return status;
  std::vector<Element> new_elements;
  Element new_element;
  if (!elements.empty()) {
    if (!FindElement(new_file, &new_element)) return STATUS_GENERAL_ERROR;
    new_elements.push_back(new_element);
  }
  status = SerialisedTransforms(new_file, new_elements, &new_programs);
  if (status != STATUS_OK) return status;
  if (!Diff(old_programs.Buffer(), old_programs.Length(), new_programs.Buffer(), new_programs.Length(),
            body.Stream(kElementCorrection)))
    return STATUS_GENERAL_ERROR;

  // Prediction: the old file, then every new program reassembled exactly as
  // the applier will reassemble it.
  OutputStream prediction;
  if (!prediction.Write(old_file.data, old_file.length)) return STATUS_STREAM_ERROR;
  InputStreamSet programs;
  if (!programs.InitFromBuffer(new_programs.Buffer(), new_programs.Length())) return STATUS_STREAM_ERROR;
  for (size_t i = 0; i < elements.size(); ++i) {
    InputStreamSet nested;
    if (!programs.ReadSet(&nested)) return STATUS_STREAM_ERROR;
    PatcherX86_32 reformer(old_file.data, old_file.length);
    status = reformer.Reform(&nested, &prediction);
    if (status != STATUS_OK) return status;
  }
  if (prediction.Length() > UINT32_MAX) return STATUS_GENERAL_ERROR;
  if (!Diff(prediction.Buffer(), prediction.Length(), new_file.data, new_file.length,
            body.Stream(kFinalCorrection)))
    return STATUS_GENERAL_ERROR;

  OutputStream serialised_body;
  if (!body.SerializeSet(&serialised_body)) return STATUS_STREAM_ERROR;
  const bool header_ok = patch->WriteUVarint(kEnsembleMagic) && patch->WriteUVarint(kEnsembleVersion) &&
                         patch->WriteUVarint(ComputeChecksum(old_file.data, old_file.length)) &&
                         patch->WriteUVarint(ComputeChecksum(new_file.data, new_file.length)) &&
                         patch->WriteSizeUVarint(prediction.Length());
  if (!header_ok) return STATUS_STREAM_ERROR;
  if (!WriteLzma2Block(serialised_body.Buffer(), serialised_body.Length(), patch)) return STATUS_STREAM_ERROR;
  return STATUS_OK;
}

bool Reproduces(Bytes old_file, Bytes new_file, const OutputStream& patch) {
  InputStream old_stream(old_file.data, old_file.length);
  InputStream patch_stream(patch);
  OutputStream result;
  // Applied under the limit the updater sets (the new file's size), so that
  // a patch is only written when installed updaters take it.
  if (ApplyEnsemblePatch(&old_stream, &patch_stream, &result, new_file.length) != STATUS_OK) return false;
  return result.Length() == new_file.length &&
         (new_file.length == 0 || std::equal(new_file.data, new_file.data + new_file.length, result.Buffer()));
}

}  // namespace

Status CreateEnsemblePatch(InputStream* old_file, InputStream* new_file, OutputStream* patch) {
  try {
    const Bytes old_bytes{old_file->Current(), old_file->Remaining()};
    const Bytes new_bytes{new_file->Current(), new_file->Remaining()};
    std::vector<Element> elements;
    Element old_element, new_element;
    if (FindElement(new_bytes, &new_element) && FindElement(old_bytes, &old_element) &&
        old_element.kind == new_element.kind)
      elements.push_back(old_element);

    OutputStream candidate;
    Status status = BuildPatch(old_bytes, new_bytes, elements, &candidate);
    if (status == STATUS_OK && !Reproduces(old_bytes, new_bytes, candidate)) status = STATUS_GENERAL_ERROR;
    if (status != STATUS_OK && !elements.empty()) {
      // Whatever went wrong with the element, a plain patch still works.
      candidate.Retire();
      elements.clear();
      status = BuildPatch(old_bytes, new_bytes, elements, &candidate);
      if (status == STATUS_OK && !Reproduces(old_bytes, new_bytes, candidate)) status = STATUS_GENERAL_ERROR;
    }
    if (status != STATUS_OK) return status;
    if (!patch->Append(&candidate)) return STATUS_STREAM_ERROR;
    old_file->Skip(old_file->Remaining());
    new_file->Skip(new_file->Remaining());
    return STATUS_OK;
  } catch (const std::bad_alloc&) {
    return STATUS_STREAM_ERROR;
  }
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
