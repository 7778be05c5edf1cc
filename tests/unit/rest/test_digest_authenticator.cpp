// Digest authentication without sockets: the password files, which resources they protect,
// and the record of nonces and nonce counts that keeps a captured request from being played
// back.

#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <fstream>
#include <string>
#include <vector>

#include "CResource.h"
#include "DigestAuthenticator.h"

namespace {

std::string tempFile(const std::string& name, const std::string& text) {
    std::string path =
        std::string(::testing::TempDir()) + "orq_" + std::to_string(getpid()) + "_" + name;
    std::ofstream(path, std::ios::binary) << text;
    return path;
}

// A clock the test moves by hand.
struct ManualClock {
    long long seconds = 1000;
    DigestAuthenticator::Clock clock() {
        return [this] { return seconds; };
    }
};

class DigestAuthenticatorTest : public ::testing::Test {
  protected:
    Debug log{"HTTPServer"};
    ManualClock time;
    DigestAuthenticator digest{log, time.clock()};
};

// root -> net -> default, root -> version.
struct SmallTree {
    SmallTree() {
        root.addChild(&net);
        net.addChild(&def);
        root.addChild(&version);
    }
    ~SmallTree() {
        net.removeChild(&def);
        root.removeChild(&net);
        root.removeChild(&version);
    }
    ResourceDescriptor rootDesc{""}, netDesc{"net"}, defDesc{"default"}, versionDesc{"version"};
    Resource root{&rootDesc}, net{&netDesc}, def{&defDesc}, version{&versionDesc};
};

TEST_F(DigestAuthenticatorTest, PasswordFileGivesUsersAndTheFirstEntrysRealm) {
    std::string file = tempFile("users",
                                "# users of the gateway\n"
                                "\n"
                                "alice:orq:0123456789abcdef0123456789ABCDEF\r\n"
                                "bob:lab:ffffffffffffffffffffffffffffffff\n"
                                "nocolon\n"
                                "onecolon:orq\n"
                                "short:orq:0123\n"
                                "nothex:orq:0123456789abcdef0123456789abcdeg\n"
                                "  carol:orq:00000000000000000000000000000001  \n");
    DigestAuthenticator::PasswordTable table;
    ASSERT_TRUE(digest.loadPasswordFile(file, table));
    EXPECT_EQ(table.realm, "orq");
    ASSERT_EQ(table.users.size(), 3u);
    const DigestAuthenticator::User& alice = table.users.at("alice");
    EXPECT_EQ(alice.realm, "orq");
    const uint8_t want[16] = {0x01, 0x23, 0x45, 0x67, 0x89, 0xab, 0xcd, 0xef,
                              0x01, 0x23, 0x45, 0x67, 0x89, 0xab, 0xcd, 0xef};
    EXPECT_EQ(std::vector<uint8_t>(alice.ha1, alice.ha1 + 16),
              std::vector<uint8_t>(want, want + 16));
    EXPECT_EQ(table.users.at("bob").realm, "lab");
    EXPECT_EQ(table.users.at("carol").ha1[15], 1);
    EXPECT_EQ(table.users.count("short"), 0u);
    EXPECT_EQ(table.users.count("nothex"), 0u);
    std::remove(file.c_str());
}

TEST_F(DigestAuthenticatorTest, UnreadableFileProtectsWithNoUserAndIsReadOnceItExists) {
    std::string path =
        std::string(::testing::TempDir()) + "orq_" + std::to_string(getpid()) + "_late_users";
    std::remove(path.c_str());
    SmallTree tree;
    digest.protect("", path);
    ASSERT_NE(digest.passwordFileFor(&tree.def), nullptr);
    const DigestAuthenticator::PasswordTable* table = digest.table(path);
    ASSERT_NE(table, nullptr);
    EXPECT_FALSE(table->loaded);
    EXPECT_TRUE(table->users.empty());
    EXPECT_EQ(digest.realmOf(path), "orq");

    tempFile("late_users", "alice:home:0123456789abcdef0123456789abcdef\n");
    digest.protect("/net", path);
    EXPECT_TRUE(table->loaded);
    EXPECT_EQ(table->users.size(), 1u);
    EXPECT_EQ(digest.realmOf(path), "home");
    std::remove(path.c_str());
}

TEST_F(DigestAuthenticatorTest, ProtectionCoversTheSubtreeAndTheNearestOneWins) {
    SmallTree tree;
    EXPECT_EQ(digest.passwordFileFor(&tree.def), nullptr);
    EXPECT_EQ(digest.protectValue(), "");

    digest.protect(tree.net.uri, "/nonexistent/net");
    ASSERT_NE(digest.passwordFileFor(&tree.def), nullptr);
    EXPECT_EQ(*digest.passwordFileFor(&tree.def), "/nonexistent/net");
    EXPECT_EQ(*digest.passwordFileFor(&tree.net), "/nonexistent/net");
    EXPECT_EQ(digest.passwordFileFor(&tree.version), nullptr);
    EXPECT_EQ(digest.passwordFileFor(&tree.root), nullptr);

    // The root's URI is empty; its protection is listed as "/".
    digest.protect(tree.root.uri, "/nonexistent/all");
    EXPECT_EQ(*digest.passwordFileFor(&tree.version), "/nonexistent/all");
    EXPECT_EQ(*digest.passwordFileFor(&tree.def), "/nonexistent/net");
    EXPECT_EQ(digest.protectValue(), "/=/nonexistent/all,/net=/nonexistent/net");

    EXPECT_TRUE(digest.unprotect("/net"));
    EXPECT_FALSE(digest.unprotect("/net"));
    EXPECT_EQ(*digest.passwordFileFor(&tree.def), "/nonexistent/all");
    EXPECT_TRUE(digest.unprotect(""));
    EXPECT_EQ(digest.passwordFileFor(&tree.def), nullptr);
    EXPECT_EQ(digest.protectValue(), "");
}

TEST_F(DigestAuthenticatorTest, EachNonceCountOfAKnownNonceIsAcceptedOnce) {
    EXPECT_FALSE(digest.acceptNonceCount("never-issued", 1));
    digest.rememberNonce("n1");
    EXPECT_FALSE(digest.acceptNonceCount("n1", 0));
    EXPECT_TRUE(digest.acceptNonceCount("n1", 1));
    EXPECT_FALSE(digest.acceptNonceCount("n1", 1));
    // Counts may arrive out of order (requests on parallel connections).
    EXPECT_TRUE(digest.acceptNonceCount("n1", 5));
    EXPECT_TRUE(digest.acceptNonceCount("n1", 3));
    EXPECT_FALSE(digest.acceptNonceCount("n1", 3));
    EXPECT_TRUE(digest.acceptNonceCount("n1", 4));
    EXPECT_TRUE(digest.acceptNonceCount("n1", 2));
    EXPECT_FALSE(digest.acceptNonceCount("n1", 5));
    // A nonce handed out again keeps its record.
    digest.rememberNonce("n1");
    EXPECT_FALSE(digest.acceptNonceCount("n1", 4));
    // Another nonce has counts of its own.
    digest.rememberNonce("n2");
    EXPECT_TRUE(digest.acceptNonceCount("n2", 1));
}

TEST_F(DigestAuthenticatorTest, AClientThatStartsAgainOnTheSameNonceIsAcceptedAPlayBackIsNot) {
    // libmicrohttpd challenges the same URI within a second with the same nonce.
    digest.rememberNonce("n");
    EXPECT_TRUE(digest.acceptNonceCount("n", 1, "c1"));
    EXPECT_TRUE(digest.acceptNonceCount("n", 2, "c1"));
    digest.rememberNonce("n");
    EXPECT_TRUE(digest.acceptNonceCount("n", 1, "c2"));
    // What was captured, played back: same client nonce, same count.
    EXPECT_FALSE(digest.acceptNonceCount("n", 1, "c1"));
    EXPECT_FALSE(digest.acceptNonceCount("n", 2, "c1"));
    EXPECT_FALSE(digest.acceptNonceCount("n", 1, "c2"));
    // The client nonces kept for one nonce are bounded.
    for (size_t i = 2; i < DigestAuthenticator::kMaxClientNonces; ++i) {
        EXPECT_TRUE(digest.acceptNonceCount("n", 1, "more" + std::to_string(i)));
    }
    EXPECT_FALSE(digest.acceptNonceCount("n", 1, "one-too-many"));
    EXPECT_TRUE(digest.acceptNonceCount("n", 3, "c1"));
}

TEST_F(DigestAuthenticatorTest, CountsFarBelowTheHighestAreRefused) {
    digest.rememberNonce("n");
    ASSERT_TRUE(digest.acceptNonceCount("n", 100));
    // The 64 counts below the highest are remembered one by one; older ones are refused.
    EXPECT_FALSE(digest.acceptNonceCount("n", 35));
    EXPECT_TRUE(digest.acceptNonceCount("n", 36));
    EXPECT_FALSE(digest.acceptNonceCount("n", 36));
    EXPECT_TRUE(digest.acceptNonceCount("n", 99));
    // After a jump past the window, the old counts lie too far below.
    ASSERT_TRUE(digest.acceptNonceCount("n", 1000));
    EXPECT_TRUE(digest.acceptNonceCount("n", 999));
    EXPECT_FALSE(digest.acceptNonceCount("n", 100));
    // A jump of exactly the window still remembers the old highest.
    ASSERT_TRUE(digest.acceptNonceCount("n", 1064));
    EXPECT_FALSE(digest.acceptNonceCount("n", 1000));
    EXPECT_TRUE(digest.acceptNonceCount("n", 1001));
}

TEST_F(DigestAuthenticatorTest, NoncesExpireAndTheOldestMakeRoomForNewOnes) {
    digest.rememberNonce("old");
    time.seconds += DigestAuthenticator::kNonceSeconds - 1;
    EXPECT_TRUE(digest.acceptNonceCount("old", 1));
    time.seconds += 1;
    EXPECT_FALSE(digest.acceptNonceCount("old", 2));

    // A nonce handed out again lives from the first time.
    digest.rememberNonce("again");
    time.seconds += DigestAuthenticator::kNonceSeconds / 2;
    digest.rememberNonce("again");
    time.seconds += DigestAuthenticator::kNonceSeconds / 2;
    EXPECT_FALSE(digest.acceptNonceCount("again", 1));

    for (size_t i = 0; i <= DigestAuthenticator::kMaxNonces; ++i) {
        digest.rememberNonce("n" + std::to_string(i));
    }
    EXPECT_FALSE(digest.acceptNonceCount("n0", 1));
    EXPECT_TRUE(digest.acceptNonceCount("n1", 1));
    EXPECT_TRUE(digest.acceptNonceCount("n" + std::to_string(DigestAuthenticator::kMaxNonces), 1));
}

TEST_F(DigestAuthenticatorTest, HeaderParametersAreReadQuotedOrNot) {
    const char* header =
        "Digest username=\"al\\\"ice\", realm=\"orq\", nonce=\"abc,def\", uri=\"/x?a=1\", "
        "NC=0000000a,cnonce=\"c\" , qop=auth, response=\"0f\"";
    EXPECT_EQ(DigestAuthenticator::digestParameter(header, "username"), "al\"ice");
    EXPECT_EQ(DigestAuthenticator::digestParameter(header, "nonce"), "abc,def");
    EXPECT_EQ(DigestAuthenticator::digestParameter(header, "uri"), "/x?a=1");
    EXPECT_EQ(DigestAuthenticator::digestParameter(header, "nc"), "0000000a");
    EXPECT_EQ(DigestAuthenticator::digestParameter(header, "qop"), "auth");
    EXPECT_EQ(DigestAuthenticator::digestParameter(header, "cnonce"), "c");
    EXPECT_EQ(DigestAuthenticator::digestParameter(header, "opaque"), "");
    EXPECT_EQ(DigestAuthenticator::digestParameter(nullptr, "nonce"), "");
    EXPECT_EQ(DigestAuthenticator::digestParameter("Digest", "nonce"), "");
}

TEST_F(DigestAuthenticatorTest, ChallengeNonceIsKeptAndItsCredentialsPassOnce) {
    digest.rememberChallenge("Digest realm=\"orq\",qop=\"auth\",nonce=\"N1\",opaque=\"orq\"");
    digest.rememberChallenge("Digest realm=\"orq\",qop=\"auth\"");
    digest.rememberChallenge(nullptr);
    const std::string creds = "Digest username=\"alice\", nonce=\"N1\", cnonce=\"x\", nc=";
    EXPECT_TRUE(digest.acceptReplayCheck((creds + "0000000a").c_str()));
    EXPECT_FALSE(digest.acceptReplayCheck((creds + "0000000a").c_str()));
    EXPECT_TRUE(digest.acceptReplayCheck((creds + "00000009").c_str()));
    EXPECT_FALSE(digest.acceptReplayCheck((creds + "0000000zz").c_str()));
    // Beyond 32 bits: not taken for the count its low bits would give.
    EXPECT_FALSE(digest.acceptReplayCheck((creds + "100000005").c_str()));
    EXPECT_FALSE(digest.acceptReplayCheck("Digest username=\"alice\", nonce=\"N1\""));
    EXPECT_FALSE(digest.acceptReplayCheck(
        "Digest username=\"alice\", nonce=\"not-handed-out\", nc=00000001"));
    EXPECT_FALSE(digest.acceptReplayCheck(nullptr));
}

}  // namespace
