// Disassembler: base of the executable parsers (detection picks one of them:
// executable_detection.h).
//
// Contract:
//  - A parser lives for one detection or one parse over bytes it does not
//    own: ParseHeaders once, then at most one EmitProgram.
//  - ParseHeaders validates everything the parser will later rely on and sets
//    a failure reason ("uninitialized" before, empty after success); it never
//    logs. EmitProgram refuses to run unless the headers were accepted.
//  - length() is the extent of the recognised executable, which may be
//    shorter than the bytes given (trailing data is not part of it).
//  - A parse given a progress span advances it by the bytes it has gone
//    through, twice over the executable (once finding references, once
//    emitting), at least every few MiB on large ELF files; other parsers
//    report it all at the end. Reporting never changes the program.
#ifndef VXPATCH_DISASSEMBLER_H
#define VXPATCH_DISASSEMBLER_H

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

#include "assembly_program.h"
#include "checked_bytes.h"
#include "vxpatch/ensemble_status.h"
#include "vxpatch/progress.h"

namespace vxpatch {

class Disassembler {
 public:
  Disassembler(const uint8_t* start, size_t length);
  virtual ~Disassembler();
  Disassembler(const Disassembler&) = delete;
  Disassembler& operator=(const Disassembler&) = delete;

  virtual ExecutableKind GetKind() const { return EXE_UNKNOWN; }
  virtual bool ParseHeaders() = 0;
  virtual bool EmitProgram(ParsedProgram* program) = 0;

  const std::string& failure_reason() const { return failure_reason_; }
  size_t length() const { return length_; }
  const uint8_t* start() const { return start_; }
  const uint8_t* end() const { return start_ + length_; }
  // Where EmitProgram reports its progress (null: nowhere); must outlive it.
  void set_progress(ProgressSpan* progress) { progress_ = progress; }

 protected:
  bool Good() {
    failure_reason_.clear();
    return true;
  }
  bool Bad(const char* reason) {
    failure_reason_ = reason;
    return false;
  }
  bool headers_ok() const { return failure_reason_.empty(); }
  // Cuts the executable down to the end of its last known part.
  void set_length(size_t length) { length_ = length; }
  // The bytes of the executable, through the one checked reader.
  CheckedBytes bytes() const { return CheckedBytes(start_, length_); }
  void Advance(uint64_t bytes_done) {
    if (progress_) progress_->Advance(bytes_done);
  }

 private:
  std::string failure_reason_ = "uninitialized";
  size_t length_;
  const uint8_t* start_;
  ProgressSpan* progress_ = nullptr;
};

}  // namespace vxpatch

#endif  // VXPATCH_DISASSEMBLER_H
