// What the readers make of the service status file: nothing unless it is fresh and something that
// concerns Claude Code is wrong.
#include "support/snapshots.hpp"
#include "view/accounts_view.hpp"
#include "view/usage_formats.hpp"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

namespace quorbel {
namespace {

using namespace std::chrono_literals;

const Instant kNow = instantFromUnixSeconds(1'796'637'600);
const ServiceIncident kDown{"i1", "Elevated errors", IncidentImpact::major,
                            IncidentState::identified, "https://stspg.io/x"};
const ServiceIncident kSlow{"i2", "Slow answers", IncidentImpact::minor,
                            IncidentState::investigating, ""};

ServiceStatus status(std::chrono::minutes age, std::vector<ServiceComponent> components,
                     std::vector<ServiceIncident> incidents = {}) {
  return {ServiceIndicator::major, "Said", kNow - age, std::move(components), std::move(incidents)};
}

TEST(ServiceView, ShowsOnlyWhatIsWrongWhileTheAnswerIsFresh) {
  const ServiceComponent outage{"Claude Code", ComponentState::majorOutage};
  const ServiceComponent partial{"claude.ai", ComponentState::partialOutage};
  const struct Case {
    const char *name;
    std::optional<ServiceStatus> status;
    std::string shown; // "level|mark|detail|detail...", or empty for nothing
  } cases[] = {
      {"no file", std::nullopt, ""},
      {"all operational", status(1min, {}), ""},
      {"a major outage", status(1min, {outage, partial}, {kDown}),
       "outage|Claude Code outage|Service: Claude Code outage|Service: claude.ai partial outage|"
       "Incident: Elevated errors (identified, major impact) https://stspg.io/x"},
      {"thirty minutes old", status(30min, {partial}),
       "degraded|claude.ai partial outage|Service: claude.ai partial outage"},
      {"older", status(31min, {outage}), ""},
      {"from the future", status(-1min, {outage}), ""},
      {"an unknown state is not operational",
       status(1min, {{"Claude Code", ComponentState::unknown}}),
       "degraded|Claude Code status unknown|Service: Claude Code status unknown"},
      {"an incident alone", status(1min, {}, {kSlow}),
       "degraded|Claude incident|Incident: Slow answers (investigating, minor impact)"},
      {"a major incident alone", status(1min, {}, {kDown}),
       "outage|Claude outage|Incident: Elevated errors (identified, major impact) "
       "https://stspg.io/x"},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.name);
    const auto view = ServiceView::of(c.status, kNow);
    std::string shown;
    if (view) {
      shown = std::string(levelName(view->level)) + "|" + view->mark;
      for (const std::string &line : view->details) {
        shown += "|" + line;
      }
    }
    EXPECT_EQ(shown, c.shown);
  }
}

// Each format shows the trouble beside the numbers: a mark on the line, the details in the long
// text and the tooltip, a class for the bar and the whole answer for a script.
TEST(ServiceView, EveryFormatShowsTheTroubleFromTheOneView) {
  UsageView view = UsageView::of(testing::fetchedNow(41), kNow, {});
  view.serviceStatus = status(1min, {{"Claude Code", ComponentState::majorOutage}}, {kDown});
  view.service = ServiceView::of(view.serviceStatus, kNow);
  EXPECT_EQ(formatText(view), "5h 41% \u00b7 7d 14% \u00b7 Claude Code outage");
  const std::string details = "Service: Claude Code outage\nIncident: Elevated errors "
                              "(identified, major impact) https://stspg.io/x\n";
  EXPECT_NE(formatLong(view).find("\n" + details), std::string::npos) << formatLong(view);
  const auto waybar = nlohmann::json::parse(formatWaybar(view));
  EXPECT_EQ(waybar.at("class").dump(), R"(["ok","outage"])");
  EXPECT_EQ(waybar.at("tooltip"), formatView(view, OutputFormat::longText));
  EXPECT_EQ(nlohmann::json::parse(formatJson(view)).at("service").dump(),
            R"({"checkedAt":"2026-12-07T09:59:00Z","components":[{"name":"Claude Code",)"
            R"("status":"major_outage"}],"description":"Said","incidents":[{"impact":"major",)"
            R"("link":"https://stspg.io/x","name":"Elevated errors","status":"identified"}],)"
            R"("indicator":"major","level":"outage","mark":"Claude Code outage"})");
  const auto metricsOf = [](const UsageView &shown) {
    return formatAccounts({{"default", {}, shown}}, OutputFormat::prometheus);
  };
  const std::string metrics = metricsOf(view);
  const auto series = [&](const std::string &name, const std::string &labels,
                          const std::string &value) {
    return metrics.find("\n" + name + labels + " " + value + "\n") != std::string::npos;
  };
  EXPECT_TRUE(series("quorbel_service_checked_timestamp_seconds", "", "1796637540") &&
              series("quorbel_service_indicator", R"({indicator="major"})", "1") &&
              series("quorbel_service_indicator", R"({indicator="none"})", "0") &&
              series("quorbel_service_component_status",
                     R"({component="Claude Code",status="major_outage"})", "1") &&
              series("quorbel_service_component_status",
                     R"({component="Claude Code",status="operational"})", "0"))
      << metrics;
  // Several accounts share the one service: their bar still gets its class.
  const auto several = nlohmann::json::parse(
      formatAccounts({{"default", {}, view}, {"work", {}, view}}, OutputFormat::waybar));
  EXPECT_EQ(several.at("class").dump(), R"(["ok","outage"])");
  view.service.reset();
  view.serviceStatus.reset();
  EXPECT_EQ(nlohmann::json::parse(formatJson(view)).at("service"), nullptr);
  EXPECT_EQ(metricsOf(view).find("quorbel_service"), std::string::npos);
}

} // namespace
} // namespace quorbel
