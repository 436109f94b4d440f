#include <gtest/gtest.h>

#include "log/LogLines.h"

namespace lintaro {
namespace {

QString Nul(const char16_t* before, const char16_t* after) {
    return QString::fromUtf16(before) + QChar(u'\0') + QString::fromUtf16(after);
}

TEST(SplitLogText, cuts_at_breaks_only_when_a_carriage_return_is_present) {
    const std::pair<QString, QStringList> cases[] = {
        {"", {""}},
        {"+VER_INFO=?", {"+VER_INFO=?"}},
        {"A\nB\n", {"A\nB\n"}},  // line feeds alone stay in the one piece
        {"\r\nOK\r\n", {"", "OK"}},
        {"A\r\n", {"A"}},
        {"\rA", {"", "A"}},
        {"\r", {""}},
        {"A\r\rB", {"A", "", "B"}},
        {"A\n\rB", {"A", "", "B"}},
        {"A\r\n\r\n", {"A", ""}},
        {"A\nB\rC", {"A", "B", "C"}},
        {Nul(u"AB", u"CD"), {"AB"}},
        {Nul(u"A\rB", u"C\rD"), {"A", "B"}},
        {Nul(u"A\nB", u"C\r"), {"A", "B"}},  // the carriage return counts past the NUL
        {Nul(u"A\nB", u"C"), {"A\nB"}},
        {Nul(u"", u"\r"), {}},
        {"\001\033A\t", {"\001\033A\t"}},
    };
    for (std::size_t i = 0; i < std::size(cases); ++i) {
        EXPECT_EQ(SplitLogText(cases[i].first), cases[i].second) << "case " << i;
    }
}

TEST(FormLogLine, keeps_every_blank_of_its_layout) {
    const struct {
        LogLayout layout;
        QString direction, piece, line;
    } cases[] = {
        {LogLayout::MainWindow, "APP->COM", "+VER_INFO=?", "T: APP->COM +VER_INFO=?"},
        {LogLayout::MainWindow, "", "text", "T:  text"},
        {LogLayout::MainWindow, "", "", "T:  "},
        {LogLayout::RingThread, "<<", "ATZ", "T:<< ATZ"},
        {LogLayout::RingThread, "", "text", "T: text"},
        {LogLayout::RingThread, "", "", "T: "},
        {LogLayout::RingThread, ">>", "", "T:>> "},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(FormLogLine("T", c.direction, c.piece, c.layout), c.line);
    }
}

TEST(FormLogLines, each_line_takes_a_fresh_stamp_in_order) {
    int calls = 0;
    const auto stamp = [&] { return QStringLiteral("S%1").arg(++calls); };
    EXPECT_EQ(FormLogLines("\r\nOK\r\n", ">>", LogLayout::RingThread, stamp),
              (QStringList{"S1:>> ", "S2:>> OK"}));
    EXPECT_EQ(calls, 2);
}

}  // namespace
}  // namespace lintaro
