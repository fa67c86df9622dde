// The chunked payload layout of compressed entries:
//   u32 total size | { u32 length L | L bytes }* | u32 0
// A chunk whose first byte is 0x78 is a zlib stream inflating to at most
// 65536 bytes; any other non-empty chunk is copied as it is.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <vector>

#include "platform/byte_buffer.h"

namespace linkdata {

constexpr uint32_t kBlockSize = 32768;
constexpr uint32_t kChunkOutputLimit = 65536;
constexpr uint8_t kZlibMarker = 0x78;
constexpr int kCompressionLevel = 9;
constexpr uint32_t kChunkLimit = 10000;

// Number of 32 KiB blocks (chunks) the encoder cuts size source bytes into:
// size / 32768, plus one for a remainder.
uint32_t payload_block_count(uint32_t size);

// Compresses one block of n source bytes (1..32768) as one zlib stream with
// compress2 at level 9 into a destination of compressBound(n) bytes; out ends
// up holding exactly the produced bytes. Independent of every other block, so
// blocks may be compressed on several threads. False (out emptied) on a zlib
// error. The yardstick of the encoder's sizes: what import wrote before it
// had a faster encoder, and what it never writes more than where that counts.
bool compress_block(const uint8_t* src, uint32_t n, std::vector<uint8_t>* out);

// Lays out the payload: total size | { length L | L bytes }* | 0, from the
// compressed blocks in source order. Each block's buffer is released once it
// is copied.
std::vector<uint8_t> assemble_payload(uint32_t source_size,
                                      std::vector<std::vector<uint8_t>> blocks);

enum class EncodeStatus { ok, failed, too_large };

struct EncodeResult {
  EncodeStatus status = EncodeStatus::ok;
  std::vector<uint8_t> payload;  // set only with ok
};

class WorkerPool;

// Encodes size bytes as 32 KiB blocks, each one zlib stream made by the
// build's block encoder (deflate_block_fast), for a payload that is only of
// use within `limit` bytes (UINT64_MAX: any).
// Compression stops as soon as the blocks made so far add up to more. Before
// it gives up (too_large), a payload over the limit by a 32nd at most has its
// blocks compressed with the build's stronger encoder (deflate_block_strong)
// as well, in order, each keeping the smaller stream, until it fits; failing
// that, the same with zlib at level 9 against the fast streams: so a payload
// that compress2 at level 9 would have fitted within the limit always fits.
// Which blocks are made before it stops depends on the threads; the outcome
// does not. Fails on an empty source, more than 10000 blocks, or an encoder
// error. The blocks are compressed on `pool` (nullptr: a pool of
// helper_threads() for this call).
EncodeResult compress_payload_within(const uint8_t* source, uint32_t size, uint64_t limit,
                                     WorkerPool* pool = nullptr);

// out_of_memory: the content is more than this process can hold.
enum class DecodeStatus { ok, zlib_error, length_mismatch, out_of_memory };

struct DecodeResult {
  DecodeStatus status = DecodeStatus::ok;
  ByteBuffer content;  // exactly the total size when ok
};

// Decodes a payload of stored_size bytes of which the first `available` are in
// `payload`; the rest (a payload reaching past the end of the archive) reads
// as zeros. Never reads past stored_size, never allocates more than the
// chunks can decode to. Prints nothing. The content is decoded into
// `storage`'s memory when it has room (its bytes do not matter).
DecodeResult decode_payload(const uint8_t* payload, size_t available, uint32_t stored_size,
                            ByteBuffer storage = ByteBuffer());

// Decoding a large payload on several threads. In a payload laid out as the
// encoder lays it out (every non-empty chunk a zlib stream, each inflating to
// 32768 bytes but the last) every chunk's place in the content is known
// before it is inflated, so runs of chunks ("pieces") can be inflated at the
// same time, each straight into its place. Should a piece's chunks not
// inflate to exactly those sizes, finish_split_decode decodes the payload
// with decode_payload instead, so the outcome, bytes and status, is always
// that of the sequential decoder.
struct DecodePiece {
  uint64_t payload_pos = 0;  // where the walk to the piece's first chunk starts
  uint32_t chunk_count = 0;  // non-empty chunks in the piece
  uint64_t first_chunk = 0;  // index of its first non-empty chunk
  bool ok = false;           // set by decode_piece
};

struct SplitDecode {
  const uint8_t* payload = nullptr;  // borrowed; must outlive the plan's use
  size_t available = 0;
  uint32_t stored_size = 0;
  std::vector<DecodePiece> pieces;  // empty: not split, use decode_payload
  ByteBuffer content;               // total size bytes, filled by the pieces
};

// Cuts a payload into pieces of chunks_per_piece chunks. Gives no pieces when
// the layout is not the encoder's, the payload is not all in memory, or it
// holds no more than one piece; `storage` then keeps its memory, for
// decode_payload. The content goes into `storage`'s memory when it has room.
SplitDecode plan_split_decode(const uint8_t* payload, size_t available, uint32_t stored_size,
                              uint32_t chunks_per_piece, ByteBuffer& storage);

// Inflates one piece. Different pieces of a plan may run at the same time.
void decode_piece(SplitDecode& plan, size_t index);

// The result once every piece has run (falls back to decode_payload).
DecodeResult finish_split_decode(SplitDecode& plan);

}  // namespace linkdata
