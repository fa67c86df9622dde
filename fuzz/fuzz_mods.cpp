// The record of mods and mod.txt, both read from files a stranger or a
// damaged disk may have written: any bytes either decode into a record
// that encodes and decodes again to the same record, or are refused; and
// mod.txt's fields shown escaped hold no control character and no
// character that turns the direction of text.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

#include "archive/format/codec.h"
#include "archive/modes/mod_folder.h"
#include "archive/safety/mods_record.h"

using namespace linkdata;

namespace {

void check_shown(const std::string& field) {
  for (wchar_t c : shown_text(field)) {
    const uint32_t cp = uint32_t(c);
    if (cp < 0x20 || cp == 0x7F || (cp >= 0x202A && cp <= 0x202E) ||
        (cp >= 0x2066 && cp <= 0x2069) || (cp >= 0xDC80 && cp <= 0xDCFF)) {
      std::abort();
    }
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const ModInfo info = parse_mod_info(data, size);
  for (const std::string* field : {&info.title, &info.version, &info.author, &info.description}) {
    if (field->size() > kModInfoLimit) std::abort();
    check_shown(*field);
  }
  ModsRecord record;
  ModsRecordKind kind = ModsRecordKind::committed;
  if (!decode_mods_record(data, size, &record, &kind)) return 0;
  // A whole content is decoded as taking the mod out decodes it: within the
  // bytes its payload can decode to, whatever size it claims.
  for (const ModLayer& layer : record.layers) {
    for (const ModEntry& e : layer.entries) {
      if (e.content.empty() || e.content.size() > UINT32_MAX) continue;
      const DecodeResult d =
          decode_payload(e.content.data(), e.content.size(), uint32_t(e.content.size()));
      if (d.status == DecodeStatus::ok && d.content.size() > 1032 * e.content.size() + 65536) {
        std::abort();
      }
    }
  }
  const std::vector<uint8_t> again = encode_mods_record(record, kind);
  ModsRecord back;
  ModsRecordKind back_kind = ModsRecordKind::committed;
  if (!decode_mods_record(again.data(), again.size(), &back, &back_kind) || back_kind != kind ||
      encode_mods_record(back, back_kind) != again) {
    std::abort();
  }
  return 0;
}
