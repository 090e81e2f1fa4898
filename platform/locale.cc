#include "platform/locale.h"

#include <unicode/uchar.h>
#include <unicode/udata.h>
#include <unicode/uloc.h>
#include <unicode/ures.h>
#include <unicode/ustring.h>

#include <algorithm>
#include <mutex>
#include <unordered_map>
#include <vector>

namespace {

// The parts of one identifier, each already in its canonical case.
struct LocaleParts {
  std::string language;
  std::string script;
  std::string region;
  std::string variant;  // several variants joined by '_'
};

std::string foldCase(const std::string& text) {
  UErrorCode status = U_ZERO_ERROR;
  std::u16string wide(text.size() + 1, u'\0');
  int32_t length = 0;
  u_strFromUTF8(wide.data(), static_cast<int32_t>(wide.size()), &length, text.data(),
                static_cast<int32_t>(text.size()), &status);
  if (U_FAILURE(status)) return std::string();
  std::u16string folded(static_cast<size_t>(length) * 3 + 1, u'\0');
  const int32_t foldedLength = u_strFoldCase(folded.data(), static_cast<int32_t>(folded.size()), wide.data(),
                                             length, U_FOLD_CASE_DEFAULT, &status);
  if (U_FAILURE(status)) return std::string();
  std::string out(static_cast<size_t>(foldedLength) * 4 + 1, '\0');
  int32_t outLength = 0;
  u_strToUTF8(out.data(), static_cast<int32_t>(out.size()), &outLength, folded.data(), foldedLength, &status);
  if (U_FAILURE(status)) return std::string();
  out.resize(static_cast<size_t>(outLength));
  return out;
}

// The English name of a language code, when the locale data has one (it
// answers with the code itself and a warning when it has none).
std::optional<std::string> englishLanguageName(const char* code) {
  UChar name[128];
  UErrorCode status = U_ZERO_ERROR;
  const int32_t length = uloc_getDisplayLanguage(code, "en", name, 128, &status);
  if (U_FAILURE(status) || status == U_USING_DEFAULT_WARNING || length <= 0) return std::nullopt;
  char text[512];
  int32_t textLength = 0;
  UErrorCode convert = U_ZERO_ERROR;
  u_strToUTF8(text, sizeof text, &textLength, name, length, &convert);
  if (U_FAILURE(convert)) return std::nullopt;
  return std::string(text, static_cast<size_t>(textLength));
}

// Whether the English name `name` is `text` (UTF-16) in any case.
bool sameInAnyCase(const UChar* name, int32_t nameLength, const std::u16string& text) {
  UErrorCode status = U_ZERO_ERROR;
  return u_strCaseCompare(name, nameLength, text.data(), static_cast<int32_t>(text.size()), U_FOLD_CASE_DEFAULT,
                          &status) == 0 &&
         U_SUCCESS(status);
}

// The first code, in the locale data's own order, whose English name is
// `text` in any case: every language the data can name is understood by
// name. The English table is read in place for the names that are `text`
// (a few tens of microseconds; building a table of every name cost a
// millisecond at each start), and only when there is one are the codes
// walked for the first that it names. Should that table not open, each
// code's display name is asked for. Answers are remembered.
std::optional<std::string> codeNamed(const std::string& text) {
  static std::mutex lock;
  static std::unordered_map<std::string, std::optional<std::string>> answered;
  const std::lock_guard<std::mutex> held(lock);
  if (const auto found = answered.find(text); found != answered.end()) return found->second;
  if (answered.size() >= 256) answered.clear();  // a bound, whatever a caller asks
  std::optional<std::string>& answer = answered[text];
  std::u16string wide(text.size() + 1, u'\0');
  int32_t wideLength = 0;
  UErrorCode status = U_ZERO_ERROR;
  u_strFromUTF8(wide.data(), static_cast<int32_t>(wide.size()), &wideLength, text.data(),
                static_cast<int32_t>(text.size()), &status);
  if (U_FAILURE(status)) return answer;
  wide.resize(static_cast<size_t>(wideLength));

  UResourceBundle* english = ures_open(U_ICUDATA_NAME U_TREE_SEPARATOR_STRING "lang", "en", &status);
  UResourceBundle* table = ures_getByKey(english, "Languages", nullptr, &status);
  const bool direct = U_SUCCESS(status);
  std::vector<std::string> named;  // the table's keys whose name is `text`
  while (direct && ures_hasNext(table)) {
    int32_t length = 0;
    const char* key = nullptr;
    UErrorCode entry = U_ZERO_ERROR;
    const UChar* name = ures_getNextString(table, &length, &key, &entry);
    if (U_SUCCESS(entry) && key != nullptr && length > 0 && sameInAnyCase(name, length, wide)) named.push_back(key);
  }
  ures_close(table);
  ures_close(english);
  if (direct && named.empty()) return answer;

  for (const char* const* code = uloc_getISOLanguages(); *code != nullptr && !answer; ++code) {
    if (!direct) {
      const auto name = englishLanguageName(*code);
      if (name && foldCase(*name) == foldCase(text)) answer = *code;
      continue;
    }
    // A code's name is kept under its current form (an old code such as
    // "iw" is named as "he"); "und" has no language part.
    char language[ULOC_LANG_CAPACITY];
    UErrorCode lookup = U_ZERO_ERROR;
    uloc_getLanguage(*code, language, sizeof language, &lookup);
    if (U_FAILURE(lookup) || lookup == U_STRING_NOT_TERMINATED_WARNING) continue;
    const std::string key = *language ? language : *code;
    if (std::find(named.begin(), named.end(), key) != named.end()) answer = *code;
  }
  return answer;
}

using PartGetter = int32_t (*)(const char*, char*, int32_t, UErrorCode*);

std::string part(const std::string& locale, PartGetter getter) {
  char buffer[ULOC_FULLNAME_CAPACITY];
  UErrorCode status = U_ZERO_ERROR;
  const int32_t length = getter(locale.c_str(), buffer, sizeof buffer, &status);
  if (U_FAILURE(status) || status == U_STRING_NOT_TERMINATED_WARNING) return std::string();
  return std::string(buffer, static_cast<size_t>(length));
}

// Parses a code in any case with either separator: as a language tag, then
// through the locale data's canonical form (which turns three-letter codes
// into their two-letter ones). Text that leaves anything unparsed, or whose
// language the locale data cannot name, is not an identifier.
std::optional<LocaleParts> parseCode(const std::string& text) {
  std::string tag = text;
  std::replace(tag.begin(), tag.end(), '_', '-');
  char parsed[ULOC_FULLNAME_CAPACITY];
  int32_t parsedLength = 0;
  UErrorCode status = U_ZERO_ERROR;
  uloc_forLanguageTag(tag.c_str(), parsed, sizeof parsed, &parsedLength, &status);
  if (U_FAILURE(status) || status == U_STRING_NOT_TERMINATED_WARNING) return std::nullopt;
  if (parsedLength != static_cast<int32_t>(tag.size())) return std::nullopt;
  char canonical[ULOC_FULLNAME_CAPACITY];
  status = U_ZERO_ERROR;
  uloc_canonicalize(parsed, canonical, sizeof canonical, &status);
  if (U_FAILURE(status) || status == U_STRING_NOT_TERMINATED_WARNING) return std::nullopt;
  LocaleParts parts{part(canonical, uloc_getLanguage), part(canonical, uloc_getScript),
                    part(canonical, uloc_getCountry), part(canonical, uloc_getVariant)};
  if (parts.language.empty() || parts.language == "und" || !englishLanguageName(parts.language.c_str())) {
    return std::nullopt;
  }
  return parts;
}

std::optional<LocaleParts> parseText(const std::string& text) {
  if (text.empty() || text.find('\0') != std::string::npos) return std::nullopt;
  if (const std::optional<std::string> code = codeNamed(text)) return parseCode(*code);
  return parseCode(text);
}

std::string compose(const LocaleParts& parts, char separator) {
  std::string identifier = parts.language;
  for (const std::string* piece : {&parts.script, &parts.region, &parts.variant}) {
    if (!piece->empty()) identifier += separator + *piece;
  }
  std::replace(identifier.begin(), identifier.end(), '_', separator);
  return identifier;
}

}  // namespace

std::optional<std::string> canonicalLanguageIdentifier(const std::string& text) {
  const auto parts = parseText(text);
  if (!parts) return std::nullopt;
  return compose(*parts, '-');
}

std::optional<std::string> canonicalLocaleIdentifier(const std::string& text) {
  const auto parts = parseText(text);
  if (!parts) return std::nullopt;
  return compose(*parts, '_');
}

std::optional<std::map<std::string, std::string>> localeComponents(const std::string& identifier) {
  const auto parts = parseText(identifier);
  if (!parts) return std::nullopt;
  std::map<std::string, std::string> components{{kLocaleLanguageCode, parts->language}};
  if (!parts->script.empty()) components[kLocaleScriptCode] = parts->script;
  if (!parts->region.empty()) components[kLocaleCountryCode] = parts->region;
  if (!parts->variant.empty()) components[kLocaleVariantCode] = parts->variant;
  return components;
}

std::optional<std::string> localeIdentifierFromComponents(const std::map<std::string, std::string>& components) {
  const auto language = components.find(kLocaleLanguageCode);
  if (language == components.end() || language->second.empty()) return std::nullopt;
  LocaleParts parts{language->second, {}, {}, {}};
  const auto take = [&components](const char* key, std::string* into) {
    if (const auto found = components.find(key); found != components.end()) *into = found->second;
  };
  take(kLocaleScriptCode, &parts.script);
  take(kLocaleCountryCode, &parts.region);
  take(kLocaleVariantCode, &parts.variant);
  // Composed text goes through the same reading as any other, so what comes
  // out is canonical and a component the locale data cannot read gives none.
  return canonicalLocaleIdentifier(compose(parts, '_'));
}
