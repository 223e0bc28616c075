#include "run_tool.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <fstream>
#include <iterator>

#include "interruption.h"

extern char** environ;

namespace packer {
namespace {

// What the tool said, cut to a few lines' worth.
std::string LogOf(const std::string& path) {
  std::ifstream log(path);
  std::string text((std::istreambuf_iterator<char>(log)),
                   std::istreambuf_iterator<char>());
  if (text.size() > 2000) text = "..." + text.substr(text.size() - 2000);
  while (!text.empty() && (text.back() == '\n' || text.back() == '\r'))
    text.pop_back();
  return text.empty() ? "" : ":\n" + text;
}

std::vector<std::string> Environment(
    const std::vector<std::string>& overrides) {
  std::vector<std::string> variables;
  for (char** entry = environ; *entry != nullptr; ++entry) {
    const std::string variable = *entry;
    bool overridden = false;
    for (const std::string& item : overrides) {
      const size_t equals = item.find('=');
      overridden |= variable.compare(0, equals + 1, item, 0, equals + 1) == 0;
    }
    if (!overridden) variables.push_back(variable);
  }
  variables.insert(variables.end(), overrides.begin(), overrides.end());
  return variables;
}

std::vector<char*> Pointers(std::vector<std::string>& strings) {
  std::vector<char*> pointers;
  for (std::string& text : strings) pointers.push_back(&text[0]);
  pointers.push_back(nullptr);
  return pointers;
}

// Ends the tool when the packer cannot go on with it, and waits for it.
void EndTool(pid_t child) {
  kill(child, SIGTERM);
  int wait_status = 0;
  while (waitpid(child, &wait_status, 0) < 0 && errno == EINTR) {
  }
}

}  // namespace

Status RunTool(const ToolCall& call) {
  const std::string& tool = call.arguments.front();
  std::vector<std::string> arguments = call.arguments;
  std::vector<std::string> variables = Environment(call.environment);
  // Held from before the start to the wait, which lets them in only while
  // it sleeps: a signal between the two would otherwise be noted after the
  // last look and before the wait, which then lasts as long as the tool.
  const InterruptionsHeld held;
  if (Interrupted()) return InterruptedStatus();
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
  posix_spawn_file_actions_addopen(&actions, 1, call.log_path.c_str(),
                                   O_WRONLY | O_CREAT | O_TRUNC, 0600);
  posix_spawn_file_actions_adddup2(&actions, 1, 2);
  // The tool starts with the signals as they were, not held.
  posix_spawnattr_t attributes;
  posix_spawnattr_init(&attributes);
  posix_spawnattr_setsigmask(&attributes, &held.before());
  posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETSIGMASK);
  pid_t child = 0;
  const int error =
      posix_spawnp(&child, tool.c_str(), &actions, &attributes,
                   Pointers(arguments).data(), Pointers(variables).data());
  posix_spawnattr_destroy(&attributes);
  posix_spawn_file_actions_destroy(&actions);
  if (error == ENOENT) {
    return Failed(tool +
                  " is needed and was not found on PATH (Debian package " +
                  call.package + "; tools/install-deps.sh installs it)");
  }
  if (error != 0) return OsFailure("starting " + tool, error);

  // A descriptor that becomes readable when the tool ends (Linux 5.3).
  const int ended = static_cast<int>(syscall(SYS_pidfd_open, child, 0));
  if (ended < 0) {
    const int open_error = errno;
    EndTool(child);
    return OsFailure("waiting for " + tool, open_error);
  }
  for (;;) {
    pollfd watch = {ended, POLLIN, 0};
    const int ready = ppoll(&watch, 1, nullptr, &held.before());
    if (ready > 0) break;
    if (ready < 0 && errno != EINTR) {
      const int poll_error = errno;
      close(ended);
      EndTool(child);
      return OsFailure("waiting for " + tool, poll_error);
    }
    if (Interrupted()) {
      close(ended);
      EndTool(child);
      return InterruptedStatus();
    }
  }
  close(ended);
  int wait_status = 0;
  while (waitpid(child, &wait_status, 0) < 0) {
    if (errno != EINTR) return OsFailure("waiting for " + tool, errno);
  }
  if (Interrupted()) return InterruptedStatus();
  if (WIFEXITED(wait_status) && WEXITSTATUS(wait_status) == 0) return Ok();
  const std::string how =
      WIFEXITED(wait_status)
          ? "ended with " + std::to_string(WEXITSTATUS(wait_status))
          : std::string("was killed by ") + strsignal(WTERMSIG(wait_status));
  return Failed(tool + " " + how + LogOf(call.log_path));
}

}  // namespace packer
