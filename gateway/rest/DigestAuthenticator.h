#ifndef ORQ_DIGESTAUTHENTICATOR_H
#define ORQ_DIGESTAUTHENTICATOR_H

#include <cstddef>
#include <cstdint>
#include <functional>
#include <map>
#include <string>
#include <vector>

#include "CDebug.h"

struct MHD_Connection;
class Resource;

// Digest authentication of the HTTP server: which parts of the resource tree are protected by
// which htdigest-format password file (user:realm:HA1 lines), the users of each file, and the
// record of the nonces handed out in challenges with the nonce counts already accepted for
// each, so that a captured request cannot be played back. Owned by HTTPServer and worked by
// its poll-loop thread only; it logs through the logger it is given.
class DigestAuthenticator {
  public:
    // Seconds on a monotonic clock; the nonces' lifetimes are counted in it.
    using Clock = std::function<long long()>;

    // `clock` defaults to the steady clock.
    explicit DigestAuthenticator(Debug& logger, Clock clock = Clock());

    struct User {
        std::string realm;
        uint8_t ha1[16];
    };
    struct PasswordTable {
        // False when the file could not be read: every request it protects is refused.
        bool loaded = false;
        std::map<std::string, User> users;
        // The realm of the file's first entry.
        std::string realm;
    };

    // Puts the resource at `uri` (a resource's URI; "" or "/" for the root) and everything
    // below it under `passwordFile`. A file is read the first time it is named (again later
    // while it could not be read).
    void protect(const std::string& uri, const std::string& passwordFile);
    // Lifts the protection set at `uri`; true when there was one.
    bool unprotect(const std::string& uri);
    // The protections as "uri=file" entries separated by commas, in URI order.
    std::string protectValue() const;
    // The password file that protects `resource`: the one set at the resource itself or at its
    // nearest ancestor, or null when none is.
    const std::string* passwordFileFor(const Resource* resource) const;
    // The users read from `passwordFile`, or null when it was never named.
    const PasswordTable* table(const std::string& passwordFile) const;
    // The realm announced in the challenges for `passwordFile` ("orq" when it has none).
    std::string realmOf(const std::string& passwordFile) const;
    // Reads an htdigest file into `table`; malformed lines are skipped (logged). False when the
    // file cannot be read.
    bool loadPasswordFile(const std::string& file, PasswordTable& table);

    // Keeps `nonce`, handed out in a challenge, for kNonceSeconds. The oldest nonce is dropped
    // when kMaxNonces are kept.
    void rememberNonce(const std::string& nonce);
    // True when `nc` is a count not yet accepted for the kept `nonce` and the client nonce
    // `cnonce` (the highest so far, or one of the 64 below it not seen yet), and records it.
    // False for an unknown or expired nonce, for 0, for a count already accepted or too far
    // below the highest, and for a new client nonce once kMaxClientNonces are kept for `nonce`.
    // The counts go by client nonce because libmicrohttpd hands out the same nonce again when
    // it challenges the same URI within a second: a client then starts again at 1 with a new
    // client nonce, while a request played back repeats its client nonce and count.
    bool acceptNonceCount(const std::string& nonce, uint32_t nc, const std::string& cnonce = "");
    // Credentials whose digest is right: true when the Authorization header's nonce, client
    // nonce and nonce count (hexadecimal) have not been accepted before (see
    // acceptNonceCount).
    bool acceptReplayCheck(const char* authorization);
    // Keeps the nonce of a WWW-Authenticate challenge header, when it has one.
    void rememberChallenge(const char* challenge);
    // The value of parameter `key` (matched without regard to case) in a Digest header,
    // unquoted; "" when absent.
    static std::string digestParameter(const char* header, const std::string& key);

    // True when `resource` is unprotected or the request on `connection` carries good
    // credentials; otherwise queues the 401 challenge (stale=true for a nonce that is unknown
    // or whose count was already used) and returns false.
    bool authenticate(MHD_Connection* connection, const Resource* resource);

    static constexpr size_t kMaxNonces = 1024;
    static constexpr size_t kMaxClientNonces = 32;
    static constexpr unsigned kNonceSeconds = 300;

  private:
    struct Counts {
        uint32_t highestNc = 0;
        // Bit k stands for nonce count highestNc - 1 - k.
        uint64_t seenBelow = 0;
    };
    struct NonceRecord {
        long long expiry = 0;
        std::map<std::string, Counts> byClientNonce;
    };

    Debug& pLogger;
    Clock now;
    // Password file by protected URI ("/" for the root).
    std::map<std::string, std::string> plist;
    std::map<std::string, PasswordTable> passwordTables;
    std::map<std::string, NonceRecord> nonces;
    // The kept nonces, oldest first.
    std::vector<std::string> nonceOrder;
};

#endif
