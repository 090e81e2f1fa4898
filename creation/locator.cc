#include "creation/locator.h"

#include <vector>

#include "platform/admin/filemanager.h"
#include "platform/path.h"
#include "platform/syslog.h"

namespace {

constexpr const char* kCandidates[] = {"/Library/User Template/", "/System/Library/User Template/"};

// "/" first, then each non-empty name, then "/" again for a trailing separator.
std::vector<std::string> pathComponents(const std::string& path) {
  std::vector<std::string> components;
  if (!path.empty() && path.front() == '/') components.emplace_back("/");
  size_t start = 0;
  while (start < path.size()) {
    size_t slash = path.find('/', start);
    if (slash == std::string::npos) slash = path.size();
    if (slash > start) components.push_back(path.substr(start, slash - start));
    start = slash + 1;
  }
  if (path.size() > 1 && path.back() == '/') components.emplace_back("/");
  return components;
}

}  // namespace

std::optional<std::string> templateVolumeRoot(const std::string& homePath) {
  if (homePath.starts_with("/Users")) return std::string();
  const std::vector<std::string> components = pathComponents(homePath);
  if (!homePath.starts_with("/Volumes") || components.size() < 4) return std::nullopt;
  return joinPath("/Volumes", components[2]);
}

std::optional<std::string> locateUserTemplate(const std::optional<std::string>& homePath) {
  std::string volumeRoot;
  if (homePath) {
    const std::optional<std::string> root = templateVolumeRoot(*homePath);
    if (!root) {
      logFormat("error locating UT for %s", homePath->c_str());
      return std::nullopt;
    }
    volumeRoot = *root;
  }
  for (const char* candidate : kCandidates) {
    std::string path = joinPath(volumeRoot, candidate);
    if (fileExists(path)) return path;
  }
  if (homePath) return locateUserTemplate(std::nullopt);
  logFormat("%s doesn't exist", joinPath("", kCandidates[1]).c_str());
  return std::nullopt;
}
