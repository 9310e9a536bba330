// Harborpop's entry: the popup object, the notice channel, and one window thread
// per accepted notice. The program runs once through: connect, read notices
// until the connection ends, wait two minutes, exit. It never reconnects.
// The socket header must come before <windows.h>, which the window's pulls in.
#include "platform/net.h"
#include "platform/thread.h"
#include "popup/console.h"
#include "popup/mini_news_window_win.h"
#include "popup/notice_client.h"
#include "popup/popup_gate.h"

namespace {

constexpr uint32_t kFinalWaitMs = 120000;

MiniNewsWindow* g_popup = nullptr;

// Shows the popup and dispatches its messages until it is torn down.
int ShowAndRunPopup() {
  if (!g_popup->ShowPopup())
    return -1;
  MSG message;
  while (GetMessageA(&message, nullptr, 0, 0) > 0) {
    TranslateMessage(&message);
    DispatchMessageA(&message);
  }
  return g_popup->TipLater();
}

unsigned PopupThread(void* block) {
  return RunPopupThread(static_cast<NoticeBlock*>(block), &PopupGateState, &ShowAndRunPopup);
}

// Nobody waits for a window thread, so its handle is let go at once.
int StartPopupThread(NoticeBlock* block) {
  platform::ThreadHandle handle;
  uint32_t id = 0;
  if (platform::ThreadStart(&PopupThread, block, &handle, &id) != 0)
    return -1;
  platform::ThreadRelease(handle);
  return 0;
}

}  // namespace

int main() {
  // Window threads are let go, not waited for, so one may still use the popup
  // while main returns and the process ends: the popup lives on the heap and
  // is never destroyed, so it outlives every window thread.
  g_popup = new MiniNewsWindow;
  PopupGateState.Now = &platform::TimeSeconds;

  int error = platform::NetStartup();
  if (error != 0) {
    ConsolePrint("WSAStartup failed with error %d\n", error);
    platform::NetCleanup();
    platform::SleepMs(kFinalWaitMs);
    return -1;
  }
  RunNoticeClient(kNoticeHost, kNoticePort, &StartPopupThread);
  platform::SleepMs(kFinalWaitMs);
  return 0;
}
