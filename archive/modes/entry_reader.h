// The entries of an archive read on every CPU, a compressed one decoded,
// and handed over in entry order with bounded memory: export, the listing
// and restore read through it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>

#include "archive/format/codec.h"
#include "archive/format/format.h"
#include "archive/modes/open_archive.h"
#include "platform/byte_buffer.h"
#include "platform/platform.h"
#include "platform/whole_file.h"

namespace linkdata {

// Entries start .. end-1.
struct EntryRange {
  uint32_t start = 0;
  uint32_t end = 0;
};

// Export's range: last clamps to the entry count and is inclusive when below
// it; a first beyond last gives the single entry last.
EntryRange clamp_range(uint32_t first, uint32_t last, uint32_t entry_count);

// One entry as the reading pipeline hands it over, in entry order.
struct ReadEntry {
  uint32_t n = 0;
  IndexRecord record;
  bool compressed = false;
  bool index_read = true;    // false: its index record could not be read (nothing follows)
  bool payload_read = true;  // false: its payload could not be read
  ByteBuffer head;           // a plain entry's first bytes, as many as were asked for
  DecodeResult decoded;      // a compressed entry's content
  // Export's file of the entry, as examined where the entry was read.
  TargetState target = TargetState::unknown;
};

// Work on an entry whose whole content is in hand (a plain entry held whole,
// or one decoded in one piece), done on the thread that read it, in any
// order: it may only read, and note what it learned in the entry.
using AfterRead = std::function<void(ReadEntry&)>;

// Reads the entries of the range on every CPU, a compressed one decoded, at
// most `plain_head` bytes of a plain one, and hands each to `finish` on the
// calling thread in entry order. Memory stays bounded as in export, whatever
// the index claims. Stops at the first entry that `finish` refuses (false)
// and returns false then.
bool read_entries(ReadableArchive& archive, EntryRange range, size_t plain_head,
                  const std::function<bool(ReadEntry&)>& finish,
                  const AfterRead& after_read = AfterRead());

// Whether a plain entry read with a head of at least kTextureKindBytes may
// hold textures, by its first bytes: a texture container or a package.
bool plain_may_hold_textures(const ReadEntry& e);

// A plain entry's whole content, to be examined as a decoded one is: the
// head the pipeline read, taken over, and the rest read here, on the calling
// thread, so that memory holds one such entry beyond the read-ahead; bytes
// the file does not hold read as zeros. False when the rest cannot be read.
// Throws std::bad_alloc when memory cannot hold the entry.
bool take_plain_content(ReadableArchive& archive, ReadEntry& e, ByteBuffer* content);

}  // namespace linkdata
