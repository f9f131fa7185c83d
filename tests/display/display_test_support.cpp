#include "display_test_support.h"

#include <fcntl.h>
#include <pty.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <exception>
#include <iostream>
#include <stdexcept>

#include "display/trivia.h"

namespace display_testing {

PtyResult runOnTerminal(std::uint16_t rows, std::uint16_t columns,
                        const std::function<void()>& body) {
    std::cout.flush();
    std::fflush(stdout);
    std::fflush(stderr);

    termios mode{};
    cfmakeraw(&mode);  // no newline translation: the test sees the bytes as written
    winsize window{};
    window.ws_row = rows;
    window.ws_col = columns;
    int master = -1;
    const pid_t child = forkpty(&master, nullptr, &mode, &window);
    if (child < 0) throw std::runtime_error("forkpty failed");
    if (child == 0) {
        int status = 0;
        try {
            body();
        } catch (...) {
            status = 3;
        }
        std::cout.flush();
        _exit(status);
    }

    PtyResult result;
    char bytes[4096];
    for (;;) {
        const ssize_t got = read(master, bytes, sizeof bytes);
        if (got > 0) {
            result.out.append(bytes, static_cast<std::size_t>(got));
        } else if (got < 0 && errno == EINTR) {
            continue;
        } else {
            break;  // EIO once the child has closed its side
        }
    }
    close(master);
    int status = 0;
    while (waitpid(child, &status, 0) < 0 && errno == EINTR) {
    }
    result.status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    return result;
}

std::string teardownBytes(unsigned rows) {
    return "\x1b[s\x1b[" + std::to_string(rows - 1) + ";1H\x1b[2K\x1b[" + std::to_string(rows) +
           ";1H\x1b[2K\x1b[u\x1b[?25h";
}

std::string fitted(const std::string& line, std::size_t columns) {
    return line.size() <= columns - 1 ? line : line.substr(0, columns - 4) + "...";
}

bool isFactLine(const std::string& line, std::size_t columns) {
    for (const char* fact : triviaFacts) {
        if (fitted(std::string("Fact: ") + fact, columns) == line) return true;
    }
    return false;
}

}  // namespace display_testing
