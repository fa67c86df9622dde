#include "archive/safety/side_files.h"

#include <zlib.h>

#include <algorithm>

namespace linkdata {

uint32_t crc_of(uint32_t crc, const uint8_t* data, size_t n) {
  while (n > 0) {
    const uInt piece = uInt(std::min<size_t>(n, 1u << 30));
    crc = uint32_t(crc32(crc, data, piece));
    data += piece;
    n -= piece;
  }
  return crc;
}

bool read_exactly(platform::File& file, uint64_t pos, uint8_t* buf, size_t n) {
  size_t got = 0;
  return file.read_at(pos, buf, n, &got) && got == n;
}

std::wstring folder_of(const std::wstring& path) {
  const size_t cut = path.find_last_of(platform::path_separator);
  return cut == std::wstring::npos ? L"." : path.substr(0, cut);
}

}  // namespace linkdata
