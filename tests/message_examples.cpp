// Every text of the message catalogue once, with its parts filled in as the
// players' guide shows them (archive A, entry 7, ...), without the line end. A
// new text goes here too: the guide test finds every Chinese text of the built
// tool in the guide, and the guide's rows are these examples.
#include "message_examples.h"

#include "platform/messages.h"

namespace linkdata::msg {

std::vector<std::wstring> examples() {
  const std::wstring a = L"LINKDATA_EU_OS_EUNA.A";
  const std::wstring file = L"7.data";
  const std::wstring texture = L"Import\\A\\Textures\\7\\0_2.dds";
  const std::wstring png = L"Import\\A\\Textures\\7\\0_2.png";
  const std::wstring originals = a + L"-original";
  std::vector<std::wstring> all = {
      kTooFewArguments,
      kBadArchiveLetter,
      kBadEntryNumber,
      kPressAnyKey,
      archive_missing(a),
      kArchiveOpenFailed,
      kArchiveReadFailed,
      kArchiveFormatWrong,
      archive_busy(a),
      journal_rolled_back(a),
      journal_rollback_failed(a),
      journal_restore_rolled_back(a),
      journal_restore_rollback_failed(a),
      journal_of_other_archive(a + L"-journal", a),
      journal_unchecked(a + L"-journal", a),
      journal_damaged(a + L"-journal", a),
      journal_unclear(a + L"-journal", a, 40),
      journal_not_a_file(a + L"-journal", a),
      lock_failed(a),
      no_locks(a),
      kOutOfMemory,
      exported(a, L"Extracted\\A\\7.data"),
      kDecodedLengthWrong,
      decode_failed(7),
      kFileCreateFailed,
      kFileWriteFailed,
      texture_write_failed(L"Extracted\\A\\Textures\\7\\0_2.dds"),
      kExportInterrupted,
      picture_write_failed(L"Extracted\\A\\Textures\\7\\0_2.png"),
      picture_too_large(L"Extracted\\A\\Textures\\7\\0_2.png", 16384, 16384),
      gallery_write_failed(L"Extracted\\A\\Textures\\index.html"),
      folder_is_link(L"Extracted\\A\\Textures\\7"),
      not_regular_file(L"Extracted\\A\\Textures\\7\\0_2.png"),
      not_regular_file(file),
      not_regular_file(texture),
      kNumberTitle,
      kPositionTitle,
      kStoredTitle,
      kContentTitle,
      kCompressedTitle,
      kChangedTitle,
      kKindTitle,
      kTexturesTitle,
      listing_summary(100, 123456, 80, 0),
      kKindTextureContainer,
      kind_package(3),
      kind_other(L" \"RIFF\""),
      kKindReadFailed,
      kKindDecodeFailed,
      kKindLengthWrong,
      kKindOutOfMemory,
      kTextureOutOfBounds,
      kTexturesCut,
      imported_compressed(a, file),
      imported_plain(a, file),
      appended_plain(a, file),
      imported_texture(a, texture),
      texture_entry_appended(a, 7, 24576),
      kImportFolderMissing,
      kNothingToImport,
      kOffsetUnitNot2048,
      kIndexPastEnd,
      kImportInterrupted,
      kJournalWriteFailed,
      archive_replaced_originals_set_aside(a, originals + L".1"),
      file_open_failed(file),
      file_read_failed(file),
      file_too_large(file),
      entry_number_out_of_range(file),
      compress_failed(file),
      file_open_failed(texture),
      file_read_failed(texture),
      texture_not_importable(texture),
      texture_not_in_entry(texture),
      texture_unlike(texture, texture_shape(L"DXT5", 128, 128, 8),
                     texture_shape(L"DXT1", 64, 64, 7)),
      texture_header_cut(texture, texture_shape(L"DXT1", 64, 64, 7)),
      texture_undecodable(texture, texture_shape(L"DXT5", 128, 128, 8),
                          texture_shape(L"BC7", 128, 128, 8), L"DXT5"),
      texture_undecodable(texture, texture_shape(L"DXT5", 128, 128, 8),
                          cube_map_shape(texture_shape(L"DXT5", 128, 128, 8)), L"DXT5"),
      texture_undecodable(texture, texture_shape(L"DXT5", 128, 128, 8),
                          volume_shape(texture_shape(L"DXT5", 128, 128, 1)), L"DXT5"),
      texture_undecodable(texture, texture_shape(L"DXT5", 128, 128, 8),
                          texture_array_shape(texture_shape(L"DXT5", 128, 128, 8)), L"DXT5"),
      texture_format_unsupported(L"Import\\A\\Textures\\7\\0_1.dds", L"2"),
      texture_levels_made(texture, 1, 7),
      texture_alpha_dropped(png),
      picture_size_unlike(png, 128, 128, 100, 60),
      picture_unreadable(png, 128, 128),
      picture_of_other_kind(png, 128, 128, L"JPEG"),
      picture_empty(png, 128, 128),
      picture_cut_short(png, 128, 128),
      texture_given_twice(png, texture),
      texture_given_in_several_files(
          {png, L"Import\\A\\Textures\\007\\0_2.png", L"Import\\A\\Textures\\7\\00_2.PNG"}),
      kArchiveNotWritable,
      kArchiveWriteFailed,
      originals_unreadable(originals),
      kOriginalsWriteFailed,
      originals_damaged(originals, a, 96),
      restored_archive(a),
      restored_entry(a, 7),
      nothing_to_restore(a),
      archive_replaced_cannot_restore(a),
      originals_damaged_nothing_restored(originals, a, 96),
      run_summary(12, 30, 2, 1.5),
      run_summary_with_gallery(12, 30, 2, 1.5, L"Extracted\\A\\Textures\\index.html"),
      import_summary(3, 1, 2, 1.5)};
  for (std::wstring& text : all) {
    if (!text.empty() && text.back() == L'\n') text.pop_back();
  }
  return all;
}

}  // namespace linkdata::msg
