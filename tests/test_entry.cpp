// Entry record and entry list: construction, appending, copying, release.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdint>
#include <cstring>

#include "memory/secret.h"
#include "store/entry.h"

namespace {

int chain_length(const entry *e) {
    int n = 0;
    for (; e != nullptr; e = e->next) ++n;
    return n;
}

entry *new_head() {
    return entry_new("dummy", "dummy", "dummy", "dummy", "dummy");
}

}  // namespace

TEST(Entry, NewCopiesEveryTextAndKeepsEmptyTexts) {
    char title[] = "title";
    entry *e = entry_new(title, "", "url", "secret", "");
    title[0] = 'X';  // the entry holds its own copy
    EXPECT_STREQ(e->title, "title");
    ASSERT_NE(e->user, nullptr);
    EXPECT_STREQ(e->user, "");
    EXPECT_STREQ(e->url, "url");
    EXPECT_STREQ(e->password, "secret");
    ASSERT_NE(e->notes, nullptr);
    EXPECT_STREQ(e->notes, "");
    EXPECT_EQ(e->timestamp, nullptr);
    EXPECT_EQ(e->next, nullptr);
    entry_free(e);
}

TEST(Entry, AllocIsBlankAndFreesWithIdMinusOne) {
    entry *e = entry_alloc();
    EXPECT_EQ(e->title, nullptr);
    EXPECT_EQ(e->password, nullptr);
    EXPECT_EQ(e->timestamp, nullptr);
    EXPECT_EQ(e->next, nullptr);
    e->id = -1;  // the shape db_get_entry hands out when nothing matched
    entry_free(e);
    entry_free(nullptr);
}

TEST(Entry, AppendLinksAfterTheLastEntryOfTheChain) {
    entry *head = new_head();
    entry *first = entry_append(head, "1", "u", "l", "p", "n");
    EXPECT_EQ(head->next, first);
    EXPECT_EQ(first->next, nullptr);
    EXPECT_STREQ(first->title, "1");

    entry *second = entry_append(head, "2", "u", "l", "p", "n");
    entry *third = entry_append(head, "3", "u", "l", "p", "n");
    EXPECT_EQ(first->next, second);
    EXPECT_EQ(second->next, third);

    // Given an entry in the middle, the walk still reaches the end.
    entry *fourth = entry_append(first, "4", "u", "l", "p", "n");
    EXPECT_EQ(third->next, fourth);
    EXPECT_EQ(first->next, second);
    EXPECT_EQ(chain_length(head), 5);
    entry_free(head);
}

TEST(Entry, AppendWithoutListReturnsLoneEntry) {
    entry *e = entry_append(nullptr, "t", "u", "l", "p", "n");
    EXPECT_EQ(e->next, nullptr);
    EXPECT_EQ(e->timestamp, nullptr);
    EXPECT_STREQ(e->notes, "n");
    entry_free(e);
}

TEST(Entry, CopyTakesTheFiveTextsOnly) {
    entry *head = new_head();
    entry *source = entry_append(head, "t", "u", "l", "p", "n");
    entry_append(head, "other", "u", "l", "p", "n");
    source->id = 7;
    source->timestamp = xstrdup("2024-01-02 03:04:05");

    entry *copy = entry_copy(source);
    EXPECT_STREQ(copy->title, "t");
    EXPECT_STREQ(copy->user, "u");
    EXPECT_STREQ(copy->url, "l");
    EXPECT_STREQ(copy->password, "p");
    EXPECT_STREQ(copy->notes, "n");
    EXPECT_NE(copy->password, source->password);
    EXPECT_EQ(copy->timestamp, nullptr);
    EXPECT_EQ(copy->next, nullptr);
    entry_free(copy);
    entry_free(head);
}

// A recursive release would run out of stack long before the end.
TEST(Entry, FreeOfAMillionEntriesDoesNotRecurse) {
    entry *head = new_head();
    entry *tail = head;
    for (int i = 0; i < 1000000; ++i) tail = entry_append(tail, "t", "u", "l", "p", "n");
    EXPECT_EQ(tail->next, nullptr);
    entry_free(head);
}

// malloc(0) may hand out a block of no bytes; a byte written into the
// block xmalloc(0) gives must stay inside it (the sanitizers would say).
TEST(Entry, XmallocOfZeroBytesIsAUsableBlock) {
    auto *block = static_cast<volatile char *>(xmalloc(0));
    block[0] = 'x';
    EXPECT_EQ(block[0], 'x');
    std::free(const_cast<char *>(block));
}

TEST(EntryDeathTest, XmallocFailureAborts) {
#if defined(__SANITIZE_ADDRESS__)
    GTEST_SKIP() << "AddressSanitizer reports the huge request itself";
#else
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_DEATH(xmalloc(SIZE_MAX / 2), "^Malloc failed\\. Abort\\.\n$");
#endif
}
