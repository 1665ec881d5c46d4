// Parsing and help text of the loader simulator's options.
#include "LoaderOptions.h"

#include "CommonOptions.h"

namespace kqsim {

const char* targetName(int target) {
    static const char* const names[TargetCount] = {"pic2", "pic3", "pic4", "blackfin"};
    return target >= 0 && target < TargetCount ? names[target] : "none";
}

const char* loaderHelp() {
    return "usage: kqsim loader [options]\n"
           "\n"
           "Simulates the KQ7750 boot loader: waits for \"###\", signs on, answers VERSION,\n"
           "PIC_VERS n, LOAD_PIC n, ERASE_PROGRAM and LOAD_PROGRAM, echoes every command and\n"
           "record, decodes the Intel HEX records into per-target memory.\n"
           "\n"
           "Identity and answers:\n"
           "  --m418                   sign on as \"M418 Loader V...\" instead of \"KQ7750 Loader V...\"\n"
           "  --loader-version TEXT    version after \"Loader V\" (default 2.04)\n"
           "  --signon-prefix TEXT     text before the sign-on text, on the same line\n"
           "  --signon-extra-lines N   N lines of loader text before the sign-on line\n"
           "  --version-line1 TEXT     first VERSION line (default \"Loader V\" + version)\n"
           "  --spi-version TEXT       second VERSION line, the SPI EPROM version (default V3.21)\n"
           "  --pic-version N=TEXT     version of PIC N (2..4) before it is programmed\n"
           "                           (defaults V1.04, V1.10, V1.01); after programming the\n"
           "                           version is read from the image (RETLW table at 0x0FC0)\n"
           "  --lf-only                end answer lines with LF alone (default CR LF)\n"
           "\n"
           "Erase:\n"
           "  --erase-blocks N         dots in the erase report (default 11)\n"
           "  --erase-dot-ms MS        delay before each dot (default 50)\n"
           "  --slow-erase             the same as --erase-dot-ms 3000\n"
           "  --erase-dot-after-banner first dot directly after the banner (no line end)\n"
           "  --pre-complete-line TEXT extra loader line before every \"Complete.\"\n"
           "\n"
           "Habits of other loaders:\n"
           "  --extra-line TEXT        one more line (a prompt such as OK, a status) after every\n"
           "                           reply: the sign-on, VERSION, PIC_VERS, each \"Complete.\",\n"
           "                           an error text\n"
           "  --repeat-complete        send every \"Complete.\" line twice\n"
           "  --hold-echo-ms MS        hold the last byte of each record's echo MS ms, as a USB\n"
           "                           adapter's latency timer holds the tail of what it\n"
           "                           received (FTDI: 16 ms by default); only in the transfers\n"
           "                           --fault-target names\n"
           "\n"
           "Faults:\n"
           "  --silent                 never send a byte\n"
           "  --no-signon              echo \"###\" but never send the sign-on line\n"
           "  --garbage-before-signon  a junk line with bytes 0x80 and up before the sign-on\n"
           "  --noise                  control bytes and bytes 0x80 and up around answer lines\n"
           "  --fault-target T         transfer the record faults apply to: any (default),\n"
           "                           pic2, pic3, pic4, blackfin\n"
           "  --silent-after-record N  echo record N, then never send another byte\n"
           "  --vanish-after-record N  echo record N, then close the line (device vanishes)\n"
           "  --vanish-after-echo W    echo ### or the command W (or its first word), then close\n"
           "                           the line instead of answering\n"
           "  --drop-echo-byte W[:K]   leave out byte K (default 2) of the echo of W\n"
           "  --change-echo-byte W[:K] change byte K (default 2) of the echo of W\n"
           "  --stray-byte W[:HH]      send byte HH (default: the echo's first byte) before the\n"
           "                           echo of W\n"
           "                           W: a record number of the fault target's transfer, or\n"
           "                           a command word (VERSION, PIC_VERS, LOAD_PIC, ...)\n"
           "  --pic-vers-error N       answer PIC_VERS N with an error text (0: every PIC)\n"
           "  --pic-vers-error-text T  that text (default \"Error: PIC not responding\")\n"
           "  --no-complete T          never send \"Complete.\" after: any, erase, pic2, pic3,\n"
           "                           pic4, blackfin\n"
           "\n"
           "Summary:\n"
           "  --expect-dir DIR         read DIR/300.hex..303.hex; each target's summary names the\n"
           "                           image whose data it holds exactly\n"
           "  --expect-json FILE       the same from digests written by tools/image_digests.sh\n"
           "\n";
}

namespace {

bool parseEchoFault(EchoFault::Kind kind, const std::string& name, const std::string& value,
                    std::vector<EchoFault>& faults, std::string& error) {
    EchoFault fault;
    fault.kind = kind;
    fault.text = name.substr(2) + " " + value;
    const size_t colon = value.find(':');
    fault.where = value.substr(0, colon);
    if (fault.where.empty()) {
        error = name + ": where?";
        return false;
    }
    if (colon != std::string::npos) {
        unsigned long long n = 0;
        const std::string arg = value.substr(colon + 1);
        if (kind == EchoFault::Stray) {
            if (!parseUnsigned("0x" + arg, n) || n > 0xFF) {
                error = name + ": bad byte " + arg;
                return false;
            }
            fault.strayByte = static_cast<int>(n);
        } else {
            if (!parseUnsigned(arg, n) || n == 0 || n > 100000) {
                error = name + ": bad position " + arg;
                return false;
            }
            fault.position = static_cast<unsigned>(n);
        }
    }
    faults.push_back(fault);
    return true;
}

bool isTransferTarget(const std::string& name, bool allowErase) {
    if (name == "any" || (allowErase && name == "erase")) return true;
    for (int t = 0; t < TargetCount; ++t)
        if (name == targetName(t)) return true;
    return false;
}

}  // namespace

bool parseLoaderOptions(const std::vector<std::string>& args, LoaderOptions& o, bool& helpWanted,
                        std::string& error) {
    helpWanted = false;
    for (size_t i = 0; i < args.size(); ++i) {
        const std::string& name = args[i];
        std::string v;
        unsigned long long n = 0;
        const auto value = [&]() { return optionValue(args, i, v, error); };
        const auto number = [&](unsigned long long limit) {
            if (!optionValue(args, i, v, error)) return false;
            if (!parseUnsigned(v, n) || n > limit) {
                error = "bad value for " + name + ": " + v;
                return false;
            }
            return true;
        };

        if (name == "--help" || name == "-h") {
            helpWanted = true;
        } else if (name == "--m418") {
            o.m418 = true;
        } else if (name == "--loader-version") {
            if (!value()) return false;
            o.loaderVersion = v;
        } else if (name == "--signon-prefix") {
            if (!value()) return false;
            o.signonPrefix = v;
        } else if (name == "--signon-extra-lines") {
            if (!number(100)) return false;
            o.signonExtraLines = static_cast<unsigned>(n);
        } else if (name == "--version-line1") {
            if (!value()) return false;
            o.versionLine1 = v;
        } else if (name == "--spi-version") {
            if (!value()) return false;
            o.spiVersion = v;
        } else if (name == "--pic-version") {
            if (!value()) return false;
            if (v.size() < 2 || v[1] != '=' || v[0] < '2' || v[0] > '4') {
                error = "--pic-version wants N=TEXT with N 2, 3 or 4";
                return false;
            }
            o.picVersions[v[0] - '2'] = v.substr(2);
        } else if (name == "--lf-only") {
            o.lfOnly = true;
        } else if (name == "--erase-blocks") {
            if (!number(10000)) return false;
            o.eraseBlocks = static_cast<unsigned>(n);
        } else if (name == "--erase-dot-ms") {
            if (!number(600000)) return false;
            o.eraseDotMs = static_cast<unsigned>(n);
        } else if (name == "--slow-erase") {
            o.eraseDotMs = 3000;
        } else if (name == "--erase-dot-after-banner") {
            o.eraseDotAfterBanner = true;
        } else if (name == "--pre-complete-line") {
            if (!value()) return false;
            o.preCompleteLine = v;
        } else if (name == "--extra-line") {
            if (!value()) return false;
            o.extraLine = v;
        } else if (name == "--repeat-complete") {
            o.repeatComplete = true;
        } else if (name == "--hold-echo-ms") {
            if (!number(10000)) return false;
            o.holdEchoMs = static_cast<unsigned>(n);
        } else if (name == "--silent") {
            o.silent = true;
        } else if (name == "--no-signon") {
            o.noSignon = true;
        } else if (name == "--garbage-before-signon") {
            o.garbageBeforeSignon = true;
        } else if (name == "--noise") {
            o.noise = true;
        } else if (name == "--fault-target") {
            if (!value()) return false;
            if (!isTransferTarget(v, false)) {
                error = "--fault-target: any, pic2, pic3, pic4 or blackfin";
                return false;
            }
            o.faultTarget = v;
        } else if (name == "--silent-after-record") {
            if (!number(1000000)) return false;
            o.silentAfterRecord = static_cast<unsigned>(n);
        } else if (name == "--vanish-after-record") {
            if (!number(1000000)) return false;
            o.vanishAfterRecord = static_cast<unsigned>(n);
        } else if (name == "--vanish-after-echo") {
            if (!value()) return false;
            o.vanishAfterEcho = v;
        } else if (name == "--drop-echo-byte" || name == "--change-echo-byte" || name == "--stray-byte") {
            if (!value()) return false;
            const EchoFault::Kind kind = name == "--drop-echo-byte"     ? EchoFault::Drop
                                         : name == "--change-echo-byte" ? EchoFault::Change
                                                                        : EchoFault::Stray;
            if (!parseEchoFault(kind, name, v, o.echoFaults, error)) return false;
        } else if (name == "--pic-vers-error") {
            if (!number(4)) return false;
            if (n == 1) {
                error = "--pic-vers-error: 0, 2, 3 or 4";
                return false;
            }
            o.picVersError = static_cast<int>(n);
        } else if (name == "--pic-vers-error-text") {
            if (!value()) return false;
            o.picVersErrorText = v;
        } else if (name == "--no-complete") {
            if (!value()) return false;
            if (!isTransferTarget(v, true)) {
                error = "--no-complete: any, erase, pic2, pic3, pic4 or blackfin";
                return false;
            }
            o.noComplete = v;
        } else if (name == "--expect-dir") {
            if (!value()) return false;
            o.expectDir = v;
        } else if (name == "--expect-json") {
            if (!value()) return false;
            o.expectJson = v;
        } else {
            error = "unknown loader option " + name + " (see kqsim loader --help)";
            return false;
        }
    }
    return true;
}

}  // namespace kqsim
