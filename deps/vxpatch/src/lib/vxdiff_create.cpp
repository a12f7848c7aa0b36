// Creating a diff: a suffix array of the old bytes finds, for each stretch of
// the new bytes, the old stretch that matches longest; approximate matches are
// extended forwards and backwards so that small edits inside them become diff
// bytes (mostly zeros, which compress well) instead of extra bytes.
#include <divsufsort.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <limits>
#include <memory>
#include <new>
#include <vector>

#include "big_buffer.h"
#include "checksum.h"
#include "engine_log.h"
#include "lzmaioout.h"
#include "streams.h"
#include "vxdiff.h"
#include "vxpatch/thread_budget.h"

namespace vxpatch {
namespace {

constexpr int64_t kMaxInputSize = std::numeric_limits<int32_t>::max();
// A match at least this much longer than the current alignment ends the scan
// early, so long runs of changes do not cost a search per byte.
constexpr int64_t kLongMatch = 10240;
// Longest match the search measures; well above kLongMatch so that a long
// match still ends the scan as soon as it is found.
constexpr int64_t kMaxMatch = int64_t{1} << 15;
// Where the scan walks on by one position, a match longer than this at the
// position before still matches one byte shorter one further on; the scan
// takes it instead of searching again, so a long match costs one search
// however many positions it explains.
constexpr int64_t kCarriedMatch = 256;
// Bytes the extensions may walk again (a backward extension reaching back
// over the triples before it, a resumed alignment looking far past its best
// end), earned per new byte the scan passes, with a start for small inputs.
// Real files spend a few percent of it; on long repeats, where every
// alignment explains everything behind it, each match would otherwise walk
// back over all the ones before.
constexpr int64_t kRewalkPerByte = 8;
constexpr int64_t kRewalkStart = int64_t{1} << 20;
// How far past the best end of a resumed alignment its extension looks for
// a better one without spending the allowance above.
constexpr int64_t kResumeReach = 256;
// Equal bytes that resume an alignment after a stretch its weighted
// extension left out: a triple with a short jump costs about as much as a
// dozen extra bytes.
constexpr int64_t kResumeRun = 16;
// How many old positions ahead the tables' entries are fetched while they
// are filled, one random entry per old byte.
constexpr int64_t kTableAhead = 16;
// How many positions ahead of the scan the seed filter's word is fetched:
// about as many as a cache miss takes positions passed without a search.
constexpr int64_t kSeedsAhead = 16;
// Dictionary of the diff's LZMA2 blocks. Diff sections are mostly zeros with
// near repeats: on library pairs a 1 MiB dictionary compresses within 0.3% of a
// 20 MiB one, and keeps the encoder (about 10.5 bytes per dictionary byte) from
// dwarfing the suffix array.
constexpr uint32_t kDiffDictionary = uint32_t{1} << 20;

Lzma2Tuning DiffBlockTuning() {
  Lzma2Tuning tuning;
  tuning.dictionary_limit = kDiffDictionary;
  return tuning;
}

struct Bytes {
  const uint8_t* data;
  int64_t size;
};

// Index of the first difference of a and b in [from, limit), or limit.
int64_t MismatchFrom(const uint8_t* a, const uint8_t* b, int64_t from, int64_t limit) {
  int64_t i = from;
  for (; limit - i >= 8; i += 8) {
    uint64_t x, y;
    std::memcpy(&x, a + i, 8);
    std::memcpy(&y, b + i, 8);
    if (x != y) return i + __builtin_ctzll(x ^ y) / 8;
  }
  while (i < limit && a[i] == b[i]) ++i;
  return i;
}

// A table of `count` entries, not yet written, on huge pages where the
// kernel grants them: the scan reads the suffix array and the tables below at
// random, and with small pages nearly every read also misses the TLB.
template <typename T>
std::unique_ptr<T[]> RandomAccessTable(size_t count) {
  std::unique_ptr<T[]> table(new T[count]);
  AdviseHugePages(table.get(), count * sizeof(T));
  return table;
}

// Asks for the cache line at `at` ahead of its use. In assembly on x86-64,
// where the compiler drops the builtin's prefetch of a computed table index.
void Prefetch(const void* at) {
#if defined(__x86_64__)
  asm volatile("prefetcht0 %0" : : "m"(*static_cast<const char*>(at)));
#else
  __builtin_prefetch(at);
#endif
}

// The old bytes' suffix array (the empty suffix first) and where in it the
// suffixes of each value of their first `prefix_bytes` bytes begin. A
// suffix shorter than that counts as its bytes followed by zeros, which is
// where it sorts.
struct SuffixIndex {
  Bytes old_bytes{nullptr, 0};
  std::unique_ptr<int32_t[]> suffixes;
  int prefix_bytes = 0;
  std::unique_ptr<uint32_t[]> starts;  // one more than there are values

  bool Build(Bytes old) {
    old_bytes = old;
    suffixes = RandomAccessTable<int32_t>(static_cast<size_t>(old.size) + 1);
    suffixes[0] = static_cast<int32_t>(old.size);
    if (old.size > 0 && divsufsort(old.data, suffixes.get() + 1, static_cast<saidx_t>(old.size)) != 0) {
      return false;
    }
    // Three bytes (a 64 MiB table) only where the table is small beside the
    // suffix array.
    prefix_bytes = old.size >= (int64_t{1} << 24) ? 3 : 2;
    const size_t values = size_t{1} << (8 * prefix_bytes);
    starts = RandomAccessTable<uint32_t>(values + 1);
    std::fill_n(starts.get(), values + 1, 0u);
    ++starts[1];  // the empty suffix, in the bucket of value 0
    for (int64_t i = 0; i < old.size; ++i) {
      if (old.size - i > kTableAhead)
        Prefetch(&starts[Key(old.data + i + kTableAhead, old.size - i - kTableAhead) + 1]);
      ++starts[Key(old.data + i, old.size - i) + 1];
    }
    for (size_t value = 1; value <= values; ++value) starts[value] += starts[value - 1];
    return true;
  }

  uint32_t Key(const uint8_t* bytes, int64_t available) const {
    uint32_t key = 0;
    for (int i = 0; i < prefix_bytes; ++i) key = (key << 8) | (i < available ? bytes[i] : 0);
    return key;
  }

  // Longest match of `target` among the old suffixes: halves the range
  // while it spans more than two entries, then the longer of the two
  // candidates wins, the upper one on a tie. The range starts as the
  // target's bucket with one neighbour on either side, and every suffix
  // between two others shares at least the shorter of their common prefixes
  // with the target, so each comparison starts behind that prefix: a search
  // costs the match length plus a few halvings, not their product, which on
  // repetitive inputs is what the scan spends its time on.
  // Matches are measured up to kMaxMatch bytes: the scan asks one question
  // per new position, and a longer answer only makes the scan step further,
  // so the cap bounds the work per position. An old suffix that ends inside
  // the measured target sorts below it, and one that matches all of it
  // counts as not below: in a run of zeros longer than the cap, the search
  // ends at the first suffix that matches all of it, not at the short
  // suffixes of zeros at the end of the old bytes.
  // Each halving waits on two reads from memory, the suffix array's entry and
  // the old bytes it points to; fetching ahead the entries of both possible
  // next middles, and the old bytes of both middles after that, lets them
  // overlap with the comparison at hand.
  int64_t Search(const uint8_t* target, int64_t target_size, int64_t* position, int64_t* examined) const {
    target_size = std::min(target_size, kMaxMatch);
    const auto common = [&](int64_t index, int64_t from, int64_t* compared) {
      const int64_t start = suffixes[index];
      *compared = std::min(old_bytes.size - start, target_size);
      const int64_t first = std::min(from, *compared);
      const int64_t mismatch = MismatchFrom(old_bytes.data + start, target, first, *compared);
      *examined += mismatch - first + 1;
      return mismatch;
    };
    int64_t low = 0;
    int64_t high = old_bytes.size;
    int64_t shared = 0;  // what every suffix strictly between low and high shares with the target
    if (target_size >= prefix_bytes) {
      const uint32_t key = Key(target, target_size);
      low = std::max<int64_t>(int64_t{starts[key]} - 1, 0);
      high = std::min<int64_t>(starts[key + 1], old_bytes.size);
      shared = prefix_bytes;
    }
    int64_t compared = 0;
    int64_t low_common = common(low, 0, &compared);
    int64_t high_common = common(high, 0, &compared);
    while (high - low >= 2) {
      const int64_t middle = low + (high - low) / 2;
      const int64_t from = std::max(shared, std::min(low_common, high_common));
      if (high - low >= 8) {
        const int64_t below = low + (middle - low) / 2;
        const int64_t above = middle + (high - middle) / 2;
        Prefetch(old_bytes.data + std::min<int64_t>(suffixes[below] + from, old_bytes.size));
        Prefetch(old_bytes.data + std::min<int64_t>(suffixes[above] + from, old_bytes.size));
        Prefetch(&suffixes[low + (below - low) / 2]);
        Prefetch(&suffixes[below + (middle - below) / 2]);
        Prefetch(&suffixes[middle + (above - middle) / 2]);
        Prefetch(&suffixes[above + (high - above) / 2]);
      }
      const int64_t middle_common = common(middle, from, &compared);
      const bool below = middle_common < compared
                             ? old_bytes.data[suffixes[middle] + middle_common] < target[middle_common]
                             : compared < target_size;
      if (below) {
        low = middle;
        low_common = middle_common;
      } else {
        high = middle;
        high_common = middle_common;
      }
    }
    if (low_common > high_common) {
      *position = suffixes[low];
      return low_common;
    }
    *position = suffixes[high];
    return high_common;
  }
};

// Which windows of `window` old bytes (8, 16, 24 or 32) occur at all, as
// three bits per hash of a window, all in one word of a table of at most a
// byte per old byte: clear bits prove that no match of that length starts at a
// new position, so the scan passes it without a search, which costs a dozen
// cache misses in the suffix array where the table costs one. About one
// position in twenty whose window occurs nowhere still passes; the
// search then tells.
class SeedFilter {
 public:
  // No filter (every position may match) for windows outside the sizes above.
  bool Build(Bytes old, int64_t window) {
    if (window < 8 || window > 32 || window % 8 != 0 || old.size < window) return true;
    window_ = window;
    int word_bits = 10;
    while (word_bits < 34 && (int64_t{1} << (word_bits + 1)) * 8 <= old.size) ++word_bits;
    shift_ = 64 - word_bits;
    words_ = RandomAccessTable<uint64_t>(size_t{1} << word_bits);
    std::fill_n(words_.get(), size_t{1} << word_bits, uint64_t{0});
    for (int64_t i = 0; old.size - i >= window; ++i) {
      if (old.size - i - kTableAhead >= window) Prefetch(&words_[Hash(old.data + i + kTableAhead) >> shift_]);
      const uint64_t hash = Hash(old.data + i);
      words_[hash >> shift_] |= Bits(hash);
    }
    return true;
  }

  // Fetches the word that MayOccur will read for `at`: the scan asks about
  // consecutive positions, so it can ask for the word a few positions ahead
  // and find it in the cache when it gets there.
  void Prepare(const uint8_t* at, int64_t available) const {
    if (words_ && available >= window_) Prefetch(&words_[Hash(at) >> shift_]);
  }

  // Whether `available` bytes at `at` may start a match of the window.
  bool MayOccur(const uint8_t* at, int64_t available) const {
    if (!words_ || available < window_) return true;
    const uint64_t hash = Hash(at);
    const uint64_t bits = Bits(hash);
    return (words_[hash >> shift_] & bits) == bits;
  }

 private:
  uint64_t Hash(const uint8_t* at) const {
    uint64_t mixed = 0;
    for (int64_t i = 0; i < window_; i += 8) {
      uint64_t word;
      std::memcpy(&word, at + i, 8);
      mixed = (mixed ^ word) * 0x9E3779B97F4A7C15ull;
    }
    return mixed;
  }
  // The word's bits from the hash's low bits, apart from its index (the top).
  static uint64_t Bits(uint64_t hash) {
    return (uint64_t{1} << (hash & 63)) | (uint64_t{1} << ((hash >> 6) & 63)) |
           (uint64_t{1} << ((hash >> 12) & 63));
  }

  int64_t window_ = 0;
  int shift_ = 0;
  std::unique_ptr<uint64_t[]> words_;
};

struct DiffSections {
  OutputStream control;
  OutputStream diff;
  OutputStream extra;
};

bool OldByteEquals(Bytes old_bytes, int64_t old_index, uint8_t value) {
  return old_index >= 0 && old_index < old_bytes.size && old_bytes.data[old_index] == value;
}

// Where in new bytes [from, end) the alignment new index + `shift` = old
// index resumes with at least kResumeRun equal bytes, and how far it then
// reaches under the weighted rule; *length stays 0 if nowhere. Looking
// more than kResumeReach bytes past the best end spends *rewalk.
void ResumeAlignment(Bytes old_bytes, const uint8_t* fresh, int64_t shift, int64_t from, int64_t end,
                     int64_t cost, int64_t* start, int64_t* length, int64_t* examined, int64_t* rewalk) {
  int64_t run = 0;
  for (int64_t i = std::max(from, -shift); i < end && i + shift < old_bytes.size; ++i) {
    ++*examined;
    run = old_bytes.data[i + shift] == fresh[i] ? run + 1 : 0;
    if (run < kResumeRun) continue;
    const int64_t first = i + 1 - run;
    int64_t balance = 0;
    int64_t best = 0;
    for (int64_t j = first; j < end && j + shift < old_bytes.size;) {
      if (j - first - *length > kResumeReach && --*rewalk < 0) break;
      ++*examined;
      balance += old_bytes.data[j + shift] == fresh[j] ? 1 : -cost;
      ++j;
      if (balance > best) {
        best = balance;
        *length = j - first;
      }
    }
    *start = first;
    return;
  }
}

// What the ranges of one scan share.
struct ScanInputs {
  const SuffixIndex& index;
  const SeedFilter& seeds;
  Bytes old_bytes;
  Bytes new_bytes;
  int64_t cost;
  int64_t advantage;
  int64_t work_limit;  // see DiffWork
};

// The diff of new bytes [begin, end) as a run of triples of its own: it
// starts with the old position at `start_position` and, if `next_position`
// is not negative, leaves it there for the range that follows. Adds its
// work to *examined, and fails once that passes a work limit.
//
// Each round finds the next match the current alignment does not explain,
// extends the current alignment forwards and the new match backwards, and
// writes the current alignment's triples up to where the new match's
// extension begins; the new match then becomes the current alignment.
class RangeScan {
 public:
  RangeScan(const ScanInputs& in, int64_t begin, int64_t end, int64_t start_position, int64_t next_position,
            DiffSections* out, int64_t* examined)
      : in_(in),
        old_(in.old_bytes.data),
        fresh_(in.new_bytes.data),
        end_(end),
        next_position_(next_position),
        out_(out),
        examined_(examined),
        scan_(begin),
        last_scan_(begin),
        last_position_(start_position),
        last_offset_(start_position - begin),
        core_end_(begin),
        earned_to_(begin) {}

  bool Run() {
    while (scan_ < end_) {
      bool explained = false;
      if (!FindMatch(&explained)) return false;
      if (explained) continue;
      int64_t forward = ForwardExtension();
      int64_t backward = scan_ < end_ ? BackwardExtension() : 0;
      SplitOverlap(&forward, &backward);
      if (!WriteAlignment(forward, backward)) return false;
      last_scan_ = scan_ - backward;
      last_position_ = position_ - backward;
      last_offset_ = position_ - scan_;
      core_end_ = scan_ + length_;
    }
    return true;
  }

 private:
  // The longest match at scan_, into length_ and position_: where the
  // match at the position before was long, that one a byte shorter,
  // otherwise a search unless the seed filter rules a match out.
  void MatchAt(int64_t carried) {
    if (carried > kCarriedMatch) {
      length_ = carried - 1;
      ++position_;
      return;
    }
    if (end_ - scan_ > kSeedsAhead)
      in_.seeds.Prepare(fresh_ + scan_ + kSeedsAhead, end_ - scan_ - kSeedsAhead);
    length_ = in_.seeds.MayOccur(fresh_ + scan_, end_ - scan_)
                  ? in_.index.Search(fresh_ + scan_, end_ - scan_, &position_, examined_)
                  : 0;
  }

  // Walks scan_ on from the end of the last match to the next match worth
  // a triple: one that the current alignment (last_offset_) explains
  // exactly is only passed over (*explained), and one that is `advantage`
  // bytes longer than what the alignment explains of it, or very long, ends
  // the walk. False once the work passes its limit.
  bool FindMatch(bool* explained) {
    int64_t old_score = 0;  // bytes of [scan_, scan_ + length_) the alignment explains
    scan_ += length_;
    int64_t carried = 0;  // the match at the position before, if searched there
    for (int64_t scored = scan_; scan_ < end_; ++scan_) {
      if (++*examined_ > in_.work_limit && in_.work_limit > 0) return false;
      MatchAt(carried);
      carried = length_;
      *examined_ += std::max<int64_t>(scan_ + length_ - scored, 0);
      for (; scored < scan_ + length_; ++scored) {
        if (OldByteEquals(in_.old_bytes, scored + last_offset_, fresh_[scored])) ++old_score;
      }
      if ((length_ == old_score && length_ != 0) || length_ > old_score + in_.advantage ||
          (length_ > old_score && length_ > kLongMatch)) {
        break;
      }
      if (OldByteEquals(in_.old_bytes, scan_ + last_offset_, fresh_[scan_])) --old_score;
    }
    *explained = length_ == old_score && scan_ != end_;
    return true;
  }

  // How far the current alignment reaches past last_scan_: the length where
  // its equal bytes outweigh the weighted mismatches the most.
  int64_t ForwardExtension() {
    int64_t balance = 0, best = 0, forward = 0;
    for (int64_t i = 0; last_scan_ + i < scan_ && last_position_ + i < in_.old_bytes.size;) {
      balance += old_[last_position_ + i] == fresh_[last_scan_ + i] ? 1 : -in_.cost;
      ++i;
      ++*examined_;
      if (balance > best) {
        best = balance;
        forward = i;
      }
    }
    return forward;
  }

  // How far the new match reaches back before scan_, by the same rule;
  // walking back over the exact match before it spends the allowance.
  int64_t BackwardExtension() {
    int64_t balance = 0, best = 0, backward = 0;
    rewalk_ += (scan_ - earned_to_) * kRewalkPerByte;
    earned_to_ = scan_;
    for (int64_t i = 1; scan_ - i >= last_scan_ && position_ >= i; ++i) {
      if (scan_ - i < core_end_ && --rewalk_ < 0) break;
      ++*examined_;
      balance += old_[position_ - i] == fresh_[scan_ - i] ? 1 : -in_.cost;
      if (balance > best) {
        best = balance;
        backward = i;
      }
    }
    return backward;
  }

  // Overlapping extensions: cut where the forward side gains the most.
  void SplitOverlap(int64_t* forward, int64_t* backward) {
    if (last_scan_ + *forward <= scan_ - *backward) return;
    const int64_t overlap = (last_scan_ + *forward) - (scan_ - *backward);
    *examined_ += overlap;
    int64_t balance = 0, best = 0, cut = 0;
    for (int64_t i = 0; i < overlap; ++i) {
      if (fresh_[last_scan_ + *forward - overlap + i] == old_[last_position_ + *forward - overlap + i])
        ++balance;
      if (fresh_[scan_ - *backward + i] == old_[position_ - *backward + i]) --balance;
      if (balance > best) {
        best = balance;
        cut = i + 1;
      }
    }
    *forward += cut - overlap;
    *backward -= cut;
  }

  // The current alignment's triples up to where the new match's extension
  // begins, in pieces: with weighted mismatches its extension may stop in a
  // noisy stretch that the scan walked through as explained, and long equal
  // runs behind it resume the alignment.
  bool WriteAlignment(int64_t forward, int64_t backward) {
    const int64_t gap_end = scan_ - backward;
    const int64_t shift = last_position_ - last_scan_;
    int64_t piece_scan = last_scan_;
    int64_t piece_length = forward;
    for (;;) {
      const int64_t piece_end = piece_scan + piece_length;
      int64_t resume = gap_end;
      int64_t resume_length = 0;
      if (in_.cost > 1) {
        ResumeAlignment(in_.old_bytes, fresh_, shift, piece_end, gap_end, in_.cost, &resume, &resume_length,
                        examined_, &rewalk_);
      }
      int64_t jump = resume_length > 0 ? resume - piece_end : (position_ - backward) - (piece_end + shift);
      // The last triple of a range hands the old position on to the next.
      if (scan_ == end_ && resume_length == 0 && next_position_ >= 0)
        jump = next_position_ - (piece_end + shift);
      if (!WriteTriple(piece_scan, piece_length, shift, resume, jump)) return false;
      if (resume_length == 0) return true;
      piece_scan = resume;
      piece_length = resume_length;
    }
  }

  // One triple: `length` new bytes from `from` as differences from the old
  // bytes `shift` further on, the new bytes up to `extra_end` as they are,
  // and the jump of the old position.
  bool WriteTriple(int64_t from, int64_t length, int64_t shift, int64_t extra_end, int64_t jump) {
    *examined_ += length;
    if (!out_->diff.EnsureSpare(static_cast<size_t>(length))) return false;
    uint8_t* diff_bytes = out_->diff.Spare();
    for (int64_t i = 0; i < length; ++i) {
      diff_bytes[i] = static_cast<uint8_t>(fresh_[from + i] - old_[from + shift + i]);
    }
    out_->diff.Commit(static_cast<size_t>(length));
    const int64_t extra_length = extra_end - (from + length);
    return out_->extra.Write(fresh_ + from + length, static_cast<size_t>(extra_length)) &&
           out_->control.WriteSVarint(static_cast<int32_t>(length)) &&
           out_->control.WriteSVarint(static_cast<int32_t>(extra_length)) &&
           out_->control.WriteSVarint(static_cast<int32_t>(jump));
  }

  const ScanInputs& in_;
  const uint8_t* const old_;
  const uint8_t* const fresh_;
  const int64_t end_;
  const int64_t next_position_;
  DiffSections* const out_;
  int64_t* const examined_;
  int64_t scan_;
  int64_t length_ = 0;
  int64_t position_ = 0;
  // The current alignment: where it starts, and new index + last_offset_ =
  // old index along it.
  int64_t last_scan_;
  int64_t last_position_;
  int64_t last_offset_;
  // Where the exact match of the current alignment ends: the next match's
  // backward extension walks new bytes up to there, and spends rewalk_
  // beyond.
  int64_t core_end_;
  int64_t rewalk_ = kRewalkStart;
  int64_t earned_to_;
};

bool ScanRange(const ScanInputs& in, int64_t begin, int64_t end, int64_t start_position,
               int64_t next_position, DiffSections* out, int64_t* examined) {
  return RangeScan(in, begin, end, start_position, next_position, out, examined).Run();
}

bool BuildSections(Bytes old_bytes, Bytes new_bytes, const DiffTuning& tuning, DiffSections* out) {
  const int64_t cost = std::max<int64_t>(tuning.mismatch_cost, 1);
  const int64_t advantage = std::max<int64_t>(tuning.match_advantage, 0);
  SuffixIndex index;
  if (!index.Build(old_bytes)) return false;
  // A match is taken only where it is longer than `advantage` (or continues
  // the current alignment exactly, which the filter may miss when short:
  // the scan then walks on instead of skipping ahead, to the same effect).
  SeedFilter seeds;
  if (!seeds.Build(old_bytes, std::min<int64_t>((advantage + 1) / 8 * 8, 32))) return false;
  const ScanInputs in{
      index, seeds, old_bytes, new_bytes, cost, advantage, tuning.work ? tuning.work->limit : 0};
  // Large new files are scanned as two ranges, on two threads where one is
  // free; the split depends on the size alone, so the diff is the same
  // however many threads there are.
  if (new_bytes.size < std::max<int64_t>(tuning.split_from, 2)) {
    int64_t examined = 0;
    const bool done = ScanRange(in, 0, new_bytes.size, 0, -1, out, &examined);
    if (tuning.work) tuning.work->examined += examined;
    return done;
  }
  const int64_t middle = new_bytes.size / 2;
  // The second range starts as if the alignment went on unshifted.
  const int64_t handover = std::min(middle, old_bytes.size);
  DiffSections second;
  bool first_done = false, second_done = false;
  int64_t first_examined = 0, second_examined = 0;
  RunBeside(
      tuning.threads,
      [&] { second_done = ScanRange(in, middle, new_bytes.size, handover, -1, &second, &second_examined); },
      [&] { first_done = ScanRange(in, 0, middle, 0, handover, out, &first_examined); });
  if (tuning.work) tuning.work->examined += first_examined + second_examined;
  return first_done && second_done && out->control.Append(&second.control) &&
         out->diff.Append(&second.diff) && out->extra.Append(&second.extra);
}

bool WriteSizeChecked(OutputStream* out, size_t value) {
  if (value > std::numeric_limits<uint32_t>::max()) return false;
  return out->WriteSizeUVarint(value);
}

bool WriteRawLayout(DiffSections* sections, OutputStream* out) {
  if (!WriteSizeChecked(out, sections->control.Length()) || !WriteSizeChecked(out, sections->diff.Length()) ||
      !WriteSizeChecked(out, sections->extra.Length())) {
    return false;
  }
  // Three lengths below 4 GiB: the sum cannot wrap.
  const uint64_t total =
      uint64_t{sections->control.Length()} + sections->diff.Length() + sections->extra.Length();
  return out->Reserve(static_cast<size_t>(total)) && out->Append(&sections->control) &&
         out->Append(&sections->diff) && out->Append(&sections->extra);
}

bool CreateDiffUnguarded(InputStream* old_stream, InputStream* new_stream, OutputStream* diff,
                         bool write_header, DiffMethod method, const DiffTuning& tuning) {
  if (method > DIFF_LZMA2_JOINED) {
    LogError("Invalid compression method");
    return false;
  }
  const Bytes old_bytes{old_stream->Current(), static_cast<int64_t>(old_stream->Remaining())};
  const Bytes new_bytes{new_stream->Current(), static_cast<int64_t>(new_stream->Remaining())};
  if (old_bytes.size > kMaxInputSize) {
    LogError(" old stream too large");
    return false;
  }
  if (new_bytes.size > kMaxInputSize) {
    LogError(" new stream too large");
    return false;
  }
  if (!old_stream->Skip(old_stream->Remaining())) {
    LogError("error in old_stream size");
    return false;
  }
  if (!new_stream->Skip(new_stream->Remaining())) {
    LogError("error in new_stream size");
    return false;
  }
  const uint32_t checksum = ComputeChecksum(new_bytes.data, static_cast<size_t>(new_bytes.size));

  DiffSections sections;
  if (!BuildSections(old_bytes, new_bytes, tuning, &sections)) return false;

  if (write_header && (!diff->Write(kDiffMagic, sizeof kDiffMagic) || !diff->WriteUVarint(checksum))) return false;
  if (!diff->WriteByte(method) || !diff->WriteSizeUVarint(static_cast<size_t>(new_bytes.size))) return false;
  switch (method) {
    case DIFF_RAW:
      return WriteRawLayout(&sections, diff);
    case DIFF_LZMA2_SPLIT:
      for (OutputStream* section : {&sections.control, &sections.diff, &sections.extra}) {
        if (!WriteLzma2Block(section->Buffer(), section->Length(), diff, DiffBlockTuning())) return false;
        section->Retire();
      }
      return true;
    case DIFF_LZMA2_JOINED: {
      OutputStream joined;
      if (!WriteRawLayout(&sections, &joined)) return false;
      return WriteLzma2Block(joined.Buffer(), joined.Length(), diff, DiffBlockTuning());
    }
  }
  return false;
}

}  // namespace

bool CreateDiff(InputStream* old_stream, InputStream* new_stream, OutputStream* diff, bool write_header,
                DiffMethod method) {
  return CreateDiff(old_stream, new_stream, diff, write_header, method, DiffTuning());
}

bool CreateDiff(InputStream* old_stream, InputStream* new_stream, OutputStream* diff, bool write_header,
                DiffMethod method, const DiffTuning& tuning) {
  try {
    return CreateDiffUnguarded(old_stream, new_stream, diff, write_header, method, tuning);
  } catch (const std::bad_alloc&) {
    LogError("out of memory");
    return false;
  }
}

}  // namespace vxpatch
