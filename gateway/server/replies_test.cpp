// Replies: the texts byte for byte, and what a browser receives over a real
// loopback connection for the redirect reply and for page files.
#include "gateway/server/replies.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "platform/net.h"

namespace {

// A connected pair on 127.0.0.1: `server` plays the gateway, `client` the browser.
class LoopbackPair : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_EQ(platform::NetStartup(), 0);
    platform::Socket listener = platform::TcpSocket();
    ASSERT_NE(listener, platform::kInvalidSocket);
    ASSERT_EQ(platform::SocketBind(listener, "127.0.0.1", 0), 0);
    ASSERT_EQ(platform::SocketListen(listener, 1), 0);
    client_ = platform::TcpSocket();
    ASSERT_EQ(platform::SocketConnect(client_, "127.0.0.1", platform::SocketLocalPort(listener)),
              0);
    server_ = platform::SocketAccept(listener);
    platform::SocketClose(listener);
    ASSERT_NE(server_, platform::kInvalidSocket);
  }
  void TearDown() override {
    if (server_ != platform::kInvalidSocket)
      platform::SocketClose(server_);
    if (client_ != platform::kInvalidSocket)
      platform::SocketClose(client_);
  }

  // Ends the gateway's side, as the reaper does, and returns all the browser got.
  std::string CloseAndReceive() {
    platform::SocketClose(server_);
    server_ = platform::kInvalidSocket;
    std::string got;
    char buf[4096];
    while (platform::WaitReadable(client_, 5000) == 1) {
      int n = platform::SocketRecv(client_, buf, sizeof buf);
      if (n <= 0)
        break;
      got.append(buf, n);
    }
    return got;
  }

  platform::Socket server_ = platform::kInvalidSocket;
  platform::Socket client_ = platform::kInvalidSocket;
};

std::string WriteTempFile(const char* name, const std::string& bytes) {
  std::string path = ::testing::TempDir() + name;
  FILE* f = fopen(path.c_str(), "wb");
  EXPECT_NE(f, nullptr);
  if (f == nullptr)
    return path;
  fwrite(bytes.data(), 1, bytes.size(), f);
  fclose(f);
  return path;
}

const MappedPorts kPorts = {8081, 5555, 7071, 6061, 4444, 8082};

TEST(PortRecord, ListsPortsInFixedOrderWithSipZero) {
  char record[kPortRecordSize];
  ASSERT_EQ(FormatPortRecord(record, sizeof record, "192.168.1.20", kPorts), 0);
  EXPECT_STREQ(record,
               "{\"ip\":\"192.168.1.20\",\"sdk\":\"7071\",\"http\":\"8081\",\"rtsp\":\"5555\","
               "\"live\":\"6061\",\"sip\":\"0\",\"ipchttp\":\"4444\",\"ipcrtsp\":\"8082\"}");
}

TEST(PortRecord, UnmappedPortStandsAsZero) {
  MappedPorts ports = kPorts;
  ports.AccessIpcRTSPPort = 0;
  char record[kPortRecordSize];
  ASSERT_EQ(FormatPortRecord(record, sizeof record, "10.0.0.1", ports), 0);
  EXPECT_NE(strstr(record, "\"ipcrtsp\":\"0\"}"), nullptr);
}

TEST(PortRecord, TooLongIsRefusedAndLeftEmpty) {
  std::string ip(kPortRecordSize, '1');
  char record[kPortRecordSize];
  EXPECT_EQ(FormatPortRecord(record, sizeof record, ip.c_str(), kPorts), -1);
  EXPECT_STREQ(record, "");
}

TEST(Key2, IsBase64OfTheWholeRecord) {
  char key2[kKey2Size];
  ASSERT_EQ(FormatKey2("{\"ip\":\"1.2.3.4\"}", key2, sizeof key2), 0);
  EXPECT_STREQ(key2, "eyJpcCI6IjEuMi4zLjQifQ==");
}

TEST(Key2, NeedsRoomForTheNul) {
  char key2[kKey2Size];
  EXPECT_EQ(FormatKey2("abcdef", key2, 9), 0);  // 8 characters and the NUL
  EXPECT_STREQ(key2, "YWJjZGVm");
  EXPECT_EQ(FormatKey2("abcdef", key2, 8), -1);
  EXPECT_STREQ(key2, "");
}

TEST(Key2, WidestPortRecordFits) {
  const MappedPorts widest = {65535, 65535, 65535, 65535, 65535, 65535};
  char record[kPortRecordSize];
  ASSERT_EQ(FormatPortRecord(record, sizeof record, "255.255.255.255", widest), 0);
  EXPECT_EQ(strlen(record), 129u);
  char key2[kKey2Size];
  ASSERT_EQ(FormatKey2(record, key2, sizeof key2), 0);
  EXPECT_EQ(strlen(key2), 172u);
}

TEST(RedirectUrl, InsertsValuesWithoutEncoding) {
  char url[kRedirectUrlSize];
  ASSERT_EQ(FormatRedirectUrl(url, sizeof url, 8081, "admin", "k3y", "ab+/cd=="), 0);
  EXPECT_STREQ(url, "http://localhost:8081/?user=admin&Key=k3y&Key2=ab+/cd==");
}

TEST(RedirectUrl, FitsExactlyOrNotAtAll) {
  const char* expected = "http://localhost:1/?user=u&Key=k&Key2=z";
  size_t len = strlen(expected);
  char url[kRedirectUrlSize];
  ASSERT_EQ(FormatRedirectUrl(url, len + 1, 1, "u", "k", "z"), 0);
  EXPECT_STREQ(url, expected);
  EXPECT_EQ(FormatRedirectUrl(url, len, 1, "u", "k", "z"), -1);
  EXPECT_STREQ(url, "");
}

const char kExpectedPage[] =
    "HTTP/1.1 200 OK\n"
    "Content-Type: text/html; charset = utf-8\n"
    "\n"
    "<html><head></head><body><script/javascript>window.location.href ="
    "\"http://localhost:8081/?user=admin&Key=k3y&Key2=ab+/cd==\"</script></body></html>";

TEST(RedirectPage, ByteForByteThenNulBytes) {
  char reply[kReplySize];
  memset(reply, 'x', sizeof reply);
  ASSERT_EQ(FormatRedirectPage(reply, sizeof reply, 8081, "admin", "k3y", "ab+/cd=="), 0);
  size_t len = strlen(kExpectedPage);
  EXPECT_EQ(std::string(reply, len), kExpectedPage);
  EXPECT_EQ(std::string(reply + len, sizeof reply - len), std::string(sizeof reply - len, '\0'));
}

TEST(RedirectPage, FormatIs192Bytes) {
  // "%d" and three "%s" take 8 bytes of the format; a 4-digit port and empty
  // texts replace them with 4.
  char reply[kReplySize];
  ASSERT_EQ(FormatRedirectPage(reply, sizeof reply, 8081, "", "", ""), 0);
  EXPECT_EQ(strlen(reply), 192u - 8 + 4);
}

TEST(RedirectPage, LongestThatFitsAndOneMore) {
  char reply[kReplySize];
  std::string key2(kReplySize - 1 - (192 - 8 + 4), 'A');
  ASSERT_EQ(FormatRedirectPage(reply, sizeof reply, 8081, "", "", key2.c_str()), 0);
  EXPECT_EQ(strlen(reply), static_cast<size_t>(kReplySize - 1));
  key2 += 'A';
  memset(reply, 'x', sizeof reply);
  EXPECT_EQ(FormatRedirectPage(reply, sizeof reply, 8081, "", "", key2.c_str()), -1);
  EXPECT_EQ(std::string(reply, sizeof reply), std::string(sizeof reply, '\0'));
}

TEST(RedirectPage, RefusesTextsThatLeaveTheScriptString) {
  const char* unsafe[] = {"a\"b",
                          "a\\b",
                          "a<b",
                          "a\nb",
                          "a\x01"
                          "b",
                          "a\x7f"
                          "b"};
  char reply[kReplySize];
  for (const char* bad : unsafe) {
    SCOPED_TRACE(testing::PrintToString(bad));
    EXPECT_FALSE(IsPageScriptSafe(bad));
    EXPECT_EQ(FormatRedirectPage(reply, sizeof reply, 1, bad, "k", "z"), -2);
    EXPECT_EQ(FormatRedirectPage(reply, sizeof reply, 1, "u", bad, "z"), -2);
    EXPECT_EQ(FormatRedirectPage(reply, sizeof reply, 1, "u", "k", bad), -2);
    EXPECT_EQ(std::string(reply, sizeof reply), std::string(sizeof reply, '\0'));
  }
  EXPECT_TRUE(IsPageScriptSafe("Adm1n+/=&'.~-_ \xe4\xb8\xad"));
}

using RedirectReply = LoopbackPair;

TEST_F(RedirectReply, BrowserReceivesExactly1024Bytes) {
  char reply[kReplySize];
  ASSERT_EQ(FormatRedirectPage(reply, sizeof reply, 8081, "admin", "k3y", "ab+/cd=="), 0);
  EXPECT_EQ(SendRedirectReply(server_, reply), kReplySize);
  std::string got = CloseAndReceive();
  ASSERT_EQ(got.size(), static_cast<size_t>(kReplySize));
  EXPECT_EQ(got.substr(0, strlen(kExpectedPage)), kExpectedPage);
  EXPECT_EQ(got.find_first_not_of('\0', strlen(kExpectedPage)), std::string::npos);
}

using PageFile = LoopbackPair;

// Distinct bytes, no CR and no 0x1A, so any lost, repeated or stale piece shows.
std::string PatternBytes(size_t n) {
  std::string s;
  for (size_t i = 0; i < n; ++i)
    s += static_cast<char>('a' + (i * 7 + i / 26) % 26);
  return s;
}

TEST_F(PageFile, LongFileArrivesWholeInPieces) {
  std::string body = PatternBytes(2 * kPageFilePieceSize + 300);
  std::string path = WriteTempFile("replies_long.html", body);
  EXPECT_EQ(SendPageFile(path.c_str(), server_), 0);
  EXPECT_EQ(CloseAndReceive(), body);
}

TEST_F(PageFile, FileOfExactlyOnePiece) {
  std::string body = PatternBytes(kPageFilePieceSize);
  std::string path = WriteTempFile("replies_one.html", body);
  EXPECT_EQ(SendPageFile(path.c_str(), server_), 0);
  EXPECT_EQ(CloseAndReceive(), body);
}

TEST_F(PageFile, CrLfGoesOutAsLfAlsoAcrossAPieceBoundary) {
  std::string head = PatternBytes(kPageFilePieceSize - 1);
  std::string file = "a\r\nb" + head.substr(4) + "\r\ntail\r\n";
  ASSERT_EQ(file[kPageFilePieceSize - 1], '\r');
  std::string path = WriteTempFile("replies_crlf.html", file);
  EXPECT_EQ(SendPageFile(path.c_str(), server_), 0);
  EXPECT_EQ(CloseAndReceive(), "a\nb" + head.substr(4) + "\ntail\n");
}

TEST_F(PageFile, ByteOneAEndsTheFile) {
  std::string path = WriteTempFile("replies_eof.html", std::string("shown\x1a"
                                                                   "hidden",
                                                                   12));
  EXPECT_EQ(SendPageFile(path.c_str(), server_), 0);
  EXPECT_EQ(CloseAndReceive(), "shown");
}

TEST_F(PageFile, EmptyFileSendsNothingAndCountsAsSent) {
  std::string path = WriteTempFile("replies_empty.html", "");
  EXPECT_EQ(SendPageFile(path.c_str(), server_), 0);
  EXPECT_EQ(CloseAndReceive(), "");
}

TEST_F(PageFile, MissingFileFailsAndSendsNothing) {
  std::string path = ::testing::TempDir() + "replies_no_such_page.html";
  remove(path.c_str());
  EXPECT_EQ(SendPageFile(path.c_str(), server_), -1);
  EXPECT_EQ(CloseAndReceive(), "");
}

// The page files shipped beside the program: complete responses whose
// Content-Length counts the body exactly as the browser receives it.
std::string HeaderValue(const std::string& head, const std::string& name) {
  size_t at = head.find("\n" + name + ": ");
  if (at == std::string::npos)
    return "";
  size_t from = at + name.size() + 3;
  return head.substr(from, head.find('\n', from) - from);
}

void ExpectCompleteResponse(const std::string& got) {
  size_t split = got.find("\n\n");
  ASSERT_NE(split, std::string::npos);
  std::string head = got.substr(0, split + 1);
  std::string body = got.substr(split + 2);
  EXPECT_EQ(head.substr(0, head.find('\n')), "HTTP/1.1 200 OK");
  EXPECT_EQ(HeaderValue(head, "Content-Type"), "text/html; charset=utf-8");
  EXPECT_EQ(HeaderValue(head, "Cache-Control"), "no-store");
  EXPECT_EQ(HeaderValue(head, "Connection"), "close");
  EXPECT_EQ(HeaderValue(head, "Content-Length"), std::to_string(body.size()));
  EXPECT_NE(body.find("</html>"), std::string::npos);
}

TEST_F(PageFile, WaitingPageIsACompleteResponse) {
  EXPECT_EQ(SendPageFile(HG_PAGES_DIR "/trystun.html", server_), 0);
  ExpectCompleteResponse(CloseAndReceive());
}

TEST_F(PageFile, FailedPageIsACompleteResponse) {
  EXPECT_EQ(SendPageFile(HG_PAGES_DIR "/trystunfailed.html", server_), 0);
  ExpectCompleteResponse(CloseAndReceive());
}

}  // namespace
