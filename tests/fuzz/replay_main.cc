// Stand-alone driver for the fuzz targets in the ordinary builds: runs the
// target once on every file named, and on every file of every folder named
// (in name order, dot files skipped), so that each kept corpus and crash input
// is a regression case under the project's own compiler and sanitizers.

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <system_error>
#include <vector>

#include "platform/fd.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size);

namespace {

std::optional<std::string> readInput(const std::string& path) {
  UniqueFd fd(open(path.c_str(), O_RDONLY | O_CLOEXEC));
  if (!fd.valid()) return std::nullopt;
  std::string bytes;
  char buffer[65536];
  for (;;) {
    const ssize_t got = read(fd.get(), buffer, sizeof buffer);
    if (got == 0) return bytes;
    if (got < 0) {
      if (errno == EINTR) continue;
      return std::nullopt;
    }
    bytes.append(buffer, static_cast<size_t>(got));
  }
}

// The files `path` stands for: itself, or the files of the folder it names.
std::optional<std::vector<std::string>> inputsOf(const std::string& path) {
  std::error_code error;
  if (!std::filesystem::is_directory(path, error)) {
    if (!std::filesystem::exists(path, error)) return std::nullopt;
    return std::vector<std::string>{path};
  }
  std::vector<std::string> files;
  for (std::filesystem::directory_iterator it(path, error), end; !error && it != end; it.increment(error)) {
    if (it->path().filename().string().starts_with(".")) continue;
    if (it->is_regular_file(error)) files.push_back(it->path().string());
  }
  if (error) return std::nullopt;
  std::sort(files.begin(), files.end());
  return files;
}

// The input goes in a buffer of exactly its size, so that the sanitizers see
// any read past its end.
bool replay(const std::string& file) {
  const std::optional<std::string> bytes = readInput(file);
  if (!bytes) return false;
  std::printf("%s\n", file.c_str());
  std::fflush(stdout);
  std::unique_ptr<uint8_t[]> copy(new uint8_t[bytes->size()]);
  std::memcpy(copy.get(), bytes->data(), bytes->size());
  LLVMFuzzerTestOneInput(copy.get(), bytes->size());
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  size_t count = 0;
  for (int i = 1; i < argc; ++i) {
    const std::optional<std::vector<std::string>> files = inputsOf(argv[i]);
    if (!files) {
      std::fprintf(stderr, "%s: cannot read %s\n", argv[0], argv[i]);
      return 1;
    }
    for (const std::string& file : *files) {
      if (!replay(file)) {
        std::fprintf(stderr, "%s: cannot read %s: %s\n", argv[0], file.c_str(), std::strerror(errno));
        return 1;
      }
      ++count;
    }
  }
  // A replay of nothing would pass whatever the target does.
  if (count == 0) {
    std::fprintf(stderr, "%s: no inputs\n", argv[0]);
    return 1;
  }
  std::printf("%zu inputs replayed\n", count);
  return 0;
}
