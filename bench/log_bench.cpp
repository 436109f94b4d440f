// The log window under a relay's traffic: feeds chunks of data, alternating directions as
// an echo exchange does, to a shown log window (offscreen) with automatic scrolling on, and
// prints the time per chunk and the memory the window grew by, read while it holds its
// bound of rows (with the default workload) against the goal of at most 40 MB.
//   log_bench [--chunks N] [--size BYTES] [--every K] [--mode data|lines] [--autoscroll 0|1]
// --every K: the event loop turns after every K chunks (K chunks arrive while the window
// is busy); in data mode they come as the relay hands them over, one entry per direction
// (default 1000: about one 50 ms batch of the relay's at a few MB/s).
// --mode lines: each chunk formed into lines and appended by itself, as the window took
// them before it had a data entry point.
#include <malloc.h>
#include <QApplication>
#include <QCheckBox>
#include <QElapsedTimer>
#include <QFile>
#include <cstdio>
#include <cstring>
#include <string>

#include "log/CodePage.h"
#include "log/LOGUnit.h"
#include "log/LogLines.h"
#include "log/LogRows.h"
#include "log/TimeFuncs.h"

namespace {

long RssKiB() {
    QFile status(QStringLiteral("/proc/self/status"));
    if (!status.open(QIODevice::ReadOnly)) return -1;
    for (const QByteArray& line : status.readAll().split('\n')) {
        if (line.startsWith("VmRSS:")) return line.mid(6).trimmed().split(' ').value(0).toLong();
    }
    return -1;
}

}  // namespace

int main(int argc, char** argv) {
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");
    long chunks = 2000000;
    int size = 64;
    int every = 1000;
    std::string mode = "data";
    bool autoscroll = true;
    for (int i = 1; i + 1 < argc; i += 2) {
        if (!std::strcmp(argv[i], "--chunks"))
            chunks = std::atol(argv[i + 1]);
        else if (!std::strcmp(argv[i], "--size"))
            size = std::atoi(argv[i + 1]);
        else if (!std::strcmp(argv[i], "--every"))
            every = std::max(1, std::atoi(argv[i + 1]));
        else if (!std::strcmp(argv[i], "--mode"))
            mode = argv[i + 1];
        else if (!std::strcmp(argv[i], "--autoscroll"))
            autoscroll = std::atoi(argv[i + 1]) != 0;
    }
    QApplication app(argc, argv);
    lintaro::TLOGForm form;
    form.AutiscrollCheckBox->setChecked(autoscroll);
    form.show();
    QApplication::processEvents();

    // Printable bytes with a line end now and then, as a text protocol would send.
    QByteArray chunk(size, 'x');
    for (int i = 0; i < size; ++i) chunk[i] = static_cast<char>(' ' + i % 90);
    chunk[size - 2] = '\r';
    chunk[size - 1] = '\n';
    const QString directions[] = {QStringLiteral("TCP->COM"), QStringLiteral("COM->TCP")};
    QByteArray batch[2];  // the relay's batch: what came of each direction since the last

    const long before = RssKiB();
    QElapsedTimer clock;
    clock.start();
    double firstTenth = 0;
    for (long n = 0; n < chunks; ++n) {
        const QString& direction = directions[n % 2];
        if (mode == "lines") {
            form.AppendLines(
                lintaro::FormLogLines(lintaro::BytesToText(chunk), direction,
                                      lintaro::LogLayout::MainWindow, lintaro::GetTimeStamp),
                autoscroll);
        } else {
            batch[n % 2] += chunk;
        }
        if ((n + 1) % every == 0 || n + 1 == chunks) {
            for (int d = 0; d < 2; ++d) {
                if (!batch[d].isEmpty()) form.AppendData(batch[d], directions[d], autoscroll);
                batch[d].clear();
            }
            QApplication::processEvents();
        }
        if (n + 1 == chunks / 10) firstTenth = clock.nsecsElapsed() / 1e9;
    }
    const qsizetype rows = form.Rows->rowCount();
    const double seconds = clock.nsecsElapsed() / 1e9;
    const long grown = RssKiB() - before;
    // What the heap keeps for reuse after the churn of forming lines, handed back.
    malloc_trim(0);
    const long held = RssKiB() - before;
    // Forming every line, as saving does, costs only while it runs.
    const qsizetype listed = form.Lines().size();
    malloc_trim(0);
    const long afterLines = RssKiB() - before;
    std::printf("mode %s: %ld chunks of %d bytes, event loop every %d, autoscroll %d\n",
                mode.c_str(), chunks, size, every, autoscroll ? 1 : 0);
    std::printf("time %.2f s, %.2f us per chunk (first tenth %.2f us, last nine tenths %.2f us)\n",
                seconds, seconds * 1e6 / chunks, firstTenth * 1e7 / chunks,
                (seconds - firstTenth) * 1e6 / (chunks - chunks / 10));
    std::printf(
        "rows held %lld, RSS grew %.1f MB; after malloc_trim %.1f MB (%.0f bytes per row held)\n",
        static_cast<long long>(rows), grown / 1024.0, held / 1024.0,
        rows > 0 ? held * 1024.0 / rows : 0.0);
    std::printf("after listing its %lld lines %.1f MB\n", static_cast<long long>(listed),
                afterLines / 1024.0);
    const bool atBound = form.Rows->Dropped() > 0;  // old rows went: a limit was reached
    std::printf("memory %s: %.1f MB over start (goal <= 40 MB: %s)\n",
                atBound ? "at the bound" : "below the bound", grown / 1024.0,
                grown <= 40 * 1024 ? "met" : "NOT met");
    return 0;
}
