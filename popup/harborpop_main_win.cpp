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
constexpr int kWindowThreadsWaitMs = 10000;

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
  unsigned code =
      RunPopupThread(static_cast<NoticeBlock*>(block), &PopupGateState, &ShowAndRunPopup);
  EndWindowThread(&PopupGateState);
  return code;
}

// The thread's handle is let go at once: the end of the program waits for the
// thread through the gate's count instead.
int StartPopupThread(NoticeBlock* block) {
  platform::ThreadHandle handle;
  uint32_t id = 0;
  AddWindowThread(&PopupGateState);
  if (platform::ThreadStart(&PopupThread, block, &handle, &id) != 0) {
    EndWindowThread(&PopupGateState);
    return -1;
  }
  platform::ThreadRelease(handle);
  return 0;
}

}  // namespace

int main() {
  // Window threads are let go, and main waits for them only at the very end
  // (and only for so long), so one may still use the popup while the process
  // ends: the popup lives on the heap and is never destroyed.
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
  WaitForWindowThreads(&PopupGateState, kWindowThreadsWaitMs);
  return 0;
}
