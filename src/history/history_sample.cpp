#include "history/history_sample.hpp"

namespace quorbel {

std::string HistoryWindow::name() const {
  switch (kind) {
  case HistoryWindowKind::session:
    return "session";
  case HistoryWindowKind::allModels:
    return "allModels";
  case HistoryWindowKind::model:
    break;
  }
  return model;
}

const HistoryWindow *HistorySample::window(HistoryWindowKind kind, std::string_view model) const {
  for (const HistoryWindow &candidate : windows) {
    if (candidate.kind == kind && candidate.model == model) {
      return &candidate;
    }
  }
  return nullptr;
}

HistorySample HistorySample::of(const PlanSnapshot &snapshot) {
  HistorySample sample;
  sample.fetchedAt = snapshot.fetchedAt;
  if (snapshot.session) {
    sample.windows.push_back(
        {HistoryWindowKind::session, "", snapshot.session->percent, snapshot.session->resetsAt});
  }
  if (snapshot.allModels) {
    sample.windows.push_back({HistoryWindowKind::allModels, "", snapshot.allModels->percent,
                              snapshot.allModels->resetsAt});
  }
  for (const ModelWindow &model : snapshot.modelWindows) {
    sample.windows.push_back(
        {HistoryWindowKind::model, model.model, model.percent, model.resetsAt});
  }
  sample.extraUsage = snapshot.extraUsage;
  return sample;
}

} // namespace quorbel
