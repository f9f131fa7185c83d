#include "display/terminal_signals.h"

#include <gtest/gtest.h>
#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <fstream>
#include <functional>
#include <stdexcept>
#include <string>

namespace {

void say(const char* text) {
    if (write(STDOUT_FILENO, text, std::char_traits<char>::length(text)) < 0) _exit(4);
}

// The restorer under test leaves a mark where it ran.
void restoreMark() { say("R"); }

struct StoppableRun {
    std::string out;  // what the child wrote, with "|stop|" where it stopped
    int status = -1;  // its exit status, or 128 + signal
};

std::string drain(int pipe) {
    std::string text;
    char bytes[256];
    for (ssize_t got; (got = read(pipe, bytes, sizeof bytes)) > 0 || (got < 0 && errno == EINTR);) {
        if (got > 0) text.append(bytes, static_cast<std::size_t>(got));
    }
    return text;
}

// Runs `body` in a child in a process group of its own whose parent is in the same session,
// so that SIGTSTP really stops it; every stop is noted, `onStop` runs and the child is
// continued.
StoppableRun runStoppable(const std::function<void()>& body, const std::function<void()>& onStop = [] {}) {
    int ends[2];
    if (pipe2(ends, O_CLOEXEC) != 0) throw std::runtime_error("pipe failed");
    const pid_t child = fork();
    if (child == 0) {
        setpgid(0, 0);
        dup2(ends[1], STDOUT_FILENO);
        body();
        _exit(0);
    }
    close(ends[1]);
    fcntl(ends[0], F_SETFL, O_NONBLOCK);
    StoppableRun run;
    int status = 0;
    while (waitpid(child, &status, WUNTRACED) == child && WIFSTOPPED(status)) {
        // What the child wrote before it stopped is in the pipe already.
        run.out += drain(ends[0]) + "|stop|";
        onStop();
        kill(child, SIGCONT);
    }
    fcntl(ends[0], F_SETFL, 0);
    run.out += drain(ends[0]);
    close(ends[0]);
    run.status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    return run;
}

void sayContinued(TerminalSignals& signals) { say(signals.takeContinued() ? "c" : "n"); }

TEST(TerminalSignals, CtrlZRestoresThenStopsAndIsTakenAgainOnceContinued) {
    const struct {
        const char* name;
        std::function<void()> body;
        std::string out;
        int status = 0;
    } cases[] = {
        {"stopped twice", [] {
             TerminalSignals signals(restoreMark);
             sayContinued(signals);
             std::raise(SIGTSTP);
             sayContinued(signals);
             sayContinued(signals);
             std::raise(SIGTSTP);
             sayContinued(signals);
         }, "nR|stop|cnR|stop|c"},
        {"held until released", [] {
             TerminalSignals signals(restoreMark);
             {
                 const TerminalSignalsHeld held;
                 std::raise(SIGTSTP);
                 say("h");
             }
             sayContinued(signals);
         }, "hR|stop|c"},
        // Ignored from the start, it stays ignored. Ending after a stop and what the signals
        // do once the object is gone are the display's tests.
        {"ignored", [] {
             std::signal(SIGTSTP, SIG_IGN);
             TerminalSignals signals(restoreMark);
             std::raise(SIGTSTP);
             sayContinued(signals);
         }, "n"},
    };
    for (const auto& c : cases) {
        const StoppableRun run = runStoppable(c.body);
        EXPECT_EQ(run.status, c.status) << c.name;
        EXPECT_EQ(run.out, c.out) << c.name;
    }
}

// Whether the process waits in a read of a pipe, as the kernel names where it sleeps.
bool waitsInPipeRead(pid_t pid) {
    std::ifstream wchan("/proc/" + std::to_string(pid) + "/wchan");
    std::string where;
    std::getline(wchan, where);
    return where.find("pipe_read") != std::string::npos;
}

// The stop comes while the process waits in a read of a pipe, whose byte comes only
// while it is stopped: once continued, the read goes on instead of failing with EINTR.
TEST(TerminalSignals, WhatCtrlZInterruptsGoesOnOnceContinued) {
    int ends[2];
    ASSERT_EQ(pipe(ends), 0);
    const StoppableRun run = runStoppable(
        [&ends] {
            close(ends[1]);
            TerminalSignals signals(restoreMark);
            if (fork() == 0) {
                for (int wait = 0; wait < 10000 && !waitsInPipeRead(getppid()); ++wait) usleep(1000);
                kill(getppid(), SIGTSTP);
                _exit(0);
            }
            char got = 0;
            say(read(ends[0], &got, 1) == 1 && got == '!' ? "read" : "failed");
        },
        [&ends] { EXPECT_EQ(write(ends[1], "!", 1), 1); });
    close(ends[0]);
    close(ends[1]);
    EXPECT_EQ(run.status, 0);
    EXPECT_EQ(run.out, "R|stop|read");
}

}  // namespace
