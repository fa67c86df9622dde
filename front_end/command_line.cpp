#include "front_end/command_line.h"

#include <new>

#include "archive/modes/export.h"
#include "archive/modes/import.h"
#include "archive/modes/listing.h"
#include "archive/modes/mods.h"
#include "archive/modes/restore.h"
#include "platform/ascii_case.h"
#include "platform/console.h"
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

// What a mode takes after its archive letter.
enum class Numbers { none, required, optional };

// A checked request: the archive letter folded to upper case, the entry
// range when one was given, and the flags of the fifth argument.
struct Request {
  std::wstring letter;
  std::wstring archive_name;
  bool has_range = false;
  int32_t first = 0;
  int32_t last = 0;
  std::wstring flags;  // upper-case flag letters, each at most once
};

using ModeRun = bool (*)(const Request&);

struct Mode {
  wchar_t letter;   // upper case
  Numbers numbers;  // first and last entry number
  ModeRun run;
};

// A letter that the fifth argument of a mode may hold, alone or combined
// with the mode's other flags, and its line in the banner after the lines
// above (none for the flags those lines already describe).
struct Flag {
  wchar_t mode;
  wchar_t letter;  // upper case
  const wchar_t* banner_line;
};

bool has_flag(const Request& r, wchar_t flag) { return r.flags.find(flag) != std::wstring::npos; }

bool export_mode(const Request& r) {
  const TextureOutput textures{has_flag(r, L'Y'), has_flag(r, L'P')};
  return run_export(r.first, r.last, textures, r.archive_name, r.letter);
}

bool import_mode(const Request& r) { return run_import(kArchivePrefix, r.letter); }

// The whole index without a range.
bool list_mode(const Request& r) {
  if (!r.has_range) return run_list(0, UINT32_MAX, ListingDetail::index_only, r.archive_name);
  const ListingDetail detail =
      has_flag(r, L'Y') ? ListingDetail::contents : ListingDetail::index_only;
  return run_list(uint32_t(r.first), uint32_t(r.last), detail, r.archive_name);
}

bool restore_mode(const Request& r) {
  if (!r.has_range) return run_restore_whole(r.archive_name, r.letter);
  return run_restore_range(r.archive_name, r.first, r.last, r.letter);
}

// Every mode and every flag in one place: the parse and the banner follow them.
const Mode kModes[] = {
    {L'E', Numbers::required, export_mode},
    {L'I', Numbers::none, import_mode},
    {L'L', Numbers::optional, list_mode},
    {L'R', Numbers::optional, restore_mode},
};
const Flag kFlags[] = {
    {L'E', L'Y', nullptr},
    {L'L', L'Y', nullptr},
    {L'E', L'P',
     L"   导出图片：e c 0 10 [y][p]\n"
     L"      参数“ p”= 可选参数，是否同时把贴图导出为png图片，并生成贴图一览页"
     L" Textures\\index.html；y 与 p 可合写为 yp\n"},
};

bool flag_allowed(const Mode& mode, wchar_t letter) {
  for (const Flag& f : kFlags) {
    if (f.mode == mode.letter && f.letter == letter) return true;
  }
  return false;
}

// Mode m takes no archive letter: a mod may hold several.
const wchar_t* const kModsBanner =
    L"   模组：m [+|++|- 名称]\n"
    L"      参数“m”= 操作模式 = 列出 Mods 下的模组和已安装的模组\n"
    L"      参数“+ 名称”= 安装 Mods\\名称 中的模组（已安装而文件夹有改动时更新它）\n"
    L"      参数“++ 名称”= 安装模组，与其他模组冲突之处以它为准\n"
    L"      参数“- 名称”= 卸载模组，其他模组和自己导入的修改保留\n";

int print_usage() {
  std::wstring banner;
  for (const wchar_t* line : kUsageBanner) banner += line;
  for (const Flag& f : kFlags) {
    if (f.banner_line != nullptr) banner += f.banner_line;
  }
  banner += kModsBanner;
  return usage_error(banner.c_str());
}

int mods_mode(const std::vector<std::wstring>& args) {
  if (args.size() == 1) return run_mods_list() ? kExitOk : kExitFailure;
  if (args.size() == 2) return usage_error(msg::kTooFewArguments);
  const std::wstring& op = args[1];
  bool ok = false;
  if (op == L"+" || op == L"++") {
    ok = run_mod_install(args[2], op == L"++");
  } else if (op == L"-") {
    ok = run_mod_remove(args[2]);
  } else {
    return print_usage();
  }
  return ok ? kExitOk : kExitFailure;
}

// The fifth argument, folded to upper case, sets the flags when it is made of
// the mode's flag letters, each at most once ("y", "p", "yp", "PY"); any
// other word sets none, as "yes" never did.
std::wstring parse_flags(const Mode& mode, const std::vector<std::wstring>& args) {
  if (args.size() <= 4 || args[4].empty()) return L"";
  const std::wstring word = ascii_upper(args[4]);
  for (size_t i = 0; i < word.size(); ++i) {
    if (!flag_allowed(mode, word[i]) || word.find(word[i]) != i) return L"";
  }
  return word;
}

// The checks in their order: argument count, archive letter, entry numbers.
int run_mode(const Mode& mode, const std::vector<std::wstring>& args) {
  const bool too_few = (mode.numbers == Numbers::required && args.size() < 4) ||
                       (mode.numbers == Numbers::optional && args.size() == 3);
  if (too_few) return usage_error(msg::kTooFewArguments);
  if (args[1].size() != 1) return usage_error(msg::kBadArchiveLetter);
  Request r;
  r.letter = ascii_upper(args[1]);
  r.archive_name = kArchivePrefix + r.letter;
  r.has_range = mode.numbers != Numbers::none && args.size() >= 4;
  if (r.has_range) {
    r.first = parse_leading_int(args[2]);
    r.last = parse_leading_int(args[3]);
    if (r.first < 0 || r.last < 0) return usage_error(msg::kBadEntryNumber);
    r.flags = parse_flags(mode, args);
  }
  return mode.run(r) ? kExitOk : kExitFailure;
}

}  // namespace

int run_command_line(const std::vector<std::wstring>& args) {
  const bool mods = !args.empty() && ascii_upper(args[0]) == L"M";
  if (args.size() < 2 && !mods) return print_usage();
  const std::wstring word = ascii_upper(args[0]);
  // Memory that runs out where no step of the run has a message of its own
  // (on a worker or writer thread, whose failure comes back here) ends the
  // run with a message, never with the process aborted. Whatever the run had
  // written is as a crash leaves it: the journal rolls it back next time.
  try {
    if (mods) return mods_mode(args);
    for (const Mode& mode : kModes) {
      if (word.size() == 1 && word[0] == mode.letter) return run_mode(mode, args);
    }
  } catch (const std::bad_alloc&) {
    say(msg::kOutOfMemory);
    return kExitFailure;
  }
  return print_usage();
}

}  // namespace linkdata
