#include "notify/notification_sending.hpp"

namespace quorbel {

void tellOnce(const NotifierErrors &errors, const std::string &problem, std::string &lastTold) {
  if (problem != lastTold) {
    errors("quorbel-status: " + problem);
    lastTold = problem;
  }
}

bool sendOrTellOnce(NotificationSending &sender, const DesktopNotification &notification,
                    const NotifierErrors &errors, std::string &lastSendProblem) {
  try {
    sender.send(notification);
  } catch (const NotificationError &problem) {
    tellOnce(errors,
             std::string("cannot show desktop notifications: ") + problem.what() +
                 "; will try again when the next one is due",
             lastSendProblem);
    return false;
  }
  lastSendProblem.clear();
  return true;
}

} // namespace quorbel
