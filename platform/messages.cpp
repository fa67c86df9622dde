#include "platform/messages.h"

#include <cwchar>

namespace linkdata::msg {

std::wstring archive_missing(const std::wstring& archive) {
  return L"文件“" + archive + L"”不存在！\n";
}
std::wstring archive_busy(const std::wstring& archive) {
  return archive + L" 正在被另一个 linkdata 使用，请等它结束后再试！\n";
}
std::wstring journal_rolled_back(const std::wstring& archive) {
  return L"检测到上次导入未完成，已将 " + archive + L" 恢复到导入前的状态。\n";
}
std::wstring journal_rollback_failed(const std::wstring& archive) {
  return L"检测到上次导入未完成，但无法恢复 " + archive + L"！\n";
}
std::wstring journal_restore_rolled_back(const std::wstring& archive) {
  return L"检测到上次还原未完成，已撤销它对 " + archive + L" 写了一半的修改，请再运行一次还原。\n";
}
std::wstring journal_restore_rollback_failed(const std::wstring& archive) {
  return L"检测到上次还原未完成，但无法恢复 " + archive + L"！\n";
}
std::wstring journal_of_other_archive(const std::wstring& journal, const std::wstring& archive) {
  return L"恢复日志 " + journal + L" 不属于现在的 " + archive +
         L"（存档在上次运行中断后被换过），没有做任何修改！\n";
}
std::wstring journal_unchecked(const std::wstring& journal, const std::wstring& archive) {
  return L"恢复日志 " + journal + L" 由旧版本写入，无法确认它属于现在的 " + archive +
         L"，没有做任何修改！\n";
}
std::wstring journal_damaged(const std::wstring& journal, const std::wstring& archive) {
  return L"恢复日志 " + journal + L" 已损坏，而 " + archive +
         L" 已被中断的那次运行改动过，无法恢复，没有做任何修改！\n";
}
std::wstring journal_unclear(const std::wstring& journal, const std::wstring& archive,
                             uint64_t sectors) {
  return L"恢复日志 " + journal + L" 与现在的 " + archive + L" 长度和索引相同，但有 " +
         std::to_wstring(sectors) +
         L" 个扇区既不是中断前的数据也不是那次写入的数据，无法判断存档是中断时写坏的还是后来被换过"
         L"，"
         L"没有做任何修改！请把 " +
         journal + L" 改名为 " + journal + L".kept 保存起来后再运行。\n";
}
std::wstring journal_not_a_file(const std::wstring& journal, const std::wstring& archive) {
  return journal +
         L" 不是 linkdata 写的恢复日志（是链接、文件夹或特殊文件），请把它移走后再运行；" +
         archive + L" 没有做任何修改！\n";
}
std::wstring lock_failed(const std::wstring& archive) {
  return L"无法锁定 " + archive + L"，为免两个 linkdata 同时写入，没有做任何修改！\n";
}
std::wstring no_locks(const std::wstring& archive) {
  return archive + L" 所在的文件系统不支持文件锁，请勿同时运行两个 linkdata。\n";
}

std::wstring exported(const std::wstring& archive, const std::wstring& file) {
  return L"从 " + archive + L" 中导出文件 " + file + L" 成功！\n";
}
std::wstring texture_write_failed(const std::wstring& path) {
  return path + L" 创建贴图文件失败！\n";
}
std::wstring decode_failed(uint64_t entry) {
  return L"解压文件 " + std::to_wstring(entry) + L".data 出错！\n";
}

std::wstring picture_write_failed(const std::wstring& path) {
  return L"写入图片文件 " + path + L" 失败！\n";
}
std::wstring picture_too_large(const std::wstring& path, uint32_t width, uint32_t height) {
  return L"贴图为 " + std::to_wstring(width) + L"x" + std::to_wstring(height) +
         L"，过大，未写出图片 " + path + L"！\n";
}
std::wstring gallery_write_failed(const std::wstring& path) {
  return L"写入贴图一览页 " + path + L" 失败！\n";
}

std::wstring listing_summary(uint64_t entries, uint64_t stored_bytes, uint64_t compressed,
                             uint64_t changed) {
  return L"共 " + std::to_wstring(entries) + L" 个条目，存储大小合计 " +
         std::to_wstring(stored_bytes) + L" 字节，其中压缩 " + std::to_wstring(compressed) +
         L" 个，已修改 " + std::to_wstring(changed) + L" 个\n";
}
std::wstring kind_package(uint64_t sub_files) {
  return L"文件包（" + std::to_wstring(sub_files) + L" 个子文件）";
}
std::wstring kind_other(const std::wstring& first_bytes) { return L"其他" + first_bytes; }

std::wstring imported_compressed(const std::wstring& archive, const std::wstring& file) {
  return L"向 " + archive + L" 中导入压缩文件 " + file + L" 成功！\n";
}
std::wstring imported_plain(const std::wstring& archive, const std::wstring& file) {
  return L"向 " + archive + L" 中导入未压缩文件 " + file + L" 成功！\n";
}
std::wstring appended_plain(const std::wstring& archive, const std::wstring& file) {
  return L"向 " + archive + L" 中添加未压缩文件 " + file + L" 成功！\n";
}
std::wstring imported_texture(const std::wstring& archive, const std::wstring& path) {
  return L"向 " + archive + L" 中导入贴图 " + path + L" 成功！\n";
}
std::wstring texture_entry_appended(const std::wstring& archive, uint32_t entry, uint64_t growth) {
  return L"条目 " + std::to_wstring(entry) + L" 导入贴图后放不下原来的位置，已不压缩追加到 " +
         archive + L" 的末尾，存档增大了 " + std::to_wstring(growth) + L" 字节。\n";
}
std::wstring archive_replaced_originals_set_aside(const std::wstring& archive,
                                                  const std::wstring& set_aside) {
  return archive + L" 在上次导入后被其他程序修改过，旧的原始数据文件已改名为 " + set_aside +
         L"，从现在的状态重新保存原始数据！\n";
}
std::wstring file_open_failed(const std::wstring& file) { return file + L" 文件打开失败！\n"; }
std::wstring file_read_failed(const std::wstring& file) { return file + L" 文件读取出错！\n"; }
std::wstring file_too_large(const std::wstring& file) { return file + L" 文件过大，无法导入！\n"; }
std::wstring entry_number_out_of_range(const std::wstring& file) {
  return file + L" 文件编号超出范围！\n";
}
std::wstring compress_failed(const std::wstring& file) { return file + L" 文件压缩失败！\n"; }
std::wstring texture_not_importable(const std::wstring& path) {
  return path + L" 不是可以导入的 DDS 贴图文件！\n";
}
std::wstring texture_not_in_entry(const std::wstring& path) {
  return path + L" 在条目中找不到对应的贴图，无法导入！\n";
}
std::wstring texture_shape(const std::wstring& format, uint32_t width, uint32_t height,
                           uint32_t levels) {
  return format + L" " + std::to_wstring(width) + L"x" + std::to_wstring(height) + L" " +
         std::to_wstring(levels) + L" 级";
}
std::wstring texture_unlike(const std::wstring& path, const std::wstring& expected,
                            const std::wstring& found) {
  return path + L" 应为 " + expected + L"，此文件为 " + found + L"，无法导入！\n";
}
std::wstring texture_header_cut(const std::wstring& path, const std::wstring& expected) {
  return path + L" 应为 " + expected + L"，此文件的 DDS 文件头不完整，无法导入！\n";
}
std::wstring cube_map_shape(const std::wstring& shape) { return shape + L"的立方体贴图"; }
std::wstring volume_shape(const std::wstring& shape) { return shape + L"的体积贴图"; }
std::wstring texture_array_shape(const std::wstring& shape) { return shape + L"的贴图数组"; }
std::wstring texture_undecodable(const std::wstring& path, const std::wstring& expected,
                                 const std::wstring& found, const std::wstring& format) {
  return path + L" 应为 " + expected + L"，此文件为 " + found + L"，无法导入！请另存为 " + format +
         L" 或 PNG\n";
}
std::wstring texture_format_unsupported(const std::wstring& path, const std::wstring& format) {
  return path + L" 对应的贴图是格式 " + format + L"，本工具不支持这种格式，无法导入！\n";
}
std::wstring texture_levels_made(const std::wstring& path, uint32_t given, uint32_t made) {
  return path + L" 只有 " + std::to_wstring(given) + L" 级，其余 " + std::to_wstring(made) +
         L" 级已自动生成。\n";
}
std::wstring texture_alpha_dropped(const std::wstring& path) {
  return path + L" 没有透明通道，原贴图有透明部分，已按完全不透明导入！\n";
}
std::wstring picture_size_unlike(const std::wstring& path, uint32_t width, uint32_t height,
                                 uint32_t file_width, uint32_t file_height) {
  return path + L" 应为 " + std::to_wstring(width) + L"x" + std::to_wstring(height) +
         L"，此图片为 " + std::to_wstring(file_width) + L"x" + std::to_wstring(file_height) +
         L"，无法导入！\n";
}
std::wstring picture_unreadable(const std::wstring& path, uint32_t width, uint32_t height) {
  return path + L" 应为 " + std::to_wstring(width) + L"x" + std::to_wstring(height) +
         L" 的 PNG 图片，此文件无法读取或已损坏，无法导入！\n";
}
std::wstring picture_of_other_kind(const std::wstring& path, uint32_t width, uint32_t height,
                                   const std::wstring& kind) {
  return path + L" 应为 " + std::to_wstring(width) + L"x" + std::to_wstring(height) +
         L" 的 PNG 图片，此文件是 " + kind + L" 图片，无法导入！请另存为 PNG\n";
}
std::wstring picture_empty(const std::wstring& path, uint32_t width, uint32_t height) {
  return path + L" 应为 " + std::to_wstring(width) + L"x" + std::to_wstring(height) +
         L" 的 PNG 图片，此文件是空的，无法导入！请另存为 PNG\n";
}
std::wstring picture_cut_short(const std::wstring& path, uint32_t width, uint32_t height) {
  return path + L" 应为 " + std::to_wstring(width) + L"x" + std::to_wstring(height) +
         L" 的 PNG 图片，此文件不完整（在结尾前断了），无法导入！请重新另存为 PNG\n";
}
std::wstring texture_given_twice(const std::wstring& png, const std::wstring& dds) {
  return png + L" 和 " + dds + L" 是同一张贴图，只能留下一个，无法导入！\n";
}
std::wstring texture_given_in_several_files(const std::vector<std::wstring>& paths) {
  std::wstring named;
  for (size_t i = 0; i < paths.size(); ++i) {
    if (i > 0) named += i + 1 == paths.size() ? L" 和 " : L"、";
    named += paths[i];
  }
  return named + L" 是同一张贴图，只能留下一个，无法导入！\n";
}

std::wstring originals_unreadable(const std::wstring& originals) {
  return L"原始数据文件 " + originals + L" 无法读取！\n";
}

std::wstring originals_damaged(const std::wstring& originals, const std::wstring& archive,
                               uint64_t offset) {
  return L"原始数据文件 " + originals + L" 从第 " + std::to_wstring(offset) +
         L" 字节起已损坏，无法读回，" + archive + L" 未做任何修改！\n";
}

std::wstring restored_archive(const std::wstring& archive) {
  return L"已将 " + archive + L" 还原到首次导入前的状态！\n";
}
std::wstring restored_entry(const std::wstring& archive, uint64_t entry) {
  return L"已将 " + archive + L" 中的条目 " + std::to_wstring(entry) +
         L" 还原到首次导入前的状态！\n";
}
std::wstring nothing_to_restore(const std::wstring& archive) {
  return archive + L" 没有需要还原的内容！\n";
}
std::wstring archive_replaced_cannot_restore(const std::wstring& archive) {
  return archive + L" 在上次导入后被其他程序修改过，无法还原！\n";
}

std::wstring mod_installed(const std::wstring& archive, const std::wstring& name) {
  return L"已将模组 " + name + L" 安装到 " + archive + L"！\n";
}
std::wstring mod_updated(const std::wstring& archive, const std::wstring& name) {
  return L"已更新 " + archive + L" 中的模组 " + name + L"！\n";
}
std::wstring mod_unchanged(const std::wstring& archive, const std::wstring& name) {
  return L"模组 " + name + L" 已安装在 " + archive + L" 中，文件夹没有变化。\n";
}
std::wstring mod_removed(const std::wstring& archive, const std::wstring& name) {
  return L"已将模组 " + name + L" 从 " + archive + L" 中卸载！\n";
}
std::wstring mod_not_installed(const std::wstring& name) {
  return L"模组 " + name + L" 没有安装在任何 LINKDATA 文件中！\n";
}
std::wstring mod_folder_missing(const std::wstring& folder) {
  return L"模组文件夹 " + folder + L" 不存在！\n";
}
std::wstring mod_name_invalid(const std::wstring& name) {
  return L"模组名称 " + name + L" 无效，只能是 Mods 下的一个文件夹名！\n";
}
std::wstring mod_nothing_to_install(const std::wstring& folder) {
  return L"模组文件夹 " + folder + L" 中没有可以安装的文件！\n";
}
std::wstring mod_file_not_regular(const std::wstring& path) {
  return path + L" 不是普通文件（是链接、文件夹或特殊文件），模组未安装！\n";
}
std::wstring mod_entry_given_twice(const std::vector<std::wstring>& paths) {
  std::wstring joined;
  for (size_t i = 0; i < paths.size(); ++i) {
    if (i > 0) joined += i + 1 == paths.size() ? L" 和 " : L"、";
    joined += paths[i];
  }
  return joined + L" 是同一个条目，只能留下一个，模组未安装！\n";
}
std::wstring mod_conflict_entry(const std::wstring& archive, uint64_t entry,
                                const std::wstring& name, const std::wstring& other) {
  return L"模组 " + name + L" 与 " + other + L" 都替换了 " + archive + L" 的条目 " +
         std::to_wstring(entry) + L"！\n";
}
std::wstring mod_conflict_texture(const std::wstring& archive, uint64_t entry,
                                  const std::wstring& texture, const std::wstring& name,
                                  const std::wstring& other) {
  return L"模组 " + name + L" 与 " + other + L" 都修改了 " + archive + L" 条目 " +
         std::to_wstring(entry) + L" 的贴图 " + texture + L"！\n";
}
std::wstring mod_conflict_whole(const std::wstring& archive, uint64_t entry,
                                const std::wstring& whole, const std::wstring& textures) {
  return L"模组 " + whole + L" 替换了 " + archive + L" 的整个条目 " + std::to_wstring(entry) +
         L"，而 " + textures + L" 修改了其中的贴图！\n";
}
std::wstring mod_conflicts_refused(const std::wstring& name) {
  return L"模组 " + name +
         L" 与已安装的修改有冲突，没有做任何修改；要让它覆盖冲突之处，请用 m ++ " + name + L"。\n";
}
std::wstring mod_shares_entry(const std::wstring& archive, uint64_t entry, const std::wstring& name,
                              const std::wstring& other) {
  return L"模组 " + name + L" 与 " + other + L" 修改了 " + archive + L" 条目 " +
         std::to_wstring(entry) + L" 中不同的贴图，两者都已应用。\n";
}
std::wstring mod_overrides(const std::wstring& archive, uint64_t entry, const std::wstring& name,
                           const std::wstring& other) {
  return L"模组 " + name + L" 在 " + archive + L" 的条目 " + std::to_wstring(entry) +
         L" 上覆盖了 " + other + L"，卸载它后 " + other + L" 的修改会回来。\n";
}
std::wstring mods_record_damaged(const std::wstring& record, const std::wstring& archive) {
  return L"模组记录文件 " + record + L" 已损坏或无法读取，" + archive + L" 未做任何修改！\n";
}
std::wstring mods_set_aside(const std::wstring& archive, const std::wstring& set_aside) {
  return archive + L" 在上次安装模组后被其他程序修改过（例如游戏更新），旧的模组记录已改名为 " +
         set_aside + L"，请重新安装模组！\n";
}
std::wstring mods_pending_settled(const std::wstring& archive) {
  return L"检测到上次模组操作未完成，已把它在 " + archive +
         L" 中改到一半的条目恢复成模组记录里的样子。\n";
}
std::wstring mod_overlap(uint64_t entry, const std::wstring& texture, const std::wstring& other,
                         const std::wstring& winner) {
  std::wstring where = L"条目 " + std::to_wstring(entry);
  if (!texture.empty()) where += L" 贴图 " + texture;
  return where + L" 与 " + other + L" 重叠，" + winner + L" 生效";
}

namespace {
std::wstring tenths(double seconds) {
  wchar_t time[32];
  std::swprintf(time, sizeof time / sizeof time[0], L"%.1f", seconds);
  return time;
}
std::wstring export_tally(uint64_t files, uint64_t textures, uint64_t skipped, double seconds) {
  return L"共写出 " + std::to_wstring(files) + L" 个文件、" + std::to_wstring(textures) +
         L" 个贴图文件，跳过 " + std::to_wstring(skipped) + L" 个格式不支持的贴图，用时 " +
         tenths(seconds) + L" 秒";
}
}  // namespace
std::wstring run_summary(uint64_t files, uint64_t textures, uint64_t skipped, double seconds) {
  return export_tally(files, textures, skipped, seconds) + L"\n";
}
std::wstring run_summary_with_gallery(uint64_t files, uint64_t textures, uint64_t skipped,
                                      double seconds, const std::wstring& page) {
  return export_tally(files, textures, skipped, seconds) + L"，贴图一览页：" + page + L"\n";
}
std::wstring import_summary(uint64_t entries, uint64_t appended, uint64_t textures,
                            double seconds) {
  return L"共改写 " + std::to_wstring(entries) + L" 个条目（其中 " + std::to_wstring(appended) +
         L" 个追加到存档末尾）、导入 " + std::to_wstring(textures) + L" 张贴图，用时 " +
         tenths(seconds) + L" 秒\n";
}

std::wstring originals_damaged_nothing_restored(const std::wstring& originals,
                                                const std::wstring& archive, uint64_t offset) {
  return L"原始数据文件 " + originals + L" 从第 " + std::to_wstring(offset) +
         L" 字节起已损坏，无法读回，" + archive + L" 的所有条目都没有还原！\n";
}

std::wstring folder_is_link(const std::wstring& path) {
  return path + L" 是链接，未写入其中的文件！\n";
}
std::wstring not_regular_file(const std::wstring& path) {
  return path + L" 不是普通文件，已跳过！\n";
}

}  // namespace linkdata::msg
