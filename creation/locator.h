#pragma once

#include <optional>
#include <string>

/// The user template serving `homePath` (its volume's, else the boot volume's),
/// or the boot volume's when no path is given; none, logged, when there is none.
std::optional<std::string> locateUserTemplate(const std::optional<std::string>& homePath);

/// The volume root whose templates serve `homePath`: "" for the boot volume,
/// "/Volumes/NAME" for another; none when the path names no volume.
std::optional<std::string> templateVolumeRoot(const std::string& homePath);
