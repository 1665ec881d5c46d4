// Child-process and pseudo-terminal plumbing for the native simulator tests.
#include "SimProcess.h"

#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <fstream>
#include <poll.h>
#include <sstream>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

namespace kqtest {

namespace {

using Clock = std::chrono::steady_clock;

int millisLeft(Clock::time_point deadline) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
    return left > 0 ? static_cast<int>(left) : 0;
}

}  // namespace

std::string kqsimPath() { return KQSIM_PATH; }
std::string imageDir() { return KQ_IMAGE_DIR; }
std::string expectedImagesJson() { return KQ_EXPECTED_JSON; }

std::string readFile(const std::string& path) {
    std::ifstream file(path, std::ios::binary);
    std::ostringstream text;
    text << file.rdbuf();
    return text.str();
}

std::vector<std::string> imageLines(int id) {
    const std::string text = readFile(imageDir() + "/" + std::to_string(id) + ".hex");
    std::vector<std::string> lines;
    size_t start = 0, lf;
    while ((lf = text.find('\n', start)) != std::string::npos) {
        std::string line = text.substr(start, lf - start);
        if (!line.empty() && line.back() == '\r') line.pop_back();
        lines.push_back(line);
        start = lf + 1;
    }
    return lines;
}

SimProcess::SimProcess(const std::vector<std::string>& args) {
    static int counter = 0;
    summaryPath = "/tmp/kqsim-test-" + std::to_string(getpid()) + "-" + std::to_string(++counter) + ".json";
    std::remove(summaryPath.c_str());
    std::vector<std::string> argv{kqsimPath()};
    argv.insert(argv.end(), args.begin(), args.end());
    argv.insert(argv.end(), {"--summary", summaryPath});
    bool hasIdle = false;
    for (const auto& a : args) hasIdle |= a == "--idle-timeout";
    if (!hasIdle) argv.insert(argv.end(), {"--idle-timeout", "30000"});

    int out[2];
    if (pipe(out) != 0) return;
    pid = fork();
    if (pid == 0) {
        dup2(out[1], STDOUT_FILENO);
        close(out[0]);
        close(out[1]);
        std::vector<char*> cargs;
        for (auto& a : argv) cargs.push_back(a.data());
        cargs.push_back(nullptr);
        execv(cargs[0], cargs.data());
        _exit(127);
    }
    close(out[1]);
    std::string first;
    char c;
    pollfd p{out[0], POLLIN, 0};
    const auto deadline = Clock::now() + std::chrono::seconds(10);
    while (poll(&p, 1, millisLeft(deadline)) > 0 && read(out[0], &c, 1) == 1 && c != '\n') first += c;
    close(out[0]);
    if (first.rfind("PTY ", 0) != 0) return;
    pty = first.substr(4);
    slave = open(pty.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
    if (slave < 0) return;
    termios tio{};
    tcgetattr(slave, &tio);
    cfmakeraw(&tio);
    tcsetattr(slave, TCSANOW, &tio);
}

SimProcess::~SimProcess() {
    if (slave >= 0) close(slave);
    if (pid > 0 && exitStatus < 0) {
        kill(pid, SIGKILL);
        waitpid(pid, nullptr, 0);
    }
    std::remove(summaryPath.c_str());
}

void SimProcess::write(std::string_view bytes) {
    size_t done = 0;
    while (done < bytes.size()) {
        const ssize_t n = ::write(slave, bytes.data() + done, bytes.size() - done);
        if (n > 0) {
            done += static_cast<size_t>(n);
        } else if (n < 0 && errno == EAGAIN) {
            pollfd p{slave, POLLOUT, 0};
            poll(&p, 1, 100);
        } else {
            return;
        }
    }
}

std::string SimProcess::readUntil(std::string_view marker, int ms) {
    const auto deadline = Clock::now() + std::chrono::milliseconds(ms);
    timedOut = false;
    for (;;) {
        const size_t at = pending.find(marker);
        if (at != std::string::npos) {
            std::string taken = pending.substr(0, at + marker.size());
            pending.erase(0, at + marker.size());
            return taken;
        }
        pollfd p{slave, POLLIN, 0};
        if (poll(&p, 1, millisLeft(deadline)) <= 0) {
            timedOut = true;
            return std::string();
        }
        char buffer[4096];
        const ssize_t n = read(slave, buffer, sizeof buffer);
        if (n <= 0) {
            timedOut = true;
            return std::string();
        }
        pending.append(buffer, static_cast<size_t>(n));
    }
}

std::string SimProcess::readFor(int ms) {
    const auto deadline = Clock::now() + std::chrono::milliseconds(ms);
    for (;;) {
        pollfd p{slave, POLLIN, 0};
        if (poll(&p, 1, millisLeft(deadline)) <= 0) break;
        char buffer[4096];
        const ssize_t n = read(slave, buffer, sizeof buffer);
        if (n <= 0) break;
        pending.append(buffer, static_cast<size_t>(n));
    }
    std::string taken;
    taken.swap(pending);
    return taken;
}

bool SimProcess::hangsUpWithin(int ms) {
    const auto deadline = Clock::now() + std::chrono::milliseconds(ms);
    for (;;) {
        pollfd p{slave, POLLIN, 0};
        if (poll(&p, 1, millisLeft(deadline)) <= 0) return false;
        if (p.revents & (POLLHUP | POLLERR)) return true;
        char buffer[4096];
        const ssize_t n = read(slave, buffer, sizeof buffer);
        if (n == 0 || (n < 0 && errno == EIO)) return true;
        if (n > 0) pending.append(buffer, static_cast<size_t>(n));
    }
}

bool SimProcess::command(const std::string& text, int ms) {
    write(text + "\r\n");
    readUntil(text, ms);
    return !timedOut;
}

bool SimProcess::sendImage(const std::string& cmd, const std::vector<std::string>& lines, int ms) {
    if (!command(cmd, ms)) return false;
    for (const std::string& line : lines) {
        write(line + "\r\n");
        readUntil(line + "\r\n", ms);
        if (timedOut) return false;
    }
    return true;
}

Json SimProcess::readSummary() {
    const std::string text = readFile(summaryPath);
    Json summary = Json::parse(text, nullptr, false);
    if (!summary.is_discarded()) return summary;
    std::fprintf(stderr, "summary is not JSON: %s\n", text.c_str());
    return Json();
}

Json SimProcess::stop() {
    if (pid > 0 && exitStatus < 0) {
        kill(pid, SIGTERM);
        int status = 0;
        waitpid(pid, &status, 0);
        exitStatus = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    }
    return readSummary();
}

Json SimProcess::waitExit(int ms) {
    const auto deadline = Clock::now() + std::chrono::milliseconds(ms);
    while (exitStatus < 0) {
        int status = 0;
        if (waitpid(pid, &status, WNOHANG) == pid) {
            exitStatus = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
            break;
        }
        if (Clock::now() >= deadline) return Json();
        usleep(10000);
    }
    return readSummary();
}

}  // namespace kqtest
