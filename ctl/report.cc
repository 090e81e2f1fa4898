#include "ctl/report.h"

#include <cstdint>
#include <cstdio>

#include "ctl/names.h"

namespace {

// Length of the valid UTF-8 sequence at `at`, or 0.
size_t utf8Length(const std::string& text, size_t at) {
  const auto byte = [&](size_t i) { return static_cast<unsigned char>(text[i]); };
  const unsigned char lead = byte(at);
  const size_t length = lead < 0x80 ? 1 : (lead >> 5) == 6 ? 2 : (lead >> 4) == 14 ? 3 : (lead >> 3) == 30 ? 4 : 0;
  if (length == 0 || at + length > text.size()) return 0;
  uint32_t point = length == 1 ? lead : lead & (0x7f >> length);
  for (size_t i = 1; i < length; ++i) {
    if ((byte(at + i) & 0xc0) != 0x80) return 0;
    point = point << 6 | (byte(at + i) & 0x3f);
  }
  constexpr uint32_t kShortest[] = {0, 0, 0x80, 0x800, 0x10000};
  if (point < kShortest[length] || point > 0x10ffff || (point >= 0xd800 && point <= 0xdfff)) return 0;
  return length;
}

std::string jsonList(const std::vector<std::string>& texts) {
  std::string out = "[";
  for (size_t i = 0; i < texts.size(); ++i) out += (i ? "," : "") + jsonText(texts[i]);
  return out + "]";
}

std::vector<std::string> without(const std::vector<std::string>& from, const std::vector<std::string>& these) {
  std::vector<std::string> rest;
  for (const std::string& text : from) {
    bool found = false;
    for (const std::string& other : these) found = found || other == text;
    if (!found) rest.push_back(text);
  }
  return rest;
}

std::string joined(const std::vector<std::string>& texts) {
  std::string out;
  for (size_t i = 0; i < texts.size(); ++i) out += (i ? "; " : "") + texts[i];
  return out.empty() ? "(none)" : out;
}

}  // namespace

std::string jsonText(const std::string& text) {
  std::string out = "\"";
  for (size_t at = 0; at < text.size();) {
    const auto c = static_cast<unsigned char>(text[at]);
    const size_t length = utf8Length(text, at);
    if (length == 0) {
      out += "\\ufffd";
      ++at;
    } else if (c == '"' || c == '\\') {
      out += '\\';
      out += static_cast<char>(c);
      ++at;
    } else if (c < 0x20 || c == 0x7f) {
      char escaped[8];
      std::snprintf(escaped, sizeof escaped, "\\u%04x", c);
      out += escaped;
      ++at;
    } else {
      out.append(text, at, length);
      at += length;
    }
  }
  return out + "\"";
}

void printDifference(const Difference& d, const CheckAccount& who, bool json) {
  if (d.attribute != "list") {
    if (json) {
      std::printf("{\"user\":%s,\"home\":%s,\"path\":%s,\"attribute\":%s,\"have\":%s,\"want\":%s}\n",
                  jsonText(who.name).c_str(), jsonText(who.home).c_str(), jsonText(d.path).c_str(),
                  jsonText(d.attribute).c_str(), jsonText(d.have).c_str(), jsonText(d.want).c_str());
    } else {
      std::printf("%s  %s %s -> %s\n", printable(d.path).c_str(), d.attribute.c_str(), printable(d.have).c_str(),
                  printable(d.want).c_str());
    }
    return;
  }
  const std::vector<std::string> missing = without(d.wantList, d.haveList);
  const std::vector<std::string> extra = without(d.haveList, d.wantList);
  if (json) {
    std::printf(
        "{\"user\":%s,\"home\":%s,\"path\":%s,\"attribute\":\"list\",\"have\":%s,\"want\":%s,\"missing\":%s,"
        "\"extra\":%s}\n",
        jsonText(who.name).c_str(), jsonText(who.home).c_str(), jsonText(d.path).c_str(),
        d.have.empty() ? jsonList(d.haveList).c_str() : jsonText(d.have).c_str(), jsonList(d.wantList).c_str(),
        jsonList(missing).c_str(), jsonList(extra).c_str());
    return;
  }
  const std::string path = printable(d.path);
  if (!d.have.empty()) std::printf("%s  list %s\n", path.c_str(), d.have.c_str());
  for (const std::string& entry : missing) std::printf("%s  list missing: %s\n", path.c_str(), printable(entry).c_str());
  for (const std::string& entry : extra) std::printf("%s  list extra: %s\n", path.c_str(), printable(entry).c_str());
  if (missing.empty() && extra.empty() && d.have.empty()) {
    std::printf("%s  list order: %s -> %s\n", path.c_str(), printable(joined(d.haveList)).c_str(),
                printable(joined(d.wantList)).c_str());
  }
}


void printSummary(const CheckSummary& summary, const CheckAccount& who, bool json) {
  const bool clean = summary.differences == 0 && summary.complete;
  if (json) {
    std::printf("{\"user\":%s,\"home\":%s,\"items\":%llu,\"differences\":%llu,\"left_alone\":%llu,\"complete\":%s,"
                "\"clean\":%s}\n",
                jsonText(who.name).c_str(), jsonText(who.home).c_str(),
                static_cast<unsigned long long>(summary.items), static_cast<unsigned long long>(summary.differences),
                static_cast<unsigned long long>(summary.leftAlone), summary.complete ? "true" : "false",
                clean ? "true" : "false");
  } else if (summary.differences == 0) {
    std::printf("%s (%s): clean, %llu items\n", who.name.c_str(), who.home.c_str(),
                static_cast<unsigned long long>(summary.items));
  } else {
    std::printf("%s (%s): %llu difference%s in %llu of %llu items\n", who.name.c_str(), who.home.c_str(),
                static_cast<unsigned long long>(summary.differences), summary.differences == 1 ? "" : "s",
                static_cast<unsigned long long>(summary.differingItems),
                static_cast<unsigned long long>(summary.items));
  }
  if (summary.leftAlone && !json) {
    std::printf("%s (%s): %llu files with other names outside the home are left alone\n", who.name.c_str(),
                who.home.c_str(), static_cast<unsigned long long>(summary.leftAlone));
  }
}
