#include "platform/plist_guard.h"

#include <fcntl.h>
#include <grp.h>
#include <sys/resource.h>
#include <unistd.h>

#include <cstdint>
#include <iterator>
#include <vector>

#include "tests/unit/fixture.h"

using namespace fixture;
using namespace std::string_literals;

namespace {

std::string xmlPlist(const std::string& body) { return "<plist>" + body + "</plist>"; }

std::string repeat(const std::string& text, size_t n) { std::string out; while (n-- > 0) out += text; return out; }

std::string nestedDictionaries(size_t depth) {
  return xmlPlist(repeat("<dict><key>k</key>", depth - 1) + "<dict/>" + repeat("</dict>", depth - 1));
}

std::string be(uint64_t value, int bytes) {
  std::string out;
  for (int shift = 8 * (bytes - 1); shift >= 0; shift -= 8) out += static_cast<char>(value >> shift);
  return out;
}

std::string ref(size_t object) { return be(object, 4); }

// A binary property list of `objects`, object 0 on top, with 4-byte
// references and offsets, as a hostile writer would lay it out by hand.
std::string binaryPlist(const std::vector<std::string>& objects) {
  std::string out = "bplist00", offsets;
  for (const std::string& object : objects) {
    offsets += be(out.size(), 4);
    out += object;
  }
  const size_t table = out.size();
  return out + offsets + std::string(6, '\0') + "\x04\x04"s + be(objects.size(), 8) + be(0, 8) + be(table, 8);
}

// {key: value}, each given as one object. UTF-16 strings are where libplist's binary reader keeps a NUL inside.
std::string binaryDictionary(const std::string& key, const std::string& value) {
  return binaryPlist({"\xD1"s + ref(1) + ref(2), key, value});
}
const std::string kAsciiK = "\x51k"s;
const std::string kUtf16WithNul = "\x63\x00\xE9\x00\x00\x00\x78"s;  // "é", NUL, "x"

// A dictionary holding a chain of `depth` arrays: depth + 1 levels.
std::string deepBinary(size_t depth) {
  std::vector<std::string> objects{"\xD1"s + ref(1) + ref(2), kAsciiK};
  for (size_t i = 0; i + 1 < depth; ++i) objects.push_back("\xA1"s + ref(objects.size() + 1));
  objects.push_back("\xA0"s);
  return binaryPlist(objects);
}

PlistRef inProcess(const std::string& bytes) {
  plist_t node = nullptr;
  plist_from_memory(bytes.data(), static_cast<uint32_t>(bytes.size()), &node);
  return PlistRef(node);
}

std::string binaryOf(plist_t node) {
  char* bytes = nullptr;
  uint32_t length = 0;
  plist_to_bin(node, &bytes, &length);
  std::string out(bytes ? bytes : "", length);
  plist_to_bin_free(bytes);
  return out;
}

// Every type of value, dates before and after 2001, empty strings, data, containers and keys.
const std::string kEveryType = xmlPlist(
    "<dict><key>b</key><array><true/><false/><integer>42</integer><integer>-7</integer><real>-0.0025</real>"
    "<date>2024-02-29T12:34:56Z</date><date>1969-07-20T20:17:40Z</date><data>AAEC/w==</data><data></data>"
    "<string>Gr\xC3\xBC\xC3\x9F" "e &amp; \xE6\x9D\xB1</string><string></string><array/><dict/></array>"
    "<key>a</key><dict><key>x</key><true/></dict><key></key><string>empty key</string></dict>");

}  // namespace

// Every type, in XML and in binary (a UID in binary only), comes back from the child as libplist reads it
// in-process: same XML written out, same copy. Dates keep whole seconds. The parent is left no descriptor.
TEST(PlistGuard, EveryTypeSurvivesTheChild) {
  const int before = openDescriptors();
  const std::string uid = binaryOf(PlistRef(plist_new_uid(77)).get());
  for (const std::string& bytes : {kEveryType, binaryOf(inProcess(kEveryType).get()), uid}) {
    const PlistRef expected = inProcess(bytes), guarded = parsePlist(bytes);
    ASSERT_TRUE(expected && guarded);
    EXPECT_EQ(plistToXml(guarded.get()), plistToXml(expected.get()));
    EXPECT_EQ(encodeGuardedPlist(guarded.get()), encodeGuardedPlist(expected.get()));
  }
  EXPECT_EQ(openDescriptors(), before);
}

// The limits, each just inside and just outside, in-process and through the child alike.
TEST(PlistGuard, LimitsAndNulsReadAsUnparsable) {
  const std::string manyTrues = "<array>" + repeat("<true/>", kPlistMaxNodes - 1);
  const struct { const char* why; std::string bytes; bool accepted; } cases[] = {
      {"dictionaries 64 deep", nestedDictionaries(64), true},
      {"dictionaries 65 deep", nestedDictionaries(65), false},
      {"arrays in a dictionary 64 deep", deepBinary(63), true},
      {"arrays in a dictionary 65 deep", deepBinary(64), false},
      {"nodes at the limit", xmlPlist(manyTrues + "</array>"), true},
      {"nodes over the limit", xmlPlist(manyTrues + "<true/></array>"), false},
      {"NUL in a string", xmlPlist("<string>a\0b</string>"s), false},
      {"NUL in a key", binaryDictionary(kUtf16WithNul, kAsciiK), false},
      {"the same key twice", binaryPlist({"\xD2"s + ref(1) + ref(1) + ref(2) + ref(2), kAsciiK, "\x09"s}), false},
      {"over 8 MiB", xmlPlist("<string>" + std::string(kPlistMaxFileSize, 'a') + "</string>"), false},
      {"not a property list", "<plist><dict><key>k</key><string>half", false},
  };
  for (const auto& c : cases) {
    const std::optional<std::string> copy = checkAndEncodePlist(c.bytes);
    EXPECT_EQ(copy.has_value(), c.accepted) << c.why;
    EXPECT_TRUE(!copy || decodeGuardedPlist(*copy)) << c.why;
    EXPECT_EQ(parseUntrustedPlist(c.bytes) != nullptr, c.accepted) << c.why;
  }
}

// What crashed the tool before: the child faults or gives up, and this process only sees no property list.
TEST(PlistGuard, DeepHostileInputReadsAsUnparsable) {
  EXPECT_FALSE(parsePlist(nestedDictionaries(100000)));
  EXPECT_FALSE(parsePlist(deepBinary(100000)));
#ifndef __SANITIZE_ADDRESS__  // the sanitizer build gives the child no memory limit
  // Seven arrays, each holding the next fourteen times: libplist copies its way towards 14^7 nodes.
  std::vector<std::string> objects;
  for (size_t i = 1; i <= 7; ++i) objects.push_back("\xAE"s + repeat(ref(i), 14));
  objects.push_back(kAsciiK);
  EXPECT_FALSE(parsePlist(binaryPlist(objects)));
#endif
}

TEST(PlistGuard, DecoderRefusesMalformedCopies) {
  const std::string copy = encodeGuardedPlist(inProcess(kEveryType).get()).value();
  ASSERT_TRUE(decodeGuardedPlist(copy));
  for (size_t length = 0; length < copy.size(); ++length) EXPECT_FALSE(decodeGuardedPlist(copy.substr(0, length)));

  const std::string yes = "b\x01", arrays64 = repeat("a" + word(1), 63) + "a" + word(0);
  const struct { const char* why; std::string copy; bool accepted; } cases[] = {
      {"arrays 64 deep", arrays64, true},
      {"arrays 65 deep", "a" + word(1) + arrays64, false},
      {"nodes at the limit", "a" + word(kPlistMaxNodes - 1) + repeat(yes, kPlistMaxNodes - 1), true},
      {"nodes over the limit", "a" + word(kPlistMaxNodes) + repeat(yes, kPlistMaxNodes), false},
      {"trailing byte", copy + "x", false},
      {"unknown tag", "?", false},
      {"boolean 2", "b\x02", false},
      {"NUL in a string", "s" + word(3) + "a\0b"s, false},
      {"NUL in a key", "D" + word(1) + word(3) + "a\0b"s + yes, false},
      {"the same key twice", "D" + word(2) + word(1) + "k" + yes + word(1) + "k" + yes, false},
      {"over the size bound", "d" + word(kPlistMaxCopySize) + std::string(kPlistMaxCopySize, 'x'), false},
  };
  for (const auto& c : cases) EXPECT_EQ(decodeGuardedPlist(c.copy) != nullptr, c.accepted) << c.why;
}

// Nodes that libplist would write wrongly never reach its writer, and no file is made for them.
TEST(PlistGuard, WriterRefusesWhatItCannotWrite) {
  TempDir folder;
  UniqueFd dir(open(folder.path.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  const struct { const char* why; PlistRef node; int error; } cases[] = {
      {"64 deep", inProcess(nestedDictionaries(64)), 0},
      {"65 deep", inProcess(nestedDictionaries(65)), -EINVAL},
      {"NUL in a string", inProcess(binaryDictionary(kAsciiK, kUtf16WithNul)), -EINVAL},
      {"NUL in a key", inProcess(binaryDictionary(kUtf16WithNul, kAsciiK)), -EINVAL},
  };
  for (const auto& c : cases) {
    ASSERT_TRUE(c.node) << c.why;
    EXPECT_EQ(writePlistAt(dir.get(), "out.plist", c.node.get(), {}), c.error) << c.why;
    EXPECT_EQ(plistToXml(c.node.get()).empty(), c.error != 0) << c.why;
    EXPECT_EQ(names(folder.path), c.error ? std::set<std::string>{} : std::set<std::string>{"out.plist"}) << c.why;
    fs::remove(folder.at("out.plist"));
  }
}

#ifdef HOLLIN_PAUSE_POINTS
// What this process has just written reads back as written without a child;
// the same file changed by one word afterwards goes through the child, and
// reads as it now is.
TEST(PlistGuard, OnlyWhatWasJustWrittenSkipsTheChild) {
  TempDir dir;
  const UniqueFd folder(open(dir.path.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  PlistRef written(plist_new_dict());
  plist_dict_set_item(written.get(), "Key", plist_new_string("value"));
  ASSERT_EQ(writePlistAt(folder.get(), "p.plist", written.get(), {}), 0);
  const uint64_t before = plistChildParses();
  EXPECT_EQ(stringAt(dir.at("p.plist"), "Key"), "value");
  EXPECT_EQ(plistChildParses(), before);
  std::string text = readText(dir.at("p.plist"));
  text.replace(text.find("value"), 5, "other");
  writeText(dir.at("p.plist"), text);
  EXPECT_EQ(stringAt(dir.at("p.plist"), "Key"), "other");
  EXPECT_EQ(plistChildParses(), before + 1);
}

// The child's own word on what it runs as, once set up to parse: none of root's ids or groups, no way to gain
// privileges again, and every limit in place. This process first takes supplementary groups and a core limit
// that the child must give up itself.
TEST(PlistGuard, ChildRunsWithoutPrivilegesAndWithinLimits) {
  if (geteuid() != 0) GTEST_SKIP() << "the child gives up root's ids: run as root";
  std::vector<gid_t> groups(static_cast<size_t>(getgroups(0, nullptr)));
  ASSERT_EQ(getgroups(static_cast<int>(groups.size()), groups.data()), static_cast<int>(groups.size()));
  rlimit core{};
  ASSERT_EQ(getrlimit(RLIMIT_CORE, &core), 0);
  const gid_t extra[] = {20, 80};
  ASSERT_EQ(setgroups(2, extra), 0);
  const rlimit unlimited{RLIM_INFINITY, RLIM_INFINITY};
  ASSERT_EQ(setrlimit(RLIMIT_CORE, &unlimited), 0);
  const std::optional<PlistChildReport> report = plistChildReport();
  EXPECT_EQ(setgroups(groups.size(), groups.data()), 0);
  EXPECT_EQ(setrlimit(RLIMIT_CORE, &core), 0);
  ASSERT_TRUE(report);
  for (int i = 0; i < 3; ++i) {
    EXPECT_EQ(report->uids[i], 65534u) << "uid " << i;
    EXPECT_EQ(report->gids[i], 65534u) << "gid " << i;
  }
  EXPECT_EQ(report->groups, 0);
  EXPECT_EQ(report->noNewPrivileges, 1);
  EXPECT_EQ(report->dumpable, 0);
  EXPECT_EQ(report->openDescriptors, 4);  // the three standard streams on /dev/null, and the pipe
#ifdef __SANITIZE_ADDRESS__
  const rlim_t slowdown = 10, memory = RLIM_INFINITY;
#else
  const rlim_t slowdown = 1, memory = rlim_t{64} << 20;
#endif
  const struct { const char* name; rlim_t soft, hard; } limits[] = {
      {"core", 0, 0}, {"file size", 0, 0}, {"processes", 0, 0}, {"open files", 0, 0},
      {"stack", 1 << 20, 1 << 20}, {"CPU", 2 * slowdown, 2 * slowdown + 1}, {"data", memory, memory},
  };
  for (size_t i = 0; i < std::size(limits); ++i) {
    EXPECT_EQ(report->limits[i].rlim_cur, limits[i].soft) << limits[i].name;
    EXPECT_EQ(report->limits[i].rlim_max, limits[i].hard) << limits[i].name;
  }
}
#else
TEST(PlistGuard, ChildRunsWithoutPrivilegesAndWithinLimits) {
  GTEST_SKIP() << "built without HOLLIN_PAUSE_POINTS: the child cannot report on itself";
}
#endif
