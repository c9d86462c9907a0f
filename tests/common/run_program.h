// Runs a program to its end and gives its exit status (-1 when a signal ended
// it, 99 when it could not be started). Outside umockdev: a simulator under
// test must arrange its own emulation.
#pragma once

#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <string>
#include <vector>

inline int runProgram(const std::vector<std::string> &args) {
    pid_t pid = fork();
    if (pid == 0) {
        std::vector<char *> argv;
        for (const auto &a : args)
            argv.push_back(const_cast<char *>(a.c_str()));
        argv.push_back(nullptr);
        unsetenv("LD_PRELOAD");
        execv(argv[0], argv.data());
        _exit(99);
    }
    int ws = 0;
    waitpid(pid, &ws, 0);
    return WIFEXITED(ws) ? WEXITSTATUS(ws) : -1;
}
