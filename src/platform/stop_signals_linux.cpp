#include "platform/stop_signals_linux.hpp"

#include <csignal>
#include <unistd.h>

namespace quorbel {
namespace {

void exitAtOnce(int) { ::_exit(0); }

} // namespace

void endOnStopSignals() {
  struct sigaction action {};
  action.sa_handler = exitAtOnce;
  sigemptyset(&action.sa_mask);
  ::sigaction(SIGTERM, &action, nullptr);
  ::sigaction(SIGINT, &action, nullptr);
  std::signal(SIGPIPE, SIG_IGN);
}

StopSignalsHeld::StopSignalsHeld() {
  sigset_t stops;
  sigemptyset(&stops);
  sigaddset(&stops, SIGTERM);
  sigaddset(&stops, SIGINT);
  ::pthread_sigmask(SIG_BLOCK, &stops, &previous_);
}

StopSignalsHeld::~StopSignalsHeld() { ::pthread_sigmask(SIG_SETMASK, &previous_, nullptr); }

} // namespace quorbel
