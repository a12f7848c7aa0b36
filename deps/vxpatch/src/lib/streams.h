// Byte streams, varints and stream sets: the one checked reader and the one
// growable writer through which every engine format passes.
//
// Contract:
//  - InputStream is a read cursor over memory it does not own (start <= current
//    <= end). Every read is bounds-checked; a failed read returns false and leaves
//    the position unchanged. The memory must outlive the stream.
//  - Unsigned varint: 7 bits per byte, least significant group first, bit 7 set
//    on every byte but the last, at most 5 bytes. Only the low 4 bits of a fifth
//    byte count (higher ones are dropped); a fifth byte with bit 7 set is
//    rejected. Signed varint v travels as the unsigned varint of 2v (v >= 0) or
//    -2v-1 (v < 0).
//  - OutputStream owns a growable buffer. Any failing write or reservation
//    (allocation failure, 64-bit size overflow) puts it into the failed state:
//    buffer released, length 0, every later write fails, until Retire().
//    Writes grow the capacity by doubling from 256; Reserve() grows it to
//    exactly what is asked. From kBigBuffer on the buffer is a big buffer:
//    growing it moves pages rather than copying bytes. Lengths and capacities are 64-bit (size_t).
//    A stream may carry a length limit (SetLimit): a write, reservation or
//    commit that would take the length beyond it fails like an allocation
//    failure, and LimitExceeded() then tells the two apart. Capacity never
//    grows beyond the limit, so memory follows the bytes actually written.
//  - InputStreamSet / OutputStreamSet hold up to kMaxStreams streams and travel
//    serialised as: varint version 20090218, varint count (0..10), count varint
//    lengths, then the streams back to back (exactly the sum of the lengths).
//    A nested set is announced in stream 0 of its outer set (varint n, n
//    lengths); nested stream i is the next length-i bytes of outer stream i.
//    Input sets never copy: they point into the parsed buffer.
//  - Nothing here logs, except WriteSizeUVarint, whose 32-bit assertion ends the
//    process (the engine log's CRITICAL level).
//  - Not thread-safe per object; no shared state.
#ifndef VXPATCH_STREAMS_H
#define VXPATCH_STREAMS_H

#include <cstddef>
#include <cstdint>

#include "vxpatch/limits.h"

namespace vxpatch {

constexpr size_t kMaxVarintBytes = 5;
constexpr size_t kMaxStreams = 10;
constexpr uint32_t kStreamSetVersion = 20090218;

class OutputStream;

class InputStream {
 public:
  InputStream() = default;
  InputStream(const uint8_t* data, size_t length) { Init(data, length); }
  // A view of the stream's current content; invalid once it is written to.
  explicit InputStream(const OutputStream& source);

  void Init(const uint8_t* data, size_t length);

  bool Read(void* destination, size_t count);
  bool ReadByte(uint8_t* value);
  bool ReadUVarint(uint32_t* value);
  bool ReadSVarint(int32_t* value);
  // An unsigned varint that counts items of at least one byte each still to
  // come in this stream: refused when it exceeds Remaining(), so a count can
  // never size an allocation beyond what the input can hold.
  bool ReadCount(uint32_t* count);
  bool Skip(size_t count);

  // The next `count` bytes as a stream of their own; this stream moves past them.
  bool ReadSubstream(size_t count, InputStream* part);
  // `count` bytes starting `offset` bytes after the current position, without
  // moving.
  bool PeekSubstream(size_t offset, size_t count, InputStream* part) const;

  size_t Remaining() const { return static_cast<size_t>(end_ - current_); }
  // Bytes consumed since the start.
  size_t Position() const { return static_cast<size_t>(current_ - start_); }
  const uint8_t* Current() const { return current_; }
  const uint8_t* Start() const { return start_; }
  bool Empty() const { return current_ == end_; }

 private:
  const uint8_t* start_ = nullptr;
  const uint8_t* current_ = nullptr;
  const uint8_t* end_ = nullptr;
};

class OutputStream {
 public:
  OutputStream() = default;
  ~OutputStream();
  OutputStream(OutputStream&& other) noexcept;
  OutputStream& operator=(OutputStream&& other) noexcept;
  OutputStream(const OutputStream&) = delete;
  OutputStream& operator=(const OutputStream&) = delete;

  // Appends `count` bytes; 0 bytes succeed without change.
  bool Write(const void* data, size_t count);
  bool WriteByte(uint8_t value);
  bool WriteUVarint(uint32_t value);
  bool WriteSVarint(int32_t value);
  // A size that must fit 32 bits (an internal assertion: a larger one ends the
  // process). Callers that take sizes from outside check them first.
  bool WriteSizeUVarint(size_t value);

  // Makes room for `count` more bytes: when the capacity is below length +
  // count it becomes exactly max(256, length + count).
  bool Reserve(size_t count);
  // Makes room for `count` more bytes with the doubling growth of Write().
  bool EnsureSpare(size_t count);

  // Unused room after the content, for producers that fill the buffer in
  // place (decoders); Commit() then adds `count` filled bytes to the length.
  uint8_t* Spare() { return buffer_ ? buffer_ + length_ : nullptr; }
  size_t SpareCapacity() const { return capacity_ - length_; }
  bool Commit(size_t count);

  // Writes other's bytes; on success `other` is retired (emptied, released).
  bool Append(OutputStream* other);
  // Drops the content, keeping the buffer (a failed stream stays failed).
  void Clear();
  // Drops the content beyond `length` (no effect when it is not shorter).
  void Truncate(size_t length);
  // Releases the buffer; length and capacity 0, failed state cleared.
  void Retire();
  // Gives back the capacity beyond the length when that is 1 MiB or more
  // (a buffer reused for fewer bytes than it held); the content stays.
  void ShrinkToFit();

  // The most bytes the stream may hold; kNoOutputLimit by default. Retire()
  // keeps it.
  void SetLimit(size_t limit) { limit_ = limit; }
  size_t Limit() const { return limit_; }
  // How many more bytes the limit allows (0 in the failed state).
  size_t Headroom() const { return failed_ || length_ > limit_ ? 0 : limit_ - length_; }
  // The stream failed because a write would have passed its limit.
  bool LimitExceeded() const { return limit_exceeded_; }
  // True when `count` more bytes fit the limit; otherwise the stream fails
  // as if they had been written (LimitExceeded()). For producers that know
  // their size before they start.
  bool WithinLimit(size_t count);
  // Fails the stream as if a write had passed its limit: for producers whose
  // own buffers ran into limits derived from this stream's.
  void FailOverLimit();

  bool Failed() const { return failed_; }
  size_t Length() const { return length_; }
  size_t Capacity() const { return capacity_; }
  const uint8_t* Buffer() const { return buffer_; }
  uint8_t* MutableBuffer() { return buffer_; }

 private:
  bool Grow(size_t new_capacity);
  void Fail();
  void Release();

  uint8_t* buffer_ = nullptr;
  // The buffer is a big buffer (big_buffer.h) rather than the C heap's.
  bool mapped_ = false;
  size_t length_ = 0;
  size_t capacity_ = 0;
  size_t limit_ = kNoOutputLimit;
  bool failed_ = false;
  bool limit_exceeded_ = false;
};

class InputStreamSet {
 public:
  InputStreamSet();  // count kMaxStreams, every stream empty

  // Parses a serialised set in place (the buffer must outlive the set). The
  // bytes after the lengths must be exactly the streams; on failure the set is
  // unchanged.
  bool InitFromBuffer(const uint8_t* data, size_t length);
  // Reads a nested set announced in stream 0 (n <= this set's count); the
  // announced bytes of each stream are consumed. Nested stream i < n is the
  // next length-i bytes of stream i; streams from n on are empty. The nested
  // set keeps its count (10 for a fresh set; raised to n if it was lower).
  // On failure neither set changes.
  bool ReadSet(InputStreamSet* nested);

  // Every stream below the count is at its end.
  bool Empty() const;
  size_t Count() const { return count_; }
  // nullptr for an index at or beyond the count.
  InputStream* Stream(size_t index) { return index < count_ ? &streams_[index] : nullptr; }

 private:
  size_t count_;
  InputStream streams_[kMaxStreams];
};

class OutputStreamSet {
 public:
  OutputStreamSet();  // count kMaxStreams, every stream empty

  // Count of streams serialised; must not exceed kMaxStreams (assertion).
  void SetCount(size_t count);
  size_t Count() const { return count_; }
  // Any index below kMaxStreams (the count only limits serialisation);
  // nullptr beyond.
  OutputStream* Stream(size_t index) { return index < kMaxStreams ? &streams_[index] : nullptr; }

  // Announces `nested` in stream 0 (n = 1 + index of its last non-empty stream,
  // then n lengths) and appends its stream i to stream i, emptying it.
  bool WriteSet(OutputStreamSet* nested);
  // Appends version, count, the count lengths and the count streams to `sink`
  // (reserving exactly that much first); the streams are emptied.
  bool SerializeSet(OutputStream* sink);
  // Appends what SerializeSet puts before the streams (version, count and
  // lengths) and leaves the streams as they are: with the streams after it,
  // the serialised set in pieces.
  bool WriteHeader(OutputStream* sink) const;

 private:
  size_t count_;
  OutputStream streams_[kMaxStreams];
};

}  // namespace vxpatch

#endif  // VXPATCH_STREAMS_H
