#ifndef ORQ_KEPTDOCUMENT_H
#define ORQ_KEPTDOCUMENT_H

// A read-only reply composed once and answered from for as long as what it was made from
// is unchanged. The caller names that state by a version (the network database's change
// count, say, read under the database's lock) and a variant (a parameter of the document);
// while both are the same, get() hands out the same immutable bytes, shared with every
// reply still being sent, so no request composes or copies them. Any thread.

#include <functional>
#include <memory>
#include <mutex>
#include <string>

class PreparedReply;

class KeptDocument {
  public:
    using Text = std::shared_ptr<const std::string>;
    struct Bytes {
        Text detail;  // the document itself
        Text reply;   // the whole reply carrying it (for an exchange with no request id)
        // That reply made once for the HTTP library, queued as it is to every such exchange
        // (null: `reply` is sent as text).
        std::shared_ptr<const PreparedReply> prepared;
    };

    // The kept bytes when made at (version, variant); else `compose` makes the document and
    // `wrap` the rest of the bytes around it (the reply, and its prepared form if any), and
    // those are kept instead. The caller keeps the state the version names from changing until
    // get() returns (holds the database's lock, say).
    Bytes get(unsigned long long version, long variant, const std::function<std::string()>& compose,
              const std::function<Bytes(Text detail)>& wrap) {
        {
            std::lock_guard<std::mutex> lock(mux);
            if (bytes.reply && keptVersion == version && keptVariant == variant) {
                return bytes;
            }
        }
        Bytes fresh = wrap(std::make_shared<const std::string>(compose()));
        std::lock_guard<std::mutex> lock(mux);
        bytes = fresh;
        keptVersion = version;
        keptVariant = variant;
        ++composed;
        return fresh;
    }

    // How many times the document was composed (a kept answer is not counted).
    unsigned long compositions() const {
        std::lock_guard<std::mutex> lock(mux);
        return composed;
    }

  private:
    mutable std::mutex mux;
    Bytes bytes;
    unsigned long long keptVersion = 0;
    long keptVariant = 0;
    unsigned long composed = 0;
};

#endif
