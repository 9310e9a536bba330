// MD5 against the RFC 1321 test suite and Base64 against the RFC 4648 vectors,
// on both systems; inputs longer than one encoder piece, and buffers one byte
// short of the result.
#include "platform/digest.h"

#include <cstring>
#include <string>

#include <gtest/gtest.h>

namespace platform {
namespace {

std::string Md5Of(const std::string& text) {
  char hex[kMd5HexSize];
  memset(hex, 'x', sizeof hex);
  EXPECT_EQ(Md5Hex(text.data(), text.size(), hex), 0);
  return std::string(hex);
}

std::string Base64Of(const std::string& bytes) {
  std::string text(Base64TextLength(bytes.size()) + 1, 'x');
  int n = Base64Encode(bytes.data(), bytes.size(), &text[0], text.size());
  EXPECT_EQ(n, static_cast<int>(text.size()) - 1);
  EXPECT_EQ(text.back(), '\0');
  return text.substr(0, n < 0 ? 0 : static_cast<size_t>(n));
}

// A plain encoder to compare long inputs with.
std::string ReferenceBase64(const std::string& bytes) {
  static const char kAlphabet[] =
      "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
  std::string text;
  for (size_t i = 0; i < bytes.size(); i += 3) {
    size_t n = bytes.size() - i < 3 ? bytes.size() - i : 3;
    unsigned v = 0;
    for (size_t k = 0; k < 3; ++k)
      v = v << 8 | (k < n ? static_cast<unsigned char>(bytes[i + k]) : 0u);
    for (size_t k = 0; k < 4; ++k)
      text += k <= n ? kAlphabet[(v >> (18 - 6 * k)) & 0x3f] : '=';
  }
  return text;
}

TEST(Md5HexTest, Rfc1321Suite) {
  EXPECT_EQ(Md5Of(""), "d41d8cd98f00b204e9800998ecf8427e");
  EXPECT_EQ(Md5Of("a"), "0cc175b9c0f1b6a831c399e269772661");
  EXPECT_EQ(Md5Of("abc"), "900150983cd24fb0d6963f7d28e17f72");
  EXPECT_EQ(Md5Of("message digest"), "f96b697d7cb7938d525a2f31aaf161d0");
  EXPECT_EQ(Md5Of("abcdefghijklmnopqrstuvwxyz"), "c3fcd3d76192e4007dfb496cca67e13b");
  EXPECT_EQ(Md5Of("ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789"),
            "d174ab98d277d9f5a5611c2c9f419d9f");
  EXPECT_EQ(Md5Of("1234567890123456789012345678901234567890"
                  "1234567890123456789012345678901234567890"),
            "57edf4a22be3c955ac49da2e2107b67a");
}

TEST(Md5HexTest, NulBytesAndLongInput) {
  EXPECT_EQ(Md5Of(std::string(1, '\0')), "93b885adfe0da089cdf634904fd59f71");
  EXPECT_EQ(Md5Of(std::string(1000000, 'a')), "7707d6ae4e027c70eea2a935c2296f21");
}

TEST(Md5HexTest, MissingDataFails) {
  char hex[kMd5HexSize];
  memset(hex, 'x', sizeof hex);
  EXPECT_EQ(Md5Hex(nullptr, 1, hex), -1);
  EXPECT_EQ(hex[0], '\0');
}

TEST(Base64EncodeTest, Rfc4648Vectors) {
  EXPECT_EQ(Base64Of(""), "");
  EXPECT_EQ(Base64Of("f"), "Zg==");
  EXPECT_EQ(Base64Of("fo"), "Zm8=");
  EXPECT_EQ(Base64Of("foo"), "Zm9v");
  EXPECT_EQ(Base64Of("foob"), "Zm9vYg==");
  EXPECT_EQ(Base64Of("fooba"), "Zm9vYmE=");
  EXPECT_EQ(Base64Of("foobar"), "Zm9vYmFy");
}

TEST(Base64EncodeTest, EveryByteValueAndLongInputs) {
  std::string bytes;
  for (int i = 0; i < 2000; ++i)
    bytes += static_cast<char>(i * 7 % 256);
  std::string all(256, '\0');
  for (int i = 0; i < 256; ++i)
    all[i] = static_cast<char>(i);
  EXPECT_EQ(Base64Of(all),
            "AAECAwQFBgcICQoLDA0ODxAREhMUFRYXGBkaGxwdHh8gISIjJCUmJygpKissLS4vMDEyMzQ1Njc4"
            "OTo7PD0+P0BBQkNERUZHSElKS0xNTk9QUVJTVFVWV1hZWltcXV5fYGFiY2RlZmdoaWprbG1ub3Bx"
            "cnN0dXZ3eHl6e3x9fn+AgYKDhIWGh4iJiouMjY6PkJGSk5SVlpeYmZqbnJ2en6ChoqOkpaanqKmq"
            "q6ytrq+wsbKztLW2t7i5uru8vb6/wMHCw8TFxsfIycrLzM3Oz9DR0tPU1dbX2Nna29zd3t/g4eLj"
            "5OXm5+jp6uvs7e7v8PHy8/T19vf4+fr7/P3+/w==");
  for (size_t n = 700; n <= bytes.size(); n += 37)
    EXPECT_EQ(Base64Of(bytes.substr(0, n)), ReferenceBase64(bytes.substr(0, n))) << n;
}

TEST(Base64EncodeTest, BufferTooSmallLeavesEmptyText) {
  char out[16];
  memset(out, 'x', sizeof out);
  EXPECT_EQ(Base64Encode("foobar", 6, out, 8), -1);
  EXPECT_EQ(out[0], '\0');
  EXPECT_EQ(Base64Encode("foobar", 6, out, 9), 8);
  EXPECT_STREQ(out, "Zm9vYmFy");
  EXPECT_EQ(Base64Encode("f", 1, out, 4), -1);
  EXPECT_EQ(out[0], '\0');
  EXPECT_EQ(Base64Encode("f", 1, nullptr, 0), -1);
  EXPECT_EQ(Base64Encode(nullptr, 0, out, 1), 0);
  EXPECT_EQ(out[0], '\0');
  memset(out, 'x', sizeof out);
  EXPECT_EQ(Base64Encode("f", kBase64MaxInput + 1, out, static_cast<size_t>(-1)), -1);
  EXPECT_EQ(out[0], '\0');
}

}  // namespace
}  // namespace platform
