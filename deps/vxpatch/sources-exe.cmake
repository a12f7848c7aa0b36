# Layer 3 of the engine, sources and headers.
set(vxpatch_exe_sources
  # statuses, kinds and the parsed program
  src/lib/ensemble_status.cpp include/vxpatch/ensemble_status.h
  src/lib/assembly_program.cpp src/lib/assembly_program.h
  # encoded programs and their assembly
  src/lib/encoded_program.cpp src/lib/encoded_program.h
  src/lib/assemble_program.cpp
  src/lib/arm_branch.cpp src/lib/arm_branch.h
  # detection and the executable parsers
  src/lib/address_ranges.cpp src/lib/address_ranges.h
  src/lib/disassembler.cpp src/lib/disassembler.h
  src/lib/disassembler_elf.cpp src/lib/disassembler_elf.h
  src/lib/disassembler_elf32_x86.cpp src/lib/disassembler_elf32_x86.h
  src/lib/disassembler_elf32_arm.cpp src/lib/disassembler_elf32_arm.h
  src/lib/disassembler_elf64_x64.h
  src/lib/typed_rva.cpp src/lib/typed_rva.h
  src/lib/rel32_scan_x86.cpp src/lib/rel32_scan_x86.h
  src/lib/disassembler_win32.cpp src/lib/disassembler_win32.h
  src/lib/disassembler_win32_x86.h src/lib/disassembler_win32_x64.h
  src/lib/disassembler_macho.cpp src/lib/disassembler_macho.h
  src/lib/executable_detection.cpp src/lib/executable_detection.h
  # the executable form of packed files (directive 2), and the container with
  # every form
  src/lib/executable_elements.cpp src/lib/executable_elements.h
  src/lib/executable_form.cpp src/lib/executable_form.h
  src/lib/packed_file.cpp include/vxpatch/packed_file.h
  # ensemble patches
  src/lib/ensemble_patcher.cpp src/lib/ensemble_patcher.h
  include/vxpatch/ensemble_patch.h
  src/lib/ensemble_apply.cpp
  src/lib/ensemble_create.cpp include/vxpatch/ensemble_create.h
  src/lib/label_alignment.cpp src/lib/label_alignment.h include/vxpatch/label_alignment_stats.h
  src/lib/element_matching.cpp src/lib/element_matching.h
)
