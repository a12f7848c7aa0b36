// Element patchers of ensemble patches.
//
// Contract:
//  - A TransformationPatcher handles one element of the old file: it reads
//    its parameters (where the element lies), predicts its parameter set,
//    transforms the old element into its encoded form, and reforms the
//    corrected encoded form into bytes appended to the prediction buffer.
//  - PatcherX86_32 serves every executable kind; the parser is chosen by
//    detection on the element's bytes, not by the kind in the patch.
//  - Every operation returns a Status; nothing is logged here.
#ifndef VXPATCH_ENSEMBLE_PATCHER_H
#define VXPATCH_ENSEMBLE_PATCHER_H

#include <cstddef>
#include <cstdint>

#include "streams.h"
#include "vxpatch/ensemble_status.h"
#include "vxpatch/progress.h"

namespace vxpatch {

class TransformationPatcher {
 public:
  TransformationPatcher() = default;
  virtual ~TransformationPatcher() = default;
  TransformationPatcher(const TransformationPatcher&) = delete;
  TransformationPatcher& operator=(const TransformationPatcher&) = delete;

  virtual Status ReadParameters(InputStream* descriptions) = 0;
  virtual Status PredictParameters(OutputStreamSet* predicted) = 0;
  virtual Status Transform(InputStreamSet* parameters, OutputStreamSet* transformed) = 0;
  virtual Status Reform(InputStreamSet* corrected, OutputStream* prediction) = 0;
};

class PatcherX86_32 : public TransformationPatcher {
 public:
  // base: the old file's bytes, which must outlive the patcher.
  PatcherX86_32(const uint8_t* base_start, size_t base_length)
      : base_start_(base_start), base_length_(base_length) {}

  Status ReadParameters(InputStream* descriptions) override;
  Status PredictParameters(OutputStreamSet* predicted) override;
  Status Transform(InputStreamSet* parameters, OutputStreamSet* transformed) override;
  Status Reform(InputStreamSet* corrected, OutputStream* prediction) override;

  uint32_t element_offset() const { return offset_; }
  uint32_t element_length() const { return length_; }
  // Where Transform reports its progress; the range is filled up to just
  // short of its end, which is the caller's once the element is written.
  void set_progress(const ProgressSpan& progress) { progress_ = progress; }

 private:
  const uint8_t* base_start_;
  size_t base_length_;
  uint32_t offset_ = 0;
  uint32_t length_ = 0;
  ProgressSpan progress_;
};

// The transform of one element, shared by the applier and the patch
// generator: parse, trim, encode, write into `transformed`. `progress`
// follows the parse, which takes most of the time.
Status TransformElement(const uint8_t* element, size_t length, OutputStreamSet* transformed,
                        const ProgressSpan& progress = ProgressSpan());

}  // namespace vxpatch

#endif  // VXPATCH_ENSEMBLE_PATCHER_H
