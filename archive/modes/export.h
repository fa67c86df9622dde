#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>

#include "archive/format/codec.h"
#include "archive/format/format.h"
#include "platform/byte_buffer.h"
#include "platform/platform.h"

namespace linkdata {

// What export writes of the textures it finds: DDS files (the y flag), PNG
// pictures with the gallery page (the p flag), or both.
struct TextureOutput {
  bool dds = false;
  bool pictures = false;
};

// Exports entries first..last (clamped to the index) of the archive into
// Extracted/<letter>/<n>.data, with the texture files asked for. Returns
// false when a failure message was printed. On a console it ends with a
// summary line.
bool run_export(int32_t first, int32_t last, TextureOutput textures,
                const std::wstring& archive_name, const std::wstring& letter);
// The same with DDS files when with_textures is set.
bool run_export(int32_t first, int32_t last, bool with_textures, const std::wstring& archive_name,
                const std::wstring& letter);

// The reading side of export, which the listing shares.

struct ReadableArchive {
  platform::File file;
  ArchiveHeader header;
  uint64_t length = 0;
};

// Opens an archive as export does: it must exist, a commit that an earlier
// import left unfinished is undone, then it is opened for reading and its
// header is checked. `before_open` runs between the undo and the opening.
// False after export's message.
bool open_archive_to_read(const std::wstring& archive_name,
                          const std::function<void()>& before_open, ReadableArchive* out);

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
};

// Reads the entries of the range on every CPU, a compressed one decoded, at
// most `plain_head` bytes of a plain one, and hands each to `finish` on the
// calling thread in entry order. Memory stays bounded as in export, whatever
// the index claims. Stops at the first entry that `finish` refuses (false)
// and returns false then.
bool read_entries(ReadableArchive& archive, EntryRange range, size_t plain_head,
                  const std::function<bool(ReadEntry&)>& finish);

}  // namespace linkdata
