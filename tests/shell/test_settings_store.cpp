#include <gtest/gtest.h>

#include <QSettings>

#include "shell/ErrorReport.h"
#include "test_settings_support.h"

namespace lintaro {
namespace {

using test::PhoneValues;

class SettingsStoreTest : public ::testing::Test {
protected:
    void SetUp() override { test::ResetSettings(); }
    void TearDown() override { test::ResetSettings(); }
};

TEST_F(SettingsStoreTest, first_read_creates_the_store_of_vormex_lintaro) {
    ASSERT_FALSE(QFileInfo::exists(test::SettingsFile()));
    EXPECT_FALSE(TSettingsKey().ValueExists("COM"));
    EXPECT_TRUE(QFileInfo(test::SettingsFile()).isFile());

    TSettingsKey().WriteString("COM", "COM7");
    QSettings native(QSettings::NativeFormat, QSettings::UserScope, "Vormex", "Lintaro");
    EXPECT_EQ(native.value("COM").toString(), "COM7");
}

TEST_F(SettingsStoreTest, value_of_another_type_is_a_data_type_error) {
    test::StorePhones({{1, "111"}});
    {
        QSettings native(QSettings::NativeFormat, QSettings::UserScope, "Vormex", "Lintaro");
        native.setValue("phone2", QStringList{"a", "b"});
    }
    try {
        ReadPhoneHistory(TSettingsKey());
        FAIL() << "no error";
    } catch (const LintaroError& error) {
        EXPECT_EQ(error.Text(), "Invalid data type for 'phone2'");
    }
}

PhoneValues Numbered(int from, int to, int shift = 0) {
    PhoneValues values;
    for (int i = from; i <= to; ++i) values[i + shift] = QStringLiteral("8900000000%1").arg(i);
    return values;
}

PhoneValues With(PhoneValues values, int number, const QString& phone) {
    values[number] = phone;
    return values;
}

TEST_F(SettingsStoreTest, adding_a_number_rewrites_the_history_by_its_rules) {
    const struct {
        const char* name;
        PhoneValues stored;
        QString phone;
        PhoneValues after;
    } cases[] = {
        {"first number", {}, "89001112233", {{1, "89001112233"}}},
        {"empty text is stored too", {}, "", {{1, ""}}},
        {"known number keeps its place", Numbered(1, 5), "89000000005", Numbered(1, 5)},
        {"new number goes first", Numbered(1, 3), "1", With(Numbered(1, 3, 1), 1, "1")},
        {"ninth drops the oldest", Numbered(1, 8), "new", With(Numbered(1, 7, 1), 1, "new")},
        {"spaces count", {{1, "8 900 111"}}, "8900111", {{1, "8900111"}, {2, "8 900 111"}}},
        {"letter case counts", {{1, "abc"}}, "ABC", {{1, "ABC"}, {2, "abc"}}},
        {"gap closes", {{1, "A"}, {3, "B"}}, "N", {{1, "N"}, {2, "A"}, {3, "B"}}},
        // Values are never deleted: without an insertion the old number 3 stays behind.
        {"gap and known number", {{1, "A"}, {3, "B"}}, "A", {{1, "A"}, {2, "B"}, {3, "B"}}},
    };
    for (const auto& c : cases) {
        test::ResetSettings();
        test::StorePhones(c.stored);
        {
            TSettingsKey key;
            StorePhoneInHistory(key, c.phone);
        }
        EXPECT_EQ(test::StoredPhones(), c.after) << c.name;
    }
}

}  // namespace
}  // namespace lintaro
