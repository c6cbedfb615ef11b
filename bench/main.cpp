// orbelith-bench: measures the front-end against floors measured the same way
// in the same run, and prints one table. See README.md in this folder.

#include "benchclock.h"
#include "codecbench.h"
#include "configfiles.h"
#include "processes.h"
#include "samples.h"

#include <QtGlobal>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <limits>
#include <optional>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include <sys/prctl.h>
#include <unistd.h>

#ifndef ORBELITH_BENCH_BUILD_TYPE
#define ORBELITH_BENCH_BUILD_TYPE "unknown"
#endif

namespace fs = std::filesystem;

namespace {

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
constexpr double kHostileTargetMs = 1000;

struct Options
{
    int runs = 15;
    int hostileRuns = 10;
    bool keep = false;
    bool xvfb = true;
    std::set<std::string> only;
    bool wants(const std::string &part) const { return only.empty() || only.count(part) > 0; }
};

double quantile(std::vector<double> v, double q)
{
    if (v.empty())
        return kNaN;
    std::sort(v.begin(), v.end());
    const double pos = q * double(v.size() - 1);
    const size_t lo = size_t(std::floor(pos));
    const size_t hi = std::min(lo + 1, v.size() - 1);
    return v[lo] + (v[hi] - v[lo]) * (pos - double(lo));
}
double median(const std::vector<double> &v)
{
    return quantile(v, 0.5);
}
// The spread of a series: its interquartile range against its median.
double spreadPct(const std::vector<double> &v)
{
    return 100 * (quantile(v, 0.75) - quantile(v, 0.25)) / median(v);
}

// The ratio of figure to floor: the median of the ratios of each pair, run
// back to back, which a change of load between pairs leaves alone.
double pairedRatio(const std::vector<double> &figure, const std::vector<double> &floor)
{
    std::vector<double> ratios;
    for (size_t i = 0; i < figure.size() && i < floor.size(); ++i)
        ratios.push_back(figure[i] / floor[i]);
    return median(ratios);
}

std::string noiseNote(const std::vector<double> &figure, const std::vector<double> &floor)
{
    const bool noisy = spreadPct(figure) > 10 || spreadPct(floor) > 10;
    char buffer[160];
    std::snprintf(buffer, sizeof buffer, "paired; ratio of medians %.2f; spread %.0f%%/%.0f%%%s",
                  median(figure) / median(floor), spreadPct(figure), spreadPct(floor),
                  noisy ? ", NOISY" : "");
    return buffer;
}

struct Row
{
    std::string figure;
    std::string measured;
    std::string floor;
    double ratio = kNaN;
    std::string target;
    std::optional<bool> met; // empty: not measured
    std::string note;
};

std::string fmt(const char *format, double value)
{
    char buffer[256];
    std::snprintf(buffer, sizeof buffer, format, value);
    return buffer;
}

std::string firstLineOf(const std::string &path, const std::string &prefix)
{
    std::ifstream in(path);
    std::string line;
    while (std::getline(in, line)) {
        if (line.rfind(prefix, 0) == 0)
            return line.substr(line.find(':') + 1);
    }
    return "unknown";
}

std::string loadAverage()
{
    std::ifstream in("/proc/loadavg");
    std::string one, five, fifteen;
    in >> one >> five >> fifteen;
    return one + " " + five + " " + fifteen;
}

void writeFile(const fs::path &path, const QByteArray &bytes)
{
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(bytes.constData(), std::streamsize(bytes.size()));
}

class Bench
{
public:
    Bench(Options options, fs::path binDir, fs::path work)
        : m_options(std::move(options)), m_binDir(std::move(binDir)), m_work(std::move(work))
    {}

    bool run();

private:
    struct StartupSample
    {
        double ms = 0;
        double rssMiB = 0;
    };
    struct Paired
    {
        std::vector<double> app, floor, appRss, floorRss;
        std::string error;
    };

    std::vector<std::string> environmentFor(const std::string &platform, const std::string &display) const;
    std::optional<StartupSample> startupOnce(const std::string &program, const fs::path &directory,
                                             const std::vector<std::string> &environment, std::string &error,
                                             int timeoutMs = 20000);
    Paired pairedStartup(const std::string &platform, const std::string &display);
    void startupRows(const std::string &where, const Paired &p);
    void measureStart();
    void measureCodec();
    void measureRestore();
    void measureHostile();
    void measureWatch();
    void measureCrowdedStartup();
    void printTable() const;

    fs::path log(const std::string &name) const { return m_work / "logs" / (name + ".log"); }

    Options m_options;
    fs::path m_binDir;
    fs::path m_work;
    std::vector<Row> m_rows;
    std::vector<std::string> m_details;
    double m_offscreenStartupMs = kNaN;
    bool m_failed = false;
};

std::vector<std::string> Bench::environmentFor(const std::string &platform, const std::string &display) const
{
    std::vector<std::string> changes{"QT_QPA_PLATFORM=" + platform,
                                     "XDG_RUNTIME_DIR=" + (m_work / "runtime").string(), "WAYLAND_DISPLAY"};
    changes.push_back(display.empty() ? std::string("DISPLAY") : "DISPLAY=" + display);
    // Without a session bus, the toolkit would have one started for the
    // benchmark's display, which would outlive the run: give it an address
    // that leads nowhere instead.
    if (!std::getenv("DBUS_SESSION_BUS_ADDRESS"))
        changes.push_back("DBUS_SESSION_BUS_ADDRESS=unix:path=" + (m_work / "no-session-bus").string());
    return bench::environmentWith(changes);
}

std::optional<Bench::StartupSample> Bench::startupOnce(const std::string &program, const fs::path &directory,
                                                       const std::vector<std::string> &environment,
                                                       std::string &error, int timeoutMs)
{
    const bool isProbe = program.find("probe") != std::string::npos;
    std::vector<std::string> argv{(m_binDir / program).string()};
    if (isProbe)
        argv.push_back("startup");
    const bench::ChildRun run =
        bench::runChild(argv, directory.string(), environment, log(program).string(), timeoutMs);
    long long paintedNs = 0;
    long rssKiB = 0;
    const size_t at = run.output.find("painted ");
    if (!run.ok || at == std::string::npos ||
        std::sscanf(run.output.c_str() + at, "painted %lld %ld", &paintedNs, &rssKiB) != 2) {
        error = program + ": " + (run.ok ? "never reported its first paint" : run.error) + " (see " +
                log(program).string() + ")";
        return std::nullopt;
    }
    return StartupSample{double(paintedNs - run.spawnNs) / 1e6, double(rssKiB) / 1024};
}

Bench::Paired Bench::pairedStartup(const std::string &platform, const std::string &display)
{
    Paired p;
    const auto environment = environmentFor(platform, display);
    const auto once = [&](bool app) -> bool {
        std::string error;
        const auto sample =
            app ? startupOnce("orbelith-bench-probe", m_work / "startup-app", environment, error)
                : startupOnce("orbelith-bench-floor", m_work / "startup-floor", environment, error);
        if (!sample) {
            p.error = error;
            return false;
        }
        (app ? p.app : p.floor).push_back(sample->ms);
        (app ? p.appRss : p.floorRss).push_back(sample->rssMiB);
        return true;
    };
    // Two rounds unmeasured: the libraries, fonts and caches are then warm for both.
    for (int i = 0; i < 2; ++i) {
        if (!once(true) || !once(false))
            return p;
    }
    p.app.clear(), p.floor.clear(), p.appRss.clear(), p.floorRss.clear();
    // Interleaved, alternating which goes first, so load on the machine falls on both alike.
    for (int i = 0; i < m_options.runs; ++i) {
        const bool appFirst = i % 2 == 0;
        if (!once(appFirst) || !once(!appFirst))
            return p;
    }
    return p;
}

void Bench::startupRows(const std::string &where, const Paired &p)
{
    if (!p.error.empty()) {
        m_failed = true;
        m_rows.push_back(
            {"Start-up to first paint, " + where, "failed", "", kNaN, "<= 1.15 x", std::nullopt, p.error});
        return;
    }
    const double app = median(p.app), floor = median(p.floor), ratio = pairedRatio(p.app, p.floor);
    m_rows.push_back({"Start-up to first paint, " + where, fmt("%.1f ms", app), fmt("%.1f ms", floor), ratio,
                      "<= 1.15 x", ratio <= 1.15, noiseNote(p.app, p.floor)});
    const double rss = median(p.appRss), rssFloor = median(p.floorRss);
    m_rows.push_back({"Resident memory when shown, " + where, fmt("%.1f MiB", rss), fmt("%.1f MiB", rssFloor),
                      rss / rssFloor, "<= 1.10 x", rss / rssFloor <= 1.10, ""});
    if (where == "offscreen")
        m_offscreenStartupMs = app;
}

void Bench::measureStart()
{
    const std::vector<std::string> argv{(m_binDir / "orbelith-bench-probe").string(), "start",
                                        (m_work / "server-bin").string(), (m_work / "start-floor").string(),
                                        std::to_string(m_options.runs)};
    const bench::ChildRun run =
        bench::runChild(argv, (m_work / "start-app").string(), environmentFor("offscreen", ""),
                        log("start").string(), 120000);
    std::vector<double> app, floor, files, launch, floorFiles, floorSpawn;
    std::istringstream lines(run.output);
    std::string line;
    while (std::getline(lines, line)) {
        long long a = 0, b = 0, c = 0, d = 0;
        if (std::sscanf(line.c_str(), "start %lld %lld", &a, &b) == 2) {
            app.push_back(double(a) / 1e6), floor.push_back(double(b) / 1e6);
        } else if (std::sscanf(line.c_str(), "parts %lld %lld %lld %lld", &a, &b, &c, &d) == 4) {
            files.push_back(double(a) / 1e6), launch.push_back(double(b) / 1e6);
            floorFiles.push_back(double(c) / 1e6), floorSpawn.push_back(double(d) / 1e6);
        }
    }
    if (!run.ok || app.size() != size_t(m_options.runs)) {
        m_failed = true;
        m_rows.push_back({"Start: click to files in place and server spawned", "failed", "", kNaN, "<= 1.5 x",
                          std::nullopt, run.error + " (see " + log("start").string() + ")"});
        return;
    }
    m_details.push_back(
        fmt("Start, where the time goes (medians): writing both files %.2f ms", median(files)) +
        fmt(" (floor %.2f ms),", median(floorFiles)) + fmt(" launching the server %.2f ms", median(launch)) +
        fmt(" (floor %.2f ms)", median(floorSpawn)));
    const double ratio = pairedRatio(app, floor);
    m_rows.push_back({"Start: click to files in place and server spawned", fmt("%.2f ms", median(app)),
                      fmt("%.2f ms", median(floor)), ratio, "<= 1.5 x", ratio <= 1.5, noiseNote(app, floor)});
}

void Bench::measureCodec()
{
    const std::vector<bench::CodecFigures> figures = bench::measureCodec(std::max(11, m_options.runs));
    m_details.push_back("Message codec, median of " + std::to_string(std::max(11, m_options.runs)) +
                        " timings per size; MB = 10^6 bytes of the message's UTF-8 text (CR LF form):");
    m_details.push_back("  size (UTF-8)   chars      split ns/char  MB/s    join ns/char  MB/s    decode "
                        "ns/char  MB/s    copy ns/char");
    for (const bench::CodecFigures &f : figures) {
        const auto mbps = [&f](double ns) {
            return double(f.utf8Bytes) / 1e6 / (ns / 1e9);
        };
        char line[256];
        std::snprintf(
            line, sizeof line, "  %10lld  %10lld   %8.2f  %8.0f   %8.2f  %8.0f   %8.2f  %8.0f    %8.2f",
            static_cast<long long>(f.utf8Bytes), static_cast<long long>(f.chars), f.splitNs / double(f.chars),
            mbps(f.splitNs), f.joinNs / double(f.chars), mbps(f.joinNs), f.decodeNs / double(f.chars),
            mbps(f.decodeNs), f.copyNs / double(f.chars));
        m_details.push_back(line);
    }
    const bench::CodecFigures &small = figures.front(), &large = figures.back();
    const bench::CodecFigures &quarter = figures[figures.size() - 2];
    const struct
    {
        const char *name;
        double bench::CodecFigures::*ns;
    } ops[] = {{"split", &bench::CodecFigures::splitNs},
               {"join", &bench::CodecFigures::joinNs},
               {"decode", &bench::CodecFigures::decodeNs}};
    const double copyRatio = (large.copyNs / double(large.chars)) / (small.copyNs / double(small.chars));
    for (const auto &op : ops) {
        double slowest = 1e300;
        qsizetype at = 0;
        for (const bench::CodecFigures &f : figures) {
            const double mbps = double(f.utf8Bytes) / 1e6 / (f.*op.ns / 1e9);
            if (mbps < slowest)
                slowest = mbps, at = f.utf8Bytes;
        }
        m_rows.push_back({std::string("Codec ") + op.name + ": slowest throughput, 1 KiB..16 MiB",
                          fmt("%.0f MB/s", slowest), "", kNaN, ">= 100 MB/s", slowest >= 100,
                          "at " + std::to_string(at) + " bytes"});
        const double perCharLarge = large.*op.ns / double(large.chars);
        const double perCharSmall = small.*op.ns / double(small.chars);
        const double perCharQuarter = quarter.*op.ns / double(quarter.chars);
        m_rows.push_back({std::string("Codec ") + op.name + ": time per char, 16 MiB vs 1 KiB",
                          fmt("%.2f ns", perCharLarge), fmt("%.2f ns", perCharSmall),
                          perCharLarge / perCharSmall, "<= 1.5 x", perCharLarge / perCharSmall <= 1.5,
                          fmt("4 MiB to 16 MiB: %.2f x", perCharLarge / perCharQuarter) +
                              fmt("; a plain copy of the text: %.2f x", copyRatio)});
    }
}

void Bench::measureRestore()
{
    const std::vector<std::string> argv{(m_binDir / "orbelith-bench-probe").string(), "restore",
                                        std::to_string(std::max(11, m_options.runs))};
    const bench::ChildRun run =
        bench::runChild(argv, (m_work / "restore").string(), environmentFor("offscreen", ""),
                        log("restore").string(), 120000);
    std::vector<double> restore, read;
    std::istringstream lines(run.output);
    std::string line;
    bool restoredRight = false;
    const std::string expected = "restored " + bench::realisticSettings().serverName.toStdString();
    while (std::getline(lines, line)) {
        long long r = 0, f = 0;
        if (line == expected)
            restoredRight = true;
        else if (std::sscanf(line.c_str(), "restore %lld %lld", &r, &f) == 2)
            restore.push_back(double(r) / 1e6), read.push_back(double(f) / 1e6);
    }
    const std::string figure = "Restore from a 1 MB orbelithsrv.ini";
    if (!run.ok || restore.empty() || !restoredRight) {
        m_failed = true;
        m_rows.push_back({figure, "failed", "", kNaN, "<= 20 ms", std::nullopt,
                          (restoredRight ? run.error : "the settings were not restored") + " (see " +
                              log("restore").string() + ")"});
        return;
    }
    const double rm = median(restore), fm = median(read);
    m_rows.push_back({figure, fmt("%.2f ms", rm), fmt("%.2f ms", fm), rm / fm, "<= 20 ms", rm <= 20,
                      "floor: reading the file only"});
}

void Bench::measureHostile()
{
    const auto environment = environmentFor("offscreen", "");
    double worst = 0;
    std::string worstName;
    m_details.push_back("Start-up with hostile orbelithsrv.ini files, offscreen, " +
                        std::to_string(m_options.hostileRuns) + " runs each:");
    const auto files = bench::hostileLastSettings();
    for (size_t i = 0; i < files.size(); ++i) {
        const fs::path dir = m_work / ("hostile-" + std::to_string(i));
        fs::create_directories(dir);
        writeFile(dir / "orbelithsrv.ini", files[i].contents);
        std::vector<double> times;
        std::string cut;
        for (int r = 0; r < m_options.hostileRuns; ++r) {
            // A case far over the target gets three runs: more would only
            // make the benchmark slow.
            if (r == 3 && quantile(times, 0) > 5 * kHostileTargetMs) {
                cut = ", 3 runs: far over the target";
                break;
            }
            std::string error;
            const auto sample = startupOnce("orbelith-bench-probe", dir, environment, error, 120000);
            if (!sample) {
                m_failed = true;
                m_rows.push_back({"Start-up with hostile ini: " + files[i].name, "failed", "", kNaN,
                                  "<= 1000 ms", std::nullopt, error});
                return;
            }
            times.push_back(sample->ms);
        }
        const double m = median(times);
        m_details.push_back(fmt("  %8.1f ms median", m) + fmt(", %8.1f ms slowest  ", quantile(times, 1.0)) +
                            files[i].name + fmt(" (%.1f MB)", double(files[i].contents.size()) / 1e6) + cut);
        if (m > worst)
            worst = m, worstName = files[i].name;
    }
    m_rows.push_back({"Start-up with hostile ini, worst of " + std::to_string(files.size()),
                      fmt("%.1f ms", worst),
                      std::isnan(m_offscreenStartupMs) ? "" : fmt("%.1f ms", m_offscreenStartupMs),
                      worst / m_offscreenStartupMs, "<= 1000 ms", worst <= kHostileTargetMs,
                      worstName + "; floor: the usual start-up"});
}

void Bench::measureWatch()
{
    // From the server's end to the status line saying so.
    const std::vector<std::string> exitArgv{(m_binDir / "orbelith-bench-probe").string(), "exit",
                                            (m_work / "watch-bin").string(), std::to_string(m_options.runs)};
    const bench::ChildRun exitRun = bench::runChild(
        exitArgv, (m_work / "watch").string(), environmentFor("offscreen", ""), log("exit").string(), 120000);
    std::vector<double> shown, floor;
    std::istringstream lines(exitRun.output);
    std::string line;
    while (std::getline(lines, line)) {
        long long a = 0, b = 0;
        if (std::sscanf(line.c_str(), "exit %lld %lld", &a, &b) == 2)
            shown.push_back(double(a) / 1e6), floor.push_back(double(b) / 1e6);
    }
    const std::string exitFigure = "Server exit to Label4 updated";
    if (!exitRun.ok || shown.size() != size_t(m_options.runs)) {
        m_failed = true;
        m_rows.push_back({exitFigure, "failed", "", kNaN, "<= 20 ms", std::nullopt,
                          exitRun.error + " (see " + log("exit").string() + ")"});
    } else {
        const double m = median(shown);
        m_rows.push_back({exitFigure, fmt("%.2f ms", m), fmt("%.2f ms", median(floor)),
                          pairedRatio(shown, floor), "<= 20 ms", m <= 20,
                          fmt("slowest %.2f ms; floor: a bare pidfd and poll", quantile(shown, 1.0))});
    }

    // The window's wake-ups while idle, with a watched server and without.
    constexpr int kSeconds = 10;
    const std::vector<std::string> wakeArgv{(m_binDir / "orbelith-bench-probe").string(), "wakeups",
                                            (m_work / "watch-bin").string(), std::to_string(kSeconds)};
    const bench::ChildRun wakeRun =
        bench::runChild(wakeArgv, (m_work / "watch").string(), environmentFor("offscreen", ""),
                        log("wakeups").string(), 120000);
    long long with = 0, without = 0;
    const size_t at = wakeRun.output.find("wakeups ");
    const std::string wakeFigure = "Wake-ups in 3 x 10 s idle, watching a server";
    if (!wakeRun.ok || at == std::string::npos ||
        std::sscanf(wakeRun.output.c_str() + at, "wakeups %lld %lld", &with, &without) != 2) {
        m_failed = true;
        m_rows.push_back({wakeFigure, "failed", "", kNaN, "<= 1.05 x", std::nullopt,
                          wakeRun.error + " (see " + log("wakeups").string() + ")"});
        return;
    }
    // No wake-up at all in either is a ratio of 1.
    const double ratio = without > 0 ? double(with) / double(without) : with == 0 ? 1.0 : kNaN;
    m_rows.push_back({wakeFigure, std::to_string(with), std::to_string(without), ratio, "<= 1.05 x",
                      !std::isnan(ratio) && ratio <= 1.05,
                      "voluntary context switches, all threads; floor: the same window before Start"});
}

void Bench::measureCrowdedStartup()
{
    // The adoption scan reads /proc: start-up among 1 000 other processes of
    // this user, against the floor window among the same.
    constexpr int kCrowd = 1000;
    std::vector<pid_t> crowd;
    const std::string sleepProgram = bench::findOnPath("sleep");
    for (int i = 0; i < kCrowd; ++i) {
        const pid_t pid = bench::spawnIdle(sleepProgram.empty() ? "/bin/sleep" : sleepProgram);
        if (pid <= 0)
            break;
        crowd.push_back(pid);
    }
    if (crowd.size() != size_t(kCrowd)) {
        m_failed = true;
        m_rows.push_back({"Start-up to first paint, 1 000 processes", "failed", "", kNaN, "<= 1.15 x",
                          std::nullopt, "could not start " + std::to_string(kCrowd) + " processes"});
    } else {
        const Paired p = pairedStartup("offscreen", "");
        if (!p.error.empty()) {
            m_failed = true;
            m_rows.push_back({"Start-up to first paint, 1 000 processes", "failed", "", kNaN, "<= 1.15 x",
                              std::nullopt, p.error});
        } else {
            const double ratio = pairedRatio(p.app, p.floor);
            m_rows.push_back({"Start-up to first paint, 1 000 processes", fmt("%.1f ms", median(p.app)),
                              fmt("%.1f ms", median(p.floor)), ratio, "<= 1.15 x", ratio <= 1.15,
                              "offscreen; " + noiseNote(p.app, p.floor)});
        }
    }
    bench::endIdle(crowd);
}

void Bench::printTable() const
{
    std::printf("\n%-52s %12s %12s %7s %12s %5s  %s\n", "Figure", "Measured", "Floor", "Ratio", "Target",
                "Met", "Note");
    std::printf("%s\n", std::string(130, '-').c_str());
    int met = 0, measured = 0;
    for (const Row &r : m_rows) {
        const std::string ratio = std::isnan(r.ratio) ? "" : fmt("%.2f", r.ratio);
        const char *verdict = !r.met ? "-" : *r.met ? "yes" : "NO";
        std::printf("%-52s %12s %12s %7s %12s %5s  %s\n", r.figure.c_str(), r.measured.c_str(),
                    r.floor.c_str(), ratio.c_str(), r.target.c_str(), verdict, r.note.c_str());
        measured += r.met.has_value();
        met += r.met.value_or(false);
    }
    std::printf("\n%d of %d targets met.\n", met, measured);
}

bool Bench::run()
{
    for (const char *dir : {"logs", "runtime", "startup-app", "startup-floor", "start-app", "start-floor",
                            "server-bin", "restore", "watch", "watch-bin"})
        fs::create_directories(m_work / dir);
    fs::permissions(m_work / "runtime", fs::perms::owner_all, fs::perm_options::replace);
    const QByteArray lastSettings = bench::realisticLastSettings();
    for (const char *dir : {"startup-app", "startup-floor", "start-app", "start-floor"})
        writeFile(m_work / dir / "orbelithsrv.ini", lastSettings);
    writeFile(m_work / "restore" / "orbelithsrv.ini", bench::paddedLastSettings(1000 * 1000));
    // The server that Start launches: a program that does nothing, so that
    // no real server runs; Start and its floor spawn the same one.
    const std::string trueProgram = bench::findOnPath("true");
    fs::copy_file(trueProgram.empty() ? "/bin/true" : trueProgram, m_work / "server-bin" / "orbelithsrv");
    fs::permissions(m_work / "server-bin" / "orbelithsrv", fs::perms::owner_all, fs::perm_options::replace);
    // The server that the watching figures watch: one that runs until killed.
    writeFile(m_work / "watch-bin" / "orbelithsrv", "#!/bin/sh\nexec sleep 3600\n");
    fs::permissions(m_work / "watch-bin" / "orbelithsrv", fs::perms::owner_all, fs::perm_options::replace);

    if (m_options.wants("startup")) {
        std::printf("Start-up, offscreen ...\n");
        std::fflush(stdout);
        startupRows("offscreen", pairedStartup("offscreen", ""));
        const std::string xvfb = bench::findOnPath("Xvfb");
        if (!m_options.xvfb) {
            m_rows.push_back({"Start-up to first paint, Xvfb", "skipped", "", kNaN, "<= 1.15 x", std::nullopt,
                              "--no-xvfb"});
        } else if (xvfb.empty()) {
            m_rows.push_back({"Start-up to first paint, Xvfb", "skipped", "", kNaN, "<= 1.15 x", std::nullopt,
                              "Xvfb is not installed (Debian package xvfb)"});
        } else {
            std::printf("Start-up, Xvfb ...\n");
            std::fflush(stdout);
            bench::VirtualDisplay display;
            if (!display.start(xvfb, log("xvfb").string())) {
                m_failed = true;
                m_rows.push_back({"Start-up to first paint, Xvfb", "failed", "", kNaN, "<= 1.15 x",
                                  std::nullopt, display.error()});
            } else {
                startupRows("Xvfb " + display.display(), pairedStartup("xcb", display.display()));
                display.stop();
            }
        }
    }
    if (m_options.wants("crowd")) {
        std::printf("Start-up among 1 000 processes ...\n");
        std::fflush(stdout);
        measureCrowdedStartup();
    }
    if (m_options.wants("watch")) {
        std::printf("Watching the server ...\n");
        std::fflush(stdout);
        measureWatch();
    }
    if (m_options.wants("start")) {
        std::printf("Start ...\n");
        std::fflush(stdout);
        measureStart();
    }
    if (m_options.wants("codec")) {
        std::printf("Message codec ...\n");
        std::fflush(stdout);
        measureCodec();
    }
    if (m_options.wants("restore")) {
        std::printf("Restore ...\n");
        std::fflush(stdout);
        measureRestore();
    }
    if (m_options.wants("hostile")) {
        std::printf("Start-up with hostile files ...\n");
        std::fflush(stdout);
        measureHostile();
    }

    std::printf("\n");
    for (const std::string &line : m_details)
        std::printf("%s\n", line.c_str());
    printTable();
    return !m_failed;
}

int usage()
{
    std::fprintf(stderr, "usage: orbelith-bench [--runs N (>= 10)] [--hostile-runs N] [--no-xvfb] [--keep]\n"
                         "                      [--only startup,crowd,watch,start,codec,restore,hostile]\n");
    return 2;
}

} // namespace

int main(int argc, char *argv[])
{
    Options options;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (arg == "--runs" && i + 1 < argc)
            options.runs = std::atoi(argv[++i]);
        else if (arg == "--hostile-runs" && i + 1 < argc)
            options.hostileRuns = std::atoi(argv[++i]);
        else if (arg == "--no-xvfb")
            options.xvfb = false;
        else if (arg == "--keep")
            options.keep = true;
        else if (arg == "--only" && i + 1 < argc) {
            std::stringstream parts(argv[++i]);
            std::string part;
            while (std::getline(parts, part, ','))
                options.only.insert(part);
        } else
            return usage();
    }
    if (options.runs < 10 || options.hostileRuns < 1)
        return usage();

    // Orphans of the children (a server started detached) come back here to be reaped.
    ::prctl(PR_SET_CHILD_SUBREAPER, 1);

    const fs::path binDir = fs::read_symlink("/proc/self/exe").parent_path();
    std::string pattern = (fs::temp_directory_path() / "orbelith-bench.XXXXXX").string();
    if (!::mkdtemp(pattern.data())) {
        std::perror("orbelith-bench: mkdtemp");
        return 2;
    }
    const fs::path work(pattern);

    std::printf("orbelith-bench: %d runs per figure (medians), paired and interleaved with the floor\n",
                options.runs);
    std::printf("Machine: %ld cores, CPU%s\n", ::sysconf(_SC_NPROCESSORS_ONLN),
                firstLineOf("/proc/cpuinfo", "model name").c_str());
    std::printf("Qt %s (built against %s), build type %s, compiler %s\n", qVersion(), QT_VERSION_STR,
                ORBELITH_BENCH_BUILD_TYPE, __VERSION__);
    std::printf("Load average at start: %s\n", loadAverage().c_str());
    std::printf("Work folder: %s\n\n", work.c_str());
    std::fflush(stdout);

    Bench bench(options, binDir, work);
    const bool ok = bench.run();

    std::printf("Load average at end: %s\n", loadAverage().c_str());
    if (bench::reapStrayChildren() != 0)
        std::printf("Warning: a child process of the benchmark is still running.\n");
    if (options.keep)
        std::printf("Kept %s\n", work.c_str());
    else
        fs::remove_all(work);
    return ok ? 0 : 1;
}
