# Layers 1 and 2 of the engine: set(vxpatch_core_sources src/lib/....cpp ...)
set(vxpatch_core_sources
  # layer 1: streams, varints, mapped files, checksum, log glue
  src/lib/streams.cpp
  src/lib/mapped_file.cpp
  src/lib/checksum.cpp
  # layer 2: LZMA2 blocks, packed-file container, diff
  src/lib/lzmaioout.cpp
  src/lib/packed_file.cpp
  src/lib/vxdiff_apply.cpp
  src/lib/vxdiff_create.cpp
)
