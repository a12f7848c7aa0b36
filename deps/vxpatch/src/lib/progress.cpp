// Progress meters: the mapping of a step's bytes onto the operation's scale
// and the throttling of reports.
#include "vxpatch/progress.h"

namespace vxpatch {

namespace {

// a * b / c for b <= c, never above a; exact enough for a progress bar
// whatever the sizes.
uint64_t Scale(uint64_t a, uint64_t b, uint64_t c) {
  if (c == 0 || b >= c) return a;
  const auto scaled = static_cast<uint64_t>(static_cast<long double>(a) * b / c);
  return scaled < a ? scaled : a;
}

}  // namespace

ProgressMeter::ProgressMeter(const ProgressFn* fn, uint64_t total)
    : fn_(fn && *fn ? fn : nullptr), total_(total) {}

void ProgressMeter::Reach(uint64_t done) {
  if (!fn_) return;
  if (done > total_) done = total_;
  // The first report may be 0 of the total: the caller learns the work began.
  if (started_ && done <= reported_) return;
  started_ = true;
  reported_ = done;
  (*fn_)(done, total_);
}

ProgressSpan::ProgressSpan(ProgressMeter* meter, uint64_t from, uint64_t to, uint64_t bytes)
    : meter_(meter && meter->Active() ? meter : nullptr),
      from_(from),
      to_(to < from ? from : to),
      bytes_(bytes) {}

ProgressSpan ProgressSpan::Part(uint64_t from_share, uint64_t to_share, uint64_t shares,
                                uint64_t bytes) const {
  if (!meter_) return ProgressSpan();
  const uint64_t width = to_ - from_;
  return ProgressSpan(meter_, from_ + Scale(width, from_share, shares),
                      from_ + Scale(width, to_share, shares), bytes);
}

uint64_t ProgressSpan::Unit(uint64_t bytes) const {
  // The end is Finish's alone: the work is done only when its result was
  // checked.
  const uint64_t last = to_ > from_ ? to_ - 1 : to_;
  if (bytes_ == 0) return from_;
  return from_ + Scale(last - from_, bytes, bytes_);
}

void ProgressSpan::Add(uint64_t bytes) {
  done_ = bytes_ - done_ < bytes ? bytes_ : done_ + bytes;
  if (done_ - reported_ < kProgressStep) return;
  reported_ = done_;
  meter_->Reach(Unit(done_));
}

void ProgressSpan::Finish() {
  if (!meter_) return;
  done_ = reported_ = bytes_;
  meter_->Reach(to_);
}

}  // namespace vxpatch
