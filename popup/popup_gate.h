// The popup gate: one popup at a time, and after a popup closed with "Tip later"
// ticked, a silence of 300 seconds measured from the close. Window threads pass
// it as one step under its mutex, so two notices can never both get through.
#pragma once
#include <condition_variable>
#include <cstdint>
#include <mutex>

#include "popup/notice_receive.h"

constexpr int32_t kSilenceSeconds = 300;

using GateClock = int64_t (*)();  // seconds since the epoch

struct PopupGate {
  std::mutex Mutex;
  int PopupActive = 0;       // 1 while one window thread owns the popup
  int32_t TimeInterval = 0;  // 300 during a silence, 0 otherwise
  int64_t SilenceStart = 0;  // when the silence began (the popup's close)
  GateClock Now = nullptr;
  int WindowThreads = 0;  // started and not yet at the end of their body
  std::condition_variable ThreadEnded;
};

// The process-wide gate of the window threads.
extern PopupGate PopupGateState;

// Takes the popup: 0 when the caller now owns it; -1 with "window is exist!"
// while another popup shows, or "Not to the time!" during a silence.
int EnterGate(PopupGate* gate);
// Gives the popup back; a ticked "Tip later" starts the silence from now.
void LeaveGate(PopupGate* gate, int tip_later);

// Shows the popup and runs its message loop to the end: the state of "Tip
// later" at the close (0 or 1), or -1 when the popup could not be shown.
using PopupRunner = int (*)();

// The window thread's body for one notice: gate, popup, silence. Frees block on
// every path. Returns the thread's exit code, 0.
unsigned RunPopupThread(NoticeBlock* block, PopupGate* gate, PopupRunner run);

// Window threads are counted from just before they start to the end of their
// body, so that the program can wait for them all before it ends: a thread
// may still use the popup object after the popup closed.
void AddWindowThread(PopupGate* gate);
// The end of a window thread's body, or a thread that could not be started.
void EndWindowThread(PopupGate* gate);
// 0 once no window thread is left, -1 after timeout_ms with some still running.
int WaitForWindowThreads(PopupGate* gate, int timeout_ms);
