#include "process.h"

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <fstream>
#include <stdexcept>
#include <thread>

extern char** environ;

namespace load {

pid_t Spawn(const std::vector<std::string>& argv, const std::string& stdout_file,
            const std::string& stderr_file, int* stdout_pipe) {
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  int fds[2] = {-1, -1};
  if (stdout_pipe != nullptr) {
    if (pipe2(fds, O_CLOEXEC) != 0) throw std::runtime_error("pipe failed");
    posix_spawn_file_actions_adddup2(&actions, fds[1], 1);
  } else if (!stdout_file.empty()) {
    posix_spawn_file_actions_addopen(&actions, 1, stdout_file.c_str(), O_WRONLY | O_CREAT | O_TRUNC,
                                     0644);
  }
  if (!stderr_file.empty()) {
    posix_spawn_file_actions_addopen(&actions, 2, stderr_file.c_str(),
                                     O_WRONLY | O_CREAT | O_APPEND, 0644);
  }
  std::vector<char*> args;
  for (const auto& a : argv) args.push_back(const_cast<char*>(a.c_str()));
  args.push_back(nullptr);
  pid_t pid = -1;
  int rc = posix_spawn(&pid, argv[0].c_str(), &actions, nullptr, args.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  if (stdout_pipe != nullptr) {
    close(fds[1]);
    *stdout_pipe = fds[0];
  }
  if (rc != 0) throw std::runtime_error("cannot start " + argv[0] + ": " + std::strerror(rc));
  return pid;
}

int Wait(pid_t pid) {
  int status = 0;
  while (waitpid(pid, &status, 0) < 0) {
    if (errno != EINTR) return -1;
  }
  if (WIFEXITED(status)) return WEXITSTATUS(status);
  if (WIFSIGNALED(status)) return 128 + WTERMSIG(status);
  return -1;
}

std::string ProgramDir() {
  char buf[4096];
  ssize_t n = readlink("/proc/self/exe", buf, sizeof buf - 1);
  if (n <= 0) return ".";
  std::string path(buf, static_cast<size_t>(n));
  return path.substr(0, path.rfind('/'));
}

AppServerProcess::AppServerProcess(std::string binary, std::string database, std::string log_file,
                                   std::string log_level)
    : binary_(std::move(binary)),
      database_(std::move(database)),
      log_file_(std::move(log_file)),
      log_level_(std::move(log_level)) {
  port_file_ = "/tmp/qmdw_load_port." + std::to_string(getpid()) + "." +
               std::to_string(reinterpret_cast<uintptr_t>(this));
}

AppServerProcess::~AppServerProcess() {
  if (pid_ > 0) Kill();
  unlink(port_file_.c_str());
}

void AppServerProcess::Start() {
  unlink(port_file_.c_str());
  // Keep the port of an earlier start so that clients of a restarted server find it again.
  const std::string port = port_ > 0 ? std::to_string(port_) : "0";
  pid_ = Spawn({binary_, "--database", database_, "--port", port, "--port-file", port_file_,
                "--max-clients", "1024", "--log-level", log_level_},
               "", log_file_);
  auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
  while (std::chrono::steady_clock::now() < deadline) {
    std::ifstream in(port_file_);
    int p = 0;
    if (in >> p && p > 0) {
      port_ = p;
      return;
    }
    int status = 0;
    if (waitpid(pid_, &status, WNOHANG) == pid_) {
      pid_ = -1;
      // The port of the previous start may still be held by connections closing: retry.
      if (port != "0") {
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        pid_ = Spawn({binary_, "--database", database_, "--port", port, "--port-file", port_file_,
                      "--max-clients", "1024", "--log-level", log_level_},
                     "", log_file_);
        continue;
      }
      throw std::runtime_error("the application server did not start (see " + log_file_ + ")");
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  throw std::runtime_error("the application server did not listen within 60 s");
}

int AppServerProcess::Stop() {
  if (pid_ <= 0) return 0;
  kill(pid_, SIGTERM);
  int rc = Wait(pid_);
  pid_ = -1;
  return rc;
}

void AppServerProcess::Kill() {
  if (pid_ <= 0) return;
  kill(pid_, SIGKILL);
  Wait(pid_);
  pid_ = -1;
}

}  // namespace load
