#include <gtest/gtest.h>

#include <string>

#include "support/test_peer.h"

namespace {

using Peer = TallyServiceTestPeer;

TEST(Anonymise, EachMaskKeepsItsShareOfTheBytes) {
    const std::string uuid = "33221100-5544-7766-8899-AABBCCDDEEFF";
    // Replace masks the first four bytes.
    EXPECT_EQ("****efgh", Peer::AnonymousByReplace("abcdefgh"));
    EXPECT_EQ("****e", Peer::AnonymousByReplace("abcde"));
    for (const char* shortText : {"", "a", "abc", "abcd", "****"}) {
        EXPECT_EQ("****", Peer::AnonymousByReplace(shortText)) << shortText;
    }
    // Bytes, not characters: a two-byte letter straddling the cut is split.
    EXPECT_EQ("****\xA9x", Peer::AnonymousByReplace("abc\xC3\xA9x"));

    // Data keeps nine bytes from nineteen on.
    EXPECT_EQ("abcdefghi**********", Peer::AnonymousData("abcdefghijklmnopqrs"));
    EXPECT_EQ("*", Peer::AnonymousData("abcdefghijklmnopqr"));
    EXPECT_EQ("*", Peer::AnonymousData(""));
    EXPECT_EQ("33221100-" + std::string(27, '*'), Peer::AnonymousData(uuid));

    // Truncate keeps three quarters from five on.
    EXPECT_EQ("abcd", Peer::AnonymousByTruncate("abcd"));
    EXPECT_EQ("", Peer::AnonymousByTruncate(""));
    EXPECT_EQ("abc", Peer::AnonymousByTruncate("abcde"));
    EXPECT_EQ("abcdef", Peer::AnonymousByTruncate("abcdefgh"));
    EXPECT_EQ("abcdefg", Peer::AnonymousByTruncate("abcdefghij"));  // 7.5 rounds down
    EXPECT_EQ(uuid.substr(0, 27), Peer::AnonymousByTruncate(uuid));
}

}  // namespace
