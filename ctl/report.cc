#include "ctl/report.h"

#include <cstdint>
#include <cstdio>
#include <mutex>

#include "platform/text.h"

namespace {

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
    // C2 80 to C2 9F, U+0080 to U+009F: valid JSON raw, but a terminal acts on
    // these as on their seven-bit forms ESC @ to ESC _.
    const bool c1 = length == 2 && c == 0xc2 && static_cast<unsigned char>(text[at + 1]) <= 0x9f;
    if (length == 0) {
      out += "\\ufffd";
      ++at;
    } else if (c == '"' || c == '\\') {
      out += '\\';
      out += static_cast<char>(c);
      ++at;
    } else if (c < 0x20 || c == 0x7f || c1) {
      const unsigned point = length == 1 ? c : static_cast<unsigned char>(text[at + 1]);
      char escaped[8];
      std::snprintf(escaped, sizeof escaped, "\\u%04x", point);
      out += escaped;
      at += length;
    } else {
      out.append(text, at, length);
      at += length;
    }
  }
  return out + "\"";
}

std::string differenceText(const Difference& d, const CheckAccount& who, bool json) {
  const bool list = d.attribute == "list";
  const std::vector<std::string> missing = without(d.wantList, d.haveList);
  const std::vector<std::string> extra = without(d.haveList, d.wantList);
  if (json) {
    std::string line = "{\"user\":" + jsonText(who.name) + ",\"home\":" + jsonText(who.home) +
                       ",\"path\":" + jsonText(d.path) + ",\"attribute\":" + jsonText(d.attribute) + ",\"have\":";
    if (list) {
      line += (d.have.empty() ? jsonList(d.haveList) : jsonText(d.have)) + ",\"want\":" + jsonList(d.wantList) +
              ",\"missing\":" + jsonList(missing) + ",\"extra\":" + jsonList(extra);
    } else {
      line += jsonText(d.have) + ",\"want\":" + jsonText(d.want);
    }
    if (!d.locked.empty()) line += ",\"locked\":" + jsonText(d.locked);
    return line + "}\n";
  }
  const std::string path = printable(d.path);
  const std::string note = d.locked.empty() ? "" : "  (locked: " + printable(d.locked) + ")";
  std::string text;
  const auto say = [&](const std::string& what) { text.append(path).append("  ").append(what).append(note) += '\n'; };
  if (!list) {
    say(d.attribute + " " + printable(d.have) + " -> " + printable(d.want));
    return text;
  }
  if (!d.have.empty()) say("list " + printable(d.have));
  for (const std::string& entry : missing) say("list missing: " + printable(entry));
  for (const std::string& entry : extra) say("list extra: " + printable(entry));
  if (missing.empty() && extra.empty() && d.have.empty()) {
    say("list order: " + printable(joined(d.haveList)) + " -> " + printable(joined(d.wantList)));
  }
  return text;
}

namespace {

std::mutex standardOutput;

// This thread's lines not written yet; what is left when the thread ends is
// written then, so a walker's lines are all out before its walk returns.
struct PendingLines {
  std::string text;
  ~PendingLines() { writeLinesNow(); }
  void writeLinesNow() {
    if (text.empty()) return;
    const std::lock_guard<std::mutex> held(standardOutput);
    std::fwrite(text.data(), 1, text.size(), stdout);
    text.clear();
  }
};
thread_local PendingLines pending;

}  // namespace

void writeLines(const std::string& text) {
  constexpr size_t kBlock = 32768;
  pending.text += text;
  if (pending.text.size() >= kBlock) pending.writeLinesNow();
}

void writePendingLines() { pending.writeLinesNow(); }

void printUnmended(const Unmended& item, const CheckAccount& who, bool json) {
  const bool missing = item.kind == "missing";
  if (json) {
    std::printf("{\"user\":%s,\"home\":%s,\"path\":%s,\"attribute\":%s,\"repair_mends\":false}\n",
                jsonText(who.name).c_str(), jsonText(who.home).c_str(), jsonText(item.path).c_str(),
                jsonText(item.kind).c_str());
    return;
  }
  std::printf("%s  %s\n", printable(item.path).c_str(),
              missing ? "missing (a repair does not restore it)" : "is a symbolic link (left as it is)");
}

void printSummary(const CheckSummary& summary, const CheckAccount& who, bool json) {
  const bool clean = summary.differences == 0 && summary.complete;
  const auto count = [](uint64_t n) { return static_cast<unsigned long long>(n); };
  if (json) {
    std::printf("{\"user\":%s,\"home\":%s,\"items\":%llu,\"differences\":%llu,\"left_alone\":%llu,"
                "\"missing\":%llu,\"links\":%llu,\"complete\":%s,\"clean\":%s}\n",
                jsonText(who.name).c_str(), jsonText(who.home).c_str(), count(summary.items),
                count(summary.differences), count(summary.leftAlone), count(summary.missing), count(summary.links),
                summary.complete ? "true" : "false", clean ? "true" : "false");
    return;
  }
  const std::string name = printable(who.name) + " (" + printable(who.home) + ")";
  const char* unread = summary.complete ? "" : ", not all read";
  if (summary.differences == 0) {
    std::printf("%s: %s, %llu items%s\n", name.c_str(), clean ? "clean" : "no differences", count(summary.items),
                unread);
  } else {
    std::printf("%s: %llu difference%s in %llu of %llu items%s\n", name.c_str(), count(summary.differences),
                summary.differences == 1 ? "" : "s", count(summary.differingItems), count(summary.items), unread);
  }
  if (summary.leftAlone) {
    std::printf("%s: %llu file%s with other names outside the home left alone\n", name.c_str(),
                count(summary.leftAlone), summary.leftAlone == 1 ? "" : "s");
  }
  if (summary.missing) {
    std::printf("%s: %llu template item%s missing (a repair does not restore %s)\n", name.c_str(),
                count(summary.missing), summary.missing == 1 ? "" : "s", summary.missing == 1 ? "it" : "them");
  }
  if (summary.links) {
    std::printf("%s: %llu template item%s replaced by a symbolic link (left as %s)\n", name.c_str(),
                count(summary.links), summary.links == 1 ? "" : "s", summary.links == 1 ? "it is" : "they are");
  }
}
