// Host-name lookups with a deadline (see host_lookup.h). The caller and the
// lookup's thread share one small record; whichever lets go of it last frees it.
#include "zelmo/host_lookup.h"

#include <asio/io_context.hpp>
#include <atomic>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <system_error>
#include <thread>

namespace zelmo {
namespace {

struct Lookup {
  std::mutex mutex;
  std::condition_variable finished;
  bool done = false;
  int rc = -1;
  Endpoints found;
};

std::atomic<int> RunningLookups{0};
std::atomic<LookupFunc> LookupHook{nullptr};

int SystemLookup(const std::string& host, uint16_t port, bool v4_only, Endpoints& out) {
  asio::io_context io;
  asio::ip::tcp::resolver resolver(io);
  std::error_code ec;
  const std::string service = std::to_string(port);
  auto flags = asio::ip::resolver_base::numeric_service;
  auto results = v4_only ? resolver.resolve(asio::ip::tcp::v4(), host, service, flags, ec)
                         : resolver.resolve(host, service, flags, ec);
  if (ec)
    return -1;
  for (const auto& entry : results)
    out.push_back(entry.endpoint());
  return out.empty() ? -1 : 0;
}

void RunLookup(const std::shared_ptr<Lookup>& lookup, LookupFunc func, const std::string& host,
               uint16_t port, bool v4_only) {
  Endpoints found;
  int rc = func(host, port, v4_only, found);
  {
    std::lock_guard<std::mutex> hold(lookup->mutex);
    lookup->rc = rc;
    lookup->found = std::move(found);
    lookup->done = true;
  }
  lookup->finished.notify_all();
  RunningLookups.fetch_sub(1);
}

}  // namespace

void SetLookupFunc(LookupFunc lookup) {
  LookupHook.store(lookup);
}

int LookUpHost(const std::string& host, uint16_t port, bool v4_only,
               std::chrono::milliseconds limit, Endpoints& out, std::string& why) {
  out.clear();
  std::error_code ec;
  asio::ip::address literal = asio::ip::make_address(host, ec);
  if (!ec) {
    if (v4_only && !literal.is_v4()) {
      why = host + " is no IPv4 address";
      return -1;
    }
    out.emplace_back(literal, port);
    return 0;
  }
  if (RunningLookups.fetch_add(1) >= kMaxLookups) {
    RunningLookups.fetch_sub(1);
    why = "too many host-name lookups under way";
    return -1;
  }
  LookupFunc func = LookupHook.load();
  auto lookup = std::make_shared<Lookup>();
  try {
    std::thread(RunLookup, lookup, func ? func : &SystemLookup, host, port, v4_only).detach();
  } catch (const std::system_error&) {
    RunningLookups.fetch_sub(1);
    why = "no thread for the lookup of " + host;
    return -1;
  }
  std::unique_lock<std::mutex> hold(lookup->mutex);
  if (!lookup->finished.wait_for(hold, limit, [&] { return lookup->done; })) {
    why = host + " not resolved within " + std::to_string(limit.count()) + " ms";
    return -1;
  }
  if (lookup->rc != 0) {
    why = host + " not resolved";
    return -1;
  }
  out = lookup->found;
  return 0;
}

}  // namespace zelmo
