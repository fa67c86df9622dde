// The payload decoder on arbitrary bytes, and the encoder on the same bytes:
// whatever the decoder is given it must neither crash nor read past the
// stored size, and whatever the encoder makes the decoder must give back.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <vector>

#include "archive/format/codec.h"
#include "platform/little_endian.h"

using namespace linkdata;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  // An exact-size heap copy, so that a read one byte past the payload is seen.
  const std::vector<uint8_t> payload(data, data + size);
  const uint32_t stored = uint32_t(size);

  DecodeResult whole = decode_payload(payload.data(), payload.size(), stored);
  if (whole.status == DecodeStatus::ok) {
    if (size < 4 || whole.content.size() != load_u32le(payload.data())) std::abort();
  } else if (!whole.content.empty()) {
    std::abort();  // a failed decode hands back no bytes
  }

  // The same stored size with only part of it in memory (a payload that runs
  // past the end of the archive): the missing bytes read as zeros, so the
  // outcome must equal decoding a zero-padded copy.
  if (size >= 1) {
    const size_t available = size_t(data[0]) % size;
    std::vector<uint8_t> padded(payload.begin(), payload.begin() + std::ptrdiff_t(available));
    padded.resize(size, 0);
    const std::vector<uint8_t> head(padded.begin(), padded.begin() + std::ptrdiff_t(available));
    DecodeResult cut = decode_payload(head.data(), head.size(), stored);
    DecodeResult full = decode_payload(padded.data(), padded.size(), stored);
    if (cut.status != full.status || cut.content != full.content) std::abort();
  }

  if (size > 0) {
    const EncodeResult encoded = compress_payload_within(data, stored, UINT64_MAX);
    if (encoded.status != EncodeStatus::ok) std::abort();
    const std::vector<uint8_t>& bytes = encoded.payload;
    DecodeResult back = decode_payload(bytes.data(), bytes.size(), uint32_t(bytes.size()));
    if (back.status != DecodeStatus::ok ||
        !std::equal(back.content.begin(), back.content.end(), payload.begin(), payload.end())) {
      std::abort();
    }
  }
  return 0;
}
