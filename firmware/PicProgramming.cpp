// The PIC steps of the update: attach a PIC image, send "LOAD_PIC n" with the record
// parser, and read the PIC's version back with "PIC_VERS n" once it is programmed.
#include <string>

#include "engine/Actions.h"
#include "engine/UpdateEngine.h"
#include "firmware/PicProgramVerifyResponse.h"
#include "firmware/RecordResponses.h"

void UpdateEngine::PreparePicImage(uint32_t picNumber, uint32_t length, const char* text)
{
    auto guard = lock.lock();
    if (picNumber == 2) connectionSummary.clear();
    picIndex = picNumber;
    attachImage(text, length);
    if (imageLinesLeft > 0)
        postToWindow(new ActionPicProgram());
    else
        postToWindow(new ActionFailed());
}

void UpdateEngine::ProgramPic()
{
    std::string number;
    {
        auto guard = lock.lock();
        number = std::to_string(picIndex);
    }
    postStatus("Programming PIC" + number + "...");
    sendCommand(new PicProgramRecordResponse(), "LOAD_PIC " + number);
}

void UpdateEngine::VerifyPic()
{
    std::string number;
    {
        auto guard = lock.lock();
        number = std::to_string(picIndex);
        connectionSummary.clear();
    }
    postStatus("Verify transfered version for PIC" + number + ".");
    // Replaces, and so destroys, the record parser of the transfer just completed.
    sendCommand(new PicProgramVerifyResponse(), "PIC_VERS " + number);
}
