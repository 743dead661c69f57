// libFuzzer harness over the decoding core: the input bytes are read as a
// WD1 file and as a WD2 file, through memory sources shaped like a regular
// file, a file of unknown length with short reads, and a pipe, and every
// step is checked against the bytes it came from.
#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <variant>

#include "buf_reader.hpp"
#include "panic.hpp"
#include "wd1_reader.hpp"
#include "wd2_reader.hpp"

namespace {

using namespace vorn;

#define CHECK(cond)                                                              \
  do {                                                                           \
    if (!(cond)) {                                                               \
      std::fprintf(real_stderr, "invariant failed at line %d: %s\n", __LINE__, #cond); \
      std::abort();                                                              \
    }                                                                            \
  } while (0)

FILE* real_stderr = stderr;

struct Shape {
  bool seekable;
  bool sized;       // size() tells the length, as for a regular file
  std::size_t max;  // largest single read
  bool fails;       // reads from the middle of the input on fail with EIO
};
constexpr Shape kRegular{true, true, SIZE_MAX, false};
constexpr Shape kUnsized{true, false, 5, false};
constexpr Shape kPipe{false, false, 3, false};
constexpr Shape kBadSector{true, true, SIZE_MAX, true};

class MemorySource final : public Source {
 public:
  MemorySource(const std::uint8_t* data, std::size_t size, Shape shape)
      : data_(data), size_(size), shape_(shape), fail_at_(shape.fails ? size / 2 : SIZE_MAX) {}
  std::int64_t read(std::uint8_t* dst, std::size_t len) override {
    if (pos_ >= fail_at_) return -EIO;
    const std::size_t end = std::min(size_, fail_at_);
    const std::size_t n = pos_ >= end ? 0 : std::min({len, end - std::size_t(pos_), shape_.max});
    if (n) std::memcpy(dst, data_ + pos_, n);
    pos_ += n;
    return std::int64_t(n);
  }
  int seek(std::uint64_t offset) override {
    if (!shape_.seekable) return ESPIPE;
    if (offset > std::uint64_t(INT64_MAX)) return EINVAL;
    pos_ = offset;
    return 0;
  }
  std::optional<std::uint64_t> size() override {
    if (!shape_.sized) return std::nullopt;
    return size_;
  }

 private:
  const std::uint8_t* data_;
  std::size_t size_;
  Shape shape_;
  std::size_t fail_at_;
  std::uint64_t pos_ = 0;
};

BufReader open_memory(const std::uint8_t* data, std::size_t size, Shape shape) {
  return BufReader(std::make_unique<MemorySource>(data, size, shape));
}

// The samples of an event are exactly the bytes of the file at `at`.
template <class T>
void check_block(const SampleBuffer<T>& block, const std::uint8_t* data, std::size_t size,
                 std::uint64_t at) {
  const std::uint64_t bytes = std::uint64_t(block.size()) * sizeof(T);
  CHECK(block.capacity() == block.size());
  CHECK(bytes <= size && at <= size - bytes);  // no block larger than the input
  if (bytes) CHECK(std::memcmp(block.data(), data + at, bytes) == 0);
}

void run_wd1(const std::uint8_t* data, std::size_t size, Shape shape) {
  WD1Reader reader(open_memory(data, size, shape));
  std::uint64_t pos = 0;  // bytes consumed by the records delivered so far
  for (int steps = 0;; ++steps) {
    CHECK(steps <= int(size / 24) + 1);
    std::variant<Step<WD1Event>, std::monostate> outcome = std::monostate{};
    try {
      outcome = reader.next();
    } catch (const Panic& p) {
      // A size of 22 or less cannot be read: its header stays consumed.
      CHECK(std::strcmp(p.what(), "capacity overflow") == 0);
      CHECK(pos + 24 <= size && load_le<std::int32_t>(data + pos) <= 22);
      pos += 24;
      continue;
    }
    auto& step = std::get<0>(outcome);
    if (auto* ev = std::get_if<WD1Event>(&step)) {
      CHECK(pos + 24 <= size);
      CHECK(ev->event_size == load_le<std::int32_t>(data + pos));
      CHECK(ev->timestamp == load_le<std::int32_t>(data + pos + 20));
      CHECK(std::int64_t(ev->data.size()) == (std::int64_t(ev->event_size) - 24) / 2);
      check_block(ev->data, data, size, pos + 24);
      pos += 24 + 2 * std::uint64_t(ev->data.size());  // the record's span
      continue;
    }
    if (auto* err = std::get_if<IoError>(&step)) {
      // Reported once; the reader ends there for good.
      CHECK(shape.fails && err->code == EIO);
      CHECK(std::holds_alternative<EndOfInput>(reader.next()));
      return;
    }
    if (shape.seekable && !shape.fails) {
      // A record cut short is put back, and the end repeats.
      CHECK(size - pos < 24 || size - pos < 24 + std::uint64_t(std::max(
                                                      0, (load_le<std::int32_t>(data + pos) - 24) / 2 * 2)));
      CHECK(std::holds_alternative<EndOfInput>(reader.next()));
    }
    return;
  }
}

void run_wd2(const std::uint8_t* data, std::size_t size, Shape shape) {
  std::optional<Result<WD2Reader>> opened;
  try {
    opened.emplace(WD2Reader::open(open_memory(data, size, shape)));
  } catch (const Panic&) {
    CHECK(false);  // the probe refutes an impossible block instead
  }
  if (!shape.seekable) {
    // The probe cannot rewind a pipe.
    CHECK(!opened->ok() && opened->error().code == ESPIPE);
    return;
  }
  if (!opened->ok()) {
    CHECK(shape.fails && opened->error().code == EIO);
    return;
  }
  WD2Reader& reader = opened->value();
  const std::int32_t probed = reader.probed_channels();
  CHECK(probed == 1 || (size >= 28 && probed == load_le<std::int32_t>(data + 24)));
  const std::uint64_t header = probed >= 2 ? 28 : 24;

  std::uint64_t pos = 0;
  for (int steps = 0;; ++steps) {
    CHECK(steps <= int(size / 24) + 1);
    std::variant<Step<WD2Event>, std::monostate> outcome = std::monostate{};
    try {
      outcome = reader.next();
    } catch (const Panic& p) {
      // Only a negative channel count sizes a block beyond any object.
      CHECK(std::strcmp(p.what(), "capacity overflow") == 0);
      CHECK(probed < 0 && pos + header <= size && load_le<std::uint32_t>(data + pos + 12) != 0);
      pos += header;
      continue;
    }
    auto& step = std::get<0>(outcome);
    if (auto* ev = std::get_if<WD2Event>(&step)) {
      CHECK(pos + header <= size);
      CHECK(ev->event_counter == load_le<std::uint32_t>(data + pos));
      CHECK(ev->timestamp == load_le<std::uint64_t>(data + pos + 4));
      CHECK(ev->samples == load_le<std::uint32_t>(data + pos + 12));
      CHECK(ev->sampling_period == load_le<std::uint64_t>(data + pos + 16));
      CHECK(ev->channels == (probed >= 2 ? load_le<std::int32_t>(data + pos + 24) : probed));
      CHECK(ev->data.size() == wd2_block_bytes(ev->samples, probed) / 4);
      check_block(ev->data, data, size, pos + header);
      pos += header + 4 * std::uint64_t(ev->data.size());
      continue;
    }
    if (auto* err = std::get_if<IoError>(&step)) {
      CHECK(shape.fails && err->code == EIO);
      return;
    }
    if (!shape.fails) CHECK(std::holds_alternative<EndOfInput>(reader.next()));
    return;
  }
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  // Every panic reports itself on stderr; at thousands of runs a second that
  // drowns libFuzzer's own output, which keeps the stream it took at start-up.
  if (FILE* null = std::fopen("/dev/null", "w")) stderr = null;
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  for (Shape shape : {kRegular, kUnsized, kPipe, kBadSector}) {
    run_wd1(data, size, shape);
    run_wd2(data, size, shape);
  }
  return 0;
}
