// The executable elements of a file, as the packer of the executable form
// finds them: the thin files of a multi-architecture Mach-O file, or the
// whole file when it is an executable of a known kind.
//
// Contract:
//  - FindExecutableElements gives STATUS_OK and the elements in file order
//    (none: the file holds no executable of a known kind), or the status of a
//    failed detection. Elements never overlap and lie inside the file.
//  - A multi-architecture file is only looked into when it has at least
//    4096 bytes and announces 1 to 8 entries. An entry that overflows, ends
//    beyond the file, overlaps an element found before or holds a longer
//    executable than it claims stops the search there; the elements found
//    before it stay, and the whole file is tried as well.
#ifndef VXPATCH_EXECUTABLE_ELEMENTS_H
#define VXPATCH_EXECUTABLE_ELEMENTS_H

#include <cstddef>
#include <cstdint>
#include <vector>

#include "vxpatch/ensemble_status.h"

namespace vxpatch {

struct ExecutableElement {
  uint64_t offset = 0;
  uint64_t length = 0;
  ExecutableKind kind = EXE_UNKNOWN;
};

Status FindExecutableElements(const uint8_t* data, size_t length, std::vector<ExecutableElement>* elements);

}  // namespace vxpatch

#endif  // VXPATCH_EXECUTABLE_ELEMENTS_H
