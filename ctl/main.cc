// hollinctl: the administrator's front end. It names accounts instead of ids
// and paths, refuses what is easy to get wrong by hand, says what it did, and
// can tell how far a home has drifted without changing it. Every change still
// goes through the tool itself, with its fixed command line.

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <optional>
#include <string>
#include <vector>

#include "creation/locator.h"
#include "ctl/check.h"
#include "ctl/names.h"
#include "ctl/report.h"
#include "ctl/show.h"
#include "ctl/watcher.h"
#include "main/identity.h"
#include "platform/admin/filestatus.h"
#include "platform/admin/home.h"
#include "platform/directory.h"
#include "platform/syslog.h"
#include "platform/text.h"

namespace {

constexpr int kDone = 0;
constexpr int kDrift = 1;  // also: the change failed, or partly
constexpr int kUsage = 2;  // also: no such account, no home, nothing at a path

constexpr const char* kSynopsis =
    "usage: hollinctl create USER [--language L] [--into-existing]\n"
    "       hollinctl delete USER\n"
    "       hollinctl apply USER [--dry-run] [--json]\n"
    "       hollinctl repair USER [--dry-run] [--json]\n"
    "       hollinctl check USER|--all [--as-apply] [--json]\n"
    "       hollinctl show [-R] USER|PATH\n"
    "       hollinctl --help | --version\n";

constexpr const char* kHelp =
    "\n"
    "Builds, deletes, repairs and checks users' home folders, by account name.\n"
    "\n"
    "  create   a home from the user template (--language picks its language;\n"
    "           an existing home is refused unless --into-existing)\n"
    "  delete   the home, when the account owns it\n"
    "  apply    ownership and permissions of every item of the home\n"
    "  repair   ownership, and permissions of the items the template has\n"
    "  check    what repair (--as-apply: apply) would change; changes nothing\n"
    "  show     owners, mode, flags and access list of an item (-R: the tree)\n"
    "\n"
    "  --dry-run  with apply or repair: only check\n"
    "  --json     one JSON object per line\n"
    "\n"
    "Exit status: 0 done or clean, 1 differences found or a change failed,\n"
    "2 usage error, unknown account or unreachable path.\n";

struct Request {
  std::string command;
  std::vector<std::string> operands;
  std::optional<std::string> language;
  bool intoExisting = false;
  bool dryRun = false;
  bool json = false;
  bool all = false;
  bool asApply = false;
  bool recursive = false;
};

// Messages carry account names, paths and operands as given: each is
// escaped whole, as the wording has neither control characters nor
// backslashes of its own.
int usageError(const std::string& message) {
  std::fprintf(stderr, "hollinctl: %s\n%s", printable(message).c_str(), kSynopsis);
  return kUsage;
}

int failure(const std::string& message, int status = kUsage) {
  std::fprintf(stderr, "hollinctl: %s\n", printable(message).c_str());
  return status;
}

// Options each command takes; anything else is a usage error.
bool allowed(const std::string& command, const std::string& option) {
  if (option == "--json") return command == "apply" || command == "repair" || command == "check";
  if (option == "--dry-run") return command == "apply" || command == "repair";
  if (option == "--language" || option == "--into-existing") return command == "create";
  if (option == "--all" || option == "--as-apply") return command == "check";
  if (option == "-R") return command == "show";
  return false;
}

std::optional<std::string> parse(int argc, char* argv[], Request* request) {
  request->command = argv[1];
  for (int i = 2; i < argc; ++i) {
    const std::string arg = argv[i];
    if (arg.empty() || arg[0] != '-' || arg == "-") {
      request->operands.push_back(arg);
      continue;
    }
    if (!allowed(request->command, arg)) return request->command + ": unknown option " + arg;
    if (arg == "--language") {
      if (++i >= argc) return std::string("--language needs a language");
      request->language = argv[i];
    }
    request->intoExisting |= arg == "--into-existing";
    request->dryRun |= arg == "--dry-run";
    request->json |= arg == "--json";
    request->all |= arg == "--all";
    request->asApply |= arg == "--as-apply";
    request->recursive |= arg == "-R";
  }
  const size_t wanted = request->all ? 0 : 1;
  if (request->operands.size() != wanted) {
    return request->command + (wanted ? ": name one account" : ": --all takes no account");
  }
  return std::nullopt;
}

// The account's record, or a message on standard error.
std::optional<Identity> account(const std::string& name) {
  const std::optional<Identity> identity = lookupIdentity(name);
  if (!identity) {
    failure("no account named '" + name + "'");
    return std::nullopt;
  }
  if (!identity->home || identity->home->empty() || (*identity->home)[0] != '/') {
    failure("account '" + name + "' has no home folder");
    return std::nullopt;
  }
  return identity;
}

// --- check ------------------------------------------------------------------

// Checks one account's home; kDone when clean, kDrift when anything differs
// or could not be read, kUsage when the home cannot be checked at all.
int checkOne(const Identity& identity, CheckAs as, bool json) {
  const CheckAccount who{identity.shortName, identity.uid, identity.gid, *identity.home, identity.uuid};
  const std::optional<std::string> templateRoot = locateUserTemplate(who.home);
  if (!templateRoot) return failure("no user template for " + who.home);
  ProgressLine progress = startProgress();
  CheckHooks hooks;
  hooks.difference = [&](const Difference& d) {
    endProgress(progress);
    printDifference(d, who, json);
  };
  hooks.progress = [&](uint64_t items) { drawProgress(progress, items); };
  const CheckSummary summary = checkHome(who, *templateRoot, as, hooks);
  endProgress(progress);
  if (!summary.reached) return failure(who.name + ": " + summary.error);
  if (!summary.complete) {
    std::fprintf(stderr, "hollinctl: %s: could not read %s\n", printable(who.name).c_str(),
                 printable(summary.error).c_str());
  }
  const bool clean = summary.differences == 0 && summary.complete;
  printSummary(summary, who, json);
  std::fflush(stdout);
  return clean ? kDone : kDrift;
}

// Accounts whose home is a folder they own, root's aside.
std::vector<Identity> accountsWithHomes() {
  std::vector<Identity> found;
  for (const AccountRecord& record : readAccounts().value_or(std::vector<AccountRecord>{})) {
    if (record.uid == 0 || record.home.empty() || record.home[0] != '/') continue;
    const HeldHome home = holdHome(record.home);
    if (!home.folder.valid() || home.status.st_uid != record.uid) continue;
    // Looked up as the changes look it up, so a name that two accounts share
    // is left out here as it would be refused there.
    if (const std::optional<Identity> identity = lookupIdentity(record.shortName)) found.push_back(*identity);
  }
  return found;
}

int runCheck(const Request& request, CheckAs as) {
  if (request.all) {
    int result = kDone;
    for (const Identity& identity : accountsWithHomes()) {
      const int status = checkOne(identity, as, request.json);
      result = std::max(result == kUsage ? kDrift : result, status == kUsage ? kDrift : status);
    }
    return result;
  }
  const std::optional<Identity> identity = account(request.operands[0]);
  return identity ? checkOne(*identity, as, request.json) : kUsage;
}

// --- changes ----------------------------------------------------------------

int runChange(const Request& request) {
  const std::optional<Identity> identity = account(request.operands[0]);
  if (!identity) return kUsage;
  const std::string& home = *identity->home;
  const std::string uid = std::to_string(identity->uid);
  const std::string gid = std::to_string(identity->gid);
  const std::string& command = request.command;
  std::vector<std::string> arguments;
  if (command == "create") {
    if (lstatPath(home) && !request.intoExisting) {
      return failure("create: " + home + " already exists (use --into-existing to create into it)");
    }
    arguments = {"-create", home, uid, gid, "1", "-", request.language.value_or(""), identity->shortName};
  } else if (command == "delete") {
    arguments = {"-delete", home, uid, gid, "2"};
  } else if (command == "apply") {
    arguments = {"-apply", home, uid, gid, "3", "-", "", identity->shortName};
  } else {
    arguments = {"-repairPermissions", home, "-", identity->shortName};
  }
  // Counted before a deletion, after anything else.
  const uint64_t before = command == "delete" ? countItems(home) : 0;
  ProgressLine progress = startProgress();
  const ToolRun run = runHollin(arguments, progress);
  const uint64_t items = command == "delete" ? before : countItems(home);

  std::string outcome = run.status == 0 ? "done" : "failed (status " + std::to_string(run.status) + ")";
  if (command == "delete" && run.status == 0 && lstatPath(home)) outcome = "left in place (not the account's)";
  std::fprintf(stderr, "hollinctl: %s %s (%s): %s, %llu items, %.2f s, %llu log lines%s\n", command.c_str(),
               printable(identity->shortName).c_str(), printable(home).c_str(), outcome.c_str(),
               static_cast<unsigned long long>(items), run.seconds, static_cast<unsigned long long>(run.logLines),
               run.status != 0 && !run.firstLines.empty() ? ":" : "");
  if (run.status != 0) {
    for (const std::string& line : run.firstLines) std::fprintf(stderr, "  %s\n", line.c_str());
  }
  return run.status == 0 ? kDone : kDrift;
}

int runShow(const Request& request) {
  std::string path = request.operands[0];
  if (path.empty() || path[0] != '/') {
    const std::optional<Identity> identity = account(path);
    if (!identity) return kUsage;
    path = *identity->home;
  }
  return showListing(path, request.recursive, stdout);
}

}  // namespace

int main(int argc, char* argv[]) {
  if (argc < 2) return usageError("no command given");
  const std::string first = argv[1];
  if (first == "--help" || first == "-h" || first == "help") {
    std::printf("%s%s", kSynopsis, kHelp);
    return kDone;
  }
  if (first == "--version") {
    std::printf("hollinctl %s\n", HOLLIN_VERSION);
    return kDone;
  }
  for (int i = 2; i < argc; ++i) {
    if (std::strcmp(argv[i], "--help") == 0) {
      std::printf("%s%s", kSynopsis, kHelp);
      return kDone;
    }
  }
  const std::vector<std::string> commands{"create", "delete", "apply", "repair", "check", "show"};
  if (std::find(commands.begin(), commands.end(), first) == commands.end()) {
    return usageError("unknown command '" + first + "'");
  }
  Request request;
  if (const std::optional<std::string> problem = parse(argc, argv, &request)) return usageError(*problem);
  if (geteuid() != 0 && request.command != "show") return failure("must be run as root");

  if (request.command == "check") return runCheck(request, request.asApply ? CheckAs::Apply : CheckAs::Repair);
  if (request.command == "show") return runShow(request);
  if (request.dryRun) return runCheck(request, request.command == "apply" ? CheckAs::Apply : CheckAs::Repair);
  return runChange(request);
}
