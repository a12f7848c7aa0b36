// Assembly of an encoded program back into executable bytes, with the PE and
// ELF relocation tables rebuilt from the abs32 values written.
#include "encoded_program.h"

#include <algorithm>
#include <cstring>
#include <limits>
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

// Cursor over one operand table still in its stream: `count` varints (or
// bytes) that were checked before assembly started, so reading them back
// cannot fail; running past the count fails the assembly as above.
class StreamCursor {
 public:
  StreamCursor() = default;
  StreamCursor(const InputStream& stream, uint32_t count) : stream_(stream), left_(count) {}
  bool Next(uint32_t* value) {
    if (left_ == 0 || !stream_.ReadUVarint(value)) return false;
    --left_;
    return true;
  }
  bool Take(size_t count, const uint8_t** first) {
    if (left_ < count) return false;
    *first = stream_.Current();
    stream_.Skip(count);
    left_ -= static_cast<uint32_t>(count);
    return true;
  }
  bool Done() const { return left_ == 0; }
  uint32_t Count() const { return left_; }

 private:
  InputStream stream_;
  uint32_t left_ = 0;
};

// The operands of a program held in an EncodedProgram.
struct VectorOperands {
  explicit VectorOperands(const EncodedProgram& program)
      : origins(program.origins),
        copy_counts(program.copy_counts),
        copy_bytes(program.copy_bytes),
        rel32_ix(program.rel32_ix),
        abs32_ix(program.abs32_ix),
        abs32_count(program.abs32_ix.size()) {}
  Cursor<uint32_t> origins;
  Cursor<uint32_t> copy_counts;
  Cursor<uint8_t> copy_bytes;
  Cursor<uint32_t> rel32_ix;
  Cursor<uint32_t> abs32_ix;
  size_t abs32_count;
};

// The operands of a program still in its streams.
struct StreamOperands {
  StreamCursor origins;
  StreamCursor copy_counts;
  StreamCursor copy_bytes;
  StreamCursor rel32_ix;
  StreamCursor abs32_ix;
  size_t abs32_count = 0;
};

// Assembles the ops that `next_op` hands out one by one, taking their
// operands from `operands`, the label addresses from `rel32_rvas` and
// `abs32_rvas`.
template <typename Operands>
class Assembler {
 public:
  Assembler(uint32_t image_base, const std::vector<uint32_t>& rel32_rvas,
            const std::vector<uint32_t>& abs32_rvas, Operands* operands, std::vector<uint32_t>* abs32_relocs,
            OutputStream* output)
      : image_base_(image_base),
        rel32_rvas_(rel32_rvas),
        abs32_rvas_(abs32_rvas),
        operands_(operands),
        abs32_relocs_(abs32_relocs),
        output_(output),
        target_(output) {}

  bool Step(uint32_t op) {
    switch (op) {
      case OP_ORIGIN: return operands_->origins.Next(&rva_);
      case OP_COPY: {
        uint32_t count = 0;
        const uint8_t* bytes = nullptr;
        if (!operands_->copy_counts.Next(&count) || !operands_->copy_bytes.Take(count, &bytes) ||
            !target_->Write(bytes, count))
          return false;
        rva_ += count;
        return true;
      }
      case OP_COPY1: {
        const uint8_t* byte = nullptr;
        if (!operands_->copy_bytes.Take(1, &byte) || !target_->Write(byte, 1)) return false;
        rva_ += 1;
        return true;
      }
      case OP_REL32: {
        uint32_t index = 0;
        if (!operands_->rel32_ix.Next(&index) || index >= rel32_rvas_.size()) return false;
        if (!WriteLe32(target_, rel32_rvas_[index] - (rva_ + 4))) return false;
        rva_ += 4;
        return true;
      }
      case OP_ABS32: {
        uint32_t index = 0;
        if (!operands_->abs32_ix.Next(&index) || index >= abs32_rvas_.size()) return false;
        abs32_relocs_->push_back(rva_);
        if (!WriteLe32(target_, abs32_rvas_[index] + image_base_)) return false;
        rva_ += 4;
        return true;
      }
      case OP_PE_RELOCS: return StartPeTable(kPeRelocType32);
      case OP_PE64_RELOCS: return StartPeTable(kPeRelocType64);
      case OP_ELF_RELOCS: return StartElfTable(kElfRelocX86);
      case OP_ELF_ARM_RELOCS: return StartElfTable(kElfRelocArm);
      default:
        return ArmBranch(op);
    }
  }

  // A failure because the bytes after a PE table passed the output's limit
  // is the output's limit failure.
  void PassOnLimitFailure() {
    if (after_table_.LimitExceeded()) output_->FailOverLimit();
  }

  bool Finish() {
    if (pending_table_ == kPe) {
      if (!WritePeRelocationTable(abs32_relocs_, table_type_, output_) || !output_->Append(&after_table_))
        return false;
    } else if (pending_table_ == kElf) {
      // Every abs32 op takes one index, and all of them must be used, so the
      // room left for the table is exactly its size once assembly succeeds.
      if (abs32_relocs_->size() != operands_->abs32_count || output_->Failed()) return false;
      PartialSort(abs32_relocs_);
      uint8_t* entry = output_->MutableBuffer() + table_offset_;
      for (uint32_t rva : *abs32_relocs_) {
        StoreLe32(entry, rva);
        StoreLe32(entry + 4, table_type_);
        entry += 8;
      }
    }
    // Every operand must have been used; origins need not be.
    return operands_->copy_counts.Done() && operands_->copy_bytes.Done() && operands_->rel32_ix.Done() &&
           operands_->abs32_ix.Done() && !output_->Failed();
  }

 private:
  enum TableKind { kNone, kPe, kElf };

  static void StoreLe32(uint8_t* bytes, uint32_t value) {
    bytes[0] = static_cast<uint8_t>(value);
    bytes[1] = static_cast<uint8_t>(value >> 8);
    bytes[2] = static_cast<uint8_t>(value >> 16);
    bytes[3] = static_cast<uint8_t>(value >> 24);
  }

  // One relocation table per program, its bytes where the op stands. A PE
  // table's size shows only at the end, so everything after it waits in a
  // buffer until then.
  bool StartPeTable(uint32_t type) {
    if (pending_table_ != kNone) return false;
    pending_table_ = kPe;
    table_type_ = type;
    // What waits may take no more than the output could still take.
    after_table_.SetLimit(output_->Headroom());
    target_ = &after_table_;
    return true;
  }

  // An ELF table has one entry per abs32 op: its room is left in the output
  // and filled at the end, and the program goes on being written in place.
  bool StartElfTable(uint32_t type) {
    if (pending_table_ != kNone) return false;
    pending_table_ = kElf;
    table_type_ = type;
    table_offset_ = output_->Length();
    const size_t max = std::numeric_limits<size_t>::max();
    if (operands_->abs32_count > max / 8) return false;
    const size_t table_size = operands_->abs32_count * 8;
    if (!output_->EnsureSpare(table_size)) return false;
    std::memset(output_->Spare(), 0, table_size);
    return output_->Commit(table_size);
  }

  bool ArmBranch(uint32_t op) {
    const uint32_t family = op & 0xF000u;
    if (op > 0xFFFFu || family < 0x1000u || family > 0x5000u) return false;
    uint32_t index = 0;
    if (!operands_->rel32_ix.Next(&index) || index >= rel32_rvas_.size()) return false;
    uint32_t value = 0;
    uint8_t size = 0;
    const uint16_t arm_op = static_cast<uint16_t>(op);
    if (!RebuildArmBranch(arm_op, rel32_rvas_[index] - rva_, &value, &size)) return false;
    uint8_t bytes[4];
    StoreArmBranch(arm_op, value, bytes);
    if (!target_->Write(bytes, size)) return false;
    rva_ += size;
    return true;
  }

  uint32_t image_base_;
  const std::vector<uint32_t>& rel32_rvas_;
  const std::vector<uint32_t>& abs32_rvas_;
  Operands* operands_;
  std::vector<uint32_t>* abs32_relocs_;
  OutputStream* output_;
  OutputStream* target_;
  OutputStream after_table_;
  TableKind pending_table_ = kNone;
  uint32_t table_type_ = 0;
  size_t table_offset_ = 0;
  uint32_t rva_ = 0;
};

// Checks a table of varints: a count bounded by the stream, then that many
// varints. `table` is left at the first of them.
bool CheckVarints(InputStream* in, StreamCursor* table) {
  uint32_t count = 0;
  if (!in->ReadCount(&count)) return false;
  const InputStream first = *in;
  uint32_t value = 0;
  for (uint32_t i = 0; i < count; ++i) {
    if (!in->ReadUVarint(&value)) return false;
  }
  *table = StreamCursor(first, count);
  return true;
}

bool ReadRvas(InputStream* in, std::vector<uint32_t>* rvas) {
  StreamCursor table;
  if (!CheckVarints(in, &table)) return false;
  rvas->resize(table.Count());
  uint32_t sum = 0;
  for (uint32_t& rva : *rvas) {
    uint32_t delta = 0;
    table.Next(&delta);
    sum += delta;
    rva = sum;
  }
  return true;
}

}  // namespace

Status AssembleProgram(EncodedProgram* program, OutputStream* output) {
  try {
    VectorOperands operands(*program);
    program->abs32_relocs.clear();
    Assembler<VectorOperands> assembler(program->image_base, program->rel32_rvas, program->abs32_rvas,
                                        &operands, &program->abs32_relocs, output);
    for (uint32_t op : program->ops) {
      if (!assembler.Step(op)) {
        assembler.PassOnLimitFailure();
        return STATUS_ASSEMBLY_FAILED;
      }
    }
    return assembler.Finish() ? STATUS_OK : STATUS_ASSEMBLY_FAILED;
  } catch (const std::bad_alloc&) {
    return STATUS_ASSEMBLY_FAILED;
  }
}

Status AssembleEncodedProgram(InputStreamSet* set, OutputStream* output) {
  try {
    // The same checks, in effect, as ReadEncodedProgram's, all made before a
    // byte is written; only the label addresses are expanded, being indexed.
    if (set->Count() < kStreamsRead) return STATUS_DESERIALIZATION_FAILED;
    InputStream* base = set->Stream(kStreamBaseAndOrigins);
    uint32_t image_base = 0;
    std::vector<uint32_t> abs32_rvas;
    std::vector<uint32_t> rel32_rvas;
    StreamOperands operands;
    StreamCursor ops;
    const bool ok = base->ReadUVarint(&image_base) && ReadRvas(set->Stream(kStreamAbs32Rvas), &abs32_rvas) &&
                    ReadRvas(set->Stream(kStreamRel32Rvas), &rel32_rvas) &&
                    CheckVarints(base, &operands.origins) && CheckVarints(set->Stream(kStreamOps), &ops) &&
                    CheckVarints(set->Stream(kStreamCopyCounts), &operands.copy_counts) &&
                    CheckVarints(set->Stream(kStreamAbs32Ix), &operands.abs32_ix) &&
                    CheckVarints(set->Stream(kStreamRel32Ix), &operands.rel32_ix);
    if (!ok) return STATUS_DESERIALIZATION_FAILED;
    InputStream* copy_bytes = set->Stream(kStreamCopyBytes);
    uint32_t copy_count = 0;
    if (!copy_bytes->ReadCount(&copy_count)) return STATUS_DESERIALIZATION_FAILED;
    operands.copy_bytes = StreamCursor(*copy_bytes, copy_count);
    copy_bytes->Skip(copy_count);
    for (size_t i = 0; i < kStreamsRead; ++i) {
      if (!set->Stream(i)->Empty()) return STATUS_DESERIALIZATION_FAILED;
    }
    operands.abs32_count = operands.abs32_ix.Count();

    std::vector<uint32_t> abs32_relocs;
    Assembler<StreamOperands> assembler(image_base, rel32_rvas, abs32_rvas, &operands, &abs32_relocs, output);
    uint32_t op = 0;
    while (ops.Next(&op)) {
      if (!assembler.Step(op)) {
        assembler.PassOnLimitFailure();
        return STATUS_ASSEMBLY_FAILED;
      }
    }
    return assembler.Finish() ? STATUS_OK : STATUS_ASSEMBLY_FAILED;
  } catch (const std::bad_alloc&) {
    return STATUS_ASSEMBLY_FAILED;
  }
}

}  // namespace vxpatch
