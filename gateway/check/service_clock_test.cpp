// The service clock client against an HTTP server inside the test on loopback:
// which answers count as a clock, how the two attempts go, and the clock URL
// rule. Only one test waits for libcurl's ten-second transfer limit.
#include "gateway/check/service_clock.h"

#include <gtest/gtest.h>
#include <httplib.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "gateway/testing/log_capture.h"
#include "platform/environment.h"

namespace {

using namespace std::chrono_literals;

struct Reply {
  int status;
  std::string body;
  bool hang;  // the answer waits until the server is released
};

Reply Ok(const std::string& body) {
  return {200, body, false};
}
Reply Status(int status) {
  return {status, "t=1700000000", false};
}

// Serves "/getime" with the scripted replies in turn (the last one repeats)
// and "/elsewhere" as the target of a redirect.
class ClockServer {
 public:
  explicit ClockServer(std::vector<Reply> replies) : replies_(std::move(replies)) {
    server_.Get("/getime", [this](const httplib::Request& request, httplib::Response& response) {
      Answer(request, response);
    });
    server_.Get("/elsewhere", [this](const httplib::Request&, httplib::Response& response) {
      std::lock_guard<std::mutex> hold(lock_);
      ++redirect_hits_;
      response.set_content("t=1700000000", "text/plain");
    });
    port_ = server_.bind_to_any_port("127.0.0.1");
    thread_ = std::thread([this] { server_.listen_after_bind(); });
    for (int i = 0; i < 500 && !server_.is_running(); ++i)
      std::this_thread::sleep_for(10ms);
  }
  ~ClockServer() {
    Release();
    server_.stop();
    thread_.join();
  }

  std::string HostPort() const { return "127.0.0.1:" + std::to_string(port_); }
  std::string Url() const { return "http://" + HostPort() + "/getime"; }
  int Requests() {
    std::lock_guard<std::mutex> hold(lock_);
    return requests_;
  }
  int RedirectHits() {
    std::lock_guard<std::mutex> hold(lock_);
    return redirect_hits_;
  }
  std::string UserAgent() {
    std::lock_guard<std::mutex> hold(lock_);
    return user_agent_;
  }
  void Release() {
    std::lock_guard<std::mutex> hold(lock_);
    released_ = true;
    release_.notify_all();
  }

 private:
  void Answer(const httplib::Request& request, httplib::Response& response) {
    std::unique_lock<std::mutex> hold(lock_);
    Reply reply = replies_[std::min<size_t>(requests_, replies_.size() - 1)];
    ++requests_;
    user_agent_ = request.get_header_value("User-Agent");
    if (reply.hang)
      release_.wait_for(hold, 20s, [this] { return released_; });
    if (reply.status == 302) {
      response.set_redirect("/elsewhere", 302);
      return;
    }
    response.status = reply.status;
    response.set_content(reply.body, "text/plain");
  }

  httplib::Server server_;
  std::thread thread_;
  int port_ = 0;
  std::mutex lock_;
  std::condition_variable release_;
  bool released_ = false;
  std::vector<Reply> replies_;
  int requests_ = 0;
  int redirect_hits_ = 0;
  std::string user_agent_;
};

class ServiceClockTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    for (const char* name : {"http_proxy", "HTTP_PROXY", "all_proxy", "ALL_PROXY"})
      platform::UnsetEnvironmentVariable(name);
  }

  // One GetServiceTime on a buffer filled with a marker byte.
  int Query(const std::string& url) {
    std::memset(out_, '#', sizeof out_);
    return GetServiceTime(url.c_str(), out_);
  }

  char out_[kServiceTimeCapacity];
};

RequestParams Params(const char* service_center, const char* http_ip) {
  RequestParams params;
  std::memset(&params, 0, sizeof params);
  std::snprintf(params.ServiceCenter, sizeof params.ServiceCenter, "%s", service_center);
  std::snprintf(params.HttpIP, sizeof params.HttpIP, "%s", http_ip);
  return params;
}

TEST(ClockUrl, HttpIpComesFirst) {
  char url[kClockUrlCapacity];
  ASSERT_EQ(MakeClockUrl(Params("3", "10.0.0.5:8080"), url), 0);
  EXPECT_STREQ(url, "http://10.0.0.5:8080/getime");
  ASSERT_EQ(MakeClockUrl(Params("", std::string(63, 'h').c_str()), url), 0);
  EXPECT_EQ(std::string(url), "http://" + std::string(63, 'h') + "/getime");
}

TEST(ClockUrl, ServiceCentreChoosesTheZone) {
  char url[kClockUrlCapacity];
  for (int n = 1; n <= kServiceUrlCount; ++n) {
    ASSERT_EQ(MakeClockUrl(Params(std::to_string(n).c_str(), ""), url), 0);
    EXPECT_EQ(std::string(url), std::string(ServiceUrls[n - 1]) + "/getime");
  }
  // The last parameter of a request line, cut to its field, still names zone 2.
  ASSERT_EQ(MakeClockUrl(Params("2 HT", ""), url), 0);
  EXPECT_EQ(std::string(url), std::string(ServiceUrls[1]) + "/getime");
}

TEST(ClockUrl, NoZoneOutsideOneToFive) {
  for (const char* service_center : {"0", "6", "", "x", "-1", "9999"}) {
    char url[kClockUrlCapacity];
    std::memset(url, '#', sizeof url);
    EXPECT_EQ(MakeClockUrl(Params(service_center, ""), url), -1) << service_center;
    EXPECT_STREQ(url, "");
  }
}

TEST(ClockUrl, ZoneUrlsAreBareDistinctHosts) {
  for (int i = 0; i < kServiceUrlCount; ++i) {
    std::string url = ServiceUrls[i];
    ASSERT_EQ(url.rfind("http://", 0), 0u) << url;
    std::string host = url.substr(7);
    EXPECT_FALSE(host.empty());
    EXPECT_EQ(host.find_first_of("/:"), std::string::npos) << url;
    EXPECT_EQ(host.find("localhost"), std::string::npos) << url;
    for (int j = 0; j < i; ++j)
      EXPECT_STRNE(ServiceUrls[i], ServiceUrls[j]);
  }
}

TEST(WriteBodyCallback, AppendsAndKeepsTheTextTerminated) {
  HttpBody body = {static_cast<char*>(std::calloc(1, 1)), 0};
  char first[] = {'t', '=', '1'};
  char second[] = {'2', '3'};
  EXPECT_EQ(WriteBodyCallback(first, 1, 3, &body), 3u);
  EXPECT_EQ(WriteBodyCallback(second, 2, 1, &body), 2u);
  EXPECT_EQ(body.size, 5u);
  EXPECT_STREQ(body.memory, "t=123");
  EXPECT_EQ(WriteBodyCallback(nullptr, 1, 4, &body), 0u);
  EXPECT_EQ(body.size, 5u);
  std::free(body.memory);
}

TEST_F(ServiceClockTest, ReadsTheWordAfterTheFirstTEquals) {
  const std::pair<const char*, const char*> cases[] = {
      {"t=1700000000", "1700000000"},
      {"now t= 1700000123 ok", "1700000123"},
      {"<p>clock</p>\r\nt=\t42\r\n", "42"},
      {"charset=utf-8\nt=1700000000", "utf-8"},
      {"t=   ", ""},
      {"t=-5x y", "-5x"},
  };
  for (const auto& c : cases) {
    ClockServer server({Ok(c.first)});
    EXPECT_EQ(Query(server.Url()), 200) << c.first;
    EXPECT_STREQ(out_, c.second) << c.first;
    EXPECT_EQ(server.UserAgent(), "libcurl-agent/1.0");
  }
}

TEST_F(ServiceClockTest, BodyWithoutAClockFails) {
  for (const char* body : {"", "time=", "T=1700000000", "t=12345678901"}) {
    ClockServer server({Ok(body)});
    EXPECT_EQ(Query(server.Url()), -1) << body;
    std::string left(out_, sizeof out_);
    EXPECT_TRUE(left == std::string(sizeof out_, '#') || left == std::string(sizeof out_, '\0'))
        << body;
  }
}

TEST_F(ServiceClockTest, LargeBodyIsGatheredWhole) {
  std::string body(300000, 'a');
  body += " t=1700000999 ";
  body.append(300000, 'b');
  ClockServer server({Ok(body)});
  EXPECT_EQ(Query(server.Url()), 200);
  EXPECT_STREQ(out_, "1700000999");
}

TEST_F(ServiceClockTest, OtherStatusesFailAndRedirectsAreNotFollowed) {
  for (int status : {302, 404, 500}) {
    ClockServer server({Status(status)});
    HttpBody body = {static_cast<char*>(std::calloc(1, 1)), 0};
    EXPECT_EQ(HttpGetBody(server.Url().c_str(), &body), status);
    std::free(body.memory);
    EXPECT_EQ(Query(server.Url()), -1) << status;
    EXPECT_EQ(server.RedirectHits(), 0);
  }
}

TEST_F(ServiceClockTest, RefusedConnectionIsATransferFailure) {
  std::string url;
  {
    ClockServer closed({Ok("t=1")});
    url = closed.Url();
  }
  HttpBody body = {static_cast<char*>(std::calloc(1, 1)), 0};
  testing::internal::CaptureStderr();
  EXPECT_EQ(HttpGetBody(url.c_str(), &body), 1);
  EXPECT_EQ(Query(url), -1);
  std::string errors = testing::internal::GetCapturedStderr();
  std::free(body.memory);
  EXPECT_EQ(errors.rfind("curl_easy_perform() failed: ", 0), 0u) << errors;
}

TEST_F(ServiceClockTest, SecondAttemptFollowsAFailedFirst) {
  ClockServer server({Status(500), Ok("t=1700000500")});
  RequestParams params = Params("9", server.HostPort().c_str());
  char url[kClockUrlCapacity];
  char service_time[kServiceTimeCapacity];
  LogCapture log;
  EXPECT_EQ(QueryServiceTime(params, url, service_time), 0);
  EXPECT_STREQ(service_time, "1700000500");
  EXPECT_EQ(std::string(url), server.Url());
  EXPECT_EQ(server.Requests(), 2);
  EXPECT_TRUE(log.Texts().empty());
}

TEST_F(ServiceClockTest, FirstSuccessIsTheOnlyAttempt) {
  ClockServer server({Ok("t=1700000001"), Ok("t=2")});
  char url[kClockUrlCapacity];
  char service_time[kServiceTimeCapacity];
  EXPECT_EQ(QueryServiceTime(Params("1", server.HostPort().c_str()), url, service_time), 0);
  EXPECT_STREQ(service_time, "1700000001");
  EXPECT_EQ(server.Requests(), 1);
}

TEST_F(ServiceClockTest, TwoFailuresEndTheRequest) {
  ClockServer server({Ok("t=12345678901"), Status(500), Ok("t=1")});
  char url[kClockUrlCapacity];
  char service_time[kServiceTimeCapacity];
  LogCapture log;
  EXPECT_EQ(QueryServiceTime(Params("1", server.HostPort().c_str()), url, service_time), -1);
  EXPECT_EQ(server.Requests(), 2);
  std::vector<LoggedLine> lines = log.Taken();
  ASSERT_EQ(lines.size(), 1u);
  EXPECT_EQ(lines[0].level, 6);
  EXPECT_EQ(lines[0].text, "get t error!!!!!!!!!!!!!!!!!!!!!");
}

TEST_F(ServiceClockTest, NoServiceNamedMakesNoRequest) {
  char url[kClockUrlCapacity];
  char service_time[kServiceTimeCapacity];
  LogCapture log;
  testing::internal::CaptureStderr();
  EXPECT_EQ(QueryServiceTime(Params("0", ""), url, service_time), -1);
  EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
  EXPECT_EQ(log.Texts(), std::vector<std::string>{"get t error!!!!!!!!!!!!!!!!!!!!!"});
}

// The first queries of a process starting together: the library's global
// initialisation must still run once, before any transfer.
TEST_F(ServiceClockTest, FirstQueriesOfManyWorkersAtOnce) {
  ClockServer server({Ok("t=1700000777")});
  const std::string url = server.Url();
  std::vector<std::thread> workers;
  std::vector<int> results(16, 0);
  std::vector<std::string> times(16);
  for (int i = 0; i < 16; ++i) {
    workers.emplace_back([&, i] {
      char out[kServiceTimeCapacity] = {};
      results[i] = GetServiceTime(url.c_str(), out);
      times[i] = out;
    });
  }
  for (std::thread& worker : workers)
    worker.join();
  for (int i = 0; i < 16; ++i) {
    EXPECT_EQ(results[i], 200);
    EXPECT_EQ(times[i], "1700000777");
  }
}

// The one slow test: the first answer never comes within the transfer limit.
TEST_F(ServiceClockTest, TimedOutFirstAttemptThenSuccess) {
  ClockServer server({{200, "t=1", true}, Ok("t=1700000600")});
  char url[kClockUrlCapacity];
  char service_time[kServiceTimeCapacity];
  testing::internal::CaptureStderr();
  int result = QueryServiceTime(Params("1", server.HostPort().c_str()), url, service_time);
  std::string errors = testing::internal::GetCapturedStderr();
  server.Release();
  EXPECT_EQ(result, 0);
  EXPECT_STREQ(service_time, "1700000600");
  EXPECT_EQ(errors.rfind("curl_easy_perform() failed: ", 0), 0u) << errors;
}

}  // namespace
