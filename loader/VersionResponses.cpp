// The version parsers. Each runs on the worker inside the engine's byte
// delivery, under the engine lock, which also guards connectionSummary.
#include "loader/VersionResponses.h"

#include "engine/Actions.h"
#include "engine/UpdateEngine.h"

bool VersionPart1Response::processByte(unsigned char byte) {
    if (!takeLine(byte)) return false;
    line.clear();
    if (UpdateEngine* engine = g_engine.load()) engine->nextResponse.reset(new VersionPart2Response());
    return complete();
}

bool VersionPart2Response::processByte(unsigned char byte) {
    if (!takeLine(byte)) return false;
    connectionSummary += ", SPI EPROM \"";
    connectionSummary += line;
    connectionSummary += "\", PIC2 \"";
    // Emptied like every other version line, so that a line arriving before the
    // next command replaces this parser is not joined to this one.
    line.clear();
    if (UpdateEngine* engine = g_engine.load())
        engine->postWork(new ActionSendCommand(new PicVersionPart1Response(),
                                               "Getting PIC versions...", "PIC_VERS 2"));
    return complete();
}

bool PicVersionPart1Response::processByte(unsigned char byte) {
    if (!takeLine(byte)) return false;
    connectionSummary += line;
    connectionSummary += "\", PIC3 \"";
    line.clear();
    if (UpdateEngine* engine = g_engine.load())
        engine->postWork(new ActionSendCommand(new PicVersionPart2Response(), "PIC_VERS 3"));
    return complete();
}

bool PicVersionPart2Response::processByte(unsigned char byte) {
    if (!takeLine(byte)) return false;
    connectionSummary += line;
    connectionSummary += "\", PIC4 \"";
    line.clear();
    if (UpdateEngine* engine = g_engine.load())
        engine->postWork(new ActionSendCommand(new PicVersionPart3Response(), "PIC_VERS 4"));
    return complete();
}

bool PicVersionPart3Response::processByte(unsigned char byte) {
    if (!takeLine(byte)) return false;
    // The summary keeps the finished text, which is also what the window shows.
    connectionSummary += line;
    connectionSummary += '"';
    line.clear();
    if (UpdateEngine* engine = g_engine.load()) {
        engine->postStatus(connectionSummary);
        engine->postToWindow(new ActionConnected(true));
    }
    return complete();
}
