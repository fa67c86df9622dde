// A PNG or DDS file put back into a texture, as import does it: byte 0 picks
// the texture (DXT1, DXT5 or A8R8G8B8, see png_import_textures.h; 0 to 2) and
// whether the file is a picture or a DDS file (3 to 5), the rest is the file.
// Whatever the file holds, patching either fails with a message or succeeds,
// and it never changes a byte outside the texture's pixel data; its message
// and the lines it adds name the file.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <new>
#include <string>
#include <vector>

#include "archive/modes/texture_patch.h"
#include "fuzz_memory_cap.h"
#include "fuzz_workdir.h"
#include "png_import_textures.h"
#include "textures/container.h"

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  fuzz_support::enter_workdir();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 1) return 0;
  const uint32_t index = data[0] % 3;
  const bool png = (data[0] / 3) % 2 == 0;
  const char* extension = png ? ".png" : ".dds";
  fuzz_support::write_bytes("0_" + std::to_string(index) + extension, data + 1, size - 1);

  static const std::vector<uint8_t> original = fuzz_support::png_target_container();
  std::vector<uint8_t> content = original;
  linkdata::TextureFile file;
  file.path = L"0_" + std::to_wstring(index) + (png ? L".png" : L".dds");
  file.texture_index = index;
  file.png = png;
  fuzz_support::CappedRun capped;
  std::wstring failure;
  std::vector<std::wstring> notes;
  try {
    failure = linkdata::patch_textures(content.data(), content.size(), {file}, &notes);
  } catch (const std::bad_alloc&) {
    return 0;  // a picture larger than the cap: the run stops with its message
  }

  const linkdata::TextureDescription t =
      linkdata::read_texture_container(original.data(), original.size())[index];
  for (size_t i = 0; i < content.size(); ++i) {
    const bool pixels = i >= t.data_position && i < t.data_position + t.data_size;
    if (!pixels && content[i] != original[i]) std::abort();
  }
  // A failure names the file; success leaves no message.
  if (!failure.empty() && failure.find(file.path) != 0) std::abort();
  for (const std::wstring& note : notes) {
    if (!note.empty() && note.find(file.path) != 0) std::abort();
  }
  return 0;
}
