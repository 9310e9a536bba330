// The device services' answers that do not need a connection.
#include "devcloud/device_services.h"

#include <gtest/gtest.h>

namespace {

const devcloud::DeviceInfo kDevice{"DEMO-0002", "Warehouse", "admin", "k"};

TEST(RtspAnswer, OptionsListsTheMethodsAndEchoesTheSequence) {
  std::string answer =
      devcloud::RtspAnswer("OPTIONS rtsp://h/ RTSP/1.0\r\nCSeq: 41\r\nUser-Agent: t", kDevice);
  EXPECT_EQ(answer.rfind("RTSP/1.0 200 OK\r\nCSeq: 41\r\n", 0), 0u) << answer;
  EXPECT_NE(answer.find("Public: OPTIONS, DESCRIBE\r\n"), std::string::npos);
  EXPECT_EQ(answer.substr(answer.size() - 4), "\r\n\r\n");
}

TEST(RtspAnswer, DescribeCarriesAnSdpOfTheStatedLength) {
  std::string answer = devcloud::RtspAnswer("DESCRIBE rtsp://h/ RTSP/1.0\r\nCSeq: 2", kDevice);
  std::size_t body = answer.find("\r\n\r\n");
  ASSERT_NE(body, std::string::npos);
  std::string sdp = answer.substr(body + 4);
  EXPECT_NE(answer.find("Content-Length: " + std::to_string(sdp.size()) + "\r\n"),
            std::string::npos);
  EXPECT_EQ(sdp.rfind("v=0\r\n", 0), 0u);
  EXPECT_NE(sdp.find("s=Warehouse\r\n"), std::string::npos);
  EXPECT_NE(sdp.find("m=video 0 RTP/AVP 96\r\n"), std::string::npos);
}

TEST(RtspAnswer, OtherMethodsAreNotImplementedAndNonRtspGetsNothing) {
  std::string setup = devcloud::RtspAnswer("SETUP rtsp://h/track1 RTSP/1.0\r\nCSeq: 3", kDevice);
  EXPECT_EQ(setup, "RTSP/1.0 501 Not Implemented\r\nCSeq: 3\r\n\r\n");
  EXPECT_EQ(devcloud::RtspAnswer("GET / HTTP/1.1\r\nHost: x", kDevice), "");
  EXPECT_EQ(devcloud::RtspAnswer("", kDevice), "");
}

TEST(ServiceGreeting, NamesTheServiceAndTheDevice) {
  EXPECT_EQ(devcloud::ServiceGreeting("HttpMapPort", kDevice),
            "HttpMapPort service of DEMO-0002 (Warehouse)\r\n");
}

}  // namespace
