// Two terminals at once. A command that waits at a prompt is paused where a
// person would pause it; a command past its prompts is paused by the
// KESP_TEST_STOP_AT hook. Whatever the other terminal did meanwhile, no
// entry is lost or written into another database, and nothing plain is left
// unrecorded.
#include <cstdio>
#include <cstdlib>
#include <algorithm>
#include <fcntl.h>
#include <functional>
#include <sys/file.h>
#include <unistd.h>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "harness/harness.h"

namespace {

using harness::decrypt;
using harness::encrypt;
using harness::is_container;
using harness::read_file;
using harness::sandbox;
using harness::sql;
using dialogue = std::vector<std::pair<std::string, std::string>>;

// a.db active and plain with one entry "a-one"; b.db a container (password
// "pw") with one entry "b-one".
struct two_databases {
    sandbox box;
    std::string a = box.path("a.db"), b = box.path("b.db");
    two_databases() {
        harness::make_database(box, b, {{"b-one", "u", "l", "secret-b", "n"}});
        EXPECT_EQ(encrypt(box, "pw").err, "");
        harness::make_database(box, a, {{"a-one", "u", "l", "secret-a", "n"}});
    }
    std::string titles(const std::string &db) { return sql(db, "select title from entries order by id;"); }
};

const dialogue add_answers = {{"Title: ", "new"}, {"Username: ", "u"}, {"Url: ", "l"},
                              {"Notes: ", "n"}, {"Password (empty to generate new): ", "pw-new"}};
const dialogue edit_answers = {{"New title: ", "edited"}, {"New username: ", ""}, {"New url: ", ""},
                               {"New note: ", ""},
                               {"New password (empty to generate new): ", "pw-edited"}};

struct interleaving {
    const char *name;
    std::function<void(two_databases &)> prepare;
    std::vector<std::string> args;  // the first terminal: waits at its last prompt
    dialogue answers;
    std::function<void(two_databases &)> other;  // the second terminal, run to its end
    std::function<std::string(two_databases &)> first_err;
    std::function<void(two_databases &)> check;
};

void nothing(two_databases &) {}

TEST(TwoTerminals, WhatChangedWhileAPromptWaitedIsNotOverwritten) {
    const interleaving cases[] = {
        {"add while -E encrypts", nothing, {"-a"}, add_answers,
         [](two_databases &t) { EXPECT_EQ(encrypt(t.box, "pw").err, ""); },
         [](two_databases &t) { return t.a + " was encrypted or closed while you typed; nothing was changed.\n"; },
         [](two_databases &t) {
             EXPECT_EQ(decrypt(t.box, t.a, "pw").err, "");
             EXPECT_EQ(t.titles(t.a), "a-one\n");
         }},
        {"edit while another database becomes active", nothing, {"-e", "1"}, edit_answers,
         [](two_databases &t) {
             EXPECT_EQ(encrypt(t.box, "pw").err, "");
             EXPECT_EQ(decrypt(t.box, t.b, "pw").err, "");
         },
         [](two_databases &t) {
             return "The active database changed from " + t.a + " to " + t.b +
                    " while you typed; nothing was changed.\n";
         },
         [](two_databases &t) { EXPECT_EQ(t.titles(t.b), "b-one\n"); }},
        {"edit while the same entry is edited", nothing, {"-e", "1"}, edit_answers,
         [](two_databases &t) { EXPECT_EQ(t.box.run({"-e", "1"}, "other\n\n\n\n").err, ""); },
         [](two_databases &) { return std::string("Entry 1 was changed while you typed; nothing was changed.\n"); },
         [](two_databases &t) { EXPECT_EQ(t.titles(t.a), "other\n"); }},
        {"edit while the entry is removed", nothing, {"-e", "1"}, edit_answers,
         [](two_databases &t) { EXPECT_EQ(t.box.run({"-r", "1"}).err, ""); },
         [](two_databases &) { return std::string("Entry 1 was removed while you typed; nothing was changed.\n"); },
         [](two_databases &t) { EXPECT_EQ(t.titles(t.a), ""); }},
        {"decrypt while another is decrypted",
         [](two_databases &t) { EXPECT_EQ(encrypt(t.box, "pw").err, ""); }, {"-D", "a.db"},
         {{"Password: ", "pw"}},
         [](two_databases &t) { EXPECT_EQ(decrypt(t.box, t.b, "pw").err, ""); },
         [](two_databases &) {
             return std::string("Existing database is already active. Encrypt it before decrypting another one.\n");
         },
         [](two_databases &t) {
             EXPECT_TRUE(is_container(t.a));
             EXPECT_EQ(read_file(t.box.pointer_file()), t.b);
         }},
        {"decrypt while another is created",
         [](two_databases &t) { EXPECT_EQ(encrypt(t.box, "pw").err, ""); }, {"-D", "a.db"},
         {{"Password: ", "pw"}},
         [](two_databases &t) { EXPECT_EQ(t.box.run({"-i", "c.db"}).err, ""); },
         [](two_databases &) {
             return std::string("Existing database is already active. Encrypt it before decrypting another one.\n");
         },
         [](two_databases &t) {
             EXPECT_TRUE(is_container(t.a));
             EXPECT_EQ(read_file(t.box.pointer_file()), t.box.path("c.db"));
         }},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        two_databases t;
        c.prepare(t);
        harness::pty_session first(t.box, c.args);
        for (std::size_t i = 0; i + 1 < c.answers.size(); ++i) {
            ASSERT_TRUE(first.expect(c.answers[i].first));
            first.type_line(c.answers[i].second);
        }
        ASSERT_TRUE(first.expect(c.answers.back().first));
        c.other(t);
        first.type_line(c.answers.back().second);
        harness::result r = first.finish();
        EXPECT_EQ(r.err, c.first_err(t));
        c.check(t);
    }
}

// -E holds the lock between reading the plain file and replacing it; a
// second command waits, says so once, and then finds the database gone.
TEST(TwoTerminals, ASecondCommandWaitsForTheLockThenSeesTheResult) {
    const std::vector<std::string> seconds[] = {{"-a"}, {"-e", "1"}, {"-E"}, {"-A"}};
    for (const auto &second_args : seconds) {
        SCOPED_TRACE(second_args[0]);
        two_databases t;
        t.box.env["KESP_TEST_STOP_AT"] = "locked";
        harness::pty_session first(t.box, {"-E"});
        t.box.env.erase("KESP_TEST_STOP_AT");
        ASSERT_TRUE(first.expect("Password: "));
        first.type_line("first");
        ASSERT_TRUE(first.expect("Password again: "));
        first.type_line("first");
        ASSERT_TRUE(first.wait_stopped());

        // The holder is named, and said to be stopped, since it waits for a
        // person (under a wrapper such as valgrind it is no kesp by name).
        const std::string pid = std::to_string(first.pid());
        const std::string waiting =
            harness::wrapped_run()
                ? "Waiting for another kesp to finish.\n"
                : "Waiting for another kesp (process " + pid + ") to finish.\nProcess " + pid +
                      ", which holds the lock, is stopped: resume it (fg in its terminal, or kill "
                      "-CONT " + pid + ").\n";
        harness::pty_session second(t.box, second_args);
        ASSERT_TRUE(second.expect_error(waiting));
        first.resume();
        EXPECT_EQ(first.finish().err, "");
        harness::result r = second.finish();
        EXPECT_EQ(r.out, "");
        EXPECT_EQ(r.err, waiting + "No decrypted database found.\n");

        // The container is the first one's, whole, with its one entry.
        EXPECT_EQ(decrypt(t.box, t.a, "first").err, "");
        EXPECT_EQ(t.titles(t.a), "a-one\n");
    }
}

}  // namespace

namespace {

// A file put in the place of the database (or of the container) by another
// program while kesp was paused at `point`: kesp notices and changes
// nothing in it.
struct replaced_file {
    const char *name;
    const char *point;
    std::vector<std::string> args;
    dialogue answers;
    bool replace_container;  // else the plain active database
    std::function<std::string(two_databases &)> err;
};

}  // namespace

TEST(TwoTerminals, AFileReplacedAtThePathIsNotTakenForTheOneSeen) {
    const replaced_file cases[] = {
        {"add after its questions", "before-lock", {"-a"}, add_answers, false,
         [](two_databases &t) { return t.a + " was replaced or removed while you typed; nothing was changed.\n"; }},
        {"edit after its questions", "before-lock", {"-e", "1"}, edit_answers, false,
         [](two_databases &t) { return t.a + " was replaced or removed while you typed; nothing was changed.\n"; }},
        {"decrypt between detection and reading", "container-detected", {"-D", "b.db"},
         {{"Password: ", "pw"}}, true,
         [](two_databases &) {
             return std::string("File is already decrypted or malformed?\nFailed to decrypt b.db.\n");
         }},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        two_databases t;
        if (c.replace_container) {
            EXPECT_EQ(encrypt(t.box, "pw").err, "");
        }
        const std::string &target = c.replace_container ? t.b : t.a;
        t.box.env["KESP_TEST_STOP_AT"] = c.point;
        harness::pty_session first(t.box, c.args);
        t.box.env.erase("KESP_TEST_STOP_AT");
        for (const auto &[prompt, answer] : c.answers) {
            ASSERT_TRUE(first.expect(prompt));
            first.type_line(answer);
        }
        ASSERT_TRUE(first.wait_stopped());
        // Another copy of a plain database, moved over the path: the same
        // name and the same kind of file, but not the file kesp looked at.
        const std::string other = target + ".other", pointer = read_file(t.box.pointer_file());
        harness::make_database(t.box, other, {{"other-one", "u", "l", "secret-o", "n"}});
        harness::write_file(t.box.pointer_file(), pointer);
        ASSERT_EQ(std::rename(other.c_str(), target.c_str()), 0);
        const std::string before = read_file(target);
        first.resume();
        harness::result r = first.finish();
        EXPECT_EQ(r.err, c.err(t));
        EXPECT_TRUE(read_file(target) == before) << "the file put there was changed";
        EXPECT_EQ(t.titles(target), "other-one\n");
    }
}

// A lock file that names a process which is not a program of this suite
// (one that ended and whose number went to another, or a stale number):
// the waiting message names nobody.
TEST(TwoTerminals, AHolderThatIsNoKespIsNotNamed) {
    two_databases t;
    const std::string lock = t.box.home() + "/.kesp.lock";
    for (const std::string &named : {std::to_string(::getpid()), std::string("999999999"), std::string("junk")}) {
        SCOPED_TRACE(named);
        harness::write_file(lock, std::string(11 - std::min<std::size_t>(named.size(), 11), ' ') + named + "\n");
        int fd = ::open(lock.c_str(), O_RDONLY | O_CLOEXEC);  // not kept by kesp
        ASSERT_GE(fd, 0);
        ASSERT_EQ(::flock(fd, LOCK_EX), 0);
        harness::pty_session second(t.box, {"-A"});
        ASSERT_TRUE(second.expect_error("Waiting for another kesp to finish.\n"));
        ::close(fd);
        harness::result r = second.finish();
        EXPECT_EQ(r.err, "Waiting for another kesp to finish.\n");
    }
}
