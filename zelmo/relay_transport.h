// The relay transport: each stream is its own TCP connection to the cloud's
// relay, introduced by a "STREAM <key> <service>" line; the relay finds the
// device's side and joins the two. The bytes then flow through a Pipe between
// the local connection and the relay connection. One connection is kept ready
// ("READY <key>", answered "OK"), so that a new local connection only has to
// name its service ("USE <service>") instead of waiting for a connect.
#pragma once
#include <asio.hpp>
#include <atomic>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "zelmo/pipe.h"
#include "zelmo/transport.h"

namespace zelmo {

class RelayTransport : public Transport {
 public:
  // counter grows by every byte carried; it must outlive the transport.
  RelayTransport(asio::io_context& io, asio::ip::tcp::endpoint relay, std::string stream_key,
                 std::atomic<int64_t>* counter);
  ~RelayTransport() override;

  void Carry(asio::ip::tcp::socket local, const std::string& service,
             std::shared_ptr<void> stream) override;
  void Close() override;
  TunnelPath path() const override { return TunnelPath{PathKind::kCloudRelay, ""}; }

 private:
  struct Opening;
  void Join(asio::ip::tcp::socket local, asio::ip::tcp::socket relay, std::shared_ptr<void> stream);
  void Forget(const std::shared_ptr<Opening>& opening);
  int CarryOnSpare(asio::ip::tcp::socket& local, const std::string& service,
                   const std::shared_ptr<void>& stream);
  void OpenSpare();
  void OnSpareAnswer(const std::shared_ptr<asio::ip::tcp::socket>& socket, std::error_code ec);

  asio::io_context& io_;
  asio::ip::tcp::endpoint relay_;
  std::string stream_key_;
  std::atomic<int64_t>* counter_;
  bool closed_ = false;
  std::vector<std::shared_ptr<Opening>> openings_;
  std::vector<std::weak_ptr<Pipe>> pipes_;
  std::shared_ptr<asio::ip::tcp::socket> spare_;          // ready for a stream
  std::shared_ptr<asio::ip::tcp::socket> spare_opening_;  // on its way there
  std::string spare_answer_;
};

}  // namespace zelmo
