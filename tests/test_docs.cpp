// The manual page, the README and the shell completions, checked against the
// usage text of the built program so that a new option cannot be left out.
#include <algorithm>
#include <sys/wait.h>

#include <cstdio>
#include <regex>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "harness/harness.h"

namespace {

const std::string source_dir = KESP_SOURCE_DIR;
const std::string manual = source_dir + "/kesp.1";
const std::string bash_completion = source_dir + "/completion/kesp.bash";
const std::string zsh_completion = source_dir + "/completion/_kesp";

std::string quote(const std::string &word) {
    std::string quoted = "'";
    for (char c : word) quoted += c == '\'' ? std::string("'\\''") : std::string(1, c);
    return quoted + "'";
}

using harness::command_result;

// Standard output and standard error together.
command_result shell(const std::string &command) {
    return harness::run_shell(command + " 2>&1");
}

bool have(const std::string &program) {
    return shell("command -v " + program + " >/dev/null").status == 0;
}

std::string usage_text() {
    auto r = shell(quote(KESP_BINARY) + " -h");
    EXPECT_EQ(r.status, 0);
    return r.output;
}

// Every "-x" and "--long" word of a text.
std::set<std::string> option_words(const std::string &text) {
    static const std::regex word(R"((?:^|[^A-Za-z0-9_-])(--?[A-Za-z][A-Za-z-]*))");
    std::set<std::string> words;
    for (std::sregex_iterator it(text.begin(), text.end(), word), end; it != end; ++it)
        words.insert((*it)[1]);
    return words;
}

// One option line of the usage text: "-i --init <path> ...", or a flag.
struct usage_option {
    std::string short_name;   // empty for the flags
    std::string long_name;
    std::string placeholder;  // "<path>", "<id>", "[count]", or empty
};

std::vector<usage_option> usage_options(const std::string &usage) {
    static const std::regex with_short(R"(^\s+(-[A-Za-z])\s+(--[a-z-]+)\s+([<\[][a-z]+[>\]])?)");
    static const std::regex flag(R"(^\s+(--[a-z-]+)\s{2,}[A-Z])");
    std::vector<usage_option> options;
    std::istringstream lines(usage);
    std::smatch m;
    for (std::string line; std::getline(lines, line);) {
        if (std::regex_search(line, m, with_short))
            options.push_back({m[1], m[2], m[3]});
        else if (std::regex_search(line, m, flag))
            options.push_back({"", m[1], ""});
    }
    return options;
}

bool takes_argument(const usage_option &o) { return o.placeholder.rfind("<", 0) == 0; }

// The tag lines of the manual's tagged paragraphs (the line after ".TP"),
// with font escapes removed and "\-" written as "-".
std::string manual_tags() {
    std::istringstream lines(harness::read_file(manual));
    std::string tags;
    bool after_tp = false;
    for (std::string line; std::getline(lines, line);) {
        if (after_tp) {
            line = std::regex_replace(line, std::regex(R"(\\f[BIRP])"), "");
            line = std::regex_replace(line, std::regex(R"(\\-)"), "-");
            tags += line + "\n";
        }
        after_tp = line.rfind(".TP", 0) == 0;
    }
    return tags;
}

TEST(Manual, LintsCleanAndRendersEverySection) {
    ASSERT_TRUE(have("groff"));
    auto lint = shell("groff -man -ww -z " + quote(manual));
    EXPECT_EQ(lint.status, 0);
    EXPECT_EQ(lint.output, "") << "groff warnings";

    auto page = shell("groff -man -Tutf8 -P-cbou " + quote(manual));
    EXPECT_EQ(page.status, 0);
    for (const char *section : {"NAME", "SYNOPSIS", "DESCRIPTION", "OPTIONS", "FLAGS", "ENVIRONMENT",
                                "FILES", "EXIT STATUS", "EXAMPLES", "SECURITY"})
        EXPECT_NE(page.output.find(std::string("\n") + section + "\n"), std::string::npos)
            << "no section " << section;
    // The what-is line that apropos and whatis index.
    EXPECT_NE(page.output.find("kesp - "), std::string::npos);
}

TEST(Manual, MandocFindsNothingToSay) {
    if (!have("mandoc")) GTEST_SKIP() << "mandoc is not installed";
    auto lint = shell("mandoc -Tlint " + quote(manual));
    EXPECT_EQ(lint.output, "");
}

TEST(Manual, DocumentsEveryOptionOfTheUsageText) {
    auto usage = usage_text();
    auto options = option_words(usage);
    // 18 options with a short and a long name, and 4 flags.
    ASSERT_GE(options.size(), 40u) << usage;

    auto tags = option_words(manual_tags());
    for (const auto &option : options)
        EXPECT_TRUE(tags.count(option)) << option << " has no entry of its own in kesp.1";

    auto readme = option_words(harness::read_file(source_dir + "/README.md"));
    for (const auto &option : options) EXPECT_TRUE(readme.count(option)) << option << " missing in README.md";
}

TEST(Manual, NamesEveryColourAndEnvironmentVariable) {
    auto text = harness::read_file(manual);
    for (const char *word : {"HOME", "KESP_COLOR", "KESP_DEFAULT_USERNAME", "BLUE", "RED", "GREEN",
                             "YELLOW", "MAGENTA", "CYAN", "WHITE", ".kesp.open_db", ".kesp", ".plain",
                             "FuI3", "200000"})
        EXPECT_NE(text.find(word), std::string::npos) << word;
}

// Runs the bash completion function as bash would for the words of a
// command line whose last word is being completed; one candidate a line.
class BashCompletion : public ::testing::Test {
protected:
    void SetUp() override {
        if (!have("bash")) GTEST_SKIP() << "bash is not installed";
        harness::write_file(box.path("alpha.db"), "");
        harness::write_file(box.path("beta.txt"), "");
        harness::write_file(box.root() + "/complete.sh",
                            "source \"$1\"; shift\n"
                            "COMP_WORDS=(\"$@\"); COMP_CWORD=$(($# - 1))\n"
                            "_kesp\n"
                            "printf '%s\\n' \"${COMPREPLY[@]}\"\n");
    }

    std::set<std::string> complete(const std::vector<std::string> &words) {
        std::string command = "cd " + quote(box.work()) + " && bash " + quote(box.root() + "/complete.sh") +
                              " " + quote(bash_completion);
        for (const auto &w : words) command += " " + quote(w);
        auto r = shell(command);
        EXPECT_EQ(r.status, 0) << r.output;
        std::set<std::string> candidates;
        std::istringstream lines(r.output);
        for (std::string line; std::getline(lines, line);)
            if (!line.empty()) candidates.insert(line);
        return candidates;
    }

    harness::sandbox box;
};

TEST_F(BashCompletion, OffersEveryOptionOfTheUsageText) {
    auto options = option_words(usage_text());
    ASSERT_GE(options.size(), 40u);
    auto offered = complete({"kesp", "-A", ""});
    for (const auto &option : options) EXPECT_TRUE(offered.count(option)) << option;

    auto long_only = complete({"kesp", "--show-"});
    EXPECT_EQ(long_only, (std::set<std::string>{"--show-db-path", "--show-latest", "--show-passwords",
                                                "--show-qrcode"}));
}

TEST_F(BashCompletion, PathsAfterPathOptionsAndNothingAfterOtherArguments) {
    auto options = usage_options(usage_text());
    ASSERT_GE(options.size(), 22u);
    const std::set<std::string> files = {"alpha.db", "beta.txt"};
    for (const auto &o : options) {
        for (const auto &name : {o.short_name, o.long_name}) {
            if (name.empty()) continue;
            auto after = complete({"kesp", name, ""});
            if (o.placeholder == "<path>")
                EXPECT_EQ(after, files) << name;
            else if (!o.placeholder.empty())  // an id, a length, a search text, -t's count
                EXPECT_TRUE(after.empty()) << name << " offers " << *after.begin();
            else  // the next word is a new option
                EXPECT_TRUE(after.count("--list-all")) << name;
        }
    }
    EXPECT_EQ(complete({"kesp", "-D", "al"}), std::set<std::string>{"alpha.db"});
    // bash splits "--use-db=al" at the '='.
    EXPECT_EQ(complete({"kesp", "--use-db", "=", "al"}), std::set<std::string>{"alpha.db"});
    EXPECT_EQ(complete({"kesp", "--init", "="}), files);
    EXPECT_TRUE(complete({"kesp", "--edit", "=", ""}).empty());
}

TEST(ZshCompletion, ParsesAndDescribesEveryOption) {
    auto text = harness::read_file(zsh_completion);
    EXPECT_EQ(text.rfind("#compdef kesp\n", 0), 0u);
    if (have("zsh")) {
        auto syntax = shell("zsh -n " + quote(zsh_completion));
        EXPECT_EQ(syntax.status, 0) << syntax.output;
    }

    auto options = usage_options(usage_text());
    ASSERT_GE(options.size(), 22u);
    std::istringstream lines(text);
    std::vector<std::string> rules;
    for (std::string line; std::getline(lines, line);)
        if (line.find("'*") != std::string::npos) rules.push_back(line);

    for (const auto &o : options) {
        // An argument in the same word or the next: "-i+" and "--init=".
        std::string long_word = o.long_name + (takes_argument(o) ? "=" : "");
        std::string short_word = o.short_name + (takes_argument(o) ? "\\+" : "");
        const std::string *found = nullptr;
        for (const auto &rule : rules)
            if (std::regex_search(rule, std::regex("[{,*]" + long_word + "[,}\\[]"))) found = &rule;
        ASSERT_NE(found, nullptr) << "no completion rule for " << o.long_name;
        const std::string &rule = *found;
        if (!o.short_name.empty()) {
            EXPECT_TRUE(std::regex_search(rule, std::regex("[{,]" + short_word + "[,}]")))
                << o.short_name << " not beside " << o.long_name << ": " << rule;
        }

        auto after = rule.substr(rule.rfind(']') + 1);  // the argument part
        bool completes_files = after.find("_files") != std::string::npos;
        EXPECT_EQ(completes_files, o.placeholder == "<path>") << rule;
        EXPECT_EQ(after.find(':') != std::string::npos, !o.placeholder.empty()) << rule;
    }
}

// The companions' pages lint clean, and each option of their usage text has
// a paragraph of its own and is offered by both completions.
TEST(CompanionDocs, PagesAndCompletionsCoverEveryOption) {
    for (const std::string name : {"kesp-clip", "kesp-otp"}) {
        const std::string page = source_dir + "/" + name + ".1";
        auto lint = shell("groff -man -ww -z " + quote(page));
        EXPECT_EQ(lint.status, 0) << name;
        EXPECT_EQ(lint.output, "") << name;
        if (have("mandoc")) {
            EXPECT_EQ(shell("mandoc -Tlint " + quote(page)).output, "") << name;
        }

        auto usage = shell(quote(harness::built_program(name)) + " --help");
        EXPECT_EQ(usage.status, 0);
        auto options = option_words(usage.output.substr(0, usage.output.find('\n')));
        options.insert({"-h", "--help"});
        std::string tags = harness::read_file(page);
        tags = std::regex_replace(tags, std::regex(R"(\\-)"), "-");
        auto bash = shell("bash -c " + quote("source " + quote(source_dir + "/completion/kesp-clip-otp.bash") +
                                             "; COMP_WORDS=(" + name + " -); COMP_CWORD=1; _kesp_companion; "
                                             "printf '%s\\n' \"${COMPREPLY[@]}\""));
        auto zsh = harness::read_file(source_dir + "/completion/_" + name);
        for (const auto &option : options) {
            EXPECT_NE(tags.find(option), std::string::npos) << option << " not in " << name << ".1";
            EXPECT_NE(bash.output.find(option + "\n"), std::string::npos) << option << " not offered by bash";
            EXPECT_NE(zsh.find(option), std::string::npos) << option << " not in _" << name;
        }
        if (have("zsh")) {
            EXPECT_EQ(shell("zsh -n " + quote(source_dir + "/completion/_" + name)).status, 0);
        }
        EXPECT_NE(harness::read_file(manual).find(".BR kesp\\-" + name.substr(5) + " (1)"), std::string::npos)
            << name << " not under SEE ALSO in kesp.1";
    }
}

}  // namespace

// The companions that move entries in and out: their pages and completions
// against the formats and options the programs themselves accept.
namespace {

struct transfer_companion {
    std::string name;
    std::vector<std::string> options;  // every option of the usage line and --help
    std::vector<std::string> formats;  // what --format takes
};

std::vector<transfer_companion> transfer_companions() {
    return {
        {"kesp-import", {"--format", "--dry-run", "--help"},
         {"keepassxc-csv", "keepass-xml", "bitwarden-json", "bitwarden-csv", "chrome-csv", "firefox-csv",
          "lastpass-csv", "1password-csv", "kesp-csv", "kesp-json"}},
        {"kesp-export", {"--format", "-o", "--output", "--help"},
         {"kesp-csv", "kesp-json", "bitwarden-json", "keepass-xml"}},
    };
}

TEST(TransferCompanions, ManualPagesLintCleanAndDocumentEveryOptionAndFormat) {
    for (const auto &c : transfer_companions()) {
        const std::string page = source_dir + "/" + c.name + ".1";
        auto lint = shell("groff -man -ww -z " + quote(page));
        EXPECT_EQ(lint.output, "") << c.name;
        if (have("mandoc")) {
            EXPECT_EQ(shell("mandoc -Tlint " + quote(page)).output, "") << c.name;
        }
        auto text = shell("groff -man -Tutf8 -P-cbou " + quote(page)).output;
        for (const char *section : {"NAME", "SYNOPSIS", "OPTIONS", "EXIT STATUS", "SEE ALSO"})
            EXPECT_NE(text.find(std::string("\n") + section + "\n"), std::string::npos) << c.name << " " << section;
        for (const auto &word : c.options) EXPECT_NE(text.find(word), std::string::npos) << c.name << " " << word;
        for (const auto &word : c.formats) EXPECT_NE(text.find(word), std::string::npos) << c.name << " " << word;
        // Every format the page names is one the program takes.
        auto run = shell(quote(harness::built_program(c.name)) + " --format no-such-format x");
        EXPECT_EQ(run.status, 2);
        for (const auto &word : c.formats) EXPECT_NE(run.output.find(word), std::string::npos) << c.name << " " << word;
    }
    EXPECT_NE(harness::read_file(manual).find(".BR kesp\\-import (1),"), std::string::npos);
    EXPECT_NE(harness::read_file(manual).find(".BR kesp\\-export (1),"), std::string::npos);
}

TEST(TransferCompanions, CompletionsOfferTheFormatsAndOptions) {
    if (!have("bash")) GTEST_SKIP() << "bash is not installed";
    harness::sandbox box;
    harness::write_file(box.path("export.csv"), "");
    for (const auto &c : transfer_companions()) {
        const std::string function = c.name == "kesp-import" ? "_kesp_import" : "_kesp_export";
        auto complete = [&](const std::vector<std::string> &words) {
            std::string script = "source " + quote(source_dir + "/completion/" + c.name + ".bash") +
                                 "; COMP_WORDS=(";
            for (const auto &w : words) script += quote(w) + " ";
            script += "); COMP_CWORD=" + std::to_string(words.size() - 1) + "; " + function +
                      "; printf '%s\\n' \"${COMPREPLY[@]}\"";
            auto r = shell("cd " + quote(box.work()) + " && bash -c " + quote(script));
            std::set<std::string> offered;
            std::istringstream lines(r.output);
            for (std::string line; std::getline(lines, line);)
                if (!line.empty()) offered.insert(line);
            return offered;
        };
        EXPECT_EQ(complete({c.name, "--format", ""}), std::set<std::string>(c.formats.begin(), c.formats.end()))
            << c.name;
        auto options = complete({c.name, "-"});
        for (const auto &o : c.options) EXPECT_TRUE(options.count(o)) << c.name << " " << o;

        const std::string zsh = source_dir + "/completion/_" + c.name;
        EXPECT_EQ(harness::read_file(zsh).rfind("#compdef " + c.name + "\n", 0), 0u);
        if (have("zsh")) {
            EXPECT_EQ(shell("zsh -n " + quote(zsh)).status, 0) << zsh;
        }
        for (const auto &word : c.formats) EXPECT_NE(harness::read_file(zsh).find(word), std::string::npos);
    }
    // kesp-import completes its file argument; kesp-export its -o.
    EXPECT_EQ(shell("cd " + quote(box.work()) + " && bash -c " +
                    quote("source " + quote(source_dir + "/completion/kesp-import.bash") +
                          "; COMP_WORDS=(kesp-import ex); COMP_CWORD=1; _kesp_import; printf '%s\\n' \"${COMPREPLY[@]}\""))
                  .output,
              "export.csv\n");
}

}  // namespace

// kesp-audit and kesp-gen: pages, bash and zsh completions against the
// options of their usage line.
namespace {

struct checking_companion {
    std::string name, bash_function;
    std::set<std::string> sections;  // beyond NAME, SYNOPSIS, OPTIONS, EXIT STATUS, SEE ALSO
};

TEST(CheckingCompanions, PagesAndCompletionsCoverEveryOption) {
    const checking_companion programs[] = {
        {"kesp-audit", "_kesp_audit", {"SECURITY"}},
        {"kesp-gen", "_kesp_gen", {"SECURITY", "COPYRIGHT"}},
        {"kesp-history", "_kesp_history", {"SECURITY"}},
    };
    for (const auto &c : programs) {
        const std::string page = source_dir + "/" + c.name + ".1";
        EXPECT_EQ(shell("groff -man -ww -z " + quote(page)).output, "") << c.name;
        if (have("mandoc")) {
            EXPECT_EQ(shell("mandoc -Tlint " + quote(page)).output, "") << c.name;
        }
        auto text = shell("groff -man -Tutf8 -P-cbou " + quote(page)).output;
        std::set<std::string> sections = c.sections;
        sections.insert({"NAME", "SYNOPSIS", "OPTIONS", "EXIT STATUS", "SEE ALSO"});
        for (const auto &section : sections)
            EXPECT_NE(text.find("\n" + section + "\n"), std::string::npos) << c.name << " " << section;

        auto usage = shell(quote(harness::built_program(c.name)) + " --help");
        EXPECT_EQ(usage.status, 0);
        auto options = option_words(usage.output.substr(0, usage.output.find('\n')));
        ASSERT_GE(options.size(), 3u) << usage.output;
        options.insert({"-h", "--help"});
        auto bash = shell("bash -c " + quote("source " + quote(source_dir + "/completion/" + c.name + ".bash") +
                                             "; COMP_WORDS=(" + c.name + " -); COMP_CWORD=1; " + c.bash_function +
                                             "; printf '%s\\n' \"${COMPREPLY[@]}\""));
        const std::string zsh_file = source_dir + "/completion/_" + c.name;
        auto zsh = harness::read_file(zsh_file);
        EXPECT_EQ(zsh.rfind("#compdef " + c.name + "\n", 0), 0u);
        if (have("zsh")) {
            EXPECT_EQ(shell("zsh -n " + quote(zsh_file)).status, 0) << zsh_file;
        }
        for (const auto &option : options) {
            EXPECT_NE(text.find(option), std::string::npos) << option << " not in " << c.name << ".1";
            EXPECT_NE(bash.output.find(option + "\n"), std::string::npos) << option << " not offered by bash";
            EXPECT_NE(zsh.find(option), std::string::npos) << option << " not in _" << c.name;
        }
        EXPECT_NE(harness::read_file(manual).find(".BR kesp\\-" + c.name.substr(5) + " (1)"), std::string::npos)
            << c.name << " not under SEE ALSO in kesp.1";
    }
    EXPECT_NE(shell("groff -man -Tutf8 -P-cbou " + quote(source_dir + "/kesp-gen.1")).output.find("CC BY 3.0"),
              std::string::npos);
}

// fish: one file a program, asked what it offers. A new program is one
// more line of the table.
struct fish_program {
    std::string name;
    std::string help;                  // the option that prints its usage text
    std::vector<std::string> id_after;  // command lines after which entry ids are offered
};

const fish_program fish_programs[] = {
    {"kesp", "-h", {"kesp -e ", "kesp --remove ", "kesp -A -l ", "kesp -c "}},
    {"kesp-import", "--help", {}},
    {"kesp-export", "--help", {}},
    {"kesp-clip", "--help", {"kesp-clip ", "kesp-clip -t 5 "}},
    {"kesp-otp", "--help", {"kesp-otp --clip "}},
    {"kesp-audit", "--help", {"kesp-audit ", "kesp-audit --json 1 "}},
    {"kesp-gen", "--help", {"kesp-gen --set ", "kesp-gen --words 6 --set "}},
    {"kesp-merge", "--help", {}},
    {"kesp-sync", "--help", {}},
    {"kesp-ls", "--help", {}},
    {"kesp-agent", "--help", {}},
    {"kesp-history", "--help", {"kesp-history ", "kesp-history --forget "}},
    {"kesp-edit", "--help", {"kesp-edit ", "kesp-edit --title x "}},
    {"git-credential-kesp", "--help", {}},
    {"kesp-browser", "--help", {}},
    {"kesp-ssh", "--help", {"kesp-ssh add ", "kesp-ssh remove "}},
};

class FishCompletion : public ::testing::Test {
protected:
    void SetUp() override {
        if (!have("fish")) GTEST_SKIP() << "fish is not installed (scripts/install-deps.sh)";
    }
    // What fish offers for the command line `line`, one candidate a line
    // (a tab before its description).
    std::string complete(const std::string &line) const {
        const std::string dir = source_dir + "/completion";
        std::string script = "set -p fish_complete_path " + quote(dir) + "; set -p fish_function_path " + quote(dir) +
                             "; complete -C " + quote(line);
        return shell("cd " + quote(box.work()) + " && HOME=" + quote(box.home()) + " fish --no-config -c " +
                     quote(script))
            .output;
    }
    static std::set<std::string> words(const std::string &offered) {
        std::set<std::string> out;
        std::istringstream lines(offered);
        for (std::string line; std::getline(lines, line);) out.insert(line.substr(0, line.find('\t')));
        return out;
    }
    harness::sandbox box;
};

TEST_F(FishCompletion, OffersEveryOptionOfEachProgram) {
    for (const auto &p : fish_programs) {
        const std::string file = source_dir + "/completion/" + p.name + ".fish";
        ASSERT_TRUE(harness::exists(file)) << file;
        EXPECT_EQ(shell("fish --no-execute " + quote(file)).status, 0) << file;
        std::string usage = shell(quote(p.name == "kesp" ? KESP_BINARY : harness::built_program(p.name)) + " " + p.help).output;
        auto options = option_words(p.name == "kesp" ? usage : usage.substr(0, usage.find('\n')));
        options.insert(p.help);
        auto offered = words(complete(p.name + " -"));
        for (const auto &o : options) EXPECT_TRUE(offered.count(o)) << p.name << " " << o;
        auto long_only = words(complete(p.name + " --"));
        for (const auto &o : long_only) EXPECT_EQ(o.rfind("--", 0), 0u) << p.name << " " << o;
    }
    harness::write_file(box.path("vault.db"), "");
    EXPECT_TRUE(words(complete("kesp -D ")).count("vault.db"));
    EXPECT_TRUE(words(complete("kesp-audit --hibp ")).count("vault.db"));
    EXPECT_EQ(words(complete("kesp-export --format ")),
              (std::set<std::string>{"kesp-csv", "kesp-json", "bitwarden-json", "keepass-xml"}));
    EXPECT_TRUE(words(complete("kesp -g ")).empty());
}

TEST_F(FishCompletion, OffersEntryIdsWithTitlesAndNoPassword) {
    for (const auto &p : fish_programs)
        for (const auto &line : p.id_after) EXPECT_EQ(complete(line), "") << line << " without a database";
    harness::make_database(box, box.path("db.sqlite"),
                           {{"mail", "alice", "", "Zq8-fish-secret-41", "otpauth://totp/x?secret=NOTE"},
                            {"tab\there", "bob", "", "second-fish-secret", ""}});
    for (const auto &p : fish_programs)
        for (const auto &line : p.id_after) {
            auto offered = complete(line);
            EXPECT_EQ(offered, "1\tmail\n2\ttab here\n") << line;
        }
    ASSERT_EQ(harness::encrypt(box, "master").status, 0);
    harness::write_file(box.pointer_file(), box.path("db.sqlite"));
    EXPECT_EQ(complete("kesp -e "), "") << "an encrypted database offers nothing";
}

// bash and zsh offer the same ids with their titles, from the same
// columns, and nothing where fish offers nothing.
struct id_line {
    std::string file;   // the bash completion file
    std::string words;  // COMP_WORDS, the last one being completed
};

const id_line bash_id_lines[] = {
    {"kesp.bash", "kesp -e ''"},
    {"kesp.bash", "kesp --remove ''"},
    {"kesp.bash", "kesp -A -l ''"},
    {"kesp.bash", "kesp -c ''"},
    {"kesp.bash", "kesp --edit = ''"},
    {"kesp-clip-otp.bash", "kesp-clip ''"},
    {"kesp-clip-otp.bash", "kesp-clip -t 5 ''"},
    {"kesp-clip-otp.bash", "kesp-otp --clip ''"},
    {"kesp-audit.bash", "kesp-audit --json 1 ''"},
    {"kesp-gen.bash", "kesp-gen --words 6 --set ''"},
    {"kesp-history.bash", "kesp-history ''"},
    {"kesp-history.bash", "kesp-history --forget ''"},
    {"kesp-edit.bash", "kesp-edit ''"},
    {"kesp-edit.bash", "kesp-edit --title x ''"},
};

class IdCompletion : public ::testing::Test {
protected:
    void SetUp() override {
        if (!have("bash")) GTEST_SKIP() << "bash is not installed";
    }
    // What the function bound in `file` (sourced alone: its helper comes
    // from beside it) offers for `words`.
    std::string bash(const std::string &file, const std::string &words) const {
        std::string program = words.substr(0, words.find(' '));
        std::string script = "source " + quote(source_dir + "/completion/" + file) +
                             "; f=$(complete -p " + program +
                             " | sed -n 's/.* -F \\([^ ]*\\) .*/\\1/p'); COMP_WORDS=(" + words +
                             "); COMP_CWORD=$((${#COMP_WORDS[@]} - 1)); \"$f\"; "
                             "printf '%s\\n' \"${COMPREPLY[@]}\"";
        return shell("cd " + quote(box.work()) + " && HOME=" + quote(box.home()) +
                     " bash --norc -c " + quote(script))
            .output;
    }
    // What zsh's helper hands to _describe, one "ID:TITLE" a line.
    std::string zsh() const {
        std::string script = "fpath=(" + quote(source_dir + "/completion") +
                             " $fpath); autoload -Uz _kesp_entry_ids; "
                             "_describe() { print -rl -- \"${(@P)4}\" }; _kesp_entry_ids";
        return shell("HOME=" + quote(box.home()) + " zsh -f -c " + quote(script)).output;
    }
    harness::sandbox box;
};

TEST_F(IdCompletion, BashAndZshOfferIdsWithTitlesAndNoPassword) {
    for (const auto &l : bash_id_lines) EXPECT_EQ(bash(l.file, l.words), "\n") << l.words << " without a database";
    harness::make_database(box, box.path("db.sqlite"),
                           {{"mail", "alice", "", "Zq8-bash-secret-41", "otpauth://totp/x?secret=NOTE"},
                            {"tab\there", "bob", "", "second-bash-secret", ""},
                            {"a:b", "carol", "", "third", ""}});
    for (const auto &l : bash_id_lines)
        EXPECT_EQ(bash(l.file, l.words), "1 mail\n2 tab here\n3 a:b\n") << l.words;
    // One id left: the id alone, as it goes on the command line.
    EXPECT_EQ(bash("kesp.bash", "kesp -e 2"), "2\n");
    EXPECT_EQ(bash("kesp-edit.bash", "kesp-edit 9"), "\n");
    // Nothing where a text, a length or a count goes.
    for (const char *words : {"kesp -g ''", "kesp -f ''", "kesp-edit 1 --title ''", "kesp-edit 1 --generate ''",
                              "kesp-clip -t ''", "kesp-history --restore ''"}) {
        const std::string program = std::string(words).substr(0, std::string(words).find(' '));
        const std::string file = program == "kesp-clip" ? "kesp-clip-otp.bash" : program + ".bash";
        EXPECT_EQ(bash(file, words), "\n") << words;
    }
    if (have("zsh")) {
        EXPECT_EQ(zsh(), "1:mail\n2:tab here\n3:a\\:b\n");
    }
    ASSERT_EQ(harness::encrypt(box, "master").status, 0);
    harness::write_file(box.pointer_file(), box.path("db.sqlite"));
    EXPECT_EQ(bash("kesp.bash", "kesp -e ''"), "\n") << "an encrypted database offers nothing";
    if (have("zsh")) {
        EXPECT_EQ(zsh(), "");
    }
}

// Every zsh completion of a program that takes an id hands it to the helper.
TEST(IdCompletionZsh, EveryIdArgumentUsesTheHelper) {
    const std::pair<const char *, int> files[] = {{"_kesp", 4},       {"_kesp-clip", 1}, {"_kesp-otp", 1},
                                                  {"_kesp-audit", 1}, {"_kesp-gen", 1},  {"_kesp-history", 2},
                                                  {"_kesp-edit", 1}};
    for (const auto &[file, count] : files) {
        const auto text = harness::read_file(source_dir + "/completion/" + file);
        std::size_t found = 0;
        for (auto at = text.find(":entry id:_kesp_entry_ids'"); at != std::string::npos;
             at = text.find(":entry id:_kesp_entry_ids'", at + 1))
            ++found;
        EXPECT_EQ(found, static_cast<std::size_t>(count)) << file;
        EXPECT_EQ(text.find(":entry id: '"), std::string::npos) << file;
    }
    EXPECT_EQ(harness::read_file(source_dir + "/completion/_kesp_entry_ids").rfind("#autoload\n", 0), 0u);
}

}  // namespace

// kesp-merge and kesp-sync: pages that lint clean and document every option
// of the usage text, and completions for bash, zsh and fish that offer them.
namespace {

struct sync_companion {
    std::string name;
    std::string bash_function;
    std::vector<std::string> options;  // every option of the usage text and --help
};

TEST(SyncCompanions, PagesAndCompletionsCoverEveryOption) {
    const std::vector<sync_companion> companions = {
        {"kesp-merge", "_kesp_merge",
         {"-o", "--output", "--password-fd", "--lock-fd", "--moved-fd", "--name", "-h",
          "--help"}},
        {"kesp-sync", "_kesp_sync", {"-h", "--help"}},
        {"kesp-agent", "_kesp_agent", {"--idle", "--max", "-h", "--help"}},
    };
    for (const auto &c : companions) {
        const std::string page = source_dir + "/" + c.name + ".1";
        auto lint = shell("groff -man -ww -z " + quote(page));
        EXPECT_EQ(lint.status, 0) << c.name;
        EXPECT_EQ(lint.output, "") << c.name;
        if (have("mandoc")) {
            EXPECT_EQ(shell("mandoc -Tlint " + quote(page)).output, "") << c.name;
        }
        auto text = shell("groff -man -Tutf8 -P-cbou " + quote(page)).output;
        for (const char *section :
             {"NAME", "SYNOPSIS", "DESCRIPTION", "OPTIONS", "EXIT STATUS", "EXAMPLES", "SEE ALSO"})
            EXPECT_NE(text.find(std::string("\n") + section + "\n"), std::string::npos)
                << c.name << " " << section;
        EXPECT_NE(harness::read_file(manual).find(".BR kesp\\-" + c.name.substr(5) + " (1),"),
                  std::string::npos)
            << c.name << " not under SEE ALSO in kesp.1";

        auto usage = shell(quote(harness::built_program(c.name)) + " --help");
        EXPECT_EQ(usage.status, 0);
        for (const auto &word : option_words(usage.output))
            EXPECT_NE(std::find(c.options.begin(), c.options.end(), word), c.options.end())
                << word << " of the usage text is not known to this test";

        const std::string bash = source_dir + "/completion/" + c.name + ".bash";
        auto offered = shell("bash -c " + quote("source " + quote(bash) + "; COMP_WORDS=(" + c.name +
                                                " -); COMP_CWORD=1; " + c.bash_function +
                                                "; printf '%s\\n' \"${COMPREPLY[@]}\""));
        const std::string zsh = source_dir + "/completion/_" + c.name;
        EXPECT_EQ(harness::read_file(zsh).rfind("#compdef " + c.name + "\n", 0), 0u);
        if (have("zsh")) {
            EXPECT_EQ(shell("zsh -n " + quote(zsh)).status, 0) << zsh;
        }
        const std::string fish = source_dir + "/completion/" + c.name + ".fish";
        std::string fish_offered;
        if (have("fish"))
            fish_offered = shell("fish -c " + quote("source " + quote(fish) + "; complete -C '" +
                                                    c.name + " -'"))
                               .output;
        for (const auto &option : c.options) {
            EXPECT_NE(text.find(option), std::string::npos) << option << " not in " << c.name << ".1";
            EXPECT_NE(offered.output.find(option + "\n"), std::string::npos) << option << " not offered by bash";
            EXPECT_NE(harness::read_file(zsh).find(option), std::string::npos) << option << " not in _" << c.name;
            if (have("fish")) {
                EXPECT_NE(fish_offered.find(option + "\t"), std::string::npos)
                    << option << " not offered by fish: " << fish_offered;
            }
        }
    }

    // Operands: kesp-sync offers "init" first, then files; kesp-merge files.
    if (!have("bash")) GTEST_SKIP() << "bash is not installed";
    harness::sandbox box;
    harness::write_file(box.path("passwords.db"), "");
    auto bash_words = [&](const std::string &file, const std::string &function, const std::string &words,
                          int cword) {
        return shell("cd " + quote(box.work()) + " && bash -c " +
                     quote("source " + quote(source_dir + "/completion/" + file) + "; COMP_WORDS=(" + words +
                           "); COMP_CWORD=" + std::to_string(cword) + "; " + function +
                           "; printf '%s\\n' \"${COMPREPLY[@]}\""))
            .output;
    };
    EXPECT_EQ(bash_words("kesp-sync.bash", "_kesp_sync", "kesp-sync ''", 1), "init\npasswords.db\n");
    EXPECT_EQ(bash_words("kesp-sync.bash", "_kesp_sync", "kesp-sync init p", 2), "passwords.db\n");
    EXPECT_EQ(bash_words("kesp-sync.bash", "_kesp_sync", "kesp-sync passwords.db ''", 2), "\n");
    EXPECT_EQ(bash_words("kesp-merge.bash", "_kesp_merge", "kesp-merge a b c -o p", 5), "passwords.db\n");
    EXPECT_EQ(bash_words("kesp-merge.bash", "_kesp_merge", "kesp-merge --name p", 2), "\n");
    if (have("fish")) {
        auto fish = shell("cd " + quote(box.work()) + " && fish -c " +
                          quote("source " + quote(source_dir + "/completion/kesp-sync.fish") +
                                "; complete -C 'kesp-sync '"));
        EXPECT_NE(fish.output.find("init\t"), std::string::npos) << fish.output;
        EXPECT_NE(fish.output.find("passwords.db\n"), std::string::npos) << fish.output;
    }
}

}  // namespace

// Every program the build makes and installs: a page that lints clean and
// names each option of its usage text, completions for bash, zsh and fish
// that offer them, a line under SEE ALSO in kesp.1 and a mention in the
// README. The list is the build's own, so a new program is checked as soon
// as it has its line there.
namespace {

std::vector<std::string> built_programs() {
    std::vector<std::string> names;
    std::istringstream words(KESP_PROGRAMS);
    for (std::string name; words >> name;) names.push_back(name);
    return names;
}

// What the completion `function` of bash offers for the command line
// `words` (the last one being completed), with every bash file sourced.
std::set<std::string> bash_offers(const std::string &program, const std::string &words, int cword) {
    auto r = shell("bash -c " +
                   quote("for f in " + quote(source_dir) + "/completion/*.bash; do source \"$f\"; done; "
                         "f=$(complete -p " + program + " | sed -n 's/.* -F \\([^ ]*\\) .*/\\1/p'); "
                         "COMP_WORDS=(" + words + "); COMP_CWORD=" + std::to_string(cword) + "; "
                         "\"$f\"; printf '%s\\n' \"${COMPREPLY[@]}\""));
    std::set<std::string> offered;
    std::istringstream lines(r.output);
    for (std::string line; std::getline(lines, line);)
        if (!line.empty()) offered.insert(line);
    return offered;
}

TEST(EveryProgram, PageAndCompletionsCoverItsUsageText) {
    auto programs = built_programs();
    ASSERT_GE(programs.size(), 10u) << KESP_PROGRAMS;
    ASSERT_EQ(programs.front(), "kesp");
    const auto see_also = harness::read_file(manual);
    const auto readme = harness::read_file(source_dir + "/README.md");
    for (const auto &name : programs) {
        SCOPED_TRACE(name);
        const std::string page = source_dir + "/" + name + ".1";
        ASSERT_TRUE(harness::exists(page));
        EXPECT_EQ(shell("groff -man -ww -z " + quote(page)).output, "");
        if (have("mandoc")) {
            EXPECT_EQ(shell("mandoc -Tlint " + quote(page)).output, "");
        }
        auto text = shell("groff -man -Tutf8 -P-cbou " + quote(page)).output;
        for (const char *section : {"NAME", "SYNOPSIS", "OPTIONS", "EXIT STATUS", "SEE ALSO"})
            EXPECT_NE(text.find(std::string("\n") + section + "\n"), std::string::npos) << section;

        // kesp's usage text is all options; a companion's options are on its
        // first line (the lines after it may quote kesp's).
        auto usage = shell(quote(name == "kesp" ? KESP_BINARY : harness::built_program(name)) +
                           (name == "kesp" ? " -h" : " --help"));
        EXPECT_EQ(usage.status, 0);
        auto options = option_words(name == "kesp" ? usage.output
                                                   : usage.output.substr(0, usage.output.find('\n')));
        options.insert({"-h", "--help"});

        auto bash = bash_offers(name, name + " -", 1);
        const std::string zsh_file = source_dir + "/completion/_" + name;
        auto zsh = harness::read_file(zsh_file);
        EXPECT_EQ(zsh.rfind("#compdef " + name + "\n", 0), 0u);
        if (have("zsh")) {
            EXPECT_EQ(shell("zsh -n " + quote(zsh_file)).status, 0);
        }
        const std::string fish_file = source_dir + "/completion/" + name + ".fish";
        std::string fish;
        if (have("fish"))
            fish = shell("fish --no-config -c " +
                         quote("set -p fish_complete_path " + quote(source_dir + "/completion") +
                               "; set -p fish_function_path " + quote(source_dir + "/completion") +
                               "; complete -C " + quote(name + " -")))
                       .output;
        for (const auto &option : options) {
            EXPECT_NE(text.find(option), std::string::npos) << option << " not in " << name << ".1";
            EXPECT_TRUE(bash.count(option)) << option << " not offered by bash";
            EXPECT_NE(zsh.find(option), std::string::npos) << option << " not in _" << name;
            if (have("fish")) {
                EXPECT_NE(fish.find(option + "\t"), std::string::npos) << option << " not offered by fish";
            }
        }
        if (name != "kesp") {
            std::string escaped;
            for (char c : name) escaped += c == '-' ? std::string("\\-") : std::string(1, c);
            EXPECT_NE(see_also.find(".BR " + escaped + " (1)"), std::string::npos)
                << name << " not under SEE ALSO in kesp.1";
        }
        EXPECT_NE(readme.find("`" + name), std::string::npos) << name << " not in README.md";
    }
}

}  // namespace
