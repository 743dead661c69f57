// HeaderCheck: the headers of a run of records of one size in a scan, read
// where the size puts them, each of which must give the size again; the
// blocks between them are never read.
#pragma once

#include <array>
#include <atomic>
#include <cstdint>
#include <memory>
#include <span>
#include <thread>
#include <tuple>

#include "columns.hpp"
#include "record.hpp"
#include "source.hpp"
#include "thresholds.hpp"
#include "threads.hpp"

namespace vorn {

template <class L>
class HeaderCheck {
 public:
  // `count` records with blocks of `block` bytes, the first at file offset
  // `start`, whose header values become record `first` of the batch on.
  struct Place {
    std::uint64_t start, block, first, count;
  };

  // Into `cols`, whose header columns have room for the whole run already.
  HeaderCheck(const Columns<L>& cols, std::int32_t channels, Place at) noexcept
      : cols_(cols), channels_(channels), header_(L::kDesc.header_for(channels)),
        record_(header_ + at.block), at_(at) {}

  // Reads the headers at their offsets in `in` and stores their values: the
  // count before the first that cannot be read or gives another block size
  // (values past it may have been stored too). The first kRunPrefix are read
  // here; the rest, once those agree, in parts on several threads, each but
  // this one through a file description of its own (here alone when none
  // can be started).
  std::uint64_t run(const Source& in) const {
    std::atomic<std::uint64_t> wrong{at_.count};  // the first record found wrong so far
    if (!check(in, 0, kRunPrefix, wrong)) return wrong.load();
    Claims parts(kRunPrefix, at_.count, kRunPrefix * 4);
    const std::thread::id caller = std::this_thread::get_id();
    // The kernel's work for each read keeps a CPU busy: the CPUs to spare.
    const CpuShare share(kMaxThreads);
    on_threads(share.threads(), [&]() noexcept {
      const std::unique_ptr<Source> own =
          std::this_thread::get_id() == caller ? nullptr : in.reopened();
      const Source& from = own ? *own : in;
      for (auto [a, b] = parts.next(); a < b; std::tie(a, b) = parts.next()) {
        if (a >= wrong.load(std::memory_order_relaxed) || !check(from, a, b, wrong)) return;
      }
    });
    return wrong.load();
  }

 private:
  // Checks and stores the headers of records i to j - 1; false, having
  // marked it in `wrong`, at the first found wrong.
  bool check(const Source& in, std::uint64_t i, std::uint64_t j,
             std::atomic<std::uint64_t>& wrong) const noexcept {
    std::array<std::uint8_t, L::kDesc.max_header()> h;
    const std::array<std::span<std::uint8_t>, 1> part{std::span(h).first(header_)};
    for (; i < j; ++i) {
      if (in.read_at_uninterrupted(part, at_.start + i * record_) != std::int64_t(header_)) {
        found_wrong(wrong, i);
        return false;
      }
      const typename L::Header values = decode_header<L>(h.data(), channels_);
      if (L::block_bytes(values, channels_) != at_.block) {
        found_wrong(wrong, i);
        return false;
      }
      if (cols_.storing()) cols_.store(at_.first + i, values);
    }
    return true;
  }

  const Columns<L>& cols_;
  const std::int32_t channels_;
  const std::size_t header_;
  const std::uint64_t record_;
  const Place at_;
};

}  // namespace vorn
