// What a running agent holds, driven without its socket: a failed seal
// keeps the copy and says why in words of the code that failed.
#include <csignal>
#include <cstdio>
#include <filesystem>
#include <functional>
#include <string>
#include <sys/resource.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "agent/holder.h"
#include "container/crypt.h"
#include "container_support.h"
#include "harness/harness.h"
#include "vault/agent_link.h"

namespace fs = std::filesystem;
using container_test::as_string;
using container_test::bytes;

namespace {

const char *const master = "holder master";

// A container with one plain file's bytes, and an agent that unlocked it
// into a copy in its own folder, as unlock leaves it.
struct held {
    harness::scratch_dir dir;
    std::string container = dir.file("work/db");
    agent a;

    held() {
        fs::create_directories(dir.file("work"));
        fs::create_directories(dir.file("agent"));
        const std::string plain = "SQLite format 3 and the rest of a database";
        EXPECT_TRUE(encrypt_to_file(master, bytes(plain), plain.size(), container.c_str(), true));
        a.container = container;
        a.folder = dir.file("agent");
        a.copy = a.folder + "/" + agent_copy_name;
        std::snprintf(a.key.password().data, sizeof a.key.password().data, "%s", master);
        a.container_seen = seen_now(container);
        opened_container o = open_keeping_key(master, container, a.key.key());
        EXPECT_EQ(o.status, open_status::ok);
        EXPECT_TRUE(write_new_file(a.copy, o.plain->data(), o.plain->size()));
        a.take_sealed(std::move(o.plain));
    }

    // A change in the copy that the container does not hold yet.
    void change_copy() {
        std::FILE *f = std::fopen(a.copy.c_str(), "ab");
        ASSERT_NE(f, nullptr);
        std::fputs(" and one change", f);
        std::fclose(f);
    }
};

// Writes beyond `limit` bytes fail with EFBIG, as on a full disk, while it
// lives.
struct file_size_limit {
    rlimit before{};
    explicit file_size_limit(rlim_t limit) {
        std::signal(SIGXFSZ, SIG_IGN);
        ::getrlimit(RLIMIT_FSIZE, &before);
        rlimit now = before;
        now.rlim_cur = limit;
        ::setrlimit(RLIMIT_FSIZE, &now);
    }
    ~file_size_limit() {
        ::setrlimit(RLIMIT_FSIZE, &before);
        std::signal(SIGXFSZ, SIG_DFL);
    }
};

TEST(HeldCopy, AFailedSealSaysWhyAndKeepsTheCopy) {
    struct fault {
        const char *name;
        // Breaks the container's side after the change; returns the reason
        // expected: the words kesp itself prints for that failure, on a line.
        std::function<std::string(held &)> apply;
    };
    const fault faults[] = {
        {"the container's folder is gone",
         [](held &h) {
             fs::rename(h.dir.file("work"), h.dir.file("away"));
             return "Failed to open file.;File is already decrypted or malformed?";
         }},
        {"a folder took the container's place",
         [](held &h) {
             fs::remove(h.container);
             fs::create_directories(h.container);
             return "File is already decrypted or malformed?";
         }},
        {"the container is gone",
         [](held &h) {
             fs::remove(h.container);
             return "Failed to open file.;File is already decrypted or malformed?";
         }},
    };
    for (const fault &f : faults) {
        SCOPED_TRACE(f.name);
        held h;
        h.change_copy();
        const std::string expected = f.apply(h);
        std::string why;
        EXPECT_FALSE(h.a.seal(why));
        EXPECT_EQ(why, expected);
        EXPECT_TRUE(fs::exists(h.a.copy));
        EXPECT_TRUE(holds_unsealed(h.a.copy)) << "the next program keeps the copy";
    }
}

TEST(HeldCopy, ASealThatCannotBeWrittenSaysWhy) {
    held h;
    h.change_copy();
    std::string why;
    {
        // Room for the copy's bytes, not for the container's trailer.
        file_size_limit full(static_cast<rlim_t>(fs::file_size(h.a.copy)));
        EXPECT_FALSE(h.a.seal(why));
    }
    EXPECT_EQ(why, "Unable to write " + h.container + ".kesp: File too large");
    EXPECT_TRUE(holds_unsealed(h.a.copy));
    // Once there is room again the same change is sealed.
    EXPECT_TRUE(h.a.seal(why)) << why;
    EXPECT_FALSE(holds_unsealed(h.a.copy));
    decrypted d = decrypt_to_memory(master, h.container.c_str());
    ASSERT_EQ(d.status, decrypt_status::ok);
    EXPECT_EQ(as_string(d.plain->data(), d.plain->size()),
              "SQLite format 3 and the rest of a database and one change");
}

}  // namespace
