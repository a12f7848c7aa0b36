// Element matching for the patch generator: which bytes of a new program
// still correspond to bytes of the old one when most of the program changed.
//
// Across a big change a byte diff of the raw files aligns stretches that are
// only roughly alike: every reference to a moved address differs, so exact
// matches stay short and the diff's approximate stretches pair many labels
// wrongly, which costs more in the label tables than the right pairs save.
// Matching compares the programs with their references blanked out (the four
// bytes of every rel32 and abs32 reference set to zero), so that code and
// data that were only moved or relinked are equal again, and pairs stretches
// that are equal over at least a few dozen bytes and start with content that
// occurs exactly once in each version: functions and tables found by their
// content wherever they now lie, and nothing that is merely similar.
//
// Contract:
//  - MatchElements takes the byte alignment of the raw elements in `ranges`
//    (as AlignedRangesOfDiff gives it, offsets into the elements). When that
//    alignment pairs most of the new bytes with equal old bytes it is kept
//    and false is returned; otherwise (an empty alignment included) it is
//    replaced by the matched stretches, in the order of the new bytes and
//    without overlaps, and true is returned.
//  - Both programs' byte runs must point into their element bytes; references
//    at places that cannot be located stay as they are.
//  - Allocation failures throw std::bad_alloc (the generator catches it).
#ifndef VXPATCH_ELEMENT_MATCHING_H
#define VXPATCH_ELEMENT_MATCHING_H

#include <cstddef>
#include <cstdint>
#include <vector>

#include "assembly_program.h"
#include "label_alignment.h"

namespace vxpatch {

bool MatchElements(const ParsedProgram& old_program, const uint8_t* old_base, size_t old_length,
                   const ParsedProgram& new_program, const uint8_t* new_base, size_t new_length,
                   std::vector<AlignedRange>* ranges);

}  // namespace vxpatch

#endif  // VXPATCH_ELEMENT_MATCHING_H
