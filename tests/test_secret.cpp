// Wiping: every owner of a secret leaves none of its bytes in memory it gives
// back or keeps. Bytes are read through the release observer (before the
// block is freed) or through volatile reads of storage the test owns, so no
// read of a dead object is left for the compiler to drop.
#include <gtest/gtest.h>

#include <sys/mman.h>
#include <unistd.h>

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

// Pages of [data, data + size) now in memory.
std::size_t resident_pages(const unsigned char *data, std::size_t size) {
    const auto page = static_cast<std::uintptr_t>(::sysconf(_SC_PAGESIZE));
    const auto first = reinterpret_cast<std::uintptr_t>(data) & ~(page - 1);
    const std::uintptr_t end = reinterpret_cast<std::uintptr_t>(data) + size;
    std::vector<unsigned char> in((end - first + page - 1) / page);
    EXPECT_EQ(::mincore(reinterpret_cast<void *>(first), end - first, in.data()), 0);
    std::size_t n = 0;
    for (unsigned char c : in) n += c & 1;
    return n;
}

// A big block is wiped where it was written, to its exact ends, without
// faulting in the pages it never used; a small one is wiped whole.
TEST(Wipe, BigBlockIsWipedWhereWrittenAndNowhereElse) {
    constexpr std::size_t mib = std::size_t(1) << 20;
    struct wipe_case {
        const char *name;
        std::size_t size, offset;
        std::vector<std::size_t> written;
        bool whole;  // every page of the block in memory afterwards
    };
    const wipe_case cases[] = {
        {"big, written at the ends and across pages", 8 * mib, 16,
         {0, 4079, 4080, 4 * mib + 1, 8 * mib - 1}, false},
        {"big, never written", 4 * mib, 0, {}, false},
        {"small, wiped whole", mib / 2, 8, {100}, true},
    };
    const std::size_t page = static_cast<std::size_t>(::sysconf(_SC_PAGESIZE));
    for (const wipe_case &c : cases) {
        SCOPED_TRACE(c.name);
        const std::size_t length = c.offset + c.size + page;
        void *region = ::mmap(nullptr, length, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS,
                              -1, 0);
        ASSERT_NE(region, MAP_FAILED);
        ::madvise(region, length, MADV_NOHUGEPAGE);
        auto *bytes = static_cast<unsigned char *>(region);
        unsigned char *block = bytes + c.offset;
        // The bytes just outside the block are someone else's.
        if (c.offset > 0) bytes[c.offset - 1] = 0xAA;
        block[c.size] = 0xAA;
        for (std::size_t at : c.written) block[at] = 0x5A;
        const std::size_t before = resident_pages(block, c.size);
        wipe_resident(block, c.size);
        for (std::size_t at : c.written) EXPECT_EQ(block[at], 0) << "byte " << at;
        if (c.offset > 0) {
            EXPECT_EQ(bytes[c.offset - 1], 0xAA);
        }
        EXPECT_EQ(block[c.size], 0xAA);
        const std::size_t pages = (c.offset + c.size + page - 1) / page - c.offset / page;
        EXPECT_EQ(resident_pages(block, c.size), c.whole ? pages : before);
        ::munmap(region, length);
    }
}

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
