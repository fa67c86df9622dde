// The payload codec: the chunked layout
//   u32 total size | { u32 length L | L bytes }* | u32 0
// encoded as 32 KiB blocks, one zlib stream each, and decoded chunk by chunk.
#include "archive/format/codec.h"

#include <zlib.h>

#include <algorithm>
#include <atomic>
#include <cstring>
#include <deque>
#include <new>
#include <string>
#include <utility>

#include "archive/format/deflate_block.h"
#include "archive/format/inflate_chunk.h"
#include "platform/little_endian.h"
#include "platform/worker_pool.h"

namespace linkdata {

// ---------------------------------------------------------------------------
// Encoding

uint32_t payload_block_count(uint32_t size) {
  return size / kBlockSize + (size % kBlockSize != 0 ? 1 : 0);
}

bool compress_block(const uint8_t* src, uint32_t n, std::vector<uint8_t>* out) {
  const uLong capacity = compressBound(n);
  out->resize(capacity);
  uLongf length = capacity;
  if (compress2(out->data(), &length, src, n, kCompressionLevel) != Z_OK) {
    std::vector<uint8_t>().swap(*out);
    return false;
  }
  out->resize(length);
  return true;
}

std::vector<uint8_t> assemble_payload(uint32_t source_size,
                                      std::vector<std::vector<uint8_t>> blocks) {
  // 4 (total size) + sum(4 + L) + 4 (terminator). With at most 10000 blocks of
  // at most compressBound(32768) bytes this stays far below 4 GiB.
  size_t payload_size = 4 + 4;
  for (const std::vector<uint8_t>& block : blocks) payload_size += 4 + block.size();

  std::vector<uint8_t> payload(payload_size, 0);
  store_u32le(payload.data(), source_size);
  size_t pos = 4;
  for (std::vector<uint8_t>& block : blocks) {
    store_u32le(payload.data() + pos, uint32_t(block.size()));
    pos += 4;
    if (!block.empty()) std::memcpy(payload.data() + pos, block.data(), block.size());
    pos += block.size();
    std::vector<uint8_t>().swap(block);  // release the block once copied
  }
  // The last 4 bytes stay zero: the terminator.
  return payload;
}

namespace {

// Runs task(i) for every i of [first, first + n), on the pool's threads and
// the calling one. Every block is its own zlib stream, so the blocks compress
// independently and the payload is the same whichever thread made which.
template <typename Task>
void for_blocks(WorkerPool& pool, uint32_t first, uint32_t n, const Task& task) {
  if (pool.helper_count() == 0 || n == 1) {
    for (uint32_t i = first; i < first + n; ++i) task(i);
    return;
  }
  TaskGroup group;
  for (uint32_t i = first; i < first + n; ++i) pool.submit(group, [&task, i] { task(i); });
  pool.wait(group);
}

// Makes blocks first..count-1 on the pool's threads and the calling one, and
// hands each to take(i) on the calling thread in order, once made, until
// take says stop (false). Up to two blocks per thread are queued ahead of the
// one taken next, so that no thread waits for the slowest block of a batch;
// at a stop, those not begun are dropped and those begun are finished before
// it returns (make's captures stay in use until then), so a stop wastes no
// more than the blocks the other threads are making. Blocks from `lead_end`
// on, where a stop is likely, are made only in their turn, on the calling
// thread: the other threads go on with other work instead of blocks that
// would be thrown away.
template <typename Make, typename Take>
void blocks_in_order(WorkerPool& pool, uint32_t first, uint32_t count, uint32_t lead_end,
                     const Make& make, const Take& take) {
  if (pool.helper_count() == 0) {
    for (uint32_t i = first; i < count; ++i) {
      make(i);
      if (!take(i)) return;
    }
    return;
  }
  const size_t ahead = (pool.helper_count() + 1) * 2;
  struct InFlight {
    explicit InFlight(WorkerPool& p) : pool(p) {}
    WorkerPool& pool;
    std::atomic<bool> stopped{false};
    std::deque<TaskGroup> groups;  // a deque keeps each in place as others come and go
    ~InFlight() {
      stopped = true;
      for (TaskGroup& g : groups) {
        try {
          pool.wait(g);
        } catch (...) {  // the block is dropped: the first failure is on its way out
        }
      }
    }
  } in_flight(pool);
  uint32_t next = first;
  const auto submit_next = [&] {
    TaskGroup& g = in_flight.groups.emplace_back();
    const uint32_t i = next++;
    std::atomic<bool>& stopped = in_flight.stopped;
    pool.submit(g, [&make, &stopped, i] {
      if (!stopped.load(std::memory_order_relaxed)) make(i);
    });
  };
  const uint32_t lead = std::min(count, lead_end);
  while (next < lead && in_flight.groups.size() < ahead) submit_next();
  for (uint32_t i = first; i < count; ++i) {
    if (i < next) {
      pool.wait(in_flight.groups.front());
      in_flight.groups.pop_front();
    } else {
      make(i);
      next = i + 1;
    }
    if (!take(i)) return;
    if (next < lead) submit_next();
  }
}

// The fast pass: every block with the build's encoder, stopping once the
// payload's size would pass the limit.
template <typename Encode>
EncodeStatus encode_blocks(uint32_t count, uint64_t limit, WorkerPool& pool, const Encode& encode) {
  // The payload's size so far: its fixed fields plus every block made.
  std::atomic<uint64_t> made{8};
  std::atomic<bool> failed{false};
  std::atomic<bool> too_large{false};
  for_blocks(pool, 0, count, [&](uint32_t i) {
    if (failed.load(std::memory_order_relaxed) || too_large.load(std::memory_order_relaxed)) return;
    const uint64_t length = encode(i);
    if (length == 0) {
      failed = true;
    } else if (made.fetch_add(4 + length) + 4 + length > limit) {
      too_large = true;
    }
  });
  if (failed) return EncodeStatus::failed;
  return too_large ? EncodeStatus::too_large : EncodeStatus::ok;
}

// The blocks of a payload and how to make each one's fast stream.
struct Blocks {
  const uint8_t* source;
  uint32_t size;
  std::vector<std::vector<uint8_t>>& fast;  // empty where not made yet

  uint32_t count() const { return uint32_t(fast.size()); }
  const uint8_t* at(uint32_t i) const { return source + uint64_t(i) * kBlockSize; }
  uint32_t size_of(uint32_t i) const { return std::min(kBlockSize, size - i * kBlockSize); }
  bool make_fast(uint32_t i) const {
    return !fast[i].empty() || deflate_block_fast(at(i), size_of(i), &fast[i]);
  }
  uint32_t missing() const {
    uint32_t n = 0;
    for (const std::vector<uint8_t>& b : fast) n += b.empty() ? 1 : 0;
    return n;
  }
};

// Tries a stronger encoder on the blocks, in order, until the payload fits
// with the first k blocks at their smaller stream (the fast one on a tie) and
// the rest fast (ok, for the least such k, those k blocks swapped in), or
// until the first blocks at their smaller stream alone add up to more than
// the limit (too_large, the fast streams left as they are). The outcome does
// not depend on the threads: which blocks are compressed in which batch does,
// but not the sizes that decide.
template <typename Strong>
EncodeStatus fit_with(const Blocks& blocks, uint64_t limit, WorkerPool& pool,
                      const Strong& encode_strong) {
  const uint32_t count = blocks.count();
  std::atomic<bool> failed{false};
  // Whether the payload fits can be told only once every block's fast stream
  // is known. The fast pass stops about where the limit falls: a payload
  // just over it lacks a few blocks, made here first so that it can fit
  // early; one far over it (a file that grew) lacks many, which the blocks
  // done alone soon tell too large.
  uint32_t missing = blocks.missing();
  if (missing != 0 && missing * 4 <= count) {
    for_blocks(pool, 0, count, [&](uint32_t i) {
      if (!blocks.make_fast(i)) failed = true;
    });
    if (failed) return EncodeStatus::failed;
    missing = 0;
  }
  std::vector<std::vector<uint8_t>>& fast = blocks.fast;
  std::vector<std::vector<uint8_t>> strong(count);  // the stronger streams, made in order
  // Blocks are made in order, so every fast stream is there once the last
  // one missing has been taken; blocks being made past the one taken only
  // read the fast streams there already.
  uint32_t last_missing = 0;
  for (uint32_t i = 0; missing != 0 && i < count; ++i) {
    if (fast[i].empty()) last_missing = i;
  }
  // A payload that the fast pass left unfinished (a file that grew) cannot
  // fit before its last missing block is taken, nor be told too large while
  // the fast streams of the blocks taken, never smaller than what is counted
  // for them, are within the limit: every block up to there is taken for
  // sure, and those after it only in their turn.
  uint32_t lead_end = count;
  if (missing != 0) {
    uint64_t fast_sum = 8;
    uint32_t j = 0;
    for (; j < count && !fast[j].empty(); ++j) {
      fast_sum += 4 + fast[j].size();
      if (fast_sum > limit) break;
    }
    lead_end = std::min(j, last_missing) + 1;
  }
  uint64_t done = 8;   // the fixed fields and the blocks taken, at their smaller stream
  uint64_t whole = 0;  // the payload with every block fast, once known
  uint64_t saved = 0;  // what the first k blocks save at their smaller stream
  uint32_t k = 0;      // the least k not yet ruled out
  EncodeStatus outcome = EncodeStatus::too_large;
  const auto make = [&](uint32_t i) {
    if (failed.load(std::memory_order_relaxed)) return;
    if (!blocks.make_fast(i) || !encode_strong(blocks.at(i), blocks.size_of(i), &strong[i])) {
      failed = true;
    }
  };
  const auto take = [&](uint32_t i) {
    if (failed) {
      outcome = EncodeStatus::failed;
      return false;
    }
    // The payload with the first k blocks at their smaller stream is never
    // smaller than those blocks alone.
    done += 4 + std::min(fast[i].size(), strong[i].size());
    if (done > limit) return false;
    if (missing != 0 && i < last_missing) return true;
    if (whole == 0) {
      whole = 8;
      for (const std::vector<uint8_t>& b : fast) whole += 4 + b.size();
    }
    // The payload's size falls as k grows: the least k that fits is the first.
    for (;; ++k) {
      if (whole - saved <= limit) {
        for (uint32_t j = 0; j < k; ++j) {
          if (strong[j].size() < fast[j].size()) fast[j].swap(strong[j]);
        }
        outcome = EncodeStatus::ok;
        return false;
      }
      if (k == i + 1) return true;
      saved += fast[k].size() - std::min(fast[k].size(), strong[k].size());
    }
  };
  blocks_in_order(pool, 0, count, lead_end, make, take);
  return outcome;
}

// Whether the payload with every block fast passes the limit by a 32nd of it
// at most: as far as the stronger encoder can take it back. The fast streams
// are made in order until their sum tells, so a file that grew far past its
// slot costs no more than the blocks up to about the slot's size.
bool fast_payload_near(const Blocks& blocks, uint64_t limit, WorkerPool& pool, bool* failed) {
  const uint64_t bound = limit + limit / 32;
  std::atomic<bool> broke{false};
  uint64_t whole = 8;
  bool near = true;
  blocks_in_order(
      pool, 0, blocks.count(), blocks.count(),
      [&](uint32_t i) {
        if (!broke.load(std::memory_order_relaxed) && !blocks.make_fast(i)) broke = true;
      },
      [&](uint32_t i) {
        whole += 4 + blocks.fast[i].size();
        near = !broke && whole <= bound;
        return near;
      });
  *failed = broke;
  return near;
}

// The fast payload passes the limit. A payload just over it is first tried
// with the build's stronger encoder, which takes back about twelve times as
// many bytes per second as zlib level 9; where that does not fit, or the
// payload is further over, the blocks are tried with zlib at level 9 as
// before, against the fast streams alone: so a payload fits whenever level
// 9's would, and the outcome does not depend on the threads.
EncodeStatus shrink_to_fit(const uint8_t* source, uint32_t size, uint64_t limit, WorkerPool& pool,
                           std::vector<std::vector<uint8_t>>& fast) {
  const Blocks blocks{source, size, fast};
  bool failed = false;
  if (fast_payload_near(blocks, limit, pool, &failed)) {
    const EncodeStatus status = fit_with(blocks, limit, pool, deflate_block_strong);
    if (status != EncodeStatus::too_large) return status;
  }
  if (failed) return EncodeStatus::failed;
  return fit_with(blocks, limit, pool, compress_block);
}

EncodeResult compress_on(const uint8_t* source, uint32_t size, uint64_t limit, WorkerPool& pool) {
  const uint32_t count = payload_block_count(size);
  std::vector<std::vector<uint8_t>> blocks(count);
  EncodeStatus status = encode_blocks(count, limit, pool, [&](uint32_t i) -> uint64_t {
    const uint32_t n = std::min(kBlockSize, size - i * kBlockSize);
    return deflate_block_fast(source + uint64_t(i) * kBlockSize, n, &blocks[i]) ? blocks[i].size()
                                                                                : 0;
  });
  if (status == EncodeStatus::too_large && !fast_encoder_is_zlib9()) {
    status = shrink_to_fit(source, size, limit, pool, blocks);
  }
  EncodeResult result;
  result.status = status;
  if (status == EncodeStatus::ok) result.payload = assemble_payload(size, std::move(blocks));
  return result;
}

}  // namespace

EncodeResult compress_payload_within(const uint8_t* source, uint32_t size, uint64_t limit,
                                     WorkerPool* pool) {
  EncodeResult result;
  result.status = EncodeStatus::failed;
  if (size == 0) return result;
  const uint32_t count = payload_block_count(size);
  if (count > kChunkLimit) return result;
  if (pool != nullptr) return compress_on(source, size, limit, *pool);
  WorkerPool own(std::min(helper_threads(), count - 1));
  return compress_on(source, size, limit, own);
}

// ---------------------------------------------------------------------------
// Decoding

namespace {

// The payload as the decoder sees it: stored_size bytes, of which the first
// `available` are in memory and the rest read as zero.
struct PayloadView {
  const uint8_t* data;
  uint64_t available;  // never more than stored
  uint64_t stored;

  uint8_t byte_at(uint64_t pos) const { return pos < available ? data[pos] : 0; }

  uint32_t u32_at(uint64_t pos) const {
    if (pos + 4 <= available) return load_u32le(data + pos);
    uint8_t bytes[4];
    for (int i = 0; i < 4; ++i) bytes[i] = byte_at(pos + uint64_t(i));
    return load_u32le(bytes);
  }
};

struct Chunk {
  uint64_t data_pos;  // position of the first data byte
  uint32_t length;    // L > 0
  bool zlib;          // first data byte is 0x78
};

enum class Step { chunk, end, overrun };

// Walks from *pos over empty chunks to the next non-empty one. The walk ends
// at the stored size, where fewer than 4 bytes remain for a length field, and
// at the zero region (pos >= available), whose chunks are all empty. A chunk
// whose data runs past the stored size is an overrun.
Step next_chunk(const PayloadView& view, uint64_t* pos, Chunk* chunk) {
  for (;;) {
    if (*pos >= view.stored) return Step::end;
    if (*pos >= view.available) return Step::end;
    if (view.stored - *pos < 4) return Step::end;
    const uint32_t length = view.u32_at(*pos);
    if (length == 0) {
      *pos += 4;
      continue;
    }
    if (length > view.stored - *pos - 4) return Step::overrun;
    chunk->data_pos = *pos + 4;
    chunk->length = length;
    chunk->zlib = view.byte_at(chunk->data_pos) == kZlibMarker;
    *pos += 4 + uint64_t(length);
    return Step::chunk;
  }
}

// Inflates `have` bytes of src followed by `zeros` zero bytes into dest of
// `capacity` bytes, with the outcome that `uncompress` gives for the same
// concatenated input: success only when the stream ends within capacity.
// Used for a zlib chunk that reaches into the zero region, without building
// the zero-padded copy.
bool inflate_zero_padded(const uint8_t* src, uint64_t have, uint64_t zeros, uint8_t* dest,
                         uint32_t capacity, uint32_t* produced) {
  static const uint8_t kZeros[4096] = {};
  z_stream stream;
  std::memset(&stream, 0, sizeof stream);
  if (inflateInit(&stream) != Z_OK) return false;
  stream.next_in = const_cast<Bytef*>(src);
  stream.avail_in = uInt(have);  // have < L <= 0xFFFFFFFF
  stream.next_out = dest;
  stream.avail_out = capacity;
  int status;
  do {
    if (stream.avail_in == 0 && zeros > 0) {
      const uint64_t n = std::min<uint64_t>(zeros, sizeof kZeros);
      stream.next_in = const_cast<Bytef*>(kZeros);
      stream.avail_in = uInt(n);
      zeros -= n;
    }
    status = inflate(&stream, Z_NO_FLUSH);
  } while (status == Z_OK);
  *produced = uint32_t(stream.total_out);
  inflateEnd(&stream);
  return status == Z_STREAM_END;
}

// Inflates one zlib chunk into dest (capacity bytes), as `uncompress` with a
// destination length of capacity. A chunk whose tail lies in the zero region
// goes to zlib's streaming inflate, which takes the zeros piece by piece: the
// chosen inflater wants the whole input in one buffer, and a zero-padded copy
// could run to 4 GiB.
bool inflate_chunk(const PayloadView& view, const Chunk& chunk, uint8_t* dest, uint32_t capacity,
                   uint32_t* produced) {
  const uint64_t end = chunk.data_pos + chunk.length;
  if (end <= view.available) {
    return inflate_zlib_chunk(view.data + chunk.data_pos, chunk.length, dest, capacity, produced);
  }
  // The first data byte (0x78) is available, the tail lies in the zero region.
  const uint64_t have = view.available - chunk.data_pos;
  return inflate_zero_padded(view.data + chunk.data_pos, have, chunk.length - have, dest, capacity,
                             produced);
}

// Where a decode puts the content: into `output`, grown with the bytes the
// chunks really decode to, so that a total size or a run of tiny chunks
// claiming gigabytes costs no memory until data backs the claim. Growing
// leaves the new bytes unwritten: every byte of a decoded content is written
// by its chunks, and the content of a failed decode is dropped. A "dry" walk
// (no output) only follows the sizes.
struct DecodeTarget {
  ByteBuffer* output = nullptr;  // null: dry
  uint64_t total = 0;
  uint64_t pos = 0;    // content bytes decoded so far, never more than total
  ByteBuffer scratch;  // 65536 bytes, made when first needed

  uint64_t remaining() const { return total - pos; }

  uint8_t* room_for(uint64_t n) {
    if (output->size() < pos + n) output->resize(size_t(pos + n));
    return output->data() + pos;
  }
};

// An upper bound of what the chunks can decode to.
uint64_t decodable_bound(const PayloadView& view) {
  uint64_t bound = 0;
  uint64_t pos = 4;
  Chunk chunk;
  while (next_chunk(view, &pos, &chunk) == Step::chunk) {
    bound += chunk.zlib ? kChunkOutputLimit : chunk.length;
  }
  return bound;
}

// Inflates a zlib chunk into the scratch buffer, whose whole chunk's room
// tells a chunk too long for the total size from a broken one.
DecodeStatus inflate_through_scratch(DecodeTarget& target, const PayloadView& view,
                                     const Chunk& chunk) {
  if (target.scratch.empty()) target.scratch.resize(kChunkOutputLimit);
  uint32_t produced = 0;
  if (!inflate_chunk(view, chunk, target.scratch.data(), kChunkOutputLimit, &produced)) {
    return DecodeStatus::zlib_error;
  }
  if (produced > target.remaining()) return DecodeStatus::length_mismatch;
  if (target.output != nullptr && produced > 0) {
    std::memcpy(target.room_for(produced), target.scratch.data(), produced);
  }
  target.pos += produced;
  return DecodeStatus::ok;
}

// Inflates a zlib chunk straight into the output, with the room left there;
// only a failure short of a whole chunk's room goes through the scratch buffer.
DecodeStatus decode_zlib_chunk(DecodeTarget& target, const PayloadView& view, const Chunk& chunk) {
  const uint32_t room = target.output == nullptr
                            ? 0
                            : uint32_t(std::min<uint64_t>(target.remaining(), kChunkOutputLimit));
  uint32_t produced = 0;
  if (room > 0 && inflate_chunk(view, chunk, target.room_for(room), room, &produced)) {
    target.pos += produced;
    return DecodeStatus::ok;
  }
  if (room == kChunkOutputLimit) return DecodeStatus::zlib_error;
  return inflate_through_scratch(target, view, chunk);
}

DecodeStatus copy_plain_chunk(DecodeTarget& target, const PayloadView& view, const Chunk& chunk) {
  if (chunk.length > target.remaining()) return DecodeStatus::length_mismatch;
  if (target.output != nullptr) {
    uint8_t* dest = target.room_for(chunk.length);
    // Bytes in the zero region are zeros; they are written all the same,
    // since a failed attempt to inflate straight into the output may have
    // left other bytes there.
    const uint64_t n = chunk.data_pos < view.available
                           ? std::min<uint64_t>(chunk.length, view.available - chunk.data_pos)
                           : 0;
    if (n > 0) std::memcpy(dest, view.data + chunk.data_pos, size_t(n));
    std::memset(dest + n, 0, size_t(chunk.length - n));
  }
  target.pos += chunk.length;
  return DecodeStatus::ok;
}

DecodeStatus decode_chunks(const PayloadView& view, DecodeTarget& target) {
  uint64_t pos = 4;
  Chunk chunk;
  for (;;) {
    switch (next_chunk(view, &pos, &chunk)) {
      case Step::end:
        return DecodeStatus::ok;
      case Step::overrun:
        return DecodeStatus::length_mismatch;
      case Step::chunk:
        break;
    }
    const DecodeStatus status =
        chunk.zlib ? decode_zlib_chunk(target, view, chunk) : copy_plain_chunk(target, view, chunk);
    if (status != DecodeStatus::ok) return status;
  }
}

DecodeResult decode_growing(const uint8_t* payload, size_t available, uint32_t stored_size,
                            ByteBuffer& output) {
  if (stored_size < 4) return {DecodeStatus::length_mismatch, {}};  // no room for the total size
  const PayloadView view{payload, std::min<uint64_t>(available, stored_size), stored_size};
  const uint32_t total = view.u32_at(0);
  // When the total size is out of reach the walk still runs, dry, so that a
  // zlib failure on the way is reported as a plain walk over the chunks would
  // report it; it cannot end in anything but a zlib error or a length mismatch.
  const bool dry = total > decodable_bound(view);
  output.clear();
  // Deflate expands at most 1032 to 1, so for a payload in its right layout
  // this reserves the total size once.
  if (!dry) {
    output.reserve(size_t(std::min<uint64_t>(total, view.available * 1032 + kChunkOutputLimit)));
  }
  DecodeTarget target;
  target.output = dry ? nullptr : &output;
  target.total = total;
  DecodeStatus status = decode_chunks(view, target);
  if (status == DecodeStatus::ok && (dry || target.pos != total)) {
    status = DecodeStatus::length_mismatch;
  }
  if (status != DecodeStatus::ok) return {status, {}};
  return {DecodeStatus::ok, std::move(output)};
}

}  // namespace

DecodeResult decode_payload(const uint8_t* payload, size_t available, uint32_t stored_size,
                            ByteBuffer storage) {
  try {
    return decode_growing(payload, available, stored_size, storage);
  } catch (const std::bad_alloc&) {
    // Content the file does back (a plain chunk reaching far into the zero
    // region, a genuinely huge entry) that memory cannot hold.
    DecodeResult result;
    result.status = DecodeStatus::out_of_memory;
    return result;
  }
}

// ---------------------------------------------------------------------------
// Decoding in pieces

SplitDecode plan_split_decode(const uint8_t* payload, size_t available, uint32_t stored_size,
                              uint32_t chunks_per_piece, ByteBuffer& storage) {
  SplitDecode plan;
  plan.payload = payload;
  plan.available = available;
  plan.stored_size = stored_size;
  if (stored_size < 4 || available < stored_size || chunks_per_piece == 0) return plan;
  const PayloadView view{payload, stored_size, stored_size};
  const uint32_t total = view.u32_at(0);
  // Deflate expands at most 1032 to 1, so a larger total is a claim that no
  // data backs; the sequential decoder fails it without allocating it.
  if (total > uint64_t(stored_size) * 1032) return plan;
  const uint64_t expected = payload_block_count(total);
  if (expected <= chunks_per_piece) return plan;

  std::vector<DecodePiece> pieces;
  uint64_t pos = 4;
  uint64_t found = 0;
  Chunk chunk;
  for (;;) {
    const uint64_t before = pos;
    const Step step = next_chunk(view, &pos, &chunk);
    if (step == Step::end) break;
    if (step == Step::overrun || !chunk.zlib || found == expected) return plan;
    if (found % chunks_per_piece == 0) pieces.push_back(DecodePiece{before, 0, found, false});
    ++pieces.back().chunk_count;
    ++found;
  }
  if (found != expected) return plan;
  // Left unwritten here: the pieces write every byte, or the plan falls back.
  storage.clear();
  try {
    storage.resize(total);
  } catch (const std::bad_alloc&) {
    return plan;  // decode_payload, which grows with the data, takes over
  }
  plan.content = std::move(storage);
  plan.pieces = std::move(pieces);
  return plan;
}

void decode_piece(SplitDecode& plan, size_t index) {
  DecodePiece& piece = plan.pieces[index];
  const PayloadView view{plan.payload, plan.stored_size, plan.stored_size};
  const uint64_t total = plan.content.size();
  uint64_t pos = piece.payload_pos;
  Chunk chunk;
  for (uint32_t k = 0; k < piece.chunk_count; ++k) {
    if (next_chunk(view, &pos, &chunk) != Step::chunk) return;
    const uint64_t out = (piece.first_chunk + k) * kBlockSize;
    const uint32_t want = uint32_t(std::min<uint64_t>(kBlockSize, total - out));
    uint32_t produced = 0;
    if (!inflate_chunk(view, chunk, plan.content.data() + out, want, &produced) ||
        produced != want) {
      return;
    }
  }
  piece.ok = true;
}

DecodeResult finish_split_decode(SplitDecode& plan) {
  const bool all_ok = std::all_of(plan.pieces.begin(), plan.pieces.end(),
                                  [](const DecodePiece& p) { return p.ok; });
  if (all_ok && !plan.pieces.empty()) {
    DecodeResult result;
    result.content = std::move(plan.content);
    return result;
  }
  return decode_payload(plan.payload, plan.available, plan.stored_size, std::move(plan.content));
}

}  // namespace linkdata
