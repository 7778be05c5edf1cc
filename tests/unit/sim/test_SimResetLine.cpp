// zbsim's reset line: what written to it counts as a reset, as a FIFO or as a file.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <string>

#include "SimResetLine.h"

namespace {
struct TempDir {
    std::string path;
    TempDir() {
        char t[] = "/tmp/zbsim-resetline-XXXXXX";
        path = mkdtemp(t);
    }
    ~TempDir() { rmdir(path.c_str()); }
};

void writeTo(const std::string& path, const std::string& text) {
    const int fd = open(path.c_str(), O_WRONLY | O_NONBLOCK);
    ASSERT_GE(fd, 0) << path;
    ASSERT_EQ(static_cast<ssize_t>(text.size()), write(fd, text.data(), text.size()));
    close(fd);
}
}  // namespace

TEST(SimResetLine, AFifoIsMadeWhenAbsentAndResetCountsOnceEvenInPieces) {
    TempDir dir;
    const std::string path = dir.path + "/cmd";
    {
        zbsim::ResetLine line;
        std::string err;
        ASSERT_TRUE(line.open(path, err)) << err;
        struct stat st;
        ASSERT_EQ(0, stat(path.c_str(), &st));
        EXPECT_TRUE(S_ISFIFO(st.st_mode));
        EXPECT_GE(line.pollFd(), 0);

        EXPECT_FALSE(line.takeReset());
        writeTo(path, "re");
        EXPECT_FALSE(line.takeReset());
        writeTo(path, "set\n");
        EXPECT_TRUE(line.takeReset());
        EXPECT_FALSE(line.takeReset());  // nothing new
        writeTo(path, "hello\n");
        EXPECT_FALSE(line.takeReset());
    }
    struct stat st;
    EXPECT_NE(0, stat(path.c_str(), &st));  // made by the line, removed with it
}

TEST(SimResetLine, AFileIsEmptiedOnceReadAndOtherKindsAreRefused) {
    TempDir dir;
    const std::string path = dir.path + "/cmd";
    std::ofstream(path) << "";
    {
        zbsim::ResetLine line;
        std::string err;
        ASSERT_TRUE(line.open(path, err)) << err;
        EXPECT_LT(line.pollFd(), 0);  // looked at, not polled
        EXPECT_FALSE(line.takeReset());
        std::ofstream(path) << "reset\n";
        EXPECT_TRUE(line.takeReset());
        EXPECT_FALSE(line.takeReset());
        struct stat st;
        ASSERT_EQ(0, stat(path.c_str(), &st));
        EXPECT_EQ(0, st.st_size);
    }
    EXPECT_EQ(0, unlink(path.c_str()));  // a file it did not make stays

    zbsim::ResetLine notALine;
    std::string err;
    EXPECT_FALSE(notALine.open(dir.path, err));
    EXPECT_NE(std::string::npos, err.find("neither a FIFO nor a regular file")) << err;
}
