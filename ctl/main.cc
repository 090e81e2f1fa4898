// hollinctl: the administrator's front end. It names accounts instead of ids
// and paths, refuses what is easy to get wrong by hand, says what it did, and
// can tell how far a home has drifted without changing it. Every change still
// goes through the tool itself, with its fixed command line.

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <optional>
#include <string>
#include <unordered_map>
#include <vector>

#include "creation/language.h"
#include "creation/locator.h"
#include "ctl/check.h"
#include "ctl/homelock.h"
#include "ctl/merge.h"
#include "ctl/metrics.h"
#include "ctl/names.h"
#include "ctl/report.h"
#include "ctl/show.h"
#include "ctl/template_init.h"
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
    "usage: hollinctl create USER [--language L] [--into-existing [--overwrite]] [--dry-run]\n"
    "       hollinctl create --if-missing [USER] [--language L]\n"
    "       hollinctl delete USER\n"
    "       hollinctl delete --home HOME --uid UID [USER]\n"
    "       hollinctl apply USER [--dry-run] [--json]\n"
    "       hollinctl repair USER [--dry-run] [--json]\n"
    "       hollinctl check USER|--all [--as-apply] [--json] [--openmetrics FILE [--metrics-optional]]\n"
    "       hollinctl show [-R] USER|PATH\n"
    "       hollinctl template init [--from-skel]\n"
    "       hollinctl --help | --version\n";

constexpr const char* kHelp =
    "\n"
    "Builds, deletes, repairs and checks users' home folders, by account name.\n"
    "\n"
    "  create   a home from the user template (--language picks its language;\n"
    "           an existing home is refused unless --into-existing, files it\n"
    "           would overwrite unless --overwrite; --dry-run lists both;\n"
    "           --if-missing: nothing when the home exists, the account from\n"
    "           PAM_USER under pam_exec)\n"
    "  delete   the home, when the account owns it (--home and --uid: of an\n"
    "           account already removed)\n"
    "  apply    ownership and permissions of every item of the home\n"
    "  repair   ownership, and permissions of the items the template has\n"
    "  check    what repair (--as-apply: apply) would change; changes nothing\n"
    "  show     owners, mode, flags and access list of an item (-R: the tree)\n"
    "  template init  the administrator's user template from the shipped\n"
    "           sample (--from-skel: with /etc/skel in Non_localized)\n"
    "\n"
    "  --dry-run  with apply or repair: only check; with create: list\n"
    "  --json     one JSON object per line\n"
    "  --openmetrics FILE  with check: per-home counts for a metrics collector\n"
    "           (--metrics-optional: none when FILE's folder does not exist)\n"
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
  std::optional<std::string> openMetrics;  // check --openmetrics
  bool metricsOptional = false;
  bool overwrite = false;
  bool ifMissing = false;
  bool fromSkel = false;
  std::optional<std::string> homeOption;  // delete --home
  std::optional<std::string> uidOption;   // delete --uid
  // The account when the caller has it already (from PAM_USER, or a removed
  // one given by uid and home); otherwise the operand is looked up.
  std::optional<Identity> resolved;
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
  if (option == "--dry-run") return command == "apply" || command == "repair" || command == "create";
  if (option == "--language" || option == "--into-existing" || option == "--overwrite" || option == "--if-missing") {
    return command == "create";
  }
  if (option == "--home" || option == "--uid") return command == "delete";
  if (option == "--from-skel") return command == "template";
  if (option == "--all" || option == "--as-apply" || option == "--openmetrics" || option == "--metrics-optional") {
    return command == "check";
  }
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
    if (arg == "--home" || arg == "--uid") {
      if (++i >= argc) return arg + (arg == "--home" ? " needs a folder" : " needs a user id");
      (arg == "--home" ? request->homeOption : request->uidOption) = argv[i];
    }
    if (arg == "--openmetrics") {
      if (++i >= argc) return std::string("--openmetrics needs a file");
      request->openMetrics = argv[i];
    }
    request->metricsOptional |= arg == "--metrics-optional";
    request->overwrite |= arg == "--overwrite";
    request->ifMissing |= arg == "--if-missing";
    request->fromSkel |= arg == "--from-skel";
    request->intoExisting |= arg == "--into-existing";
    request->dryRun |= arg == "--dry-run";
    request->json |= arg == "--json";
    request->all |= arg == "--all";
    request->asApply |= arg == "--as-apply";
    request->recursive |= arg == "-R";
  }
  const size_t wanted = request->all ? 0 : 1;
  // create may take its account from PAM_USER; delete --home names a removed one, its name optional.
  const bool accountOptional =
      request->command == "create" || (request->command == "delete" && (request->homeOption || request->uidOption));
  if (request->operands.size() != wanted && !(accountOptional && request->operands.empty())) {
    if (request->command == "template") return std::string("template: name one subcommand (init)");
    return request->command + (wanted ? ": name one account" : ": --all takes no account");
  }
  if (request->metricsOptional && !request->openMetrics) {
    return std::string("check: --metrics-optional goes with --openmetrics");
  }
  if (request->ifMissing && (request->intoExisting || request->overwrite)) {
    return std::string("create: --if-missing goes with neither --into-existing nor --overwrite");
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
int checkOne(const Identity& identity, CheckAs as, bool json, CheckRun& run, CheckSummary* found = nullptr) {
  const CheckAccount who{identity.shortName, identity.uid, identity.gid, *identity.home, identity.uuid};
  const std::optional<std::string> templateRoot = locateUserTemplate(who.home);
  if (!templateRoot) return failure("no user template for " + who.home);
  ProgressLine progress = startProgress();
  CheckHooks hooks;
  // Differences come from the walk's threads at once. Into a file or a pipe
  // they are written in blocks; on a terminal an item's lines at once, after
  // the progress line is erased.
  const bool onTerminal = isatty(STDOUT_FILENO) == 1;
  std::mutex terminal;
  hooks.difference = [&](const Difference& d) {
    const std::string text = differenceText(d, who, json);
    if (!onTerminal) return writeLines(text);
    const std::lock_guard<std::mutex> held(terminal);
    endProgress(progress);
    std::fputs(text.c_str(), stdout);
  };
  hooks.progress = [&](uint64_t items) {
    const std::lock_guard<std::mutex> held(terminal);
    drawProgress(progress, items);
  };
  hooks.homeCompared = writePendingLines;  // the home's own lines first
  hooks.unmended = [&](const Unmended& item) {
    writePendingLines();
    printUnmended(item, who, json);
  };
  const CheckSummary summary = checkHome(who, *templateRoot, as, hooks, run);
  writePendingLines();
  endProgress(progress);
  if (found) *found = summary;
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
  const std::vector<AccountRecord> accounts = readAccounts().value_or(std::vector<AccountRecord>{});
  // The changes look an account up by its short or its full name and refuse a
  // name that two accounts answer to; counted once here, not read again for
  // each account, so that a check of every home stays linear.
  std::unordered_map<std::string, unsigned> answering;
  for (const AccountRecord& record : accounts) {
    ++answering[record.shortName];
    if (record.fullName != record.shortName) ++answering[record.fullName];
  }
  std::vector<Identity> found;
  for (const AccountRecord& record : accounts) {
    if (record.uid == 0 || record.home.empty() || record.home[0] != '/') continue;
    if (answering[record.shortName] != 1) continue;
    const HeldHome home = holdHome(record.home);
    if (!home.folder.valid() || home.status.st_uid != record.uid) continue;
    found.push_back(identityOf(record));
  }
  return found;
}

int runCheck(const Request& request, CheckAs as);

// Checks every home for --openmetrics, then replaces the file with their
// counts; the folder is held first, so that nothing is checked for metrics
// that cannot be written. With --metrics-optional a folder that does not
// exist (no collector installed) only means no metrics.
int checkForMetrics(const Request& request, CheckAs as) {
  MetricsTarget target;
  if (const std::optional<std::string> problem = openMetricsTarget(*request.openMetrics, &target)) {
    if (!request.metricsOptional || !target.folderMissing) return failure("cannot write metrics to " + *problem);
    failure("no metrics written: " + *problem);
    Request plain = request;
    plain.openMetrics.reset();
    return runCheck(plain, as);
  }
  std::vector<HomeMetrics> homes;
  int result = kDone;
  CheckRun run = startCheckRun();
  const auto one = [&](const Identity& identity) {
    homes.push_back({identity.shortName, *identity.home, {}});
    return checkOne(identity, as, request.json, run, &homes.back().summary);
  };
  if (request.all) {
    for (const Identity& identity : accountsWithHomes()) result = std::max(result, std::min(one(identity), kDrift));
  } else if (const std::optional<Identity> identity = account(request.operands[0])) {
    result = one(*identity);
  } else {
    return kUsage;
  }
  const double now = std::chrono::duration<double>(std::chrono::system_clock::now().time_since_epoch()).count();
  if (const std::optional<std::string> problem = replaceMetrics(target, openMetricsText(homes, as, now))) {
    return failure("cannot write metrics to " + *problem);
  }
  return result;
}

int runCheck(const Request& request, CheckAs as) {
  if (request.openMetrics) return checkForMetrics(request, as);
  CheckRun run = startCheckRun();
  if (request.all) {
    int result = kDone;
    for (const Identity& identity : accountsWithHomes()) {
      const int status = checkOne(identity, as, request.json, run);
      result = std::max(result == kUsage ? kDrift : result, status == kUsage ? kDrift : status);
    }
    return result;
  }
  const std::optional<Identity> identity = account(request.operands[0]);
  return identity ? checkOne(*identity, as, request.json, run) : kUsage;
}

// --- changes ----------------------------------------------------------------

// apply and repair refuse before running when there is no home, or when its
// path holds something that is no folder: the tool would only log the first
// and take the second as a home.
std::optional<int> refuseWithoutHome(const Identity& identity) {
  const std::string& home = *identity.home;
  const HeldHome held = holdHome(home);
  if (held.folder.valid()) return std::nullopt;
  if (!held.examined) return failure(identity.shortName + ": no home at " + home);
  return failure(identity.shortName + ": " + home +
                 (S_ISLNK(held.status.st_mode) ? " is a symbolic link" : " is not a folder"));
}

// The summary line of a change on standard error. The tool's exit status
// leaves out much that it reports (a repair ignores chown's status), so every
// log line that reports a failure and every line a helper wrote on standard
// error counts as a problem, and a run with any is not done cleanly.
int reportChange(const std::string& command, const Identity& identity, const ToolRun& run, uint64_t items) {
  const std::string& home = *identity.home;
  const uint64_t problems = run.problems();
  const std::string count = std::to_string(problems) + (problems == 1 ? " problem" : " problems");
  std::string outcome = run.status != 0 ? "failed (status " + std::to_string(run.status) + ")"
                        : problems == 0 ? "done"
                                        : "done with " + count;
  if (command == "delete" && run.status == 0 && problems == 0 && lstatPath(home, nullptr)) {
    outcome = "left in place (not the account's)";
  }
  const bool listed = outcome != "done" && !run.firstLines.empty() && !outcome.starts_with("left");
  std::fprintf(stderr, "hollinctl: %s %s (%s): %s, %llu items, %.2f s, %llu log lines%s\n", command.c_str(),
               printable(identity.shortName).c_str(), printable(home).c_str(), outcome.c_str(),
               static_cast<unsigned long long>(items), run.seconds, static_cast<unsigned long long>(run.logLines),
               listed ? ":" : "");
  if (listed) {
    for (const std::string& line : run.firstLines) std::fprintf(stderr, "  %s\n", line.c_str());
  }
  return run.status == 0 && problems == 0 ? kDone : kDrift;
}

int runChange(const Request& request) {
  const std::optional<Identity> identity = request.resolved ? request.resolved : account(request.operands[0]);
  if (!identity) return kUsage;
  const std::string& home = *identity->home;
  const std::string uid = std::to_string(identity->uid);
  const std::string gid = std::to_string(identity->gid);
  const std::string& command = request.command;
  if (command == "apply" || command == "repair") {
    if (const std::optional<int> refused = refuseWithoutHome(*identity)) return *refused;
  }
  std::vector<std::string> arguments;
  if (command == "create") {
    if (lstatPath(home, nullptr) && !request.intoExisting) {
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

  return reportChange(command, *identity, run, items);
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

// --- create, delete and the hooks that run them --------------------------------

// What pam_exec says about the call. Its environment is the session's, not
// the administrator's: only these two variables are read, and the rest is
// dropped before anything runs.
struct PamCall {
  bool present = false;  // PAM_TYPE is set
  bool opening = false;  // to open_session
  std::optional<std::string> user;
};

PamCall takePamCall() {
  PamCall call;
  const char* type = std::getenv("PAM_TYPE");
  if (!type) return call;
  call.present = true;
  call.opening = std::strcmp(type, "open_session") == 0;
  if (const char* user = std::getenv("PAM_USER")) call.user = user;
  clearenv();
  setenv("PATH", "/usr/sbin:/usr/bin:/sbin:/bin", 1);
  return call;
}

// The account to create a home for: the operand, else PAM's user, which must
// be a short name exactly (a login name is never a full name).
std::optional<Identity> creationAccount(const Request& request, const PamCall& pam) {
  if (!request.operands.empty()) return account(request.operands[0]);
  std::optional<Identity> identity = account(*pam.user);
  if (identity && identity->shortName != *pam.user) {
    failure("no account named '" + *pam.user + "'");
    return std::nullopt;
  }
  return identity;
}

// A creation hands everything in the home to the account: refused for a path
// that another account names as its home, and for an existing item that is
// not a folder the account owns. The message, or none.
std::optional<std::string> foreignHome(const Identity& identity, const HeldHome& held) {
  const std::string& home = *identity.home;
  if (const std::optional<std::string> other = otherAccountWithHome(home, identity)) {
    return "create: " + home + " is the home of account '" + *other + "' too";
  }
  if (!held.examined) return std::nullopt;
  if (!held.folder.valid()) return "create: " + home + " is not a folder";
  const uid_t owner = held.status.st_uid;
  if (owner == identity.uid) return std::nullopt;
  const std::optional<AccountRecord> record = accountByUid(owner);
  const std::string who = (record ? record->shortName + " (uid " : "(uid ") + std::to_string(owner) + ")";
  return "create: " + home + " belongs to " + who + ", not to " + identity.shortName;
}

// What the creation would do to the home: with --dry-run every template item
// it would create and every item it would overwrite, on standard output.
// Overwriting is refused without --overwrite, the items listed.
int reviewMerge(const Request& request, const Identity& identity, const HeldHome& held) {
  const std::string& home = *identity.home;
  const std::optional<std::string> templateRoot = locateUserTemplate(std::nullopt);
  if (!templateRoot) return failure("create: no user template", kDrift);
  const MergePlan plan = planMerge(*templateRoot, chooseTemplateLanguage(*templateRoot, request.language),
                                   held.folder.get());
  if (plan.error != 0) return failure("create: cannot read " + plan.errorPath + ": " + std::strerror(plan.error), kDrift);
  if (request.dryRun) {
    for (const std::string& path : plan.created) std::printf("create  %s\n", printable(path).c_str());
    for (const std::string& path : plan.overwritten) std::printf("overwrite  %s\n", printable(path).c_str());
    std::printf("%s (%s): %zu to create, %zu to overwrite\n", printable(identity.shortName).c_str(),
                printable(home).c_str(), plan.created.size(), plan.overwritten.size());
    std::fflush(stdout);
  }
  if (plan.overwritten.empty() || request.overwrite) return kDone;
  std::fprintf(stderr, "hollinctl: create: the template would overwrite %zu item%s in %s (use --overwrite to "
               "replace %s)%s\n", plan.overwritten.size(), plan.overwritten.size() == 1 ? "" : "s",
               printable(home).c_str(), plan.overwritten.size() == 1 ? "it" : "them", request.dryRun ? "" : ":");
  if (!request.dryRun) {
    for (const std::string& path : plan.overwritten) std::fprintf(stderr, "  %s\n", printable(path).c_str());
  }
  return kUsage;
}

int lockFailure(const std::string& command, const HomeLock& lock) {
  return failure(command + ": cannot lock " + lock.where + ": " + std::strerror(lock.error), kDrift);
}

// Every creation holds the home's lock from the look at its path to the end
// of the run, so of two at once one creates and the other finds the home.
int runCreate(const Request& request) {
  const PamCall pam = takePamCall();
  if (pam.present && !pam.opening) return kDone;
  if (request.operands.empty() && !pam.user) return usageError("create: name one account");
  const std::optional<Identity> identity = creationAccount(request, pam);
  if (!identity) return kUsage;
  const std::string& home = *identity->home;
  if (request.ifMissing && !templateVolumeRoot(home)) {
    // A service account's /nonexistent is meant to stay missing.
    std::fprintf(stderr, "hollinctl: create: %s is outside the homes folder; left alone\n", printable(home).c_str());
    return kDone;
  }
  const HomeLock lock = lockHome(home);
  if (!lock.fd.valid()) return lockFailure("create", lock);
  int error = 0;
  const bool exists = lstatPath(home, &error).has_value();
  if (!exists && error != -ENOENT) return failure("create: " + home + ": " + std::strerror(-error));
  if (exists && request.ifMissing) return kDone;
  if (exists && !request.intoExisting) {
    return failure("create: " + home + " already exists (use --into-existing to create into it)");
  }
  const HeldHome held = exists ? holdHome(home) : HeldHome{};
  if (const std::optional<std::string> refusal = foreignHome(*identity, held)) return failure(*refusal);
  if (exists || request.dryRun) {
    const int status = reviewMerge(request, *identity, held);
    if (status != kDone || request.dryRun) return status;
  }
  Request resolved = request;
  resolved.resolved = identity;
  return runChange(resolved);
}

// The deletion hooks that run once the account is gone give its uid and
// home instead of a name to look up. As every deletion, the tool removes
// the home only when that uid owns it.
int runDeleteByHome(const Request& request) {
  if (!request.homeOption || !request.uidOption) return usageError("delete: --home and --uid go together");
  const std::optional<uint32_t> uid = plainIdNumber(*request.uidOption);
  if (!uid) return usageError("delete: --uid wants a user id, not '" + *request.uidOption + "'");
  const std::string home = normalHomeText(*request.homeOption);
  if (home.empty() || home[0] != '/' || home == "/") {
    return usageError("delete: --home wants the absolute path of a home, not '" + *request.homeOption + "'");
  }
  if (*uid == 0) return failure("delete: --uid 0: root's folders are not deleted as a home");
  // A home that an account still names is not a removed account's to lose.
  for (const AccountRecord& record : readAccounts().value_or(std::vector<AccountRecord>{})) {
    if (!record.home.empty() && normalHomeText(record.home) == home) {
      return failure("delete: " + home + " is the home of account '" + record.shortName + "'");
    }
  }
  Identity removed;
  removed.shortName = request.operands.empty() ? std::to_string(*uid) : request.operands[0];
  removed.uid = *uid;  // the group plays no part in a deletion
  removed.home = home;
  const HomeLock lock = lockHome(home);
  if (!lock.fd.valid()) return lockFailure("delete", lock);
  Request resolved = request;
  resolved.resolved = removed;
  return runChange(resolved);
}

int runDelete(const Request& request) {
  if (request.homeOption || request.uidOption) return runDeleteByHome(request);
  const std::optional<Identity> identity = account(request.operands[0]);
  if (!identity) return kUsage;
  const HomeLock lock = lockHome(*identity->home);
  if (!lock.fd.valid()) return lockFailure("delete", lock);
  Request resolved = request;
  resolved.resolved = identity;
  return runChange(resolved);
}

int runTemplate(const Request& request) {
  if (request.operands[0] != "init") return usageError("template: unknown subcommand '" + request.operands[0] + "'");
  const TemplateInit made = initAdminTemplate(request.fromSkel);
  if (made.status != kDone) return failure("template init: " + made.message, made.status);
  std::fprintf(stderr, "hollinctl: template init: %s\n", printable(made.message).c_str());
  return kDone;
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
  const std::vector<std::string> commands{"create", "delete", "apply", "repair", "check", "show", "template"};
  if (std::find(commands.begin(), commands.end(), first) == commands.end()) {
    return usageError("unknown command '" + first + "'");
  }
  Request request;
  if (const std::optional<std::string> problem = parse(argc, argv, &request)) return usageError(*problem);
  if (geteuid() != 0 && request.command != "show") return failure("must be run as root");

  if (request.command == "check") return runCheck(request, request.asApply ? CheckAs::Apply : CheckAs::Repair);
  if (request.command == "show") return runShow(request);
  if (request.command == "create") return runCreate(request);
  if (request.command == "delete") return runDelete(request);
  if (request.command == "template") return runTemplate(request);
  if (request.dryRun) return runCheck(request, request.command == "apply" ? CheckAs::Apply : CheckAs::Repair);
  return runChange(request);
}
