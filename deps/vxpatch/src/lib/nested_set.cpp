// Nested stream sets with the count of a fresh set.
#include "nested_set.h"

namespace vxpatch {

bool ReadNestedSet(InputStreamSet* outer, InputStreamSet* nested) {
  if (outer->Count() == 0) return false;
  InputStream announcement = *outer->Stream(0);
  uint32_t count = 0;
  if (!announcement.ReadUVarint(&count)) return false;
  if (count > kMaxStreams || count > outer->Count()) return false;
  uint32_t lengths[kMaxStreams] = {};
  for (uint32_t i = 0; i < count; ++i) {
    if (!announcement.ReadUVarint(&lengths[i])) return false;
  }
  // Work on copies so that a failure leaves both sets as they were.
  InputStream streams[kMaxStreams];
  for (size_t i = 0; i < outer->Count(); ++i) streams[i] = *outer->Stream(i);
  streams[0] = announcement;
  InputStream parts[kMaxStreams];
  for (uint32_t i = 0; i < count; ++i) {
    if (!streams[i].ReadSubstream(lengths[i], &parts[i])) return false;
  }
  for (size_t i = 0; i < outer->Count(); ++i) *outer->Stream(i) = streams[i];
  *nested = InputStreamSet();
  for (size_t i = 0; i < kMaxStreams; ++i) *nested->Stream(i) = parts[i];
  return true;
}

}  // namespace vxpatch
