// What one step of a record reader gives, and the decoding of a header by
// its layout's description, shared by every layout.
#pragma once

#include <algorithm>
#include <bit>
#include <cerrno>
#include <cstddef>
#include <span>
#include <tuple>
#include <type_traits>
#include <utility>
#include <variant>
#include <vector>

#include "buf_reader.hpp"
#include "layout.hpp"

namespace vorn {

// The file ended, between records or inside one; not an error.
struct EndOfInput {};

template <class Event>
using Step = std::variant<Event, EndOfInput, IoError>;

// The C++ type of the samples of layout L.
template <class L>
using sample_t = c_type<L::kDesc.sample_type>;

// Calls f(k, value) for each value of `header` (a Header of layout L, const
// or not) in key order, k a std::integral_constant: the index of its field.
template <class L, class H, class F>
constexpr void for_each_field(H& header, F&& f) {
  constexpr std::size_t n = std::tuple_size_v<std::remove_const_t<decltype(L::kMembers)>>;
  static_assert(n == L::kDesc.fields.size(), "one member per field");
  [&]<std::size_t... K>(std::index_sequence<K...>) {
    (f(std::integral_constant<std::size_t, K>{}, header.*std::get<K>(L::kMembers)), ...);
  }(std::make_index_sequence<n>{});
}

// The values of the header at `h`, each field read at its offset as its
// type; where the records of a file of `channels` channels carry no channel
// word, its field is `channels`. Always inlined: in the batch walk's loops it
// is most of the work per record.
template <class L>
[[gnu::always_inline]] inline typename L::Header decode_header(const std::uint8_t* h,
                                                               std::int32_t channels) noexcept {
  typename L::Header out;
  const bool word = L::kDesc.has_channel_word(channels);
  for_each_field<L>(out, [&](auto k, auto& value) {
    constexpr FieldDesc field = L::kDesc.fields[k];
    using T = std::remove_reference_t<decltype(value)>;
    static_assert(std::is_same_v<T, c_type<field.type>>, "a member of the field's type");
    if constexpr (field.channel_word) {
      value = word ? load_le<T>(h + field.offset) : T(channels);
    } else {
      value = load_le<T>(h + field.offset);
    }
  });
  (void)word;
  return out;
}

// Samples arrive little-endian; on a big-endian host they are turned in place.
inline void samples_to_host(std::uint8_t* p, std::uint64_t bytes, std::size_t width) noexcept {
  if constexpr (std::endian::native == std::endian::big) {
    for (std::uint64_t i = 0; i + width <= bytes; i += width) std::reverse(p + i, p + i + width);
  } else {
    (void)p, (void)bytes, (void)width;
  }
}

// Whether a step that failed must leave its record to a later step: it
// stopped for want of memory or because a signal handler asked it to, not
// because the input failed.
inline bool retry_later(const IoError& e) noexcept {
  return e.kind == IoError::Kind::interrupted ||
         (e.kind == IoError::Kind::system && e.code == ENOMEM);
}

// Moves to `position`: by a seek, or on input that cannot seek, by reading
// forward to it (an input that ends first leaves the reader at its end).
inline Status move_to(BufReader& in, std::uint64_t position) {
  const std::uint64_t at = in.position();
  if (position == at) return success();
  Status st = in.seek_to(position);
  if (st.ok() || st.error().code != ESPIPE || position < at) return st;
  st = in.skip(position - at);
  return st.ok() || st.error().is_eof() ? success() : st;
}

// After a read that met the end of the file partway into a record, puts the
// file position back on the record's first byte (and drops the buffer), so
// that a file still being written yields the whole record once it is
// complete. Where the input cannot seek, the consumed bytes stay consumed.
inline void restore_record_start(BufReader& in, std::uint64_t start) {
  if (in.position() != start) (void)in.seek_to(start);
}

// After a step that must be tried again (retry_later), puts the reader back
// on the record's first byte: by a seek, or where the input cannot seek, by
// giving back the bytes consumed since `start`, which are the first bytes of
// `header` followed by the first of `block`. Bytes a skip read through are
// not at hand: then nothing is given back, and the reader stays where the
// input ended rather than before bytes that do not follow.
inline void give_back_record(BufReader& in, std::uint64_t start,
                             std::span<const std::uint8_t> header,
                             std::span<const std::uint8_t> block) {
  const std::uint64_t consumed = in.position() - start;
  if (consumed == 0 || in.seek_to(start).ok()) return;
  if (consumed - std::min<std::uint64_t>(consumed, header.size()) > block.size()) return;
  std::vector<std::uint8_t> bytes;
  const std::size_t from_header = std::size_t(std::min<std::uint64_t>(consumed, header.size()));
  bytes.reserve(std::size_t(consumed));
  bytes.insert(bytes.end(), header.begin(), header.begin() + std::ptrdiff_t(from_header));
  const std::size_t from_block = std::size_t(std::min<std::uint64_t>(consumed - from_header, block.size()));
  bytes.insert(bytes.end(), block.begin(), block.begin() + std::ptrdiff_t(from_block));
  in.unread(bytes);
}

}  // namespace vorn
