#include "main/commandline.h"

#include "platform/text.h"

namespace {

std::optional<std::string> argument(int argc, const char* const argv[], int index) {
  if (index >= argc || argv[index] == nullptr) return std::nullopt;
  std::string text = argv[index];
  if (!isValidUtf8(text)) return std::nullopt;
  return text;
}

}  // namespace

CommandLine parseCommandLine(int argc, const char* const argv[]) {
  CommandLine cl;
  cl.argc = argc;
  cl.program = argc > 0 && argv[0] ? argv[0] : "hollin";
  cl.verb = argument(argc, argv, 1);
  cl.homePath = argument(argc, argv, 2);
  cl.userIdText = argument(argc, argv, 3);
  cl.groupIdText = argument(argc, argv, 4);
  if (const std::optional<std::string> mode = argument(argc, argv, 5)) cl.mode = decimalInt(*mode);
  cl.language = argument(argc, argv, 7);
  cl.userName = argument(argc, argv, 8);
  return cl;
}
