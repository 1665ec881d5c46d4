// The engine's image cursor and record pump: an attached image is walked line by
// line in place, and each line goes to the loader as one record ended by CR LF.
#include <cstring>

#include "engine/Actions.h"
#include "engine/HostTrace.h"
#include "engine/UpdateEngine.h"
#include "serial/SerialPort.h"

void UpdateEngine::attachImage(const char* text, uint32_t length)
{
    auto guard = lock.lock();
    imageCursor = text;
    imageBytesLeft = length;

    uint32_t lines = 0;
    const char* scan = text;
    const char* end = text + length;
    while (scan != nullptr && scan < end) {
        scan = static_cast<const char*>(std::memchr(scan, '\n', static_cast<size_t>(end - scan)));
        if (scan != nullptr) {
            ++lines;
            ++scan;
        }
    }
    imageLinesLeft = lines;
}

void UpdateEngine::ReadNextLine()
{
    imageLine.clear();
    while (imageBytesLeft > 0) {
        const char c = *imageCursor++;
        --imageBytesLeft;
        if (c == '\n') {
            --imageLinesLeft;
            return;
        }
        if (c != '\r') imageLine.push_back(c);
    }
}

void UpdateEngine::SendNextRecord()
{
    auto guard = lock.lock();
    if (imageLinesLeft == 0) return;

    ReadNextLine();
    // The progress step alone; the write below restarts the response timer.
    postProgressStep();

    // assign/append reuse the room reserved at construction: no allocation per record.
    sentLine.assign(imageLine);
    sentLine.append("\r\n", 2);
    if (currentResponse) currentResponse->setCommand(sentLine);

    if (port) {
        // A failed write reports itself through the port's sink; the record counts
        // either way, and the restarted response timer ends a stalled transfer.
        if (port->isOpen()) {
            KQ_TRACE_RECORD_WRITING();
            port->write(sentLine);
        }
        // Result ignored: the dialog takes posted messages for as long as the engine lives.
        if (window != nullptr) PostMessageA(window, WM_ENGINE_TIMER, ResponseTimerId, 1);
    }
}
