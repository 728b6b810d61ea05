#include "view/accounts_view.hpp"

#include "view/prometheus_text.hpp"
#include "view/service_prometheus.hpp"

#include <nlohmann/json.hpp>

#include <algorithm>

namespace quorbel {
namespace {

constexpr std::string_view kAccountSeparator = " | ";
constexpr std::string_view kProgramName = "Claude";

std::string dumped(const nlohmann::json &object) {
  return object.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
}

// Columns as a terminal counts them for our texts: one per character, not per UTF-8 byte.
std::size_t columns(std::string_view text) {
  return std::size_t(std::count_if(text.begin(), text.end(), [](char c) {
    return (static_cast<unsigned char>(c) & 0xC0) != 0x80;
  }));
}

// The single-account line, its "Claude" (shown when there are no numbers) giving way to the name.
std::string namedLine(const std::string &name, const std::string &line) {
  if (line.starts_with(kProgramName)) {
    return name + line.substr(kProgramName.size());
  }
  return name + " " + line;
}

// How far the line of several accounts is shortened; each step keeps what the ones before cut.
enum class Shortening { none, modelNames, extraAccounts, allAccounts, briefMarks };

// The first characters of `text` that fit in `width` columns less one, then an ellipsis.
std::string cutToColumns(const std::string &text, std::size_t width) {
  if (columns(text) <= width) {
    return text;
  }
  std::string cut;
  std::size_t count = 0;
  for (const char c : text) {
    const bool starts = (static_cast<unsigned char>(c) & 0xC0) != 0x80;
    if (starts && ++count == width) {
      break;
    }
    cut += c;
  }
  return cut + "\u2026";
}

UsageView withModelNamesCut(UsageView view) {
  for (WindowView &window : view.models) {
    window.label = cutToColumns(window.label, kMaxModelNameColumns);
  }
  if (view.fullest) {
    view.fullest->label = cutToColumns(view.fullest->label, kMaxModelNameColumns);
  }
  return view;
}

// The service's trouble is the machine's, the same in every account's view: the several-account
// formats show it once, after the accounts, rather than in each account's part.
std::optional<ServiceView> machineService(const std::vector<AccountView> &accounts) {
  for (const AccountView &account : accounts) {
    if (account.view && account.view->service) {
      return account.view->service;
    }
  }
  return std::nullopt;
}

UsageView withoutService(UsageView view) {
  view.service.reset();
  return view;
}

std::string accountText(const AccountView &account, Shortening step, bool first) {
  if (!account.view) {
    return namedLine(account.name, formatUnavailable(OutputFormat::text, account.reading.problem));
  }
  const UsageView view =
      withoutService(step == Shortening::none ? *account.view : withModelNamesCut(*account.view));
  if (step < (first ? Shortening::allAccounts : Shortening::extraAccounts)) {
    return namedLine(account.name, formatText(view));
  }
  return namedLine(account.name, formatFullestText(view, !first || step == Shortening::briefMarks));
}

std::string accountsText(const std::vector<AccountView> &accounts) {
  const std::optional<ServiceView> service = machineService(accounts);
  const std::string serviceText =
      service ? std::string(kAccountSeparator) + service->mark : std::string();
  std::string text;
  for (const Shortening step : {Shortening::none, Shortening::modelNames, Shortening::extraAccounts,
                                Shortening::allAccounts, Shortening::briefMarks}) {
    text.clear();
    for (std::size_t i = 0; i < accounts.size(); ++i) {
      text +=
          (i == 0 ? "" : std::string(kAccountSeparator)) + accountText(accounts[i], step, i == 0);
    }
    text += serviceText;
    if (columns(text) <= kMaxAccountsTextColumns) {
      break;
    }
  }
  return text;
}

std::string indented(const std::string &lines) {
  std::string text = "  ";
  for (const char c : lines) {
    text += c;
    if (c == '\n') {
      text += "  ";
    }
  }
  return text;
}

std::string accountsLong(const std::vector<AccountView> &accounts) {
  std::string text;
  for (const AccountView &account : accounts) {
    if (!text.empty()) {
      text += "\n\n";
    }
    text +=
        account.name + "\n" +
        indented(account.view ? formatView(withoutService(*account.view), OutputFormat::longText)
                              : account.reading.problem);
  }
  if (const std::optional<ServiceView> service = machineService(accounts)) {
    for (const std::string &line : service->details) {
      text += (&line == &service->details.front() ? "\n\n" : "\n") + line;
    }
  }
  return text;
}

// The account closest to a limit, which decides how a bar colours the whole line.
const AccountView *fullestAccount(const std::vector<AccountView> &accounts) {
  const AccountView *fullest = nullptr;
  for (const AccountView &account : accounts) {
    if (account.view &&
        (fullest == nullptr || account.view->percentage > fullest->view->percentage)) {
      fullest = &account;
    }
  }
  return fullest;
}

// Every account's status shows in the class, so a style for a sign-out applies whichever account
// it is; the level, like the percentage, is the fullest account's.
std::string accountsWaybar(const std::vector<AccountView> &accounts) {
  const std::string text = accountsText(accounts);
  const std::string tooltip = accountsLong(accounts);
  const AccountView *fullest = fullestAccount(accounts);
  if (fullest == nullptr) {
    return waybarObject(text, tooltip, {"unavailable"}, 0);
  }
  std::vector<std::string> classes;
  bool fetched = false;
  bool paying = false;
  for (const AccountView &account : accounts) {
    const std::vector<std::string> own =
        account.view ? waybarStatusClasses(*account.view) : std::vector<std::string>{"unavailable"};
    for (const std::string &name : own) {
      if (std::find(classes.begin(), classes.end(), name) == classes.end()) {
        classes.push_back(name);
      }
    }
    fetched = fetched || (account.view && account.view->fetched);
    paying = paying || (account.view && account.view->payingExtra);
  }
  if (fetched || classes.empty()) {
    classes.push_back(fullest->view->level);
  }
  if (paying) {
    classes.emplace_back("extraUsage");
  }
  if (const std::optional<ServiceView> service = machineService(accounts)) {
    classes.emplace_back(levelName(service->level));
  }
  return waybarObject(text, tooltip, classes, fullest->view->percentage);
}

nlohmann::json accountJson(const AccountView &account) {
  nlohmann::json object = account.view ? nlohmann::json::parse(formatJson(*account.view))
                                       : nlohmann::json{{"error", account.reading.problem}};
  object["account"] = account.name;
  return object;
}

// Every account with a snapshot, each under its own name; nothing when none has one.
std::string accountsPrometheus(const std::vector<AccountView> &accounts) {
  std::vector<AccountSnapshot> snapshots;
  std::optional<Instant> now;
  std::optional<ServiceStatus> service; // the machine's, the same in every view
  for (const AccountView &account : accounts) {
    if (account.view) {
      snapshots.push_back({account.name, account.view->snapshot});
      now = account.view->now;
      service = account.view->serviceStatus;
    }
  }
  if (!now) {
    return "";
  }
  std::string text = formatPrometheus(std::move(snapshots), *now);
  if (service) {
    text += formatServicePrometheus(*service);
  }
  text.pop_back(); // the caller ends the output as every format's
  return text;
}

std::string accountsJson(const std::vector<AccountView> &accounts) {
  // A script written for one account keeps reading the default account where it always was.
  nlohmann::json object = nlohmann::json::object();
  nlohmann::json list = nlohmann::json::array();
  for (const AccountView &account : accounts) {
    nlohmann::json entry = accountJson(account);
    if (account.name == kDefaultAccountName) {
      object = entry;
      object.erase("account");
    }
    list.push_back(std::move(entry));
  }
  object["accounts"] = std::move(list);
  return dumped(object);
}

} // namespace

std::vector<AccountView> viewAccounts(const std::vector<AccountFile> &accounts, Instant now,
                                      const ViewOptions &options, const AccountViewing &viewing) {
  std::vector<AccountView> views;
  views.reserve(accounts.size());
  for (const AccountFile &account : accounts) {
    AccountView view{account.name, SnapshotReading::of(account.file), std::nullopt};
    if (view.reading.snapshot) {
      view.view = viewing ? viewing(*view.reading.snapshot, account.file)
                          : UsageView::of(*view.reading.snapshot, now, options);
    }
    views.push_back(std::move(view));
  }
  return views;
}

std::string formatAccounts(const std::vector<AccountView> &accounts, OutputFormat format) {
  switch (format) {
  case OutputFormat::text:
    return accountsText(accounts);
  case OutputFormat::longText:
    return accountsLong(accounts);
  case OutputFormat::waybar:
    return accountsWaybar(accounts);
  case OutputFormat::prometheus:
    return accountsPrometheus(accounts);
  case OutputFormat::json:
    break;
  }
  return accountsJson(accounts);
}

} // namespace quorbel
