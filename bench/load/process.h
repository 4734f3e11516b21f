// Child processes for the load and fault tools: the application server and the operators.
#pragma once

#include <sys/types.h>

#include <string>
#include <vector>

namespace load {

// Starts `argv` (argv[0] is a path); stdout and stderr go to the files given (empty: inherited),
// or stdout to a pipe whose read end is returned in *stdout_pipe when that is not null.
pid_t Spawn(const std::vector<std::string>& argv, const std::string& stdout_file,
            const std::string& stderr_file, int* stdout_pipe = nullptr);

// Waits for the process; returns its exit code, or 128 + signal.
int Wait(pid_t pid);

// The directory of the running program.
std::string ProgramDir();

// A running application server on a free loopback port.
class AppServerProcess {
 public:
  AppServerProcess(std::string binary, std::string database, std::string log_file,
                   std::string log_level = "warning");
  ~AppServerProcess();
  // Starts it and waits until it listens; throws std::runtime_error when it does not.
  void Start();
  // SIGTERM and wait (clean shutdown); returns the exit code.
  int Stop();
  // SIGKILL and wait.
  void Kill();
  bool Running() const { return pid_ > 0; }
  int port() const { return port_; }
  pid_t pid() const { return pid_; }
  std::string Host() const { return "127.0.0.1:" + std::to_string(port_); }

 private:
  std::string binary_, database_, log_file_, log_level_, port_file_;
  pid_t pid_ = -1;
  int port_ = 0;
};

}  // namespace load
