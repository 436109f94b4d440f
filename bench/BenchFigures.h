// The bridge benchmark's workload, command line and figures: plain rules, kept apart from
// the measuring so that they can be checked on their own.
#pragma once

#include <algorithm>
#include <climits>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace lintaro::bench {

// The larger round-trip message: more than the 4095 bytes a pseudo-terminal passes at once.
constexpr std::size_t kBlockSize = 6000;

struct Workload {
    int roundTrips = 1000;
    int warmup = 50;
    int messageSize = 16;
    std::size_t bytesEachWay = 8u << 20;
    int idleMs = 3000;
    // Most bytes the simulated device queues ahead of what the client has received; it
    // keeps the simulator's own queue short without ever starving either relay.
    std::size_t feedWindow = 256 * 1024;
    int phaseTimeoutS = 120;
    // The bridge alone: 16-byte client messages echoed with the log window hidden, then
    // shown (0: not measured), and how long the window's thread is held while bytes flow.
    std::size_t logMessages = 2000000;
    int freezeMs = 2000;
    // The log's messages are echoed in this many pairs, hidden then shown, so that a change
    // in the machine's load falls on both alike.
    int logPairs = 8;
    // Seconds of small echoed writes with the log shown, whose first and last ten seconds
    // are compared, and then as many with it hidden, the same machine's baseline (0: not
    // measured).
    int longRunS = 0;

    int BlockRoundTrips() const { return std::max(5, roundTrips / 10); }
    int BlockWarmup() const { return std::max(1, warmup / 10); }
};

struct Options {
    Workload workload;
    int repeat = 3;  // runs of each relay, alternating; the table shows medians
    bool runBridge = true;
    bool runSocat = true;
    std::string socat = "socat";
    int socatBlock = 0;  // socat's -b; 0 keeps its default
    bool socatNodelay = true;
    bool load = false;  // CPU hogs beside both relays, one per core
};

struct Figures {
    bool completed = false;
    std::string error;
    double rttP50Us = NAN;
    double rttP99Us = NAN;
    double rttMaxUs = NAN;
    double blockRttP50Us = NAN;  // round trip of a kBlockSize message
    double toDeviceMBps = NAN;
    double toClientMBps = NAN;
    std::uint64_t lost = 0;
    double idleCpuMsPerS = NAN;
    double cpuMsPerMB = NAN;
    // The bridge alone: echoed throughput while the window's thread runs and while it is held,
    // with the log window hidden and shown, and the memory the shown log took meanwhile.
    double runningMBps = NAN;
    double frozenMBps = NAN;
    double logHiddenMBps = NAN;
    double logShownMBps = NAN;
    double logShownGrowthMB = NAN;
    double logShownRatio = NAN;  // median over the pairs of shown / hidden
    // The window's thread's CPU per second of the pairs' echoes: what the shown log takes
    // from the cores, however the scheduler shares them out.
    double windowCpuHiddenMsPerS = NAN;
    double windowCpuShownMsPerS = NAN;
    double longFirstMBps = NAN;  // the long run's first and last ten seconds
    double longLastMBps = NAN;
    double longHiddenFirstMBps = NAN;  // the same with the log hidden
    double longHiddenLastMBps = NAN;

    void Fail(const std::string& what) {
        if (error.empty()) error = what;
    }
};

// Nearest-rank percentile of sorted values; NaN for none.
inline double Percentile(const std::vector<double>& sorted, double p) {
    if (sorted.empty()) return NAN;
    const auto rank = static_cast<std::size_t>(std::ceil(p * static_cast<double>(sorted.size())));
    return sorted[std::clamp<std::size_t>(rank, 1, sorted.size()) - 1];
}

// Median of the values that are not NaN; NaN for none.
inline double Median(std::vector<double> values) {
    std::erase_if(values, [](double v) { return std::isnan(v); });
    if (values.empty()) return NAN;
    std::sort(values.begin(), values.end());
    const std::size_t n = values.size();
    return n % 2 == 1 ? values[n / 2] : (values[n / 2 - 1] + values[n / 2]) / 2;
}

// The least and the most of one figure over the runs (NaN left out); NaN for none.
inline std::pair<double, double> Spread(const std::vector<Figures>& runs, double Figures::*field) {
    double least = NAN, most = NAN;
    for (const Figures& f : runs) {
        const double v = f.*field;
        if (std::isnan(v)) continue;
        if (std::isnan(least) || v < least) least = v;
        if (std::isnan(most) || v > most) most = v;
    }
    return {least, most};
}

// Bytes missing, differing or extra in `got` against `want`.
inline std::uint64_t Mismatch(const std::string& want, const std::string& got) {
    const std::size_t common = std::min(want.size(), got.size());
    std::uint64_t bad = 0;
    for (std::size_t i = 0; i < common; ++i) bad += want[i] != got[i];
    return bad + (std::max(want.size(), got.size()) - common);
}

// The median of each figure over the runs; lost bytes add up, and one failed run fails
// the whole.
inline Figures Combine(const std::vector<Figures>& runs) {
    Figures all;
    all.completed = !runs.empty();
    for (double Figures::*field : {&Figures::rttP50Us, &Figures::rttP99Us, &Figures::rttMaxUs,
                                   &Figures::blockRttP50Us, &Figures::toDeviceMBps, &Figures::toClientMBps,
                                   &Figures::idleCpuMsPerS, &Figures::cpuMsPerMB, &Figures::runningMBps,
                                   &Figures::frozenMBps, &Figures::logHiddenMBps, &Figures::logShownMBps,
                                   &Figures::logShownGrowthMB, &Figures::logShownRatio,
                                   &Figures::windowCpuHiddenMsPerS, &Figures::windowCpuShownMsPerS,
                                   &Figures::longFirstMBps, &Figures::longLastMBps,
                                   &Figures::longHiddenFirstMBps, &Figures::longHiddenLastMBps}) {
        std::vector<double> values;
        for (const Figures& f : runs) values.push_back(f.*field);
        all.*field = Median(std::move(values));
    }
    for (const Figures& f : runs) {
        all.lost += f.lost;
        all.completed = all.completed && f.completed;
        if (!f.error.empty()) all.Fail(f.error);
    }
    return all;
}

// bridge / socat, or nothing when either is missing.
inline std::optional<double> Ratio(double bridge, double socat) {
    if (std::isnan(bridge) || std::isnan(socat) || socat <= 0) return std::nullopt;
    return bridge / socat;
}

// A count, optionally with the suffix K or M (binary).
inline std::optional<std::size_t> ParseSize(const std::string& text) {
    if (text.empty() || text[0] < '0' || text[0] > '9') return std::nullopt;
    char* end = nullptr;
    const unsigned long long value = std::strtoull(text.c_str(), &end, 10);
    const std::string suffix(end);
    unsigned long long scale = 1;
    if (suffix == "K" || suffix == "k") scale = 1024;
    else if (suffix == "M" || suffix == "m") scale = 1024 * 1024;
    else if (!suffix.empty()) return std::nullopt;
    if (value > (1ull << 40) / scale) return std::nullopt;
    return static_cast<std::size_t>(value * scale);
}

// The command line without the program name. A preset (--smoke, --quick) sets the
// workload wherever it stands; the other options override it. Nothing for a wrong line.
inline std::optional<Options> ParseOptions(const std::vector<std::string>& args) {
    Options o;
    for (const std::string& arg : args) {
        if (arg == "--smoke") {
            o.workload.roundTrips = 10;
            o.workload.warmup = 2;
            o.workload.bytesEachWay = 64 * 1024;
            o.workload.idleMs = 200;
            o.workload.phaseTimeoutS = 60;
            o.workload.logMessages = 2000;
            o.workload.freezeMs = 300;
            o.repeat = 1;
        } else if (arg == "--quick") {
            o.workload.roundTrips = 200;
            o.workload.warmup = 20;
            o.workload.bytesEachWay = 1u << 20;
            o.workload.idleMs = 1000;
            o.workload.logMessages = 100000;
            o.repeat = 1;
        }
    }
    for (std::size_t i = 0; i < args.size(); ++i) {
        const std::string& arg = args[i];
        // The value of an option that takes one, from 1 (or 0 where `zero`) up.
        const auto value = [&](bool zero = false) -> std::optional<std::size_t> {
            if (i + 1 >= args.size()) return std::nullopt;
            const std::optional<std::size_t> v = ParseSize(args[++i]);
            if (!v || (*v == 0 && !zero) || *v > INT_MAX) return std::nullopt;
            return v;
        };
        const auto setInt = [&](int& field, bool zero = false) {
            const std::optional<std::size_t> v = value(zero);
            if (v) field = static_cast<int>(*v);
            return v.has_value();
        };
        bool ok = true;
        if (arg == "--smoke" || arg == "--quick") {
        } else if (arg == "--repeat") {
            ok = setInt(o.repeat);
        } else if (arg == "--round-trips") {
            ok = setInt(o.workload.roundTrips);
        } else if (arg == "--message-size") {
            ok = setInt(o.workload.messageSize);
        } else if (arg == "--idle-ms") {
            ok = setInt(o.workload.idleMs, true);
        } else if (arg == "--log-messages") {
            const std::optional<std::size_t> v = value(true);
            ok = v.has_value();
            if (v) o.workload.logMessages = *v;
        } else if (arg == "--log-pairs") {
            ok = setInt(o.workload.logPairs);
        } else if (arg == "--long-run") {
            ok = setInt(o.workload.longRunS, true);
        } else if (arg == "--freeze-ms") {
            ok = setInt(o.workload.freezeMs, true);
        } else if (arg == "--load") {
            o.load = true;
        } else if (arg == "--socat-block") {
            ok = setInt(o.socatBlock);
        } else if (arg == "--bytes") {
            const std::optional<std::size_t> v = value();
            ok = v.has_value();
            if (v) o.workload.bytesEachWay = *v;
        } else if (arg == "--socat" && i + 1 < args.size()) {
            o.socat = args[++i];
        } else if (arg == "--socat-nagle") {
            o.socatNodelay = false;
        } else if (arg == "--bridge-only") {
            o.runSocat = false;
        } else if (arg == "--socat-only") {
            o.runBridge = false;
        } else {
            ok = false;
        }
        if (!ok) return std::nullopt;
    }
    if (!o.runBridge && !o.runSocat) return std::nullopt;
    return o;
}

}  // namespace lintaro::bench
