// Which thread is the main thread, and who turns its run loop.
//
// On the phone the application's main loop always runs. Here the library gives the same
// promise itself: unless the host declares, before first use, that it turns RunLoop::main()
// on the process's initial thread, the library starts a dispatcher thread ("hv.main") the first
// time the main loop is needed, and that thread turns it for the rest of the process. Work
// posted to the main loop, the accessory notifications among it, is then delivered whatever
// the host does; "posted on the main thread" and isMainThread() refer to that thread.
//
// Thread rules: every function may be called from any thread.
#pragma once

namespace hv::platform::mainthread {

// The host turns RunLoop::main() itself, on the process's initial thread. Only before first
// use: false once the choice is fixed the other way (the main loop was needed, or the
// initial thread made a run loop of its own). Calling it again after success returns true.
bool setHostRunsMainLoop();
bool hostRunsMainLoop();

// Fixes the choice (to the library's dispatcher if the host has not spoken) and reports it.
bool fixHostRunsMainLoop();

// The main thread: the dispatcher thread, or the initial thread when the host runs the loop.
bool isMainThread();

// The process's first thread, whatever runs the main loop.
bool isInitialThread();

}  // namespace hv::platform::mainthread
