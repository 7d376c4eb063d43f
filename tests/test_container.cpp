// Container detection: purely positional, the magic 148 bytes before the end.
#include <gtest/gtest.h>

#include <string>

#include "container/container.h"
#include "container/crypt.h"
#include "container/format.h"
#include "container_support.h"

using namespace container_test;

namespace {

const std::string magic = "FuI3";

bool detect(const std::string &path, const std::string &bytes) {
    write_file(path, bytes);
    return is_encrypted_file(path.c_str());
}

}  // namespace

TEST(ContainerDetection, MagicCountsOnlyExactly148BytesBeforeTheEnd) {
    scratch_dir dir;
    std::string f = dir.file("f");
    std::string filler(200, 'x');

    EXPECT_FALSE(detect(f, ""));
    EXPECT_FALSE(detect(f, magic + std::string(143, 'x'))) << "147 bytes is too short";
    EXPECT_TRUE(detect(f, magic + std::string(144, 'x'))) << "exactly 148 bytes";
    EXPECT_FALSE(detect(f, "xFuI" + std::string(144, 'x')));
    EXPECT_TRUE(detect(f, filler + magic + std::string(144, '\0')));
    EXPECT_FALSE(detect(f, filler + magic + std::string(143, '\0')));
    EXPECT_FALSE(detect(f, filler + magic + std::string(145, '\0')));
    EXPECT_FALSE(detect(f, magic + filler));
    EXPECT_FALSE(detect(f, filler + magic));
    EXPECT_FALSE(detect(f, filler + "FuI4" + std::string(144, '\0')));
}

TEST(ContainerDetection, AFileThatStartsWithSQLitesHeaderIsNeverAContainer) {
    scratch_dir dir;
    std::string f = dir.file("f");
    const std::string header("SQLite format 3\0", 16);
    const std::string tail = magic + std::string(144, '\0');
    struct {
        std::string bytes;
        bool container;
    } cases[] = {
        {header + std::string(4096, 'x') + tail, false},
        {header + tail, false},
        {header.substr(0, 15) + "4" + std::string(100, 'x') + tail, true},
        {"SQLite format 2" + std::string(1, '\0') + tail, true},
        {header.substr(0, 15) + tail, true},  // 15 bytes of it are no header
        {header, false},
    };
    for (const auto &c : cases) {
        EXPECT_EQ(detect(f, c.bytes), c.container) << c.bytes.size() << " bytes";
        EXPECT_EQ(is_container_bytes(reinterpret_cast<const unsigned char *>(c.bytes.data()),
                                     c.bytes.size()),
                  c.container)
            << c.bytes.size() << " bytes in memory";
    }
}

TEST(ContainerDetection, OneByteMoreOrLessMakesAContainerPlain) {
    scratch_dir dir;
    std::string f = dir.file("db");
    write_file(f, pseudo_random_bytes(1000, 1));
    ASSERT_TRUE(encrypt_file("pw", f.c_str()));
    std::string container = read_file(f);
    ASSERT_TRUE(is_encrypted_file(f.c_str()));

    EXPECT_FALSE(detect(f, container + "x"));
    EXPECT_FALSE(detect(f, container.substr(0, container.size() - 1)));
    EXPECT_TRUE(detect(f, container.substr(1))) << "the front is not examined; the MAC is";
    EXPECT_TRUE(detect(f, "plain text in front" + container.substr(container.size() - 148)))
        << "nothing but the position of the magic is examined";
}

TEST(ContainerDetection, MissingFileAndNonRegularFiles) {
    scratch_dir dir;
    std::string missing = dir.file("missing");
    testing::internal::CaptureStderr();
    EXPECT_FALSE(is_encrypted_file(missing.c_str()));
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "Failed to open file.\n");
    EXPECT_FALSE(exists(missing));

    // Neither a folder nor a FIFO is a container, and a FIFO must not hang.
    std::string fifo = dir.file("fifo");
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
    testing::internal::CaptureStderr();
    EXPECT_FALSE(is_encrypted_file(dir.path().c_str()));
    EXPECT_FALSE(is_encrypted_file(fifo.c_str()));
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
}
