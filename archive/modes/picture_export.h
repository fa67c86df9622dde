// Export's PNG pictures: the textures of each entry are decoded and encoded
// on every CPU while export goes on with the next entries, and reported in
// entry order once done.
#pragma once

#include <cstddef>
#include <cstdint>
#include <deque>
#include <memory>
#include <string>
#include <vector>

#include "platform/worker_pool.h"
#include "textures/container.h"

namespace linkdata {

enum class PictureWrite { written, failed, too_large, out_of_memory };

// Decodes the top level (`level`, `level_size` bytes) of a texture that
// export writes as DDS, and writes it to `path` as an RGBA PNG carrying
// `note` (picture_note, and the entry's identity for the gallery): written,
// failed, or out_of_memory when memory ran out while it was decoded or
// encoded. Its size must be one picture_size_allowed takes, and the folder
// must exist. On failure no file is left at `path`. Prints nothing.
PictureWrite write_texture_picture(const TextureDescription& t, const uint8_t* level,
                                   size_t level_size, const std::string& note,
                                   const std::wstring& path);

struct PictureJob {
  TextureDescription texture;
  std::vector<uint8_t> level;  // a copy of the top level's bytes
  std::wstring path;
  std::string note;
  PictureWrite result = PictureWrite::failed;  // once run
};

struct PendingPictures {
  TaskGroup group;
  std::deque<PictureJob> jobs;  // a deque: jobs stay in place while they run
  uint64_t weight = 0;
};

struct PictureQueue {
  std::wstring texture_dir;               // where the pictures go, one folder per entry
  std::unique_ptr<PendingPictures> open;  // the entry being exported
  std::deque<std::unique_ptr<PendingPictures>> pending;
  uint64_t weight = 0;  // the memory the pending jobs may take, all told
  uint64_t written = 0;
  bool failed = false;  // a picture could not be written; its message was printed
  // Memory ran out for a picture: the export stops, and says so at the end.
  bool out_of_memory = false;
  WorkerPool pool{helper_threads()};  // last: joined before the jobs go
};

// Queues a picture of every texture of the container that export writes as
// DDS, of those read_texture_container described; the textures' folder is
// made here. Each picture's note ends with `identity`, the entry's
// (gallery_notes.h). `container` is read only during the call.
void queue_pictures(PictureQueue& q, const std::vector<TextureDescription>& textures,
                    const uint8_t* container, uint32_t entry_number, uint32_t sub_index,
                    const std::string& identity);
// Ends the current entry's batch: waits for the oldest batches, printing
// their failures, while more than the memory allowance is queued.
void close_picture_batch(PictureQueue& q);
// Waits for every queued picture.
void finish_pictures(PictureQueue& q);

}  // namespace linkdata
