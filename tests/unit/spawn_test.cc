#include "platform/spawn.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <optional>

#include "platform/fd.h"
#include "platform/places.h"
#include "platform/runtool.h"
#include "tests/unit/fixture.h"

using fixture::TempDir;

namespace {

// The status of a script run through the spawner and its wait; a shell that
// could not start at all is no status.
std::optional<int> spawnedStatus(const std::string& script) {
  const pid_t pid = spawnTool("/bin/sh", {"sh", "-c", script}, {});
  return pid < 0 ? std::nullopt : std::optional<int>(waitStatus(pid));
}

}  // namespace

// The exit code as it is; a killed program is 128 plus the signal, as a shell tells it.
TEST(ToolStatus, ExitCodesAndSignals) {
  const std::pair<const char*, int> cases[] = {{"exit 0", 0},
                                               {"exit 3", 3},
                                               {"exit 255", 255},
                                               {"kill -TERM $$", 128 + SIGTERM},
                                               {"kill -KILL $$", 128 + SIGKILL},
                                               {"kill -HUP $$", 128 + SIGHUP}};
  // Both doors: the spawner with its wait, and the runner the tool's helpers go through.
  for (const auto& [script, status] : cases) {
    EXPECT_EQ(spawnedStatus(script), status) << script;
    EXPECT_EQ(runTool("/bin/sh", {"-c", script}), status) << script;
  }
}

// A program that is missing, not executable or not a program never starts: the
// spawner says why, the runner gives 127 and names it on standard error.
TEST(ToolStatus, ProgramThatCannotStart) {
  TempDir dir;
  const std::string plain = dir.at("plain"), garbage = dir.at("garbage");
  fixture::writeText(plain, "#!/bin/sh\nexit 0\n");  // not executable
  fixture::writeText(garbage, "no program at all\n");
  ASSERT_EQ(0, chmod(garbage.c_str(), 0755));
  const std::pair<std::string, int> cases[] = {
      {dir.at("missing"), ENOENT}, {plain, EACCES}, {garbage, ENOEXEC}, {dir.path, EACCES}};
  for (const auto& [program, error] : cases) {
    EXPECT_EQ(spawnTool(program, {program}, {}), -error) << program;
    testing::internal::CaptureStderr();
    EXPECT_EQ(runTool(program, {}), 127) << program;
    EXPECT_EQ(testing::internal::GetCapturedStderr(),
              "hollin: cannot run " + program + ": " + std::strerror(error) + "\n");
  }
  EXPECT_EQ(waitStatus(getpid()), 127);  // not a child: nothing to wait for
}

// The child gets exactly the environment it is given, the mapped descriptors
// under their new numbers, and the arguments as they are (no shell between).
TEST(ToolSpawn, EnvironmentDescriptorsAndArguments) {
  int ends[2];
  ASSERT_EQ(0, pipe2(ends, O_CLOEXEC));
  UniqueFd readEnd(ends[0]), writeEnd(ends[1]);
  const pid_t pid = spawnTool("/bin/sh",
                              {"sh", "-c", "printf '%s|%s|%s' \"$GREETING\" \"${HOME-unset}\" \"$1\" >&5", "sh",
                               "two words; $(not run)"},
                              {"GREETING=hello"}, {{writeEnd.get(), 5}});
  ASSERT_GT(pid, 0);
  writeEnd.reset();
  EXPECT_EQ(waitStatus(pid), 0);
  char text[256];
  const ssize_t n = read(readEnd.get(), text, sizeof text);
  EXPECT_EQ(std::string(text, n > 0 ? static_cast<size_t>(n) : 0), "hello|unset|two words; $(not run)");
}

// The runner's children keep this process's environment, but search this
// program's folder (an installed build: its helpers') before the system's.
TEST(ToolSpawn, RunnerSearchesItsOwnFolderFirst) {
  TempDir dir;
  const std::string out = dir.at("out");
  ASSERT_EQ(0, setenv("HOLLIN_SPAWN_KEPT", "kept", 1));
  EXPECT_EQ(runTool("/bin/sh", {"-c", "printf '%s\\n%s' \"$HOLLIN_SPAWN_KEPT\" \"$PATH\" > \"$0\"", out}), 0);
  unsetenv("HOLLIN_SPAWN_KEPT");
  const std::string text = fixture::readText(out);
  const std::string rest = ":/usr/bin:/bin:/usr/sbin:/sbin";
  ASSERT_TRUE(text.starts_with("kept\n") && text.ends_with(rest)) << text;
  const std::string first = text.substr(5, text.size() - 5 - rest.size());
  if (places::kHelperFolder.empty()) {
    EXPECT_TRUE(fs::exists(first + "/unit_tests")) << first;
  } else {
    EXPECT_EQ(first, places::kHelperFolder);
  }
}
