# Layers 1 and 2 of the engine: set(vxpatch_core_sources src/lib/....cpp ...)
set(vxpatch_core_sources)
