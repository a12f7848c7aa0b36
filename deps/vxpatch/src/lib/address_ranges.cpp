// A sweep over the range boundaries with a heap of the ranges open at each
// point; the smallest open id owns the piece up to the next boundary.
#include "address_ranges.h"

#include <algorithm>
#include <functional>
#include <queue>
#include <utility>

namespace vxpatch {

void AddressRanges::Add(uint64_t begin, uint64_t end, size_t id) {
  if (begin < end) added_.push_back({begin, end, id});
}

void AddressRanges::Clear() {
  added_.clear();
  pieces_.clear();
}

void AddressRanges::Build() {
  pieces_.clear();
  std::vector<uint64_t> points;
  points.reserve(added_.size() * 2);
  for (const Range& range : added_) {
    points.push_back(range.begin);
    points.push_back(range.end);
  }
  std::sort(points.begin(), points.end());
  points.erase(std::unique(points.begin(), points.end()), points.end());
  std::vector<Range> by_begin = added_;
  std::sort(by_begin.begin(), by_begin.end(), [](const Range& a, const Range& b) { return a.begin < b.begin; });

  // (id, end) of the ranges open at the current point; closed ones are
  // dropped when they come to the top.
  using Open = std::pair<size_t, uint64_t>;
  std::priority_queue<Open, std::vector<Open>, std::greater<Open>> open;
  size_t next = 0;
  for (size_t i = 0; i + 1 < points.size(); ++i) {
    const uint64_t point = points[i];
    while (next < by_begin.size() && by_begin[next].begin == point) {
      open.push({by_begin[next].id, by_begin[next].end});
      ++next;
    }
    while (!open.empty() && open.top().second <= point) open.pop();
    if (open.empty()) continue;
    const size_t id = open.top().first;
    if (!pieces_.empty() && pieces_.back().end == point && pieces_.back().id == id) {
      pieces_.back().end = points[i + 1];
    } else {
      pieces_.push_back({point, points[i + 1], id});
    }
  }
}

bool AddressRanges::Find(uint64_t address, size_t* id) const {
  auto after = std::upper_bound(pieces_.begin(), pieces_.end(), address,
                                [](uint64_t value, const Range& piece) { return value < piece.begin; });
  if (after == pieces_.begin()) return false;
  const Range& piece = *(after - 1);
  if (address >= piece.end) return false;
  *id = piece.id;
  return true;
}

}  // namespace vxpatch
