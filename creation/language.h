#pragma once

#include <optional>
#include <string>

/// The template language folder for `language`; always a path (the last
/// fallback, English.lproj, is not tested).
std::string chooseTemplateLanguage(const std::string& templateRoot, const std::optional<std::string>& language);
