// The Blackfin steps of the update: attach the application image, erase the
// application memory with "ERASE_PROGRAM", then send the image with "LOAD_PROGRAM".
#include "engine/Actions.h"
#include "engine/UpdateEngine.h"
#include "firmware/BlackfinEraseResponses.h"
#include "firmware/RecordResponses.h"

void UpdateEngine::PrepareBlackfinImage(uint32_t length, const char* text)
{
    auto guard = lock.lock();
    attachImage(text, length);
    if (imageLinesLeft > 0) {
        postToWindow(new ActionBlackfinErasePreamble());
    } else {
        postStatus("Internal error - Cannot access LDR data.");
        postToWindow(new ActionFailed());
    }
}

void UpdateEngine::EraseBlackfin()
{
    auto guard = lock.lock();
    mode = Updating;
    postWork(new ActionSendCommand(new BlackfinEraseStatusResponse(),
                                   "Erasing application memory...", "ERASE_PROGRAM"));
}

void UpdateEngine::ProgramBlackfin()
{
    postWork(new ActionSendCommand(new BlackfinProgramRecordResponse(),
                                   "Programming application...", "LOAD_PROGRAM"));
}
