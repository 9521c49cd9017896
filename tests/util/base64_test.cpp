#include "util/base64.h"

#include <gtest/gtest.h>

#include <string>

namespace kestrova {
namespace {

TEST(Base64, EncodesAndDecodesTheRfc4648TestVectors) {
  // RFC 4648 §10.
  const std::pair<std::string, std::string> vectors[] = {
      {"", ""},         {"f", "Zg=="},         {"fo", "Zm8="},         {"foo", "Zm9v"},
      {"foob", "Zm9vYg=="}, {"fooba", "Zm9vYmE="}, {"foobar", "Zm9vYmFy"},
  };
  for (const auto& [plain, encoded] : vectors) {
    EXPECT_EQ(base64::encode(plain), encoded);
    EXPECT_EQ(base64::decode(encoded), plain) << encoded;
  }
  // Every byte value survives, including NUL and the high half.
  std::string all;
  for (int b = 0; b < 256; ++b) all.push_back(static_cast<char>(b));
  EXPECT_EQ(base64::decode(base64::encode(all)), all);
  EXPECT_EQ(base64::encode("\xff\xfe\xfd"), "//79");
  EXPECT_EQ(base64::encode("\xfb\xff"), "+/8=");
}

TEST(Base64, DecodingSkipsLineBreaksAcceptsMissingPaddingAndRejectsGarbage) {
  EXPECT_EQ(base64::decode("Zm9v\r\nYmFy\r\n"), "foobar");
  EXPECT_EQ(base64::decode(" Zm9vYg = = "), "foob");
  EXPECT_EQ(base64::decode("Zm9vYg"), "foob");
  EXPECT_EQ(base64::decode("Zm9vYmE"), "fooba");

  EXPECT_EQ(base64::decode("Zm9v!"), std::nullopt);    // outside the alphabet
  EXPECT_EQ(base64::decode("Zm-v"), std::nullopt);     // URL-safe alphabet is not this one
  EXPECT_EQ(base64::decode("Zm9vY"), std::nullopt);    // a lone trailing character
  EXPECT_EQ(base64::decode("Zg==Zg=="), std::nullopt); // data after the padding
  EXPECT_EQ(base64::decode("Zm9v===="), std::nullopt); // padding without a partial group
  EXPECT_EQ(base64::decode("Zg="), std::nullopt);      // padding that does not fill the group
}

}  // namespace
}  // namespace kestrova
