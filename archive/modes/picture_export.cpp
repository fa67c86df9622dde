#include "archive/modes/picture_export.h"

#include "archive/modes/texture_file_name.h"
#include "platform/console.h"
#include "platform/messages.h"
#include "platform/platform.h"
#include "platform/whole_file.h"
#include "platform/working_paths.h"
#include "textures/dds.h"
#include "textures/png_picture.h"
#include "textures/texture_picture.h"
#include "textures/texture_pixels.h"

namespace linkdata {

PictureWrite write_texture_picture(const TextureDescription& t, const uint8_t* level,
                                   size_t level_size, const std::string& note,
                                   const std::wstring& path) {
  std::vector<uint8_t> png;
  const PictureMade made = make_texture_picture(t, level, level_size, note, &png);
  if (made == PictureMade::made) {
    WholeFile file(path, png.size());
    if (file.is_open() && file.write_at(0, png.data(), png.size()) && file.finish()) {
      return PictureWrite::written;
    }
  }
  // A picture that cannot be made or written leaves no file, not even an
  // older one.
  platform::remove_file(path);
  return made == PictureMade::out_of_memory ? PictureWrite::out_of_memory : PictureWrite::failed;
}

namespace {

// Queued pictures may hold this much memory (their copied levels and what
// decoding and encoding them takes) before export waits for the oldest.
constexpr uint64_t kMaxPictureWeight = uint64_t(256) << 20;

// A picture's level copy, its RGBA pixels, stb's filtered rows and the PNG.
uint64_t weight_of(const PictureJob& job) {
  return job.level.size() + uint64_t(job.texture.width) * job.texture.height * 4 * 3;
}

void report_oldest(PictureQueue& q) {
  PendingPictures& batch = *q.pending.front();
  q.pool.wait(batch.group);
  for (const PictureJob& job : batch.jobs) {
    switch (job.result) {
      case PictureWrite::written:
        ++q.written;
        break;
      case PictureWrite::failed:
        say(msg::picture_write_failed(job.path));
        q.failed = true;
        break;
      case PictureWrite::too_large:
        say(msg::picture_too_large(job.path, job.texture.width, job.texture.height));
        break;
      case PictureWrite::out_of_memory:
        q.out_of_memory = true;
        break;
    }
  }
  q.weight -= batch.weight;
  q.pending.pop_front();
}

}  // namespace

void queue_pictures(PictureQueue& q, const std::vector<TextureDescription>& textures,
                    const uint8_t* container, uint32_t entry_number, uint32_t sub_index,
                    const std::string& identity) {
  if (!q.open) q.open = std::make_unique<PendingPictures>();
  PendingPictures& batch = *q.open;
  for (const TextureDescription& t : textures) {
    if (!exported_as_dds(t)) continue;
    PictureJob& job = batch.jobs.emplace_back();
    job.texture = t;
    job.note = picture_note(t) + " " + identity;
    job.path = texture_file_path(q.texture_dir, entry_number, sub_index, t.texture_index,
                                 TextureFileType::png);
    if (!picture_size_allowed(t.width, t.height)) {
      job.result = PictureWrite::too_large;
      continue;
    }
    const uint8_t* level = container + t.data_position;
    job.level.assign(level, level + top_level_bytes(t.format_code, t.width, t.height));
    ensure_directory(entry_texture_dir(q.texture_dir, entry_number));
    batch.weight += weight_of(job);
    q.pool.submit(batch.group, [&job] {
      job.result = write_texture_picture(job.texture, job.level.data(), job.level.size(), job.note,
                                         job.path);
      job.level = std::vector<uint8_t>();
    });
  }
}

void close_picture_batch(PictureQueue& q) {
  if (!q.open) return;
  q.weight += q.open->weight;
  q.pending.push_back(std::move(q.open));
  while (q.weight > kMaxPictureWeight && q.pending.size() > 1) report_oldest(q);
}

void finish_pictures(PictureQueue& q) {
  close_picture_batch(q);
  while (!q.pending.empty()) report_oldest(q);
}

}  // namespace linkdata
