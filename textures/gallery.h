// The gallery page: one HTML file beside the texture pictures that shows
// every picture under the texture folder, with what a modder needs to find
// a texture and to put an edited picture back.
#pragma once

#include <string>

namespace linkdata {

// (Re)writes <texture_dir>/index.html from every <n>/<sub>_<t>.png found
// under texture_dir, pictures of earlier runs included. import_texture_dir is
// where edited pictures go back, shown with the platform's separator. False
// when the page cannot be written.
bool write_gallery(const std::wstring& texture_dir, const std::wstring& import_texture_dir);

// The page's path for a texture folder.
std::wstring gallery_path(const std::wstring& texture_dir);

}  // namespace linkdata
