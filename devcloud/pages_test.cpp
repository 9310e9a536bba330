// The pages: the portal's gateway links (check code, time stamp, encoding) and
// the device's web interface (sign-in check, the port table from Key2).
#include <gtest/gtest.h>

#include "devcloud/check_code.h"
#include "devcloud/device_web.h"
#include "devcloud/html.h"
#include "devcloud/portal.h"

namespace {

using devcloud::AccountConfig;
using devcloud::DeviceConfig;

const char* const kPortRecord =
    "eyJpcCI6In5+fiIsInNkayI6IjYwNjEiLCJodHRwIjoiODA4MSIsInJ0c3AiOiI1NTU1IiwibGl2ZSI6IjcwNzEiLCJz"
    "aXAiOiIwIiwiaXBjaHR0cCI6IjgwODIiLCJpcGNydHNwIjoiNTU1NiJ9";  // "ip":"~~~" gives a "+"

AccountConfig DemoAccount() {
  AccountConfig account{"demo", "demo", {}};
  DeviceConfig device;
  device.sn = "DEMO-0001";
  device.name = "Front door";
  device.user = "admin";
  device.key = "Fd7q2Kx9";
  account.devices.push_back(device);
  return account;
}

TEST(CheckCode, IsHexMd5OfTheTimeAndTheGatewaySalt) {
  EXPECT_EQ(devcloud::CheckCode("1700000600"), "3aefeff70599b06b485f75312391320b");
  EXPECT_NE(devcloud::CheckCode("1700000601"), devcloud::CheckCode("1700000600"));
}

TEST(PortalLink, CarriesTenMinutesAheadAndItsCheckCode) {
  AccountConfig account = DemoAccount();
  std::string link =
      devcloud::PortalLink(account, account.devices[0], 1700000000, "127.0.0.1:8700");
  EXPECT_EQ(link,
            "http://127.0.0.1:9999/?t=1700000600&k=3aefeff70599b06b485f75312391320b&u=demo&c=demo"
            "&ds=DEMO-0001&dn=Front%20door&si=127.0.0.1&sc=1&hi=127.0.0.1:8700&");
}

TEST(PortalLink, EncodesValuesThatWouldBreakTheQuery) {
  AccountConfig account{"a&b", "p=q r", {}};
  DeviceConfig device;
  device.sn = "S/1";
  device.name = "Yard #2+";
  std::string link = devcloud::PortalLink(account, device, 0, "localhost:80");
  EXPECT_NE(link.find("&u=a%26b&c=p%3Dq%20r&ds=S%2F1&dn=Yard%20%232%2B&si=localhost&"),
            std::string::npos)
      << link;
}

TEST(Portal, ListsEveryDeviceWithItsStateTunnelAndLink) {
  AccountConfig account = DemoAccount();
  DeviceConfig garage = account.devices[0];
  garage.sn = "DEMO-0003";
  garage.name = "<Garage>";
  account.devices.push_back(garage);
  std::string page = devcloud::RenderPortal(account, {{true, "relayed"}, {false, ""}}, 1700000000,
                                            "127.0.0.1:8700");
  EXPECT_NE(page.find("DEMO-0001 &middot; online &middot; relayed</span>"), std::string::npos);
  EXPECT_NE(page.find("DEMO-0003 &middot; offline</span>"), std::string::npos);
  EXPECT_NE(page.find("&lt;Garage&gt;"), std::string::npos);
  EXPECT_EQ(page.find("<Garage>"), std::string::npos);
  EXPECT_NE(page.find("href=\"http://127.0.0.1:9999/?t=1700000600&amp;k="), std::string::npos);
  std::size_t links = 0;
  for (std::size_t at = page.find("Open web interface"); at != std::string::npos;
       at = page.find("Open web interface", at + 1)) {
    ++links;
  }
  EXPECT_EQ(links, 2u);
}

class DevicePage : public ::testing::Test {
 protected:
  devcloud::DeviceInfo device_{"DEMO-0001", "Front door", "admin", "Fd7q2Kx9"};
};

TEST_F(DevicePage, SignsInTheDeviceUserWithItsKey) {
  std::string page =
      devcloud::RenderDevicePage(device_, "admin", "Fd7q2Kx9", kPortRecord, "localhost");
  EXPECT_NE(page.find("Signed in as admin"), std::string::npos);
  EXPECT_NE(page.find("Front door"), std::string::npos);
  EXPECT_NE(page.find("DEMO-0001"), std::string::npos);
  EXPECT_EQ(page.find("Wrong user or key"), std::string::npos);
}

TEST_F(DevicePage, RefusesAWrongUserOrKey) {
  for (const auto& pair : {std::make_pair("admin", "wrong"), std::make_pair("root", "Fd7q2Kx9"),
                           std::make_pair("", "")}) {
    std::string page =
        devcloud::RenderDevicePage(device_, pair.first, pair.second, kPortRecord, "localhost");
    EXPECT_NE(page.find("Wrong user or key"), std::string::npos);
    EXPECT_EQ(page.find("Signed in as"), std::string::npos);
  }
}

// Key2 arrives unencoded: its "+" stays, or a form decoder made it a blank.
TEST_F(DevicePage, ShowsThePortTableWhetherThePlusSurvivedOrNot) {
  std::string blanked = kPortRecord;
  blanked[blanked.find('+')] = ' ';
  for (const std::string& key2 : {std::string(kPortRecord), blanked}) {
    std::string page = devcloud::RenderDevicePage(device_, "admin", "Fd7q2Kx9", key2, "localhost");
    EXPECT_NE(page.find("<table id=\"ports\">"), std::string::npos);
    EXPECT_NE(page.find("<td>ip</td><td>~~~</td>"), std::string::npos);
    EXPECT_NE(page.find("<td>rtsp</td><td>5555</td>"), std::string::npos);
    EXPECT_NE(page.find("<td>ipcrtsp</td><td>5556</td>"), std::string::npos);
  }
}

TEST_F(DevicePage, SaysWhenThereIsNoReadablePortRecord) {
  EXPECT_NE(devcloud::RenderDevicePage(device_, "admin", "Fd7q2Kx9", "", "localhost")
                .find("No port record"),
            std::string::npos);
  EXPECT_NE(devcloud::RenderDevicePage(device_, "admin", "Fd7q2Kx9", "%%%", "localhost")
                .find("could not"),
            std::string::npos);
  EXPECT_NE(devcloud::RenderDevicePage(device_, "admin", "Fd7q2Kx9", "bm90IGpzb24=", "localhost")
                .find("could not"),
            std::string::npos);
}

// The live view and the players' addresses come from Key2's "live", "rtsp" and
// "ipcrtsp", on the host the browser used; only for the signed-in user.
TEST_F(DevicePage, ShowsTheLiveViewFromTheMediaPortOfKey2) {
  std::string page =
      devcloud::RenderDevicePage(device_, "admin", "Fd7q2Kx9", kPortRecord, "127.0.0.1");
  EXPECT_NE(page.find("<img id=\"live-view\" src=\"http://127.0.0.1:7071/\""), std::string::npos)
      << page;
  EXPECT_NE(page.find("media port (live) <b id=\"live-port\">7071</b>"), std::string::npos);
  EXPECT_NE(page.find("ffplay -rtsp_transport tcp rtsp://127.0.0.1:5555/"), std::string::npos);
  EXPECT_NE(page.find("ffplay -rtsp_transport tcp rtsp://127.0.0.1:5556/"), std::string::npos);
  std::string stranger =
      devcloud::RenderDevicePage(device_, "admin", "wrong", kPortRecord, "127.0.0.1");
  EXPECT_EQ(stranger.find("<img"), std::string::npos);
  EXPECT_EQ(stranger.find("rtsp://"), std::string::npos);
  // {"live":"0","rtsp":"x"}: no media port mapped, no RTSP port.
  std::string unmapped = devcloud::RenderDevicePage(
      device_, "admin", "Fd7q2Kx9", "eyJsaXZlIjoiMCIsInJ0c3AiOiJ4In0=", "localhost");
  EXPECT_NE(unmapped.find("No live view"), std::string::npos);
  EXPECT_EQ(unmapped.find("<img"), std::string::npos);
  EXPECT_EQ(unmapped.find("rtsp://"), std::string::npos);
}

TEST(PageHost, KeepsANameOrAddressWithoutItsPortAndRefusesTheRest) {
  EXPECT_EQ(devcloud::PageHost("localhost:8081"), "localhost");
  EXPECT_EQ(devcloud::PageHost("127.0.0.1"), "127.0.0.1");
  EXPECT_EQ(devcloud::PageHost("[::1]:8081"), "[::1]");
  EXPECT_EQ(devcloud::PageHost("evil\"><script>:80"), "localhost");
  EXPECT_EQ(devcloud::PageHost("a/b:1"), "localhost");
  EXPECT_EQ(devcloud::PageHost(""), "localhost");
}

TEST_F(DevicePage, EscapesWhatItEchoes) {
  device_.user = "<b>";
  std::string page = devcloud::RenderDevicePage(device_, "<b>", "Fd7q2Kx9", "", "localhost");
  EXPECT_NE(page.find("Signed in as &lt;b&gt;"), std::string::npos);
}

TEST(DecodeBase64, TakesPaddedAndUnpaddedTextAndRefusesOtherCharacters) {
  std::string out;
  ASSERT_TRUE(devcloud::DecodeBase64("aGk=", out));
  EXPECT_EQ(out, "hi");
  ASSERT_TRUE(devcloud::DecodeBase64("aGk", out));
  EXPECT_EQ(out, "hi");
  ASSERT_TRUE(devcloud::DecodeBase64("aGV5", out));
  EXPECT_EQ(out, "hey");
  EXPECT_FALSE(devcloud::DecodeBase64("a!k=", out));
}

TEST(Html, EscapesMarkupAndEncodesQueryValues) {
  EXPECT_EQ(devcloud::EscapeHtml("<a href=\"x\">&'</a>"),
            "&lt;a href=&quot;x&quot;&gt;&amp;&#39;&lt;/a&gt;");
  EXPECT_EQ(devcloud::PercentEncode("Az09-._~:/ &=+"), "Az09-._~:%2F%20%26%3D%2B");
}

}  // namespace
