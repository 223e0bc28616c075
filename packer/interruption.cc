#include "interruption.h"

#include <signal.h>

#include <csignal>
#include <cstring>
#include <string>

namespace packer {
namespace {

volatile std::sig_atomic_t caught = 0;

constexpr int kInterruptions[] = {SIGINT, SIGTERM, SIGHUP};

void Note(int signal_number) { caught = signal_number; }

}  // namespace

void CatchInterruptions() {
  struct sigaction action;
  std::memset(&action, 0, sizeof action);
  action.sa_handler = Note;
  sigemptyset(&action.sa_mask);
  // No SA_RESTART: a wait for a tool returns at once with EINTR.
  for (const int signal_number : kInterruptions) {
    sigaction(signal_number, &action, nullptr);
  }
}

InterruptionsHeld::InterruptionsHeld() {
  sigset_t held;
  sigemptyset(&held);
  for (const int signal_number : kInterruptions)
    sigaddset(&held, signal_number);
  pthread_sigmask(SIG_BLOCK, &held, &before_);
}

InterruptionsHeld::~InterruptionsHeld() {
  pthread_sigmask(SIG_SETMASK, &before_, nullptr);
}

bool Interrupted() { return caught != 0; }

Status InterruptedStatus() {
  const int signal_number = caught;
  return {128 + signal_number,
          "interrupted by signal " + std::to_string(signal_number) + " (" +
              strsignal(signal_number) + "); nothing was written"};
}

}  // namespace packer
