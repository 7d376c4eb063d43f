// Failures as values: the words kept while a capture lives, in order and
// per capture, and given on one line.
#include <cerrno>
#include <string>

#include <gtest/gtest.h>

#include "state/failure.h"
#include "state/files.h"

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
