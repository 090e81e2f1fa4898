#pragma once

#include <optional>
#include <string>

/// The Library folder of the local (machine-wide) domain, as the standard
/// directory lookup gives it.
std::optional<std::string> localLibraryFolder();
