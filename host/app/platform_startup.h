#pragma once
// The platform subsystems the host needs before it builds anything else.
// Windows, in this order: Winsock 2.2, COM (multithreaded apartment) on the
// calling thread, Media Foundation. Linux: SIGPIPE is ignored (a peer that
// goes away must not end the process).

namespace orvane {

// False (logged) when one of them failed; what had started is undone. The
// entry then leaves with 1.
bool StartPlatform();

// The reverse: MFShutdown, CoUninitialize, WSACleanup. Call on the thread
// that called StartPlatform, after every user of the subsystems stopped.
void StopPlatform();

}  // namespace orvane
