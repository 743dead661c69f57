// The memory of batches: what a batch keeps of it, the pools that hand it
// out again, and the stages of reads in parts.
#include "batch_memory.hpp"

#include <pthread.h>

#include <algorithm>
#include <mutex>

namespace vorn {
namespace {

// Bytes of `count` elements of `width`, at most SIZE_MAX.
std::size_t bytes_of(std::uint64_t count, std::size_t width) noexcept {
  return count > SIZE_MAX / width ? SIZE_MAX : std::size_t(count * width);
}

// Gives back the pages of `m` beyond `events` records and `sample_bytes`.
void trim(BatchMemory& m, const LayoutDesc& layout, std::uint64_t events,
          std::uint64_t sample_bytes) noexcept {
  for (std::size_t k = 0; k < m.columns.size(); ++k) {
    const bool used = k < layout.fields.size();
    m.columns[k].trim(used ? bytes_of(events, type_width(layout.fields[k].type)) : 0);
  }
  m.samples.trim(bytes_of(sample_bytes, 1));
  m.offsets.trim(bytes_of(std::min(events, UINT64_MAX - 1) + 1, 8));
}

// Twice the most a batch of `events` records and `sample_bytes` of samples
// holds, saturated: an iterator takes no larger spare memory, which it would
// cut down to its own size (the memory of a whole read is left to reads).
std::size_t spare_limit(std::uint64_t events, std::uint64_t sample_bytes,
                        const LayoutDesc& layout) noexcept {
  const std::uint64_t columns =
      std::min<std::uint64_t>(events, SIZE_MAX >> 12) * (layout.row_width() + 8);
  const std::uint64_t batch = columns + std::min<std::uint64_t>(sample_bytes, SIZE_MAX >> 2);
  return batch > SIZE_MAX / 2 ? SIZE_MAX : std::size_t(2 * batch);
}

// The one lock of the memory kept by every pool and by spare memory. A
// batch's memory may be given back on any thread (an Arrow consumer's), so
// a fork() on another thread could otherwise leave the child a lock that no
// thread of its own will let go, and its next read waiting on it forever.
// It is taken around fork(), as the C library takes malloc's.
std::mutex& kept_memory_lock() noexcept {
  static std::mutex* const lock = [] {
    auto* made = new std::mutex;  // never destroyed: memory may be given back at exit
    pthread_atfork([] { kept_memory_lock().lock(); }, [] { kept_memory_lock().unlock(); },
                   [] { kept_memory_lock().unlock(); });
    return made;
  }();
  return *lock;
}

using Hold = std::lock_guard<std::mutex>;

}  // namespace

void BatchMemory::trim_to(const BatchResult& r, const LayoutDesc& layout, FeatureSet kept,
                          std::uint64_t rows) noexcept {
  trim(*this, layout, r.events, r.samples * layout.sample_width());
  for (int f = 0; f < kFeatureCount; ++f) {
    features[std::size_t(f)].trim(kept.has(Feature(f)) ? bytes_of(rows, feature_width(Feature(f))) : 0);
  }
}

std::size_t BatchMemory::bytes() const noexcept {
  std::size_t n = samples.capacity() + offsets.capacity();
  for (const Region& r : columns) n += r.capacity();
  for (const Region& r : features) n += r.capacity();
  return n;
}

BatchPool::BatchPool(const LayoutDesc& layout, std::size_t header_size, Limits limits,
                     std::shared_ptr<SpareMemory> spare) noexcept
    : layout_(layout),
      keep_events_(std::min(limits.max_events, limits.max_bytes / header_size + 1)),
      keep_sample_bytes_(limits.max_bytes),
      spare_limit_(spare_limit(keep_events_, keep_sample_bytes_, layout_)),
      spare_(std::move(spare)) {}

BatchPool::~BatchPool() {
  if (!spare_) return;
  for (std::unique_ptr<BatchMemory>& m : kept_) {
    if (m) spare_->give(std::move(m));
  }
}

std::unique_ptr<BatchMemory> BatchPool::take() {
  {
    Hold lock(kept_memory_lock());
    for (auto it = kept_.rbegin(); it != kept_.rend(); ++it) {
      if (*it) return std::move(*it);
    }
  }
  if (!spare_) return std::make_unique<BatchMemory>();
  // Memory of two batches at most: a whole read's is left to the next read.
  std::unique_ptr<BatchMemory> m = spare_->take(spare_limit_);
  trim(*m, layout_, keep_events_, keep_sample_bytes_);
  return m;
}

void BatchPool::give(std::unique_ptr<BatchMemory> m) noexcept {
  trim(*m, layout_, keep_events_, keep_sample_bytes_);
  Hold lock(kept_memory_lock());
  for (std::unique_ptr<BatchMemory>& slot : kept_) {
    if (!slot) {
      slot = std::move(m);
      return;
    }
  }
}

std::unique_ptr<BatchMemory> SpareMemory::take(std::size_t at_most) {
  Freed freed;  // unmapped once the lock is let go: that takes time
  std::unique_ptr<BatchMemory> m;
  {
    Hold lock(kept_memory_lock());
    expire(Clock::now(), freed);
    std::size_t best = count_;
    for (std::size_t i = 0; i < count_; ++i) {
      const std::size_t bytes = kept_[i].bytes;
      if (bytes <= at_most && (best == count_ || bytes >= kept_[best].bytes)) best = i;
    }
    if (best != count_) {
      m = std::move(kept_[best].memory);
      held_ -= kept_[best].bytes;
      drop(best);
    }
  }
  return m ? std::move(m) : std::make_unique<BatchMemory>();
}

void SpareMemory::give(std::unique_ptr<BatchMemory> m) noexcept {
  Freed freed;
  const std::size_t size = m->bytes();
  if (size == 0 || size > cap_) return;
  Hold lock(kept_memory_lock());
  const Clock::time_point now = Clock::now();
  expire(now, freed);
  while (count_ == kKept || held_ + size > cap_) drop_oldest(freed);
  kept_[count_++] = Kept{std::move(m), size, now};
  held_ += size;
}

std::size_t SpareMemory::release() noexcept {
  Freed freed;
  Hold lock(kept_memory_lock());
  const std::size_t held = held_;
  while (count_ != 0) drop_oldest(freed);
  return held;
}

std::size_t SpareMemory::bytes() noexcept {
  Hold lock(kept_memory_lock());
  return held_;
}

void SpareMemory::expire(Clock::time_point now, Freed& freed) noexcept {
  while (count_ != 0 && now - kept_[0].since >= idle_) drop_oldest(freed);
}

void SpareMemory::drop_oldest(Freed& freed) noexcept {
  held_ -= kept_[0].bytes;
  freed.push(std::move(kept_[0].memory));
  drop(0);
}

void SpareMemory::drop(std::size_t i) noexcept {
  std::move(kept_.begin() + std::ptrdiff_t(i) + 1, kept_.begin() + std::ptrdiff_t(count_),
            kept_.begin() + std::ptrdiff_t(i));
  --count_;
}

std::array<std::atomic<Region*>, kMaxThreads> Stages::kept_{};

Stages::Stage Stages::take() noexcept {
  for (std::atomic<Region*>& slot : kept_) {
    if (Region* r = slot.exchange(nullptr)) return Stage(r);
  }
  Stage stage(new (std::nothrow) Region);
  return stage && stage->reserve(kBytes) ? std::move(stage) : nullptr;
}

void Stages::give(Stage stage) noexcept {
  for (std::atomic<Region*>& slot : kept_) {
    Region* empty = nullptr;
    if (slot.compare_exchange_strong(empty, stage.get())) {
      (void)stage.release();
      return;
    }
  }
}

std::size_t Stages::release() noexcept {
  std::size_t bytes = 0;
  for (std::atomic<Region*>& slot : kept_) {
    const Stage stage(slot.exchange(nullptr));
    if (stage) bytes += stage->capacity();
  }
  return bytes;
}

std::size_t release_stages() noexcept { return Stages::release(); }

}  // namespace vorn
