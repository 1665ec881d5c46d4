// The update engine: the worker thread, the two action queues, the response
// parsers, the image cursor, and every operation that talks to the instrument.
// Its member functions are defined by subsystem: engine/ (queues, worker,
// commands), serial/ (failure texts), loader/ (sign-on), firmware/ (images).
#pragma once

#include <windows.h>

#include <atomic>
#include <cstdint>
#include <memory>
#include <string>

#include "engine/ActionBase.h"
#include "engine/CircularQueue.h"
#include "engine/ResponseBase.h"
#include "engine/WinHandles.h"

class SerialPort;

enum EngineMode : uint32_t {
    Idle = 0,
    Connecting = 1,
    Updating = 3,
};

// Posted to the main dialog: one per action pushed to windowQueue (wParam 0, lParam 0).
constexpr UINT WM_ENGINE_ACTION = WM_APP + 1;
// Posted to start (lParam 1) or stop (lParam 0) the response timer whose id is wParam.
constexpr UINT WM_ENGINE_TIMER = WM_APP + 2;
constexpr WPARAM ResponseTimerId = 2;

// The connection summary shown after connecting. Emptied by the engine's
// constructor; afterwards written under the engine lock by the worker (sign-on,
// version parsers) and by the window thread (PIC steps).
extern std::string connectionSummary;

class UpdateEngine {
public:
    static constexpr uint32_t WorkQueueSlots = 31;
    static constexpr uint32_t WindowQueueSlots = 16;
    // Places in the window queue that progress steps leave to the results that
    // end a phase (status text, completion, next step, failure).
    static constexpr uint32_t WindowQueueReserve = 2;

    explicit UpdateEngine(HWND window);
    ~UpdateEngine();
    UpdateEngine(const UpdateEngine&) = delete;
    UpdateEngine& operator=(const UpdateEngine&) = delete;

    // Posting: each takes ownership of the action; none takes the engine lock.
    void postWork(ActionBase* action);
    void postToWindow(ActionBase* action);
    void postStatus(const std::string& text);
    // postProgressed and postProgressStep are called with the engine lock held (by the
    // record pump and the parsers): each step carries imageLinesLeft as it stands.
    void postProgressed();
    void postFailed();
    // One progress step for the window (no timer message). Left out while the
    // window queue is nearly full; see the cpp.
    void postProgressStep();
    // WM_ENGINE_ACTION on the window thread: executes at most one action.
    BOOL drainWindowQueue();

    // Commands and responses.
    void sendCommand(ResponseBase* response, const std::string& command);
    void feedReceivedBytes(uint32_t count);
    void onPortClosing();
    void dispatchSerialEvent(uint32_t type, int32_t value);  // ActionSerialEvent, worker
    static void onSerialEvent(uint32_t type, int32_t value); // the port's event sink

    // Failure reports (worker).
    void reportLineError(int32_t mask);
    void reportTransferFailure(int32_t direction);
    void reportConnectionFailure(int openResult);

    // Connection and sign-on.
    void findPort(uint32_t portNumber);  // ActionFindPort, worker
    void reconnect();                    // window
    void startSignOn();                  // PortOpened, worker

    // Firmware images and the record pump.
    void attachImage(const char* text, uint32_t length);
    void ReadNextLine();
    void SendNextRecord();
    void PreparePicImage(uint32_t picNumber, uint32_t length, const char* text);
    void ProgramPic();
    void VerifyPic();
    void PrepareBlackfinImage(uint32_t length, const char* text);
    void EraseBlackfin();
    void ProgramBlackfin();

    // Fields. The engine lock guards the parsers, mode, the image cursor and
    // every write to the port; it is recursive and is never used for the queues.
    CriticalSection lock;
    const HWND window;                  // never changed; nothing is posted while null
    UniqueHandle workerThread;          // window thread only (constructor, destructor); null once stopped
    HANDLE stopEvent;                   // signalled by the destructor; closed by the worker as it ends (under workGuard)
    HANDLE workEvent;                   // signalled by every poster, closed by the worker as it ends (both under workGuard)
    std::unique_ptr<ResponseBase> currentResponse;  // engine lock
    std::unique_ptr<ResponseBase> nextResponse;     // engine lock
    CircularQueue<ActionBase*> workQueue;    // pushed by window, worker and event thread; popped by worker
    CircularQueue<ActionBase*> windowQueue;  // pushed by worker and window; popped by window
    std::unique_ptr<SerialPort> port;   // created and destroyed by the worker, under the engine lock
    uint32_t mode;                      // EngineMode; engine lock
    uint32_t imageLinesLeft;            // engine lock; read unlocked by the window right after attaching; progress steps carry it to the window
    uint32_t picIndex;                  // engine lock
    const char* imageCursor;            // engine lock; points into the controller's resource
    uint32_t imageBytesLeft;            // engine lock
    std::string imageLine;              // engine lock
    std::string sentLine;               // engine lock

private:
    static unsigned __stdcall workerMain(void* argument);
    void closeEvents();                      // under workGuard; idempotent
    void pushToWindow(ActionBase* action);   // destroys a refused action
    void pushProgressStep();                 // left out when the queue is nearly full
    void announceToWindow();                 // one WM_ENGINE_ACTION
    void postTimerRequest(bool start);       // WM_ENGINE_TIMER (ResponseTimerId, start)

    // Short guards, each held only for one push or pop of its queue (workGuard
    // also covers the use and closing of the two events).
    CriticalSection workGuard;
    CriticalSection windowGuard;
};

// The one engine: set right after construction, cleared after destruction.
extern std::atomic<UpdateEngine*> g_engine;
