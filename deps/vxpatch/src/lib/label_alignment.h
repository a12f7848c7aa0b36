// Label alignment for the patch generator: gives the labels of a new program
// the indexes of the corresponding labels of the old program, so that the
// label-index and label-address tables of the two encoded programs differ
// only where the code really changed.
//
// Parsers number labels in ascending address order, so one inserted label
// renumbers every reference to a later one. The applier encodes the old
// element with those default indexes and assembles whatever program the
// element correction yields; any one-to-one assignment of indexes to the new
// program's labels assembles to the same bytes. Which indexes the new labels
// get is therefore the generator's free choice, and alignment makes it.
//
// Correspondence comes from the structure around the labels, not from their
// addresses: a byte alignment of the two elements (ranges of new bytes that
// stand for ranges of old bytes, as a diff of the raw files finds them) pairs
// references that sit at corresponding places and labels whose targets do;
// labels left over between two pairs that moved by the same amount are paired
// by that shift. New labels without a partner get indexes that are free in
// the old program, next to the indexes of their paired neighbours where
// possible.
//
// Contract:
//  - AlignLabelIndexes only sets the index of every label of `new_program`
//    (rel32 and abs32); indexes are distinct per map and none is negative.
//    `old_program` must carry its default indexes.
//  - Both programs' byte runs must point into their element bytes (old_base,
//    new_base); references at places that cannot be located are ignored.
//  - Allocation failures throw std::bad_alloc (the generator catches it).
#ifndef VXPATCH_LABEL_ALIGNMENT_H
#define VXPATCH_LABEL_ALIGNMENT_H

#include <cstddef>
#include <cstdint>
#include <vector>

#include "assembly_program.h"
#include "vxpatch/label_alignment_stats.h"

namespace vxpatch {

// New bytes [new_offset, new_offset + length) correspond to old bytes
// [old_offset, old_offset + length).
struct AlignedRange {
  uint32_t new_offset = 0;
  uint32_t old_offset = 0;
  uint32_t length = 0;
};

// The ranges of a raw diff without header (as CreateDiff writes it with
// DIFF_RAW) in the order of the new bytes; false when it cannot be read.
bool AlignedRangesOfDiff(const uint8_t* diff, size_t length, std::vector<AlignedRange>* ranges);

void AlignLabelIndexes(const ParsedProgram& old_program, const uint8_t* old_base, size_t old_length,
                       ParsedProgram* new_program, const uint8_t* new_base, size_t new_length,
                       const std::vector<AlignedRange>& ranges, LabelAlignmentStats* stats);

}  // namespace vxpatch

#endif  // VXPATCH_LABEL_ALIGNMENT_H
