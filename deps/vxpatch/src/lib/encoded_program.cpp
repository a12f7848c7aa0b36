// Encoding a parsed program, and the stream form of encoded programs.
#include "encoded_program.h"

#include <new>

#include "big_buffer.h"
#include "engine_log.h"

namespace vxpatch {

namespace {

// Vectors start at this many elements and double from there.
constexpr size_t kInitialElements = 64;
// A program written for the last time gives back its instructions' pages
// this many bytes at a time.
constexpr size_t kReleaseStep = size_t{8} << 20;

bool StoreLabelRvas(const LabelTable& labels, std::vector<uint32_t>* rvas) {
  // Which slots hold a label is tracked apart from the values: 0xFFFFFFFF is
  // a legitimate address (an abs32 value of -1), so it cannot double as the
  // marker of an unused slot.
  std::vector<bool> used;
  for (const Label& label : labels) {
    if (label.index < 0) return false;
    const size_t index = static_cast<size_t>(label.index);
    if (index >= rvas->size()) {
      rvas->resize(index + 1, 0);
      used.resize(index + 1, false);
    }
    (*rvas)[index] = label.rva;
    used[index] = true;
  }
  // Unused slots repeat their predecessor, so they cost nothing once the
  // vector is delta-encoded.
  for (size_t i = 0; i < rvas->size(); ++i) {
    if (!used[i]) (*rvas)[i] = i == 0 ? 0 : (*rvas)[i - 1];
  }
  return true;
}

// Adds a copy of n bytes, folding it into the copy before it.
bool AddCopy(EncodedProgram* out, const uint8_t* bytes, size_t n) {
  if (n == 0) return true;
  if (!out->ops.empty() && out->ops.back() == OP_COPY1) {
    out->ops.back() = OP_COPY;
    out->copy_counts.push_back(1);
  }
  if (!out->ops.empty() && out->ops.back() == OP_COPY) {
    if (UINT32_MAX - out->copy_counts.back() < n) return false;
    out->copy_counts.back() += static_cast<uint32_t>(n);
  } else if (n == 1) {
    out->ops.push_back(OP_COPY1);
  } else {
    if (n > UINT32_MAX) return false;
    out->ops.push_back(OP_COPY);
    out->copy_counts.push_back(static_cast<uint32_t>(n));
  }
  out->copy_bytes.insert(out->copy_bytes.end(), bytes, bytes + n);
  return true;
}

// The index of an instruction's label; false for an id its table does not
// hold (a label trimmed away) or a label without an index.
bool LabelIndex(const ParsedProgram& program, const Instruction& insn, uint32_t* index) {
  const LabelTable& labels = insn.kind == INSN_ABS32 ? program.abs32_labels() : program.rel32_labels();
  if (insn.label >= labels.size() || labels[insn.label].index < 0) return false;
  *index = static_cast<uint32_t>(labels[insn.label].index);
  return true;
}

bool EncodeInstruction(const ParsedProgram& program, const Instruction& insn, EncodedProgram* out) {
  uint32_t index = 0;
  switch (insn.kind) {
    case INSN_ORIGIN:
      out->ops.push_back(OP_ORIGIN);
      out->origins.push_back(insn.rva);
      return true;
    case INSN_PE_RELOCS:
      out->ops.push_back(program.kind() == EXE_WIN_32_X86 ? OP_PE_RELOCS : OP_PE64_RELOCS);
      return true;
    case INSN_ELF_RELOCS:
      out->ops.push_back(OP_ELF_RELOCS);
      return true;
    case INSN_ELF_ARM_RELOCS:
      out->ops.push_back(OP_ELF_ARM_RELOCS);
      return true;
    case INSN_BYTE:
      return AddCopy(out, &insn.byte_value, 1);
    case INSN_BYTES:
      return AddCopy(out, program.Data(insn), insn.length);
    case INSN_REL32:
      if (!LabelIndex(program, insn, &index)) return false;
      out->ops.push_back(OP_REL32);
      out->rel32_ix.push_back(index);
      return true;
    case INSN_ABS32:
      if (!LabelIndex(program, insn, &index)) return false;
      out->ops.push_back(OP_ABS32);
      out->abs32_ix.push_back(index);
      return true;
    case INSN_REL32ARM:
      if (!LabelIndex(program, insn, &index)) return false;
      out->ops.push_back(insn.arm_op);
      out->rel32_ix.push_back(index);
      return true;
  }
  LogUnreachable(voxlog::LOG_ERROR, "Unknown Insn OP kind");
  return true;
}

bool WriteU32Vector(const std::vector<uint32_t>& values, OutputStream* out) {
  if (!out->WriteSizeUVarint(values.size())) return false;
  for (uint32_t value : values) {
    if (!out->WriteSizeUVarint(value)) return false;
  }
  return true;
}

bool WriteRvaVector(const std::vector<uint32_t>& rvas, OutputStream* out) {
  if (!out->WriteSizeUVarint(rvas.size())) return false;
  uint32_t previous = 0;
  for (uint32_t rva : rvas) {
    if (!out->WriteUVarint(rva - previous)) return false;
    previous = rva;
  }
  return true;
}

bool ReadU32Vector(InputStream* in, std::vector<uint32_t>* values) {
  uint32_t count = 0;
  if (!in->ReadCount(&count)) return false;
  values->resize(count);
  for (uint32_t& value : *values) {
    if (!in->ReadUVarint(&value)) return false;
  }
  return true;
}

bool ReadRvaVector(InputStream* in, std::vector<uint32_t>* rvas) {
  if (!ReadU32Vector(in, rvas)) return false;
  uint32_t sum = 0;
  for (uint32_t& rva : *rvas) {
    sum += rva;
    rva = sum;
  }
  return true;
}

bool ReadBytes(InputStream* in, std::vector<uint8_t>* bytes) {
  uint32_t count = 0;
  if (!in->ReadCount(&count)) return false;
  bytes->resize(count);
  return count == 0 || in->Read(bytes->data(), count);
}

// The varints of one table, in memory; the same bytes as the stream's own
// WriteUVarint, with room for `count` of them taken at once.
class VarintTable {
 public:
  explicit VarintTable(size_t count) { bytes_.reserve(count * kMaxVarintBytes); }
  void Put(uint32_t value) {
    while (value >= 0x80) {
      bytes_.push_back(static_cast<uint8_t>(value | 0x80));
      value >>= 7;
    }
    bytes_.push_back(static_cast<uint8_t>(value));
  }
  bool WriteTo(OutputStream* out) const { return out->Write(bytes_.data(), bytes_.size()); }

 private:
  std::vector<uint8_t> bytes_;
};

// Folds runs of copy instructions into ops as AddCopy does, for writers that
// see the instructions once: a run of one single byte is OP_COPY1, any other
// run one OP_COPY of its total.
class CopyRun {
 public:
  bool Add(size_t n) {
    if (n == 0) return true;
    if (UINT32_MAX - total_ < n) return false;
    total_ += static_cast<uint32_t>(n);
    ++instructions_;
    return true;
  }
  bool Open() const { return instructions_ > 0; }
  bool Single() const { return instructions_ == 1 && total_ == 1; }
  uint32_t Total() const { return total_; }
  void Close() { total_ = 0, instructions_ = 0; }

 private:
  uint32_t total_ = 0;
  size_t instructions_ = 0;
};

// What EncodeProgram and WriteEncodedProgram make of `program`, written
// straight into the streams: counted in one pass over the instructions (each
// table starts with its count), written in a second.
class DirectWriter {
 public:
  // `release`: the instructions' pages are given back as they are written.
  DirectWriter(const ParsedProgram& program, OutputStreamSet* set, bool release)
      : program_(program), set_(set), release_(release) {}

  Status Run() {
    std::vector<uint32_t> abs32_rvas;
    std::vector<uint32_t> rel32_rvas;
    if (!StoreLabelRvas(program_.abs32_labels(), &abs32_rvas) ||
        !StoreLabelRvas(program_.rel32_labels(), &rel32_rvas))
      return STATUS_GENERAL_ERROR;
    rel32_ids_ = IndexesAreIds(program_.rel32_labels());
    abs32_ids_ = IndexesAreIds(program_.abs32_labels());
    if (!Count()) return STATUS_GENERAL_ERROR;
    OutputStream* copy_bytes = set_->Stream(kStreamCopyBytes);
    const bool ok =
        set_->Stream(kStreamBaseAndOrigins)->WriteUVarint(static_cast<uint32_t>(program_.image_base())) &&
        set_->Stream(kStreamBaseAndOrigins)->WriteSizeUVarint(origins_) &&
        set_->Stream(kStreamOps)->WriteSizeUVarint(ops_) &&
        copy_bytes->Reserve(kMaxVarintBytes + copy_bytes_) && copy_bytes->WriteSizeUVarint(copy_bytes_) &&
        set_->Stream(kStreamAbs32Ix)->WriteSizeUVarint(abs32_ix_) &&
        set_->Stream(kStreamRel32Ix)->WriteSizeUVarint(rel32_ix_) &&
        set_->Stream(kStreamCopyCounts)->WriteSizeUVarint(copy_counts_) && Write() &&
        WriteRvaVector(abs32_rvas, set_->Stream(kStreamAbs32Rvas)) &&
        WriteRvaVector(rel32_rvas, set_->Stream(kStreamRel32Rvas));
    return ok ? STATUS_OK : STATUS_STREAM_ERROR;
  }

 private:
  // First pass: the length of every table; false where EncodeProgram fails.
  bool Count() {
    CopyRun run;
    uint32_t index = 0;
    for (const Instruction& insn : program_.instructions()) {
      switch (insn.kind) {
        case INSN_BYTE:
        case INSN_BYTES: {
          const size_t n = insn.kind == INSN_BYTE ? 1 : insn.length;
          if (!run.Add(n)) return false;
          copy_bytes_ += n;
          continue;
        }
        case INSN_ORIGIN: ++origins_; break;
        case INSN_PE_RELOCS:
        case INSN_ELF_RELOCS:
        case INSN_ELF_ARM_RELOCS: break;
        case INSN_REL32:
        case INSN_REL32ARM:
          if (!Index(insn, &index)) return false;
          ++rel32_ix_;
          break;
        case INSN_ABS32:
          if (!Index(insn, &index)) return false;
          ++abs32_ix_;
          break;
        default: continue;  // no op, as in EncodeInstruction
      }
      CloseRun(&run);
      ++ops_;
    }
    CloseRun(&run);
    return true;
  }

  void CloseRun(CopyRun* run) {
    if (!run->Open()) return;
    ++ops_;
    if (!run->Single()) ++copy_counts_;
    run->Close();
  }

  // Second pass: the tables' entries, in instruction order. The varint
  // tables are gathered in memory and each handed to its stream in one
  // write: a large program has hundreds of thousands of entries, and a
  // stream write apiece cost more than the rest of the pass.
  bool Write() {
    OutputStream* copy_bytes = set_->Stream(kStreamCopyBytes);
    VarintTable origins(origins_), ops(ops_), copy_counts(copy_counts_), rel32_ix(rel32_ix_), abs32_ix(abs32_ix_);
    CopyRun run;
    uint32_t op = 0;
    uint32_t index = 0;
    auto write_run = [&]() {
      if (!run.Open()) return;
      if (run.Single()) {
        ops.Put(OP_COPY1);
      } else {
        ops.Put(OP_COPY);
        copy_counts.Put(run.Total());
      }
      run.Close();
    };
    const std::vector<Instruction>& instructions = program_.instructions();
    size_t released = 0;
    for (size_t at = 0; at < instructions.size(); ++at) {
      if (release_ && (at - released) * sizeof(Instruction) >= kReleaseStep) {
        ReleasePages(instructions.data() + released, instructions.data() + at);
        released = at;
      }
      const Instruction& insn = instructions[at];
      switch (insn.kind) {
        case INSN_BYTE:
          run.Add(1);
          if (!copy_bytes->WriteByte(insn.byte_value)) return false;
          continue;
        case INSN_BYTES:
          run.Add(insn.length);
          if (!copy_bytes->Write(program_.Data(insn), insn.length)) return false;
          continue;
        case INSN_ORIGIN:
          origins.Put(insn.rva);
          op = OP_ORIGIN;
          break;
        case INSN_PE_RELOCS: op = program_.kind() == EXE_WIN_32_X86 ? OP_PE_RELOCS : OP_PE64_RELOCS; break;
        case INSN_ELF_RELOCS: op = OP_ELF_RELOCS; break;
        case INSN_ELF_ARM_RELOCS: op = OP_ELF_ARM_RELOCS; break;
        case INSN_REL32:
        case INSN_REL32ARM:
          Index(insn, &index);
          rel32_ix.Put(index);
          op = insn.kind == INSN_REL32 ? uint32_t{OP_REL32} : insn.arm_op;
          break;
        case INSN_ABS32:
          Index(insn, &index);
          abs32_ix.Put(index);
          op = OP_ABS32;
          break;
        default: continue;
      }
      write_run();
      ops.Put(op);
    }
    write_run();
    return origins.WriteTo(set_->Stream(kStreamBaseAndOrigins)) && ops.WriteTo(set_->Stream(kStreamOps)) &&
           copy_counts.WriteTo(set_->Stream(kStreamCopyCounts)) && rel32_ix.WriteTo(set_->Stream(kStreamRel32Ix)) &&
           abs32_ix.WriteTo(set_->Stream(kStreamAbs32Ix));
  }

  // Default indexes are the labels' positions, and then an instruction's
  // label id is its index: the table, which the references of a large
  // program visit all over, is not read per reference.
  static bool IndexesAreIds(const LabelTable& labels) {
    for (uint32_t id = 0; id < labels.size(); ++id) {
      if (labels[id].index != static_cast<int32_t>(id)) return false;
    }
    return true;
  }

  bool Index(const Instruction& insn, uint32_t* index) const {
    const bool ids = insn.kind == INSN_ABS32 ? abs32_ids_ : rel32_ids_;
    if (!ids) return LabelIndex(program_, insn, index);
    const LabelTable& labels = insn.kind == INSN_ABS32 ? program_.abs32_labels() : program_.rel32_labels();
    *index = insn.label;
    return insn.label < labels.size();
  }

  const ParsedProgram& program_;
  OutputStreamSet* set_;
  bool release_;
  bool rel32_ids_ = false;
  bool abs32_ids_ = false;
  size_t origins_ = 0;
  size_t ops_ = 0;
  size_t copy_bytes_ = 0;
  size_t copy_counts_ = 0;
  size_t rel32_ix_ = 0;
  size_t abs32_ix_ = 0;
};

}  // namespace

Status WriteProgramStreams(const ParsedProgram& program, OutputStreamSet* set) {
  try {
    DirectWriter writer(program, set, false);
    return writer.Run();
  } catch (const std::bad_alloc&) {
    return STATUS_STREAM_ERROR;
  }
}

Status WriteProgramStreams(std::unique_ptr<ParsedProgram> program, OutputStreamSet* set) {
  try {
    DirectWriter writer(*program, set, true);
    return writer.Run();
  } catch (const std::bad_alloc&) {
    return STATUS_STREAM_ERROR;
  }
}

std::unique_ptr<EncodedProgram> EncodeProgram(const ParsedProgram& program) {
  try {
    std::unique_ptr<EncodedProgram> out(new EncodedProgram());
    out->image_base = static_cast<uint32_t>(program.image_base());
    // The tables are sized once from the instructions: no regrowth copies
    // the copy bytes, which are most of a program.
    size_t ops = 0;
    size_t copy_bytes = 0;
    for (const Instruction& insn : program.instructions()) {
      ++ops;
      if (insn.kind == INSN_BYTES) copy_bytes += insn.length;
      if (insn.kind == INSN_BYTE) ++copy_bytes;
    }
    out->ops.reserve(ops < kInitialElements ? kInitialElements : ops);
    out->copy_bytes.reserve(copy_bytes);
    if (!StoreLabelRvas(program.abs32_labels(), &out->abs32_rvas) ||
        !StoreLabelRvas(program.rel32_labels(), &out->rel32_rvas))
      return nullptr;
    for (const Instruction& insn : program.instructions()) {
      if (!EncodeInstruction(program, insn, out.get())) return nullptr;
    }
    return out;
  } catch (const std::bad_alloc&) {
    return nullptr;
  }
}

Status WriteEncodedProgram(const EncodedProgram& program, OutputStreamSet* set) {
  OutputStream* base = set->Stream(kStreamBaseAndOrigins);
  OutputStream* copy_bytes = set->Stream(kStreamCopyBytes);
  const bool ok = base->WriteUVarint(program.image_base) && WriteU32Vector(program.origins, base) &&
                  WriteU32Vector(program.ops, set->Stream(kStreamOps)) &&
                  copy_bytes->WriteSizeUVarint(program.copy_bytes.size()) &&
                  copy_bytes->Write(program.copy_bytes.data(), program.copy_bytes.size()) &&
                  WriteU32Vector(program.abs32_ix, set->Stream(kStreamAbs32Ix)) &&
                  WriteU32Vector(program.rel32_ix, set->Stream(kStreamRel32Ix)) &&
                  WriteRvaVector(program.abs32_rvas, set->Stream(kStreamAbs32Rvas)) &&
                  WriteRvaVector(program.rel32_rvas, set->Stream(kStreamRel32Rvas)) &&
                  WriteU32Vector(program.copy_counts, set->Stream(kStreamCopyCounts));
  return ok ? STATUS_OK : STATUS_STREAM_ERROR;
}

Status ReadEncodedProgram(InputStreamSet* set, std::unique_ptr<EncodedProgram>* program) {
  program->reset();
  if (set->Count() < kStreamsRead) return STATUS_DESERIALIZATION_FAILED;
  try {
    std::unique_ptr<EncodedProgram> in(new EncodedProgram());
    InputStream* base = set->Stream(kStreamBaseAndOrigins);
    const bool ok = base->ReadUVarint(&in->image_base) &&
                    ReadRvaVector(set->Stream(kStreamAbs32Rvas), &in->abs32_rvas) &&
                    ReadRvaVector(set->Stream(kStreamRel32Rvas), &in->rel32_rvas) &&
                    ReadU32Vector(base, &in->origins) && ReadU32Vector(set->Stream(kStreamOps), &in->ops) &&
                    ReadU32Vector(set->Stream(kStreamCopyCounts), &in->copy_counts) &&
                    ReadBytes(set->Stream(kStreamCopyBytes), &in->copy_bytes) &&
                    ReadU32Vector(set->Stream(kStreamAbs32Ix), &in->abs32_ix) &&
                    ReadU32Vector(set->Stream(kStreamRel32Ix), &in->rel32_ix);
    if (!ok) return STATUS_DESERIALIZATION_FAILED;
    for (size_t i = 0; i < kStreamsRead; ++i) {
      if (!set->Stream(i)->Empty()) return STATUS_DESERIALIZATION_FAILED;
    }
    *program = std::move(in);
    return STATUS_OK;
  } catch (const std::bad_alloc&) {
    return STATUS_DESERIALIZATION_FAILED;
  }
}

}  // namespace vxpatch
