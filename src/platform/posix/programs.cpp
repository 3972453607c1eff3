// The program the client runs on changes: checked as OpenSSH checks its
// keys, started without a shell, and watched without waiting.
#include <fcntl.h>
#include <limits.h>
#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "platform/platform.h"

namespace lumagate::platform {
namespace {

bool owned_by_us(const struct stat& status) {
  return status.st_uid == 0 || status.st_uid == geteuid();
}

bool others_may_write(const struct stat& status) {
  return (status.st_mode & (S_IWGRP | S_IWOTH)) != 0;
}

// Every folder on the way to `program`, from its own up to the root.
ProgramCheck check_folders(const std::string& program, std::string* where) {
  std::string folder = program;
  while (folder.size() > 1) {
    const std::size_t slash = folder.rfind('/');
    folder.resize(slash == 0 ? 1 : slash);
    struct stat status {};
    *where = folder;
    if (stat(folder.c_str(), &status) != 0) return ProgramCheck::kMissing;
    if (!owned_by_us(status)) return ProgramCheck::kFolderOfAnotherOwner;
    if (others_may_write(status)) return ProgramCheck::kFolderOthersMayWrite;
  }
  return ProgramCheck::kUsable;
}

// The environment of the child: the client's own, with `added` in place of
// any entry of the same name.
std::vector<char*> child_environment(const std::vector<std::string>& added) {
  std::vector<char*> entries;
  for (char** entry = environ; entry != nullptr && *entry != nullptr; ++entry) {
    bool replaced = false;
    for (const std::string& text : added) {
      const std::size_t name = text.find('=') + 1;
      replaced = replaced || std::strncmp(*entry, text.c_str(), name) == 0;
    }
    if (!replaced) entries.push_back(*entry);
  }
  for (const std::string& text : added) entries.push_back(const_cast<char*>(text.c_str()));
  entries.push_back(nullptr);
  return entries;
}

// Signals the client ignores or handles are the child's to decide again.
void reset_signals(posix_spawnattr_t* attributes) {
  sigset_t signals;
  sigemptyset(&signals);
  posix_spawnattr_setsigmask(attributes, &signals);
  for (const int number : {SIGPIPE, SIGINT, SIGTERM}) sigaddset(&signals, number);
  posix_spawnattr_setsigdefault(attributes, &signals);
  posix_spawnattr_setpgroup(attributes, 0);
  posix_spawnattr_setflags(attributes,
                           POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF | POSIX_SPAWN_SETPGROUP);
}

}  // namespace

ProgramCheck check_program(const char* path, std::string* program, std::string* where) {
  *where = path;
  char resolved[PATH_MAX];
  if (realpath(path, resolved) == nullptr) return ProgramCheck::kMissing;
  *program = resolved;
  *where = resolved;
  struct stat status {};
  if (stat(resolved, &status) != 0 || !S_ISREG(status.st_mode) || access(resolved, X_OK) != 0) {
    return ProgramCheck::kNotExecutable;
  }
  if (!owned_by_us(status)) return ProgramCheck::kAnotherOwner;
  if (others_may_write(status)) return ProgramCheck::kOthersMayWrite;
  return check_folders(*program, where);
}

bool start_program(const char* program, const char* argument,
                   const std::vector<std::string>& environment, Child* child) {
  int pipe_ends[2];
  if (pipe2(pipe_ends, O_CLOEXEC) != 0) return false;
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
  posix_spawn_file_actions_adddup2(&actions, pipe_ends[1], STDOUT_FILENO);
  posix_spawn_file_actions_adddup2(&actions, pipe_ends[1], STDERR_FILENO);
  posix_spawnattr_t attributes;
  posix_spawnattr_init(&attributes);
  reset_signals(&attributes);
  std::vector<char*> arguments = {const_cast<char*>(program), const_cast<char*>(argument), nullptr};
  std::vector<char*> variables = child_environment(environment);
  pid_t pid = -1;
  const int failed =
      posix_spawn(&pid, program, &actions, &attributes, arguments.data(), variables.data());
  posix_spawnattr_destroy(&attributes);
  posix_spawn_file_actions_destroy(&actions);
  close(pipe_ends[1]);
  if (failed != 0) {
    close(pipe_ends[0]);
    errno = failed;
    return false;
  }
  fcntl(pipe_ends[0], F_SETFL, fcntl(pipe_ends[0], F_GETFL) | O_NONBLOCK);
  child->process = pid;
  child->output = pipe_ends[0];
  return true;
}

void read_child_output(Child& child, std::string* output, std::size_t limit) {
  if (child.output < 0) return;
  char buffer[1024];
  // A pipe's worth at most: a child that writes without end must not hold
  // the client here.
  for (int reads = 0; reads < 64; ++reads) {
    const ssize_t got = read(static_cast<int>(child.output), buffer, sizeof buffer);
    if (got < 0 && errno == EINTR) continue;
    if (got <= 0) return;
    output->append(buffer, static_cast<std::size_t>(got));
    if (output->size() > limit) output->resize(limit);
  }
}

bool child_ended(Child& child, int* code) {
  int status = 0;
  pid_t reaped = -1;
  do {
    reaped = waitpid(static_cast<pid_t>(child.process), &status, WNOHANG);
  } while (reaped < 0 && errno == EINTR);
  if (reaped == 0) return false;
  *code = reaped < 0 ? -1 : WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
  return true;
}

void end_child(Child& child) {
  kill(-static_cast<pid_t>(child.process), SIGKILL);
  // Killed, it ends in a moment.
  while (waitpid(static_cast<pid_t>(child.process), nullptr, 0) < 0 && errno == EINTR) {
  }
}

void release_child(Child& child) {
  if (child.output >= 0) close(static_cast<int>(child.output));
  child.output = -1;
  child.process = -1;
}

}  // namespace lumagate::platform
