#include "notify/incident_notifier.hpp"

#include "support/deadline.hpp"
#include "support/temp_dir.hpp"

#include <gtest/gtest.h>

namespace quorbel {
namespace {

using namespace std::chrono_literals;

const Instant kT0 = *PlanDateParser::dateFrom("2026-12-07T10:00:00Z");

ServiceIncident incident(const std::string &id, IncidentImpact impact = IncidentImpact::minor,
                         IncidentState state = IncidentState::investigating) {
  return {id, "Incident " + id, impact, state, "https://stspg.io/" + id};
}

// Two notifiers on one machine, as for two accounts, sharing one sender: the test records what
// each look shows as "+name urgency" when an incident starts and "-name" when it is resolved.
class IncidentNotifierTest : public ::testing::Test, public NotificationSending {
protected:
  void send(const DesktopNotification &notification) override {
    if (refuse_) {
      throw NotificationError("no service");
    }
    const bool ended = notification.summary == "Claude service incident resolved";
    ASSERT_TRUE(ended || notification.summary == "Claude service incident");
    shown_ += std::string(shown_.empty() ? "" : "; ") + (ended ? "-" : "+");
    shown_ += notification.body.substr(0, notification.body.find('\n'));
    shown_ +=
        ended ? std::string() : std::string(1, ' ') + std::to_string(int(notification.urgency));
    body_ = ended ? body_ : notification.body; // of the last start
  }

  std::unique_ptr<IncidentNotifier> started() {
    return std::make_unique<IncidentNotifier>(
        status_, told_, *this, [this](std::string_view error) { errors_.emplace_back(error); });
  }

  void write(const std::optional<ServiceStatus> &status) {
    std::filesystem::remove(status_);
    if (status) {
      testing::writeFile(status_, encodeServiceStatus(*status));
    }
  }

  std::string look(Instant now) {
    shown_.clear();
    // A rule that keeps finding something to tell would have the notifier loop without end.
    testing::finishesWithin("a look", [&] {
      for (auto *notifier : {first_.get(), second_.get()}) {
        if (notifier != nullptr) {
          notifier->update(now);
        }
      }
    });
    return shown_;
  }

  testing::ScopedTempDir temp_;
  const std::filesystem::path status_ = temp_ / "data/service-status.json";
  const std::filesystem::path told_ = temp_ / "state" / std::string(kIncidentsToldFileName);
  std::unique_ptr<IncidentNotifier> first_, second_;
  std::string shown_, body_;
  bool refuse_ = false;
  std::vector<std::string> errors_;
};

ServiceStatus checked(Instant at, std::vector<ServiceIncident> incidents) {
  return {ServiceIndicator::minor, "Minor", at, {}, std::move(incidents)};
}

TEST_F(IncidentNotifierTest, TellsEachIncidentOnceAndItsEndOnlyWhenAFreshCheckShowsIt) {
  enum class Then { look, restartBoth, holderGoes, refuse, corruptRecord };
  const ServiceIncident major = incident("a", IncidentImpact::major);
  const ServiceIncident hostile{"x", "<b>Errors</b> & \x1b]0;t\a\"API\"", IncidentImpact::major,
                                IncidentState::identified, "https://stspg.io/x?a=1&b=2"};
  const struct Step {
    const char *name;
    Then then;
    std::optional<ServiceStatus> status;
    Instant now;
    std::string shown;
  } steps[] = {
      {"no file", Then::look, std::nullopt, kT0, ""},
      {"nothing open", Then::look, checked(kT0, {}), kT0, ""},
      {"open when first seen: told once, by one notifier", Then::look,
       checked(kT0, {major, incident("b")}), kT0 + 1min, "+Incident a 2; +Incident b 1"},
      {"a later check", Then::look, checked(kT0 + 5min, {major, incident("b")}), kT0 + 6min, ""},
      {"a restart", Then::restartBoth, checked(kT0 + 5min, {major, incident("b")}), kT0 + 7min, ""},
      {"a stale file is no end", Then::look, checked(kT0 + 10min, {incident("b")}), kT0 + 41min,
       ""},
      {"a missing file is no end", Then::look, std::nullopt, kT0 + 42min, ""},
      {"a full list proves nothing of one left out", Then::look,
       checked(kT0 + 45min,
               {incident("b"), incident("c", IncidentImpact::critical), incident("d")}),
       kT0 + 46min, "+Incident c 2; +Incident d 1"},
      {"an older check than the last to list it", Then::look, checked(kT0 + 4min, {}), kT0 + 30min,
       ""},
      {"not shown: tried again at the next look", Then::refuse, checked(kT0 + 50min, {}),
       kT0 + 51min, ""},
      {"ended", Then::look, checked(kT0 + 50min, {incident("b")}), kT0 + 52min,
       "-Incident a; -Incident c; -Incident d"},
      {"listed resolved, in a full list", Then::holderGoes,
       checked(kT0 + 55min, {incident("b", IncidentImpact::minor, IncidentState::resolved),
                             incident("e", IncidentImpact::none), incident("f")}),
       kT0 + 56min, "+Incident e 1; +Incident f 1; -Incident b"},
      {"a record that cannot be read", Then::corruptRecord, checked(kT0 + 60min, {incident("e")}),
       kT0 + 61min, "+Incident e 1"},
      {"the page's words shown as written", Then::look, checked(kT0 + 65min, {hostile}),
       kT0 + 66min, "+&lt;b&gt;Errors&lt;/b&gt; &amp; ]0;t&quot;API&quot; 2; -Incident e"},
  };
  first_ = started();
  second_ = started();
  for (const Step &step : steps) {
    SCOPED_TRACE(step.name);
    write(step.status);
    refuse_ = step.then == Then::refuse;
    if (step.then == Then::restartBoth || step.then == Then::corruptRecord) {
      first_.reset();
      second_.reset();
      if (step.then == Then::corruptRecord) {
        testing::writeFile(told_, "{\"open\": []}");
      }
      first_ = started();
      second_ = started();
    }
    if (step.then == Then::holderGoes) {
      first_.reset(); // the second takes over, with what the first told
    }
    EXPECT_EQ(look(step.now), step.shown);
  }
  // Not markup, and no controls: the body is escaped for the notification service.
  EXPECT_EQ(body_, "&lt;b&gt;Errors&lt;/b&gt; &amp; ]0;t&quot;API&quot;\nStatus page: identified, "
                   "major impact\nhttps://stspg.io/x?a=1&amp;b=2");
  EXPECT_EQ(errors_, (std::vector<std::string>{
                         "quorbel-status: cannot show desktop notifications: no service; will try "
                         "again when the next one is due",
                         "quorbel-status: ignoring " + told_.string() +
                             ": not a record of incidents told"}));
}

// A page that opens incident after incident keeps a bounded record and tells each new one once.
TEST_F(IncidentNotifierTest, KeepsABoundedRecordOfWhatWasTold) {
  first_ = started();
  for (int round = 0; round < 9; ++round) {
    const std::string id = std::to_string(round);
    write(
        checked(kT0 + round * 1min, {incident(id + "a"), incident(id + "b"), incident(id + "c")}));
    look(kT0 + round * 1min);
  }
  const IncidentsTold told = decodeIncidentsTold(testing::readFile(told_));
  EXPECT_EQ(told.open.size(), kMaxToldIncidents);
  EXPECT_FALSE(told.open.contains("id:0a")); // the oldest went first
  EXPECT_TRUE(told.open.contains("id:8c"));
  // One from a check older than all the others is kept as told, not forgotten and told again.
  write(checked(kT0 - 10min, {incident("late")}));
  EXPECT_EQ(look(kT0 + 9min), "+Incident late 1");
}

} // namespace
} // namespace quorbel
