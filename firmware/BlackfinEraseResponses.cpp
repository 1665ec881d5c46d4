// The erase report of the Blackfin's application memory as the loader gives it:
// echo, banner, one byte, the block dots with their line end, then "Complete.".
#include "firmware/BlackfinEraseResponses.h"

#include "engine/Actions.h"
#include "engine/UpdateEngine.h"

const char* const EraseBanner = "Erasing all program blocks";

// All three run on the worker inside the receive loop, which holds the engine lock.

bool BlackfinEraseStatusResponse::processByte(unsigned char byte)
{
    if (echoPending) {
        matchEcho(byte);
        if (!echoPending && !bannerArmed) {
            setCommand(EraseBanner);
            bannerArmed = true;
        }
        return false;
    }
    // The byte after the banner (a CR, or already the first dot) ends this phase;
    // its step is the first of the erase bar's twelve.
    line.clear();
    UpdateEngine* engine = g_engine.load();
    if (engine != nullptr) {
        engine->postStatus("Erasing program blocks...");
        engine->postProgressed();
        engine->nextResponse.reset(new BlackfinEraseProgressResponse());
    }
    return true;
}

bool BlackfinEraseProgressResponse::processByte(unsigned char byte)
{
    UpdateEngine* engine = g_engine.load();
    switch (byte) {
    case '.':
        if (engine != nullptr) engine->postProgressed();
        sawDot = true;
        return true;
    case '\r':
        sawReturn = true;
        return false;
    case '\n':
        // The line end after the dots closes the report. A loader that ends its
        // lines with LF alone never sends the CR, and nothing times the erase out
        // once the banner is in, so waiting for a CR would hang the update.
        if (sawDot) {
            line.clear();
            if (engine != nullptr) engine->nextResponse.reset(new BlackfinEraseCompleteResponse());
        }
        return true;
    default:
        return true;
    }
}

bool BlackfinEraseCompleteResponse::processByte(unsigned char byte)
{
    // Stays current until the window starts the programming: a second "Complete."
    // must not start it twice.
    if (completed) return false;
    if (!collectLine(byte)) return false;
    if (line.find(CompletionMarker) == std::string::npos) return false;
    line.clear();
    UpdateEngine* engine = g_engine.load();
    if (engine != nullptr) {
        engine->postStatus("Application erased.");
        engine->postToWindow(new ActionBlackfinErasePostamble());
    }
    return complete();
}
