// Progress of long engine work (unpacking, applying), for callers that show
// it while the work runs.
//
// Contract:
//  - A ProgressFn is called on the working thread with `done` of `total`
//    units. Within one operation `total` stays the same, `done` never
//    decreases, and a successful operation's last call has done == total. A
//    failed operation may stop anywhere. Units are the operation's own (bytes
//    of output for a container, weighted bytes of each step for a patch):
//    only done / total means anything to the caller.
//  - Calls come at most once per kProgressStep bytes of work of a step, plus
//    once at the end of each step, so a small file costs one or two calls.
//  - An empty function is never called, and the meters below cost one
//    comparison per loop step then. Reporting never changes a result.
//  - ProgressMeter owns the scale of one operation; a ProgressSpan maps one
//    step's own byte count onto a range of it. A default span reports nothing.
#ifndef VXPATCH_PROGRESS_H
#define VXPATCH_PROGRESS_H

#include <cstddef>
#include <cstdint>
#include <functional>

namespace vxpatch {

using ProgressFn = std::function<void(uint64_t done, uint64_t total)>;

constexpr uint64_t kProgressStep = uint64_t{4} << 20;
// The scale of the file-level entries: done / total in millionths.
constexpr uint64_t kProgressUnits = 1000000;

class ProgressMeter {
 public:
  // `fn` may be null or empty; it must outlive the meter.
  ProgressMeter(const ProgressFn* fn, uint64_t total);

  bool Active() const { return fn_ != nullptr; }
  uint64_t Total() const { return total_; }
  // Reports `done` (clamped to the total) unless it is not beyond the last.
  void Reach(uint64_t done);
  void Finish() { Reach(total_); }

 private:
  const ProgressFn* fn_ = nullptr;
  uint64_t total_ = 0;
  uint64_t reported_ = 0;
  bool started_ = false;
};

class ProgressSpan {
 public:
  ProgressSpan() = default;
  // Units [from, to) of `meter` stand for `bytes` bytes of this step's work.
  ProgressSpan(ProgressMeter* meter, uint64_t from, uint64_t to, uint64_t bytes);

  bool Active() const { return meter_ != nullptr; }
  // The part [from_share, to_share) of this span, in parts of `shares`, for
  // `bytes` bytes of a sub-step.
  ProgressSpan Part(uint64_t from_share, uint64_t to_share, uint64_t shares, uint64_t bytes) const;
  void Advance(uint64_t bytes) {
    if (meter_) Add(bytes);
  }
  // The step is complete and checked: its whole range is reported. Advance
  // alone stops one unit short of the end.
  void Finish();

 private:
  void Add(uint64_t bytes);
  uint64_t Unit(uint64_t bytes) const;

  ProgressMeter* meter_ = nullptr;
  uint64_t from_ = 0;
  uint64_t to_ = 0;
  uint64_t bytes_ = 0;
  uint64_t done_ = 0;
  uint64_t reported_ = 0;
};

}  // namespace vxpatch

#endif  // VXPATCH_PROGRESS_H
