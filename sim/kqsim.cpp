// kqsim: the instrument's side of the serial line for tests. `kqsim peer` plays a
// byte script; `kqsim loader` simulates the KQ7750 boot loader.
#include "CommonOptions.h"
#include "LoaderMode.h"
#include "PeerScript.h"
#include "SimLoop.h"

#include <cstdio>
#include <string>
#include <vector>

using namespace kqsim;

namespace {

const char* const usage =
    "usage: kqsim peer --script \"STEPS\" [common options]\n"
    "       kqsim loader [loader options] [common options]\n"
    "       kqsim loader --help\n"
    "\n"
    "On start kqsim prints \"PTY <path>\" as its first line; on SIGTERM or after the idle\n"
    "time-out it writes its JSON summary and exits.\n"
    "\n"
    "Peer script steps, separated by ';':\n"
    "  send:HEX          send the bytes\n"
    "  fill:N:HH         send N bytes of value HH\n"
    "  pattern:N         send N bytes, byte i = i % 251\n"
    "  read:N:MS         wait for N bytes or MS milliseconds\n"
    "  echo:MS           echo every byte until MS milliseconds of silence\n"
    "  sleep:MS          wait MS milliseconds\n"
    "  close             close the line: the device vanishes\n"
    "\n";

int fail(const std::string& message) {
    std::fprintf(stderr, "kqsim: %s\n", message.c_str());
    return 2;
}

// Opens the pseudo-terminal, points the link at it and announces it.
bool openDevice(Pty& pty, const CommonOptions& common, std::string& error) {
    if (!pty.open(error)) return false;
    if (!common.link.empty() && !pty.pointLink(common.link, error)) return false;
    std::printf("PTY %s\n", pty.slavePath().c_str());
    std::fflush(stdout);
    return true;
}

}  // namespace

int main(int argc, char** argv) {
    std::vector<std::string> args(argv + 1, argv + argc);
    if (args.empty() || args[0] == "--help" || args[0] == "-h") {
        std::fputs(usage, stdout);
        std::fputs(commonOptionsHelp, stdout);
        return args.empty() ? 2 : 0;
    }
    const std::string modeName = args[0];
    args.erase(args.begin());

    CommonOptions common;
    std::string error;
    if (!takeCommonOptions(args, common, error)) return fail(error);
    LoopSettings settings;
    settings.idleTimeout = Millis(common.idleTimeoutMs);
    settings.summaryPath = common.summaryPath;

    if (modeName == "peer") {
        std::string script;
        for (size_t i = 0; i < args.size(); ++i) {
            if (args[i] == "--script") {
                if (!optionValue(args, i, script, error)) return fail(error);
            } else {
                return fail("unknown peer option " + args[i]);
            }
        }
        std::vector<PeerStep> steps;
        if (!parsePeerScript(script, steps, error)) return fail(error);
        installSignalHandling();
        Pty pty;
        if (!openDevice(pty, common, error)) return fail(error);
        PacedLine line(pty.masterFd(), common.baud);
        Device device{pty, line};
        PeerMode mode(device, std::move(steps), Clock::now());
        return runSimLoop(device, mode, settings);
    }

    if (modeName == "loader") {
        LoaderOptions options;
        bool helpWanted = false;
        if (!parseLoaderOptions(args, options, helpWanted, error)) return fail(error);
        if (helpWanted) {
            std::fputs(loaderHelp(), stdout);
            std::fputs(commonOptionsHelp, stdout);
            return 0;
        }
        ExpectedImages expected;
        if (!loadExpectations(options, expected, error)) return fail(error);
        installSignalHandling();
        Pty pty;
        if (!openDevice(pty, common, error)) return fail(error);
        PacedLine line(pty.masterFd(), common.baud);
        Device device{pty, line};
        LoaderMode mode(device, options, std::move(expected), common.baud);
        return runSimLoop(device, mode, settings);
    }

    return fail("unknown mode \"" + modeName + "\" (peer or loader)");
}
