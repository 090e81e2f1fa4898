#pragma once

#include <map>
#include <optional>
#include <string>

/// Canonical language identifier ("en", "en-US", "zh-Hans", "pt-PT"); English
/// language names ("French") canonicalise to their codes. None for empty text
/// or text the locale service cannot read.
std::optional<std::string> canonicalLanguageIdentifier(const std::string& text);

/// Canonical locale identifier ("en_US", "zh_Hans_CN"); same inputs as above.
std::optional<std::string> canonicalLocaleIdentifier(const std::string& text);

inline constexpr const char* kLocaleLanguageCode = "language";
inline constexpr const char* kLocaleScriptCode = "script";
inline constexpr const char* kLocaleCountryCode = "region";
inline constexpr const char* kLocaleVariantCode = "variant";

/// Components of a locale identifier keyed by the kinds above; none when the
/// identifier cannot be read.
std::optional<std::map<std::string, std::string>> localeComponents(const std::string& identifier);

/// Identifier made from components (language code, optional script code).
std::optional<std::string> localeIdentifierFromComponents(const std::map<std::string, std::string>& components);
