// Recognises the loader's sign-on line and starts the version queries.
#include "loader/SignOnResponse.h"

#include "engine/Actions.h"
#include "engine/UpdateEngine.h"
#include "loader/VersionResponses.h"

namespace {

// Older loaders still sign on with the instrument's former model name.
const char* const LegacySignOn = "M418 Loader V";
const char* const SignOn = "KQ7750 Loader V";

}  // namespace

bool SignOnResponse::processByte(unsigned char byte) {
    if (!takeLine(byte)) return false;
    if (line.find(LegacySignOn) == std::string::npos && line.find(SignOn) == std::string::npos) {
        line.clear();  // loader chatter: wait for the next line
        return false;
    }
    connectionSummary = "KQ7750 Connected: \"";
    connectionSummary += line;
    connectionSummary += '"';
    line.clear();
    if (UpdateEngine* engine = g_engine.load()) {
        engine->postStatus(connectionSummary);
        engine->postWork(new ActionSendCommand(new VersionPart1Response(),
                                               "Getting SPI EPROM versions...", "VERSION"));
    }
    return complete();
}
