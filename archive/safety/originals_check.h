// The archive measured against its file of originals: whether it is the one
// the file describes, the original again, or what a restore put back; which
// of its entries an import has changed; and the checksums a fingerprint keeps.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "archive/safety/originals.h"
#include "platform/platform.h"

namespace linkdata {

// Whether the archive is what this tool left after its last write: its
// length, header and index, and the payload of every changed entry, as the
// last seal recorded them. After a run that did not end (a crash), the
// archive's header and index with the saved bytes put back must be the
// original ones.
bool originals_match(Originals& o, platform::File& archive);

// Whether the archive is already the original again wherever the file of
// originals could change it: its length, header and index, and every saved
// stretch. The file then has nothing left to put back.
bool archive_is_original(Originals& o, platform::File& archive);

// After a restore has written the saves back: whether each of them reads back
// from the archive as saved.
bool saves_read_back(platform::File& archive, const std::vector<SavedBytes>& saves);

// For a listing, under the archive's lock: which entries an import has
// changed since the originals began and no restore has put back. Without a
// file of originals every flag is false.
OriginalsLoad changed_entries(const std::wstring& archive_name, platform::File& archive,
                              uint32_t entry_count, std::vector<bool>* changed,
                              uint64_t* damaged_at);

// The crc32 that a fingerprint keeps of a payload.
uint32_t payload_checksum(const uint8_t* data, size_t size);

// The crc32 of the archive's header and index, read in bounded blocks, with
// the saved bytes of `put_back` in place of the archive's where they lie in
// it. False when the index does not lie inside the file.
bool index_checksum(platform::File& archive, Originals* put_back, uint32_t* crc,
                    uint32_t* entry_count = nullptr);

// The crc32 of an entry's payload, as much of it as lies inside the archive's
// `length`.
bool entry_payload_crc(platform::File& archive, uint64_t length, uint32_t entry, uint32_t* crc);

}  // namespace linkdata
