#pragma once
// A program of the build started as a child process, its stdout and stderr in files, for the
// tests that run the real executables.
#include <fcntl.h>
#include <unistd.h>

#include <filesystem>
#include <string>
#include <vector>

namespace kalvo {

// `argv[0]` is the program's path; `env` is its whole environment. `own_group`: the child leads
// a process group of its own, so a test can signal it with everything it started. The child
// exits 127 when the program cannot be run.
inline pid_t SpawnProgram(const std::vector<std::string>& argv, const std::vector<std::string>& env,
                          const std::filesystem::path& out, const std::filesystem::path& err,
                          bool own_group = false) {
    const pid_t pid = fork();
    if (pid != 0) return pid;
    if (own_group) setpgid(0, 0);
    std::vector<char*> args, envp;
    for (const std::string& a : argv) args.push_back(const_cast<char*>(a.c_str()));
    args.push_back(nullptr);
    for (const std::string& e : env) envp.push_back(const_cast<char*>(e.c_str()));
    envp.push_back(nullptr);
    const int o = open(out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    const int e = open(err.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    dup2(o, 1);
    dup2(e, 2);
    execve(args[0], args.data(), envp.data());
    _exit(127);
}

}  // namespace kalvo
