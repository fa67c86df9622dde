// Every text the tool prints, in one place: the messages of each mode and the
// words of the listing. The usage banner alone stays with the command line,
// which prints it whole. Texts with parts filled in are functions, so that each
// text still reads whole here. A message that ends a line ends in "\n".
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace linkdata::msg {

// Argument errors, each followed by the key-press prompt on a terminal.
inline constexpr const wchar_t* kTooFewArguments = L"参数不足！\n";
inline constexpr const wchar_t* kBadArchiveLetter = L"文件编号错误！\n";
inline constexpr const wchar_t* kBadEntryNumber = L"参数 2 错误！\n";
inline constexpr const wchar_t* kPressAnyKey = L"请按任意键继续. . .";

// Opening and reading an archive, in every mode.
std::wstring archive_missing(const std::wstring& archive);
inline constexpr const wchar_t* kArchiveOpenFailed = L"打开文件失败！\n";
inline constexpr const wchar_t* kArchiveReadFailed = L"读取文件出错！\n";
inline constexpr const wchar_t* kArchiveFormatWrong = L"LINKDATA 文件格式错误！\n";
std::wstring archive_busy(const std::wstring& archive);
std::wstring journal_rolled_back(const std::wstring& archive);
std::wstring journal_rollback_failed(const std::wstring& archive);
std::wstring journal_restore_rolled_back(const std::wstring& archive);
std::wstring journal_restore_rollback_failed(const std::wstring& archive);
std::wstring journal_of_other_archive(const std::wstring& journal, const std::wstring& archive);
std::wstring journal_unchecked(const std::wstring& journal, const std::wstring& archive);
std::wstring journal_damaged(const std::wstring& journal, const std::wstring& archive);
std::wstring journal_unclear(const std::wstring& journal, const std::wstring& archive,
                             uint64_t sectors);
std::wstring journal_not_a_file(const std::wstring& journal, const std::wstring& archive);
std::wstring lock_failed(const std::wstring& archive);
std::wstring no_locks(const std::wstring& archive);
inline constexpr const wchar_t* kOutOfMemory = L"内存不足，运行已停止！\n";

// Export. The length message stands before the decode failure on its line.
std::wstring exported(const std::wstring& archive, const std::wstring& file);
inline constexpr const wchar_t* kDecodedLengthWrong = L"解压后的数据长度出错！";
std::wstring decode_failed(uint64_t entry);
inline constexpr const wchar_t* kFileCreateFailed = L"创建文件失败！\n";
inline constexpr const wchar_t* kFileWriteFailed = L"写入文件失败！\n";
inline constexpr const wchar_t* kExportInterrupted = L"导出被中断！\n";
std::wstring texture_write_failed(const std::wstring& path);
// PNG pictures of textures (the p flag) and their gallery page.
std::wstring picture_write_failed(const std::wstring& path);
std::wstring picture_too_large(const std::wstring& path, uint32_t width, uint32_t height);
std::wstring gallery_write_failed(const std::wstring& path);
// A link where a folder the tool writes into should be: nothing goes there.
std::wstring folder_is_link(const std::wstring& path);
// A name the tool would read that is not a regular file (a FIFO, a device,
// a link): skipped.
std::wstring not_regular_file(const std::wstring& path);

// The listing: column titles, the console's summary line, and what an entry holds.
inline constexpr const wchar_t* kNumberTitle = L"编号";
inline constexpr const wchar_t* kPositionTitle = L"位置";
inline constexpr const wchar_t* kStoredTitle = L"存储大小";
inline constexpr const wchar_t* kContentTitle = L"内容大小";
inline constexpr const wchar_t* kCompressedTitle = L"压缩";
inline constexpr const wchar_t* kChangedTitle = L"已修改";
inline constexpr const wchar_t* kKindTitle = L"类型";
inline constexpr const wchar_t* kTexturesTitle = L"贴图";
std::wstring listing_summary(uint64_t entries, uint64_t stored_bytes, uint64_t compressed,
                             uint64_t changed);
inline constexpr const wchar_t* kKindTextureContainer = L"贴图容器";
std::wstring kind_package(uint64_t sub_files);
// first_bytes: a space, then the bytes in quotes or in hex; empty for no bytes.
std::wstring kind_other(const std::wstring& first_bytes);
inline constexpr const wchar_t* kKindReadFailed = L"出错：读取出错";
inline constexpr const wchar_t* kKindDecodeFailed = L"出错：解压出错";
inline constexpr const wchar_t* kKindLengthWrong = L"出错：解压后的数据长度出错";
inline constexpr const wchar_t* kKindOutOfMemory = L"出错：内存不足";
inline constexpr const wchar_t* kTextureOutOfBounds = L" 数据越界";
inline constexpr const wchar_t* kTexturesCut = L"; ……";

// Import: one line per written loose file and per texture.
std::wstring imported_compressed(const std::wstring& archive, const std::wstring& file);
std::wstring imported_plain(const std::wstring& archive, const std::wstring& file);
std::wstring appended_plain(const std::wstring& archive, const std::wstring& file);
std::wstring imported_texture(const std::wstring& archive, const std::wstring& path);
// An entry without a loose file whose textures made it outgrow its slot:
// appended plain, the archive `growth` bytes longer.
std::wstring texture_entry_appended(const std::wstring& archive, uint32_t entry, uint64_t growth);
inline constexpr const wchar_t* kImportFolderMissing = L"导入目录不存在！\n";
inline constexpr const wchar_t* kNothingToImport = L"未找到可以导入的文件！\n";
inline constexpr const wchar_t* kOffsetUnitNot2048 =
    L"LINKDATA 文件的偏移单位不是 2048，无法导入！\n";
inline constexpr const wchar_t* kIndexPastEnd = L"LINKDATA 文件的索引超出了文件末尾，无法导入！\n";
inline constexpr const wchar_t* kImportInterrupted = L"导入被中断！\n";
inline constexpr const wchar_t* kJournalWriteFailed = L"写入恢复日志失败！\n";
std::wstring archive_replaced_originals_set_aside(const std::wstring& archive,
                                                  const std::wstring& set_aside);
// A loose file (by name) or a DDS file (by path) that cannot be taken.
std::wstring file_open_failed(const std::wstring& file);
std::wstring file_read_failed(const std::wstring& file);
std::wstring file_too_large(const std::wstring& file);
std::wstring entry_number_out_of_range(const std::wstring& file);
std::wstring compress_failed(const std::wstring& file);
std::wstring texture_not_importable(const std::wstring& path);
std::wstring texture_not_in_entry(const std::wstring& path);
// A texture or a texture file as refusals describe it: "DXT5 128x128 8 级".
std::wstring texture_shape(const std::wstring& format, uint32_t width, uint32_t height,
                           uint32_t levels);
// A DDS file of another format, size or fewer levels than the texture.
std::wstring texture_unlike(const std::wstring& path, const std::wstring& expected,
                            const std::wstring& found);
std::wstring texture_header_cut(const std::wstring& path, const std::wstring& expected);
// A DDS file that holds several textures, as refusals describe it: a shape
// ("DXT5 128x128 8 级") of a cube map, a volume or an array.
std::wstring cube_map_shape(const std::wstring& shape);
std::wstring volume_shape(const std::wstring& shape);
std::wstring texture_array_shape(const std::wstring& shape);
// A DDS file in a layout that import cannot decode (BC7, floating point, a
// cube map, ...), with the texture's own format to save it as instead.
std::wstring texture_undecodable(const std::wstring& path, const std::wstring& expected,
                                 const std::wstring& found, const std::wstring& format);
// A texture whose format export does not write, and import cannot either.
std::wstring texture_format_unsupported(const std::wstring& path, const std::wstring& format);
// A DDS file of the texture's format that holds fewer levels than it: the
// others were made from the file's last one.
std::wstring texture_levels_made(const std::wstring& path, uint32_t given, uint32_t made);
// A picture or DDS file without alpha, imported into a texture whose top
// level is not fully opaque: it is now.
std::wstring texture_alpha_dropped(const std::wstring& path);
// A PNG file of another size than the texture's top level.
std::wstring picture_size_unlike(const std::wstring& path, uint32_t width, uint32_t height,
                                 uint32_t file_width, uint32_t file_height);
std::wstring picture_unreadable(const std::wstring& path, uint32_t width, uint32_t height);
// A file under a .png name that is another kind of picture ("JPEG"), empty,
// or a PNG file cut short.
std::wstring picture_of_other_kind(const std::wstring& path, uint32_t width, uint32_t height,
                                   const std::wstring& kind);
std::wstring picture_empty(const std::wstring& path, uint32_t width, uint32_t height);
std::wstring picture_cut_short(const std::wstring& path, uint32_t width, uint32_t height);
std::wstring texture_given_twice(const std::wstring& png, const std::wstring& dds);
// Two or more files, in the order given, that name one texture: the same
// words as a picture beside a DDS file ("A、B 和 C").
std::wstring texture_given_in_several_files(const std::vector<std::wstring>& paths);

// Import and restore, which write the archive and the file of originals.
inline constexpr const wchar_t* kArchiveNotWritable = L"打开 LINKDATA 文件失败！\n";
inline constexpr const wchar_t* kArchiveWriteFailed = L"写入 LINKDATA 文件失败！\n";
std::wstring originals_unreadable(const std::wstring& originals);
inline constexpr const wchar_t* kOriginalsWriteFailed = L"写入原始数据文件失败！\n";
// A file of originals with a byte that does not read back, from where it
// fails: from import and the listing, which then change nothing.
std::wstring originals_damaged(const std::wstring& originals, const std::wstring& archive,
                               uint64_t offset);

// Restore.
std::wstring restored_archive(const std::wstring& archive);
std::wstring restored_entry(const std::wstring& archive, uint64_t entry);
std::wstring nothing_to_restore(const std::wstring& archive);
std::wstring archive_replaced_cannot_restore(const std::wstring& archive);
std::wstring originals_damaged_nothing_restored(const std::wstring& originals,
                                                const std::wstring& archive, uint64_t offset);

// Mods (mode m): installing, updating, taking out, and their listing.
std::wstring mod_installed(const std::wstring& archive, const std::wstring& name);
std::wstring mod_updated(const std::wstring& archive, const std::wstring& name);
std::wstring mod_unchanged(const std::wstring& archive, const std::wstring& name);
std::wstring mod_removed(const std::wstring& archive, const std::wstring& name);
std::wstring mod_not_installed(const std::wstring& name);
std::wstring mod_folder_missing(const std::wstring& folder);
std::wstring mod_name_invalid(const std::wstring& name);
std::wstring mod_nothing_to_install(const std::wstring& folder);
std::wstring mod_file_not_regular(const std::wstring& path);
// Two or more loose files of a mod, in name order, for one entry.
std::wstring mod_entry_given_twice(const std::vector<std::wstring>& paths);
std::wstring mod_conflict_entry(const std::wstring& archive, uint64_t entry,
                                const std::wstring& name, const std::wstring& other);
std::wstring mod_conflict_texture(const std::wstring& archive, uint64_t entry,
                                  const std::wstring& texture, const std::wstring& name,
                                  const std::wstring& other);
std::wstring mod_conflict_whole(const std::wstring& archive, uint64_t entry,
                                const std::wstring& whole, const std::wstring& textures);
std::wstring mod_conflicts_refused(const std::wstring& name);
std::wstring mod_shares_entry(const std::wstring& archive, uint64_t entry, const std::wstring& name,
                              const std::wstring& other);
std::wstring mod_overrides(const std::wstring& archive, uint64_t entry, const std::wstring& name,
                           const std::wstring& other);
std::wstring mods_record_damaged(const std::wstring& record, const std::wstring& archive);
inline constexpr const wchar_t* kModsRecordWriteFailed = L"写入模组记录文件失败！\n";
std::wstring mods_set_aside(const std::wstring& archive, const std::wstring& set_aside);
std::wstring mods_pending_settled(const std::wstring& archive);
// The player's own plain imports, where a mod's name would stand.
inline constexpr const wchar_t* kOwnImports = L"玩家自己的导入";
inline constexpr const wchar_t* kModTitle = L"模组";
inline constexpr const wchar_t* kModArchiveTitle = L"文件";
inline constexpr const wchar_t* kModOrderTitle = L"顺序";
inline constexpr const wchar_t* kModStateTitle = L"状态";
inline constexpr const wchar_t* kModEntriesTitle = L"条目数";
inline constexpr const wchar_t* kModTexturesTitle = L"贴图数";
inline constexpr const wchar_t* kModOverlapTitle = L"重叠";
inline constexpr const wchar_t* kModInfoTitle = L"说明";
inline constexpr const wchar_t* kModInstalled = L"已安装";
inline constexpr const wchar_t* kModNotInstalled = L"未安装";
inline constexpr const wchar_t* kModFolderChanged = L"已安装，文件夹在安装后有改动";
inline constexpr const wchar_t* kModFolderGone = L"已安装，文件夹已删除";
inline constexpr const wchar_t* kModPartlyTakenOut = L"已安装，部分条目已被还原";
inline constexpr const wchar_t* kModSetAside = L"游戏更新后已失效，请重新安装";
// One overlap in the listing; an empty texture for a whole entry.
std::wstring mod_overlap(uint64_t entry, const std::wstring& texture, const std::wstring& other,
                         const std::wstring& winner);

// Export and import on a console: the closing summary line (export's with
// the gallery page when it wrote one).
std::wstring run_summary(uint64_t files, uint64_t textures, uint64_t skipped, double seconds);
std::wstring run_summary_with_gallery(uint64_t files, uint64_t textures, uint64_t skipped,
                                      double seconds, const std::wstring& page);
std::wstring import_summary(uint64_t entries, uint64_t appended, uint64_t textures, double seconds);

}  // namespace linkdata::msg
