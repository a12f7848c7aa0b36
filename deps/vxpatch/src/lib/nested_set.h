// Reading a nested stream set the way ensemble patches need it.
//
// Contract: ReadNestedSet reads the set announced in the outer set's stream 0
// (varint n, n lengths) and gives the nested set the next length-i bytes of
// outer stream i as its stream i. The nested set keeps the count of a fresh
// set (ten streams): only its first n streams are filled, the others are
// empty. An encoded program is written with n = 8 (its streams 8 and 9 are
// empty) and is read from nine streams, so a nested set must not shrink to
// the announced count. On failure neither set changes.
#ifndef VXPATCH_NESTED_SET_H
#define VXPATCH_NESTED_SET_H

#include "streams.h"

namespace vxpatch {

bool ReadNestedSet(InputStreamSet* outer, InputStreamSet* nested);

}  // namespace vxpatch

#endif  // VXPATCH_NESTED_SET_H
