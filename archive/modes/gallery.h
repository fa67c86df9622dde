// The gallery page: one HTML file beside the texture pictures that shows
// every picture under the texture folder, with what a modder needs to find
// a texture and to put an edited picture back.
#pragma once

#include <string>
#include <vector>

namespace linkdata {

// (Re)writes <texture_dir>/index.html from every <n>/<sub>_<t>.png found
// under texture_dir, pictures of earlier runs included, their names read as
// import reads them (texture_file_name.h). import_texture_dir is
// where edited pictures go back, shown with the platform's separator. A
// picture's name that is not a regular file is left out and its path added
// to `skipped`. False when the page cannot be written.
bool write_gallery(const std::wstring& texture_dir, const std::wstring& import_texture_dir,
                   std::vector<std::wstring>* skipped);

// The page's path for a texture folder.
std::wstring gallery_path(const std::wstring& texture_dir);

}  // namespace linkdata
