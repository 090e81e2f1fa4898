#include "creation/locator.h"

#include <vector>

#include "platform/admin/filemanager.h"
#include "platform/path.h"
#include "platform/places.h"
#include "platform/syslog.h"

namespace {

constexpr std::string_view kCandidates[] = {places::kAdminTemplate, places::kSystemTemplate};

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
  if (homePath.starts_with(places::kHomesRoot)) return std::string();
  const std::vector<std::string> components = pathComponents(homePath);
  if (!homePath.starts_with(places::kVolumesRoot) || components.size() < 4) return std::nullopt;
  return joinPath(std::string(places::kVolumesRoot), components[2]);
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
  for (const std::string_view candidate : kCandidates) {
    std::string path = joinPath(volumeRoot, std::string(candidate));
    if (fileExists(path)) return path;
  }
  if (homePath) return locateUserTemplate(std::nullopt);
  logFormat("%s doesn't exist", joinPath("", std::string(kCandidates[1])).c_str());
  return std::nullopt;
}
