#pragma once

#include <string>
#include <string_view>

/// Appends one component to `base` with exactly one separator between them and
/// no trailing separator; an empty base gives the component as an absolute path.
std::string joinPath(std::string_view base, std::string_view component);

/// The text after the last separator (the whole text when there is none).
std::string_view lastComponent(std::string_view path);
