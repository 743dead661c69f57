// The sizes at which reads of records change their way, each said once with
// its reason; the walk of decode() and scan() and the pick share them.
#pragma once

#include <cstddef>
#include <cstdint>

namespace vorn {

// Records per scattered read: two parts each, header and block, within the
// 1024 of IOV_MAX.
inline constexpr std::size_t kScatterRecords = 512;

// Reads of this many file bytes or more, in a file read at offsets, run on
// as many threads as there are CPUs to spare (kMaxThreads at most, see
// threads.hpp): the system's copies out of the page cache, and the decoding,
// then run side by side. The walk counts the bytes of a run of records of
// one size; a pick, those of all its extents.
inline constexpr std::uint64_t kPartsFrom = std::uint64_t(1) << 20;

// The threads of a walk take a run's parts in turn: chunks of at most
// kChunkBytes (at least two a thread), or of Stages::kBytes for records with
// short blocks, which go through a stage of the thread's own.
inline constexpr std::uint64_t kChunkBytes = std::uint64_t(1) << 20;
// The threads of a pick take whole runs of adjacent records, each ending
// before kPartBytes; a pick with a longer record is read on one thread.
inline constexpr std::uint64_t kPartBytes = std::uint64_t(64) << 20;

// Blocks from this size on are read straight into their column: one copy out
// of the page cache instead of two, for one more system read per record.
inline constexpr std::uint64_t kDirectBlock = std::uint64_t(64) << 10;
// After such a block, a refill asks for little more than the next header.
inline constexpr std::size_t kHeaderRefill = 512;

// Runs of records whose blocks are this long or longer are read with one
// scattered read, every byte straight into its place, up to kScatterRecords
// records at a time.
inline constexpr std::uint64_t kScatterBlock = 1024;
// Blocks shorter than this are read with their headers in one piece and
// moved into place: the system copies one run faster than many small parts.
inline constexpr std::uint64_t kCompactBlock = 4096;
// A chunk of fewer such records is read scattered after all.
inline constexpr std::uint64_t kCompactLeast = 8;

// A scan of a file that can seek steps over blocks from this size on: a
// refill of the next header costs less than reading such a block through
// (a seek is free, the reader reads by pread at an offset).
inline constexpr std::uint64_t kSeekBlock = 4096;
// Such a scan finds the headers of a run of records of one size where the
// size puts them: kRunPrefix of them one after another, then, for a run of
// kParallelRun records or more, the rest on up to kMaxThreads threads, each
// but the caller's through a file description of its own. A run that breaks
// is not tried again before kRunPrefix more records are taken.
inline constexpr std::uint64_t kRunPrefix = 64;
inline constexpr std::uint64_t kParallelRun = 2048;

}  // namespace vorn
