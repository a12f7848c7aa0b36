# Layer 3 of the engine: set(vxpatch_exe_sources src/lib/....cpp ...)
set(vxpatch_exe_sources
  # statuses, kinds and the parsed program
  src/lib/ensemble_status.cpp
  src/lib/assembly_program.cpp
  # encoded programs and their assembly
  src/lib/encoded_program.cpp
  src/lib/assemble_program.cpp
  src/lib/arm_branch.cpp
  # detection and the executable parsers
  src/lib/disassembler.cpp
  src/lib/disassembler_elf.cpp
  src/lib/disassembler_elf32_x86.cpp
  src/lib/disassembler_elf32_arm.cpp
  src/lib/typed_rva.cpp
  src/lib/rel32_scan_x86.cpp
  src/lib/disassembler_win32.cpp
  src/lib/disassembler_macho.cpp
  # the executable form of packed files (directive 2)
  src/lib/executable_elements.cpp
  src/lib/executable_form.cpp
  # ensemble patches
  src/lib/ensemble_patcher.cpp
  src/lib/ensemble_apply.cpp
  src/lib/ensemble_create.cpp
)
