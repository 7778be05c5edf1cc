#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <string>

#include "StaticFiles.h"

namespace {

// A served directory with an outside neighbour: root/ holds the page, a subdirectory, a
// hidden file and links (one inside, two leading out); secret.txt lies beside root/.
class StaticFilesTest : public ::testing::Test {
  protected:
    void SetUp() override {
        char pattern[] = "/tmp/orq-static-XXXXXX";
        ASSERT_NE(mkdtemp(pattern), nullptr);
        top = pattern;
        root = top + "/root";
        ASSERT_EQ(mkdir(root.c_str(), 0755), 0);
        ASSERT_EQ(mkdir((root + "/vendor").c_str(), 0755), 0);
        write(root + "/index.html", "<p>page</p>");
        write(root + "/app.js", "export {};");
        write(root + "/vendor/lib.mjs", "export default 1;");
        write(root + "/.hidden", "hidden");
        write(top + "/secret.txt", "secret");
        ASSERT_EQ(symlink("app.js", (root + "/inside.js").c_str()), 0);
        ASSERT_EQ(symlink((top + "/secret.txt").c_str(), (root + "/out.txt").c_str()), 0);
        ASSERT_EQ(symlink(top.c_str(), (root + "/up").c_str()), 0);
    }
    void TearDown() override {
        std::string cmd = "rm -rf '" + top + "'";
        ASSERT_EQ(std::system(cmd.c_str()), 0);
    }
    static void write(const std::string& path, const std::string& text) {
        std::ofstream(path) << text;
    }
    std::string top;
    std::string root;
};

}  // namespace

TEST(StaticFilesPaths, CleansEmptySegmentsAndRefusesEscapesAndHiddenNames) {
    const struct {
        const char* relative;
        bool accepted;
        const char* cleaned;
    } cases[] = {
        {"", true, "index.html"},
        {"app.js", true, "app.js"},
        {"vendor//lib.mjs", true, "vendor/lib.mjs"},
        {"/vendor/", true, "vendor/index.html"},
        {"..", false, ""},
        {"../secret.txt", false, ""},
        {"vendor/../../secret.txt", false, ""},
        {"vendor/..", false, ""},
        {"./app.js", false, ""},
        {".hidden", false, ""},
        {"vendor/.git/config", false, ""},
        {"..\\secret.txt", false, ""},
        {"a\\b", false, ""},
        {"app.js\n", false, ""},
        {"app.js..", true, "app.js.."},
    };
    for (const auto& c : cases) {
        std::string cleaned;
        EXPECT_EQ(StaticFiles::cleanRelative(c.relative, &cleaned), c.accepted) << c.relative;
        if (c.accepted) {
            EXPECT_EQ(cleaned, c.cleaned) << c.relative;
        }
    }
}

TEST(StaticFilesPaths, ClaimsThePrefixAndWhatLiesBelowItOnly) {
    StaticFiles files("/ui", "/nonexistent");
    const struct {
        const char* path;
        bool claimed;
    } cases[] = {{"/ui", true},      {"/ui/", true}, {"/ui/app.js", true},
                 {"/uix", false},    {"/u", false},  {"/", false},
                 {"/net/ui", false}, {"ui/", false}, {"/UI/", false}};
    for (const auto& c : cases) {
        EXPECT_EQ(files.claims(c.path), c.claimed) << c.path;
    }
}

TEST_F(StaticFilesTest, ServesFilesInsideTheRootWithTheirTypeAndNothingOutside) {
    StaticFiles files("/ui", root);
    const struct {
        const char* method;
        const char* path;
        int status;
        const char* body;
        const char* type;
    } cases[] = {
        {"GET", "/ui/", 200, "<p>page</p>", "text/html; charset=utf-8"},
        {"GET", "/ui/index.html", 200, "<p>page</p>", "text/html; charset=utf-8"},
        {"HEAD", "/ui/app.js", 200, "export {};", "text/javascript; charset=utf-8"},
        {"GET", "/ui/vendor/lib.mjs", 200, "export default 1;", "text/javascript; charset=utf-8"},
        {"GET", "/ui/inside.js", 200, "export {};", "text/javascript; charset=utf-8"},
        {"GET", "/ui/out.txt", 404, nullptr, nullptr},
        {"GET", "/ui/up/secret.txt", 404, nullptr, nullptr},
        {"GET", "/ui/../secret.txt", 404, nullptr, nullptr},
        {"GET", "/ui/.hidden", 404, nullptr, nullptr},
        {"GET", "/ui/vendor", 404, nullptr, nullptr},
        {"GET", "/ui/vendor/", 404, nullptr, nullptr},
        {"GET", "/ui/missing.js", 404, nullptr, nullptr},
        {"POST", "/ui/app.js", 405, nullptr, nullptr},
        {"DELETE", "/ui/", 405, nullptr, nullptr},
        {"PUT", "/ui/index.html", 405, nullptr, nullptr},
    };
    for (const auto& c : cases) {
        const StaticFiles::Reply reply = files.serve(c.method, c.path);
        EXPECT_EQ(reply.status, c.status) << c.method << " " << c.path;
        if (c.body != nullptr) {
            EXPECT_EQ(reply.body, c.body) << c.path;
            EXPECT_EQ(reply.contentType, c.type) << c.path;
        }
    }
    const StaticFiles::Reply bare = files.serve("GET", "/ui");
    EXPECT_EQ(bare.status, 301);
    EXPECT_EQ(bare.location, "/ui/");
}

TEST_F(StaticFilesTest, AMissingRootServesNothing) {
    StaticFiles files("/ui", top + "/absent");
    EXPECT_EQ(files.serve("GET", "/ui/").status, 404);
    EXPECT_EQ(files.serve("GET", "/ui/index.html").status, 404);
}

TEST(StaticFilesTypes, ByExtensionWithBytesForTheUnknown) {
    const struct {
        const char* name;
        const char* type;
    } cases[] = {{"a.css", "text/css; charset=utf-8"},
                 {"a.png", "image/png"},
                 {"a.svg", "image/svg+xml"},
                 {"a.json", "application/json"},
                 {"a.js.map", "application/octet-stream"},
                 {"Makefile", "application/octet-stream"}};
    for (const auto& c : cases) {
        EXPECT_STREQ(StaticFiles::contentType(c.name), c.type) << c.name;
    }
}
