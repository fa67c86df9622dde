// The texture examination of a decoded entry: the magic test, the package
// test and the sub-file bounds. Every container found must lie inside the
// entry and start with the magic, and reading it with its own length (an
// exact-size copy, as export hands it over) must stay inside it. The
// listing's description of the same content names a kind and never holds a
// tab or a line end, which would break its tab-separated lines.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

#include "archive/format/package.h"
#include "archive/modes/entry_description.h"
#include "textures/container.h"

using namespace linkdata;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::vector<uint8_t> content(data, data + size);
  uint32_t previous = 0;
  bool first = true;
  for (const ContainerSpan& span : find_texture_containers(content.data(), content.size())) {
    if (span.offset > size || span.size > size - span.offset) std::abort();
    if (!has_texture_magic(content.data() + span.offset, span.size)) std::abort();
    if (!first && span.sub_index <= previous) std::abort();  // sub-file order
    previous = span.sub_index;
    first = false;
    const std::vector<uint8_t> copy(content.begin() + std::ptrdiff_t(span.offset),
                                    content.begin() + std::ptrdiff_t(span.offset + span.size));
    for (const TextureDescription& t : read_texture_container(copy.data(), copy.size())) {
      if (t.in_bounds &&
          (t.data_position > copy.size() || t.data_size > copy.size() - t.data_position)) {
        std::abort();
      }
    }
  }
  const EntryDescription d = describe_content(content.data(), content.size());
  if (d.kind.empty()) std::abort();
  for (const std::wstring* text : {&d.kind, &d.textures}) {
    if (text->find_first_of(L"\t\r\n") != std::wstring::npos) std::abort();
  }
  return 0;
}
