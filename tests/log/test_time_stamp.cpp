#include <gtest/gtest.h>

#include <QRegularExpression>
#include <thread>

#include "log/TimeFuncs.h"

namespace lintaro {
namespace {

const QRegularExpression StampPattern(
    R"(^(\d{4})\.(\d{2})\.(\d{2}) (\d{2})(\D+)(\d{2})\5(\d{2})\.(\d{3})$)");

TEST(TimeStamp, pads_every_field_on_the_24_hour_clock) {
    EXPECT_EQ(FormatTimeStamp(QDateTime(QDate(2024, 3, 5), QTime(7, 8, 9, 45)), ":"),
              "2024.03.05 07:08:09.045");
    EXPECT_EQ(FormatTimeStamp(QDateTime(QDate(999, 12, 31), QTime(23, 59, 59, 999)), "."),
              "0999.12.31 23.59.59.999");
}

TEST(TimeStamp, separator_comes_from_the_locale_time_format) {
    const std::pair<QString, QString> cases[] = {
        {"HH:mm:ss", ":"}, {"h:mm AP", ":"}, {"H.mm", "."}, {"HH'h'mm", "h"},
        {"hh mm", " "},    {"", ":"},        {"HHmm", ":"}, {"AP h", ":"},
    };
    for (const auto& [format, separator] : cases) {
        EXPECT_EQ(TimeSeparator(format), separator) << format.toStdString();
    }
}

// The dialling thread stamps its lines while the window may stamp its own.
TEST(TimeStamp, stamps_the_local_time_now_from_any_thread) {
    // The C library loads its zone under a lock of its own that the thread sanitizer
    // cannot see, and without TZ reloads it on every call: name the default zone and load
    // it before the threads meet.
    if (qEnvironmentVariableIsEmpty("TZ")) qputenv("TZ", ":/etc/localtime");
    GetTimeStamp();
    QStringList other;
    std::thread thread([&] {
        for (int i = 0; i < 200; ++i) other.append(GetTimeStamp());
    });
    const QDateTime before = QDateTime::currentDateTime();
    const QString stamp = GetTimeStamp();
    const QDateTime after = QDateTime::currentDateTime();
    thread.join();

    const QRegularExpressionMatch m = StampPattern.match(stamp);
    ASSERT_TRUE(m.hasMatch()) << stamp.toStdString();
    const auto n = [&](int i) { return m.captured(i).toInt(); };
    const QDateTime parsed(QDate(n(1), n(2), n(3)), QTime(n(4), n(6), n(7), n(8)));
    EXPECT_LE(before, parsed);
    EXPECT_LE(parsed, after);
    for (const QString& s : other) ASSERT_TRUE(StampPattern.match(s).hasMatch()) << s.toStdString();
}

}  // namespace
}  // namespace lintaro
