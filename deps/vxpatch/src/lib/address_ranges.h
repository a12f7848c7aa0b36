// First-match lookup over address ranges, for the executable parsers: an
// address belongs to the first range (in the order they were added) that
// contains it, as the formats define it, but finding it costs O(log n)
// instead of a pass over every range. A file that declares tens of thousands
// of segments or sections then costs time in proportion to its size, not to
// its size times its header count.
//
// Contract:
//  - Add(begin, end, id) in priority order; empty ranges are ignored.
//  - Build() once after the last Add (O(n log n)); Find before Build finds
//    nothing.
//  - Find(address, &id): true and the id of the first added range holding
//    `address`.
#ifndef VXPATCH_ADDRESS_RANGES_H
#define VXPATCH_ADDRESS_RANGES_H

#include <cstddef>
#include <cstdint>
#include <vector>

namespace vxpatch {

class AddressRanges {
 public:
  void Add(uint64_t begin, uint64_t end, size_t id);
  void Build();
  bool Find(uint64_t address, size_t* id) const;
  void Clear();

 private:
  struct Range {
    uint64_t begin;
    uint64_t end;
    size_t id;
  };
  std::vector<Range> added_;
  // Disjoint, sorted by begin; each carries the id that wins there.
  std::vector<Range> pieces_;
};

}  // namespace vxpatch

#endif  // VXPATCH_ADDRESS_RANGES_H
