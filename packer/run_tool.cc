#include "run_tool.h"

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
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

}  // namespace

Status RunTool(const ToolCall& call) {
  const std::string& tool = call.arguments.front();
  std::vector<std::string> arguments = call.arguments;
  std::vector<std::string> variables = Environment(call.environment);
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
  posix_spawn_file_actions_addopen(&actions, 1, call.log_path.c_str(),
                                   O_WRONLY | O_CREAT | O_TRUNC, 0600);
  posix_spawn_file_actions_adddup2(&actions, 1, 2);
  pid_t child = 0;
  const int error =
      posix_spawnp(&child, tool.c_str(), &actions, nullptr,
                   Pointers(arguments).data(), Pointers(variables).data());
  posix_spawn_file_actions_destroy(&actions);
  if (error == ENOENT) {
    return Failed(tool +
                  " is needed and was not found on PATH (Debian package " +
                  call.package + "; tools/install-deps.sh installs it)");
  }
  if (error != 0) return OsFailure("starting " + tool, error);

  int wait_status = 0;
  while (waitpid(child, &wait_status, 0) < 0) {
    if (errno != EINTR) return OsFailure("waiting for " + tool, errno);
    if (Interrupted()) {
      kill(child, SIGTERM);
      while (waitpid(child, &wait_status, 0) < 0 && errno == EINTR) {
      }
      return InterruptedStatus();
    }
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
