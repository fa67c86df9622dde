#include "front_end/command_line.h"

#include <new>

#include "archive/export.h"
#include "archive/import.h"
#include "archive/listing.h"
#include "archive/restore.h"
#include "platform/ascii_case.h"
#include "platform/leading_int.h"
#include "platform/messages.h"
#include "platform/platform.h"
#include "platform/working_paths.h"

namespace linkdata {
namespace {

const wchar_t* const kUsageBanner[] = {
    L"Tessaron PC版 LINKDATA 导入&导出工具\n",
    L"版本：v" LINKDATA_VERSION L"\n",
    L"用法：\n",
    L"   导出：e c 0 10 [y]\n",
    L"      参数“e”= 操作模式 = 导出\n",
    L"      参数“c”= 要操作的文件，取值[A\\B\\C\\D]\n",
    L"      参数“ 0”= 导出文件的开始编号，从 0 开始\n",
    L"      参数“10”= 导出文件的结束编号\n",
    L"      参数“ y”= 可选参数，是否在导出文件的同时导出文件中的dds文件\n",
    L"   导入：i c\n",
    L"      参数“i”= 操作模式 = 导入\n",
    L"      参数“c”= 要操作的文件，取值[A\\B\\C\\D]\n\n",
    L"在执行导出时程序会同时生成对应的导入目录……\n\n",
    L"   列表：l c [0 10 [y]]\n",
    L"      参数“l”= 操作模式 = 列出文件中的条目\n",
    L"      参数“c”= 要操作的文件，取值[A\\B\\C\\D]\n",
    L"      参数“0 10”= 可选参数，只列出这一范围内的条目\n",
    L"      参数“ y”= 可选参数，是否解码条目并列出其中的dds贴图\n",
    L"   还原：r c [0 10]\n",
    L"      参数“r”= 操作模式 = 还原到首次导入前的状态\n",
    L"      参数“c”= 要操作的文件，取值[A\\B\\C\\D]\n",
    L"      参数“0 10”= 可选参数，只还原这一范围内的条目\n",
};

int usage_error(const wchar_t* message) {
  say(message);
  platform::console_pause();
  return kExitUsage;
}

int print_usage() {
  std::wstring banner;
  for (const wchar_t* line : kUsageBanner) banner += line;
  return usage_error(banner.c_str());
}

int run_export_branch(const std::vector<std::wstring>& args) {
  if (args.size() < 4) return usage_error(msg::kTooFewArguments);
  if (args[1].size() != 1) return usage_error(msg::kBadArchiveLetter);
  const std::wstring letter = ascii_upper(args[1]);
  const std::wstring archive_name = kArchivePrefix + letter;
  const bool with_textures = args.size() > 4 && ascii_upper(args[4]) == L"Y";
  const int32_t first = parse_leading_int(args[2]);
  const int32_t last = parse_leading_int(args[3]);
  if (first < 0 || last < 0) return usage_error(msg::kBadEntryNumber);
  return run_export(first, last, with_textures, archive_name, letter) ? kExitOk : kExitFailure;
}

// The whole index without a range; with one, its numbers and the flag are
// checked as export checks them.
int run_list_branch(const std::vector<std::wstring>& args) {
  if (args.size() == 3) return usage_error(msg::kTooFewArguments);
  if (args[1].size() != 1) return usage_error(msg::kBadArchiveLetter);
  const std::wstring archive_name = kArchivePrefix + ascii_upper(args[1]);
  if (args.size() == 2)
    return run_list(0, UINT32_MAX, false, archive_name) ? kExitOk : kExitFailure;
  const bool examine = args.size() > 4 && ascii_upper(args[4]) == L"Y";
  const int32_t first = parse_leading_int(args[2]);
  const int32_t last = parse_leading_int(args[3]);
  if (first < 0 || last < 0) return usage_error(msg::kBadEntryNumber);
  return run_list(uint32_t(first), uint32_t(last), examine, archive_name) ? kExitOk : kExitFailure;
}

int run_import_branch(const std::vector<std::wstring>& args) {
  if (args[1].size() != 1) return usage_error(msg::kBadArchiveLetter);
  const std::wstring letter = ascii_upper(args[1]);
  g_import_directory_path = join_path(L"Import", letter);
  return run_import(kArchivePrefix, letter) ? kExitOk : kExitFailure;
}

// "r c" restores the whole archive, "r c first last" a range; the checks and
// their messages are export's.
int run_restore_branch(const std::vector<std::wstring>& args) {
  if (args.size() == 3) return usage_error(msg::kTooFewArguments);
  if (args[1].size() != 1) return usage_error(msg::kBadArchiveLetter);
  const std::wstring archive_name = kArchivePrefix + ascii_upper(args[1]);
  if (args.size() == 2) return run_restore(archive_name, true, 0, 0) ? kExitOk : kExitFailure;
  const int32_t first = parse_leading_int(args[2]);
  const int32_t last = parse_leading_int(args[3]);
  if (first < 0 || last < 0) return usage_error(msg::kBadEntryNumber);
  return run_restore(archive_name, false, first, last) ? kExitOk : kExitFailure;
}

}  // namespace

int run_command_line(const std::vector<std::wstring>& args) {
  if (args.size() < 2) return print_usage();
  const std::wstring mode = ascii_upper(args[0]);
  // Memory that runs out where no step of the run has a message of its own
  // (on a worker or writer thread, whose failure comes back here) ends the
  // run with a message, never with the process aborted. Whatever the run had
  // written is as a crash leaves it: the journal rolls it back next time.
  try {
    if (mode == L"E") return run_export_branch(args);
    if (mode == L"I") return run_import_branch(args);
    if (mode == L"L") return run_list_branch(args);
    if (mode == L"R") return run_restore_branch(args);
  } catch (const std::bad_alloc&) {
    say(msg::kOutOfMemory);
    return kExitFailure;
  }
  return print_usage();
}

}  // namespace linkdata
