#include "archive/modes/entry_reader.h"

#include <algorithm>
#include <deque>
#include <memory>
#include <new>
#include <vector>

#include "archive/format/entry_content.h"
#include "archive/format/package.h"
#include "platform/byte_buffer.h"
#include "platform/worker_pool.h"

namespace linkdata {
namespace {

// Read-ahead limits: memory stays near this, plus one entry larger than it,
// however large the archive is.
constexpr size_t kMaxEntriesInFlight = 64;
constexpr uint64_t kMaxBytesInFlight = uint64_t(128) << 20;
// Payloads of more chunks than this are inflated in pieces of this many
// chunks (256 KiB of content), so that a lone large entry uses every CPU.
constexpr uint32_t kChunksPerPiece = 8;
// Payload and content buffers go back to a store once their entry is done,
// for the entries after it. What the store keeps counts against the
// read-ahead limit, so memory stays as it was; a buffer larger than this,
// of a rare huge entry, goes back to the system.
constexpr size_t kMaxKeptBuffer = size_t(32) << 20;
constexpr size_t kMaxKeptBytes = size_t(64) << 20;

// An entry on its way through the pipeline, with what its reading holds.
struct InFlight {
  ReadEntry entry;
  uint64_t bytes = 0;  // counted against kMaxBytesInFlight
  ByteBuffer payload;  // a compressed entry's payload while it is decoded
  SplitDecode split;   // pieces, when the payload is decoded in pieces
  TaskGroup group;
};

struct Pipeline {
  Pipeline(ReadableArchive& a, EntryRange range, size_t head, const AfterRead& after)
      : archive(a), next(range.start), end(range.end), plain_head(head), after_read(after) {}
  ReadableArchive& archive;
  uint32_t next;
  uint32_t end;
  size_t plain_head;
  const AfterRead& after_read;
  std::vector<IndexRecord> batch;
  uint32_t batch_base = 0;
  uint64_t bytes = 0;
  // A payload and a content buffer for each thread at work, kept apart since
  // a payload is about half its content: on one CPU the entry being decoded
  // takes over the memory of the one just written, so memory peaks where it
  // did without the stores.
  BufferStore payloads{helper_threads() + 1, kMaxKeptBuffer, kMaxKeptBytes / 2};
  BufferStore contents{helper_threads() + 1, kMaxKeptBuffer, kMaxKeptBytes / 2};
  // Entries stay in place while their tasks run; the pool, declared last, is
  // joined before any entry goes away.
  std::deque<std::unique_ptr<InFlight>> window;
  WorkerPool pool{helper_threads()};
};

// Worker side of an entry: read its bytes, and decode a compressed payload,
// in pieces placed first in the queue so that earlier entries finish first.
// A payload of gigabytes that the file does hold can be more than memory
// allows; the entry then fails like any other that cannot be exported,
// instead of the exception ending the process from a worker thread.
void read_and_decode(Pipeline& p, InFlight& entry_in_flight) {
  ReadEntry& e = entry_in_flight.entry;
  ByteBuffer storage;  // for the content
  try {
    const uint64_t pos = byte_position(e.record, p.archive.header.offset_unit);
    size_t size = bytes_present(p.archive.length, pos, e.record.stored_size);
    if (!e.compressed) {
      size = std::min(size, p.plain_head);
      e.head = p.payloads.take(size);
      e.payload_read = read_present(p.archive.file, pos, size, &e.head);
      if (e.payload_read && e.head.size() == e.record.stored_size && p.after_read) {
        p.after_read(e);
      }
      return;
    }
    entry_in_flight.payload = p.payloads.take(size);
    e.payload_read = read_present(p.archive.file, pos, size, &entry_in_flight.payload);
    if (!e.payload_read) return;
    storage = p.contents.take(e.record.unpacked_size);
    entry_in_flight.split =
        plan_split_decode(entry_in_flight.payload.data(), entry_in_flight.payload.size(),
                          e.record.stored_size, kChunksPerPiece, storage);
  } catch (const std::bad_alloc&) {
    entry_in_flight.payload = ByteBuffer();
    e.head = ByteBuffer();
    entry_in_flight.split = SplitDecode();
    // A plain entry's first block that cannot be held fails as its read does.
    if (!e.compressed) e.payload_read = false;
    e.decoded.status = DecodeStatus::out_of_memory;
    return;
  }
  if (entry_in_flight.split.pieces.empty()) {
    e.decoded = decode_payload(entry_in_flight.payload.data(), entry_in_flight.payload.size(),
                               e.record.stored_size, std::move(storage));
    p.payloads.give(std::move(entry_in_flight.payload));
    if (e.decoded.status == DecodeStatus::ok && p.after_read) p.after_read(e);
    return;
  }
  for (size_t i = entry_in_flight.split.pieces.size(); i-- > 0;) {
    try {
      p.pool.submit_first(entry_in_flight.group,
                          [&entry_in_flight, i] { decode_piece(entry_in_flight.split, i); });
    } catch (const std::bad_alloc&) {
      decode_piece(entry_in_flight.split, i);  // no room to queue it: done here instead
    }
  }
}

// Takes the next entry into the window. False when nothing after it is to
// be read.
bool admit_next(Pipeline& p) {
  auto entry_in_flight = std::make_unique<InFlight>();
  InFlight& s = *entry_in_flight;
  ReadEntry& e = s.entry;
  p.window.push_back(std::move(entry_in_flight));
  e.n = p.next++;
  if (e.n - p.batch_base >= p.batch.size()) {
    p.batch_base = e.n;
    if (!read_index_records(p.archive.file, e.n, std::min(kRecordBatch, p.end - e.n), &p.batch)) {
      e.index_read = false;
      return false;
    }
  }
  e.record = p.batch[e.n - p.batch_base];
  e.compressed = e.record.unpacked_size != 0;
  // The index's sizes stand for what the entry will hold in memory: its
  // payload and, when compressed, its content.
  s.bytes = e.compressed ? uint64_t(e.record.stored_size) + e.record.unpacked_size
                         : std::min<uint64_t>(e.record.stored_size, p.plain_head);
  p.bytes += s.bytes;
  p.pool.submit(s.group, [&p, &s] { read_and_decode(p, s); });
  return true;
}

void fill_window(Pipeline& p) {
  // A single entry always gets in, however large.
  while (p.next < p.end && p.window.size() < kMaxEntriesInFlight &&
         (p.window.empty() ||
          p.bytes + p.payloads.kept_bytes() + p.contents.kept_bytes() < kMaxBytesInFlight)) {
    if (!admit_next(p)) p.next = p.end;
  }
}

bool finish_front(Pipeline& p, const std::function<bool(ReadEntry&)>& finish) {
  InFlight& entry_in_flight = *p.window.front();
  try {
    p.pool.wait(entry_in_flight.group);
  } catch (const std::bad_alloc&) {
    // A piece that could not be decoded: the entry fails as out of memory.
    entry_in_flight.split = SplitDecode();
    entry_in_flight.entry.decoded = DecodeResult{DecodeStatus::out_of_memory, {}};
  }
  if (!entry_in_flight.split.pieces.empty()) {
    try {
      entry_in_flight.entry.decoded = finish_split_decode(entry_in_flight.split);
    } catch (const std::bad_alloc&) {
      entry_in_flight.entry.decoded = DecodeResult{DecodeStatus::out_of_memory, {}};
    }
    p.contents.give(std::move(entry_in_flight.split.content));
    entry_in_flight.split = SplitDecode();
    p.payloads.give(std::move(entry_in_flight.payload));
  }
  const bool ok = finish(entry_in_flight.entry);
  p.payloads.give(std::move(entry_in_flight.entry.head));
  p.payloads.give(std::move(entry_in_flight.payload));
  p.contents.give(std::move(entry_in_flight.entry.decoded.content));
  p.bytes -= entry_in_flight.bytes;
  p.window.pop_front();
  return ok;
}

}  // namespace

bool read_entries(ReadableArchive& archive, EntryRange range, size_t plain_head,
                  const std::function<bool(ReadEntry&)>& finish, const AfterRead& after_read) {
  Pipeline p(archive, range, plain_head, after_read);
  for (;;) {
    fill_window(p);
    if (p.window.empty()) return true;
    if (!finish_front(p, finish)) return false;
  }
}

bool plain_may_hold_textures(const ReadEntry& e) {
  return !e.compressed && may_hold_textures(e.head.data(), e.head.size(), e.record.stored_size);
}

bool take_plain_content(ReadableArchive& archive, ReadEntry& e, ByteBuffer* content) {
  const size_t have = e.head.size();
  *content = std::move(e.head);
  e.head = ByteBuffer();
  if (have == e.record.stored_size) return true;
  content->resize(e.record.stored_size);
  const uint64_t pos = byte_position(e.record, archive.header.offset_unit) + have;
  return read_present(archive.file, pos, content->data() + have, content->size() - have);
}

EntryRange clamp_range(uint32_t first, uint32_t last, uint32_t entry_count) {
  EntryRange range;
  range.end = std::min(last, entry_count);
  range.start = std::min(first, range.end);
  if (range.end < entry_count) ++range.end;
  return range;
}

}  // namespace linkdata
