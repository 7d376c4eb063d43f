// Wiping: every owner of a secret leaves none of its bytes in memory it gives
// back or keeps. Bytes are read through the release observer (before the
// block is freed) or through volatile reads of storage the test owns, so no
// read of a dead object is left for the compiler to drop.
#include <gtest/gtest.h>

#include <cstring>
#include <functional>
#include <map>
#include <new>
#include <string>
#include <vector>

#include "output/display.h"
#include "state/console.h"
#include "store/entry.h"

namespace {

bool all_zero(const volatile unsigned char *bytes, std::size_t size) {
    for (std::size_t i = 0; i < size; ++i)
        if (bytes[i] != 0) return false;
    return true;
}

// Copies of the blocks free_secret releases while it lives, by address.
std::map<const void *, std::string> *released = nullptr;

struct release_recorder {
    std::map<const void *, std::string> blocks;
    release_recorder() {
        released = &blocks;
        set_release_observer([](const void *block, std::size_t size) {
            (*released)[block].assign(static_cast<const char *>(block), size);
        });
    }
    ~release_recorder() { set_release_observer(nullptr); }
    // Whether `block` was released at least `size` bytes long, all wiped.
    bool wiped(const void *block, std::size_t size) const {
        auto it = blocks.find(block);
        return it != blocks.end() && it->second.size() >= size &&
               all_zero(reinterpret_cast<const unsigned char *>(it->second.data()),
                        it->second.size());
    }
};

}  // namespace

TEST(Wipe, SecretBufferLeavesNoByteOfWhatItHeld) {
    const struct {
        const char *name;
        std::vector<std::string> writes;  // each written with its NUL
    } cases[] = {
        {"typed secret", {"correct horse"}},
        {"longest line", {std::string(input_buffer_size - 1, 'x')}},
        {"short secret over a longer one", {"a much longer secret", "short"}},
    };
    for (const auto &c : cases) {
        alignas(secret_buffer) unsigned char storage[sizeof(secret_buffer)];
        auto *buffer = new (storage) secret_buffer;
        // Volatile stores: the compiler may not drop them before the destructor.
        volatile char *data = buffer->data;
        for (const std::string &w : c.writes)
            for (std::size_t i = 0; i <= w.size(); ++i) data[i] = w.c_str()[i];
        // Read through a pointer the compiler cannot trace to the dead object.
        unsigned char *volatile bytes = storage;
        buffer->~secret_buffer();
        EXPECT_TRUE(all_zero(bytes, sizeof storage)) << c.name;
    }
}

TEST(Wipe, EntryPrinterKeepsAndReleasesNoPassword) {
    entry_ptr shown(entry_new("mail", "me", "example.org", "hunter2-secret", "n"));
    entry_ptr masked(entry_new(std::string(300, 't').c_str(), "me", "u", "p", "n"));
    const struct {
        const char *name;
        bool masked_first;  // the password then lands in a buffer already used
    } cases[] = {{"fresh printer", false}, {"printer reused", true}};
    for (const auto &c : cases) {
        release_recorder recorder;
        const void *block = nullptr;
        std::size_t written = 0;
        {
            entry_printer printer;
            auto print = [&](const entry *e, int show_password) {
                testing::internal::CaptureStdout();
                printer.print(e, show_password, 0);
                std::fflush(stdout);
                return testing::internal::GetCapturedStdout();
            };
            if (c.masked_first) print(masked.get(), 0);
            std::string out = print(shown.get(), 1);
            ASSERT_NE(out.find("hunter2-secret"), std::string::npos) << c.name;
            block = printer.buffer().c_str();
            written = out.size() + 1;  // the text block and its NUL
            EXPECT_TRUE(all_zero(static_cast<const unsigned char *>(block), written)) << c.name;
        }
        EXPECT_TRUE(recorder.wiped(block, written)) << c.name;
    }
}

// Notes hold one-time-code seeds and card numbers: wiped like passwords.
TEST(Wipe, EntryPasswordsAndNotesAreWipedWhenTheirOwnerReleasesThem) {
    const struct {
        const char *name;
        std::function<entry *()> make;
    } cases[] = {
        {"single entry", [] { return entry_new("t", "u", "l", "pw-single", "n"); }},
        {"list released from its head",
         [] {
             entry *head = entry_new("dummy", "dummy", "dummy", "dummy", "dummy");
             entry_append(entry_append(head, "a", "u", "l", "pw-first", "n"), "b", "u", "l",
                          "pw-second", "n");
             return head;
         }},
        {"copy", [] {
             entry_ptr source(entry_new("t", "u", "l", "pw-copied", "n"));
             return entry_copy(source.get());
         }},
        {"filled field by field as the store does", [] {
             entry *e = entry_alloc();
             e->password = xstrdup("pw-from-a-row");
             e->notes = xstrdup("otpauth://totp/x?secret=JBSWY3DPEHPK3PXP");
             return e;
         }},
        {"empty password", [] { return entry_new("t", "u", "l", "", "n"); }},
    };
    for (const auto &c : cases) {
        entry_ptr owner(c.make());
        std::map<const void *, std::size_t> passwords;
        for (const entry *e = owner.get(); e != nullptr; e = e->next)
            for (const char *text : {e->password, e->notes})
                if (text != nullptr) passwords[text] = std::strlen(text) + 1;
        release_recorder recorder;
        owner.reset();
        for (const auto &[block, size] : passwords)
            EXPECT_TRUE(recorder.wiped(block, size)) << c.name;
    }
}
