// png/parallel.cpp: the parallel compressor of png/parallel.hpp.
#include "png/parallel.hpp"

#include <sched.h>
#include <zlib.h>

#include <algorithm>
#include <cstring>
#include <mutex>
#include <new>
#include <system_error>

#include "png/blocks.hpp"
#include "png/tokens.hpp"

namespace corvane {
namespace {

constexpr size_t kWindow = 32768;
// Each segment is deflated this far past its end, for the next one to come
// into step with it; in PNG streams that takes some 10 to 30 bytes, in runs
// of one byte a few hundred, without a match 262.
constexpr size_t kOverlap = 4096;
// zlib decides at a step with at least 262 bytes ahead (its lookahead), and
// a match found there ends at most 258 further: tokens within this much of
// the end of a segment's input are not the whole stream's.
constexpr size_t kMargin = 600;
// A lazy matcher that went this far without a match carries nothing on: its
// last match candidate would have been written within 258 bytes.
constexpr size_t kLiteralRun = 262;
// Below this the threads cost more than they save: on two cores a 0.8 MB
// stream took 1.0-1.1 times one zlib call, a 2 MB one 0.84-0.90 (see README).
constexpr size_t kParallelMin = 1536 << 10;
constexpr size_t kMaxSegment = 1 << 20, kMinSegment = 64 << 10;

struct Deflater {
  z_stream zs{};
  std::vector<uint8_t> out;  // a segment's zlib stream, kept from one to the next
  bool ok;
  // What a segment is deflated with: zlib.compress's level, window, memory
  // level and strategy, raw (the header and trailer are written once).
  Deflater() : ok(deflateInit2(&zs, Z_DEFAULT_COMPRESSION, Z_DEFLATED, -15, 8, Z_DEFAULT_STRATEGY) == Z_OK) {}
  ~Deflater() {
    if (ok) deflateEnd(&zs);
  }
  Deflater(const Deflater &) = delete;
  Deflater &operator=(const Deflater &) = delete;
};

struct Segment {
  size_t start = 0, end = 0, input_end = 0;
  std::vector<Token> tokens;  // its tokens up to the first past trusted()
  uint32_t adler = 1;
  std::atomic<int> state{0};  // 0 to do, 1 deflated, 2 failed
  // Where its tokens stop being the whole stream's.
  size_t trusted(size_t total) const { return input_end == total ? total : input_end - kMargin; }
};

// Deflates the segment and reads its tokens into seg.tokens (whose room is
// kept from segment to segment: fresh pages cost more than the reading).
bool deflate_segment(Deflater &d, std::span<const uint8_t> in, Segment &seg) {
  if (!d.ok || deflateReset(&d.zs) != Z_OK) return false;
  if (seg.start && deflateSetDictionary(&d.zs, in.data() + seg.start - kWindow, uInt(kWindow)) != Z_OK) return false;
  const size_t len = seg.input_end - seg.start;
  try {
    const size_t bound = deflateBound(&d.zs, uLong(len));
    if (d.out.size() < bound) d.out.resize(bound);
  } catch (const std::bad_alloc &) {
    return false;
  }
  d.zs.next_in = const_cast<Bytef *>(in.data() + seg.start);
  d.zs.avail_in = uInt(len);
  d.zs.next_out = d.out.data();
  d.zs.avail_out = uInt(d.out.size());
  if (deflate(&d.zs, Z_FINISH) != Z_STREAM_END) return false;
  seg.adler = uint32_t(adler32(1, in.data() + seg.start, uInt(seg.end - seg.start)));
  // Read on the segment's own thread, so that the one pass that cannot be
  // split only splices and writes. A stored block within the trusted part
  // fails the segment: its matches are lost.
  TokenReader reader({d.out.data(), d.zs.total_out});
  const size_t trusted = seg.trusted(in.size());
  try {
    seg.tokens.clear();
    // A token covers a byte at least, so the array never moves; only the
    // pages its tokens fill are touched.
    seg.tokens.reserve(seg.input_end - seg.start);
    Token t;
    for (size_t pos = seg.start; pos <= trusted && pos < seg.input_end;) {
      if (!reader.next(t) || reader.stored()) return false;
      seg.tokens.push_back(t);
      pos += t.length();
    }
  } catch (const std::bad_alloc &) {
    return false;
  }
  return true;
}

// A segment's tokens as the splice walks them.
struct Cursor {
  const Token *at, *end;
  size_t pos;
  Token token{0};
  size_t literals = 0;  // the literals just before pos
  bool after_match = false;
  Cursor(const std::vector<Token> &tokens, size_t start)
      : at(tokens.data()), end(tokens.data() + tokens.size()), pos(start) {}
  bool step() {
    if (at == end) return false;
    token = *at++;
    pos += token.length();
    after_match = token.is_match();
    literals = after_match ? 0 : literals + 1;
    return true;
  }
};

unsigned usable_cpus() {
  cpu_set_t set;
  if (sched_getaffinity(0, sizeof set, &set) == 0) return unsigned(CPU_COUNT(&set));
  return std::max(1u, std::thread::hardware_concurrency());
}

// A stream that looks like filtered image rows: gradients, noise of a few
// levels, a run of zeros and repeated rows, so that the probe meets dynamic
// and fixed blocks, both kinds of splice and a sliding window.
std::vector<uint8_t> probe_stream() {
  std::vector<uint8_t> s(160 << 10);
  uint32_t x = 12345;
  auto rnd = [&x] { return (x = x * 1103515245u + 12345u) >> 16; };
  for (size_t i = 0; i < s.size(); ++i) {
    const size_t region = i / 20000;
    switch (region % 4) {
      case 0: s[i] = uint8_t(i % 601 == 0 ? 1 : (i / 3) % 7 + rnd() % 3); break;
      case 1: s[i] = uint8_t(rnd() % 11); break;
      case 2: s[i] = i % 997 < 900 ? 0 : uint8_t(rnd()); break;
      default: s[i] = s[i - 3001]; break;
    }
  }
  return s;
}

}  // namespace

struct ParallelDeflater::Job {
  std::span<const uint8_t> in;
  std::unique_ptr<uint8_t[]> owned;
  std::unique_ptr<Segment[]> segs;
  size_t nseg = 0;
  unsigned threads = 0;
  std::atomic<size_t> filled{0}, next{0}, consumed{0};
  std::atomic<bool> stop{false};
  std::vector<std::thread> workers;
  std::unique_ptr<Deflater> here;  // the calling thread's, without workers
  // Token arrays of spliced segments, for the next ones to reuse.
  std::mutex pool_lock;
  std::vector<std::vector<Token>> pool;

  void take_room(Segment &seg) {
    std::lock_guard<std::mutex> hold(pool_lock);
    if (pool.empty()) return;
    seg.tokens = std::move(pool.back());
    pool.pop_back();
  }

  Job(std::span<const uint8_t> whole, const ParallelPlan &plan) : in(whole), threads(plan.threads) {
    const size_t seg = std::max(kWindow, plan.segment / kWindow * kWindow);
    nseg = std::max<size_t>(1, (in.size() + seg - 1) / seg);
    segs = std::make_unique<Segment[]>(nseg);
    for (size_t k = 0; k < nseg; ++k) {
      segs[k].start = k * seg;
      segs[k].end = std::min(in.size(), segs[k].start + seg);
      segs[k].input_end = std::min(in.size(), segs[k].end + kOverlap);
    }
  }

  // Starts the workers; false when none could be started.
  // Starts the workers, one fewer than the threads: the calling thread
  // deflates too, whenever the segment it is to splice next is not there.
  bool start() {
    for (unsigned t = 1; t < threads; ++t) {
      try {
        workers.emplace_back([this] { work(); });
      } catch (const std::system_error &) {
        break;
      }
    }
    return !workers.empty() || threads == 0;
  }

  ~Job() { halt(); }

  // Workers stop after the segment in hand; halt() also waits for them.
  void give_up() {
    stop = true;
    filled = SIZE_MAX, consumed = SIZE_MAX;
    filled.notify_all();
    consumed.notify_all();
  }
  void halt() {
    if (workers.empty()) return;
    give_up();
    for (auto &w : workers) w.join();
    workers.clear();
  }

  void work() {
    Deflater d;
    const size_t ahead = size_t(threads) + 2;  // segments deflated and not yet spliced, at most
    for (;;) {
      const size_t k = next.fetch_add(1);
      if (k >= nseg) return;
      Segment &seg = segs[k];
      for (size_t c = consumed.load(); !stop && k >= c + ahead; c = consumed.load()) consumed.wait(c);
      for (size_t f = filled.load(); !stop && f < seg.input_end; f = filled.load()) filled.wait(f);
      if (!stop) take_room(seg);
      const bool ok = !stop && deflate_segment(d, in, seg);
      seg.state = ok ? 1 : 2;
      seg.state.notify_all();
      if (stop) return;
    }
  }

  bool ready(size_t k) {
    Segment &seg = segs[k];
    if (!here) here = std::make_unique<Deflater>();
    for (;;) {
      if (const int s = seg.state.load(); s != 0) return s == 1;
      size_t j = next.load();
      if (j < nseg && segs[j].input_end <= filled.load() && next.compare_exchange_strong(j, j + 1)) {
        take_room(segs[j]);
        segs[j].state = deflate_segment(*here, in, segs[j]) ? 1 : 2;
        segs[j].state.notify_all();
        continue;
      }
      seg.state.wait(0);
    }
  }

  void done_with(size_t k) {
    {
      std::lock_guard<std::mutex> hold(pool_lock);
      pool.push_back(std::move(segs[k].tokens));
    }
    consumed = k + 1;
    consumed.notify_all();
  }

  // The tokens of every segment, spliced where two agree, into `out`.
  bool splice(std::vector<uint8_t> &out) {
    const size_t n = in.size();
    ZlibBlockWriter writer(in, out);
    if (!ready(0)) return false;
    Cursor cursor(segs[0].tokens, 0);
    size_t trusted = segs[0].trusted(n);
    uint32_t adler = segs[0].adler;
    for (size_t k = 1; k < nseg; ++k) {
      if (!ready(k)) return false;
      const size_t s = segs[k].start;
      Cursor b(segs[k].tokens, s);
      Cursor &a = cursor;
      for (;;) {
        if (a.pos == b.pos && b.pos > s &&
            ((a.after_match && b.after_match) || (a.literals >= kLiteralRun && b.literals >= kLiteralRun)))
          break;
        if (a.pos <= b.pos) {
          if (!a.step() || a.pos > trusted) return false;
          writer.add(a.token);
        } else if (!b.step()) {
          return false;
        }
      }
      cursor = b;
      trusted = segs[k].trusted(n);
      adler = uint32_t(adler32_combine(adler, segs[k].adler, z_off_t(segs[k].end - s)));
      done_with(k - 1);
    }
    while (cursor.pos < n) {
      if (!cursor.step() || cursor.pos > trusted) return false;
      writer.add(cursor.token);
    }
    done_with(nseg - 1);
    return writer.finish(adler);
  }
};

bool parallel_compress(std::span<const uint8_t> in, std::vector<uint8_t> &out, const ParallelPlan &plan) {
  try {
    ParallelDeflater::Job job(in, plan);
    job.filled = in.size();
    if (!job.start()) return false;
    out.clear();
    out.reserve(in.size() + in.size() / 1000 + 64);
    const bool ok = job.splice(out);
    job.halt();
    return ok;
  } catch (const std::bad_alloc &) {
    return false;
  }
}

bool parallel_reproduces_zlib() {
  static const bool same = [] {
    try {
      const std::vector<uint8_t> probe = probe_stream();
      uLongf n = compressBound(uLong(probe.size()));
      std::vector<uint8_t> want(n), got;
      if (compress2(want.data(), &n, probe.data(), uLong(probe.size()), Z_DEFAULT_COMPRESSION) != Z_OK) return false;
      want.resize(n);
      return parallel_compress(probe, got, {0, kWindow}) && got == want;
    } catch (const std::bad_alloc &) {
      return false;
    }
  }();
  return same;
}

size_t parallel_min_bytes() { return kParallelMin; }

ParallelPlan parallel_plan(size_t n) {
  const unsigned cpus = usable_cpus();  // asked each time: the caller may have narrowed it
  if (cpus < 2 || n < kParallelMin || !parallel_reproduces_zlib()) return {};
  const unsigned threads = std::min(cpus, 64u);
  size_t seg = n / (size_t(threads) * 4);
  seg = std::clamp((seg + kWindow - 1) / kWindow * kWindow, kMinSegment, kMaxSegment);
  const size_t nseg = (n + seg - 1) / seg;
  return {unsigned(std::min<size_t>(threads, nseg)), seg};
}

ParallelDeflater::ParallelDeflater(size_t total, size_t unit, const ParallelPlan &plan) {
  auto owned = std::make_unique_for_overwrite<uint8_t[]>(std::max<size_t>(total, 1));
  job_ = std::make_unique<Job>(std::span<const uint8_t>(owned.get(), total), plan);
  job_->owned = std::move(owned);
  piece_ = std::max(unit, (size_t(256) << 10) / std::max<size_t>(unit, 1) * unit);
  job_->start();
}

ParallelDeflater::~ParallelDeflater() = default;

std::span<uint8_t> ParallelDeflater::buffer() {
  const size_t at = job_->filled.load(std::memory_order_relaxed);
  return {job_->owned.get() + at, std::min(piece_, job_->in.size() - at)};
}

void ParallelDeflater::push(size_t n) {
  job_->filled.fetch_add(n);
  job_->filled.notify_all();
}

// One zlib call over the whole stream, as if the threads had never been; the
// output grows as it is written, so that only its own pages are touched.
static bool compress_whole(std::span<const uint8_t> in, std::vector<uint8_t> &out) {
  z_stream zs{};
  if (deflateInit(&zs, Z_DEFAULT_COMPRESSION) != Z_OK) return false;
  int r = Z_OK;
  try {
    out.clear();
    out.reserve(deflateBound(&zs, uLong(in.size())));
    zs.next_in = const_cast<Bytef *>(in.data());
    zs.avail_in = uInt(in.size());  // a scanline stream is below 2 GiB
    while (r == Z_OK) {
      const size_t used = out.size(), room = std::min(out.capacity() - used, size_t(1) << 20);
      out.resize(used + std::max<size_t>(room, 64));
      zs.next_out = out.data() + used;
      zs.avail_out = uInt(out.size() - used);
      r = deflate(&zs, Z_FINISH);
      out.resize(out.size() - zs.avail_out);
    }
  } catch (const std::bad_alloc &) {
    r = Z_MEM_ERROR;
  }
  deflateEnd(&zs);
  return r == Z_STREAM_END;
}

bool ParallelDeflater::finish(std::vector<uint8_t> &out) {
  bool ok = false;
  try {
    // Without a worker the splice would only add to one call's work.
    if (!job_->workers.empty() || !job_->threads) {
      out.clear();
      out.reserve(job_->in.size() + job_->in.size() / 1000 + 64);  // untouched until written
      ok = job_->splice(out);
    }
  } catch (const std::bad_alloc &) {
  }
  if (!ok) {
    // The one call starts at once; a worker still in a segment finishes it
    // on a core of its own meanwhile.
    job_->give_up();
    ok = compress_whole(job_->in, out);
  }
  job_->halt();
  job_.reset();  // the stream and the token arrays go before the caller copies the result
  return ok;
}

}  // namespace corvane
