#pragma once

#include <cstdint>
#include <optional>
#include <string>

enum CreationMode : int32_t {
  CreateFolderOnly = 0,
  DeleteHome = 2,
  PermissionsOnly = 3,
  // Every other number is a full creation.
};

inline constexpr const char* kRepairVerb = "-repairPermissions";

/// The process arguments; an argument that is missing or not valid UTF-8 is none.
struct CommandLine {
  int argc = 0;
  std::string program;  // argv[0] as given, for the usage lines
  std::optional<std::string> verb;         // argv[1]
  std::optional<std::string> homePath;     // argv[2]
  std::optional<std::string> userIdText;   // argv[3]
  std::optional<std::string> groupIdText;  // argv[4]
  int32_t mode = CreateFolderOnly;         // argv[5] through atoi; 0 when absent
  std::optional<std::string> language;     // argv[7]
  std::optional<std::string> userName;     // argv[8]
};

CommandLine parseCommandLine(int argc, const char* const argv[]);
