#include "DigestAuthenticator.h"

#include <microhttpd.h>
#include <strings.h>

#include <chrono>
#include <climits>
#include <cstdlib>
#include <fstream>

#include "CResource.h"

namespace {

bool parseHexDigest(const std::string& hex, uint8_t out[16]) {
    if (hex.size() != 32) {
        return false;
    }
    for (size_t i = 0; i < 16; ++i) {
        unsigned v = 0;
        for (size_t k = 0; k < 2; ++k) {
            char c = hex[2 * i + k];
            v <<= 4;
            if (c >= '0' && c <= '9') {
                v |= static_cast<unsigned>(c - '0');
            } else if (c >= 'a' && c <= 'f') {
                v |= static_cast<unsigned>(c - 'a' + 10);
            } else if (c >= 'A' && c <= 'F') {
                v |= static_cast<unsigned>(c - 'A' + 10);
            } else {
                return false;
            }
        }
        out[i] = static_cast<uint8_t>(v);
    }
    return true;
}

std::string trim(const std::string& s) {
    size_t b = s.find_first_not_of(" \t\r\n");
    if (b == std::string::npos) {
        return std::string();
    }
    size_t e = s.find_last_not_of(" \t\r\n");
    return s.substr(b, e - b + 1);
}

long long monotonicSeconds() {
    return std::chrono::duration_cast<std::chrono::seconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

// The key of the protection set at a resource's URI.
std::string protectionKey(const std::string& uri) {
    return uri.empty() ? "/" : uri;
}

MHD_Response* textResponse(const std::string& text) {
    return MHD_create_response_from_buffer(text.size(), const_cast<char*>(text.data()),
                                           MHD_RESPMEM_MUST_COPY);
}

}  // namespace

DigestAuthenticator::DigestAuthenticator(Debug& logger, Clock clock)
    : pLogger(logger), now(clock ? std::move(clock) : Clock(&monotonicSeconds)) {}

void DigestAuthenticator::protect(const std::string& uri, const std::string& passwordFile) {
    plist[protectionKey(uri)] = passwordFile;
    PasswordTable& t = passwordTables[passwordFile];
    if (!t.loaded) {
        t.loaded = loadPasswordFile(passwordFile, t);
    }
}

bool DigestAuthenticator::unprotect(const std::string& uri) {
    return plist.erase(protectionKey(uri)) > 0;
}

std::string DigestAuthenticator::protectValue() const {
    std::string value;
    for (const auto& entry : plist) {
        if (!value.empty()) {
            value += ",";
        }
        value += entry.first + "=" + entry.second;
    }
    return value;
}

const std::string* DigestAuthenticator::passwordFileFor(const Resource* resource) const {
    if (plist.empty()) {
        return nullptr;
    }
    for (const Resource* r = resource; r != nullptr; r = r->parent) {
        auto it = plist.find(protectionKey(r->uri));
        if (it != plist.end()) {
            return &it->second;
        }
    }
    return nullptr;
}

const DigestAuthenticator::PasswordTable* DigestAuthenticator::table(
    const std::string& passwordFile) const {
    auto it = passwordTables.find(passwordFile);
    return it != passwordTables.end() ? &it->second : nullptr;
}

std::string DigestAuthenticator::realmOf(const std::string& passwordFile) const {
    const PasswordTable* t = table(passwordFile);
    return t == nullptr || t->realm.empty() ? "orq" : t->realm;
}

bool DigestAuthenticator::loadPasswordFile(const std::string& file, PasswordTable& t) {
    std::ifstream in(file);
    if (!in) {
        ORQ_LOG(pLogger, ERROR, "loadPasswordFile - cannot read %s: every request is refused",
                file.c_str());
        return false;
    }
    std::string line;
    while (std::getline(in, line)) {
        line = trim(line);
        if (line.empty() || line[0] == '#') {
            continue;
        }
        size_t a = line.find(':');
        size_t b = a == std::string::npos ? a : line.find(':', a + 1);
        User user;
        if (b != std::string::npos) {
            user.realm = line.substr(a + 1, b - a - 1);
        }
        if (b == std::string::npos || !parseHexDigest(line.substr(b + 1), user.ha1)) {
            ORQ_LOG(pLogger, WARN, "loadPasswordFile - skipping a malformed line of %s",
                    file.c_str());
            continue;
        }
        if (t.realm.empty()) {
            t.realm = user.realm;
        }
        t.users[line.substr(0, a)] = user;
    }
    return true;
}

void DigestAuthenticator::rememberNonce(const std::string& nonce) {
    long long t = now();
    // Oldest first: drop the expired ones, and the oldest while the table is full.
    size_t drop = 0;
    while (drop < nonceOrder.size() &&
           (nonceOrder.size() - drop >= kMaxNonces || nonces[nonceOrder[drop]].expiry <= t)) {
        nonces.erase(nonceOrder[drop]);
        ++drop;
    }
    nonceOrder.erase(nonceOrder.begin(), nonceOrder.begin() + static_cast<long>(drop));
    if (nonces.count(nonce) == 0) {
        nonces[nonce].expiry = t + kNonceSeconds;
        nonceOrder.push_back(nonce);
    }
}

bool DigestAuthenticator::acceptNonceCount(const std::string& nonce, uint32_t nc,
                                           const std::string& cnonce) {
    auto it = nonces.find(nonce);
    if (it == nonces.end() || it->second.expiry <= now() || nc == 0) {
        return false;
    }
    auto& clients = it->second.byClientNonce;
    if (clients.count(cnonce) == 0 && clients.size() >= kMaxClientNonces) {
        return false;
    }
    Counts& r = clients[cnonce];
    if (nc > r.highestNc) {
        uint32_t shift = nc - r.highestNc;
        r.seenBelow = shift >= 64 ? 0 : (r.seenBelow << shift);
        if (r.highestNc != 0 && shift <= 64) {
            r.seenBelow |= uint64_t(1) << (shift - 1);
        }
        r.highestNc = nc;
        return true;
    }
    uint32_t back = r.highestNc - nc;
    if (back == 0 || back > 64) {
        return false;
    }
    uint64_t bit = uint64_t(1) << (back - 1);
    if ((r.seenBelow & bit) != 0) {
        return false;
    }
    r.seenBelow |= bit;
    return true;
}

bool DigestAuthenticator::acceptReplayCheck(const char* authorization) {
    std::string nc = digestParameter(authorization, "nc");
    char* end = nullptr;
    unsigned long count = strtoul(nc.c_str(), &end, 16);
    return !nc.empty() && *end == '\0' && count <= UINT32_MAX &&
           acceptNonceCount(digestParameter(authorization, "nonce"), static_cast<uint32_t>(count),
                            digestParameter(authorization, "cnonce"));
}

void DigestAuthenticator::rememberChallenge(const char* challenge) {
    std::string nonce = digestParameter(challenge, "nonce");
    if (!nonce.empty()) {
        rememberNonce(nonce);
    }
}

std::string DigestAuthenticator::digestParameter(const char* header, const std::string& key) {
    std::string h = header != nullptr ? header : "";
    size_t pos = h.find(' ');
    while (pos != std::string::npos && pos < h.size()) {
        pos = h.find_first_not_of(" \t,", pos);
        if (pos == std::string::npos) {
            break;
        }
        size_t eq = h.find('=', pos);
        if (eq == std::string::npos) {
            break;
        }
        std::string name = trim(h.substr(pos, eq - pos));
        std::string value;
        pos = eq + 1;
        if (pos < h.size() && h[pos] == '"') {
            for (++pos; pos < h.size() && h[pos] != '"'; ++pos) {
                if (h[pos] == '\\' && pos + 1 < h.size()) {
                    ++pos;
                }
                value += h[pos];
            }
            ++pos;
        } else {
            size_t end = h.find(',', pos);
            value = trim(h.substr(pos, end == std::string::npos ? end : end - pos));
            pos = end;
        }
        if (strcasecmp(name.c_str(), key.c_str()) == 0) {
            return value;
        }
    }
    return std::string();
}

bool DigestAuthenticator::authenticate(MHD_Connection* connection, const Resource* resource) {
    const std::string* file = passwordFileFor(resource);
    if (file == nullptr) {
        return true;
    }
    const PasswordTable& t = passwordTables[*file];
    std::string realm = realmOf(*file);
    int result = MHD_NO;
    bool stale = false;
    char* user = MHD_digest_auth_get_username(connection);
    if (user != nullptr) {
        auto it = t.users.find(user);
        if (it != t.users.end() && it->second.realm == realm) {
            result = MHD_digest_auth_check_digest2(connection, realm.c_str(), user, it->second.ha1,
                                                   sizeof(it->second.ha1), kNonceSeconds,
                                                   MHD_DIGEST_ALG_MD5);
        }
        // libmicrohttpd lets an older nonce count through again: keep our own record, so
        // that a captured request cannot be played back.
        if (result == MHD_YES && !acceptReplayCheck(MHD_lookup_connection_value(
                                     connection, MHD_HEADER_KIND, MHD_HTTP_HEADER_AUTHORIZATION))) {
            result = MHD_INVALID_NONCE;
        }
        stale = result == MHD_INVALID_NONCE;
        ORQ_LOG(pLogger, INFO, "authenticate - user %s %s", user,
                result == MHD_YES ? "accepted" : (stale ? "refused (stale)" : "refused"));
        MHD_free(user);
    }
    if (result == MHD_YES) {
        return true;
    }
    MHD_Response* r = textResponse("Unauthorized");
    MHD_queue_auth_fail_response2(connection, realm.c_str(), "orq", r, stale ? MHD_YES : MHD_NO,
                                  MHD_DIGEST_ALG_MD5);
    rememberChallenge(MHD_get_response_header(r, MHD_HTTP_HEADER_WWW_AUTHENTICATE));
    MHD_destroy_response(r);
    return false;
}
