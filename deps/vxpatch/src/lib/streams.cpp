// Streams, varints and stream sets. Every byte taken from outside the engine
// passes InputStream's checks before anything uses it.
#include "streams.h"

#include <cstdlib>
#include <cstring>
#include <limits>
#include <utility>

#include "big_buffer.h"
#include "log.h"

namespace vxpatch {
namespace {

constexpr size_t kMinCapacity = 256;

// Encodes `value` into `bytes`, returning the number of bytes used (1..5).
size_t EncodeUVarint(uint32_t value, uint8_t* bytes) {
  size_t used = 0;
  while (value >= 0x80) {
    bytes[used++] = static_cast<uint8_t>(value | 0x80);
    value >>= 7;
  }
  bytes[used++] = static_cast<uint8_t>(value);
  return used;
}

}  // namespace

// ---------------------------------------------------------------- InputStream

InputStream::InputStream(const OutputStream& source) {
  Init(source.Buffer(), source.Length());
}

void InputStream::Init(const uint8_t* data, size_t length) {
  if (!data) length = 0;
  start_ = data;
  current_ = data;
  end_ = data ? data + length : data;
}

bool InputStream::Read(void* destination, size_t count) {
  if (count > Remaining()) return false;
  if (count == 0) return true;
  std::memcpy(destination, current_, count);
  current_ += count;
  return true;
}

bool InputStream::ReadByte(uint8_t* value) {
  if (current_ == end_) return false;
  *value = *current_++;
  return true;
}

bool InputStream::ReadUVarint(uint32_t* value) {
  uint32_t result = 0;
  const uint8_t* cursor = current_;
  for (size_t index = 0; index < kMaxVarintBytes; ++index) {
    if (cursor == end_) return false;
    const uint8_t byte = *cursor++;
    // The fifth byte brings bits 28..34; only 28..31 fit, the rest are dropped.
    result |= static_cast<uint32_t>(byte & 0x7F) << (7 * index);
    if ((byte & 0x80) == 0) {
      *value = result;
      current_ = cursor;
      return true;
    }
  }
  return false;  // a sixth byte would be needed
}

bool InputStream::ReadSVarint(int32_t* value) {
  uint32_t encoded = 0;
  if (!ReadUVarint(&encoded)) return false;
  const uint32_t half = encoded >> 1;
  *value = static_cast<int32_t>((encoded & 1) ? ~half : half);
  return true;
}

bool InputStream::ReadCount(uint32_t* count) {
  const uint8_t* saved = current_;
  uint32_t value = 0;
  if (!ReadUVarint(&value)) return false;
  if (value > Remaining()) {
    current_ = saved;
    return false;
  }
  *count = value;
  return true;
}

bool InputStream::Skip(size_t count) {
  if (count > Remaining()) return false;
  current_ += count;
  return true;
}

bool InputStream::ReadSubstream(size_t count, InputStream* part) {
  if (count > Remaining()) return false;
  part->start_ = current_;
  part->current_ = current_;
  part->end_ = current_ + count;
  current_ += count;
  return true;
}

bool InputStream::PeekSubstream(size_t offset, size_t count, InputStream* part) const {
  const size_t available = Remaining();
  if (offset > available || available - offset < count) return false;
  part->start_ = current_ + offset;
  part->current_ = part->start_;
  part->end_ = part->start_ + count;
  return true;
}

// --------------------------------------------------------------- OutputStream

OutputStream::~OutputStream() { Release(); }

void OutputStream::Release() {
  if (mapped_) {
    FreeBigBuffer(buffer_, capacity_);
  } else {
    std::free(buffer_);
  }
  buffer_ = nullptr;
  mapped_ = false;
}

OutputStream::OutputStream(OutputStream&& other) noexcept
    : buffer_(other.buffer_),
      mapped_(other.mapped_),
      length_(other.length_),
      capacity_(other.capacity_),
      limit_(other.limit_),
      failed_(other.failed_),
      limit_exceeded_(other.limit_exceeded_) {
  other.buffer_ = nullptr;
  other.mapped_ = false;
  other.length_ = 0;
  other.capacity_ = 0;
  other.failed_ = false;
  other.limit_exceeded_ = false;
}

OutputStream& OutputStream::operator=(OutputStream&& other) noexcept {
  if (this != &other) {
    Release();
    buffer_ = std::exchange(other.buffer_, nullptr);
    mapped_ = std::exchange(other.mapped_, false);
    length_ = std::exchange(other.length_, 0);
    capacity_ = std::exchange(other.capacity_, 0);
    limit_ = other.limit_;
    failed_ = std::exchange(other.failed_, false);
    limit_exceeded_ = std::exchange(other.limit_exceeded_, false);
  }
  return *this;
}

void OutputStream::Fail() {
  Release();
  length_ = 0;
  capacity_ = 0;
  failed_ = true;
}

bool OutputStream::Grow(size_t new_capacity) {
  void* grown = nullptr;
  if (mapped_) {
    grown = ResizeBigBuffer(buffer_, capacity_, new_capacity);
  } else if (kMapBigBuffers && new_capacity >= kBigBuffer) {
    // From the heap to a mapping: the one copy a buffer's growth makes.
    grown = AllocateBigBuffer(new_capacity);
    if (grown) {
      if (length_ > 0) std::memcpy(grown, buffer_, length_);
      std::free(buffer_);
      mapped_ = true;
    }
  } else {
    grown = std::realloc(buffer_, new_capacity);
  }
  if (!grown) {
    Fail();
    return false;
  }
  buffer_ = static_cast<uint8_t*>(grown);
  capacity_ = new_capacity;
  return true;
}

bool OutputStream::WithinLimit(size_t count) {
  if (length_ <= limit_ && limit_ - length_ >= count) return true;
  FailOverLimit();
  return false;
}

void OutputStream::FailOverLimit() {
  Fail();
  limit_exceeded_ = true;
}

bool OutputStream::EnsureSpare(size_t count) {
  if (failed_ || !WithinLimit(count)) return false;
  if (capacity_ - length_ >= count) return true;
  const size_t max = std::numeric_limits<size_t>::max();
  if (max - length_ < count) {
    Fail();
    return false;
  }
  const size_t needed = length_ + count;
  size_t new_capacity = capacity_ ? capacity_ : kMinCapacity;
  while (new_capacity < needed) {
    if (new_capacity > max / 2) {
      new_capacity = needed;
      break;
    }
    new_capacity *= 2;
  }
  // Doubling stops at the limit: the room beyond it could never be used.
  if (new_capacity > limit_) new_capacity = limit_ < needed ? needed : limit_;
  return Grow(new_capacity);
}

bool OutputStream::Reserve(size_t count) {
  if (failed_) return false;
  if (std::numeric_limits<size_t>::max() - length_ < count) {
    Fail();
    return false;
  }
  if (!WithinLimit(count)) return false;
  const size_t needed = length_ + count;
  if (capacity_ >= needed) return true;
  return Grow(needed < kMinCapacity ? kMinCapacity : needed);
}

bool OutputStream::Commit(size_t count) {
  if (failed_ || capacity_ - length_ < count || !WithinLimit(count)) return false;
  length_ += count;
  return true;
}

bool OutputStream::Write(const void* data, size_t count) {
  if (failed_) return false;
  if (count == 0) return true;
  if (!EnsureSpare(count)) return false;
  std::memcpy(buffer_ + length_, data, count);
  length_ += count;
  return true;
}

bool OutputStream::WriteByte(uint8_t value) { return Write(&value, 1); }

bool OutputStream::WriteUVarint(uint32_t value) {
  uint8_t bytes[kMaxVarintBytes];
  return Write(bytes, EncodeUVarint(value, bytes));
}

bool OutputStream::WriteSVarint(int32_t value) {
  const uint32_t bits = static_cast<uint32_t>(value);
  // 2v for v >= 0, -2v-1 (the complement of 2v) for v < 0, in unsigned
  // arithmetic so that INT32_MIN needs no special case.
  const uint32_t encoded = value >= 0 ? bits << 1 : ~(bits << 1);
  return WriteUVarint(encoded);
}

bool OutputStream::WriteSizeUVarint(size_t value) {
  const uint32_t narrowed_value = static_cast<uint32_t>(value);
  VOXLOG_ASSERT(value == narrowed_value);
  return WriteUVarint(narrowed_value);
}

bool OutputStream::Append(OutputStream* other) {
  if (other == this) return false;
  // Into a stream that holds no buffer yet the other's buffer moves as it
  // is: the same bytes without a copy or fresh pages for them.
  if (buffer_ == nullptr && !failed_ && !other->failed_ && other->buffer_ != nullptr &&
      other->capacity_ <= limit_) {
    if (!WithinLimit(other->length_)) return false;
    Release();
    buffer_ = std::exchange(other->buffer_, nullptr);
    mapped_ = std::exchange(other->mapped_, false);
    length_ = std::exchange(other->length_, 0);
    capacity_ = std::exchange(other->capacity_, 0);
    other->Retire();
    return true;
  }
  if (!Write(other->buffer_, other->length_)) return false;
  other->Retire();
  return true;
}

void OutputStream::Clear() { length_ = 0; }

void OutputStream::Truncate(size_t length) {
  if (length < length_) length_ = length;
}

void OutputStream::Retire() {
  Release();
  length_ = 0;
  capacity_ = 0;
  failed_ = false;
  limit_exceeded_ = false;
}

void OutputStream::ShrinkToFit() {
  constexpr size_t kWorthIt = size_t{1} << 20;
  if (failed_ || capacity_ - length_ < kWorthIt) return;
  const size_t kept = length_ < kMinCapacity ? kMinCapacity : length_;
  // A failed shrink leaves the larger buffer, which is just as good.
  if (void* shrunk = mapped_ ? ResizeBigBuffer(buffer_, capacity_, kept) : std::realloc(buffer_, kept)) {
    buffer_ = static_cast<uint8_t*>(shrunk);
    capacity_ = kept;
  }
}

// ------------------------------------------------------------- InputStreamSet

InputStreamSet::InputStreamSet() : count_(kMaxStreams) {}

bool InputStreamSet::InitFromBuffer(const uint8_t* data, size_t length) {
  InputStream header(data, length);
  uint32_t version = 0;
  if (!header.ReadUVarint(&version) || version != kStreamSetVersion) return false;
  uint32_t count = 0;
  if (!header.ReadUVarint(&count) || count > kMaxStreams) return false;
  uint32_t lengths[kMaxStreams] = {};
  uint64_t total = 0;  // at most ten 32-bit lengths: cannot wrap in 64 bits
  for (uint32_t index = 0; index < count; ++index) {
    if (!header.ReadUVarint(&lengths[index])) return false;
    total += lengths[index];
  }
  if (total != header.Remaining()) return false;
  count_ = count;
  for (uint32_t index = 0; index < count; ++index) {
    header.ReadSubstream(lengths[index], &streams_[index]);
  }
  for (size_t index = count; index < kMaxStreams; ++index) streams_[index] = InputStream();
  return true;
}

bool InputStreamSet::ReadSet(InputStreamSet* nested) {
  if (count_ == 0) return false;
  InputStream announcement = streams_[0];
  uint32_t nested_count = 0;
  if (!announcement.ReadUVarint(&nested_count)) return false;
  if (nested_count > kMaxStreams || nested_count > count_) return false;
  uint32_t lengths[kMaxStreams] = {};
  for (uint32_t index = 0; index < nested_count; ++index) {
    if (!announcement.ReadUVarint(&lengths[index])) return false;
  }
  // Work on copies so that a failure leaves both sets as they were.
  InputStream outer[kMaxStreams];
  for (size_t index = 0; index < count_; ++index) outer[index] = streams_[index];
  outer[0] = announcement;
  InputStream parts[kMaxStreams];
  for (uint32_t index = 0; index < nested_count; ++index) {
    if (!outer[index].ReadSubstream(lengths[index], &parts[index])) return false;
  }
  for (size_t index = 0; index < count_; ++index) streams_[index] = outer[index];
  // The nested set keeps its own count: a program written with fewer
  // non-empty streams is still read from all of them, the rest being empty.
  for (size_t index = 0; index < kMaxStreams; ++index) nested->streams_[index] = parts[index];
  if (nested->count_ < nested_count) nested->count_ = nested_count;
  return true;
}

bool InputStreamSet::Empty() const {
  for (size_t index = 0; index < count_; ++index) {
    if (!streams_[index].Empty()) return false;
  }
  return true;
}

// ------------------------------------------------------------ OutputStreamSet

OutputStreamSet::OutputStreamSet() : count_(kMaxStreams) {}

void OutputStreamSet::SetCount(size_t count) {
  VOXLOG_ASSERT(count <= kMaxStreams);
  count_ = count;
}

bool OutputStreamSet::WriteSet(OutputStreamSet* nested) {
  if (nested == this) return false;
  size_t nested_count = 0;
  for (size_t index = 0; index < kMaxStreams; ++index) {
    if (nested->streams_[index].Length() != 0) nested_count = index + 1;
  }
  if (!streams_[0].WriteSizeUVarint(nested_count)) return false;
  for (size_t index = 0; index < nested_count; ++index) {
    // A stream of 4 GiB or more cannot be announced; refuse it as a failed
    // write instead of tripping the assertion in WriteSizeUVarint.
    if (nested->streams_[index].Length() > UINT32_MAX) return false;
    if (!streams_[0].WriteSizeUVarint(nested->streams_[index].Length())) return false;
  }
  for (size_t index = 0; index < nested_count; ++index) {
    if (!streams_[index].Append(&nested->streams_[index])) return false;
  }
  return true;
}

bool OutputStreamSet::WriteHeader(OutputStream* sink) const {
  if (!sink->WriteUVarint(kStreamSetVersion) || !sink->WriteSizeUVarint(count_)) return false;
  for (size_t index = 0; index < count_; ++index) {
    const size_t length = streams_[index].Length();
    if (length > UINT32_MAX) return false;  // see WriteSet
    if (!sink->WriteSizeUVarint(length)) return false;
  }
  return true;
}

bool OutputStreamSet::SerializeSet(OutputStream* sink) {
  OutputStream header;
  if (!WriteHeader(&header)) return false;
  uint64_t total = 0;
  for (size_t index = 0; index < count_; ++index) total += streams_[index].Length();  // cannot wrap
  const uint64_t max = std::numeric_limits<size_t>::max();
  if (max - header.Length() < total) return false;
  if (!sink->Reserve(header.Length() + static_cast<size_t>(total))) return false;
  if (!sink->Append(&header)) return false;
  for (size_t index = 0; index < count_; ++index) {
    if (!sink->Append(&streams_[index])) return false;
  }
  return true;
}

}  // namespace vxpatch
