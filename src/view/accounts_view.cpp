#include "view/accounts_view.hpp"

#include "store/account_location.hpp"
#include "view/prometheus_text.hpp"

#include <nlohmann/json.hpp>

#include <algorithm>

namespace quorbel {
namespace {

namespace fs = std::filesystem;

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

// The window closest to its limit, the plan windows first on a tie.
const WindowView *fullestWindow(const UsageView &view) {
  const WindowView *fullest = nullptr;
  const auto consider = [&fullest](const WindowView &window) {
    if (fullest == nullptr || window.shownPercent > fullest->shownPercent) {
      fullest = &window;
    }
  };
  if (view.session) {
    consider(*view.session);
  }
  if (view.allModels) {
    consider(*view.allModels);
  }
  for (const WindowView &window : view.models) {
    consider(window);
  }
  return fullest;
}

std::string accountText(const AccountView &account, bool shortest) {
  if (!account.view) {
    return namedLine(account.name, formatUnavailable(OutputFormat::text, account.reading.problem));
  }
  const UsageView &view = *account.view;
  const WindowView *fullest = shortest && view.fetched ? fullestWindow(view) : nullptr;
  if (fullest == nullptr) {
    return namedLine(account.name, formatText(view));
  }
  return account.name + " " + fullest->label + " " + std::to_string(fullest->shownPercent) + "%" +
         statusMarker(view);
}

std::string accountsText(const std::vector<AccountView> &accounts) {
  for (const bool shortest : {false, true}) {
    std::string text;
    for (std::size_t i = 0; i < accounts.size(); ++i) {
      text += (i == 0 ? "" : std::string(kAccountSeparator)) +
              accountText(accounts[i], shortest && i > 0);
    }
    if (shortest || columns(text) <= kMaxAccountsTextColumns) {
      return text;
    }
  }
  return {};
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
    text += account.name + "\n" +
            indented(account.view ? formatView(*account.view, OutputFormat::longText)
                                  : account.reading.problem);
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

std::string accountsWaybar(const std::vector<AccountView> &accounts) {
  const AccountView *fullest = fullestAccount(accounts);
  nlohmann::json object = fullest
                              ? nlohmann::json::parse(formatWaybar(*fullest->view))
                              : nlohmann::json::parse(formatUnavailable(OutputFormat::waybar, ""));
  object["text"] = accountsText(accounts);
  object["tooltip"] = accountsLong(accounts);
  return dumped(object);
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
  for (const AccountView &account : accounts) {
    if (account.view) {
      snapshots.push_back({account.name, account.view->snapshot});
      now = account.view->now;
    }
  }
  if (!now) {
    return "";
  }
  std::string text = formatPrometheus(std::move(snapshots), *now);
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

std::vector<AccountFile> findAccounts(const fs::path &defaultFile) {
  std::vector<AccountFile> others;
  std::error_code error;
  for (fs::directory_iterator entry(accountsDirectory(defaultFile), error), end;
       !error && entry != end; entry.increment(error)) {
    const std::string name = entry->path().filename().string();
    std::error_code typeError;
    if (isValidAccountName(name) && entry->is_directory(typeError)) {
      others.push_back({name, entry->path() / kSnapshotFileName});
    }
  }
  std::sort(others.begin(), others.end(),
            [](const AccountFile &a, const AccountFile &b) { return a.name < b.name; });
  std::vector<AccountFile> accounts;
  if (others.empty() || fs::exists(defaultFile, error)) {
    accounts.push_back({std::string(kDefaultAccountName), defaultFile});
  }
  accounts.insert(accounts.end(), others.begin(), others.end());
  return accounts;
}

std::optional<AccountFile> accountNamed(const std::vector<AccountFile> &accounts,
                                        const fs::path &defaultFile, std::string_view name) {
  if (name == kDefaultAccountName) {
    return AccountFile{std::string(kDefaultAccountName), defaultFile};
  }
  const auto found =
      std::find_if(accounts.begin(), accounts.end(),
                   [name](const AccountFile &account) { return account.name == name; });
  return found == accounts.end() ? std::nullopt : std::optional<AccountFile>(*found);
}

std::string accountNames(const std::vector<AccountFile> &accounts) {
  std::string names;
  for (const AccountFile &account : accounts) {
    names += (names.empty() ? "" : ", ") + account.name;
  }
  return names;
}

std::vector<AccountView> viewAccounts(const std::vector<AccountFile> &accounts, Instant now,
                                      const ViewOptions &options) {
  std::vector<AccountView> views;
  views.reserve(accounts.size());
  for (const AccountFile &account : accounts) {
    AccountView view{account.name, SnapshotReading::of(account.file), std::nullopt};
    if (view.reading.snapshot) {
      view.view = UsageView::of(*view.reading.snapshot, now, options);
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
