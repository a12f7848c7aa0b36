# Layer 3 of the engine: set(vxpatch_exe_sources src/lib/....cpp ...)
set(vxpatch_exe_sources)
