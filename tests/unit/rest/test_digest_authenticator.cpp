// Digest authentication without sockets: the password files, which resources they protect,
// and the record of nonces and nonce counts that keeps a captured request from being played
// back.

#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <fstream>

#include "CResource.h"
#include "DigestAuthenticator.h"

namespace {

class DigestAuthenticatorTest : public ::testing::Test {
  protected:
    std::string file(const std::string& text) {
        std::ofstream(path, std::ios::binary) << text;
        return path;
    }
    void TearDown() override { std::remove(path.c_str()); }
    // Each step: a nonce count (with a client nonce) and whether it is accepted.
    void expectCounts(const std::string& nonce,
                      const std::vector<std::tuple<uint32_t, const char*, bool>>& steps) {
        for (const auto& [nc, cnonce, accepted] : steps) {
            EXPECT_EQ(accepted, digest.acceptNonceCount(nonce, nc, cnonce)) << nc << " " << cnonce;
        }
    }

    std::string path =
        std::string(::testing::TempDir()) + "orq_" + std::to_string(getpid()) + "_users";
    Debug log{"HTTPServer"};
    long long seconds = 1000;
    DigestAuthenticator digest{log, [this] { return seconds; }};
};

TEST_F(DigestAuthenticatorTest, PasswordFileGivesUsersAndTheFirstEntrysRealm) {
    DigestAuthenticator::PasswordTable table;
    ASSERT_TRUE(digest.loadPasswordFile(file("# users of the gateway\n\n"
                                             "alice:orq:0123456789abcdef0123456789ABCDEF\r\n"
                                             "bob:lab:ffffffffffffffffffffffffffffffff\n"
                                             "nocolon\nonecolon:orq\nshort:orq:0123\n"
                                             "nothex:orq:0123456789abcdef0123456789abcdeg\n"
                                             "  carol:orq:00000000000000000000000000000001  \n"),
                                        table));
    EXPECT_EQ("orq", table.realm);
    ASSERT_EQ(3u, table.users.size());
    const uint8_t* ha1 = table.users.at("alice").ha1;
    EXPECT_EQ(std::vector<uint8_t>({0x01, 0x23, 0x45, 0x67, 0x89, 0xab, 0xcd, 0xef, 0x01, 0x23,
                                    0x45, 0x67, 0x89, 0xab, 0xcd, 0xef}),
              std::vector<uint8_t>(ha1, ha1 + 16));
    EXPECT_EQ("lab", table.users.at("bob").realm);
    EXPECT_EQ(1, table.users.at("carol").ha1[15]);
}

TEST_F(DigestAuthenticatorTest, ProtectionCoversTheSubtreeTheNearestWinsAndAFileIsReadOnceThere) {
    ResourceDescriptor rootDesc{""}, netDesc{"net"}, defDesc{"default"}, versionDesc{"version"};
    Resource root{&rootDesc}, net{&netDesc}, def{&defDesc}, version{&versionDesc};
    root.addChild(&net);
    net.addChild(&def);
    root.addChild(&version);
    auto fileFor = [&](const Resource& r) {
        const std::string* f = digest.passwordFileFor(&r);
        return f != nullptr ? *f : "-";
    };
    EXPECT_EQ("-", fileFor(def));
    digest.protect(net.uri, "/nonexistent/net");
    EXPECT_EQ("/nonexistent/net", fileFor(def));
    EXPECT_EQ("/nonexistent/net", fileFor(net));
    EXPECT_EQ("-", fileFor(version));
    // The root's URI is empty; its protection is listed as "/".
    digest.protect(root.uri, path);
    EXPECT_EQ(path, fileFor(version));
    EXPECT_EQ("/nonexistent/net", fileFor(def));
    EXPECT_EQ("/=" + path + ",/net=/nonexistent/net", digest.protectValue());
    // A file not there yet protects with no user, and is read once it exists.
    const DigestAuthenticator::PasswordTable* table = digest.table(path);
    ASSERT_NE(nullptr, table);
    EXPECT_FALSE(table->loaded);
    EXPECT_EQ("orq", digest.realmOf(path));
    file("alice:home:0123456789abcdef0123456789abcdef\n");
    digest.protect("/version", path);
    EXPECT_EQ(1u, table->users.size());
    EXPECT_EQ("home", digest.realmOf(path));

    EXPECT_TRUE(digest.unprotect("/net"));
    EXPECT_FALSE(digest.unprotect("/net"));
    EXPECT_EQ(path, fileFor(def));
    EXPECT_TRUE(digest.unprotect(""));
    EXPECT_TRUE(digest.unprotect("/version"));
    EXPECT_EQ("-", fileFor(def));
    EXPECT_EQ("", digest.protectValue());
    net.removeChild(&def);
    root.removeChild(&net);
    root.removeChild(&version);
}

TEST_F(DigestAuthenticatorTest, EachNonceCountOfAKnownNonceIsAcceptedOnce) {
    EXPECT_FALSE(digest.acceptNonceCount("never-issued", 1));
    digest.rememberNonce("n");
    // Counts may arrive out of order (requests on parallel connections); the 64 below the
    // highest are remembered one by one, older ones refused.
    expectCounts("n", {{0, "", false},   {1, "", true},    {1, "", false},    {5, "", true},
                       {3, "", true},    {3, "", false},   {4, "", true},     {2, "", true},
                       {5, "", false},   {100, "", true},  {35, "", false},   {36, "", true},
                       {36, "", false},  {99, "", true},   {1000, "", true},  {999, "", true},
                       {100, "", false}, {1064, "", true}, {1000, "", false}, {1001, "", true}});
    // A nonce handed out again keeps its record; another nonce has counts of its own.
    digest.rememberNonce("n");
    EXPECT_FALSE(digest.acceptNonceCount("n", 999));
    digest.rememberNonce("m");
    // A client that starts again on the same nonce with a new client nonce is accepted; what
    // was captured, played back, is not.
    expectCounts("m", {{1, "c1", true}, {2, "c1", true}});
    digest.rememberNonce("m");
    expectCounts("m", {{1, "c2", true}, {1, "c1", false}, {2, "c1", false}, {1, "c2", false}});
    for (size_t i = 2; i < DigestAuthenticator::kMaxClientNonces; ++i) {
        EXPECT_TRUE(digest.acceptNonceCount("m", 1, "more" + std::to_string(i)));
    }
    EXPECT_FALSE(digest.acceptNonceCount("m", 1, "one-too-many"));
    EXPECT_TRUE(digest.acceptNonceCount("m", 3, "c1"));
}

TEST_F(DigestAuthenticatorTest, NoncesExpireAndTheOldestMakeRoomForNewOnes) {
    digest.rememberNonce("old");
    seconds += DigestAuthenticator::kNonceSeconds - 1;
    EXPECT_TRUE(digest.acceptNonceCount("old", 1));
    digest.rememberNonce("old");  // handed out again, it lives from the first time
    seconds += 1;
    EXPECT_FALSE(digest.acceptNonceCount("old", 2));
    for (size_t i = 0; i <= DigestAuthenticator::kMaxNonces; ++i) {
        digest.rememberNonce("n" + std::to_string(i));
    }
    EXPECT_FALSE(digest.acceptNonceCount("n0", 1));
    EXPECT_TRUE(digest.acceptNonceCount("n1", 1));
    EXPECT_TRUE(digest.acceptNonceCount("n" + std::to_string(DigestAuthenticator::kMaxNonces), 1));
}

TEST_F(DigestAuthenticatorTest, HeadersAreReadQuotedOrNotAndAChallengesCredentialsPassOnce) {
    const char* header =
        "Digest username=\"al\\\"ice\", realm=\"orq\", nonce=\"abc,def\", uri=\"/x?a=1\", "
        "NC=0000000a,cnonce=\"c\" , qop=auth, response=\"0f\"";
    for (const std::string kv : {"username=al\"ice", "nonce=abc,def", "uri=/x?a=1", "nc=0000000a",
                                 "qop=auth", "cnonce=c", "opaque="}) {
        const size_t eq = kv.find('=');
        EXPECT_EQ(kv.substr(eq + 1), DigestAuthenticator::digestParameter(header, kv.substr(0, eq)))
            << kv;
    }
    EXPECT_EQ("", DigestAuthenticator::digestParameter(nullptr, "nonce"));
    EXPECT_EQ("", DigestAuthenticator::digestParameter("Digest", "nonce"));

    digest.rememberChallenge("Digest realm=\"orq\",qop=\"auth\",nonce=\"N1\",opaque=\"orq\"");
    digest.rememberChallenge("Digest realm=\"orq\",qop=\"auth\"");
    digest.rememberChallenge(nullptr);
    const std::string creds = "Digest username=\"alice\", nonce=\"N1\", cnonce=\"x\", nc=";
    // Beyond 32 bits, a count is not taken for the one its low bits would give.
    const std::pair<const char*, bool> counts[] = {{"0000000a", true},
                                                   {"0000000a", false},
                                                   {"00000009", true},
                                                   {"0000000zz", false},
                                                   {"100000005", false}};
    for (const auto& [nc, accepted] : counts) {
        EXPECT_EQ(accepted, digest.acceptReplayCheck((creds + nc).c_str())) << nc;
    }
    EXPECT_FALSE(digest.acceptReplayCheck("Digest username=\"alice\", nonce=\"N1\""));
    EXPECT_FALSE(digest.acceptReplayCheck("Digest nonce=\"not-handed-out\", nc=00000001"));
    EXPECT_FALSE(digest.acceptReplayCheck(nullptr));
}

}  // namespace
