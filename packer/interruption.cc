#include "interruption.h"

#include <signal.h>

#include <csignal>
#include <cstring>
#include <string>

namespace packer {
namespace {

volatile std::sig_atomic_t caught = 0;

void Note(int signal_number) { caught = signal_number; }

}  // namespace

void CatchInterruptions() {
  struct sigaction action;
  std::memset(&action, 0, sizeof action);
  action.sa_handler = Note;
  sigemptyset(&action.sa_mask);
  // No SA_RESTART: a wait for a tool returns at once with EINTR.
  for (const int signal_number : {SIGINT, SIGTERM, SIGHUP}) {
    sigaction(signal_number, &action, nullptr);
  }
}

bool Interrupted() { return caught != 0; }

Status InterruptedStatus() {
  const int signal_number = caught;
  return {128 + signal_number,
          "interrupted by signal " + std::to_string(signal_number) + " (" +
              strsignal(signal_number) + "); nothing was written"};
}

}  // namespace packer
