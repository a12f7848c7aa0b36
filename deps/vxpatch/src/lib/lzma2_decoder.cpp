// LZMA2 chunks and the LZMA symbols inside them. The range decoder reads a
// chunk's packed bytes straight from memory and renormalises after every
// bit, so a valid chunk ends with its last packed byte read and the code at
// zero; one that would read past its packed bytes is damaged (or cut off,
// where the input ends first).
#include "lzma2_decoder.h"

#include <algorithm>
#include <cstring>
#include <new>

#include "big_buffer.h"

namespace vxpatch {

namespace {

constexpr unsigned kStates = 12;
constexpr unsigned kLiteralStates = 7;  // states below this one follow a literal
constexpr unsigned kPositionBitsMax = 4;
constexpr unsigned kLiteralBitsMax = 4;  // literal context bits plus literal position bits
constexpr unsigned kLengthToPositionStates = 4;
constexpr unsigned kPositionSlotBits = 6;
constexpr unsigned kEndPositionModelIndex = 14;
constexpr unsigned kFullDistances = 128;
constexpr unsigned kAlignBits = 4;
constexpr uint32_t kMatchMinLength = 2;
constexpr uint32_t kEndMarkerDistance = 0xFFFFFFFF;
constexpr uint32_t kTopValue = uint32_t{1} << 24;
constexpr unsigned kModelBits = 11;
constexpr unsigned kMoveBits = 5;
constexpr uint16_t kProbabilityInit = uint16_t{1} << (kModelBits - 1);
constexpr size_t kMinWindow = 4096;
constexpr size_t kLiteralCoderSize = 0x300;
// Matches up to this long are copied a byte at a time: cheaper than a call.
constexpr size_t kShortCopy = 16;

struct LengthProbabilities {
  uint16_t choice;
  uint16_t choice2;
  uint16_t low[1 << kPositionBitsMax][8];
  uint16_t mid[1 << kPositionBitsMax][8];
  uint16_t high[256];
};

struct RangeDecoder {
  uint32_t range;
  uint32_t code;
  const uint8_t* in;
  const uint8_t* end;
  // A read past `end`: the bits decoded from then on are not the stream's.
  bool overrun;

  void Normalize() {
    if (range < kTopValue) {
      range <<= 8;
      uint8_t next = 0;
      if (in != end) {
        next = *in++;
      } else {
        overrun = true;
      }
      code = (code << 8) | next;
    }
  }
  // Which way a bit goes is as good as random for dense data, so the
  // decoder selects instead of branching: a mispredicted branch costs more
  // than computing both ways.
  unsigned Bit(uint16_t* probability) {
    const uint32_t p = *probability;
    const uint32_t bound = (range >> kModelBits) * p;
    const unsigned bit = code >= bound ? 1u : 0u;
    const uint32_t ones = 0u - bit;  // all ones when the bit is 1
    range = ((range - bound) & ones) | (bound & ~ones);
    code -= bound & ones;
    const uint32_t zero_p = p + (((1u << kModelBits) - p) >> kMoveBits);
    const uint32_t one_p = p - (p >> kMoveBits);
    *probability = static_cast<uint16_t>((one_p & ones) | (zero_p & ~ones));
    Normalize();
    return bit;
  }
  unsigned Tree(uint16_t* probabilities, unsigned bits) {
    unsigned m = 1;
    for (unsigned i = 0; i < bits; ++i) m = (m << 1) | Bit(&probabilities[m]);
    return m - (1u << bits);
  }
  unsigned ReverseTree(uint16_t* probabilities, unsigned bits) {
    unsigned m = 1, symbol = 0;
    for (unsigned i = 0; i < bits; ++i) {
      const unsigned bit = Bit(&probabilities[m]);
      m = (m << 1) | bit;
      symbol |= bit << i;
    }
    return symbol;
  }
  uint32_t Direct(unsigned bits) {
    uint32_t result = 0;
    for (unsigned i = 0; i < bits; ++i) {
      range >>= 1;
      code -= range;
      const uint32_t below = 0u - (code >> 31);  // all ones when the code went below zero
      code += range & below;
      result = (result << 1) + (below + 1);
      Normalize();
    }
    return result;
  }
  unsigned Length(LengthProbabilities* p, unsigned position_state) {
    if (Bit(&p->choice) == 0) return Tree(p->low[position_state], 3);
    if (Bit(&p->choice2) == 0) return 8 + Tree(p->mid[position_state], 3);
    return 16 + Tree(p->high, 8);
  }
  // A literal from its coder's probabilities; right after a match it is
  // coded against `match_byte`, the byte at the last distance, for as long
  // as their bits agree.
  uint8_t Literal(uint16_t* probabilities, bool after_match, unsigned match_byte) {
    unsigned symbol = 1;
    if (after_match) {
      do {
        const unsigned match_bit = (match_byte >> 7) & 1;
        match_byte <<= 1;
        const unsigned bit = Bit(&probabilities[((1 + match_bit) << 8) + symbol]);
        symbol = (symbol << 1) | bit;
        if (match_bit != bit) break;
      } while (symbol < 0x100);
    }
    while (symbol < 0x100) symbol = (symbol << 1) | Bit(&probabilities[symbol]);
    return static_cast<uint8_t>(symbol);
  }
  // The distance of a new match: its slot from the tree of the match's
  // length, then the slot's low bits from the special or the direct and
  // align probabilities.
  uint32_t Distance(uint16_t* slot_tree, uint16_t* special, uint16_t* align) {
    const unsigned slot = Tree(slot_tree, kPositionSlotBits);
    if (slot < 4) return slot;
    const unsigned direct = (slot >> 1) - 1;
    uint32_t distance = (2u | (slot & 1u)) << direct;
    if (slot < kEndPositionModelIndex) return distance + ReverseTree(special + distance - slot, direct);
    distance += Direct(direct - kAlignBits) << kAlignBits;
    return distance + ReverseTree(align, kAlignBits);
  }
  // A repeated match of one of the three older distances (`g1`, `g2`: the
  // choice's probabilities in this state) moves that distance to the front.
  void PickOlderDistance(uint16_t* g1, uint16_t* g2, uint32_t& rep0, uint32_t& rep1, uint32_t& rep2,
                         uint32_t& rep3) {
    uint32_t distance = 0;
    if (Bit(g1) == 0) {
      distance = rep1;
    } else {
      if (Bit(g2) == 0) {
        distance = rep2;
      } else {
        distance = rep3;
        rep3 = rep2;
      }
      rep2 = rep1;
    }
    rep1 = rep0;
    rep0 = distance;
  }
};

// Index of the byte `back` (1 .. size) bytes before `pos` in a circular window.
inline size_t Behind(size_t pos, size_t back, size_t size) {
  return pos >= back ? pos - back : pos + size - back;
}

// Copies `n` bytes to window[pos ..] (which does not wrap) from `back` bytes
// before each, as a match repeats them: a run of one byte is a fill, a
// shorter period is copied in doubling pieces, each from the match's start.
void CopyMatch(uint8_t* window, size_t size, size_t pos, size_t back, size_t n) {
  uint8_t* to = window + pos;
  if (back > pos) {
    // The source wraps around the window's end (rare: just after the window
    // turned over).
    const size_t from = pos + size - back;
    if (back >= n) {
      const size_t part = std::min(n, size - from);
      std::memmove(to, window + from, part);
      std::memmove(to + part, window, n - part);
      return;
    }
    for (size_t i = 0, j = from; i < n; ++i) {
      to[i] = window[j];
      if (++j == size) j = 0;
    }
    return;
  }
  const uint8_t* from = to - back;
  if (n <= kShortCopy) {
    for (size_t i = 0; i < n; ++i) to[i] = from[i];
    return;
  }
  if (back >= n) {
    std::memcpy(to, from, n);
    return;
  }
  if (back == 1) {
    std::memset(to, *from, n);
    return;
  }
  // The bytes from `from` on repeat with period `back`; the stretch already
  // written between `from` and `to` is a whole number of periods until the
  // last piece.
  while (n > 0) {
    const size_t piece = std::min(static_cast<size_t>(to - from), n);
    std::memcpy(to, from, piece);
    to += piece;
    n -= piece;
  }
}

// Copies what is left of a match that the last call could not finish
// (`*pending` bytes at distance rep0 + 1), as far as `limit`; returns how
// many bytes it made.
size_t CopyPending(uint8_t* window, size_t size, size_t pos, size_t limit, uint32_t rep0, uint32_t* pending) {
  if (*pending == 0) return 0;
  const size_t n = std::min(size_t{*pending}, limit - pos);
  CopyMatch(window, size, pos, size_t{rep0} + 1, n);
  *pending -= static_cast<uint32_t>(n);
  return n;
}

// A new match's distance goes to the front of the four last distances.
inline void PushDistance(uint32_t distance, uint32_t& rep0, uint32_t& rep1, uint32_t& rep2, uint32_t& rep3) {
  rep3 = rep2;
  rep2 = rep1;
  rep1 = rep0;
  rep0 = distance;
}

// The coder of the literal at `pos`, which follows the byte `previous`.
inline uint16_t* LiteralCoder(uint16_t* literal, size_t pos, unsigned previous, unsigned position_mask,
                              unsigned context_bits) {
  const unsigned index =
      ((static_cast<unsigned>(pos) & position_mask) << context_bits) + (previous >> (8 - context_bits));
  return literal + kLiteralCoderSize * index;
}

}  // namespace

struct Lzma2Decoder::Probabilities {
  uint16_t is_match[kStates << kPositionBitsMax];
  uint16_t is_rep[kStates];
  uint16_t is_rep_g0[kStates];
  uint16_t is_rep_g1[kStates];
  uint16_t is_rep_g2[kStates];
  uint16_t is_rep0_long[kStates << kPositionBitsMax];
  uint16_t position_slot[kLengthToPositionStates][1 << kPositionSlotBits];
  uint16_t special_position[1 + kFullDistances - kEndPositionModelIndex];
  uint16_t align[1 << kAlignBits];
  LengthProbabilities match_length;
  LengthProbabilities rep_length;
  uint16_t literal[kLiteralCoderSize << kLiteralBitsMax];
};

Lzma2Decoder::Lzma2Decoder() = default;
Lzma2Decoder::~Lzma2Decoder() = default;

bool Lzma2Decoder::Start(size_t window, const uint8_t* data, size_t size) {
  window_size_ = (std::max(window, kMinWindow) + 15) & ~size_t{15};
  window_.reset(new (std::nothrow) uint8_t[window_size_]);
  probabilities_.reset(new (std::nothrow) Probabilities);
  if (!window_ || !probabilities_) return false;
  AdviseHugePages(window_.get(), window_size_);
  input_ = data;
  in_ = data;
  input_end_ = data + size;
  chunk_end_ = in_;
  return true;
}

Lzma2Decoder::Result Lzma2Decoder::Fail(Result result) {
  failure_ = result;
  return result;
}

Lzma2Decoder::Result Lzma2Decoder::Decode(uint8_t* to, size_t count, size_t* made) {
  *made = 0;
  if (failure_ != kDone) return failure_;
  while (count > 0) {
    if (chunk_left_ == 0) {
      const Result header = ReadChunkHeader();
      if (header != kDone) return Fail(header);
      continue;
    }
    if (pos_ == window_size_) pos_ = 0;
    const size_t start = pos_;
    const size_t room = std::min({window_size_ - pos_, count, chunk_left_});
    const Result step = stored_ ? CopyStored(pos_ + room) : DecodeSymbols(pos_ + room);
    const size_t produced = pos_ - start;
    full_ = std::min(full_ + produced, window_size_);
    chunk_left_ -= produced;
    if (to) {
      std::memcpy(to, window_.get() + start, produced);
      to += produced;
    }
    *made += produced;
    count -= produced;
    if (step != kDone) return Fail(step);
    if (chunk_left_ == 0 && !stored_) {
      const Result end = EndChunk();
      if (end != kDone) return Fail(end);
    }
  }
  return kDone;
}

Lzma2Decoder::Result Lzma2Decoder::Finish(size_t* consumed) {
  if (failure_ != kDone) return failure_;
  if (chunk_left_ > 0) return Fail(kDataError);
  if (in_ == input_end_) return Fail(kInputEnded);
  const uint8_t control = *in_;
  if (control != 0) {
    // More data than announced; cut off within the next chunk's header, the
    // input ended first.
    const size_t header = control >= 0x80 ? (control >= 0xC0 ? 6 : 5) : (control <= 2 ? 3 : 1);
    return Fail(static_cast<size_t>(input_end_ - in_) < header ? kInputEnded : kDataError);
  }
  ++in_;
  *consumed = static_cast<size_t>(in_ - input_);
  return kDone;
}

// Control byte 0 ends the stream; 1 (resetting the dictionary) and 2 begin
// a stored chunk; from 0x80 on an LZMA chunk, whose top bits say what it
// resets: 0xA0 the state, 0xC0 the state with new properties, 0xE0 also the
// dictionary. The first chunk must reset the dictionary, and the first LZMA
// chunk after a dictionary reset must bring properties.
Lzma2Decoder::Result Lzma2Decoder::ReadChunkHeader() {
  if (in_ == input_end_) return kInputEnded;
  const uint8_t control = *in_++;
  if (control == 0) return kEnded;
  if (control == 1 || control >= 0xE0) {
    need_properties_ = true;
    need_dictionary_reset_ = false;
    pos_ = 0;
    full_ = 0;
  } else if (need_dictionary_reset_) {
    return kDataError;
  }
  const size_t available = static_cast<size_t>(input_end_ - in_);
  if (control < 0x80) {
    if (control > 2) return kDataError;
    if (available < 2) return kInputEnded;
    chunk_left_ = ((size_t{in_[0]} << 8) | in_[1]) + 1;
    in_ += 2;
    stored_ = true;
    return kDone;
  }
  const size_t header = control >= 0xC0 ? 5 : 4;
  if (available < header) return kInputEnded;
  chunk_left_ = ((size_t{control & 0x1Fu} << 16) | (size_t{in_[0]} << 8) | in_[1]) + 1;
  const size_t packed = ((size_t{in_[2]} << 8) | in_[3]) + 1;
  if (control >= 0xC0) {
    if (!SetProperties(in_[4])) return kDataError;
    need_properties_ = false;
    ResetState();
  } else if (need_properties_) {
    return kDataError;
  } else if (control >= 0xA0) {
    ResetState();
  }
  in_ += header;
  stored_ = false;
  chunk_cut_ = packed > available - header;
  chunk_end_ = chunk_cut_ ? input_end_ : in_ + packed;
  // The range decoder's first byte is always zero; four bytes of code follow.
  if (chunk_end_ - in_ < 5) return chunk_cut_ ? kInputEnded : kDataError;
  if (in_[0] != 0) return kDataError;
  code_ = (uint32_t{in_[1]} << 24) | (uint32_t{in_[2]} << 16) | (uint32_t{in_[3]} << 8) | in_[4];
  range_ = 0xFFFFFFFF;
  in_ += 5;
  return kDone;
}

bool Lzma2Decoder::SetProperties(uint8_t properties) {
  if (properties >= 9 * 5 * 5) return false;
  const unsigned literal_context = properties % 9;
  const unsigned literal_position = properties / 9 % 5;
  const unsigned position = properties / 45;
  if (literal_context + literal_position > kLiteralBitsMax) return false;
  literal_context_bits_ = literal_context;
  literal_position_mask_ = (1u << literal_position) - 1;
  position_mask_ = (1u << position) - 1;
  return true;
}

void Lzma2Decoder::ResetState() {
  Probabilities& p = *probabilities_;
  const auto reset = [](auto& table) {
    uint16_t* first = reinterpret_cast<uint16_t*>(&table);
    std::fill(first, first + sizeof table / sizeof(uint16_t), kProbabilityInit);
  };
  reset(p.is_match);
  reset(p.is_rep);
  reset(p.is_rep_g0);
  reset(p.is_rep_g1);
  reset(p.is_rep_g2);
  reset(p.is_rep0_long);
  reset(p.position_slot);
  reset(p.special_position);
  reset(p.align);
  reset(p.match_length);
  reset(p.rep_length);
  std::fill(p.literal, p.literal + (kLiteralCoderSize << kLiteralBitsMax), kProbabilityInit);
  state_ = 0;
  std::fill(reps_, reps_ + 4, 0u);
  pending_ = 0;
}

Lzma2Decoder::Result Lzma2Decoder::CopyStored(size_t limit) {
  const size_t wanted = limit - pos_;
  const size_t available = static_cast<size_t>(input_end_ - in_);
  const size_t part = std::min(wanted, available);
  std::memcpy(window_.get() + pos_, in_, part);
  in_ += part;
  pos_ += part;
  return part == wanted ? kDone : kInputEnded;
}

Lzma2Decoder::Result Lzma2Decoder::EndChunk() const {
  if (pending_ != 0 || in_ != chunk_end_ || code_ != 0) return kDataError;
  return kDone;
}

Lzma2Decoder::Result Lzma2Decoder::DecodeSymbols(size_t limit) {
  Probabilities& p = *probabilities_;
  uint8_t* const window = window_.get();
  const size_t size = window_size_;
  const size_t start = pos_;
  size_t pos = pos_;
  RangeDecoder rc{range_, code_, in_, chunk_end_, false};
  uint32_t state = state_;
  uint32_t rep0 = reps_[0], rep1 = reps_[1], rep2 = reps_[2], rep3 = reps_[3];
  Result result = kDone;

  pos += CopyPending(window, size, pos, limit, rep0, &pending_);
  while (pos < limit) {
    const unsigned position_state = static_cast<unsigned>(pos) & position_mask_;
    if (rc.Bit(&p.is_match[(state << kPositionBitsMax) + position_state]) == 0) {
      const size_t have = full_ + (pos - start);
      const unsigned previous = pos > 0 ? window[pos - 1] : (have > 0 ? window[size - 1] : 0);
      uint16_t* probabilities =
          LiteralCoder(p.literal, pos, previous, literal_position_mask_, literal_context_bits_);
      const bool after_match = state >= kLiteralStates;
      window[pos] = rc.Literal(probabilities, after_match,
                               after_match ? window[Behind(pos, size_t{rep0} + 1, size)] : 0);
      ++pos;
      state = state < 4 ? 0 : (state < 10 ? state - 3 : state - 6);
    } else {
      const size_t have = std::min(full_ + (pos - start), size);
      uint32_t length = 0;
      if (rc.Bit(&p.is_rep[state]) == 0) {
        length = rc.Length(&p.match_length, position_state);
        state = state < kLiteralStates ? 7 : 10;
        const unsigned length_state = std::min(length, kLengthToPositionStates - 1);
        const uint32_t distance = rc.Distance(p.position_slot[length_state], p.special_position, p.align);
        // The end marker has no place in a chunk of known size.
        if (distance == kEndMarkerDistance || distance >= have) {
          result = kDataError;
          break;
        }
        PushDistance(distance, rep0, rep1, rep2, rep3);
      } else {
        if (have == 0) {
          result = kDataError;
          break;
        }
        if (rc.Bit(&p.is_rep_g0[state]) == 0) {
          if (rc.Bit(&p.is_rep0_long[(state << kPositionBitsMax) + position_state]) == 0) {
            state = state < kLiteralStates ? 9 : 11;
            window[pos] = window[Behind(pos, size_t{rep0} + 1, size)];
            ++pos;
            if (rc.overrun) break;
            continue;
          }
        } else {
          rc.PickOlderDistance(&p.is_rep_g1[state], &p.is_rep_g2[state], rep0, rep1, rep2, rep3);
        }
        length = rc.Length(&p.rep_length, position_state);
        state = state < kLiteralStates ? 8 : 11;
      }
      length += kMatchMinLength;
      const size_t n = std::min(size_t{length}, limit - pos);
      CopyMatch(window, size, pos, size_t{rep0} + 1, n);
      pos += n;
      pending_ = static_cast<uint32_t>(length - n);
    }
    if (rc.overrun) break;
  }
  // Bits decoded past the packed bytes are not the stream's, whatever they
  // made of the symbol.
  if (rc.overrun) result = chunk_cut_ ? kInputEnded : kDataError;
  pos_ = pos;
  range_ = rc.range;
  code_ = rc.code;
  in_ = rc.in;
  state_ = state;
  reps_[0] = rep0;
  reps_[1] = rep1;
  reps_[2] = rep2;
  reps_[3] = rep3;
  return result;
}

}  // namespace vxpatch
