// The direct path's thread (see direct_engine.h).
#include "zelmo/direct_engine.h"

#include <re.h>
// The library's debug header wants its user to name a module and a level.
#define DEBUG_MODULE "direct"
#define DEBUG_LEVEL 0
#include <re_dbg.h>
#include <usrsctp.h>

#include <chrono>
#include <condition_variable>
#include <deque>
#include <map>
#include <mutex>
#include <thread>

namespace zelmo {
namespace {

// SCTP's timers are driven in these steps; its shortest timers (delayed
// acknowledgements, retransmissions) are tens of milliseconds or more.
constexpr uint32_t kTimerStepMs = 10;

struct Engine {
  std::mutex mutex;
  std::condition_variable ready_changed;
  bool starting = false;
  bool ready = false;
  bool failed = false;
  std::thread::id thread_id;
  struct mqueue* queue = nullptr;  // wakes the thread; the work waits in posted
  std::deque<std::function<void()>> posted;
  struct tmr tick;
  uint64_t last_tick = 0;
  std::map<void*, PacketSink> sinks;  // engine thread only
};

Engine& TheEngine() {
  static Engine* engine = new Engine();  // lives as long as its thread
  return *engine;
}

// The work itself goes through a list under the engine's mutex, so that what
// the posting thread wrote before is seen by the engine's (the wake-up pipe
// alone says nothing about memory to the tools that check threads).
void RunPosted(int, void*, void*) {
  Engine& engine = TheEngine();
  std::deque<std::function<void()>> batch;
  {
    std::lock_guard<std::mutex> lock(engine.mutex);
    batch.swap(engine.posted);
  }
  for (auto& work : batch)
    work();
}

int SctpOutput(void* address, void* buffer, size_t length, uint8_t, uint8_t) {
  Engine& engine = TheEngine();
  auto found = engine.sinks.find(address);
  if (found != engine.sinks.end())
    found->second(static_cast<const uint8_t*>(buffer), length);
  return 0;
}

void Tick(void*) {
  Engine& engine = TheEngine();
  const uint64_t now = tmr_jiffies();
  usrsctp_handle_timers(static_cast<uint32_t>(now - engine.last_tick));
  engine.last_tick = now;
  tmr_start(&engine.tick, kTimerStepMs, Tick, nullptr);
}

void SetUpSctp() {
  usrsctp_init_nothreads(0, SctpOutput, nullptr);
  // Without this the sender idles between bursts of four packets and a path
  // of small packets loses half its speed.
  usrsctp_sysctl_set_sctp_max_burst_default(0);
  usrsctp_sysctl_set_sctp_ecn_enable(0);
  // The streams are authenticated with a key both peers got from the cloud.
  usrsctp_sysctl_set_sctp_auth_enable(1);
  usrsctp_sysctl_set_sctp_asconf_enable(0);
  usrsctp_sysctl_set_sctp_nr_outgoing_streams_default(1024);
}

void Run() {
  Engine& engine = TheEngine();
  bool ok = libre_init() == 0;
  // The libraries' own chatter stays out of the host's output.
  dbg_init(DBG_ERR, DBG_NONE);
  if (ok && mqueue_alloc(&engine.queue, RunPosted, nullptr) != 0)
    ok = false;
  if (ok) {
    SetUpSctp();
    tmr_init(&engine.tick);
    engine.last_tick = tmr_jiffies();
    tmr_start(&engine.tick, kTimerStepMs, Tick, nullptr);
  }
  {
    std::lock_guard<std::mutex> lock(engine.mutex);
    engine.ready = ok;
    engine.failed = !ok;
  }
  engine.ready_changed.notify_all();
  if (ok)
    re_main(nullptr);
}

bool Start(Engine& engine) {
  std::unique_lock<std::mutex> lock(engine.mutex);
  if (!engine.starting) {
    engine.starting = true;
    std::thread thread(Run);
    engine.thread_id = thread.get_id();
    thread.detach();
  }
  engine.ready_changed.wait(lock, [&] { return engine.ready || engine.failed; });
  return engine.ready;
}

}  // namespace

bool PostToEngine(std::function<void()> work) {
  Engine& engine = TheEngine();
  if (!Start(engine))
    return false;
  bool wake = false;
  {
    std::lock_guard<std::mutex> lock(engine.mutex);
    wake = engine.posted.empty();
    engine.posted.push_back(std::move(work));
  }
  // One wake-up per batch: the engine takes the whole list when it wakes.
  if (wake && mqueue_push(engine.queue, 0, nullptr) != 0) {
    std::lock_guard<std::mutex> lock(engine.mutex);
    engine.posted.clear();
    return false;
  }
  return true;
}

bool OnEngineThread() {
  Engine& engine = TheEngine();
  std::lock_guard<std::mutex> lock(engine.mutex);
  return engine.starting && engine.thread_id == std::this_thread::get_id();
}

void RegisterPacketSink(void* address, PacketSink sink) {
  TheEngine().sinks[address] = std::move(sink);
  usrsctp_register_address(address);
}

void UnregisterPacketSink(void* address) {
  usrsctp_deregister_address(address);
  TheEngine().sinks.erase(address);
}

}  // namespace zelmo
