#ifndef ORQ_XMLPROCESSOR_H
#define ORQ_XMLPROCESSOR_H

#include <cstddef>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include <tinyxml2.h>

#include "Callback.h"

class Debug;
class Message;
class Node;
class ZbNetDb;
struct NodeDescriptor;
struct PowerDescriptor;
struct SimpleDescriptor;
struct StartupAttributeInfo;
class GwDescriptor;
struct ZB_BIND_STRUCT;

// The two name spaces of the gateway binding: the gateway schema (prefix "orq" when
// composing) and the REST schema (prefix "tns").
constexpr const char ORQ_GATEWAY_SCHEMA_URI[] = "http://www.zigbee.org/GWGSchema";
constexpr const char ORQ_REST_SCHEMA_URI[] = "http://www.zigbee.org/GWGRESTSchema";

// Reads the XML bodies of REST requests into the gateway's records.
//
// One process-wide instance (Instance()); tests may build their own. Its keyword maps are
// built by the constructor and only read afterwards, so the operations may run on any
// thread. Every operation returns 0 on success and non-zero on failure; a failed parse
// may leave its target partly filled, and callers discard it. Every failure is logged
// (through the parser's logger, always off) and kept, with the warnings of the same call,
// in lastMessages() of the calling thread.
//
// Elements of the gateway schema are looked up with the prefix that the root element
// binds to ORQ_GATEWAY_SCHEMA_URI, or by their bare name when no such prefix is declared;
// the REST schema's prefix is found the same way. Texts longer than MAX_DOCUMENT_SIZE
// and documents nested deeper than the XML library's limit are refused.
class XMLMsgParser {
  public:
    static constexpr size_t MAX_DOCUMENT_SIZE = 64 * 1024;

    // Results of getCallback and getStartupAttributeInfo beyond 0 and 1.
    static constexpr int PARSE_OK = 0;
    static constexpr int PARSE_BAD_DOCUMENT = 1;     // not an XML document
    static constexpr int PARSE_MISSING_ELEMENT = 2;  // the document's element is absent
    static constexpr int PARSE_BAD_VALUE = 3;        // an element is missing or invalid

    static XMLMsgParser* Instance();

    XMLMsgParser();
    ~XMLMsgParser();
    XMLMsgParser(const XMLMsgParser&) = delete;
    XMLMsgParser& operator=(const XMLMsgParser&) = delete;

    // Builds the keyword maps (device type, filter level, decode level).
    void init();

    // Parses `text` into `document`; returns the root element, or null for an unparsable
    // text or a missing root. `rootName` gets the root's name without prefix; the two
    // prefixes are empty when the root declares none.
    const tinyxml2::XMLElement* getRoot(tinyxml2::XMLDocument& document, const char* text,
                                        std::string& rootName, std::string& orqPrefix,
                                        std::string& restPrefix);
    // The first child of `parent` named prefix ":" name (or name when the prefix is
    // empty), or, when `after` is given, the next such sibling of `after`.
    const tinyxml2::XMLElement* getNode(const tinyxml2::XMLElement* parent,
                                        const std::string& prefix, const char* name,
                                        const tinyxml2::XMLElement* after = nullptr) const;

    // Low-level readers of one child `name` of `parent`.
    // Address: mode 3 with 8 bytes most significant first (the order of the network
    // database, which the composer folds back into the same number), or mode 2 with 2 bytes
    // most significant first (the byte order of Message).
    int parseAddress(const tinyxml2::XMLElement* parent, const std::string& prefix,
                     const char* name, uint8_t& mode, uint8_t addr[8]);
    // Device: Address (an IEEE address, as the bare number or in IeeeAddress) and Endpoint.
    int parseDeviceElement(const tinyxml2::XMLElement* parent, const std::string& prefix,
                           const char* name, uint8_t ieee[8], long& endpoint);
    int parseTxOptions(const tinyxml2::XMLElement* parent, const std::string& prefix,
                       const char* name, uint8_t& txOptions);
    int parseBoolean(const tinyxml2::XMLElement* parent, const std::string& prefix,
                     const char* name, bool& value);
    int parseLong(const tinyxml2::XMLElement* parent, const std::string& prefix, const char* name,
                  long& value, int base, long min, long max);
    int parseHex(const tinyxml2::XMLElement* parent, const std::string& prefix, const char* name,
                 std::vector<uint8_t>& bytes);
    int parseEnumeration(const tinyxml2::XMLElement* parent, const std::string& prefix,
                         const char* name, const std::map<std::string, int>& keywords, int& value);

    // Request documents.
    int getZCLCommandToWSN(Message* msg, const char* text);
    int getZDPCommandToWSN(Message* msg, const char* text);
    int getAPSMessageToWSN(Message* msg, const char* text);
    int getBindindCommand(ZB_BIND_STRUCT* bind, const char* text);
    int getSimpleDescriptor(SimpleDescriptor* sd, const char* text);
    int getJoiningInfoValues(int* duration, bool* tcSignificance, const char* text);
    // 0, or PARSE_BAD_DOCUMENT, PARSE_MISSING_ELEMENT (no Callback element) or
    // PARSE_BAD_VALUE.
    int getCallback(Callback* cb, const char* text);
    // 0, or PARSE_BAD_DOCUMENT, PARSE_MISSING_ELEMENT (none of the set's elements) or
    // PARSE_BAD_VALUE.
    int getStartupAttributeInfo(StartupAttributeInfo* info, const char* text);
    int getValue(unsigned long& value, const char* text);
    int getValue(std::string& value, const char* text);
    int getValueAttribute(std::string* value, const std::string* text);

    // Failures and warnings of the calling thread's last operation, in order.
    const std::vector<std::string>& lastMessages() const;

    const std::map<std::string, int>& deviceTypes() const { return deviceTypeMap; }
    const std::map<std::string, int>& filterLevels() const { return filterLevelMap; }
    const std::map<std::string, int>& decodeLevels() const { return decodeLevelMap; }

  private:
    struct Doc;
    // getRoot into the document and prefixes of `doc`.
    const tinyxml2::XMLElement* openRoot(Doc& doc, const char* text);
    // The element `rootName`: the root itself, or a child of the root. When there is none,
    // reports `notFound` and sets *failure (when given) to PARSE_BAD_DOCUMENT or
    // PARSE_MISSING_ELEMENT.
    const tinyxml2::XMLElement* openDocument(Doc& doc, const char* text, const char* rootName,
                                             const char* notFound, int* failure = nullptr);
    // getNode; an absent child is reported as "<reader> - <name> element not found".
    const tinyxml2::XMLElement* findChild(const char* reader, const tinyxml2::XMLElement* parent,
                                          const std::string& prefix, const char* name);
    // getNode for the request documents; an absent child is reported as
    // "<caller> - WARNING: <name> element not present" (optional) or
    // "<caller> - ERROR: <name> element not present" (required).
    const tinyxml2::XMLElement* optionalChild(const char* caller,
                                              const tinyxml2::XMLElement* parent,
                                              const std::string& prefix, const char* name);
    const tinyxml2::XMLElement* requiredChild(const char* caller,
                                              const tinyxml2::XMLElement* parent,
                                              const std::string& prefix, const char* name);
    // The trimmed text of `element`; false, reported as "<reader> - <name> is empty", when
    // there is none.
    bool nonEmptyText(const char* reader, const tinyxml2::XMLElement* element, const char* name,
                      std::string& text);
    int parseIeee(const char* text, uint8_t ieee[8]) const;
    // parseIeee of the text of `name`/`kind`, with the reports of `reader`.
    int parseIeeeText(const char* reader, const char* name, const char* kind,
                      const std::string& text, uint8_t ieee[8]);
    // parseLong and parseEnumeration on one given element (for repeated elements).
    int parseLongElement(const tinyxml2::XMLElement* element, const char* name, long& value,
                         int base, long min, long max);
    int parseEnumerationElement(const tinyxml2::XMLElement* element, const char* name,
                                const std::map<std::string, int>& keywords, int& value);
    // Fields of the ZCL, ZDP and APS documents into `msg`: the destination address named
    // `name`, and the TxOptions element.
    int parseDestination(const tinyxml2::XMLElement* parent, const std::string& prefix,
                         const char* name, Message* msg);
    int parseTxSettings(const tinyxml2::XMLElement* parent, const std::string& prefix,
                        Message* msg);
    void report(int type, const char* format, ...) __attribute__((format(printf, 3, 4)));
    void begin();

    std::unique_ptr<Debug> pLogger;
    std::map<std::string, int> deviceTypeMap;
    std::map<std::string, int> filterLevelMap;
    std::map<std::string, int> decodeLevelMap;
};

// Writes the XML text that the REST layer sends: reply documents, fragments for their
// Detail element, and event documents for URI listeners.
//
// One process-wide instance (Instance()); tests may build their own. The name-space
// setting is made once at start-up (enableNamespaces) before requests are served; after
// that the composer holds no mutable state and its operations run on any thread. The
// records it reads are protected by their owners' locks, held by the callers.
//
// Values written as element content are escaped (&, <, >); texts without those
// characters come out unchanged. Fragments passed in to be embedded (the Detail of the
// reply document, the text of a polled message) are inserted as they are.
class XMLMsgComposer {
  public:
    static XMLMsgComposer* Instance();

    XMLMsgComposer();
    ~XMLMsgComposer();
    XMLMsgComposer(const XMLMsgComposer&) = delete;
    XMLMsgComposer& operator=(const XMLMsgComposer&) = delete;

    void init();
    // true: elements carry the prefixes "orq" (gateway schema) and "tns" (REST schema);
    // false (the default): no prefixes.
    void enableNamespaces(bool enable);
    bool namespacesEnabled() const { return orqPrefix != nullptr; }

    // Leading hexadecimal digits of `text` (like "%x"); 0 for null or no digits.
    static unsigned long hexStringToInt(const char* text);
    // Eight bytes, the first the most significant.
    static unsigned long long ieeeAddrToULongLong(const uint8_t* bytes);
    // `text` with &, < and > replaced by entity references and control characters that
    // XML cannot carry replaced by '?'.
    static std::string escape(const std::string& text);

    // The reply document Info; every text argument may be null. `detail` is a fragment
    // inserted as it is; `eventCallbackIdentifier` is hexadecimal text written in decimal.
    std::string createRestInfoMsg(int code, const char* message, const char* detail,
                                  const char* requestIdentifier,
                                  const char* eventCallbackIdentifier, const char* nwkStatus);
    std::string createSuccessMsg(const char* detail, const char* nwkStatus,
                                 const char* requestIdentifier);
    std::string createErrorMsg(int code, const char* message, const char* nwkStatus,
                               const char* requestIdentifier);

    // Fragments. The int `tag` some operations take is the caller's and is not written.
    std::string createVersionMsg();
    std::string createGetAttributeMsg(const char* value);
    std::string setAttributeMsg();
    std::string createGenericResponseMsg();
    std::string createWSNNodeMsg(int tag, Node* node);
    std::string createWSNNodesListMsg(int tag, ZbNetDb* db);
    // Active nodes, or every node when `all` is -1.
    std::string createAliasesMsg(int all, ZbNetDb* db);
    std::string createNodeDescMsg(int tag, const NodeDescriptor* nodeDescriptor);
    std::string createNodeDescMsg(int tag, Node* node);
    std::string createPowerDescMsg(int tag, unsigned short nwkAddr, const uint8_t* ieee,
                                   PowerDescriptor* powerDescriptor);
    std::string createGetNodeBindingMsg(int tag, int entries, int startIndex, int count,
                                        const ZB_BIND_STRUCT* list);
    std::string createLQIInformationMsg(ZbNetDb* db);
    std::string createAllNodesServiceDescMsg(int tag, ZbNetDb* db);
    std::string createActiveEndPointMsg(int tag, Node* node);
    std::string createActiveEndPointLocalNodeMsg(int count, const int* endPoints);
    std::string createServiceDescriptorMsg(int tag, Node* node, int endPoint);
    std::string createLocalNodeEndpointMsg(int tag, SimpleDescriptor* simpleDescriptor);
    // Identifiers are hexadecimal texts, written in decimal.
    std::string createCallbackIdentifierMsg(const char* id);
    std::string createCallbacksMsg(const std::vector<std::string>& ids);
    std::string createAPSResultMsg(int confirmStatus, unsigned int txTime);
    std::string createZCLMessage(int apsStatus, unsigned int rxTime, Message* message);
    std::string createZDPMessage(int apsStatus, unsigned int rxTime, Message* message);
    std::string createRXMessageMsg(Message* message);
    // `text` (a fragment) follows AppliedDecodeSpecification unchanged.
    std::string createPolledAPSMessage(const std::string& text);

    // Fragments without prefixes, whatever the name-space setting.
    std::string createGwStatusChangedMsg(GwDescriptor* gwDescriptor);
    std::string createWsncWSNConnEventMsg(int endPoint, const char* uriListener,
                                          const char* status);
    // One Resource element per child name, in order (the names of a resource's children).
    std::string createResourceInfoMsg(const std::vector<std::string>& childNames);

    // The second message format: a whole document of its own.
    std::string createRXMessageMsg_BC(Message* message);

  private:
    // The address and payload buffers of a message, with their lengths (0 for a null
    // buffer).
    struct MessageBytes {
        explicit MessageBytes(const Message& message);
        const uint8_t* src = nullptr;
        int srcLength = 0;
        const uint8_t* dst = nullptr;
        int dstLength = 0;
        const uint8_t* payload = nullptr;
        uint16_t payloadLength = 0;
    };

    // The append forms write into `out` without temporaries: the large documents (node lists
    // of thousands of nodes) are composed into one buffer.
    void appendOpen(std::string& out, const char* prefix, const char* name) const;
    void appendClose(std::string& out, const char* prefix, const char* name) const;
    void appendElement(std::string& out, const char* prefix, const char* name, const char* content,
                       size_t length) const;
    void appendUnsignedElement(std::string& out, const char* prefix, const char* name,
                               unsigned long long value) const;
    // The fixed text of an address block (inside an element `wrapper` unless it is null),
    // around its two numbers: composed once for a list, so that each node costs a few appends.
    struct AddressBlockTags {
        std::string head, middle, tail;
    };
    AddressBlockTags addressBlockTags(const char* wrapper) const;
    void appendAddressBlock(std::string& out, const AddressBlockTags& tags, Node* node) const;
    std::string open(const char* prefix, const char* name) const;
    std::string close(const char* prefix, const char* name) const;
    std::string emptyElement(const char* prefix, const char* name) const;
    std::string element(const char* prefix, const char* name, const std::string& content) const;
    std::string textElement(const char* prefix, const char* name, const std::string& text) const;
    std::string numberElement(const char* prefix, const char* name, long long value) const;
    std::string unsignedElement(const char* prefix, const char* name,
                                unsigned long long value) const;
    std::string booleanElement(const char* prefix, const char* name, bool value) const;
    std::string hexElement(const char* prefix, const char* name, const uint8_t* bytes,
                           size_t length) const;
    std::string addressBlock(Node* node) const;
    // The content of a NodeServices element: address block and active end points.
    std::string nodeServicesBlock(Node* node) const;
    std::string addressByMode(const char* name, uint8_t mode, const uint8_t* addr,
                              int length) const;
    // False, after the warning "WARNING: Message Empty!", for a null message.
    bool haveMessage(const Message* message) const;
    // The texts `text` makes of the nodes of `db` (the active ones only when `activeOnly`),
    // in the order of its node table, with the database's lock held; empty for a null `db`.
    std::string nodesText(ZbNetDb* db, bool activeOnly,
                          const std::function<std::string(Node*)>& text) const;
    // The same, each node's text appended to `out` by `append`.
    void appendNodes(std::string& out, ZbNetDb* db, bool activeOnly,
                     const std::function<void(std::string&, Node*)>& append) const;

    std::unique_ptr<Debug> pLogger;
    bool debugEnabled = false;
    static XMLMsgComposer* pInstance;
    const char* orqPrefix = nullptr;
    const char* restPrefix = nullptr;
};

#endif
