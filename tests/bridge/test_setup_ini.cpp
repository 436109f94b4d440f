#include <gtest/gtest.h>

#include <QStringEncoder>

#include "bridge/SetupIni.h"
#include "log/CodePage.h"

namespace {

using lintaro::DecodeSetupIni;
using lintaro::SetupIniValue;

struct LookupCase {
    const char* name;
    const char* text;  // UTF-8 here; the lookup works on decoded text
    const char* key;
    const char* value;
};

const LookupCase kLookupCases[] = {
    {"value_of_the_matching_line", "DEF7=def7setup\nABC12=abc12setup\n", "ABC12", "abc12setup"},
    {"no_matching_line_gives_empty", "DEF7=def7setup\n", "ABC12", ""},
    {"first_match_wins", "ABC12=first\nabc12=second\n", "ABC12", "first"},
    {"keys_ignore_latin_case", "abc12=x\n", "ABC12", "x"},
    {"keys_ignore_cyrillic_case", "прибор=x\n", "ПРИБОР", "x"},
    {"spaces_before_equals_belong_to_the_key", "ABC12 = abc12setup\n", "ABC12", ""},
    {"spaces_after_equals_belong_to_the_value", "ABC12= abc12setup \n", "ABC12", " abc12setup "},
    {"spaces_in_the_key_match_as_they_stand", "ABC12 =x\n", "ABC12 ", "x"},
    {"key_ends_at_the_first_equals", "ABC12=a=b\n", "ABC12", "a=b"},
    {"empty_key_matches_a_line_beginning_with_equals", "ABC=x\n=empty\n", "", "empty"},
    {"empty_key_does_not_match_a_line_without_equals", "ABC\n", "", ""},
    {"lines_without_equals_are_skipped", "[Programs]\n; ABC12 notes\nABC12=x\n", "ABC12", "x"},
    {"section_headers_have_no_meaning", "[A]\nK=1\n[B]\nK=2\n", "K", "1"},
    {"crlf_line_ends", "A=1\r\nABC12=x\r\nB=2\r\n", "ABC12", "x"},
    {"cr_line_ends", "A=1\rABC12=x\rB=2\r", "ABC12", "x"},
    {"lf_cr_is_two_line_ends", "A=1\n\rABC12=x", "ABC12", "x"},
    {"last_line_without_line_end", "A=1\nABC12=x", "ABC12", "x"},
    {"empty_value", "ABC12=\nABC12=later\n", "ABC12", ""},
};

class SetupIniLookupTest : public ::testing::TestWithParam<LookupCase> {};

TEST_P(SetupIniLookupTest, finds_the_value_of_the_key) {
    const LookupCase& c = GetParam();
    EXPECT_EQ(SetupIniValue(QString::fromUtf8(c.text), QString::fromUtf8(c.key)),
              QString::fromUtf8(c.value));
}

INSTANTIATE_TEST_SUITE_P(Lines, SetupIniLookupTest, ::testing::ValuesIn(kLookupCases),
                         [](const auto& info) { return std::string(info.param.name); });

const QString kText = QStringLiteral("[Приборы]\r\nМИК1=mik1setup\r\n");

QByteArray Bom(std::initializer_list<unsigned char> bytes) {
    QByteArray result;
    for (unsigned char b : bytes) result.append(static_cast<char>(b));
    return result;
}

QByteArray Encoded(QStringConverter::Encoding encoding, const QString& text) {
    QStringEncoder encoder(encoding);
    return encoder.encode(text);
}

TEST(SetupIniDecode, byte_order_marks_select_the_encoding) {
    const QByteArray utf8 = Bom({0xEF, 0xBB, 0xBF}) + kText.toUtf8();
    const QByteArray le = Bom({0xFF, 0xFE}) + Encoded(QStringConverter::Utf16LE, kText);
    const QByteArray be = Bom({0xFE, 0xFF}) + Encoded(QStringConverter::Utf16BE, kText);
    for (bool utf8WithoutBom : {true, false}) {
        EXPECT_EQ(DecodeSetupIni(utf8, utf8WithoutBom), kText);
        EXPECT_EQ(DecodeSetupIni(le, utf8WithoutBom), kText);
        EXPECT_EQ(DecodeSetupIni(be, utf8WithoutBom), kText);
    }
}

TEST(SetupIniDecode, valid_utf8_without_mark_is_utf8_where_allowed) {
    EXPECT_EQ(DecodeSetupIni(kText.toUtf8(), true), kText);
    // Where it is not (Windows), the same bytes are code page characters.
    EXPECT_EQ(DecodeSetupIni(kText.toUtf8(), false), lintaro::BytesToText(kText.toUtf8()));
}

TEST(SetupIniDecode, invalid_utf8_falls_back_to_the_code_page) {
    const QByteArray bytes = lintaro::TextToBytes(kText);
    ASSERT_NE(bytes, kText.toUtf8());
    EXPECT_EQ(DecodeSetupIni(bytes, true), kText);
    EXPECT_EQ(DecodeSetupIni(bytes, false), kText);
}

TEST(SetupIniDecode, plain_ascii_reads_the_same_either_way) {
    const QByteArray bytes("ABC12=abc12setup\r\n");
    EXPECT_EQ(DecodeSetupIni(bytes, true), QString::fromLatin1(bytes));
    EXPECT_EQ(DecodeSetupIni(bytes, false), QString::fromLatin1(bytes));
}

TEST(SetupIniDecode, mark_alone_is_an_empty_file) {
    EXPECT_EQ(DecodeSetupIni(Bom({0xEF, 0xBB, 0xBF}), true), QString());
    EXPECT_EQ(DecodeSetupIni(Bom({0xFF, 0xFE}), true), QString());
    EXPECT_EQ(DecodeSetupIni(QByteArray(), true), QString());
}

TEST(SetupIniDecode, decoded_file_finds_cyrillic_key_in_other_case) {
    const QByteArray bytes = Bom({0xFF, 0xFE}) + Encoded(QStringConverter::Utf16LE, kText);
    EXPECT_EQ(SetupIniValue(DecodeSetupIni(bytes, true), QStringLiteral("мик1")),
              QStringLiteral("mik1setup"));
}

TEST(SetupIniName, only_plain_file_names_in_the_program_folder_are_accepted) {
    const struct {
        QString value;
        bool plain;
    } cases[] = {
        {"abc12setup", true},
        {"abc12setup.exe", true},
        {"настройка 2", true},
        {" abc ", true},
        {".hidden", true},
        {"", false},
        {"../victim", false},
        {"..", false},
        {"a..b", false},
        {"sub/abc", false},
        {"/etc/passwd", false},
        {"sub\\abc", false},
        {"C:abc", false},
        {"abc:stream", false},
        {"abc\tdef", false},
        {"abc\r\nDEF7=x", false},
        {QString(QChar(0)), false},
        {"abc\x7f", false},
        {QString(QChar(0x85)), false},
        {QString(QChar(0x2028)), false},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(lintaro::IsPlainProgramName(c.value), c.plain) << c.value.toStdString();
    }
}

}  // namespace
