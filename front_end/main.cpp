// The linkdata executable: the command line handed to the library.
#include <string>
#include <vector>

#include "front_end/command_line.h"
#include "platform/platform.h"

#ifdef _WIN32
int wmain(int argc, wchar_t** argv) {
  linkdata::platform::reuse_freed_memory();
  std::vector<std::wstring> args(argv + 1, argv + argc);
  return linkdata::run_command_line(args);
}
#else
#include "platform/text_encoding.h"

int main(int argc, char** argv) {
  linkdata::platform::reuse_freed_memory();
  std::vector<std::wstring> args;
  for (int i = 1; i < argc; ++i) args.push_back(linkdata::from_utf8(argv[i]));
  return linkdata::run_command_line(args);
}
#endif
