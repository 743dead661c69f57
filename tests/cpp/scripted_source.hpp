// A scripted Source that serves bytes from memory, plus helpers shared by the
// decoding tests: byte builders, temporary files and a peak-memory probe.
#pragma once

#include <gtest/gtest.h>

#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <bit>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <map>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "buf_reader.hpp"
#include "record.hpp"
#include "source.hpp"

namespace vorn::test {

using Bytes = std::vector<std::uint8_t>;

// Appends little-endian values; records are built from these.
inline void put_u32(Bytes& b, std::uint32_t v) {
  for (int i = 0; i < 4; ++i) b.push_back(std::uint8_t(v >> (8 * i)));
}
inline void put_u64(Bytes& b, std::uint64_t v) {
  for (int i = 0; i < 8; ++i) b.push_back(std::uint8_t(v >> (8 * i)));
}
inline void put_f32(Bytes& b, float v) { put_u32(b, std::bit_cast<std::uint32_t>(v)); }
inline Bytes cat(Bytes a, const Bytes& b) {
  a.insert(a.end(), b.begin(), b.end());
  return a;
}
// Bytes 0, 1, 2, ... modulo 251, so that a misplaced run shows.
inline Bytes pattern(std::size_t n) {
  Bytes b(n);
  for (std::size_t i = 0; i < n; ++i) b[i] = std::uint8_t(i % 251);
  return b;
}

// What the scripted source serves and what it saw; the test keeps a handle
// to it after the BufReader has taken the source.
struct Script {
  Bytes bytes;
  std::uint64_t offset = 0;
  bool size_known = true;   // false: size() says nothing, as for a pipe
  bool seekable = true;     // false: every seek fails with ESPIPE
  bool refuses_past_end = false;  // a seek beyond the bytes fails with EINVAL, as on a device
  std::optional<std::uint64_t> reported_size;  // a size() that lags behind the bytes (/proc)
  bool resume = true;       // what resume_after_interrupt() answers
  int interrupts = 0;       // how often it was asked
  std::size_t chunk = SIZE_MAX;  // most bytes any one read delivers
  std::map<int, std::int64_t> read_plan;  // read call number (from 1) -> byte cap, or -errno
  std::map<int, int> seek_plan;           // seek call number (from 1) -> errno
  int reads = 0;
  int seeks = 0;
  std::vector<std::size_t> requests;  // the length asked of each read
  std::vector<const std::uint8_t*> targets;  // and where its bytes were to go
  bool closed = false;
  // Reads at offsets, as of a regular file, where `reads_at`: they may come
  // from several threads at once, so that they are counted atomically and
  // planned before reading starts.
  bool reads_at = false;
  std::size_t at_chunk = SIZE_MAX;      // most bytes any one read_at delivers
  std::map<int, std::int64_t> at_plan;  // read_at call number (from 1) -> byte cap, or -errno
  std::atomic<int> at_reads = 0;

  void append(const Bytes& more) { bytes.insert(bytes.end(), more.begin(), more.end()); }
  // The next read call fails with `err`.
  void fail_next_read(int err) { read_plan[reads + 1] = -err; }
  std::size_t largest_request() const {
    return requests.empty() ? 0 : *std::max_element(requests.begin(), requests.end());
  }
};

class ScriptedSource final : public Source {
 public:
  explicit ScriptedSource(std::shared_ptr<Script> s, bool reopened = false)
      : s_(std::move(s)), reopened_(reopened) {}
  ~ScriptedSource() override {
    if (!reopened_) s_->closed = true;
  }

  std::int64_t read(std::uint8_t* dst, std::size_t len) override {
    const int call = ++s_->reads;
    s_->requests.push_back(len);
    s_->targets.push_back(dst);
    std::size_t cap = s_->chunk;
    if (auto it = s_->read_plan.find(call); it != s_->read_plan.end()) {
      if (it->second < 0) return it->second;
      cap = std::size_t(it->second);
    }
    const std::uint64_t left = s_->offset < s_->bytes.size() ? s_->bytes.size() - s_->offset : 0;
    const std::size_t n = std::size_t(std::min<std::uint64_t>({len, cap, left}));
    if (n != 0) std::memcpy(dst, s_->bytes.data() + s_->offset, n);
    s_->offset += n;
    return std::int64_t(n);
  }
  int seek(std::uint64_t offset) override {
    const int call = ++s_->seeks;
    if (!s_->seekable) return ESPIPE;
    if (auto it = s_->seek_plan.find(call); it != s_->seek_plan.end()) return it->second;
    if (s_->refuses_past_end && offset > s_->bytes.size()) return EINVAL;
    s_->offset = offset;
    return 0;
  }
  std::optional<std::uint64_t> size() override {
    if (!s_->size_known) return std::nullopt;
    return s_->reported_size ? *s_->reported_size : s_->bytes.size();
  }
  bool resume_after_interrupt() override {
    ++s_->interrupts;
    return s_->resume;
  }
  std::int64_t read_at(std::span<const std::span<std::uint8_t>> parts,
                       std::uint64_t offset) const override {
    if (!s_->reads_at) return Source::read_at(parts, offset);
    std::size_t cap = s_->at_chunk;
    if (auto it = s_->at_plan.find(++s_->at_reads); it != s_->at_plan.end()) {
      if (it->second < 0) return it->second;
      cap = std::size_t(it->second);
    }
    std::size_t total = 0;
    for (std::span<std::uint8_t> part : parts) {
      const std::uint64_t at = offset + total;
      const std::uint64_t left = at < s_->bytes.size() ? s_->bytes.size() - at : 0;
      const std::size_t n = std::size_t(std::min<std::uint64_t>({part.size(), cap - total, left}));
      if (n != 0) std::memcpy(part.data(), s_->bytes.data() + at, n);
      total += n;
      if (n < part.size()) break;
    }
    return std::int64_t(total);
  }
  bool reads_at() const noexcept override { return s_->reads_at; }
  std::unique_ptr<Source> reopened() const noexcept override {
    if (!s_->reads_at) return nullptr;
    return std::make_unique<ScriptedSource>(s_, true);
  }

 private:
  std::shared_ptr<Script> s_;
  bool reopened_;  // made by reopened(): the script's own file stays open
};

inline std::shared_ptr<Script> script_of(Bytes bytes) {
  auto s = std::make_shared<Script>();
  s->bytes = std::move(bytes);
  return s;
}
inline BufReader reader_on(const std::shared_ptr<Script>& s) {
  return BufReader(std::make_unique<ScriptedSource>(s));
}

// The shapes of input a record reader meets.
enum class Shape { regular, trickle, unsized, pipe };
inline const char* shape_name(Shape s) {
  switch (s) {
    case Shape::regular: return "regular";
    case Shape::trickle: return "trickle";
    case Shape::unsized: return "unsized";
    case Shape::pipe: return "pipe";
  }
  return "?";
}
// regular: a file of known length; trickle: the same, handing out 7 bytes per
// read; unsized: seekable, length unknown; pipe: length unknown, no seeking.
inline std::shared_ptr<Script> shaped(Bytes bytes, Shape shape) {
  auto s = script_of(std::move(bytes));
  if (shape == Shape::trickle) s->chunk = 7;
  if (shape == Shape::unsized || shape == Shape::pipe) s->size_known = false;
  if (shape == Shape::pipe) s->seekable = false;
  return s;
}

// A test name for an error number.
inline std::string errno_name(int err) {
  switch (err) {
    case EINTR: return "EINTR";
    case EIO: return "EIO";
    case ENOSPC: return "ENOSPC";
    case EISDIR: return "EISDIR";
    case EAGAIN: return "EAGAIN";
    default: return "errno" + std::to_string(err);
  }
}

// The system's temporary directory.
inline std::string temp_root() {
  const char* dir = std::getenv("TMPDIR");
  return dir && *dir ? dir : "/tmp";
}

// A file in the temporary directory, removed on destruction.
class TempFile {
 public:
  explicit TempFile(const Bytes& bytes = {}) {
    path_ = temp_root() + "/vorn-test-XXXXXX";
    int fd = mkstemp(path_.data());
    EXPECT_GE(fd, 0);
    close(fd);
    append(bytes);
  }
  ~TempFile() { std::remove(path_.c_str()); }
  void append(const Bytes& bytes) {
    std::ofstream out(path_, std::ios::binary | std::ios::app);
    out.write(reinterpret_cast<const char*>(bytes.data()), std::streamsize(bytes.size()));
  }
  const char* path() const { return path_.c_str(); }
  BufReader open() const {
    auto f = open_file(path());
    EXPECT_TRUE(f.ok());
    return BufReader(std::move(f).value());
  }

 private:
  std::string path_;
};

// The process's peak virtual size in bytes (VmPeak), 0 where unknown. A
// reservation of gigabytes shows here even if its pages are never touched.
inline std::uint64_t peak_virtual_bytes() {
  std::ifstream status("/proc/self/status");
  std::string key;
  while (status >> key) {
    if (key == "VmPeak:") {
      std::uint64_t kib = 0;
      status >> kib;
      return kib * 1024;
    }
    status.ignore(1 << 12, '\n');
  }
  return 0;
}
inline constexpr std::uint64_t kBigReservation = std::uint64_t(512) << 20;

// What a record reader's step gave, for messages: "event", "end", "error N".
template <class Event>
std::string outcome(const Step<Event>& step) {
  if (std::holds_alternative<Event>(step)) return "event";
  if (std::holds_alternative<EndOfInput>(step)) return "end";
  return "error " + std::to_string(std::get<IoError>(step).code);
}
template <class Event>
Event expect_event(Step<Event>&& step) {
  EXPECT_EQ(outcome(step), "event");
  if (auto* e = std::get_if<Event>(&step)) return std::move(*e);
  return Event{};
}
template <class Event>
void expect_error(const Step<Event>& step, int code) {
  EXPECT_EQ(outcome(step), "error " + std::to_string(code));
  if (auto* e = std::get_if<IoError>(&step)) EXPECT_EQ(e->kind, IoError::Kind::system);
}
// Steps a reader until it gives something other than an event.
template <class Reader>
auto drain(Reader& reader) {
  using Event = std::remove_cvref_t<decltype(std::get<0>(reader.next()))>;
  std::vector<Event> events;
  for (;;) {
    auto step = reader.next();
    if (auto* e = std::get_if<Event>(&step)) {
      events.push_back(std::move(*e));
    } else {
      return std::pair(std::move(events), outcome(step));
    }
  }
}

// Interrupts the k-th read after `open` with EINTR and a source that says
// stop, for k = 1, 2, ... until a run meets no read to interrupt. Each run
// must report Kind::interrupted once and then, read on, yield every record:
// `check` sees the events of the whole run.
template <class Open, class Check>
void interrupt_each_read(const Bytes& file, Shape shape, Open open, Check check) {
  for (int k = 1;; ++k) {
    SCOPED_TRACE("interrupt at read " + std::to_string(k));
    auto s = shaped(file, shape);
    s->resume = false;
    auto reader = open(s);
    s->read_plan[s->reads + k] = -EINTR;
    std::vector<std::remove_cvref_t<decltype(std::get<0>(reader.next()))>> events;
    int interrupted = 0;
    for (;;) {
      auto step = reader.next();
      if (auto* err = std::get_if<IoError>(&step)) {
        EXPECT_EQ(err->kind, IoError::Kind::interrupted);
        if (++interrupted > 1) break;
      } else if (auto* ev = std::get_if<0>(&step)) {
        events.push_back(std::move(*ev));
      } else {
        break;
      }
    }
    EXPECT_EQ(interrupted, k == 1 ? 1 : interrupted);  // the first read always exists
    EXPECT_LE(interrupted, 1);
    check(events);
    if (interrupted == 0) return;
  }
}

}  // namespace vorn::test
