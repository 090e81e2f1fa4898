#include "creation/language.h"

#include "platform/admin/filemanager.h"
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

void machineLanguage(const char* language) {
  PlistRef list(plist_new_array());
  plist_array_append_item(list.get(), plist_new_string(language));
  ASSERT_EQ(setPreference("VelmoraLanguages", list.get(), kAnyApplication, {std::nullopt, true}), 0);
}

}  // namespace

// Whole creations try each step once; here, what they cannot easily arrange: language and script with the
// region and variant dropped, entries not ending exactly in ".lproj", a file entry, a literal name's case.
TEST(TemplateLanguage, RequestMatchedByIdentifierThenLanguageAndScriptThenName) {
  Template tpl({"Non_localized", "English.lproj", "de.lproj", "Portuguese.lproj", "zh.lproj", "zh_Hant.lproj",
                "Klingonese.lproj", "it.LPROJ", ".lproj"});
  fixture::writeText(tpl.root + "/es.lproj", "a file counts too");
  const std::pair<const char*, const char*> cases[] = {
      {"DE", "de.lproj"}, {"pt_BR", "Portuguese.lproj"}, {"de-CH-1996", "de.lproj"},
      {"zh-Hant-TW", "zh_Hant.lproj"}, {"zh-Hans-CN", "English.lproj"}, {"Spanish", "es.lproj"},
      {"it", "English.lproj"}, {"Non_localized", "English.lproj"}, {"klingonese", "English.lproj"}};
  for (const auto& [request, chosen] : cases) EXPECT_EQ(tpl.choose(request), chosen) << request;
}

// Folders sharing an identifier: the first listed wins for the request, its language alone and the machine's
// list. When that one is missing (a dangling link) the request's literal name is tried next.
TEST(TemplateLanguage, FirstListedWinsTiesAndTheNameIsTriedWhenItIsMissing) {
  Template tpl({"English.lproj", "French.lproj", "fr.lproj", "FR.lproj"});
  const auto firstFrench = [&] {
    const std::vector<std::string> names = listDirectory(tpl.root, nullptr).value();
    return names[0] == "English.lproj" ? names[1] : names[0];
  };
  const std::string first = firstFrench();
  machineLanguage("fr");
  for (const char* request : {"fr", "French", "fr-CA", "Vulcanese"}) EXPECT_EQ(tpl.choose(request), first) << request;
  fs::remove(tpl.root + "/" + first);
  fs::create_symlink("nowhere", tpl.root + "/" + first);
  if (firstFrench() != first) GTEST_SKIP() << "the listing changed its order";
  const std::string other = first == "French.lproj" ? "fr.lproj" : "French.lproj";
  EXPECT_EQ(tpl.choose(fs::path(other).stem().string()), other);
  EXPECT_EQ(tpl.choose("fra"), "English.lproj");
}

// The machine's first language by identifier alone, also with no request; else English.lproj, even missing.
TEST(TemplateLanguage, MachineListThenEnglish) {
  Template tpl({"English.lproj", "German.lproj", "Klingonese.lproj"});
  const std::tuple<const char*, std::optional<std::string>, const char*> steps[] = {
      {"de", std::nullopt, "German.lproj"}, {"de", "", "German.lproj"}, {"de-AT", "Vulcanese", "English.lproj"},
      {"Klingonese", "Vulcanese", "English.lproj"}};
  for (const auto& [language, request, chosen] : steps) {
    machineLanguage(language);
    EXPECT_EQ(tpl.choose(request), chosen) << language << " " << request.value_or("-");
  }
  PlistRef notAList(plist_new_string("de"));
  ASSERT_EQ(setPreference("VelmoraLanguages", notAList.get(), kAnyApplication, {std::nullopt, true}), 0);
  fs::remove(tpl.root + "/English.lproj");
  EXPECT_EQ(tpl.choose("Vulcanese"), "English.lproj");
  EXPECT_EQ(chooseTemplateLanguage(tpl.at("missing"), std::string("fr")), tpl.at("missing/English.lproj"));
}
