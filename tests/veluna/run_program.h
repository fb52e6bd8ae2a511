// Runs a program as a user would and captures what it prints on standard
// output and how it exits.
#pragma once

#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <string>
#include <vector>

namespace kv::test {

struct ProgramResult {
  int status = -1;  // exit status, or -1 when the program did not exit normally
  std::string output;
};

inline ProgramResult run_program(const std::string& program, const std::vector<std::string>& arguments) {
  ProgramResult result;
  int pipe_ends[2];
  if (::pipe(pipe_ends) != 0) return result;
  pid_t child = ::fork();
  if (child == 0) {
    ::dup2(pipe_ends[1], STDOUT_FILENO);
    ::close(pipe_ends[0]);
    ::close(pipe_ends[1]);
    std::vector<char*> argv;
    argv.push_back(const_cast<char*>(program.c_str()));
    for (const std::string& a : arguments) argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    ::execv(program.c_str(), argv.data());
    ::_exit(127);
  }
  ::close(pipe_ends[1]);
  char buffer[4096];
  for (;;) {
    ssize_t got = ::read(pipe_ends[0], buffer, sizeof buffer);
    if (got <= 0) break;
    result.output.append(buffer, static_cast<size_t>(got));
  }
  ::close(pipe_ends[0]);
  int wait_status = 0;
  if (child > 0 && ::waitpid(child, &wait_status, 0) == child && WIFEXITED(wait_status))
    result.status = WEXITSTATUS(wait_status);
  return result;
}

}  // namespace kv::test
