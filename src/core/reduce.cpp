// Records reduced to features: the rows of a batch's events, and the walk
// that reads stages on one thread while others reduce them.
#include "reduce.hpp"

#include <algorithm>
#include <condition_variable>
#include <cstring>
#include <mutex>
#include <new>
#include <system_error>
#include <thread>
#include <vector>

#include "threads.hpp"

namespace vorn {

Reduction::Reduction(const FeatureSpec& spec, const LayoutDesc& layout, std::int32_t channels)
    : kernel_(spec),
      layout_(&layout),
      header_(layout.header_for(channels)),
      wd1_(layout.sample_type == NumType::u16) {
  set_ = wd1_ ? kernel_.wd1_features() : kernel_.wd2_features();
  per_event_ = rows_per_event(layout, channels);
}

bool Reduction::make_room(BatchMemory& m, std::uint64_t events) const noexcept {
  for (int f = 0; f < kFeatureCount; ++f) {
    if (!set_.has(Feature(f))) continue;
    const std::uint64_t width = per_event_ * feature_width(Feature(f));
    if (events > SIZE_MAX / width || !m.features[std::size_t(f)].reserve(std::size_t(events * width)))
      return false;
  }
  return true;
}

FeatureColumns Reduction::columns(const BatchMemory& m, std::uint64_t first_event) const noexcept {
  FeatureColumns out;
  auto at = [&]<class T>(T*& column, Feature f) {
    if (set_.has(f)) {
      column = reinterpret_cast<T*>(m.features[std::size_t(f)].data()) + first_event * per_event_;
    }
  };
  at(out.baseline, Feature::baseline);
  at(out.baseline_rms, Feature::baseline_rms);
  at(out.amplitude, Feature::amplitude);
  at(out.peak_index, Feature::peak_index);
  at(out.integral, Feature::integral);
  at(out.cfd_time, Feature::cfd_time);
  at(out.rise_time, Feature::rise_time);
  at(out.trapezoid_max, Feature::trapezoid_max);
  at(out.saturated, Feature::saturated);
  return out;
}

void Reduction::reduce(const std::uint8_t* samples, const std::int64_t* offsets, std::uint64_t from,
                       std::uint64_t to, const FeatureColumns& out) const noexcept {
  const std::uint64_t c = per_event_;
  for (std::uint64_t i = from; i < to; ++i) {
    const auto first = std::size_t(offsets[i]);
    const auto n = std::size_t(offsets[i + 1] - offsets[i]);
    if (wd1_) {
      kernel_.wd1({reinterpret_cast<const std::uint16_t*>(samples) + first, n}, out, i);
      continue;
    }
    const float* x = reinterpret_cast<const float*>(samples) + first;
    const std::size_t each = n % c ? 0 : n / c;  // no whole channels: nothing is covered
    for (std::uint64_t k = 0; k < c; ++k) kernel_.wd2({x + k * each, each}, out, i * c + k);
  }
}

void Reduction::reduce_all(const std::uint8_t* samples, const std::int64_t* offsets,
                           std::uint64_t events, const FeatureColumns& out) const {
  const std::uint64_t bytes = std::uint64_t(offsets[events] - offsets[0]) * layout_->sample_width();
  const CpuShare share(bytes >= ReductionStages::kBytes ? kMaxThreads : 1);
  Claims parts(0, events, std::max<std::uint64_t>(events / (8 * share.threads()), 1));
  on_threads(share.threads(), [&]() noexcept {
    for (auto [a, b] = parts.next(); a < b; std::tie(a, b) = parts.next()) reduce(samples, offsets, a, b, out);
  });
}

std::array<std::atomic<BatchMemory*>, ReductionStages::kKept> ReductionStages::kept_{};

std::unique_ptr<BatchMemory> ReductionStages::take() noexcept {
  for (auto& slot : kept_) {
    if (BatchMemory* m = slot.exchange(nullptr)) return std::unique_ptr<BatchMemory>(m);
  }
  return std::unique_ptr<BatchMemory>(new (std::nothrow) BatchMemory);
}

void ReductionStages::give(std::unique_ptr<BatchMemory> m) noexcept {
  if (!m || m->bytes() > kKeptBytes) return;  // one a long record grew: freed
  for (auto& slot : kept_) {
    BatchMemory* empty = nullptr;
    if (slot.compare_exchange_strong(empty, m.get())) {
      (void)m.release();
      return;
    }
  }
}

std::size_t ReductionStages::release() noexcept {
  std::size_t bytes = 0;
  for (auto& slot : kept_) {
    std::unique_ptr<BatchMemory> m(slot.exchange(nullptr));
    if (m) bytes += m->bytes();
  }
  return bytes;
}

namespace {

// A stage of reduce_walk: the records of one fill and where their rows go.
struct Stage {
  enum class State : std::uint8_t { free, filled, reducing, reduced };
  std::unique_ptr<BatchMemory> memory;
  std::uint64_t first_event = 0;  // of the batch
  std::uint64_t events = 0;
  State state = State::free;
};

// The stages, and the threads that reduce them as they are filled. Only the
// reading thread touches the batch's memory: a stage's features are its own
// until that thread copies them out, so the batch's regions may grow (and
// move) while others reduce. A helper is started only once a stage waits
// while another is filled: a batch of one stage starts no thread.
class Pipeline {
 public:
  Pipeline(const Reduction& reduction, BatchMemory& out, unsigned helpers)
      : reduction_(reduction), out_(out), stages_(helpers + 2), wanted_(helpers) {}
  ~Pipeline() {
    {
      std::lock_guard lock(mutex_);
      done_ = true;
    }
    changed_.notify_all();
    for (std::thread& t : helpers_) t.join();
    for (Stage& s : stages_) {
      ReductionStages::give(std::move(s.memory));
    }
  }
  Pipeline(const Pipeline&) = delete;
  Pipeline& operator=(const Pipeline&) = delete;

  // A free stage with memory, once the rows of a reduced one are in the
  // batch; null when memory is short.
  Stage* free_stage() {
    std::unique_lock lock(mutex_);
    while (true) {
      for (Stage& s : stages_) {
        if (s.state == Stage::State::reduced) {
          lock.unlock();
          copy_out(s);
          lock.lock();
          s.state = Stage::State::free;
        }
        if (s.state != Stage::State::free) continue;
        if (!s.memory) s.memory = ReductionStages::take();
        return s.memory ? &s : nullptr;
      }
      if (!reduce_one(lock)) changed_.wait(lock);
    }
  }

  // Hands a filled stage to whichever thread is free first.
  void filled(Stage& s) {
    bool start = false;
    {
      std::lock_guard lock(mutex_);
      s.state = Stage::State::filled;
      start = helpers_.size() < wanted_ &&
              std::count_if(stages_.begin(), stages_.end(), [](const Stage& t) {
                return t.state == Stage::State::filled;
              }) > 1;
    }
    if (start) start_helper();
    changed_.notify_one();
  }

  // Every filled stage reduced and copied out.
  void finish() {
    std::unique_lock lock(mutex_);
    while (true) {
      auto reduced = std::find_if(stages_.begin(), stages_.end(),
                                  [](const Stage& s) { return s.state == Stage::State::reduced; });
      if (reduced != stages_.end()) {
        lock.unlock();
        copy_out(*reduced);
        lock.lock();
        reduced->state = Stage::State::free;
        continue;  // others may have changed meanwhile: look again before waiting
      }
      const bool busy = std::any_of(stages_.begin(), stages_.end(),
                                    [](const Stage& s) { return s.state != Stage::State::free; });
      if (!busy) return;
      if (!reduce_one(lock)) changed_.wait(lock);
    }
  }

 private:
  // Reduces one filled stage, if there is one, letting go of the lock meanwhile.
  bool reduce_one(std::unique_lock<std::mutex>& lock) {
    auto s = std::find_if(stages_.begin(), stages_.end(),
                          [](const Stage& s) { return s.state == Stage::State::filled; });
    if (s == stages_.end()) return false;
    s->state = Stage::State::reducing;
    lock.unlock();
    const BatchMemory& m = *s->memory;
    reduction_.reduce(m.samples.data(), reinterpret_cast<const std::int64_t*>(m.offsets.data()), 0,
                      s->events, reduction_.columns(m));
    lock.lock();
    s->state = Stage::State::reduced;
    changed_.notify_all();
    return true;
  }

  // One more helper, signals blocked so that they stay with the process's
  // own threads; none where no thread can be had (this one reduces then).
  void start_helper() {
    const SignalsBlocked blocked;
    try {
      helpers_.emplace_back([this] { help(); });
    } catch (const std::system_error&) {
      wanted_ = helpers_.size();
    }
  }

  void help() {
    std::unique_lock lock(mutex_);
    while (true) {
      if (reduce_one(lock)) continue;
      if (done_) return;
      changed_.wait(lock);
    }
  }

  // The features of a reduced stage into the batch's rows of its events.
  void copy_out(const Stage& s) const noexcept {
    const std::uint64_t rows = s.events * reduction_.per_event();
    const std::uint64_t first = s.first_event * reduction_.per_event();
    for (int f = 0; f < kFeatureCount; ++f) {
      if (!reduction_.features().has(Feature(f))) continue;
      const std::size_t w = feature_width(Feature(f));
      std::memcpy(out_.features[std::size_t(f)].data() + first * w,
                  s.memory->features[std::size_t(f)].data(), std::size_t(rows * w));
    }
  }

  const Reduction& reduction_;
  BatchMemory& out_;
  std::vector<Stage> stages_;
  std::vector<std::thread> helpers_;  // started and joined by the reading thread alone
  std::size_t wanted_;
  std::mutex mutex_;
  std::condition_variable changed_;
  bool done_ = false;
};

// Room in `m`'s header columns and features for `events` events, grown by doubling.
bool make_room(BatchMemory& m, const Reduction& reduction, std::uint64_t events,
               std::uint64_t& room) noexcept {
  if (events <= room) return true;
  const std::uint64_t want = std::max(events, 2 * room);
  const LayoutDesc& layout = reduction.layout();
  for (std::size_t k = 0; k < layout.fields.size(); ++k) {
    const std::size_t w = type_width(layout.fields[k].type);
    if (want > SIZE_MAX / w || !m.columns[k].reserve(std::size_t(want * w))) return false;
  }
  if (!reduction.make_room(m, want)) return false;
  room = want;
  return true;
}

}  // namespace

BatchResult reduce_walk(const StageFill& fill, const Reduction& reduction, BatchMemory& out,
                        Limits limits, std::uint64_t records_hint) {
  const LayoutDesc& layout = reduction.layout();
  const CpuShare share(kMaxThreads);
  BatchResult total;
  std::uint64_t bytes = 0;  // file bytes of the records taken
  // The first memory holds as many records as the input can, up to 2**16:
  // grown by doubling past that (a record may be far longer than a header).
  const std::uint64_t first_room = std::min({limits.max_events, records_hint, std::uint64_t(1) << 16});
  std::uint64_t room = 0;
  Pipeline pipeline(reduction, out, share.threads() - 1);
  // Reserves the rows of the most records `part` can bring before they are
  // read: records read are never dropped for want of memory.
  auto ready = [&](Stage* stage, const Limits& part) {
    const std::uint64_t most = std::min(part.max_events, part.max_bytes / reduction.header_size() + 1);
    return stage && make_room(out, reduction, std::max(total.events + most, first_room), room) &&
           reduction.make_room(*stage->memory, most);
  };
  while (true) {
    const bool first = total.events == 0 && limits.first_fits;
    if (total.events >= limits.max_events || (!first && bytes >= limits.max_bytes)) {
      total.stop = Stop::limit;
      break;
    }
    const std::uint64_t left = limits.max_bytes - std::min(bytes, limits.max_bytes);
    Stage* stage = pipeline.free_stage();
    // A stage's worth of records; else the one longer record the batch may still hold.
    Limits part{limits.max_events - total.events, std::min(left, ReductionStages::kBytes), false};
    if (!ready(stage, part)) {
      total.fail(IoError::system(ENOMEM));
      break;
    }
    BatchResult r = fill(*stage->memory, part);
    if (r.events == 0 && r.stop == Stop::limit && (part.max_bytes < left || first)) {
      part = Limits{1, left, first};
      if (!ready(stage, part)) {
        total.fail(IoError::system(ENOMEM));
        break;
      }
      r = fill(*stage->memory, part);
    }
    const BatchMemory& m = *stage->memory;
    for (std::size_t k = 0; k < layout.fields.size(); ++k) {
      const std::size_t w = type_width(layout.fields[k].type);
      std::memcpy(out.columns[k].data() + total.events * w, m.columns[k].data(), std::size_t(r.events * w));
    }
    stage->first_event = total.events;
    stage->events = r.events;
    if (r.events) pipeline.filled(*stage);
    total.events += r.events;
    bytes += r.events * reduction.header_size() + r.samples * layout.sample_width();
    if (r.stop != Stop::limit) {
      total.stop = r.stop;
      total.error = r.error;
      total.corrupt_at = r.corrupt_at;
      break;
    }
    if (r.events == 0) {  // the next record lies past max_bytes
      total.stop = Stop::limit;
      break;
    }
  }
  pipeline.finish();  // every record taken is reduced, whatever ended the batch
  return total;
}

}  // namespace vorn
