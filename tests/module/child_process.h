// Runs a piece of this test program in a child process with its standard
// output captured, so that routines which end the process can be checked
// for their exact messages and exit status.
#ifndef ZANDREL_MODULE_CHILD_PROCESS_H
#define ZANDREL_MODULE_CHILD_PROCESS_H

#include <cstdio>
#include <cstdlib>
#include <ostream>
#include <stdexcept>
#include <string>

#include <sys/wait.h>
#include <unistd.h>

namespace module_tests {

struct ChildResult {
    bool returned = false;  // the code under test came back to its caller
    int status = -1;        // exit status 0-255, -1 if killed by a signal
    std::string out;        // everything written to standard output
    bool operator==(const ChildResult &) const = default;
};

inline std::ostream &operator<<(std::ostream &os, const ChildResult &r) {
    return os << "{returned " << r.returned << ", status " << r.status << ", out \"" << r.out << "\"}";
}

// A child that returns from f exits with status 0 after writing one byte to a
// second pipe, which tells a return apart from a call of exit(0).
template <typename F>
ChildResult in_child(F &&f) {
    std::fflush(stdout);
    int out_pipe[2], ret_pipe[2];
    if (pipe(out_pipe) != 0 || pipe(ret_pipe) != 0) throw std::runtime_error("pipe failed");
    pid_t pid = fork();
    if (pid < 0) throw std::runtime_error("fork failed");
    if (pid == 0) {
        dup2(out_pipe[1], 1);
        close(out_pipe[0]);
        close(out_pipe[1]);
        close(ret_pipe[0]);
        f();
        std::fflush(stdout);
        if (write(ret_pipe[1], "r", 1) != 1) _exit(99);
        _exit(0);
    }
    close(out_pipe[1]);
    close(ret_pipe[1]);
    ChildResult r;
    char buf[65536];
    for (ssize_t n; (n = read(out_pipe[0], buf, sizeof buf)) > 0;) r.out.append(buf, static_cast<std::size_t>(n));
    close(out_pipe[0]);
    char c;
    r.returned = read(ret_pipe[0], &c, 1) == 1;
    close(ret_pipe[0]);
    int wstatus = 0;
    waitpid(pid, &wstatus, 0);
    if (WIFEXITED(wstatus)) r.status = WEXITSTATUS(wstatus);
    return r;
}

inline ChildResult returned_with(std::string out) { return {true, 0, std::move(out)}; }
// exit(-1) appears to the parent as status 255.
inline ChildResult failed_with(std::string out) { return {false, 255, std::move(out)}; }

}  // namespace module_tests

#endif
