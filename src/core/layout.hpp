// Layout descriptions: the fields, offsets, types and sizes of a record layout,
// written once per layout; readers, columns, dtypes and Arrow formats follow.
#pragma once

#include <algorithm>
#include <bit>
#include <cstddef>
#include <cstdint>
#include <span>
#include <string_view>

namespace vorn {

// The numeric type of a header field or a sample, little-endian in the file.
// i64 is no field's: it is the type of sample offsets and record positions.
enum class NumType : std::uint8_t { i32, u32, u64, u16, f32, i64 };

template <NumType T> struct CTypeOf;
template <> struct CTypeOf<NumType::i32> { using type = std::int32_t; };
template <> struct CTypeOf<NumType::u32> { using type = std::uint32_t; };
template <> struct CTypeOf<NumType::u64> { using type = std::uint64_t; };
template <> struct CTypeOf<NumType::u16> { using type = std::uint16_t; };
template <> struct CTypeOf<NumType::f32> { using type = float; };
template <> struct CTypeOf<NumType::i64> { using type = std::int64_t; };
// The C++ type that holds a value of type T.
template <NumType T> using c_type = typename CTypeOf<T>::type;

// Bytes of one value.
constexpr std::size_t type_width(NumType t) noexcept {
  switch (t) {
    case NumType::u16: return 2;
    case NumType::i32:
    case NumType::u32:
    case NumType::f32: return 4;
    case NumType::u64:
    case NumType::i64: return 8;
  }
  return 0;
}

// NumPy's array-interface typestr of a value in host order: "<i4", "<u8", ...
constexpr const char* numpy_typestr(NumType t) noexcept {
  constexpr bool little = std::endian::native == std::endian::little;
  switch (t) {
    case NumType::i32: return little ? "<i4" : ">i4";
    case NumType::u32: return little ? "<u4" : ">u4";
    case NumType::u64: return little ? "<u8" : ">u8";
    case NumType::u16: return little ? "<u2" : ">u2";
    case NumType::f32: return little ? "<f4" : ">f4";
    case NumType::i64: return little ? "<i8" : ">i8";
  }
  return "";
}

// The format string of the Arrow C data interface.
constexpr const char* arrow_format(NumType t) noexcept {
  switch (t) {
    case NumType::i32: return "i";
    case NumType::u32: return "I";
    case NumType::u64: return "L";
    case NumType::u16: return "S";
    case NumType::f32: return "f";
    case NumType::i64: return "l";
  }
  return "";
}

struct FieldDesc {
  const char* name;
  std::size_t offset;  // from the record's first byte
  NumType type;
  // The channel word: present only in files of two or more channels; in
  // the others the field's value is the file's channel count.
  bool channel_word = false;
};

// How a header sizes the sample block after it.
enum class BlockRule : std::uint8_t {
  record_size,   // the block field counts the record's bytes, header included
  sample_count,  // it counts samples per channel, times the file's channel count
};

// What the fields mean beyond their values: the rules that callers (layout
// detection, summaries, error messages) apply are derived from these, never
// written again per layout.
struct LayoutRoles {
  const char* counter;      // the field that counts events
  const char* block_field;  // the field that sizes the sample block
  BlockRule block_rule;
  // Detection's plausibility rule: a block field below this is no recording's
  // (a record that holds less than its own header, or no samples). Not the
  // reader's refusal, which `refusal` names and the reader applies.
  std::int64_t plausible_from;
  std::span<const char* const> constant;  // fields that keep one value within a file
  const char* refusal;  // what makes a record unreadable, as errors say it
};

struct LayoutDesc {
  const char* name;                   // as callers spell it: "WD1"
  std::span<const FieldDesc> fields;  // in key order
  NumType sample_type;
  std::size_t header_size;       // bytes before the samples, without a channel word
  std::size_t word_header_size;  // with one; header_size where the layout has none
  LayoutRoles roles;

  constexpr std::size_t sample_width() const noexcept { return type_width(sample_type); }
  constexpr std::size_t max_header() const noexcept { return std::max(header_size, word_header_size); }
  // Bytes of one record in the header columns, all fields together.
  constexpr std::size_t row_width() const noexcept {
    std::size_t n = 0;
    for (const FieldDesc& f : fields) n += type_width(f.type);
    return n;
  }
  // Whether the records of a file of `channels` channels carry the channel word.
  constexpr bool has_channel_word(std::int32_t channels) const noexcept {
    return word_header_size != header_size && channels >= 2;
  }
  // The header of each record of such a file.
  constexpr std::size_t header_for(std::int32_t channels) const noexcept {
    return has_channel_word(channels) ? word_header_size : header_size;
  }
};

// The index of the field named `name`, or fields.size().
constexpr std::size_t field_index(const LayoutDesc& d, std::string_view name) noexcept {
  std::size_t i = 0;
  while (i < d.fields.size() && name != d.fields[i].name) ++i;
  return i;
}

// Whether a description holds together: every field inside the header that
// carries it (the channel word only past the shorter one), none overlapping,
// and every role naming one of its fields.
constexpr bool well_formed(const LayoutDesc& d) noexcept {
  if (d.fields.empty() || d.word_header_size < d.header_size) return false;
  const std::size_t n = d.fields.size();
  if (field_index(d, d.roles.counter) == n || field_index(d, d.roles.block_field) == n) return false;
  for (const char* f : d.roles.constant) {
    if (field_index(d, f) == n) return false;
  }
  for (std::size_t i = 0; i < d.fields.size(); ++i) {
    const FieldDesc& f = d.fields[i];
    const std::size_t end = f.channel_word ? d.word_header_size : d.header_size;
    if (f.offset + type_width(f.type) > end || (f.channel_word && f.offset < d.header_size)) return false;
    for (std::size_t j = 0; j < i; ++j) {
      const FieldDesc& g = d.fields[j];
      if (f.offset < g.offset + type_width(g.type) && g.offset < f.offset + type_width(f.type)) return false;
    }
  }
  return true;
}

// A layout type (WD1, WD2), declared beside its record reader, gives
//   kDesc       its description;
//   Header      a struct of the header's values, one member per field;
//   kMembers    a tuple of pointers to those members, in key order;
//   Reader      its record reader: Reader::open(BufReader), Reader::next();
//   block_bytes(const Header&, channels)
//               the bytes of the sample block after such a header in a file
//               of `channels` channels; nullopt for a record that cannot be
//               read ("capacity overflow");
//   channels(BufReader&)
//               the channel count of a file, from offset 0, rewound after;
//               0 for a layout without a channel word.
// decode_header (record.hpp) turns header bytes into a Header by kDesc, and
// layouts.hpp registers the type.

}  // namespace vorn
