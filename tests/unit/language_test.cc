#include "main/language.h"

#include "platform/filemanager.h"
#include "tests/unit/fixture.h"

namespace {

// A user template with the given folders, in a private machine root.
struct Template : fixture::StoreRoot {
  std::string root = at("Template");
  explicit Template(std::initializer_list<std::string> folders) {
    for (const std::string& folder : folders) fs::create_directories(root + "/" + folder);
  }
  std::string choose(const std::optional<std::string>& language) const {
    return fs::path(chooseTemplateLanguage(root, language)).lexically_relative(root);
  }
};

void machineLanguages(const std::vector<const char*>& languages, bool currentHost = true) {
  PlistRef list(plist_new_array());
  for (const char* language : languages) plist_array_append_item(list.get(), plist_new_string(language));
  ASSERT_TRUE(setPreference("VelmoraLanguages", list.get(), kAnyApplication, {std::nullopt, currentHost}));
}

}  // namespace

// By identifier (codes, names, any case), then by language and script with
// the region dropped, then the request's literal name inside the template.
TEST(TemplateLanguage, RequestMatchedByIdentifierThenLanguageAndScriptThenName) {
  Template tpl({"Non_localized", "English.lproj", "French.lproj", "de.lproj", "pt_PT.lproj", "Portuguese.lproj",
                "Japanese.lproj", "zh.lproj", "zh_Hant.lproj", "Klingonese.lproj", "it.LPROJ", ".lproj"});
  fixture::writeText(tpl.root + "/es.lproj", "a file counts too");
  fs::create_directory(tpl.at("elsewhere.lproj"));
  const std::pair<const char*, const char*> cases[] = {
      {"fr", "French.lproj"}, {"FR", "French.lproj"}, {"French", "French.lproj"}, {"German", "de.lproj"},
      {"DE", "de.lproj"}, {"ja", "Japanese.lproj"}, {"en", "English.lproj"}, {"pt-PT", "pt_PT.lproj"},
      {"pt_BR", "Portuguese.lproj"}, {"de-CH-1996", "de.lproj"}, {"zh-Hant-TW", "zh_Hant.lproj"},
      {"zh-Hans-CN", "English.lproj"}, {"Spanish", "es.lproj"}, {"it", "English.lproj"},
      {"Non_localized", "English.lproj"}, {"Klingonese", "Klingonese.lproj"}, {"klingonese", "English.lproj"},
      {"../elsewhere", "English.lproj"}};
  for (const auto& [request, chosen] : cases) EXPECT_EQ(tpl.choose(request), chosen) << request;
}

// Folders that share an identifier: the first listed wins for the request,
// for its language alone and for the machine's list. When that one is missing
// (a dangling link) the request's literal name is tried next.
TEST(TemplateLanguage, FirstListedWinsTiesAndTheNameIsTriedWhenItIsMissing) {
  Template tpl({"English.lproj", "French.lproj", "fr.lproj", "FR.lproj"});
  const auto firstFrench = [&] {
    const std::vector<std::string> names = listDirectory(tpl.root).value();
    return names[0] == "English.lproj" ? names[1] : names[0];
  };
  const std::string first = firstFrench();
  machineLanguages({"fr"});
  for (const char* request : {"fr", "French", "fr-CA", "Vulcanese"}) EXPECT_EQ(tpl.choose(request), first) << request;
  fs::remove(tpl.root + "/" + first);
  fs::create_symlink("nowhere", tpl.root + "/" + first);
  if (firstFrench() != first) GTEST_SKIP() << "the listing changed its order";
  const std::string other = first == "French.lproj" ? "fr.lproj" : "French.lproj";
  EXPECT_EQ(tpl.choose(fs::path(other).stem().string()), other);
  EXPECT_EQ(tpl.choose("fra"), "English.lproj");
}

// Only the current-host list counts, only its first element, matched by
// identifier alone; otherwise English.lproj, even when it is missing.
TEST(TemplateLanguage, MachineListThenEnglish) {
  Template tpl({"English.lproj", "German.lproj", "it.lproj", "Klingonese.lproj"});
  machineLanguages({"de"}, /*currentHost=*/false);
  EXPECT_EQ(tpl.choose("Vulcanese"), "English.lproj");
  const std::tuple<std::vector<const char*>, std::optional<std::string>, const char*> steps[] = {
      {{"de", "it"}, "Vulcanese", "German.lproj"}, {{"de", "it"}, std::nullopt, "German.lproj"},
      {{"de", "it"}, "", "German.lproj"},          {{"de", "it"}, "it", "it.lproj"},
      {{"GERMAN"}, "Vulcanese", "German.lproj"},   {{"ja", "de"}, "Vulcanese", "English.lproj"},
      {{"de-AT"}, "Vulcanese", "English.lproj"},   {{"Klingonese"}, "Vulcanese", "English.lproj"},
      {{}, "Vulcanese", "English.lproj"}};
  for (const auto& [languages, request, chosen] : steps) {
    machineLanguages(languages);
    EXPECT_EQ(tpl.choose(request), chosen) << (languages.empty() ? "()" : languages[0]) << " " << request.value_or("-");
  }
  PlistRef notAList(plist_new_string("de"));
  ASSERT_TRUE(setPreference("VelmoraLanguages", notAList.get(), kAnyApplication, {std::nullopt, true}));
  fs::remove(tpl.root + "/English.lproj");
  EXPECT_EQ(tpl.choose("Vulcanese"), "English.lproj");
  EXPECT_EQ(chooseTemplateLanguage(tpl.at("missing"), std::string("fr")), tpl.at("missing/English.lproj"));
}
