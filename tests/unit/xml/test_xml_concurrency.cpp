#include <gtest/gtest.h>
#include <tinyxml2.h>

#include <atomic>
#include <mutex>
#include <string>
#include <thread>

#include "CMessage.h"
#include "XMLProcessor.h"
#include "ZbNetDb.h"

namespace {

// The REST handlers parse on the main thread while the broker's attach hooks and agents'
// callbacks compose on others: one parser and one composer serve them all.
TEST(XmlConcurrency, ParsersOnTwoThreadsKeepTheirOwnResultsAndMessages) {
    XMLMsgParser parser;
    std::atomic<int> failures{0};
    auto good = [&] {
        for (int i = 0; i < 300; ++i) {
            int duration = 0;
            bool significance = false;
            if (parser.getJoiningInfoValues(
                    &duration, &significance,
                    "<JoiningInfo><PermitDuration>60</PermitDuration><TCSignificance>true"
                    "</TCSignificance></JoiningInfo>") != 0 ||
                duration != 60 || !parser.lastMessages().empty()) {
                ++failures;
            }
        }
    };
    auto bad = [&] {
        for (int i = 0; i < 300; ++i) {
            unsigned long value = 0;
            if (parser.getValue(value, "<Value>x</Value>") != 1 ||
                parser.lastMessages().size() != 1 ||
                parser.lastMessages()[0] != "getValue - Bad long: x") {
                ++failures;
            }
        }
    };
    std::thread a(good);
    std::thread b(bad);
    a.join();
    b.join();
    EXPECT_EQ(failures.load(), 0);
}

TEST(XmlConcurrency, ComposingTheDatabaseWhileNodesComeAndGo) {
    XMLMsgComposer composer;
    composer.enableNamespaces(true);
    ZbNetDb db;
    std::atomic<bool> done{false};
    std::thread writer([&] {
        for (int i = 0; i < 300; ++i) {
            uint8_t ieee[8] = {0, 0, 0, 0, 0, 0, 0, static_cast<uint8_t>(i % 16 + 1)};
            // A Node* is used under the database's lock, as the agents do.
            std::lock_guard<std::recursive_mutex> lock(db.mutex());
            Node* node = db.nodeAnnounce(static_cast<unsigned short>(0x100 + i % 16), ieee, 8);
            if (node != nullptr) {
                db.setActive(node, true);
            }
            if (i % 3 == 0) {
                db.removeNodeByNwkAddr(static_cast<unsigned short>(0x100 + (i + 5) % 16));
            }
        }
        done = true;
    });
    int malformed = 0;
    int passes = 0;
    while (!done || passes < 10) {
        const std::string docs[] = {
            composer.createWSNNodesListMsg(0, &db), composer.createLQIInformationMsg(&db),
            composer.createAliasesMsg(-1, &db), composer.createAllNodesServiceDescMsg(0, &db)};
        for (const std::string& fragment : docs) {
            const std::string wrapped = std::string("<w xmlns:orq=\"") + ORQ_GATEWAY_SCHEMA_URI +
                                        "\" xmlns:tns=\"" + ORQ_REST_SCHEMA_URI + "\">" + fragment +
                                        "</w>";
            tinyxml2::XMLDocument doc;
            if (doc.Parse(wrapped.c_str()) != tinyxml2::XML_SUCCESS) {
                ++malformed;
            }
        }
        ++passes;
    }
    writer.join();
    EXPECT_EQ(malformed, 0);
}

}  // namespace
