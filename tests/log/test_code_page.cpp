#include <gtest/gtest.h>

#include <QSet>

#include "log/CodePage.h"

namespace lintaro {
namespace {

TEST(CodePage, every_byte_is_one_character_of_its_own_and_comes_back) {
    QByteArray all;
    for (int b = 0; b < 256; ++b) all.append(static_cast<char>(b));
    const QString text = BytesToText(all);
    ASSERT_EQ(text.size(), 256);
    EXPECT_EQ(QSet<QChar>(text.begin(), text.end()).size(), 256);
    EXPECT_EQ(text.left(128), QString::fromLatin1(all.left(128)));
    EXPECT_EQ(TextToBytes(text), all);
    EXPECT_EQ(TextToBytes(QStringLiteral("A\u4E2DB")), QByteArray("A?B"));  // not in the page
}

#ifndef _WIN32
TEST(CodePage, high_bytes_are_the_cyrillic_page) {
    const QByteArray bytes("\xC0\xDF\xE0\xFF\xA8\xB8\xB9\x88\x96");
    EXPECT_EQ(BytesToText(bytes), QStringLiteral("АЯаяЁё№€–"));
}
#endif

}  // namespace
}  // namespace lintaro
