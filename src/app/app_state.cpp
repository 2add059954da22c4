#include "app_state.h"

HINSTANCE appInstance = nullptr;
std::atomic<HANDLE> portHandle{INVALID_HANDLE_VALUE};
HANDLE receiverThread = INVALID_HANDLE_VALUE;
std::atomic<HANDLE> txEvent{INVALID_HANDLE_VALUE};
std::atomic<int32_t> linkRunning{1};
std::atomic<int32_t> baudRate{115200};
std::atomic<int32_t> txWriting{0};
std::atomic<int32_t> rxReading{0};
std::atomic<uint32_t> rxReadsEnded{0};
std::atomic<int32_t> logPaused{0};
std::atomic<int32_t> scanActive{0};
std::atomic<uint8_t> scanToggleArmed{11};
std::atomic<int32_t> stopAckPending{0};
