# Layers 1 and 2 of the engine, sources and headers.
set(vxpatch_common_sources
  # layer 1: big buffers, streams, varints, mapped files, checksum, log glue, checked reads,
  # the thread budget
  src/lib/big_buffer.cpp src/lib/big_buffer.h
  src/lib/streams.cpp src/lib/streams.h include/vxpatch/limits.h
  src/lib/mapped_file.cpp src/lib/mapped_file.h
  src/lib/output_file.cpp src/lib/output_file.h
  src/lib/checksum.cpp src/lib/checksum.h
  src/lib/output_limit.cpp src/lib/output_limit.h
  src/lib/progress.cpp include/vxpatch/progress.h
  src/lib/engine_log.h
  src/lib/checked_bytes.h
  src/lib/thread_budget.cpp include/vxpatch/thread_budget.h
)
set(vxpatch_container_sources
  # layer 2: LZMA2 blocks, packed-file container (plain form), diff
  src/lib/lzma2_coder.cpp src/lib/lzma2_coder.h
  src/lib/lzma2_decoder.cpp src/lib/lzma2_decoder.h
  src/lib/lzmaioout.cpp src/lib/lzmaioout.h
  src/lib/lzma2_block_reader.cpp src/lib/lzma2_block_reader.h
  src/lib/lzma2_piece_encoder.cpp src/lib/lzma2_piece_encoder.h
  src/lib/lzma2_block_writer.cpp
  src/lib/container.cpp src/lib/container.h
  src/lib/vxdiff.h
  src/lib/vxdiff_apply.cpp
  src/lib/vxdiff_create.cpp
)
