#include "platform/path.h"


std::string joinPath(std::string_view base, std::string_view component) {
  while (!base.empty() && base.back() == '/') base.remove_suffix(1);
  while (!component.empty() && component.front() == '/') component.remove_prefix(1);
  while (!component.empty() && component.back() == '/') component.remove_suffix(1);
  std::string joined;
  joined.reserve(base.size() + component.size() + 1);
  joined.append(base);
  if (!component.empty() || joined.empty()) joined.push_back('/');
  joined.append(component);
  return joined;
}

std::string_view lastComponent(std::string_view path) {
  const size_t slash = path.rfind('/');
  return slash == std::string_view::npos ? path : path.substr(slash + 1);
}
