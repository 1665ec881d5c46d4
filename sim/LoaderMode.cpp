// The loader's command interpreter, record transfers, erase report and summary.
#include "LoaderMode.h"

#include "BootStream.h"

#include <algorithm>

#include <nlohmann/json.hpp>

namespace kqsim {

namespace {

const char* const signOnText = "KQ7750 Loader V";
const char* const m418SignOnText = "M418 Loader V";
const char* const eraseBanner = "Erasing all program blocks";
const char* const completeText = "Complete.";
// Bytes the host must drop from a line: control characters and bytes 0x80 and up.
const std::string noiseBefore("\x00\x80\xFE\x07", 4);
const std::string noiseAfter("\xFF\x9B\x01", 3);
const std::string garbageLine("\x80\x81#!%& \xC3\xA9 ~~ \x7F\x90\xFF 12ab");

std::string firstWord(const std::string& text) {
    return text.substr(0, text.find(' '));
}

}  // namespace

LoaderMode::LoaderMode(Device& d, LoaderOptions o, ExpectedImages e, unsigned b)
    : device(d), options(std::move(o)), expected(std::move(e)), baud(b) {
    for (int pic = 0; pic < 3; ++pic) targets[pic].version = options.picVersions[pic];
}

bool LoaderMode::acceptsInput() const {
    return !device.line.pausing();
}

void LoaderMode::fired(const std::string& what) {
    faultsFired.push_back(what);
}

void LoaderMode::emit(std::string_view bytes, TimePoint now) {
    if (!sending()) return;
    device.line.send(bytes, now);
}

void LoaderMode::sendLine(const std::string& text, TimePoint now) {
    if (options.noise) emit(noiseBefore + text + noiseAfter + lineEnd(), now);
    else emit(text + lineEnd(), now);
}

void LoaderMode::onByte(uint8_t byte, TimePoint now) {
    // A loader that is about to vanish takes nothing more: the closing waits only for its
    // last echo to leave, and a fast peer would otherwise keep the transfer going meanwhile.
    if (vanishPending) return;
    if (state == State::Records) recordByte(byte, now);
    else commandByte(byte, now);
}

void LoaderMode::onTick(TimePoint now) {
    if (dispatchPending && now >= dispatchAt) completeCommandLine(now);
    // The echo of the fatal record goes out first; then the line closes once the host has
    // read it (closing the master throws away what the slave side has not read), or after
    // a while if it never does. Linux hands a master's write to the slave side a moment
    // later, so an empty slave queue counts only once it has stayed empty for 50 ms.
    if (vanishPending && !device.line.outputPending()) {
        if (vanishBy == TimePoint{}) vanishBy = now + Millis(2000);
        if (device.pty.unreadByHost() != 0) drainedSince = TimePoint{};
        else if (drainedSince == TimePoint{}) drainedSince = now;
        if ((drainedSince != TimePoint{} && now - drainedSince >= Millis(50)) || now >= vanishBy) {
            vanishPending = false;
            vanished = true;
            device.vanish();
        }
    }
}

TimePoint LoaderMode::nextDeadline(TimePoint now) const {
    if (vanishPending) return now + Millis(1);
    return dispatchPending ? dispatchAt : TimePoint::max();
}

void LoaderMode::signOn(TimePoint now, bool echoed) {
    ++signOns;
    commands.push_back("###");
    if (!echoed) emit("###", now);
    state = State::Command;
    line.clear();
    if (vanishesAfterEchoOf("###")) return;
    if (options.noSignon) {
        fired("no-signon");
        return;
    }
    if (options.garbageBeforeSignon) {
        emit(garbageLine + lineEnd(), now);
        fired("garbage-before-signon");
    }
    for (unsigned i = 1; i <= options.signonExtraLines; ++i)
        sendLine("Power-on self test " + std::to_string(i) + " passed", now);
    sendLine(options.signonPrefix + (options.m418 ? m418SignOnText : signOnText) + options.loaderVersion, now);
    endReply(now);
}

void LoaderMode::commandByte(uint8_t byte, TimePoint now) {
    if (dispatchPending) {
        if (byte == '\n') {
            terminators += '\n';
            completeCommandLine(now);
            return;
        }
        completeCommandLine(now);
    }
    if (byte == '\r' || byte == '\n') {
        if (line.empty()) {
            if (state == State::Command) emit(std::string(1, static_cast<char>(byte)), now);
            return;
        }
        if (state == State::PowerOn) {
            // Before the sign-on the loader listens for "###" only.
            ignoredBytes += line.size() + 1;
            line.clear();
            return;
        }
        terminators.assign(1, static_cast<char>(byte));
        if (byte == '\r') {
            // Wait briefly for the LF of a CR LF, so the echo keeps both ahead of the answer.
            dispatchPending = true;
            dispatchAt = now + std::max<Micros>(Millis(2), Micros(baud ? 30'000'000 / baud : 0));
            return;
        }
        completeCommandLine(now);
        return;
    }
    if (byte < 0x20 || byte >= 0x7F) {
        ++ignoredBytes;
        return;
    }
    if (line.size() < 256) line += static_cast<char>(byte);
    if (line.size() >= 3 && line.compare(line.size() - 3, 3, "###") == 0) {
        ignoredBytes += line.size() - 3;
        signOn(now, false);
    }
}

void LoaderMode::completeCommandLine(TimePoint now) {
    dispatchPending = false;
    const std::string command = line;
    line.clear();
    commands.push_back(command);
    echoCommand(command, now);
    terminators.clear();
    if (vanishesAfterEchoOf(command)) return;
    dispatch(command, now);
}

bool LoaderMode::vanishesAfterEchoOf(const std::string& command) {
    const std::string& w = options.vanishAfterEcho;
    if (w.empty() || vanished || vanishPending || (w != command && w != firstWord(command))) return false;
    fired("vanish-after-echo " + w);
    vanishPending = true;  // the echo goes out first, then the line closes
    return true;
}

EchoFault* LoaderMode::findEchoFault(EchoFault::Kind kind, const std::string& where) {
    for (EchoFault& f : options.echoFaults)
        if (!f.fired && f.kind == kind && f.where == where) return &f;
    return nullptr;
}

void LoaderMode::echoCommand(const std::string& command, TimePoint now) {
    std::string echo = command;
    const std::string word = firstWord(command);
    if (EchoFault* f = findEchoFault(EchoFault::Stray, word)) {
        f->fired = true;
        fired(f->text);
        echo.insert(echo.begin(), static_cast<char>(f->strayByte >= 0 ? f->strayByte : command[0]));
    }
    if (EchoFault* f = findEchoFault(EchoFault::Drop, word)) {
        if (f->position <= command.size()) {
            f->fired = true;
            fired(f->text);
            echo.erase(echo.size() - command.size() + f->position - 1, 1);
        }
    } else if (EchoFault* c = findEchoFault(EchoFault::Change, word)) {
        if (c->position <= command.size()) {
            c->fired = true;
            fired(c->text);
            echo[echo.size() - command.size() + c->position - 1] ^= 0x01;
        }
    }
    emit(echo + terminators, now);
}

void LoaderMode::dispatch(const std::string& command, TimePoint now) {
    const auto picNumber = [&](size_t prefix) {
        const std::string arg = command.substr(prefix);
        return arg.size() == 1 && arg[0] >= '2' && arg[0] <= '4' ? arg[0] - '0' : -1;
    };
    if (command == "VERSION") {
        sendLine(options.versionLine1.empty() ? "Loader V" + options.loaderVersion : options.versionLine1, now);
        sendLine(options.spiVersion, now);
    } else if (command.rfind("PIC_VERS ", 0) == 0) {
        const int pic = picNumber(9);
        if (pic < 0) {
            sendLine("Error: no PIC " + command.substr(9), now);
        } else if (options.picVersError == 0 || options.picVersError == pic) {
            fired("pic-vers-error " + std::to_string(pic));
            sendLine(options.picVersErrorText, now);
        } else {
            sendLine(targets[pic - 2].version, now);
        }
    } else if (command.rfind("LOAD_PIC ", 0) == 0) {
        const int pic = picNumber(9);
        if (pic >= 0) {
            startTransfer(pic - 2, command);
            return;  // the reply ends with the transfer's "Complete."
        }
        sendLine("Error: no PIC " + command.substr(9), now);
    } else if (command == "LOAD_PROGRAM") {
        startTransfer(TargetBlackfin, command);
        return;
    } else if (command == "ERASE_PROGRAM") {
        erase(now);  // ends with "Complete."
        return;
    } else {
        sendLine("Unknown command", now);
    }
    endReply(now);
}

void LoaderMode::startTransfer(int target, const std::string& command) {
    state = State::Records;
    line.clear();
    currentRecord = 0;
    recordPosition = 0;
    Transfer transfer;
    transfer.target = target;
    transfer.command = command;
    transfers.push_back(transfer);
    TargetState& t = targets[target];
    ++t.loads;
    // A PIC's program memory is erased as its programming starts; the Blackfin's flash
    // only by ERASE_PROGRAM.
    if (target != TargetBlackfin) t.memory.clear();
}

bool LoaderMode::faultTargetIsCurrent() const {
    return !transfers.empty() &&
           (options.faultTarget == "any" || options.faultTarget == targetName(transfers.back().target));
}

void LoaderMode::recordByte(uint8_t byte, TimePoint now) {
    Transfer& transfer = transfers.back();
    if (recordPosition == 0) currentRecord = ++transfer.records;
    ++recordPosition;
    std::string echo(1, static_cast<char>(byte));
    if (faultTargetIsCurrent()) {
        const std::string where = std::to_string(currentRecord);
        if (recordPosition == 1) {
            if (EchoFault* f = findEchoFault(EchoFault::Stray, where)) {
                f->fired = true;
                fired(f->text);
                echo.insert(echo.begin(), static_cast<char>(f->strayByte >= 0 ? f->strayByte : byte));
            }
        }
        for (EchoFault::Kind kind : {EchoFault::Drop, EchoFault::Change}) {
            EchoFault* f = findEchoFault(kind, where);
            if (f && f->position == recordPosition) {
                f->fired = true;
                fired(f->text);
                if (kind == EchoFault::Drop) echo.pop_back();
                else echo.back() ^= 0x01;
            }
        }
    }
    // An adapter sends on what it has gathered when its latency timer runs out: the
    // record's last byte comes that much later.
    if (byte == '\n' && options.holdEchoMs != 0 && faultTargetIsCurrent() && sending())
        device.line.pause(Millis(options.holdEchoMs));
    emit(echo, now);

    if (byte == '\n') {
        endRecord(now);
        return;
    }
    if (byte == '\r') return;  // dropped wherever it stands, as the host drops it
    if (line.size() < 1024) line += static_cast<char>(byte);
    if (line == "###") {
        // The host signs on afresh in the middle of a transfer: give up the transfer.
        transfer.aborted = true;
        recordPosition = 0;
        signOn(now, true);
    }
}

void LoaderMode::endRecord(TimePoint now) {
    Transfer& transfer = transfers.back();
    TargetState& t = targets[transfer.target];
    const std::string text = line;
    line.clear();
    recordPosition = 0;
    ++t.lines;
    if (text.empty()) {
        ++t.emptyLines;
    } else {
        HexRecord record;
        const HexError error = decodeHexRecord(text, record);
        if (error != HexError::None) {
            ++transfer.badRecords;
            t.bad.push_back({static_cast<unsigned>(transfers.size()), currentRecord, text, hexErrorName(error)});
        } else if (record.type == 0x00) {
            ++t.dataRecords;
            t.overwrites += t.memory.write(transfer.addressing.absolute(record.offset), record.data);
        } else if (record.type == 0x01) {
            ++t.eofRecords;
            transfer.eof = true;
        } else if (transfer.addressing.apply(record)) {
            ++t.addressRecords;
        } else {
            ++t.otherRecords;
        }
    }
    if (faultTargetIsCurrent()) {
        if (currentRecord == options.silentAfterRecord && !silenced) {
            fired("silent-after-record " + std::to_string(currentRecord));
            silenced = true;  // the echo of this record is queued already; nothing follows it
        }
        if (currentRecord == options.vanishAfterRecord && !vanished && !vanishPending) {
            fired("vanish-after-record " + std::to_string(currentRecord));
            vanishPending = true;
        }
    }
    if (transfer.eof) finishTransfer(now);
}

void LoaderMode::finishTransfer(TimePoint now) {
    Transfer& transfer = transfers.back();
    state = State::Command;
    TargetState& t = targets[transfer.target];
    if (transfer.target != TargetBlackfin && transfer.badRecords == 0) t.version = versionFromImage(t.memory);
    transfer.completeSent = sendComplete(targetName(transfer.target), now);
}

bool LoaderMode::sendComplete(const std::string& what, TimePoint now) {
    if (options.noComplete == "any" || options.noComplete == what) {
        fired("no-complete " + what);
        return false;
    }
    if (!options.preCompleteLine.empty()) sendLine(options.preCompleteLine, now);
    sendLine(completeText, now);
    if (options.repeatComplete) {
        if (sending()) ++repeatedCompletes;
        sendLine(completeText, now);
    }
    endReply(now);
    return sending();
}

void LoaderMode::endReply(TimePoint now) {
    if (options.extraLine.empty()) return;
    if (sending()) ++extraLinesSent;
    sendLine(options.extraLine, now);
}

void LoaderMode::erase(TimePoint now) {
    TargetState& t = targets[TargetBlackfin];
    t.memory.clear();
    ++t.erases;
    emit((options.noise ? noiseBefore : std::string()) + eraseBanner, now);
    if (!options.eraseDotAfterBanner) emit(lineEnd(), now);
    for (unsigned i = 0; i < options.eraseBlocks; ++i) {
        if (sending()) device.line.pause(Millis(options.eraseDotMs));
        emit(".", now);
    }
    emit(lineEnd(), now);
    sendComplete("erase", now);
}

std::string LoaderMode::versionFromImage(const TargetMemory& memory) {
    char text[3];
    for (int i = 0; i < 3; ++i) {
        uint8_t low = 0, high = 0;
        if (!memory.read(0x0FC0 + 2 * i, low) || !memory.read(0x0FC1 + 2 * i, high) || high != 0x34 ||
            low < 0x20 || low >= 0x7F)
            return "V?.??";
        text[i] = static_cast<char>(low);
    }
    return std::string("V") + text[0] + "." + text[1] + text[2];
}

void LoaderMode::writeSummary(Summary& summary) const {
    summary["mode"] = "loader";
    summary["pty"] = device.pty.slavePath();
    summary["baud"] = baud;
    summary["bytes_received"] = device.line.bytesReceived;
    summary["bytes_sent"] = device.line.bytesSent;
    summary["sign_ons"] = signOns;
    summary["ignored_bytes"] = ignoredBytes;
    summary["extra_lines"] = extraLinesSent;
    summary["repeated_completes"] = repeatedCompletes;
    summary["silenced"] = silenced || options.silent;
    summary["vanished"] = vanished;
    summary["state"] = state == State::PowerOn ? "power-on" : state == State::Command ? "command" : "records";
    Summary& commandList = summary["commands"] = Summary::array();
    for (const std::string& c : commands) commandList.push_back(lineText(c));
    summary["faults_fired"] = faultsFired;
    Summary& transferList = summary["transfers"] = Summary::array();
    for (const Transfer& t : transfers) {
        transferList.push_back({{"target", targetName(t.target)},
                                {"command", lineText(t.command)},
                                {"records", t.records},
                                {"bad_records", t.badRecords},
                                {"eof", t.eof},
                                {"complete_sent", t.completeSent},
                                {"aborted", t.aborted}});
    }
    summary["expected_images_from"] = expected.source;
    Summary& targetList = summary["targets"] = Summary::object();
    for (int i = 0; i < TargetCount; ++i) {
        const TargetState& t = targets[i];
        Summary& target = targetList[targetName(i)];
        target["loads"] = t.loads;
        target["records"] = t.lines;
        target["data_records"] = t.dataRecords;
        target["address_records"] = t.addressRecords;
        target["eof_records"] = t.eofRecords;
        target["other_records"] = t.otherRecords;
        target["empty_lines"] = t.emptyLines;
        target["overwritten_bytes"] = t.overwrites;
        Summary& badList = target["bad_records"] = Summary::array();
        for (const BadRecord& b : t.bad) {
            badList.push_back(
                {{"transfer", b.transfer}, {"record", b.record}, {"line", lineText(b.line)}, {"reason", b.reason}});
        }
        target["byte_count"] = t.memory.byteCount();
        Summary& rangeList = target["ranges"] = Summary::array();
        for (const auto& r : t.memory.ranges()) rangeList.push_back({hexNumber(r.first, 4), hexNumber(r.second, 4)});
        const std::string sha = t.memory.sha256();
        target["sha256"] = sha;
        const std::string image = matchingImage(expected, sha);
        if (image.empty() || t.memory.byteCount() == 0) target["image"] = nullptr;
        else target["image"] = image;
        if (i == TargetBlackfin) {
            target["erases"] = t.erases;
            const BootStreamWalk walk = walkBootStream(t.memory.contents());
            target["boot_stream"] = {{"blocks", walk.blocks},
                                     {"zero_fill_blocks", walk.zeroFillBlocks},
                                     {"ignore_blocks", walk.ignoreBlocks},
                                     {"first_flags", hexNumber(walk.firstFlags, 4)},
                                     {"first_count", walk.firstCount},
                                     {"first_value", hexNumber(walk.firstValue, 5)},
                                     {"rest_length", hexNumber(walk.restLength, 5)},
                                     {"last_flags", hexNumber(walk.lastFlags, 4)},
                                     {"final_seen", walk.finalSeen},
                                     {"truncated", walk.truncated},
                                     {"trailing_bytes", walk.trailingBytes}};
        } else {
            target["version"] = t.version;
        }
    }
}

}  // namespace kqsim
