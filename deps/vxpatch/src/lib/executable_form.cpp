// The executable form of packed files (directive 2): unpacking and packing.
// Payload: one serialised stream set; streams 0 to n-2 each hold one
// element's encoded program (itself a serialised set), stream n-1 a raw diff
// from the concatenated assembled elements to the whole file.
#include "executable_form.h"

#include <memory>
#include <new>
#include <string>
#include <vector>

#include "container.h"
#include "encoded_program.h"
#include "engine_log.h"
#include "executable_detection.h"
#include "executable_elements.h"
#include "lzma2_block_reader.h"
#include "lzmaioout.h"
#include "output_limit.h"
#include "vxdiff.h"

namespace vxpatch {

namespace {

bool UnpackError(const char* message) {
  LogError(message);
  return false;
}

bool PackWarning(const char* message) {
  LogWarning(message);
  return false;
}

// What the unpacker reads at a time from the payload into a held program.
constexpr size_t kReadPiece = size_t{1} << 20;

// The payload's bytes in order, decoded from its block as they are read;
// progress follows them.
class PayloadReader final : public DiffSource {
 public:
  PayloadReader(Lzma2BlockReader* block, ProgressSpan* progress) : block_(block), progress_(progress) {}
  bool Read(uint8_t* to, size_t count) override {
    if (!block_->Read(to, count)) return false;
    progress_->Advance(count);
    return true;
  }
  // False at the end of the block, on a varint of more than five bytes, or
  // when the block cannot be decoded (Failed()).
  bool ReadUVarint(uint32_t* value) {
    uint8_t bytes[kMaxVarintBytes];
    for (size_t used = 0; used < kMaxVarintBytes; ++used) {
      if (block_->Left() == 0 || !Read(&bytes[used], 1)) return false;
      if ((bytes[used] & 0x80) == 0) {
        InputStream varint(bytes, used + 1);
        return varint.ReadUVarint(value);
      }
    }
    return false;
  }
  // `count` bytes appended to `held` a piece at a time, within its limit;
  // `arrived` sees the bytes held after each piece and may stop the reading.
  template <typename Arrived>
  bool Hold(size_t count, OutputStream* held, Arrived arrived) {
    for (size_t done = 0; done < count;) {
      const size_t part = count - done < kReadPiece ? count - done : kReadPiece;
      if (!held->EnsureSpare(part) || !Read(held->Spare(), part) || !held->Commit(part)) return false;
      done += part;
      if (!arrived(*held)) return false;
    }
    return true;
  }
  bool Failed() const { return block_->Failed(); }

 private:
  Lzma2BlockReader* block_;
  ProgressSpan* progress_;
};

// The fewest bytes an op assembles to (a copy's count comes later).
uint64_t LeastOpBytes(uint32_t op) {
  switch (op) {
    case OP_COPY1: return 1;
    case OP_REL32:
    case OP_ABS32: return 4;
    default: break;
  }
  if (op > 0xFFFFu) return 0;
  const uint32_t family = op & 0xF000u;
  if (family == 0x1000u || family == 0x2000u) return 2;
  if (family >= 0x3000u && family <= 0x5000u) return 4;
  return 0;
}

// The least a program's ops assemble to, counted while the program's bytes
// arrive: its ops come before its operands, so a program whose ops alone
// would take the assembly past its limit is refused before the rest of it
// is held. A program whose tables cannot be found is left to the assembler
// to refuse.
class OpsGauge {
 public:
  explicit OpsGauge(size_t length) : length_(length) {}

  // `held`: the program's first bytes, more of them on every call.
  void Update(const OutputStream& held) {
    if (gave_up_ || (!located_ && !Locate(held))) return;
    const size_t available = held.Length() < ops_end_ ? held.Length() : ops_end_;
    if (available <= next_) return;
    InputStream ops(held.Buffer() + next_, available - next_);
    uint32_t op = 0;
    while (ops.ReadUVarint(&op)) {
      if (counted_) {
        least_ += LeastOpBytes(op);
      } else {
        counted_ = true;  // the table's count
      }
    }
    if (ops.Remaining() >= kMaxVarintBytes) gave_up_ = true;  // not a varint
    next_ += ops.Position();
  }
  uint64_t Least() const { return least_; }

 private:
  bool Locate(const OutputStream& held) {
    InputStream header(held.Buffer(), held.Length());
    uint32_t version = 0;
    uint32_t count = 0;
    uint32_t lengths[2] = {};
    bool read = header.ReadUVarint(&version) && header.ReadUVarint(&count);
    if (read && (version != kStreamSetVersion || count <= kStreamOps || count > kMaxStreams)) {
      gave_up_ = true;
      return false;
    }
    for (uint32_t i = 0; read && i < count; ++i) {
      uint32_t length = 0;
      read = header.ReadUVarint(&length);
      if (i <= kStreamOps) lengths[i] = length;
    }
    if (!read) {
      gave_up_ = held.Length() >= length_;
      return false;
    }
    next_ = header.Position() + size_t{lengths[0]};
    ops_end_ = next_ + lengths[1];
    located_ = true;
    return true;
  }

  size_t length_;
  bool located_ = false;
  bool gave_up_ = false;
  bool counted_ = false;
  size_t next_ = 0;
  size_t ops_end_ = 0;
  uint64_t least_ = 0;
};

// The label tables a program's assembly expands, four bytes an entry.
uint64_t LabelTableBytes(InputStreamSet* program) {
  uint64_t entries = 0;
  for (size_t stream : {size_t{kStreamAbs32Rvas}, size_t{kStreamRel32Rvas}}) {
    if (program->Stream(stream) == nullptr) continue;
    InputStream table = *program->Stream(stream);
    uint32_t count = 0;
    if (table.ReadUVarint(&count)) entries += count;
  }
  return 4 * entries;
}

bool LimitFailure(size_t limit, DiffTarget* target, const char* message) {
  LogOutputLimit(limit);
  target->FailOverLimit();
  return UnpackError(message);
}

// The unpacking: the payload decoded once, front to back. Each element's
// program is held while it is assembled, then dropped; the final diff reads
// its bytes from the block as they are decoded and places the file's bytes
// into the target.
class Unpacker {
 public:
  Unpacker(DiffTarget* target, size_t output_limit)
      : target_(target), output_limit_(output_limit), budget_(WorkLimit(output_limit)) {}

  bool Run(InputStream* payload, const ProgressSpan& progress) {
    Lzma2BlockReader block;
    if (!block.Open(*payload, budget_)) {
      if (block.LimitExceeded()) target_->FailOverLimit();
      return UnpackError("could not decompress file");
    }
    ProgressSpan decoding = progress.Part(0, 1, 1, block.Size());
    PayloadReader reader(&block, &decoding);
    uint32_t lengths[kMaxStreams] = {};
    uint32_t count = 0;
    if (!ReadSetHeader(&reader, block, lengths, &count)) return false;
    if (count < 2) return UnpackError("dis_and_diff too small");
    for (uint32_t i = 0; i + 1 < count; ++i) {
      if (!AssembleElement(&reader, lengths[i])) return false;
    }
    if (!ApplyFinalDiff(&reader, lengths[count - 1])) return false;
    size_t consumed = 0;
    if (!block.Finish(&consumed)) return UnpackError("could not decompress file");
    payload->Skip(consumed);
    return true;
  }

 private:
  // The payload's stream set header; its streams must fill the rest of the
  // block exactly.
  bool ReadSetHeader(PayloadReader* reader, const Lzma2BlockReader& block, uint32_t* lengths, uint32_t* count) {
    uint32_t version = 0;
    bool read = reader->ReadUVarint(&version) && version == kStreamSetVersion && reader->ReadUVarint(count) &&
                *count <= kMaxStreams;
    uint64_t total = 0;
    for (uint32_t i = 0; read && i < *count; ++i) {
      read = reader->ReadUVarint(&lengths[i]);
      total += lengths[i];
    }
    if (reader->Failed()) return UnpackError("could not decompress file");
    if (!read || total != block.Left()) return UnpackError("could not init dif_and_dis set");
    return true;
  }

  bool AssembleElement(PayloadReader* reader, uint32_t length) {
    // The held program and the assembly share the work limit; the assembly
    // alone may not pass the output limit (a real file's elements are parts
    // of it).
    OutputStream program;
    program.SetLimit(budget_ - assembly_.Length());
    if (!program.WithinLimit(length)) return LimitFailure(program.Limit(), target_, "could not decompress file");
    // Reserved once: its pages are taken as the bytes arrive, and no
    // regrowth leaves copies behind.
    if (!program.Reserve(length)) return UnpackError("out of memory");
    OpsGauge gauge(length);
    bool too_large = false;
    const bool held = reader->Hold(length, &program, [&](const OutputStream& bytes) {
      gauge.Update(bytes);
      too_large = gauge.Least() > output_limit_ - assembly_.Length();
      return !too_large;
    });
    if (too_large) return LimitFailure(output_limit_, target_, "could not assemble program");
    if (!held) return UnpackError("could not decompress file");
    InputStreamSet program_set;
    if (!program_set.InitFromBuffer(program.Buffer(), program.Length()))
      return UnpackError("could not init program_source set");
    const uint64_t tables = LabelTableBytes(&program_set);
    const size_t room = budget_ - program.Length();
    if (room < assembly_.Length() || room - assembly_.Length() < tables)
      return LimitFailure(room, target_, "could not assemble program");
    const size_t tables_left = room - static_cast<size_t>(tables);
    assembly_.SetLimit(tables_left < output_limit_ ? tables_left : output_limit_);
    const Status status = AssembleEncodedProgram(&program_set, &assembly_);
    if (status == STATUS_DESERIALIZATION_FAILED) return UnpackError("could not read encoded program");
    if (status != STATUS_OK) {
      if (assembly_.LimitExceeded()) return LimitFailure(assembly_.Limit(), target_, "could not assemble program");
      return UnpackError("could not assemble program");
    }
    return true;
  }

  // The final diff, from the assembled elements to the file. The packer
  // writes it raw, so its bytes are read as they are decoded; a diff of an
  // LZMA2 method is held first, within what the assembly left of the work
  // limit.
  bool ApplyFinalDiff(PayloadReader* reader, uint32_t length) {
    uint8_t method = 0;
    if (length == 0 || !reader->Read(&method, 1)) {
      return UnpackError(reader->Failed() ? "could not decompress file" : "could not apply diff");
    }
    const InputStream old_bytes(assembly_);
    const size_t room = budget_ - assembly_.Length();
    bool over_limit = false;
    bool applied = false;
    if (method == DIFF_RAW) {
      applied = ApplyStreamedRawDiff(&old_bytes, 1, reader, length - 1, target_, output_limit_, room, &over_limit);
    } else {
      OutputStream diff;
      diff.SetLimit(room);
      if (!diff.WithinLimit(length)) return LimitFailure(room, target_, "could not apply diff");
      if (!diff.WriteByte(method) || !reader->Hold(length - 1, &diff, [](const OutputStream&) { return true; }))
        return UnpackError(reader->Failed() ? "could not decompress file" : "could not apply diff");
      InputStream diff_bytes(diff);
      applied = ApplyDiffToTarget(&old_bytes, 1, &diff_bytes, target_, false, output_limit_,
                                  room - diff.Length(), &over_limit);
    }
    if (applied) return true;
    if (over_limit) target_->FailOverLimit();
    return UnpackError(reader->Failed() ? "could not decompress file" : "could not apply diff");
  }

  DiffTarget* target_;
  size_t output_limit_;
  size_t budget_;
  OutputStream assembly_;
};

// One element into its stream, and its assembled bytes onto `assembly`.
bool PackElement(const uint8_t* data, const ExecutableElement& element, OutputStream* stream,
                 OutputStream* assembly) {
  std::unique_ptr<ParsedProgram> parsed;
  if (ParseExecutable(data + element.offset, static_cast<size_t>(element.length), &parsed) != STATUS_OK)
    return PackWarning("could not parse file");
  if (!TrimLabels(parsed.get())) return PackWarning("could not trim labels");
  std::unique_ptr<EncodedProgram> encoded = EncodeProgram(*parsed);
  parsed.reset();
  if (!encoded) return PackWarning("could not encode program");
  OutputStreamSet program_set;
  if (WriteEncodedProgram(*encoded, &program_set) != STATUS_OK) return PackWarning("could not write encode program");
  if (!program_set.SerializeSet(stream)) return PackWarning("could not combine streams");
  // The unpacker assembles what it reads back, which is this very program.
  if (AssembleProgram(encoded.get(), assembly) != STATUS_OK) return PackWarning("could not assemble program");
  return true;
}

bool BuildExecutableForm(const uint8_t* data, size_t length, uint32_t checksum,
                         const std::vector<ExecutableElement>& elements, OutputStream* packed) {
  if (!packed->WriteUVarint(kPackedFileMagic) || !packed->WriteUVarint(checksum) ||
      !packed->WriteUVarint(DIRECTIVE_EXECUTABLE))
    return PackWarning("could not write preprocess directive");
  // One stream per element and the diff: at most nine elements fit a set.
  if (elements.size() + 1 > kMaxStreams) return PackWarning("too many executable elements");
  OutputStreamSet set;
  set.SetCount(elements.size() + 1);
  OutputStream assembly;
  for (size_t i = 0; i < elements.size(); ++i) {
    if (!PackElement(data, elements[i], set.Stream(i), &assembly)) return false;
  }
  InputStream old_bytes(assembly);
  InputStream new_bytes(data, length);
  if (!CreateDiff(&old_bytes, &new_bytes, set.Stream(elements.size()), false, DIFF_RAW))
    return PackWarning("could not generate diff");
  assembly.Retire();
  OutputStream payload;
  if (!set.SerializeSet(&payload)) return PackWarning("could not combine dis and dif");
  if (!WriteLzma2Block(payload.Buffer(), payload.Length(), packed)) return PackWarning("could not compress file");
  return true;
}

}  // namespace

bool UnpackExecutableForm(InputStream* payload, DiffTarget* target, size_t output_limit,
                          const ProgressSpan& progress) {
  try {
    Unpacker unpacker(target, output_limit);
    return unpacker.Run(payload, progress);
  } catch (const std::bad_alloc&) {
    return UnpackError("out of memory");
  }
}

ExecutablePackResult PackExecutableForm(const uint8_t* data, size_t length, uint32_t checksum,
                                        OutputStream* packed) {
  try {
    std::vector<ExecutableElement> elements;
    const Status status = FindExecutableElements(data, length, &elements);
    if (status != STATUS_OK) {
      LogError("error detecting file type " + std::to_string(status));
      return ExecutablePackResult::kFailed;
    }
    if (elements.empty()) return ExecutablePackResult::kUsePlainForm;
    for (const ExecutableElement& element : elements)
      LogDebug(std::string("detected ") + ExecutableKindName(element.kind));
    if (BuildExecutableForm(data, length, checksum, elements, packed)) return ExecutablePackResult::kPacked;
  } catch (const std::bad_alloc&) {
    LogWarning("out of memory");
  }
  LogWarning("falling back to default compression");
  packed->Retire();
  return ExecutablePackResult::kUsePlainForm;
}

}  // namespace vxpatch
