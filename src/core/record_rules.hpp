// The layout rules of the batch walks, as the record readers apply them: a
// header's size, its fields into the columns, and the size of the block after it.
#pragma once

#include <algorithm>
#include <bit>
#include <cstdint>
#include <cstring>
#include <optional>

#include "batch_decoder.hpp"
#include "wd1_reader.hpp"
#include "wd2_reader.hpp"

namespace vorn {

struct WD1Rules {
  static constexpr std::size_t kColumnWidth[kMaxColumns] = {4, 4, 4, 4, 4, 4};
  std::size_t header_size() const noexcept { return WD1Reader::kHeaderSize; }
  // The block's bytes; nullopt for a record that cannot be read.
  std::optional<std::uint64_t> block_bytes(const std::uint8_t* h) const noexcept {
    const std::int64_t n = wd1_sample_count(load_le<std::int32_t>(h));
    if (n < 0) return std::nullopt;
    return std::uint64_t(n) * 2;
  }
  void store(std::uint8_t* const* col, std::uint64_t i, const std::uint8_t* h) const noexcept {
    for (int k = 0; k < 6; ++k) {
      const std::int32_t v = load_le<std::int32_t>(h + 4 * k);
      std::memcpy(col[k] + 4 * i, &v, 4);
    }
  }
};

struct WD2Rules {
  static constexpr std::size_t kColumnWidth[kMaxColumns] = {4, 8, 4, 8, 4, 0};
  std::int32_t probed;
  bool has_word() const noexcept { return probed >= 2; }
  std::size_t header_size() const noexcept {
    return WD2Reader::kHeaderSize + (has_word() ? WD2Reader::kChannelWordSize : 0);
  }
  std::optional<std::uint64_t> block_bytes(const std::uint8_t* h) const noexcept {
    const std::uint64_t block = wd2_block_bytes(load_le<std::uint32_t>(h + 12), probed);
    if (block > kMaxObjectBytes) return std::nullopt;
    return block;
  }
  void store(std::uint8_t* const* col, std::uint64_t i, const std::uint8_t* h) const noexcept {
    const WD2Header f = decode_wd2_header(h);
    const std::int32_t channels = has_word() ? load_le<std::int32_t>(h + 24) : probed;
    std::memcpy(col[0] + 4 * i, &f.event_counter, 4);
    std::memcpy(col[1] + 8 * i, &f.timestamp, 8);
    std::memcpy(col[2] + 4 * i, &f.samples, 4);
    std::memcpy(col[3] + 8 * i, &f.sampling_period, 8);
    std::memcpy(col[4] + 4 * i, &channels, 4);
  }
};

// Samples arrive little-endian; on a big-endian host they are turned here.
inline void samples_to_host(std::uint8_t* p, std::uint64_t bytes, std::size_t width) noexcept {
  if constexpr (std::endian::native == std::endian::big) {
    for (std::uint64_t i = 0; i + width <= bytes; i += width) std::reverse(p + i, p + i + width);
  } else {
    (void)p, (void)bytes, (void)width;
  }
}

}  // namespace vorn
