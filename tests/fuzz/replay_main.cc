// Fuzz target driver of the ordinary builds: runs the target once on each file
// named and each file of each folder named (in name order, dot files skipped).

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <memory>
#include <string>
#include <system_error>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size);

namespace {

// Adds the files `path` stands for: itself, or the files of the folder it names.
bool collect(const std::string& path, std::vector<std::string>& files) {
  std::error_code error;
  if (!std::filesystem::is_directory(path, error)) {
    files.push_back(path);
    return std::filesystem::exists(path, error);
  }
  const size_t start = files.size();
  for (std::filesystem::directory_iterator it(path, error), end; !error && it != end; it.increment(error)) {
    if (!it->path().filename().string().starts_with(".") && it->is_regular_file(error)) files.push_back(it->path());
  }
  std::sort(files.begin() + start, files.end());
  return !error;
}

// Runs the target on the file in a buffer of its exact size, so that sanitizers see overreads.
bool replay(const std::string& file) {
  std::error_code error;
  const size_t size = std::filesystem::file_size(file, error);
  FILE* in = error ? nullptr : std::fopen(file.c_str(), "rb");
  if (!in) return false;
  std::unique_ptr<uint8_t[]> bytes(new uint8_t[size]);
  const bool whole = std::fread(bytes.get(), 1, size, in) == size && std::fgetc(in) == EOF && !std::ferror(in);
  std::fclose(in);
  if (!whole) return false;
  std::fprintf(stderr, "%s\n", file.c_str());  // unbuffered, so shown before any crash
  LLVMFuzzerTestOneInput(bytes.get(), size);
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  const auto fail = [&](const std::string& why) {
    std::fprintf(stderr, "%s: %s\n", argv[0], why.c_str());
    return 1;
  };
  std::vector<std::string> files;
  for (int i = 1; i < argc; ++i) {
    if (!collect(argv[i], files)) return fail(std::string("cannot read ") + argv[i]);
  }
  // A replay of nothing would pass whatever the target does.
  if (files.empty()) return fail("no inputs");
  for (const std::string& file : files) {
    if (!replay(file)) return fail("cannot read " + file);
  }
  std::printf("%zu inputs replayed\n", files.size());
  return 0;
}
