// A controllable stand-in for the tunnel libraries in unit tests: clients, device
// lists, tunnel contexts, counters and rule results are set by the test, and
// every call is recorded. The library side (the Zelmo_* functions) may be called
// from any number of threads at once; the control functions below are meant for
// the test's own thread, between or around those calls. Where the gateway
// relies on the library the double behaves as ours does: callbacks run on
// threads of their own, deleting a client runs none of them, rules are refused
// for a wrong context, tunnel id or rule name, and a deleted client's handle or
// context ends the program when used.
#pragma once
#include <cstdint>
#include <string>
#include <vector>

namespace zelmo_double {

// One entry of the account's device list, written into a client object when the
// gateway calls Zelmo_ListMyDeviceV3.
struct Device {
  std::string serial;
  std::string tunnel_id;
  std::string key;
  std::string user;
};

// One library call: its name and its arguments rendered as texts (a handle as
// "0x..." through HandleText, numbers in decimal).
struct Call {
  std::string name;
  std::vector<std::string> args;
};

// Frees every client and context, closes the rule listeners, forgets the calls
// and every scripted behaviour. The registered log function is kept.
void Reset();

// Clients. The next `count` creations fail (return null); 0 makes them succeed.
void FailCreates(int count);
// Milliseconds each Zelmo_CreateClientV3 takes (signing in to the cloud).
void SetCreateDelayMs(int ms);
// Starts the client's closed callback on a library thread that runs it once
// Zelmo_DeleteClient of the client has begun: a callback in flight when the
// client is deleted. The delete waits for it, at most 2 seconds, as the library
// joins its thread; CallbacksFinishedInDelete counts those that finished in
// time (one that did not was blocked by a lock the deleting thread held).
void FireClosedDuringDelete(void* client);
int CallbacksFinishedInDelete();
std::vector<void*> LiveClients();  // created and not deleted yet, in creation order
int DeletedCount();                // clients ended by Zelmo_DeleteClient
// Devices that Zelmo_ListMyDeviceV3 writes into a client object (all of them,
// whatever device name it is asked for).
void SetAccountDevices(const std::vector<Device>& devices);
// Runs hook(client) at the end of each Zelmo_ListMyDeviceV3, after the list is
// written: what another thread might do while the caller reads the list.
void SetAfterListHook(void (*hook)(void* client));
// Writes a device list into one client object directly.
void WriteDeviceList(void* client, const std::vector<Device>& devices);

// Tunnel contexts: gives a client a context for the tunnel tunnel_id (as the
// library does when its tunnel comes up) and returns it; the context's traffic
// counter starts at 0. Rules for another tunnel id are refused.
void* GiveTunnelContext(void* client, const std::string& tunnel_id = "tid-1");
void SetCounter(void* client, int64_t value);

// Port rules. Results are taken, in order, from the per-port table, then from
// the scripted queue, else 0. With listening on, a rule that succeeds really
// listens on 0.0.0.0 and the port, so the port becomes busy until Reset.
void ScriptRuleResults(const std::vector<int>& results);
void SetRuleResultForPort(int port, int result);
void SetRuleListening(bool on);
// Milliseconds the library takes for each Zelmo_AddT2URule before it listens.
void SetRuleDelayMs(int ms);

// Calls.
std::vector<Call> Calls();
std::vector<Call> CallsNamed(const std::string& name);
std::string HandleText(const void* handle);

// Callbacks as the library runs them, each on a thread of its own, waited for;
// each returns the callback's result, or -100 when nothing is registered.
// FireConnected first makes tunnel_id the client's tunnel context, as the
// library does before it calls back.
int FireConnected(void* client, const char* tunnel_id);
int FireClosed(void* client);
int FireNetInfo(void* client, int event_code, int count_value);

}  // namespace zelmo_double
