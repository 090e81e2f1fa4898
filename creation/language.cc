#include "creation/language.h"

#include <vector>

#include "platform/admin/filemanager.h"
#include "platform/locale.h"
#include "platform/path.h"
#include "platform/preferences.h"

namespace {

constexpr const char* kLanguageFolderExtension = "lproj";
constexpr const char* kFallbackFolder = "English.lproj";
constexpr const char* kMachineLanguagesKey = "VelmoraLanguages";

// Splits off the last extension. A name whose only dot leads it (".lproj") is
// a hidden name with no extension, so it never counts as a language folder.
bool splitExtension(const std::string& name, std::string* base, std::string* extension) {
  const size_t dot = name.rfind('.');
  if (dot == std::string::npos || dot == 0) return false;
  *base = name.substr(0, dot);
  *extension = name.substr(dot + 1);
  return true;
}

std::string withoutExtension(const std::string& name) {
  std::string base, extension;
  return splitExtension(name, &base, &extension) ? base : name;
}

std::string candidatePath(const std::string& templateRoot, const std::string& name) {
  return joinPath(templateRoot, name) + "." + kLanguageFolderExtension;
}

std::optional<std::string> existing(const std::string& path) {
  if (fileExists(path)) return path;
  return std::nullopt;
}

// Language folders that the scan passed, in listing order; position i of both
// lists describes the same entry.
struct Scan {
  std::optional<std::string> match;  // base name of the folder whose identifier equals the request
  std::vector<std::string> ids;
  std::vector<std::string> names;
};

std::optional<size_t> firstPosition(const std::vector<std::string>& ids, const std::string& id) {
  for (size_t i = 0; i < ids.size(); ++i) {
    if (ids[i] == id) return i;
  }
  return std::nullopt;
}

// Walks the template's entries in listing order and stops at the first
// language folder whose identifier equals `requestedId` (none: no entry can
// match, the scan only records). A listing that cannot be made is empty.
Scan scanTemplate(const std::string& templateRoot, const std::optional<std::string>& requestedId) {
  Scan scan;
  for (const auto& entry : listDirectory(templateRoot, nullptr).value_or(std::vector<std::string>{})) {
    std::string base, extension;
    if (!splitExtension(entry, &base, &extension) || extension != kLanguageFolderExtension) continue;
    std::string id = canonicalLanguageIdentifier(base).value_or(base);
    if (requestedId && id == *requestedId) {
      scan.match = base;
      return scan;
    }
    scan.ids.push_back(std::move(id));
    scan.names.push_back(std::move(base));
  }
  return scan;
}

// The request narrowed to its language and script. The composed locale
// identifier is compared in the language identifier's form, the form the
// scan recorded, so that a request with a script can meet a folder named by
// that language and script.
std::optional<std::string> languageAndScriptCandidate(const std::string& requestedId, const Scan& scan) {
  const auto components = localeComponents(requestedId);
  if (!components) return std::nullopt;
  std::map<std::string, std::string> narrowed;
  for (const char* key : {kLocaleLanguageCode, kLocaleScriptCode}) {
    if (const auto found = components->find(key); found != components->end()) narrowed.insert(*found);
  }
  if (narrowed.find(kLocaleLanguageCode) == narrowed.end()) return std::nullopt;
  const auto localeId = localeIdentifierFromComponents(narrowed);
  if (!localeId) return std::nullopt;
  const auto position = firstPosition(scan.ids, canonicalLanguageIdentifier(*localeId).value_or(*localeId));
  if (!position) return std::nullopt;
  return withoutExtension(scan.names[*position]);
}

// The first language of the machine's list, matched against the scanned
// folders by identifier only (an element with no identifier finds nothing).
std::optional<std::string> machineLanguageCandidate(const std::string& templateRoot, const Scan& scan) {
  PlistRef list = copyPreference(kMachineLanguagesKey, kAnyApplication, PreferenceScope{std::nullopt, true});
  if (!isPlistArray(list.get()) || plist_array_get_size(list.get()) == 0) return std::nullopt;
  const auto first = plistString(plist_array_get_item(list.get(), 0));
  if (!first) return std::nullopt;
  const auto id = canonicalLanguageIdentifier(*first);
  if (!id) return std::nullopt;
  const auto position = firstPosition(scan.ids, *id);
  if (!position) return std::nullopt;
  return existing(candidatePath(templateRoot, scan.names[*position]));
}

}  // namespace

// With no language on the command line the request is taken as empty text:
// it has no identifier, so the scan only records the folders, the language
// and script step and the literal name are skipped, and the machine's list
// or English.lproj decides. An empty text on the command line reads the same.
std::string chooseTemplateLanguage(const std::string& templateRoot, const std::optional<std::string>& language) {
  const std::string text = language.value_or(std::string());
  std::optional<std::string> requestedId;
  if (!text.empty()) requestedId = canonicalLanguageIdentifier(text).value_or(text);

  const Scan scan = scanTemplate(templateRoot, requestedId);
  std::optional<std::string> candidate = scan.match;
  if (!candidate && requestedId) candidate = languageAndScriptCandidate(*requestedId, scan);
  if (candidate) {
    if (auto path = existing(candidatePath(templateRoot, *candidate))) return *path;
  }
  // The literal request names one entry of the template; text with a
  // separator would name something elsewhere, which no language folder is.
  if (!text.empty() && text.find('/') == std::string::npos) {
    if (auto path = existing(candidatePath(templateRoot, text))) return *path;
  }
  if (auto path = machineLanguageCandidate(templateRoot, scan)) return *path;
  return joinPath(templateRoot, kFallbackFolder);
}
