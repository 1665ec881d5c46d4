// The rig daemon's socket loop, simulator processes and their summaries.
#include "RigDaemon.h"

#include "Pty.h"

#include <algorithm>
#include <arpa/inet.h>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <fstream>
#include <netinet/in.h>
#include <poll.h>
#include <sstream>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

namespace kqsim {

namespace {

volatile sig_atomic_t stopRequested = 0;
volatile sig_atomic_t childEnded = 0;

void onStop(int) { stopRequested = 1; }
void onChild(int) { childEnded = 1; }

const Millis ptyLineLimit{10000};  // a simulator that has not announced its pty by then failed
const Millis stopLimit{5000};      // SIGTERM to SIGKILL

std::string readWholeFile(const std::string& path, bool& found) {
    std::ifstream file(path, std::ios::binary);
    found = static_cast<bool>(file);
    std::ostringstream text;
    text << file.rdbuf();
    return text.str();
}

// Reads one line from `fd` within `limit`; false at EOF or time-out.
bool readLineWithin(int fd, Millis limit, std::string& line) {
    const TimePoint deadline = Clock::now() + limit;
    line.clear();
    for (;;) {
        const auto left = std::chrono::duration_cast<Millis>(deadline - Clock::now()).count();
        if (left <= 0) return false;
        pollfd p{fd, POLLIN, 0};
        const int ready = poll(&p, 1, static_cast<int>(left));
        if (ready < 0 && errno == EINTR) continue;
        if (ready <= 0) return false;
        char c;
        const ssize_t n = read(fd, &c, 1);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        if (c == '\n') return true;
        line += c;
    }
}

}  // namespace

bool splitArguments(const std::string& text, std::vector<std::string>& args, std::string& error) {
    args.clear();
    size_t i = 0;
    while (i < text.size()) {
        if (text[i] == ' ') {
            ++i;
            continue;
        }
        std::string arg;
        if (text[i] == '"') {
            ++i;
            bool closed = false;
            while (i < text.size()) {
                const char c = text[i++];
                if (c == '"') {
                    closed = true;
                    break;
                }
                if (c == '\\' && i < text.size() && (text[i] == '"' || text[i] == '\\')) {
                    arg += text[i++];
                    continue;
                }
                arg += c;
            }
            if (!closed) {
                error = "unterminated quote";
                return false;
            }
        } else {
            while (i < text.size() && text[i] != ' ') arg += text[i++];
        }
        args.push_back(arg);
    }
    return true;
}

RigDaemon::RigDaemon(RigSettings s) : settings(std::move(s)) {}

RigDaemon::~RigDaemon() {
    if (listener >= 0) close(listener);
    for (auto& entry : clients) close(entry.first);
}

bool RigDaemon::listen(std::string& error) {
    mkdir(settings.workDir.c_str(), 0755);  // may exist already
    listener = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (listener < 0) {
        error = std::string("socket: ") + std::strerror(errno);
        return false;
    }
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = 0;
    socklen_t length = sizeof address;
    if (bind(listener, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
        ::listen(listener, 16) != 0 ||
        getsockname(listener, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
        error = std::string("bind/listen: ") + std::strerror(errno);
        return false;
    }
    const std::string port = std::to_string(ntohs(address.sin_port)) + "\n";
    std::ofstream file(settings.portFile + ".tmp");
    file << port;
    file.close();
    if (!file || std::rename((settings.portFile + ".tmp").c_str(), settings.portFile.c_str()) != 0) {
        error = "cannot write " + settings.portFile;
        return false;
    }
    return true;
}

int RigDaemon::run() {
    struct sigaction action {};
    sigemptyset(&action.sa_mask);
    action.sa_handler = onStop;
    sigaction(SIGTERM, &action, nullptr);
    sigaction(SIGINT, &action, nullptr);
    action.sa_handler = onChild;
    sigaction(SIGCHLD, &action, nullptr);
    signal(SIGPIPE, SIG_IGN);
    sigset_t blocked, waitMask;
    sigemptyset(&blocked);
    sigaddset(&blocked, SIGTERM);
    sigaddset(&blocked, SIGINT);
    sigaddset(&blocked, SIGCHLD);
    sigprocmask(SIG_BLOCK, &blocked, &waitMask);
    sigdelset(&waitMask, SIGTERM);
    sigdelset(&waitMask, SIGINT);
    sigdelset(&waitMask, SIGCHLD);

    while (!stopRequested) {
        reapChildren();
        const TimePoint now = Clock::now();
        serviceWaits(now);
        for (auto& entry : sims) {
            Sim& sim = entry.second;
            if (!sim.exited && sim.killSent && now >= sim.killAt) {
                kill(sim.pid, SIGKILL);
                sim.killAt = TimePoint::max();
            }
        }
        for (auto it = clients.begin(); it != clients.end();) {
            if (it->second.closing && it->second.output.empty()) {
                dropClient(it->second);
                it = clients.erase(it);
            } else {
                ++it;
            }
        }

        std::vector<pollfd> fds;
        fds.push_back({listener, POLLIN, 0});
        for (auto& entry : clients) {
            const Client& c = entry.second;
            fds.push_back({c.fd, static_cast<short>((c.closing ? 0 : POLLIN) | (c.output.empty() ? 0 : POLLOUT)), 0});
        }
        timespec timeout{0, 50'000'000};  // waits and kill deadlines are checked this often
        const int ready = ppoll(fds.data(), fds.size(), &timeout, &waitMask);
        if (ready <= 0) continue;
        if (fds[0].revents & POLLIN) acceptClient();
        for (size_t i = 1; i < fds.size(); ++i) {
            auto it = clients.find(fds[i].fd);
            if (it == clients.end()) continue;
            Client& c = it->second;
            if (fds[i].revents & POLLOUT) {
                const ssize_t n = send(c.fd, c.output.data(), c.output.size(), MSG_NOSIGNAL);
                if (n > 0) c.output.erase(0, static_cast<size_t>(n));
                else if (n < 0 && errno != EAGAIN && errno != EINTR) c.output.clear(), c.closing = true;
            }
            if (fds[i].revents & (POLLIN | POLLHUP | POLLERR)) readClient(c);
        }
    }

    const TimePoint now = Clock::now();
    for (auto& entry : sims)
        if (!entry.second.exited) terminate(entry.second, now);
    for (auto& entry : sims)
        if (!entry.second.exited) stopSim(entry.second);
    return 0;
}

void RigDaemon::acceptClient() {
    const int fd = accept4(listener, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
    if (fd < 0) return;  // the client gave up before we took it
    Client c;
    c.fd = fd;
    clients[fd] = c;
}

void RigDaemon::readClient(Client& client) {
    char buffer[4096];
    const ssize_t n = recv(client.fd, buffer, sizeof buffer, 0);
    if (n < 0 && (errno == EAGAIN || errno == EINTR)) return;
    if (n <= 0) {
        client.output.clear();
        client.closing = true;
        return;
    }
    client.input.append(buffer, static_cast<size_t>(n));
    size_t lf;
    while (!client.closing && client.waitingFor == 0 && (lf = client.input.find('\n')) != std::string::npos) {
        std::string line = client.input.substr(0, lf);
        client.input.erase(0, lf + 1);
        if (!line.empty() && line.back() == '\r') line.pop_back();
        handleLine(client, line);
    }
}

void RigDaemon::dropClient(Client& client) {
    // A test that ends or crashes takes its simulators with it.
    const TimePoint now = Clock::now();
    for (auto& entry : sims)
        if (entry.second.client == client.fd) {
            if (!entry.second.exited) terminate(entry.second, now);
            entry.second.client = -1;
        }
    close(client.fd);
}

RigDaemon::Sim* RigDaemon::findSim(const std::string& idText) {
    const auto it = sims.find(std::atoi(idText.c_str()));
    return it == sims.end() ? nullptr : &it->second;
}

std::string RigDaemon::comLink(const std::string& comText, std::string& error) const {
    char* end = nullptr;
    const long com = std::strtol(comText.c_str(), &end, 10);
    if (comText.empty() || *end != '\0' || com < 0 || com > 255) {
        error = "ERR bad COM number";
        return std::string();
    }
    return settings.comDir + "/COM" + std::to_string(com);
}

void RigDaemon::handleLine(Client& client, const std::string& line) {
    const size_t space = line.find(' ');
    const std::string verb = line.substr(0, space);
    const std::string rest = space == std::string::npos ? std::string() : line.substr(space + 1);
    std::vector<std::string> words;
    std::string error;
    splitArguments(rest, words, error);

    if (verb == "START") {
        client.output += startSim(client, rest) + "\n";
    } else if (verb == "STOP" && words.size() == 1) {
        Sim* sim = findSim(words[0]);
        if (!sim) {
            client.output += "ERR no such simulator\n";
            return;
        }
        stopSim(*sim);
        client.output += summaryReply(*sim);
    } else if (verb == "WAIT" && words.size() == 2) {
        Sim* sim = findSim(words[0]);
        if (!sim) {
            client.output += "ERR no such simulator\n";
            return;
        }
        if (sim->exited) {
            client.output += summaryReply(*sim);
            return;
        }
        // Answered by serviceWaits; later requests of this client wait behind it.
        client.waitingFor = sim->id;
        client.waitDeadline = Clock::now() + Millis(std::strtoul(words[1].c_str(), nullptr, 10));
    } else if (verb == "UNLINK" && words.size() == 1) {
        const std::string link = comLink(words[0], error);
        if (link.empty()) {
            client.output += error + "\n";
            return;
        }
        client.output += replaceSymlink(link, absentTargetFor(link), error) ? "OK\n" : "ERR " + error + "\n";
    } else if (verb == "PING") {
        client.output += "PONG\n";
    } else {
        client.output += "ERR unknown request\n";
    }
}

std::string RigDaemon::startSim(Client& client, const std::string& rest) {
    const size_t space = rest.find(' ');
    std::string error;
    const std::string link = comLink(rest.substr(0, space), error);
    if (link.empty()) return error;
    std::vector<std::string> args;
    if (!splitArguments(space == std::string::npos ? std::string() : rest.substr(space + 1), args, error))
        return "ERR " + error;

    Sim sim;
    sim.id = nextId++;
    sim.client = client.fd;
    sim.summaryPath = settings.workDir + "/sim-" + std::to_string(sim.id) + ".json";
    sim.logPath = settings.workDir + "/sim-" + std::to_string(sim.id) + ".log";
    std::remove(sim.summaryPath.c_str());

    std::vector<std::string> argv{settings.simPath};
    argv.insert(argv.end(), args.begin(), args.end());
    argv.insert(argv.end(), {"--link", link, "--summary", sim.summaryPath});

    int out[2];
    if (pipe2(out, O_CLOEXEC) != 0) return std::string("ERR pipe: ") + std::strerror(errno);
    const pid_t pid = fork();
    if (pid < 0) {
        close(out[0]);
        close(out[1]);
        return std::string("ERR fork: ") + std::strerror(errno);
    }
    if (pid == 0) {
        sigset_t none;
        sigemptyset(&none);
        sigprocmask(SIG_SETMASK, &none, nullptr);
        signal(SIGPIPE, SIG_DFL);
        dup2(out[1], STDOUT_FILENO);
        const int log = open(sim.logPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        if (log >= 0) dup2(log, STDERR_FILENO);
        std::vector<char*> cargs;
        for (std::string& a : argv) cargs.push_back(a.data());
        cargs.push_back(nullptr);
        execv(cargs[0], cargs.data());
        std::fprintf(stderr, "exec %s: %s\n", cargs[0], std::strerror(errno));
        _exit(127);
    }
    close(out[1]);
    sim.pid = pid;
    std::string first;
    const bool announced = readLineWithin(out[0], ptyLineLimit, first) && first.rfind("PTY ", 0) == 0;
    close(out[0]);  // kqsim ignores SIGPIPE; it prints nothing after this line
    sims[sim.id] = sim;
    if (!announced) {
        stopSim(sims[sim.id]);
        bool found = false;
        std::string log = readWholeFile(sim.logPath, found);
        std::replace(log.begin(), log.end(), '\n', ' ');
        return "ERR simulator did not start: " + log;
    }
    return "OK " + std::to_string(sim.id);
}

void RigDaemon::terminate(Sim& sim, TimePoint now) {
    if (sim.exited || sim.killSent) return;
    kill(sim.pid, SIGTERM);
    sim.killSent = true;
    sim.killAt = now + stopLimit;
}

void RigDaemon::stopSim(Sim& sim) {
    terminate(sim, Clock::now());
    while (!sim.exited) {
        int status = 0;
        const pid_t r = waitpid(sim.pid, &status, WNOHANG);
        if (r == sim.pid) {
            sim.exited = true;
            sim.status = status;
            break;
        }
        if (r < 0 && errno == ECHILD) {
            sim.exited = true;
            break;
        }
        if (Clock::now() >= sim.killAt) {
            kill(sim.pid, SIGKILL);
            sim.killAt = TimePoint::max();
        }
        usleep(5000);
    }
}

std::string RigDaemon::summaryReply(const Sim& sim) const {
    bool found = false;
    std::string json = readWholeFile(sim.summaryPath, found);
    if (!found || json.empty()) {
        const int code = WIFEXITED(sim.status) ? WEXITSTATUS(sim.status) : -WTERMSIG(sim.status);
        json = "{\"end\":\"no summary\",\"exit_status\":" + std::to_string(code) + "}\n";
    }
    return "SUMMARY " + std::to_string(json.size()) + "\n" + json;
}

void RigDaemon::reapChildren() {
    childEnded = 0;
    for (;;) {
        int status = 0;
        const pid_t pid = waitpid(-1, &status, WNOHANG);
        if (pid <= 0) return;
        for (auto& entry : sims)
            if (entry.second.pid == pid) {
                entry.second.exited = true;
                entry.second.status = status;
            }
    }
}

void RigDaemon::serviceWaits(TimePoint now) {
    for (auto& entry : clients) {
        Client& c = entry.second;
        if (c.waitingFor == 0) continue;
        const auto it = sims.find(c.waitingFor);
        if (it == sims.end()) {
            c.output += "ERR no such simulator\n";
        } else if (it->second.exited) {
            c.output += summaryReply(it->second);
        } else if (now >= c.waitDeadline) {
            c.output += "TIMEOUT\n";
        } else {
            continue;
        }
        c.waitingFor = 0;
        // Requests that arrived while the wait ran are served now.
        std::string pendingInput;
        pendingInput.swap(c.input);
        size_t lf;
        while (c.waitingFor == 0 && (lf = pendingInput.find('\n')) != std::string::npos) {
            std::string line = pendingInput.substr(0, lf);
            pendingInput.erase(0, lf + 1);
            if (!line.empty() && line.back() == '\r') line.pop_back();
            handleLine(c, line);
        }
        c.input = pendingInput + c.input;
    }
}

}  // namespace kqsim
