// The whole test-and-take runs under the gate's mutex. The time test compares a
// signed 64-bit difference with the interval widened with its sign. The interval
// and the silence start are written only by the thread that owns the popup.
#include "popup/popup_gate.h"

#include "popup/console.h"

PopupGate PopupGateState;

int EnterGate(PopupGate* gate) {
  std::lock_guard<std::mutex> hold(gate->Mutex);
  if (gate->PopupActive == 1) {
    ConsolePrint("window is exist!\n");
    return -1;
  }
  int64_t now = gate->Now();
  if (now - gate->SilenceStart < static_cast<int64_t>(gate->TimeInterval)) {
    ConsolePrint("Not to the time!\n");
    return -1;
  }
  gate->TimeInterval = 0;
  gate->PopupActive = 1;
  return 0;
}

void LeaveGate(PopupGate* gate, int tip_later) {
  std::lock_guard<std::mutex> hold(gate->Mutex);
  if (tip_later == 1) {
    gate->SilenceStart = gate->Now();
    gate->TimeInterval = kSilenceSeconds;
    ConsolePrint("set TimeInterval\n");
  }
  gate->PopupActive = 0;
}

unsigned RunPopupThread(NoticeBlock* block, PopupGate* gate, PopupRunner run) {
  if (EnterGate(gate) != 0) {
    delete block;
    return 0;
  }
  int tip_later = run();
  delete block;
  LeaveGate(gate, tip_later < 0 ? 0 : tip_later);
  return 0;
}

void AddWindowThread(PopupGate* gate) {
  std::lock_guard<std::mutex> hold(gate->Mutex);
  ++gate->WindowThreads;
}

void EndWindowThread(PopupGate* gate) {
  {
    std::lock_guard<std::mutex> hold(gate->Mutex);
    --gate->WindowThreads;
  }
  gate->ThreadEnded.notify_all();
}

int WaitForWindowThreads(PopupGate* gate, int timeout_ms) {
  std::unique_lock<std::mutex> hold(gate->Mutex);
  bool none = gate->ThreadEnded.wait_for(hold, std::chrono::milliseconds(timeout_ms),
                                         [gate] { return gate->WindowThreads <= 0; });
  return none ? 0 : -1;
}
