// bench_echo: the baseline against which the installer's Blackfin programming is set.
// A raw one-thread Win32 loop sends image 300 to `kqsim loader` the way the loader's
// echo allows at best: one overlapped read outstanding at a time, and each record
// written as soon as the echo of the one before is complete.
//
//   bench_echo COM PACED    COM: port number; PACED: 1 for --baud 115200, 0 for none
//   bench_echo --image-check RUNS
//                           times the installer's check of its four images (every record,
//                           read in place) RUNS times; the first run meets cold pages
//
// Prints "RESULT key value" lines for scripts/bench.sh; exits non-zero on any failure.
#include "tests/support/RigClient.h"

#include "engine/WinHandles.h"
#include "firmware/ImageCheck.h"
#include "tests/bench/BenchClock.h"
#include "tests/bench/BenchImage.h"
#include <nlohmann/json.hpp>

#include <windows.h>

#include <cstdio>
#include <algorithm>
#include <cstdlib>
#include <string>
#include <vector>

namespace {

constexpr unsigned kBaud = 115200;
constexpr DWORD kReplyLimitMs = 10000;

class RawLine {
public:
    explicit RawLine(unsigned com) {
        const std::string name = "\\\\.\\COM" + std::to_string(com);
        device.reset(CreateFileA(name.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                                 FILE_FLAG_OVERLAPPED, nullptr));
        if (!device) throw Failure{"CreateFileA(" + name + ") failed with " + std::to_string(GetLastError())};
        DCB dcb{};
        dcb.DCBlength = sizeof dcb;
        dcb.fBinary = TRUE;
        dcb.BaudRate = CBR_115200;
        dcb.ByteSize = 8;
        dcb.Parity = NOPARITY;
        dcb.StopBits = ONESTOPBIT;
        // {MAXDWORD, 0, 0}: under Wine a read returns at once with what is there and
        // otherwise stays pending until the first byte arrives.
        COMMTIMEOUTS timeouts{MAXDWORD, 0, 0, 0, 0};
        if (!SetCommState(device.get(), &dcb) || !SetCommTimeouts(device.get(), &timeouts))
            throw Failure{"line settings refused: " + std::to_string(GetLastError())};
        readEvent.reset(CreateEventA(nullptr, TRUE, FALSE, nullptr));
        writeEvent.reset(CreateEventA(nullptr, TRUE, FALSE, nullptr));
        if (!readEvent || !writeEvent) throw Failure{"CreateEventA failed"};
    }

    void write(const std::string& bytes) {
        OVERLAPPED block{};
        block.hEvent = writeEvent.get();
        ResetEvent(writeEvent.get());  // result ignored: our own live event
        DWORD done = 0;
        if (!WriteFile(device.get(), bytes.data(), static_cast<DWORD>(bytes.size()), &done, &block)) {
            if (GetLastError() != ERROR_IO_PENDING) throw Failure{"WriteFile failed with " + std::to_string(GetLastError())};
            if (!GetOverlappedResult(device.get(), &block, &done, TRUE))
                throw Failure{"write completion failed with " + std::to_string(GetLastError())};
        }
        if (done != bytes.size()) throw Failure{"short write"};
    }

    // One overlapped read; returns what arrived (at least one byte).
    std::string read() {
        char buffer[512];
        OVERLAPPED block{};
        block.hEvent = readEvent.get();
        ResetEvent(readEvent.get());  // result ignored: our own live event
        DWORD got = 0;
        if (!ReadFile(device.get(), buffer, sizeof buffer, &got, &block)) {
            if (GetLastError() != ERROR_IO_PENDING) throw Failure{"ReadFile failed with " + std::to_string(GetLastError())};
            if (WaitForSingleObject(readEvent.get(), kReplyLimitMs) != WAIT_OBJECT_0) {
                CancelIo(device.get());  // result ignored: the run has failed anyway
                GetOverlappedResult(device.get(), &block, &got, TRUE);
                throw Failure{"no byte from the loader for 10 s"};
            }
            if (!GetOverlappedResult(device.get(), &block, &got, FALSE))
                throw Failure{"read completion failed with " + std::to_string(GetLastError())};
        }
        return std::string(buffer, got);
    }

    // Reads until `text` has been seen, then returns everything read.
    std::string readUntil(const std::string& text) {
        std::string seen;
        while (seen.find(text) == std::string::npos) seen += read();
        return seen;
    }

private:
    UniqueFileHandle device;
    UniqueHandle readEvent;
    UniqueHandle writeEvent;
};

// The same echo rule as the installer's parsers: a byte that does not continue the
// echo restarts the match, and is not tried again as its first byte.
class EchoMatch {
public:
    void arm(const std::string& expected) {
        text = &expected;
        pos = 0;
    }
    // Consumes bytes of `data` from `at`; true when the echo is complete, with `at`
    // just past its last byte.
    bool feed(const std::string& data, size_t& at) {
        while (at < data.size()) {
            const char c = data[at++];
            if (c == (*text)[pos]) {
                if (++pos == text->size()) return true;
            } else {
                pos = 0;
            }
        }
        return false;
    }

private:
    const std::string* text = nullptr;
    size_t pos = 0;
};

int run(unsigned com, bool paced) {
    BenchImage image;
    std::string error;
    if (!image.load(error)) throw Failure{error};

    RigClient rig;
    if (!rig.connected()) throw Failure{"rig daemon: " + rig.lastError()};
    const int sim = rig.start(static_cast<int>(com), loaderArguments(paced));
    if (sim < 0) throw Failure{"kqsim did not start: " + rig.lastError()};

    double seconds = 0;
    {
        RawLine line(com);
        line.write("###");
        line.readUntil("Loader");

        const std::string command = "LOAD_PROGRAM";
        EchoMatch echo;
        echo.arm(command);
        const LARGE_INTEGER start = now();
        line.write(command + "\r\n");

        size_t next = 0;  // the record the current echo releases
        std::string tail;
        while (next <= image.records.size()) {
            const std::string data = line.read();
            size_t at = 0;
            while (next <= image.records.size() && echo.feed(data, at)) {
                if (next < image.records.size()) {
                    echo.arm(image.records[next]);
                    line.write(image.records[next]);
                }
                ++next;
            }
            if (next > image.records.size()) tail = data.substr(at);
        }
        while (tail.find("Complete.") == std::string::npos || tail.find('\n', tail.find("Complete.")) == std::string::npos)
            tail += line.read();
        seconds = secondsBetween(start, now());
    }

    const std::string summary = rig.stop(sim);
    const nlohmann::json json = nlohmann::json::parse(summary, nullptr, false);
    if (json.is_discarded()) throw Failure{"kqsim summary is not JSON: " + summary};
    const nlohmann::json::json_pointer held("/targets/blackfin/image");
    const std::string heldName =
        json.contains(held) && json.at(held).is_string() ? json.at(held).get<std::string>() : "none";
    if (heldName != "300") throw Failure{"the loader's Blackfin memory holds image " + heldName + ", not 300"};

    const double floor = image.wireFloorSeconds(kBaud);
    std::printf("RESULT raw_%s_blackfin_s %.3f\n", paced ? "paced" : "unpaced", seconds);
    std::printf("RESULT wire_floor_s %.3f\n", floor);
    std::printf("RESULT records %zu\n", image.records.size());
    std::printf("RESULT characters %zu\n", image.characters);
    return 0;
}

// The check Update Instrument makes before its first command, as the installer makes it.
int runImageCheck(int runs) {
    std::vector<double> ms;
    for (int i = 0; i < runs; ++i) {
        const LARGE_INTEGER start = now();
        const bool intact = embeddedImagesIntact();
        ms.push_back(1000.0 * secondsBetween(start, now()));
        if (!intact) throw Failure{"the embedded images fail their own check"};
    }
    const double first = ms.front();
    std::sort(ms.begin(), ms.end());
    std::printf("RESULT image_check_first_ms %.3f\n", first);
    std::printf("RESULT image_check_median_ms %.3f\n", ms[ms.size() / 2]);
    std::printf("RESULT image_check_max_ms %.3f\n", ms.back());
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    const bool imageCheck = argc == 3 && std::string(argv[1]) == "--image-check";
    if (argc != 3 || (imageCheck && std::atoi(argv[2]) <= 0)) {
        std::fprintf(stderr, "usage: bench_echo COM PACED(0|1)\n       bench_echo --image-check RUNS\n");
        return 2;
    }
    try {
        if (imageCheck) return runImageCheck(std::atoi(argv[2]));
        return run(static_cast<unsigned>(std::atoi(argv[1])), std::atoi(argv[2]) != 0);
    } catch (const Failure& f) {
        std::fprintf(stderr, "bench_echo: %s\n", f.what.c_str());
        return 1;
    }
}
