// Failures as values: the words kept while a capture lives, in order and
// per capture, and given on one line.
#include <cerrno>
#include <string>

#include <gtest/gtest.h>

#include "state/failure.h"
#include "state/files.h"
#include "state/status.h"

namespace {

TEST(Failure, OnOneLine) {
    struct given {
        const char *said;
        const char *line;
    };
    const given cases[] = {
        {"", "otherwise"},
        {"\n", "otherwise"},
        {"Unable to write x: No space left on device\n", "Unable to write x: No space left on device"},
        {"Failed to open file.\nFile is already decrypted or malformed?\n",
         "Failed to open file.;File is already decrypted or malformed?"},
        {"no newline at the end", "no newline at the end"},
    };
    for (const given &c : cases)
        EXPECT_EQ(failure_line(failure{c.said, 0, {}}, "otherwise"), c.line) << c.said;
}

TEST(Failure, ACaptureKeepsItsOwnWordsAndTheFirstErrno) {
    failure_capture outer;
    say_failure("outer one\n");
    {
        failure_capture inner;
        errno = ENOSPC;
        print_errno("Unable to write f");
        errno = EACCES;
        print_errno("Unable to sync f");
        failure f = inner.take("f");
        EXPECT_EQ(f.said, "Unable to write f: No space left on device\n"
                          "Unable to sync f: Permission denied\n");
        EXPECT_EQ(f.error, ENOSPC);
        EXPECT_EQ(f.file, "f");
        EXPECT_EQ(inner.take().said, "") << "taken once";
    }
    say_failuref("outer %s\n", "two");
    EXPECT_EQ(outer.take().said, "outer one\nouter two\n");
}

}  // namespace

// Each failure a step returns is printed in the words kesp printed for it
// where it was found; the golden tests of the programs hold those words.
TEST(Status, EachFailureSaysKespsOwnWords) {
    struct given {
        status s;
        const char *words;
    };
    auto with = [](status s, std::string replaced) {
        s.replaced = std::move(replaced);
        return s;
    };
    const given cases[] = {
        {status_ok(), ""},
        {failed(fault::wrong_password, "db"), "Invalid password or tampered data. Aborted.\n"},
        {failed(fault::mac, "db"), "Unable to compute the MAC.\n"},
        {failed(fault::not_a_container, "db"), "File is already decrypted or malformed?\n"},
        {followed_by(failed(fault::cannot_detect, "db"), fault::not_a_container),
         "Failed to open file.\nFile is already decrypted or malformed?\n"},
        {followed_by(failed(fault::cannot_detect, "db"), fault::cannot_open_plain),
         "Failed to open file.\nUnable to open db\n"},
        {failed(fault::already_encrypted, "db"), "File is already encrypted.\n"},
        {failed(fault::cannot_open_container, "db", EACCES), "Unable to open db for reading.\n"},
        {failed(fault::cannot_read, "db", EIO), "Unable to read db: Input/output error\n"},
        {failed(fault::changed_while_read, "db"), "db changed while it was read.\n"},
        {failed(fault::not_regular, "d"), "d is not a regular file.\n"},
        {failed(fault::too_large_container, "db"),
         "db is too large for a container: at most 2147483647 bytes.\n"},
        {failed(fault::would_be_too_large, "db"),
         "db would be too large: at most 2147483499 bytes fit a container.\n"},
        {followed_by(failed(fault::cannot_open_random, "/dev/urandom", ENOENT),
                     fault::key_derivation),
         "Cannot open /dev/urandom\nKey derivation failed.\n"},
        {followed_by(failed(fault::short_random, "/dev/urandom"), fault::iv_generation),
         "Short read from /dev/urandom.\nInitialization vector generation failed.\n"},
        {failed(fault::cannot_create, "db.kesp", ENOENT), "Unable to open db.kesp for writing.\n"},
        {failed(fault::cannot_write, "db.kesp", ENOSPC),
         "Unable to write db.kesp: No space left on device\n"},
        {with(failed(fault::cannot_replace, "db.kesp", EISDIR), "db"),
         "Unable to replace db by db.kesp: Is a directory\n"},
        {failed(fault::name_taken, "db", EEXIST), ""},
    };
    for (const given &c : cases) {
        EXPECT_EQ(message(c.s), c.words) << c.words;
        EXPECT_EQ(c.s.ok(), *c.words == '\0' && c.s.what == fault::none) << c.words;
    }
    EXPECT_EQ(status_line(followed_by(failed(fault::cannot_detect, "db"), fault::not_a_container),
                          "otherwise"),
              "Failed to open file.;File is already decrypted or malformed?");
    EXPECT_EQ(status_line(failed(fault::name_taken, "db", EEXIST), "otherwise"), "otherwise");
    EXPECT_TRUE(followed_by(status_ok(), fault::key_derivation).ok()) << "ok stays ok";
}
