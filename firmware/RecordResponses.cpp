// The echo-paced record pump shared by the two record parsers, and what each of them
// does when the loader reports the transfer complete.
#include "firmware/RecordResponses.h"

#include "engine/Actions.h"
#include "engine/UpdateEngine.h"

// Runs on the worker inside the receive loop, which holds the engine lock.
bool ResponseBase::pumpRecordByte(unsigned char byte)
{
    // After "Complete." the parser waits for the window's next command; what the loader
    // prints meanwhile (a prompt, a second "Complete.") ends nothing again.
    if (completed) return false;
    if (echoPending) {
        matchEcho(byte);
        if (!echoPending) {
            // The record's echo is whole: the next record goes out and re-arms this
            // parser with its echo; after the last one nothing is armed and the
            // parser starts collecting the loader's closing text.
            UpdateEngine* engine = g_engine.load();
            if (engine != nullptr) engine->SendNextRecord();
        }
        return false;
    }
    // A line without the marker stays in `line`; the next lines are joined to it.
    if (!collectLine(byte)) return false;
    if (line.find(CompletionMarker) == std::string::npos) return false;
    line.clear();
    return complete();
}

bool PicProgramRecordResponse::processByte(unsigned char byte)
{
    if (!pumpRecordByte(byte)) return false;
    UpdateEngine* engine = g_engine.load();
    if (engine != nullptr) {
        engine->postProgressed();
        engine->postToWindow(new ActionPicProgramPostamble());
    }
    return true;
}

bool BlackfinProgramRecordResponse::processByte(unsigned char byte)
{
    if (!pumpRecordByte(byte)) return false;
    UpdateEngine* engine = g_engine.load();
    if (engine != nullptr) {
        engine->postStatus("Application firmware data transfer complete.");
        engine->postProgressed();
        engine->postToWindow(new ActionComplete());
    }
    return true;
}
