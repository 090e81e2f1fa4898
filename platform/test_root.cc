#include "platform/test_root.h"

namespace {

std::string gTestRoot;

}  // namespace

std::string fixedPlace(std::string_view path) { return gTestRoot + std::string(path); }

void setTestRoot(const std::string& root) { gTestRoot = root; }
