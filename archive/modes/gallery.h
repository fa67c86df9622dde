// The gallery page: one HTML file beside the texture pictures that shows
// every picture under the texture folder, with what a modder needs to find
// a texture and to put an edited picture back.
#pragma once

#include <string>
#include <vector>

#include "archive/modes/work_tree.h"
#include "platform/platform.h"

namespace linkdata {

// (Re)writes the tree's <texture_dir>/index.html from every <n>/<sub>_<t>.png
// found under its texture folder, pictures of earlier runs included, their
// names read as import reads them (texture_file_name.h), and the notes that
// export and import leave beside them (gallery_notes.h): a tile for each
// picture, marked when it is older than the archive's entry, and one for
// each texture left out for its format. Above the tiles, how to put an
// edited picture back under the tree's import folder, shown with the
// platform's separator. A name among them that is not a regular file is left
// out and its path added to `skipped`. False when the page cannot be written.
bool write_gallery(const WorkTree& tree, std::vector<std::wstring>* skipped);

// After a run changed `entries` of the archive (in offset_unit units): the
// identity of each one whose texture folder is there noted in it, read from
// the archive as it is now, and the page rebuilt when there is one, so that
// the pictures those entries had show as older than the archive. Names that
// hold no regular file are added to `skipped`; the notes and the page that
// could not be written to `unwritten`.
void refresh_gallery(const WorkTree& tree, platform::File& archive, uint32_t offset_unit,
                     const std::vector<uint32_t>& entries, std::vector<std::wstring>* skipped,
                     std::vector<std::wstring>* unwritten);

// refresh_gallery for a run that changed `entries` of the letter's archive,
// its failures said. False after a message.
bool refresh_gallery_after_run(const std::wstring& letter, platform::File& archive,
                               uint32_t offset_unit, const std::vector<uint32_t>& entries);

// The page's path for a texture folder.
std::wstring gallery_path(const std::wstring& texture_dir);

}  // namespace linkdata
