// Our SHA-256 against the known vectors and against sha256sum on every
// padding boundary.
#include <gtest/gtest.h>

#include "support/temp_repo.hpp"
#include "utils/process.hpp"
#include "utils/sha256.hpp"

namespace {

TEST(Sha256, KnownVectors) {
  using brenik::utils::sha256_hex;
  EXPECT_EQ(sha256_hex(""), "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855");
  EXPECT_EQ(sha256_hex("abc"), "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad");
  EXPECT_EQ(sha256_hex("abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq"),
            "248d6a61d20638b8e5c026930c3e6039a33ce45964ff2167f6ecedd419db06c1");
  EXPECT_EQ(sha256_hex(std::string(1000000, 'a')), "cdc76e5c9914fb9281a1c7e284d73e67f1809a48a497200e046d39ccc7112cd0");
}

TEST(Sha256, MatchesSha256sumAcrossBlockBoundaries) {
  for (std::size_t n : {1u, 55u, 56u, 57u, 63u, 64u, 65u, 119u, 120u, 127u, 128u, 129u, 1000u}) {
    std::string data;
    for (std::size_t i = 0; i < n; ++i) data.push_back(static_cast<char>((i * 131 + 7) & 0xff));
    auto r = brenik::utils::run({"sha256sum"}, {.stdin_data = data});
    ASSERT_TRUE(r.ok());
    EXPECT_EQ(brenik::utils::sha256_hex(data), r.out.substr(0, 64)) << n;
  }
}

}  // namespace
