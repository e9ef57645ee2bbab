#include "line_merge.h"

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <cstring>
#include <mutex>
#include <optional>

#include "parallel.h"
#include "sort_messages.h"

namespace zelto::sorter {

LineCursor::LineCursor(ReadBytes read, std::string name, char terminator, std::size_t buffer_bytes)
    : read_(std::move(read)),
      name_(std::move(name)),
      terminator_(terminator),
      buffer_(std::max<std::size_t>(buffer_bytes, 4096)) {}

void LineCursor::restart(ReadBytes read) {
  read_ = std::move(read);
  begin_ = 0;
  end_ = 0;
  ended_ = false;
  failed_ = false;
  line_at_ = line_size_ = previous_at_ = previous_size_ = 0;
}

bool LineCursor::refill() {
  // The unread bytes and the line before them move to the front; a buffer
  // they fill doubles.
  if (previous_at_ > 0) {
    std::memmove(buffer_.data(), buffer_.data() + previous_at_, end_ - previous_at_);
    end_ -= previous_at_;
    begin_ -= previous_at_;
    previous_at_ = 0;
  }
  if (end_ == buffer_.size()) buffer_.resize(buffer_.size() * 2);
  int error = 0;
  const long long got = read_(buffer_.data() + end_, buffer_.size() - end_, error);
  if (got < 0) {
    report("read failed: " + quote_file(name_) + ": " + error_text(error));
    failed_ = true;
    return false;
  }
  if (got == 0) ended_ = true;
  end_ += static_cast<std::size_t>(got);
  return true;
}

bool LineCursor::next() {
  previous_at_ = line_at_;
  previous_size_ = line_size_;
  std::size_t searched = begin_;
  for (;;) {
    const void* found = std::memchr(buffer_.data() + searched, terminator_, end_ - searched);
    if (found != nullptr) {
      const auto stop = static_cast<std::size_t>(static_cast<const char*>(found) - buffer_.data());
      line_at_ = begin_;
      line_size_ = stop - begin_;
      begin_ = stop + 1;
      return true;
    }
    if (ended_) {
      if (begin_ == end_) return false;
      line_at_ = begin_;
      line_size_ = end_ - begin_;
      begin_ = end_;
      return true;
    }
    const std::size_t unread = end_ - begin_;
    if (!refill()) return false;
    searched = begin_ + unread;
  }
}

void put_line(std::string_view line, const text::LineComparator& comparator, bool debug,
              char terminator, ByteSink& sink, std::string& scratch) {
  if (!debug) {
    sink.write(line);
    sink.write(std::string_view(&terminator, 1));
    return;
  }
  scratch.clear();
  text::append_debug_line(line, scratch);
  comparator.annotate(line, scratch);
  sink.write(scratch);
}

namespace {

// A stream's line in the merge, with where its first key lies and its
// first digests, found as matches need them: most lines are ordered by
// their digests alone, and only lines whose digests are equal as far as
// they go by the comparison.
struct Head {
  static constexpr std::size_t LEVELS = 6;
  text::LineComparator::KeyPlace place;
  std::uint64_t digests[LEVELS] = {};
  std::uint8_t known = 0;  // digests found so far
  bool deeper = true;      // whether the last one found has a deeper level
  bool exact = false;      // and, if not, whether equal digests mean equal lines
  bool ended = true;
  // Whether the digest at `level` is the line's last.
  [[nodiscard]] bool last_at(std::size_t level) const { return known == level + 1 && !deeper; }
};

// Where the order is that of plain bytes (see `LineComparator::ByteOrder`),
// what it reads of a line: one or two pieces, each followed by an "end"
// below every byte.
struct ByteText {
  std::string_view pieces[2];
  std::size_t count = 0;
};

ByteText byte_text(const text::LineComparator& comparator, text::LineComparator::ByteOrder order,
                   std::string_view line, text::LineComparator::KeyPlace place) {
  using Order = text::LineComparator::ByteOrder;
  switch (order) {
    case Order::WholeLine: return {{line, {}}, 1};
    case Order::KeyOnly: return {{comparator.first_key(line, place), {}}, 1};
    case Order::KeyThenLine: return {{comparator.first_key(line, place), line}, 2};
    case Order::None: break;
  }
  return {};
}

// The units of a byte text: a byte is its value plus 2, an end is 1; 0
// marks texts that are equal throughout.
constexpr unsigned END_UNIT = 1;
constexpr unsigned NO_UNIT = 0;
[[nodiscard]] unsigned byte_unit(char byte) {
  return static_cast<unsigned char>(byte) + 2U;
}

// Where two byte texts first differ, and their units there.
struct Difference {
  std::size_t at;
  unsigned a_unit;
  unsigned b_unit;
};

// The first difference of `a` and `b` at or after `from`, given that they
// are equal before it; at their common length with NO_UNIT if they are
// equal throughout.
Difference first_difference(const ByteText& a, const ByteText& b, std::size_t from) {
  std::size_t piece = 0;
  std::size_t in_piece = from;  // the same for both: they agree up to `from`
  while (piece < a.count && in_piece > a.pieces[piece].size()) {
    in_piece -= a.pieces[piece].size() + 1;
    ++piece;
  }
  for (; piece < a.count; ++piece, in_piece = 0) {
    const std::string_view x = a.pieces[piece];
    const std::string_view y = b.pieces[piece];
    const std::size_t shared =
        in_piece + text::shared_prefix(x.substr(std::min(in_piece, x.size())),
                                       y.substr(std::min(in_piece, y.size())));
    from += shared - in_piece;
    const bool x_ends = shared == x.size();
    const bool y_ends = shared == y.size();
    if (!x_ends || !y_ends) {
      return {from, x_ends ? END_UNIT : byte_unit(x[shared]),
              y_ends ? END_UNIT : byte_unit(y[shared])};
    }
    ++from;  // both ends agree
  }
  return {from, NO_UNIT, NO_UNIT};
}

// A line's code against a line that does not go after it (the last line
// out): where their byte texts first differ, and the line's unit there, in
// one word that is smaller the sooner the line goes. Lines coded against
// the same line are ordered by their codes alone, but for equal codes.
constexpr unsigned UNIT_BITS = 9;
constexpr std::uint64_t FARTHEST = (std::uint64_t{1} << (64 - UNIT_BITS - 1)) - 1;
constexpr std::uint64_t ENDED_CODE = ~std::uint64_t{0};
[[nodiscard]] std::uint64_t code_of(std::size_t at, unsigned unit) {
  return (FARTHEST - std::min<std::uint64_t>(at, FARTHEST)) << UNIT_BITS | unit;
}
[[nodiscard]] std::size_t code_place(std::uint64_t code) {
  return static_cast<std::size_t>(FARTHEST - (code >> UNIT_BITS));
}

// A tournament of the streams' lines (a tree of losers): the winner, the
// next line out, is found again after its stream moves on by one match on
// each level, from that stream's leaf up.
//
// Where the order is that of plain bytes, each line carries its code against
// the line that beat it last (offset-value coding): every line on the new
// line's path lost to the line just out, the new line is coded against that
// one, and most matches are then settled by the codes without reading a
// byte. Streams that turn out not to be sorted end this, and the matches go
// on by digests.
class Tournament {
 public:
  Tournament(std::span<const std::unique_ptr<LineCursor>> streams,
             const text::LineComparator& comparator)
      : streams_(streams),
        comparator_(comparator),
        byte_order_(comparator.byte_order()),
        heads_(streams.size()),
        codes_(streams.size(), ENDED_CODE) {}

  // Reads every stream's first line; false after a failed read.
  bool start() {
    const std::size_t k = heads_.size();
    if (k == 0) return true;
    for (std::size_t i = 0; i < k; ++i) {
      if (!load(i)) return false;
      if (coded()) code_against_start(i);
    }
    // Node n (from 1) plays the winners of nodes 2n and 2n+1; leaf i is
    // node k + i. Each node keeps its loser, node 0 the overall winner.
    losers_.assign(k, 0);
    std::vector<std::size_t> winners(2 * k);
    for (std::size_t i = 0; i < k; ++i) winners[k + i] = i;
    for (std::size_t n = k; n-- > 1;) {
      const std::size_t a = winners[2 * n];
      const std::size_t b = winners[2 * n + 1];
      const bool a_first = goes_first(a, b);
      winners[n] = a_first ? a : b;
      losers_[n] = a_first ? b : a;
    }
    losers_[0] = k == 1 ? 0 : winners[1];
    return true;
  }
  // The stream whose line goes out next; none once every stream ended.
  [[nodiscard]] std::optional<std::size_t> winner() const {
    if (heads_.empty() || heads_[losers_[0]].ended) return std::nullopt;
    return losers_[0];
  }
  // Where the first key of stream `stream`'s line lies.
  [[nodiscard]] text::LineComparator::KeyPlace place(std::size_t stream) const {
    return heads_[stream].place;
  }
  // Moves the winner's stream to its next line; false after a failed read.
  bool advance() {
    std::size_t moving = losers_[0];
    const text::LineComparator::KeyPlace out_place = heads_[moving].place;
    if (!load(moving)) return false;
    if (coded()) code_against_last_out(moving, out_place);
    // A stream found out of order there ends the coding.
    if (coded()) {
      // Most matches are settled by unequal codes, whose outcome no branch
      // could predict: the winner is chosen by masks, the loop's one branch
      // is for equal codes, and the winner's code (which a match never
      // changes) is kept at hand.
      std::uint64_t y = codes_[moving];
      for (std::size_t n = (heads_.size() + moving) / 2; n >= 1; n /= 2) {
        const std::size_t other = losers_[n];
        const std::uint64_t x = codes_[other];
        const bool other_first = x != y ? x < y : goes_first_by_codes(other, moving);
        const std::size_t mask = std::size_t{0} - static_cast<std::size_t>(other_first);
        losers_[n] = other ^ ((other ^ moving) & mask);
        moving ^= (moving ^ other) & mask;
        y ^= (y ^ x) & mask;
      }
    } else {
      for (std::size_t n = (heads_.size() + moving) / 2; n >= 1; n /= 2) {
        const std::size_t other = losers_[n];
        const std::size_t mask =
            std::size_t{0} - static_cast<std::size_t>(goes_first(other, moving));
        losers_[n] = other ^ ((other ^ moving) & mask);
        moving ^= (moving ^ other) & mask;
      }
    }
    losers_[0] = moving;
    return true;
  }

 private:
  [[nodiscard]] bool coded() const { return byte_order_ != text::LineComparator::ByteOrder::None; }
  [[nodiscard]] ByteText text_of(std::size_t stream) const {
    return byte_text(comparator_, byte_order_, streams_[stream]->line(), heads_[stream].place);
  }

  bool load(std::size_t stream) {
    Head& head = heads_[stream];
    LineCursor& cursor = *streams_[stream];
    head.ended = !cursor.next();
    codes_[stream] = ENDED_CODE;
    if (head.ended) return !cursor.failed();
    head.place = comparator_.place(cursor.line());
    head.known = 0;
    head.deeper = true;
    if (!coded()) (void)digest(stream, 0);
    return true;
  }
  // Codes the first line of `stream` against a line below every other.
  void code_against_start(std::size_t stream) {
    if (heads_[stream].ended) return;
    const std::string_view first = text_of(stream).pieces[0];
    codes_[stream] = code_of(0, first.empty() ? END_UNIT : byte_unit(first[0]));
  }
  // Codes the new line of `stream` against the line it follows, the last
  // line out (of place `out_place`).
  void code_against_last_out(std::size_t stream, text::LineComparator::KeyPlace out_place) {
    if (heads_[stream].ended) return;
    const ByteText out =
        byte_text(comparator_, byte_order_, streams_[stream]->previous(), out_place);
    const Difference d = first_difference(text_of(stream), out, 0);
    if (d.a_unit != NO_UNIT && d.a_unit < d.b_unit) {
      // A stream out of order (an unsorted input of -m): the codes no
      // longer hold, and the digests take over.
      byte_order_ = text::LineComparator::ByteOrder::None;
      return;
    }
    codes_[stream] = code_of(d.at, d.a_unit);
  }
  // Whether `a`'s line goes before `b`'s, both coded against the same line;
  // the loser is coded against the winner.
  [[nodiscard]] bool goes_first_by_codes(std::size_t a, std::size_t b) {
    const std::uint64_t x = codes_[a];
    const std::uint64_t y = codes_[b];
    if (x != y) return x < y;
    // Both ended, or both equal to the line they are coded against.
    if (x == ENDED_CODE || (x & ((1U << UNIT_BITS) - 1)) == NO_UNIT) return a < b;
    const Difference d = first_difference(text_of(a), text_of(b), code_place(x) + 1);
    const bool a_first = d.a_unit < d.b_unit || (d.a_unit == d.b_unit && a < b);
    codes_[a_first ? b : a] = code_of(d.at, a_first ? d.b_unit : d.a_unit);
    return a_first;
  }
  // The digest of stream `stream`'s line at `level`, for a line whose
  // digests below it went deeper.
  std::uint64_t digest(std::size_t stream, std::size_t level) {
    Head& head = heads_[stream];
    while (head.known <= level) {
      bool exact = false;
      head.digests[head.known] =
          comparator_.digest(streams_[stream]->line(), head.place, head.known, head.deeper, exact);
      head.exact = exact;
      ++head.known;
    }
    return head.digests[level];
  }
  // Whether stream `a`'s line goes out before stream `b`'s: by the lines,
  // then by stream number; an ended stream last.
  [[nodiscard]] bool goes_first(std::size_t a, std::size_t b) {
    if (coded()) return goes_first_by_codes(a, b);
    const Head& x = heads_[a];
    const Head& y = heads_[b];
    if (x.ended || y.ended) return !x.ended || (y.ended && a < b);
    for (std::size_t level = 0; level < Head::LEVELS; ++level) {
      const std::uint64_t x_digest = digest(a, level);
      const std::uint64_t y_digest = digest(b, level);
      if (x_digest != y_digest) return x_digest < y_digest;
      // Digests that go no deeper part the lines no further; exact ones
      // that agree to the last mean equal lines.
      if (x.last_at(level) && x.exact && y.last_at(level) && y.exact) return a < b;
      if (x.last_at(level) || y.last_at(level)) break;
    }
    const int order =
        comparator_.compare(streams_[a]->line(), x.place, streams_[b]->line(), y.place);
    return order < 0 || (order == 0 && a < b);
  }

  std::span<const std::unique_ptr<LineCursor>> streams_;
  const text::LineComparator& comparator_;
  text::LineComparator::ByteOrder byte_order_;
  std::vector<Head> heads_;
  std::vector<std::uint64_t> codes_;  // each stream's line's code, where coded
  std::vector<std::size_t> losers_;
};

// Bytes gathered into two blocks in turn: one is written to the sink on a
// thread of its own while the merge fills the other.
class BlockRelay final : public ByteSink {
 public:
  BlockRelay(ByteSink& sink, unsigned threads)
      : sink_(sink),
        writer_(
            [this](std::size_t block) {
              sink_.write(blocks_[block]);
              blocks_[block].clear();
              if (sink_.failed()) failed_.store(true);
            },
            threads) {
    for (std::string& block : blocks_) block.reserve(BLOCK_BYTES);
  }
  BlockRelay(const BlockRelay&) = delete;
  BlockRelay& operator=(const BlockRelay&) = delete;
  ~BlockRelay() override { writer_.wait(); }

  void write(std::string_view bytes) override {
    blocks_[filling_].append(bytes);
    if (blocks_[filling_].size() >= BLOCK_BYTES) hand_on();
  }
  [[nodiscard]] bool failed() const override { return failed_.load(); }
  // Writes what is gathered and waits until it is written.
  void finish() {
    hand_on();
    writer_.wait();
  }

 private:
  static constexpr std::size_t BLOCK_BYTES = std::size_t{1} << 20;
  void hand_on() {
    if (blocks_[filling_].empty()) return;
    writer_.post(filling_);
    filling_ ^= 1;
  }

  ByteSink& sink_;
  std::string blocks_[2];
  std::size_t filling_ = 0;
  std::atomic<bool> failed_{false};
  BackgroundJob writer_;  // last: it starts once everything it uses is there
};

int merge_heads(std::span<const std::unique_ptr<LineCursor>> streams,
                const text::LineComparator& comparator, bool unique, bool debug, char terminator,
                ByteSink& sink) {
  Tournament tournament(streams, comparator);
  if (!tournament.start()) return STATUS_TROUBLE;
  std::string previous;
  text::LineComparator::KeyPlace previous_place;
  bool any = false;
  std::string scratch;
  for (std::optional<std::size_t> top = tournament.winner(); top.has_value() && !sink.failed();
       top = tournament.winner()) {
    const std::string_view line = streams[*top]->line();
    const text::LineComparator::KeyPlace place = tournament.place(*top);
    if (!unique || !any || !comparator.same_keys(previous, previous_place, line, place)) {
      put_line(line, comparator, debug, terminator, sink, scratch);
      if (unique) {
        previous.assign(line);
        previous_place = place;
      }
      any = true;
    }
    if (!tournament.advance()) return STATUS_TROUBLE;
  }
  return 0;
}

// The parts of one output, written in order by threads that produce them
// at once: a part may go to the sink only once every part before it did.
class TurnTaking {
 public:
  explicit TurnTaking(ByteSink& sink) : sink_(sink) {}

  // Waits until every part before `part` is written, or the merge stopped.
  void wait_for(std::size_t part) {
    std::unique_lock lock(mutex_);
    changed_.wait(lock, [&] { return turn_ == part || stopped_; });
  }
  // Part `part` is written: the next one may go.
  void pass_on(std::size_t part) {
    {
      const std::lock_guard lock(mutex_);
      turn_ = part + 1;
    }
    changed_.notify_all();
  }
  // Nothing more is written: a part failed, and those after it are waiting.
  void stop() {
    {
      const std::lock_guard lock(mutex_);
      stopped_ = true;
    }
    failed_.store(true);
    changed_.notify_all();
  }
  // Called only by the thread whose turn it is.
  void write(std::string_view bytes) {
    if (failed_.load()) return;
    sink_.write(bytes);
    if (sink_.failed()) stop();
  }
  [[nodiscard]] bool failed() const { return failed_.load(); }

 private:
  ByteSink& sink_;
  std::mutex mutex_;
  std::condition_variable changed_;
  std::size_t turn_ = 0;
  bool stopped_ = false;
  std::atomic<bool> failed_{false};
};

// The output of one part: straight to the sink in its turn, held before.
class PartSink final : public ByteSink {
 public:
  PartSink(TurnTaking& turns, std::string& held, std::size_t held_bytes, std::size_t part)
      : turns_(turns), held_(held), held_bytes_(held_bytes), part_(part) {
    held_.clear();
  }
  // Bytes that would grow the held ones past their room wait for the turn.
  void write(std::string_view bytes) override {
    if (!own_turn_ && held_.size() + bytes.size() > held_bytes_) take_turn();
    if (own_turn_) {
      turns_.write(bytes);
    } else {
      held_.append(bytes);
    }
  }
  [[nodiscard]] bool failed() const override { return turns_.failed(); }
  // Writes what is held once the turn comes, and passes the turn on.
  void finish() {
    take_turn();
    turns_.pass_on(part_);
  }

 private:
  void take_turn() {
    if (own_turn_) return;
    turns_.wait_for(part_);
    own_turn_ = true;
    turns_.write(held_);
    held_.clear();
  }

  TurnTaking& turns_;
  std::string& held_;
  std::size_t held_bytes_;
  std::size_t part_;
  bool own_turn_ = false;
};

}  // namespace

int merge_parts(const MergeParts& parts, const text::LineComparator& comparator, bool unique,
                bool debug, char terminator, unsigned threads, std::size_t held_bytes,
                ByteSink& sink) {
  TurnTaking turns(sink);
  std::atomic<std::size_t> next{0};
  std::atomic<int> status{0};
  const std::size_t workers = std::min<std::size_t>(threads, parts.count());
  // Each worker takes the next part, so the lowest part not yet written is
  // always being merged: no worker waits for a part that waits for it.
  run_tasks(workers, threads, [&](std::size_t) {
    try {
      const std::vector<std::unique_ptr<LineCursor>> cursors = parts.cursors();
      std::string held;
      held.reserve(held_bytes);
      for (std::size_t part = next++; part < parts.count() && !turns.failed(); part = next++) {
        parts.aim(part, cursors);
        PartSink out(turns, held, held_bytes, part);
        const int merged = merge_heads(cursors, comparator, unique, debug, terminator, out);
        if (merged != 0) {
          status.store(merged);
          turns.stop();
          return;
        }
        out.finish();
      }
    } catch (...) {
      turns.stop();
      throw;
    }
  });
  return status.load();
}

int merge_streams(std::span<const std::unique_ptr<LineCursor>> streams,
                  const text::LineComparator& comparator, bool unique, bool debug, char terminator,
                  unsigned threads, ByteSink& sink) {
  BlockRelay relay(sink, threads);
  const int status = merge_heads(streams, comparator, unique, debug, terminator, relay);
  relay.finish();
  return status;
}

}  // namespace zelto::sorter
