// The PIC version read-back: echo, one version line, then the next step of the update.
#include "firmware/PicProgramVerifyResponse.h"

#include "engine/Actions.h"
#include "engine/UpdateEngine.h"

// Runs on the worker inside the receive loop, which holds the engine lock.
bool PicProgramVerifyResponse::processByte(unsigned char byte)
{
    // Only the first line is the version; a line after it (a loader's prompt) must not
    // move the update on a second time before the window has sent the next command.
    if (completed) return false;
    if (echoPending) {
        matchEcho(byte);
        return false;
    }
    if (!collectLine(byte)) return false;

    UpdateEngine* engine = g_engine.load();
    if (engine != nullptr) {
        const uint32_t pic = engine->picIndex;
        std::string text = "PIC" + std::to_string(pic) + " version is now \"" + line + "\"";
        line.clear();
        engine->postStatus(text);
        if (pic == 4)
            engine->postToWindow(new ActionBlackfinProgramPreamble());
        else
            engine->postToWindow(new ActionNextPic());
    } else {
        line.clear();
    }
    return complete();
}
