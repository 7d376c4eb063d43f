// Entry display: the exact text block, the colour table, the masked password,
// and the QR form, whose symbol is rendered to an image and read back with
// a real QR reader (zbarimg) so that a wrong encoding or orientation shows.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <memory>
#include <optional>
#include <string>
#include <vector>
#include <pty.h>
#include <termios.h>
#include <unistd.h>

#include "harness/harness.h"
#include "output/display.h"
#include "memory/secret.h"
#include "store/entry.h"

namespace {

const std::string separator =
    "=====================================================================\n";
const std::string reset = "\033[0m";
const std::string qr_open = "\033[30m\033[107m\n";
const std::string qr_close = "\033[0m\n";
// The glyphs a module row may hold, each with the part of its character
// cell a terminal paints: rows [top, 8) of eight, over the cell's width.
struct glyph {
    std::string bytes;
    int top;  // 8: paints nothing
};
const glyph full_block{"\u2588", 0}, lower_five_eighths{"\u2585", 3}, blank{" ", 8};
const glyph *const glyphs[] = {&full_block, &lower_five_eighths, &blank};

entry_ptr make_entry(int id, const char *title, const char *user, const char *url,
                     const char *password, const char *notes,
                     const char *timestamp = "2024-05-01 12:00:00") {
    entry_ptr e(entry_new(title, user, url, password, notes));
    e->id = id;
    e->timestamp = xstrdup(timestamp);
    return e;
}

struct printed {
    std::string out, err;
};

printed print_captured(const entry *e, int show_password, int show_qrcode) {
    printed p;
    testing::internal::CaptureStdout();
    testing::internal::CaptureStderr();
    print_entry(e, show_password, show_qrcode);
    std::fflush(stdout);
    std::fflush(stderr);
    p.err = testing::internal::GetCapturedStderr();
    p.out = testing::internal::GetCapturedStdout();
    return p;
}

// Sets or unsets KESP_COLOR for one scope and puts back what was there.
class color_env {
public:
    explicit color_env(const char *value) {
        if (const char *old = std::getenv("KESP_COLOR")) old_ = old;
        if (value != nullptr)
            setenv("KESP_COLOR", value, 1);
        else
            unsetenv("KESP_COLOR");
    }
    ~color_env() {
        if (old_)
            setenv("KESP_COLOR", old_->c_str(), 1);
        else
            unsetenv("KESP_COLOR");
    }

private:
    std::optional<std::string> old_;
};

std::string text_block(const std::string &color, const std::string &body) {
    return separator + color + body + reset + separator;
}

// The glyphs of one line of character cells; nothing when it holds others.
std::optional<std::vector<const glyph *>> glyph_cells(const std::string &line) {
    std::vector<const glyph *> cells;
    for (std::size_t i = 0; i < line.size();) {
        const glyph *found = nullptr;
        for (const glyph *g : glyphs)
            if (line.compare(i, g->bytes.size(), g->bytes) == 0) found = g;
        if (found == nullptr) return std::nullopt;
        cells.push_back(found);
        i += found->bytes.size();
    }
    return cells;
}

// The module grid of a QR block, one string per row, '#' dark and '.' light.
// Fails the test and returns nothing when the block is not well formed.
std::optional<std::vector<std::string>> parse_qr_block(const std::string &out) {
    std::string head = separator + qr_open;
    std::string tail = qr_close + separator;
    if (out.size() < head.size() + tail.size() || out.compare(0, head.size(), head) != 0 ||
        out.compare(out.size() - tail.size(), tail.size(), tail) != 0) {
        ADD_FAILURE() << "QR block not framed as expected:\n" << out;
        return std::nullopt;
    }
    std::string body = out.substr(head.size(), out.size() - head.size() - tail.size());
    std::vector<std::string> rows;
    std::size_t pos = 0;
    while (pos < body.size()) {
        std::size_t end = body.find('\n', pos);
        if (end == std::string::npos) {
            ADD_FAILURE() << "unterminated module row";
            return std::nullopt;
        }
        auto cells = glyph_cells(body.substr(pos, end - pos));
        if (!cells || cells->size() % 2 != 0) {
            ADD_FAILURE() << "unexpected bytes in module row " << rows.size();
            return std::nullopt;
        }
        // A module is two cells: dark when both are full blocks, light when
        // both are blank, '?' for anything else.
        std::string row;
        for (std::size_t i = 0; i < cells->size(); i += 2) {
            const glyph *a = (*cells)[i], *b = (*cells)[i + 1];
            row += a == b && a == &full_block ? '#' : a == b && a == &blank ? '.' : '?';
        }
        rows.push_back(row);
        pos = end + 1;
    }
    return rows;
}

// Checks that the grid is square, size + 8 modules wide, with a light quiet
// zone of 4 around a symbol of side 4 * version + 17. Returns the side.
int check_geometry(const std::vector<std::string> &rows) {
    int n = static_cast<int>(rows.size());
    int size = n - 8;
    EXPECT_GE(size, 21);
    EXPECT_EQ((size - 17) % 4, 0) << "side " << size << " is no QR version";
    for (int y = 0; y < n; ++y) {
        EXPECT_EQ(static_cast<int>(rows[y].size()), n) << "row " << y;
        for (int x = 0; x < static_cast<int>(rows[y].size()); ++x) {
            bool quiet = x < 4 || y < 4 || x >= n - 4 || y >= n - 4;
            if (quiet && rows[y][x] != '.') {
                ADD_FAILURE() << "dark module in the quiet zone at " << x << "," << y;
                return size;
            }
        }
    }
    return size;
}

// Error-correction level read from the format bits next to the top-left
// finder ("L", "M", "Q" or "H"); empty when those 15 bits are no valid BCH
// code word, as in a mirrored or transposed symbol.
std::string error_correction_level(const std::vector<std::string> &rows) {
    auto dark = [&](int x, int y) { return rows[y + 4][x + 4] == '#'; };
    int word = 0;
    for (int i = 0; i < 6; ++i) word |= dark(8, i) << i;
    word |= dark(8, 7) << 6 | dark(8, 8) << 7 | dark(7, 8) << 8;
    for (int i = 9; i < 15; ++i) word |= dark(14 - i, 8) << i;
    for (int data = 0; data < 32; ++data) {
        int remainder = data;
        for (int i = 0; i < 10; ++i) remainder = (remainder << 1) ^ ((remainder >> 9) * 0x537);
        if ((((data << 10) | remainder) ^ 0x5412) == word) return std::string(1, "MLHQ"[data >> 3]);
    }
    return "";
}

// What a person sees of a QR block: every character cell of its module
// rows painted as a terminal paints that glyph (8 pixels wide, 16 high, a
// lower block only over its lower part), black on white, read with
// zbarimg. Returns the decoded bytes unchanged; empty when no symbol is
// found.
std::string decode_as_seen(const std::string &out) {
    std::size_t begin = out.find(qr_open), end = out.rfind(qr_close);
    if (begin == std::string::npos || end == std::string::npos || end < begin) return "";
    std::string body = out.substr(begin + qr_open.size(), end - begin - qr_open.size());
    std::vector<std::vector<const glyph *>> lines;
    for (std::size_t pos = 0, eol; (eol = body.find('\n', pos)) != std::string::npos; pos = eol + 1) {
        auto cells = glyph_cells(body.substr(pos, eol - pos));
        if (!cells) return "";
        lines.push_back(*cells);
    }
    if (lines.empty()) return "";
    const int cell_width = 8, cell_height = 16;
    const std::size_t width = lines[0].size() * cell_width;
    std::string image = "P2\n" + std::to_string(width) + " " +
                        std::to_string(lines.size() * cell_height) + "\n255\n";
    for (const auto &cells : lines)
        for (int y = 0; y < cell_height; ++y) {
            for (const glyph *g : cells)
                for (int x = 0; x < cell_width; ++x)
                    image += y * 8 >= g->top * cell_height ? "0 " : "255 ";
            image += "\n";
        }
    harness::sandbox box;
    std::string path = box.path("screen.pgm");
    harness::write_file(path, image);
    // -Sbinary keeps the bytes as encoded; without it zbar guesses a
    // character set and mangles UTF-8.
    std::string command = "zbarimg --nodbus --raw -q -Sbinary '" + path + "' 2>/dev/null";
    harness::command_result r = harness::run_shell(command);
    EXPECT_EQ(r.status, 0) << "zbarimg read no symbol off the rendered block";
    return r.output;
}

}  // namespace

TEST(DisplayText, GreenEntryWithMaskedPasswordExactBytes) {
    color_env color("GREEN");
    entry_ptr e = make_entry(3, "Mail", "alice", "https://mail.example", "s3cret!", "main box",
                             "2024-05-01 12:00:00");
    printed p = print_captured(e.get(), 0, 0);
    EXPECT_EQ(p.out,
              "=====================================================================\n"
              "\033[32mID: 3\n"
              "Title: Mail\n"
              "User: alice\n"
              "Url: https://mail.example\n"
              "Password: **********\n"
              "Notes: main box\n"
              "Modified: 2024-05-01 12:00:00\n"
              "\033[0m=====================================================================\n");
    EXPECT_EQ(p.err, "");
}

TEST(DisplayText, PasswordShownOnlyWhenFlagIsOne) {
    color_env color(nullptr);
    const std::string fields = "Title: t\nUser: u\nUrl: l\n";
    const std::string after = "Notes: n\nModified: 2024-05-01 12:00:00\n";
    entry_ptr e = make_entry(-7, "t", "u", "l", "pw 100%s", "n");

    EXPECT_EQ(print_captured(e.get(), 1, 0).out,
              text_block(reset, "ID: -7\n" + fields + "Password: pw 100%s\n" + after));
    EXPECT_EQ(print_captured(e.get(), 0, 0).out,
              text_block(reset, "ID: -7\n" + fields + "Password: **********\n" + after));

    // The mask does not depend on the password, not even an empty one.
    entry_ptr empty = make_entry(1, "t", "u", "l", "", "n");
    EXPECT_EQ(print_captured(empty.get(), 1, 0).out,
              text_block(reset, "ID: 1\n" + fields + "Password: \n" + after));
    EXPECT_EQ(print_captured(empty.get(), 0, 0).out,
              text_block(reset, "ID: 1\n" + fields + "Password: **********\n" + after));
}

TEST(DisplayText, EmptyFieldsEndRightAfterTheLabel) {
    color_env color(nullptr);
    entry_ptr e = make_entry(12, "", "", "", "", "", "");
    EXPECT_EQ(print_captured(e.get(), 1, 0).out,
              text_block(reset,
                         "ID: 12\nTitle: \nUser: \nUrl: \nPassword: \nNotes: \nModified: \n"));
}

TEST(DisplayText, EntryWithoutTimestampPrintsAnEmptyModifiedLine) {
    color_env color(nullptr);
    entry_ptr e(entry_new("t", "u", "l", "p", "n"));
    e->id = 4;
    EXPECT_EQ(print_captured(e.get(), 0, 0).out,
              text_block(reset, "ID: 4\nTitle: t\nUser: u\nUrl: l\nPassword: **********\n"
                                "Notes: n\nModified: \n"));
}

TEST(DisplayText, UnicodeAndFormatCharactersPassThroughUnchanged) {
    color_env color(nullptr);
    entry_ptr e = make_entry(2, "Bank \xC3\xA9\xE2\x82\xAC", "%n%s", "\033[31m", "p", "a\nb");
    EXPECT_EQ(print_captured(e.get(), 0, 0).out,
              text_block(reset, "ID: 2\nTitle: Bank \xC3\xA9\xE2\x82\xAC\nUser: %n%s\n"
                                "Url: \033[31m\nPassword: **********\nNotes: a\nb\n"
                                "Modified: 2024-05-01 12:00:00\n"));
}

TEST(DisplayColor, OnlyTheSevenUpperCaseNamesSelectAColour) {
    struct {
        const char *value;
        const char *sequence;
    } cases[] = {
        {nullptr, "\033[0m"},     {"BLUE", "\033[34m"},    {"RED", "\033[31m"},
        {"GREEN", "\033[32m"},    {"YELLOW", "\033[33m"},  {"MAGENTA", "\033[35m"},
        {"CYAN", "\033[36m"},     {"WHITE", "\033[37m"},   {"blue", "\033[0m"},
        {"Blue", "\033[0m"},      {"", "\033[0m"},         {"GREEN ", "\033[0m"},
        {" GREEN", "\033[0m"},    {"GREENX", "\033[0m"},   {"GRE", "\033[0m"},
        {"BLACK", "\033[0m"},
    };
    entry_ptr e = make_entry(1, "t", "u", "l", "p", "n");
    for (const auto &c : cases) {
        color_env color(c.value);
        std::string label = c.value ? std::string("\"") + c.value + "\"" : "unset";
        ASSERT_NE(color_code(), nullptr) << label;
        EXPECT_STREQ(color_code(), c.sequence) << label;

        // The separators stay uncoloured; the reset closes the block.
        std::string out = print_captured(e.get(), 0, 0).out;
        EXPECT_EQ(out.substr(0, separator.size() + std::string(c.sequence).size() + 4),
                  separator + c.sequence + "ID: ")
            << label;
        EXPECT_EQ(out.substr(out.size() - reset.size() - separator.size()), reset + separator)
            << label;
    }
}

TEST(DisplayQr, OnlyFlagOneSelectsTheQrForm) {
    color_env color(nullptr);
    entry_ptr e = make_entry(5, "t", "u", "l", "p", "n");
    std::string out = print_captured(e.get(), 0, 0).out;
    EXPECT_EQ(out.substr(separator.size(), reset.size() + 6), reset + "ID: 5\n");
    EXPECT_EQ(print_captured(e.get(), 0, 1).out.substr(separator.size(), qr_open.size()),
              qr_open);
}

TEST(DisplayQr, EmptyEntryIsAVersionOneSymbolWithQuietZone) {
    color_env color("GREEN");
    entry_ptr e = make_entry(9, "", "", "", "", "");
    printed p = print_captured(e.get(), 1, 1);
    EXPECT_EQ(p.err, "");
    EXPECT_EQ(p.out.find("\033[32m"), std::string::npos) << "no KESP_COLOR in the QR form";
    EXPECT_EQ(p.out.find("ID:"), std::string::npos);

    auto rows = parse_qr_block(p.out);
    ASSERT_TRUE(rows);
    ASSERT_EQ(rows->size(), 29u);
    EXPECT_EQ(check_geometry(*rows), 21);
    // Each row is 58 character cells: 29 modules of two cells.
    std::size_t first_row = p.out.find('\n', separator.size() + qr_open.size() - 1) + 1;
    std::size_t second_row = p.out.find('\n', first_row) + 1;
    EXPECT_EQ(p.out.substr(first_row, second_row - first_row), std::string(58, ' ') + "\n");
    // Top-left finder pattern right inside the quiet zone, upright.
    EXPECT_EQ((*rows)[4].substr(4, 8), "#######.");
    EXPECT_EQ((*rows)[6].substr(4, 8), "#.###.#.");
    EXPECT_EQ((*rows)[4].substr(17, 8), ".#######");
    // Five bytes leave room to raise the level from LOW up to HIGH.
    EXPECT_EQ(error_correction_level(*rows), "H");

    EXPECT_EQ(decode_as_seen(p.out), "\n\n\n\n\n");
}

TEST(DisplayQr, AsciiEntryDecodesToItsFiveLinesEvenWithPasswordHidden) {
    color_env color(nullptr);
    entry_ptr e = make_entry(3, "Mail at work", "alice", "https://mail.example/login?x=1",
                             "s3cret!?)=", "main box");
    printed p = print_captured(e.get(), 0, 1);
    EXPECT_EQ(p.err, "");
    auto rows = parse_qr_block(p.out);
    ASSERT_TRUE(rows);
    check_geometry(*rows);
    EXPECT_NE(error_correction_level(*rows), "") << "symbol mirrored or transposed";
    EXPECT_EQ(decode_as_seen(p.out),
              "Mail at work\nalice\nhttps://mail.example/login?x=1\ns3cret!?)=\nmain box\n");
}

TEST(DisplayQr, Utf8EntryDecodesToTheSameBytes) {
    color_env color(nullptr);
    const char *title = "Caf\xC3\xA9 \xE2\x82\xAC au lait";    // Café € au lait
    const char *user = "\xE3\x83\xA6\xE3\x83\xBC\xE3\x82\xB6";  // katakana
    const char *password = "p\xC3\xA4ss\xF0\x9F\x94\x91";       // with an emoji
    entry_ptr e = make_entry(3, title, user, "https://b\xC3\xBC" "cher.example", password,
                             "Gr\xC3\xBC\xC3\x9F" "e");
    printed p = print_captured(e.get(), 0, 1);
    auto rows = parse_qr_block(p.out);
    ASSERT_TRUE(rows);
    check_geometry(*rows);
    EXPECT_EQ(decode_as_seen(p.out), std::string(title) + "\n" + user + "\nhttps://b\xC3\xBC" "cher.example\n" +
                                    password + "\nGr\xC3\xBC\xC3\x9F" "e\n");
}

TEST(DisplayQr, LargestTextFillsVersionFortyOneByteMoreFails) {
    color_env color(nullptr);
    // Five line feeds plus the notes: 2953 bytes, the byte-mode capacity.
    std::string notes(2953 - 5, 'x');
    entry_ptr fits = make_entry(1, "", "", "", "", notes.c_str());
    printed p = print_captured(fits.get(), 0, 1);
    EXPECT_EQ(p.err, "");
    auto rows = parse_qr_block(p.out);
    ASSERT_TRUE(rows);
    ASSERT_EQ(rows->size(), 185u);
    EXPECT_EQ(check_geometry(*rows), 177);
    EXPECT_EQ(error_correction_level(*rows), "L");
    EXPECT_EQ(decode_as_seen(p.out), "\n\n\n\n" + notes + "\n");

    notes += 'x';
    entry_ptr too_long = make_entry(1, "", "", "", "", notes.c_str());
    p = print_captured(too_long.get(), 0, 1);
    EXPECT_EQ(p.out, separator + separator);
    EXPECT_EQ(p.err, "Unable to generate QR code.\n");
}

TEST(DisplayQr, TextLengthIsCountedInBytes) {
    color_env color(nullptr);
    // 1500 two-byte characters: fewer than 2953 characters, more bytes.
    std::string notes;
    for (int i = 0; i < 1500; ++i) notes += "\xC3\xA9";
    entry_ptr e = make_entry(1, "t", "u", "l", "p", notes.c_str());
    printed p = print_captured(e.get(), 1, 1);
    EXPECT_EQ(p.out, separator + separator);
    EXPECT_EQ(p.err, "Unable to generate QR code.\n");
}

namespace {

// What one printer writes for `entries` when standard output is a raw
// pseudo-terminal (escaped) or a pipe (bytes as stored).
std::string print_through(bool terminal, const std::vector<const entry *> &entries,
                          int show_password) {
    std::fflush(stdout);
    int saved = ::dup(STDOUT_FILENO), master = -1, slave = -1, fds[2] = {-1, -1};
    if (terminal) {
        if (::openpty(&master, &slave, nullptr, nullptr, nullptr) != 0) std::abort();
        struct termios raw;
        ::tcgetattr(slave, &raw);
        ::cfmakeraw(&raw);
        ::tcsetattr(slave, TCSANOW, &raw);
        ::dup2(slave, STDOUT_FILENO);
    } else {
        if (::pipe(fds) != 0) std::abort();
        ::dup2(fds[1], STDOUT_FILENO);
    }
    {
        entry_printer printer;
        for (const entry *e : entries) printer.print(e, show_password, 0);
    }
    std::fflush(stdout);
    ::dup2(saved, STDOUT_FILENO);
    ::close(saved);
    int reader = terminal ? master : fds[0];
    ::close(terminal ? slave : fds[1]);
    std::string out;
    char chunk[4096];
    ssize_t n;
    // A closed pseudo-terminal reads as EIO once drained.
    while ((n = ::read(reader, chunk, sizeof chunk)) > 0) out.append(chunk, n);
    ::close(reader);
    return out;
}

}  // namespace

// A terminal and a pipe get the same bytes wherever nothing needs escaping,
// entry after entry through one printer (which reads the colour once), and
// only the terminal escapes control characters.
TEST(DisplayText, TerminalAndPipeGiveTheSameBytesOutsideEscapes) {
    struct {
        const char *color;
        int show_password;
    } cases[] = {{nullptr, 0}, {"RED", 1}, {"CYAN", 0}, {"nonsense", 1}};
    entry_ptr a = make_entry(0, "", "", "", "", "", "");
    entry_ptr b = make_entry(2147483647, "Mail", "alice", "https://mail.example", "s3cret!",
                             "line one\nline two\twith tab");
    entry_ptr c = make_entry(-1, "bank \xc3\xa4", "u", "l", "p", "n");
    for (const auto &k : cases) {
        SCOPED_TRACE(std::string(k.color ? k.color : "no colour") + " " +
                     std::to_string(k.show_password));
        color_env color(k.color);
        std::vector<const entry *> entries = {a.get(), b.get(), c.get(), b.get()};
        std::string piped = print_through(false, entries, k.show_password);
        EXPECT_EQ(piped, print_through(true, entries, k.show_password));
        std::string one_by_one;
        for (const entry *e : entries) one_by_one += print_captured(e, k.show_password, 0).out;
        EXPECT_EQ(piped, one_by_one);
    }

    entry_ptr control = make_entry(5, "a\x1b]52;c;x\x07", "u", "l", "p", "n");
    std::string piped = print_through(false, {control.get()}, 0);
    std::string shown = print_through(true, {control.get()}, 0);
    EXPECT_NE(piped.find("Title: a\x1b]52;c;x\x07\n"), std::string::npos);
    EXPECT_NE(shown.find("Title: a\\x1b]52;c;x\\x07\n"), std::string::npos);
}

// On a terminal, controls are shown, never obeyed; printable text, UTF-8,
// newline and tab pass. Elsewhere the bytes pass unchanged.
TEST(DisplayEscapes, ControlsAreShownOnATerminalOnly) {
    struct { std::string in, shown; } cases[] = {
        {"plain text\twith tab\nand newline", "plain text\twith tab\nand newline"},
        {"\x1b]52;c;aGk=\x07", "\\x1b]52;c;aGk=\\x07"},      // OSC 52: sets the clipboard
        {"evil\r\x1b[2Kgood.example", "evil\\x0d\\x1b[2Kgood.example"},
        {std::string("a\0b", 3), "a\\x00b"},
        {"del\x7f", "del\\x7f"},
        {"\xc2\x9b" "31m", "\\u009b31m"},                    // C1 CSI in UTF-8
        {"\x9b" "31m", "\\x9b31m"},                          // a lone 8-bit C1 byte
        {"caf\xc3\xa9 \xe2\x82\xac \xf0\x9f\x94\x91", "caf\xc3\xa9 \xe2\x82\xac \xf0\x9f\x94\x91"},
    };
    for (const auto &c : cases) {
        secret_string shown, raw;
        append_visible(shown, c.in, true);
        append_visible(raw, c.in, false);
        EXPECT_EQ(std::string(shown.c_str(), shown.size()), c.shown) << c.in;
        EXPECT_EQ(std::string(raw.c_str(), raw.size()), c.in);
    }
}

// A hidden value of an import is masked wherever the password is: the
// rest of each line after the marker, on every line that has it.
TEST(DisplayMasking, HiddenValuesInNotesAreMaskedWithThePassword) {
    const std::string stars = "**********";
    struct {
        std::string notes, masked;  // masked empty: left as it is
    } cases[] = {
        {"PIN (hidden): 1234", "PIN (hidden): " + stars},
        {"Folder: Work\nPIN (hidden): 1234\nSeat: 12A\nKey (hidden): a b: c\n",
         "Folder: Work\nPIN (hidden): " + stars + "\nSeat: 12A\nKey (hidden): " + stars + "\n"},
        {"x (hidden): ", "x (hidden): " + stars},
        {"two (hidden): a (hidden): b\nend", "two (hidden): " + stars + "\nend"},
        {"Empty (hidden):", ""},
        {"PIN(hidden): 1234", ""},
        {"PIN (hidden) 1234", ""},
        {"", ""},
    };
    for (const auto &c : cases) {
        secret_string out;
        EXPECT_EQ(mask_hidden_values(c.notes, out), !c.masked.empty()) << c.notes;
        EXPECT_EQ(std::string(out.view()), c.masked) << c.notes;

        entry_ptr e = make_entry(1, "t", "u", "l", "pw", c.notes.c_str());
        const std::string shown = c.masked.empty() ? c.notes : c.masked;
        EXPECT_NE(print_captured(e.get(), 0, 0).out.find("Notes: " + shown + "\nModified"),
                  std::string::npos) << c.notes;
        EXPECT_NE(print_captured(e.get(), 1, 0).out.find("Notes: " + c.notes + "\nModified"),
                  std::string::npos) << c.notes;
    }
    // A one-time code's seed and a hidden value in one note: both masked.
    entry_ptr both = make_entry(1, "t", "u", "l", "pw",
                                "otpauth://totp/x?secret=ABC\nPIN (hidden): 1234");
    EXPECT_NE(print_captured(both.get(), 0, 0)
                  .out.find("Notes: otpauth://totp/x?secret=" + stars + "\nPIN (hidden): " + stars + "\n"),
              std::string::npos);
}

// The seed of a one-time code in the notes is masked wherever the password
// is: every secret parameter of every otpauth URI, in any case.
TEST(DisplayMasking, OtpSeedsInNotesAreMaskedWithThePassword) {
    const std::string stars = "**********";
    struct {
        std::string notes, masked;  // masked empty: left as it is
    } cases[] = {
        {"otpauth://totp/GitHub?secret=JBSWY3DPEHPK3PXP",
         "otpauth://totp/GitHub?secret=" + stars},
        {"Folder: Work\nOTPAUTH://TOTP/x?issuer=a&SeCrEt=abc&digits=8 and more",
         "Folder: Work\nOTPAUTH://TOTP/x?issuer=a&SeCrEt=" + stars + "&digits=8 and more"},
        {"a otpauth://hotp/x?secret=AAAA&counter=1\n\"otpauth://totp/y?secret=BBBB#frag\"",
         "a otpauth://hotp/x?secret=" + stars + "&counter=1\n\"otpauth://totp/y?secret=" + stars +
             "#frag\""},
        {"otpauth://totp/x?secret=", "otpauth://totp/x?secret=" + stars},
        {"otpauth://totp/x?secretive=1&secret", "otpauth://totp/x?secretive=1&secret"},
        {"otpauth://totp/x", "otpauth://totp/x"},
        // The scheme is found by its colon: colons before it, a scheme cut
        // short, a scheme right at the end, a scheme inside a word.
        {"a:b::otpauth:otpauth://totp/x?secret=S", "a:b::otpauth:otpauth://totp/x?secret=" + stars},
        {":otpauth://x?secret=S", ":otpauth://x?secret=" + stars},
        {"note: otpauth:/totp/x?secret=S", ""},
        {"tpauth://totp/x?secret=S", ""},
        {"ends in otpauth:/", ""},
        {"otpauth://", "otpauth://"},
        {"XOtPaUtH://x?secret=S", "XOtPaUtH://x?secret=" + stars},
        {"secret=JBSWY3DP and no URI", ""},
        {"", ""},
    };
    for (const auto &c : cases) {
        secret_string out;
        EXPECT_EQ(mask_otp_secrets(c.notes, out), !c.masked.empty()) << c.notes;
        EXPECT_EQ(std::string(out.view()), c.masked) << c.notes;

        entry_ptr e = make_entry(1, "t", "u", "l", "pw", c.notes.c_str());
        const std::string shown = c.masked.empty() ? c.notes : c.masked;
        EXPECT_NE(print_captured(e.get(), 0, 0).out.find("Notes: " + shown + "\n"),
                  std::string::npos) << c.notes;
        EXPECT_NE(print_captured(e.get(), 1, 0).out.find("Notes: " + c.notes + "\n"),
                  std::string::npos) << c.notes;
    }
}
