#include "archive/safety/archive_writer.h"

#include <utility>

#include "archive/format/format.h"
#include "platform/messages.h"
#include "platform/working_paths.h"

namespace linkdata {

ArchiveWriter::ArchiveWriter(platform::File& archive, Originals& originals,
                             const std::wstring& archive_name, OriginalsUse use)
    : archive_(archive), originals_(originals) {
  journal_.path = journal_path(archive_name);
  journal_.operation =
      use == OriginalsUse::put_back ? JournalOperation::restore : JournalOperation::import;
  if (use == OriginalsUse::save_first_touches) {
    groups_.set_before_group(
        [this](platform::File&, const Group& g) { return save_first_touches(g); });
  }
}

bool ArchiveWriter::begin() {
  if (begun_) return true;
  if (!originals_.begin_run(archive_, first_records_)) return false;
  begun_ = true;
  return true;
}

// Rule 2, on the thread that writes the group.
std::wstring ArchiveWriter::save_first_touches(const Group& g) {
  if (!begin()) return msg::kOriginalsWriteFailed;
  for (size_t e = 0; e < g.entries.size(); ++e) {
    for (const PendingWrite& w : writes_of(g, e)) {
      if (!originals_.save(archive_, g.entries[e].entry, w.position, w.bytes.size())) {
        return msg::kOriginalsWriteFailed;
      }
    }
  }
  return originals_.flush() ? L"" : msg::kOriginalsWriteFailed;
}

void ArchiveWriter::write_in_place(uint32_t entry, PendingWrite record, PendingWrite data,
                                   std::vector<std::wstring> lines) {
  Group& g = groups_.pending();
  g.entries.push_back({g.writes.size(), std::move(lines), entry});
  g.writes.push_back(std::move(record));
  if (!data.bytes.empty()) {
    g.bytes += data.bytes.size();
    g.writes.push_back(std::move(data));
  }
}

bool ArchiveWriter::append_plain(uint32_t entry, const std::vector<uint8_t>& padded, uint32_t size,
                                 std::vector<std::wstring> lines) {
  uint64_t length = 0;
  if (!archive_.size(&length)) return false;
  const uint64_t aligned = round_up_to_write_unit(length);
  if (!archive_.extend_to(aligned) || !archive_.write_at(aligned, padded.data(), padded.size())) {
    archive_.extend_to(length);
    return false;
  }
  Group& g = groups_.pending();
  g.entries.push_back({g.writes.size(), std::move(lines), entry});
  PendingWrite record{record_position(entry), std::vector<uint8_t>(kRecordSize)};
  encode_record(IndexRecord{aligned / kWriteUnit, size, 0}, record.bytes.data());
  g.writes.push_back(std::move(record));
  // The group forces the data to disk before its journal is saved.
  g.unflushed = true;
  return true;
}

bool ArchiveWriter::cut_to(uint64_t length) {
  return archive_.extend_to(length) && archive_.flush_to_disk();
}

bool ArchiveWriter::seal(const std::vector<uint32_t>& written,
                         const std::map<uint32_t, uint32_t>& known) {
  // A journal left behind rolls its commit back on the next run, which then
  // finds the archive as no seal describes it.
  if (!begun_ || path_exists(journal_.path)) return true;
  return originals_.seal(archive_, written, known);
}

}  // namespace linkdata
