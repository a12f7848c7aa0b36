// The byte-level diff that turns old bytes into new ones.
//
// Format (varints as in streams.h):
//   ["VXDIFF10" and a varint ComputeChecksum of the new bytes, only when the
//    caller asks for a header] method byte (0 raw, 1 LZMA2 split, 2 LZMA2
//   joined), varint new size N, then the sections: control triples of signed
//   varints (x, y, z), diff bytes (x of them per triple, added byte-wise to the
//   old bytes at the old position p), extra bytes (y per triple, copied); after
//   each triple p += x + z.
//   raw:    varint lengths of control, diff and extra, then the three sections;
//   split:  three LZMA2 blocks, one per section;
//   joined: one LZMA2 block holding the raw layout (lengths and sections).
//
// Contract:
//  - ApplyDiff: old bytes are the old stream's remaining bytes (the old stream
//    does not move); the result stream should be empty and receives exactly N
//    bytes on success. The diff stream moves past what was read. Every triple
//    is checked before use: x, y >= 0, within N, within what their section has
//    left, and the old range within the old bytes. N may not exceed the diff
//    plus extra bytes available, so nothing is reserved beyond what the diff
//    can produce. Messages (ERROR): "Corrupt patch header", "Could not read
//    crc", "Invalid compression method", "Corrupt patch reading control",
//    "Corrupt patch", "crc mismatch", and the LZMA2 block's own. An old range
//    outside the old bytes fails without a message. Leftover triples or bytes
//    are ignored.
//    A new size N above `output_limit` (or the result's own limit) fails at
//    once with "output would exceed the limit of <n> bytes". The LZMA2
//    methods hold only their control section and decode the diff and extra
//    bytes as they are used; what they hold is limited to WorkLimit(N)
//    (output_limit.h), so the memory of an application is bounded by the
//    limit, not by what the diff announces. A limit failure leaves `result`
//    failed with LimitExceeded().
//  - CreateDiff: consumes both inputs (each below 2 GiB) and appends the diff.
//    Messages: " old stream too large", " new stream too large", "out of
//    memory" and the LZMA2 block's own.
//  - Reentrant; allocation failures are ordinary failures.
#ifndef VXPATCH_VXDIFF_H
#define VXPATCH_VXDIFF_H

#include <cstdint>

#include "output_file.h"
#include "streams.h"
#include "vxpatch/progress.h"

namespace vxpatch {

class ThreadBudget;

enum DiffMethod : uint8_t {
  DIFF_RAW = 0,
  DIFF_LZMA2_SPLIT = 1,
  DIFF_LZMA2_JOINED = 2,
};

constexpr char kDiffMagic[8] = {'V', 'X', 'D', 'I', 'F', 'F', '1', '0'};

bool ApplyDiff(InputStream* old_stream, InputStream* diff_stream, OutputStream* result, bool expect_header,
               size_t output_limit);
// The same with the old bytes in pieces, the remaining bytes of
// `old_pieces[0]` to `old_pieces[piece_count - 1]` one after the other (no
// copy joins them; the streams do not move), and the decoded sections held
// to at most `work_limit` bytes together (besides WorkLimit(N)), for callers
// that share one budget among their buffers. `progress` is the range this
// diff's work fills, by the sections decoded and the new bytes made; its end
// is left to the caller, who reports it once the result is checked.
bool ApplyDiff(const InputStream* old_pieces, size_t piece_count, InputStream* diff_stream,
               OutputStream* result, bool expect_header, size_t output_limit, size_t work_limit,
               const ProgressSpan& progress = ProgressSpan());

// Streamed application, for diffs that a decoder yields in order and results
// that need not be held whole (a file, or a buffer sized once).
//
// DiffSource: the diff's bytes in order. DiffTarget: where the new bytes go,
// in pieces of at most kDiffPiece bytes at their offsets; every byte of the
// announced size is placed exactly once, in two rising runs (the diff bytes,
// then the extra bytes).
constexpr size_t kDiffPiece = size_t{1} << 20;

class DiffSource {
 public:
  virtual ~DiffSource() = default;
  // The next `count` bytes into `to`, or dropped when `to` is null.
  virtual bool Read(uint8_t* to, size_t count) = 0;
  // The next bytes where the source holds them, up to `most`, without a
  // copy: *data points at them (null: they are all zero) until the next
  // call. Returns how many; 0 when it lends none (Read() then).
  virtual size_t Lend(const uint8_t** data, size_t most) {
    (void)data;
    (void)most;
    return 0;
  }
};

class DiffTarget {
 public:
  virtual ~DiffTarget() = default;
  // The new size is known: checks the target's own limit (logging the limit
  // message) and makes room.
  virtual bool Begin(size_t size) = 0;
  // Room for `count` bytes at `offset`, to be filled before the next call;
  // null on failure.
  virtual uint8_t* Place(size_t offset, size_t count) = 0;
  // Every byte is placed.
  virtual bool End() = 0;
  // The diff announced more than the caller's limit.
  virtual void FailOverLimit() = 0;
  // After End(): whether a stored checksum vouches for the bytes placed (as
  // ChecksumMatches, checksum.h).
  virtual bool MatchesChecksum(uint32_t expected) = 0;
};

// The new bytes appended to an output stream, reserved once for the new
// size (a failure of its limit leaves it failed with LimitExceeded()).
class StreamTarget final : public DiffTarget {
 public:
  explicit StreamTarget(OutputStream* stream) : stream_(stream) {}
  bool Begin(size_t size) override;
  uint8_t* Place(size_t offset, size_t count) override;
  bool End() override;
  void FailOverLimit() override { stream_->FailOverLimit(); }
  bool MatchesChecksum(uint32_t expected) override;

 private:
  OutputStream* stream_;
  size_t base_ = 0;
  size_t size_ = 0;
};

// The new bytes written to a file through one staging buffer of a few
// pieces; the new size may not pass `limit`.
class FileTarget final : public DiffTarget {
 public:
  FileTarget(OutputFile* file, size_t limit) : file_(file), limit_(limit) {}
  bool Begin(size_t size) override;
  uint8_t* Place(size_t offset, size_t count) override;
  bool End() override;
  void FailOverLimit() override { limit_exceeded_ = true; }
  bool MatchesChecksum(uint32_t expected) override;
  // After End(): the engine checksum of the bytes placed (ComputeChecksum),
  // from the CRC-32 of each run as it went to the file when the runs cover
  // the new size once, else from the file read back.
  bool Checksum(uint32_t* checksum);
  size_t Size() const { return size_; }
  bool LimitExceeded() const { return limit_exceeded_; }

 private:
  struct Run {
    size_t offset;
    size_t length;
    uint32_t crc;
  };
  bool Flush();

  OutputFile* file_;
  size_t limit_;
  OutputStream staging_;
  std::vector<Run> runs_;
  size_t staged_offset_ = 0;
  size_t size_ = 0;
  bool limit_exceeded_ = false;
};

// A raw-method diff (the bytes after its method byte, `length` of them, all
// of which are read from `source`) applied to the old pieces as ApplyDiff
// does, with the same checks and messages, holding only the control section
// (within `work_limit`) and one piece of diff bytes. `over_limit`: whether a
// failure was a limit's. `progress` follows the new bytes placed.
bool ApplyStreamedRawDiff(const InputStream* old_pieces, size_t piece_count, DiffSource* source, size_t length,
                          DiffTarget* target, size_t output_limit, size_t work_limit, bool* over_limit,
                          const ProgressSpan& progress = ProgressSpan());

// ApplyDiff into a target, for results that are never held whole (a file):
// every method, the same checks and messages. Besides the target's bytes it
// holds only the control section and a piece of diff bytes: the joined
// method's block and the split method's sections are decoded as they are
// used (decoded whole, within `work_limit`, only where the split method's
// blocks cannot be found from their chunk headers). With a header, the
// target's checksum is compared once every byte is placed. `over_limit`:
// whether a failure was a limit's (the target has been told).
bool ApplyDiffToTarget(const InputStream* old_pieces, size_t piece_count, InputStream* diff_stream,
                       DiffTarget* target, bool expect_header, size_t output_limit, size_t work_limit,
                       bool* over_limit, const ProgressSpan& progress = ProgressSpan());

bool CreateDiff(InputStream* old_stream, InputStream* new_stream, OutputStream* diff, bool write_header,
                DiffMethod method);

// How CreateDiff chooses its matches. A new match starts only where it is
// more than `match_advantage` bytes longer than what the current alignment
// still explains; it then reaches past its exact core to where its equal
// bytes outweigh `mismatch_cost` times its differing ones the most. Each
// match costs a control triple, each differing byte a noisy diff byte, each
// equal one a zero; bytes left out of every match are copied as extra bytes.
// The defaults suit small edits. Across a big change most exact matches are
// short chance repeats whose triples (with far jumps) cost more than the
// bytes they save, and a stretch that is only half equal compresses worse as
// differences than as the new bytes themselves.
// New bytes of `split_from` or more are scanned as two halves, the second
// on a thread of `threads` where one is free (none if null); the halves'
// triples join at the middle, the same with or without the thread.
// The work of the scans that fill it: one per new position visited and per
// step of a search, and every byte that a search, a score or an extension
// compared. Tests bound it per input byte; a scan that passes `limit` (if
// not 0) stops and CreateDiff fails, so that a test of a slow shape fails
// instead of running for hours.
struct DiffWork {
  int64_t examined = 0;
  int64_t limit = 0;
};
struct DiffTuning {
  int64_t match_advantage = 8;
  int64_t mismatch_cost = 1;
  int64_t split_from = int64_t{32} << 20;
  ThreadBudget* threads = nullptr;
  DiffWork* work = nullptr;
};
bool CreateDiff(InputStream* old_stream, InputStream* new_stream, OutputStream* diff, bool write_header,
                DiffMethod method, const DiffTuning& tuning);

}  // namespace vxpatch

#endif  // VXPATCH_VXDIFF_H
