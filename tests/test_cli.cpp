// The dispatcher and the pointer file, through the built binary and directly.
#include <cstdlib>
#include <string>
#include <vector>

#include <filesystem>

#include <gtest/gtest.h>

#include "harness/harness.h"
#include "state/pointer_file.h"

namespace {

using harness::sandbox;

TEST(Dispatcher, NoArgumentsPrintsUsage) {
    sandbox box;
    auto r = box.run({});
    EXPECT_EQ(r.out, harness::usage);
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(r.status, 0);
    EXPECT_FALSE(harness::exists(box.pointer_file()));
}

TEST(Dispatcher, HelpDoesNotEndTheRun) {
    sandbox box;
    auto r = box.run({"-h", "-v"});
    EXPECT_EQ(r.out, std::string(harness::usage) + "Kesp version 1.7\n");
    EXPECT_EQ(r.status, 0);
    r = box.run({"--version"});
    EXPECT_EQ(r.out, "Kesp version 1.7\n");
}

TEST(Dispatcher, UnknownOptionsAndMissingArgumentsPrintUsageAndGoOn) {
    sandbox box;
    auto r = box.run({"-x", "--bogus", "-v", "-l"});
    std::string usage = harness::usage;
    EXPECT_EQ(r.out, usage + usage + "Kesp version 1.7\n" + usage);
    // The C library names the problems; we only check that it did.
    EXPECT_NE(r.err.find("-- 'x'"), std::string::npos) << r.err;
    EXPECT_NE(r.err.find("bogus"), std::string::npos) << r.err;
    EXPECT_NE(r.err.find("requires an argument"), std::string::npos) << r.err;
    EXPECT_EQ(r.status, 0);
}

TEST(Dispatcher, GenerateWithoutPositiveLengthPrintsNothing) {
    sandbox box;
    auto r = box.run({"-g", "0", "-g", "abc", "-g", "-5"});
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.err, "");
}

TEST(Dispatcher, EntryCommandsWithoutActiveDatabaseAskNothing) {
    sandbox box;
    auto r = box.run({"-a", "-e", "1", "-c", "1", "-r", "1", "-l", "1", "-A", "-t", "-f", "x",
                      "-q", "x", "-E"},
                     "typed\n");
    EXPECT_EQ(r.out, "");
    std::string none = "No decrypted database found.\n";
    std::string expected;
    for (int i = 0; i < 10; ++i) expected += none;
    EXPECT_EQ(r.err, expected);
    EXPECT_EQ(r.status, 0);
}

// A flag with no command after it did nothing: said on standard error,
// and for --auto-encrypt also that the database stays decrypted. So is an
// auto-encrypt step that could not encrypt.
TEST(Dispatcher, FlagsThatActedOnNothingAreNamed) {
    const auto unused = [](const char *flag) {
        return std::string("WARNING: --") + flag +
               " had no effect: a flag acts only on the commands after it.\n";
    };
    struct {
        std::vector<std::string> args;
        bool active;
        std::string err;  // {db} stands for the database's path
    } cases[] = {
        {{"--force", "--show-passwords", "--show-qrcode"}, false,
         unused("force") + unused("show-passwords") + unused("show-qrcode")},
        {{"--show-passwords", "-A", "--show-qrcode"}, true, unused("show-qrcode")},
        {{"--show-passwords", "-A", "-p"}, true, ""},
        {{"-A", "--auto-encrypt"}, true,
         unused("auto-encrypt") + "WARNING: {db} is still decrypted; encrypt it with kesp -E.\n"},
        {{"-v", "--auto-encrypt"}, false, unused("auto-encrypt")},
        {{"--auto-encrypt", "-A"}, true,
         "A terminal is needed to type the master password.\n"
         "WARNING: {db} is still decrypted; encrypt it with kesp -E.\n"},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(testing::PrintToString(c.args));
        sandbox box;
        const std::string db = box.path("v.db");
        if (c.active) harness::make_database(box, db, {});
        std::string err = c.err;
        for (std::size_t at; (at = err.find("{db}")) != std::string::npos;) err.replace(at, 4, db);
        EXPECT_EQ(box.run(c.args).err, err);
        if (c.active) {
            EXPECT_FALSE(harness::is_container(db));
        }
    }

    // A mismatch at the auto-encrypt step's prompts.
    sandbox box;
    harness::make_database(box, box.path("v.db"), {});
    auto r = box.run_pty({"--auto-encrypt", "-A"}, {{"Password: ", "one"}, {"Password again: ", "two"}});
    EXPECT_EQ(r.err, "Password mismatch.\nWARNING: " + box.path("v.db") +
                         " is still decrypted; encrypt it with kesp -E.\n");
}

TEST(ShowDbPath, PrintsThePathExactlyAsStored) {
    sandbox box;
    auto r = box.run({"-p"});
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.err, "No decrypted database exist.\n");

    harness::write_file(box.pointer_file(), "../relative/db");
    r = box.run({"-p"});
    EXPECT_EQ(r.out, "../relative/db\n");

    // A newline in the file stays part of the path.
    harness::write_file(box.pointer_file(), "db\n");
    r = box.run({"--show-db-path"});
    EXPECT_EQ(r.out, "db\n\n");

    // An empty pointer file names nothing: no database is active.
    harness::write_file(box.pointer_file(), "");
    r = box.run({"-p", "-E"});
    EXPECT_EQ(r.err, "No decrypted database exist.\nNo decrypted database found.\n");
}

TEST(ShowDbPath, HomeUnsetMeansNoPointerFile) {
    sandbox box;
    harness::write_file(box.pointer_file(), "db");
    box.unset_home = true;
    auto r = box.run({"-p", "-A"});
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.err, "No decrypted database exist.\nNo decrypted database found.\n");
}

class PointerFile : public testing::Test {
protected:
    void SetUp() override {
        const char *home = std::getenv("HOME");
        if (home) saved_home_ = home;
        setenv("HOME", box_.home().c_str(), 1);
    }
    void TearDown() override {
        if (saved_home_)
            setenv("HOME", saved_home_->c_str(), 1);
        else
            unsetenv("HOME");
    }
    sandbox box_;
    std::optional<std::string> saved_home_;
};

TEST_F(PointerFile, WriteReadAndForget) {
    EXPECT_EQ(get_open_db_path(), box_.pointer_file());
    EXPECT_FALSE(has_active_db());
    EXPECT_EQ(read_active_db_path(), std::nullopt);

    // Recorded absolute, against the working directory.
    const std::string absolute = std::filesystem::current_path().string() + "/some dir/db file";
    EXPECT_TRUE(write_active_db_path("./some dir/db file"));
    EXPECT_TRUE(has_active_db());
    EXPECT_EQ(harness::read_file(box_.pointer_file()), absolute);
    EXPECT_EQ(read_active_db_path(), absolute);
    EXPECT_TRUE(write_active_db_path("/abs/../db"));
    EXPECT_EQ(read_active_db_path(), "/abs/../db");

    // Only the first line counts.
    harness::write_file(box_.pointer_file(), "first\nsecond");
    EXPECT_EQ(read_active_db_path(), "first\n");
}

TEST_F(PointerFile, HomeUnsetDoesNothing) {
    unsetenv("HOME");
    EXPECT_EQ(get_open_db_path(), std::nullopt);
    testing::internal::CaptureStderr();
    write_active_db_path("db");
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
    EXPECT_FALSE(has_active_db());
    EXPECT_FALSE(harness::exists(box_.pointer_file()));
}

TEST_F(PointerFile, UnwritableLocationIsReported) {
    setenv("HOME", (box_.root() + "/missing").c_str(), 1);
    testing::internal::CaptureStderr();
    write_active_db_path("db");
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "Error creating ~/.kesp.open_db file\n");
    EXPECT_FALSE(has_active_db());
}

}  // namespace
