// Assembly of an encoded program back into executable bytes, with the PE and
// ELF relocation tables rebuilt from the abs32 values written.
#include "encoded_program.h"

#include <algorithm>
#include <new>

#include "arm_branch.h"

namespace vxpatch {

namespace {

constexpr uint32_t kPeRelocType32 = 3;
constexpr uint32_t kPeRelocType64 = 10;
constexpr uint32_t kElfRelocX86 = 8;
constexpr uint32_t kElfRelocArm = 23;

bool WriteLe32(OutputStream* out, uint32_t value) {
  const uint8_t bytes[4] = {static_cast<uint8_t>(value), static_cast<uint8_t>(value >> 8),
                            static_cast<uint8_t>(value >> 16), static_cast<uint8_t>(value >> 24)};
  return out->Write(bytes, 4);
}

bool WriteLe16(OutputStream* out, uint32_t value) {
  const uint8_t bytes[2] = {static_cast<uint8_t>(value), static_cast<uint8_t>(value >> 8)};
  return out->Write(bytes, 2);
}

// The tables are built from the relocation list sorted except for its last
// entry, which keeps its place: the format was defined that way and the
// tables must come out byte for byte as the parsers expect them.
void PartialSort(std::vector<uint32_t>* list) {
  if (list->size() > 1) std::sort(list->begin(), list->end() - 1);
}

bool WritePeBlock(OutputStream* out, uint32_t page, const std::vector<uint16_t>& entries) {
  std::vector<uint16_t> padded = entries;
  if ((8 + 2 * padded.size()) % 4 != 0) padded.push_back(0);
  if (!WriteLe32(out, page) || !WriteLe32(out, static_cast<uint32_t>(8 + 2 * padded.size()))) return false;
  for (uint16_t entry : padded) {
    if (!WriteLe16(out, entry)) return false;
  }
  return true;
}

bool WritePeRelocationTable(std::vector<uint32_t>* list, uint32_t type, OutputStream* out) {
  PartialSort(list);
  std::vector<uint16_t> block;
  uint32_t page = 0;
  for (uint32_t rva : *list) {
    const uint32_t this_page = rva & ~0xFFFu;
    if (!block.empty() && this_page != page) {
      if (!WritePeBlock(out, page, block)) return false;
      block.clear();
    }
    page = this_page;
    block.push_back(static_cast<uint16_t>(type << 12 | (rva & 0xFFFu)));
  }
  return block.empty() || WritePeBlock(out, page, block);
}

bool WriteElfRelocationTable(std::vector<uint32_t>* list, uint32_t type, OutputStream* out) {
  PartialSort(list);
  for (uint32_t rva : *list) {
    if (!WriteLe32(out, rva) || !WriteLe32(out, type)) return false;
  }
  return true;
}

// Cursor over one operand vector; running past its end fails the assembly.
template <typename T>
class Cursor {
 public:
  explicit Cursor(const std::vector<T>& values) : values_(values) {}
  bool Next(T* value) {
    if (next_ >= values_.size()) return false;
    *value = values_[next_++];
    return true;
  }
  bool Take(size_t count, const T** first) {
    if (values_.size() - next_ < count) return false;
    *first = values_.data() + next_;
    next_ += count;
    return true;
  }
  bool Done() const { return next_ == values_.size(); }

 private:
  const std::vector<T>& values_;
  size_t next_ = 0;
};

class Assembler {
 public:
  Assembler(EncodedProgram* program, OutputStream* output)
      : program_(program), output_(output), target_(output), origins_(program->origins),
        copy_counts_(program->copy_counts), copy_bytes_(program->copy_bytes), rel32_ix_(program->rel32_ix),
        abs32_ix_(program->abs32_ix) {}

  bool Run() {
    program_->abs32_relocs.clear();
    for (uint32_t op : program_->ops) {
      if (!Step(op)) return false;
    }
    if (pending_table_ != kNone) {
      const bool table_ok = pending_table_ == kPe
                                ? WritePeRelocationTable(&program_->abs32_relocs, table_type_, output_)
                                : WriteElfRelocationTable(&program_->abs32_relocs, table_type_, output_);
      if (!table_ok || !output_->Append(&after_table_)) return false;
    }
    // Every operand must have been used; origins need not be.
    return copy_counts_.Done() && copy_bytes_.Done() && rel32_ix_.Done() && abs32_ix_.Done() &&
           !output_->Failed();
  }

 private:
  enum TableKind { kNone, kPe, kElf };

  bool Step(uint32_t op) {
    switch (op) {
      case OP_ORIGIN:
        return origins_.Next(&rva_);
      case OP_COPY: {
        uint32_t count = 0;
        const uint8_t* bytes = nullptr;
        if (!copy_counts_.Next(&count) || !copy_bytes_.Take(count, &bytes) || !target_->Write(bytes, count))
          return false;
        rva_ += count;
        return true;
      }
      case OP_COPY1: {
        const uint8_t* byte = nullptr;
        if (!copy_bytes_.Take(1, &byte) || !target_->Write(byte, 1)) return false;
        rva_ += 1;
        return true;
      }
      case OP_REL32: {
        uint32_t index = 0;
        if (!rel32_ix_.Next(&index) || index >= program_->rel32_rvas.size()) return false;
        if (!WriteLe32(target_, program_->rel32_rvas[index] - (rva_ + 4))) return false;
        rva_ += 4;
        return true;
      }
      case OP_ABS32: {
        uint32_t index = 0;
        if (!abs32_ix_.Next(&index) || index >= program_->abs32_rvas.size()) return false;
        program_->abs32_relocs.push_back(rva_);
        if (!WriteLe32(target_, program_->abs32_rvas[index] + program_->image_base)) return false;
        rva_ += 4;
        return true;
      }
      case OP_PE_RELOCS:
        return StartTable(kPe, kPeRelocType32);
      case OP_PE64_RELOCS:
        return StartTable(kPe, kPeRelocType64);
      case OP_ELF_RELOCS:
        return StartTable(kElf, kElfRelocX86);
      case OP_ELF_ARM_RELOCS:
        return StartTable(kElf, kElfRelocArm);
      default:
        return ArmBranch(op);
    }
  }

  // One relocation table per program: its bytes go where the op stands, and
  // everything after it waits in a buffer until the table is known.
  bool StartTable(TableKind kind, uint32_t type) {
    if (pending_table_ != kNone) return false;
    pending_table_ = kind;
    table_type_ = type;
    target_ = &after_table_;
    return true;
  }

  bool ArmBranch(uint32_t op) {
    const uint32_t family = op & 0xF000u;
    if (op > 0xFFFFu || family < 0x1000u || family > 0x5000u) return false;
    uint32_t index = 0;
    if (!rel32_ix_.Next(&index) || index >= program_->rel32_rvas.size()) return false;
    uint32_t value = 0;
    uint8_t size = 0;
    const uint16_t arm_op = static_cast<uint16_t>(op);
    if (!RebuildArmBranch(arm_op, program_->rel32_rvas[index] - rva_, &value, &size)) return false;
    uint8_t bytes[4];
    StoreArmBranch(arm_op, value, bytes);
    if (!target_->Write(bytes, size)) return false;
    rva_ += size;
    return true;
  }

  EncodedProgram* program_;
  OutputStream* output_;
  OutputStream* target_;
  OutputStream after_table_;
  TableKind pending_table_ = kNone;
  uint32_t table_type_ = 0;
  uint32_t rva_ = 0;
  Cursor<uint32_t> origins_;
  Cursor<uint32_t> copy_counts_;
  Cursor<uint8_t> copy_bytes_;
  Cursor<uint32_t> rel32_ix_;
  Cursor<uint32_t> abs32_ix_;
};

}  // namespace

Status AssembleProgram(EncodedProgram* program, OutputStream* output) {
  try {
    Assembler assembler(program, output);
    return assembler.Run() ? STATUS_OK : STATUS_ASSEMBLY_FAILED;
  } catch (const std::bad_alloc&) {
    return STATUS_ASSEMBLY_FAILED;
  }
}

}  // namespace vxpatch
