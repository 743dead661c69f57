// libFuzzer harness over the decoding core: the input bytes are read as a
// WD1 file and as a WD2 file, through memory sources shaped like a regular
// file, a file of unknown length with short reads, a block device, a pipe and
// a file with a bad sector, and every step is checked against a small model
// of the two layouts written here: the records, their bytes, where "capacity
// overflow" panics, and where the stream ends.
#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <variant>
#include <vector>

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
  bool device;      // a seek past the end fails with EINVAL, as on a block device
};
constexpr Shape kRegular{true, true, SIZE_MAX, false, false};
constexpr Shape kUnsized{true, false, 5, false, false};
constexpr Shape kDevice{true, false, 4096, false, true};
constexpr Shape kPipe{false, false, 3, false, false};
constexpr Shape kBadSector{true, true, SIZE_MAX, true, false};

std::uint64_t fail_offset(std::size_t size, Shape shape) {
  return shape.fails ? size / 2 : UINT64_MAX;
}

class MemorySource final : public Source {
 public:
  MemorySource(const std::uint8_t* data, std::size_t size, Shape shape)
      : data_(data), size_(size), shape_(shape), fail_at_(fail_offset(size, shape)) {}
  std::int64_t read(std::uint8_t* dst, std::size_t len) override {
    if (pos_ >= fail_at_) return -EIO;
    const std::uint64_t end = std::min<std::uint64_t>(size_, fail_at_);
    const std::size_t n = pos_ >= end ? 0 : std::size_t(std::min<std::uint64_t>({len, end - pos_, shape_.max}));
    if (n) std::memcpy(dst, data_ + pos_, n);
    pos_ += n;
    return std::int64_t(n);
  }
  int seek(std::uint64_t offset) override {
    if (!shape_.seekable) return ESPIPE;
    if (offset > std::uint64_t(INT64_MAX) || (shape_.device && offset > size_)) return EINVAL;
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
  std::uint64_t fail_at_;
  std::uint64_t pos_ = 0;
};

BufReader open_memory(const std::uint8_t* data, std::size_t size, Shape shape) {
  return BufReader(std::make_unique<MemorySource>(data, size, shape));
}

// One record as the model reads it. A panicking record consumes its header
// and yields nothing.
struct Record {
  bool panics;
  std::uint64_t start;
  std::uint64_t header;
  std::uint64_t block;  // sample bytes
  std::uint64_t end() const { return start + header + block; }
};

std::vector<Record> wd1_model(const std::uint8_t* data, std::size_t size) {
  std::vector<Record> out;
  std::uint64_t pos = 0;
  while (size - pos >= 24) {
    const std::int64_t n = (std::int64_t(load_le<std::int32_t>(data + pos)) - 24) / 2;
    if (n < 0) {
      out.push_back({true, pos, 24, 0});
      pos += 24;
      continue;
    }
    if (std::uint64_t(2 * n) > size - pos - 24) break;
    out.push_back({false, pos, 24, std::uint64_t(2 * n)});
    pos += 24 + std::uint64_t(2 * n);
  }
  return out;
}

// Block bytes modulo 2^64: samples without sign, the channel count with it.
std::uint64_t wd2_block(std::uint32_t samples, std::int32_t channels) {
  return std::uint64_t(samples) * std::uint64_t(std::int64_t(channels)) * 4;
}
constexpr std::uint64_t kMaxObject = INT64_MAX;

std::int32_t wd2_probe_model(const std::uint8_t* data, std::size_t size) {
  if (size < 28) return 1;
  const std::int32_t n = load_le<std::int32_t>(data + 24);
  const std::uint64_t block = wd2_block(load_le<std::uint32_t>(data + 12), n);
  if (block > kMaxObject || block > size - 28) return 1;
  if (size - 28 - block < 28) return n >= 2 ? n : 1;
  const std::uint8_t* next = data + 28 + block;
  const bool continues =
      load_le<std::int32_t>(next + 24) == n &&
      load_le<std::uint64_t>(next + 16) == load_le<std::uint64_t>(data + 16) &&
      load_le<std::uint32_t>(next + 12) == load_le<std::uint32_t>(data + 12) &&
      load_le<std::uint32_t>(next) == std::uint32_t(load_le<std::uint32_t>(data) + 1);
  return continues ? n : 1;
}

std::vector<Record> wd2_model(const std::uint8_t* data, std::size_t size, std::int32_t probed) {
  const std::uint64_t header = probed >= 2 ? 28 : 24;
  std::vector<Record> out;
  std::uint64_t pos = 0;
  while (size - pos >= header) {
    const std::uint64_t block = wd2_block(load_le<std::uint32_t>(data + pos + 12), probed);
    if (block > kMaxObject) {
      out.push_back({true, pos, header, 0});
      pos += header;
      continue;
    }
    if (block > size - pos - header) break;
    out.push_back({false, pos, header, block});
    pos += header + block;
  }
  return out;
}

// The samples of an event are exactly its record's sample bytes.
template <class T>
void check_block(const SampleBuffer<T>& samples, const std::uint8_t* data, const Record& r) {
  CHECK(std::uint64_t(samples.size()) * sizeof(T) == r.block);
  CHECK(samples.capacity() == samples.size());
  if (r.block) CHECK(std::memcmp(samples.data(), data + r.start + r.header, r.block) == 0);
}

// Steps `reader` to its end, each step against `model`; `check_event` checks
// an event against its record. True when the stream ended with an error.
template <class Reader, class CheckEvent>
bool check_stream(Reader& reader, const std::vector<Record>& model, std::size_t size,
                  Shape shape, CheckEvent check_event) {
  for (std::size_t k = 0;; ++k) {
    std::optional<decltype(reader.next())> step;
    try {
      step.emplace(reader.next());
    } catch (const Panic& p) {
      CHECK(std::strcmp(p.what(), "capacity overflow") == 0);
      CHECK(k < model.size() && model[k].panics);
      continue;
    }
    if (auto* ev = std::get_if<0>(&*step)) {
      CHECK(k < model.size() && !model[k].panics);
      check_event(*ev, model[k]);
      continue;
    }
    if (auto* err = std::get_if<IoError>(&*step)) {
      // Only a read that reaches the bad sector fails.
      CHECK(shape.fails && err->kind == IoError::Kind::system && err->code == EIO);
      CHECK(k == model.size() || model[k].end() > fail_offset(size, shape));
      return true;
    }
    // The end, where the model ends too; where the input can seek, a record
    // cut short is put back and the end repeats.
    CHECK(k == model.size());
    if (shape.seekable && !shape.fails) {
      CHECK(std::holds_alternative<EndOfInput>(reader.next()));
    }
    return false;
  }
}

void run_wd1(const std::uint8_t* data, std::size_t size, Shape shape) {
  WD1Reader reader(open_memory(data, size, shape));
  const bool failed = check_stream(reader, wd1_model(data, size), size, shape,
                                   [&](const WD1Event& ev, const Record& r) {
    const std::uint8_t* h = data + r.start;
    CHECK(ev.event_size == load_le<std::int32_t>(h));
    CHECK(ev.board_id == load_le<std::int32_t>(h + 4));
    CHECK(ev.pattern == load_le<std::int32_t>(h + 8));
    CHECK(ev.board_channel == load_le<std::int32_t>(h + 12));
    CHECK(ev.event_counter == load_le<std::int32_t>(h + 16));
    CHECK(ev.timestamp == load_le<std::int32_t>(h + 20));
    check_block(ev.data, data, r);
  });
  // An input error is reported once; the reader ends there for good.
  if (failed) CHECK(std::holds_alternative<EndOfInput>(reader.next()));
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
  CHECK(probed == wd2_probe_model(data, size));
  check_stream(reader, wd2_model(data, size, probed), size, shape,
               [&](const WD2Event& ev, const Record& r) {
    const std::uint8_t* h = data + r.start;
    CHECK(ev.event_counter == load_le<std::uint32_t>(h));
    CHECK(ev.timestamp == load_le<std::uint64_t>(h + 4));
    CHECK(ev.samples == load_le<std::uint32_t>(h + 12));
    CHECK(ev.sampling_period == load_le<std::uint64_t>(h + 16));
    CHECK(ev.channels == (probed >= 2 ? load_le<std::int32_t>(h + 24) : probed));
    check_block(ev.data, data, r);
  });
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  // Every panic reports itself on stderr; at thousands of runs a second that
  // drowns libFuzzer's own output, which keeps the stream it took at start-up.
  // musl's stderr is a constant: a replay there (fuzz/replay.cpp) lets them be.
#ifdef __GLIBC__
  if (FILE* null = std::fopen("/dev/null", "w")) stderr = null;
#endif
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  for (Shape shape : {kRegular, kUnsized, kDevice, kPipe, kBadSector}) {
    run_wd1(data, size, shape);
    run_wd2(data, size, shape);
  }
  return 0;
}
