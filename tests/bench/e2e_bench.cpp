// The Tervalon driver end to end through cehost, printed:
//   e2e_bench latency [GROUPS] [spy]  at the real RDS rate: the simulated tuner
//                                     handing over the piece that completes a
//                                     group -> a client's read returning its
//                                     $RTTMC, for GROUPS groups (default 500)
//                                     read through COM9: and then as many through
//                                     <root>/dev/COM9: median and p99
//   e2e_bench rate [RATE [SECONDS]] [spy]
//                                     RDS at RATE times the real rate (default
//                                     100; CE_TIME_SCALE 1/RATE) for SECONDS
//                                     (default 10) with a client reading COM9:
//                                     and then <root>/dev/COM9: groups sent,
//                                     received, lost, latency percentiles, and
//                                     cehost's CPU time and wake-ups a group
//   e2e_bench idle [SECONDS]          cehost's CPU time and context switches per
//                                     thread over SECONDS (default 30) with COM9:
//                                     open, a client waiting in ReadFile and no
//                                     station on the air
// Without an argument: latency, rate 100, rate 300 and idle. "spy" plays
// ../shared/captures/dk-9602-tmc.spy instead of the synthetic TMC station.
//
// The tuner runs inside cehost and the client here; both read CLOCK_MONOTONIC.
// The tuner writes every group with the moment it handed it over to
// FMSIM_TRACE_FILE; the client stamps every $RTTMC line when the read that
// completed it returned, and the two sequences are matched group by group.
#include <fcntl.h>
#include <poll.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "ce_devices.h"
#include "ce_platform.h"
#include "test_support.h"
#include "windows.h"

extern char** environ;

namespace {

using Clock = std::chrono::steady_clock;  // CLOCK_MONOTONIC, as the tuner's trace

int64_t now_ns() {
    return std::chrono::duration_cast<std::chrono::nanoseconds>(Clock::now().time_since_epoch()).count();
}

std::string bin(const char* name) { return (cetest::build_dir() / "bin" / name).string(); }

// Runs a tool to its end, its output discarded.
int run(const std::vector<std::string>& argv) {
    std::vector<char*> args;
    for (const auto& a : argv) args.push_back(const_cast<char*>(a.c_str()));
    args.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
    pid_t pid;
    int rc = posix_spawn(&pid, args[0], &actions, nullptr, args.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    if (rc != 0) return -1;
    int status = 0;
    waitpid(pid, &status, 0);
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

void print_spread(const char* what, std::vector<double> v) {
    if (v.empty()) {
        std::printf("%s: no samples\n", what);
        return;
    }
    std::sort(v.begin(), v.end());
    auto at = [&](size_t percent) { return v[std::min(v.size() - 1, v.size() * percent / 100)]; };
    std::printf("%s: n=%zu median=%.1f us p90=%.1f us p99=%.1f us max=%.1f us\n", what, v.size(), at(50), at(90),
                at(99), v.back());
}

// ---- a private cehost with the driver, the tuner tracing --------------------------

std::optional<std::filesystem::path> spy_recording() {
    auto dir = cetest::captures_dir();
    if (!dir || !std::filesystem::exists(*dir / "dk-9602-tmc.spy")) return std::nullopt;
    return *dir / "dk-9602-tmc.spy";
}

struct HostRoot {
    std::string root;
    std::string trace;
    pid_t pid = -1;

    // scale: CE_TIME_SCALE of the host; air: "" for none, "synthetic" or a
    // recording's path, on 90.0 MHz where the driver tunes.
    HostRoot(const char* scale, const std::string& air, bool frequency_reports) {
        char dir[] = "/tmp/tervalon-e2e-bench-XXXXXX";
        if (!mkdtemp(dir)) std::abort();
        root = dir;
        trace = root + "/rds-trace";
        ce::set_root(root);
        setenv("CE_TIME_SCALE", scale, 1);
        setenv("FMSIM_TRACE_FILE", trace.c_str(), 1);
        // The chip's own frequency report makes the FM library drop partial
        // and queued RDS: off, unless the host is to run as it would.
        if (frequency_reports) setenv("FMSIM_REPORT_MS", "30000", 1);
        else setenv("FMSIM_REPORT_MS", "0", 1);
        std::string cectl = bin("cectl");
        run({cectl, "--root", root, "init"});
        run({cectl, "--root", root, "air", "clear"});
        if (air == "synthetic") run({cectl, "--root", root, "air", "set", "90000", "60", "synthetic", "D301", "tmc"});
        else if (!air.empty()) run({cectl, "--root", root, "air", "set", "90000", "60", "capture", air});
        for (const char* setting : {"Data", "Protocol", "LogMode"})
            run({cectl, "--root", root, "reg", "set", "HKLM\\Drivers\\Tervalon", setting, "dword", "0"});
        run({cectl, "--root", root, "reg", "set", "HKLM\\Drivers\\Tervalon", "Frequency", "dword", "90000"});
        if (run({bin("cehost"), "--root", root}) != 0) fail("cannot start cehost");
        std::ifstream f(root + "/.cehost/pid");
        f >> pid;
        if (run({cectl, "--root", root, "activate", "Drivers\\Tervalon"}) != 0) fail("cannot activate the driver");
    }
    ~HostRoot() {
        ce::stop_host();
        std::filesystem::remove_all(root);
    }
    [[noreturn]] void fail(const char* what) {
        std::fprintf(stderr, "e2e_bench: %s (log: %s/.cehost/log)\n", what, root.c_str());
        std::exit(1);
    }
    // Waits until the tuner has handed over some groups.
    bool rds_flowing(int seconds) {
        auto end = Clock::now() + std::chrono::seconds(seconds);
        while (Clock::now() < end) {
            std::error_code ec;
            if (std::filesystem::file_size(trace, ec) > 0 && !ec) return true;
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
        return false;
    }
};

// ---- the two sides of a group's way -----------------------------------------------

struct Traced {
    int64_t ns = 0;
    uint32_t seq = 0;
    uint16_t block[4] = {0, 0, 0, 0};
    unsigned bad = 0;
};

struct Received {
    int64_t ns = 0;
    uint16_t block[4] = {0, 0, 0, 0};
};

std::vector<Traced> read_trace(const std::string& path) {
    std::vector<Traced> out;
    std::ifstream in(path);
    for (std::string line; std::getline(in, line);) {
        Traced t;
        long long ns = 0;
        unsigned a, b, c, d;
        if (std::sscanf(line.c_str(), "%lld %u %x %x %x %x %u", &ns, &t.seq, &a, &b, &c, &d, &t.bad) != 7) continue;
        t.ns = ns;
        t.block[0] = static_cast<uint16_t>(a);
        t.block[1] = static_cast<uint16_t>(b);
        t.block[2] = static_cast<uint16_t>(c);
        t.block[3] = static_cast<uint16_t>(d);
        out.push_back(t);
    }
    return out;
}

// Collects the $RTTMC lines of a byte stream, stamped with the moment the
// read that completed each line returned; counts lines with a bad checksum.
class LineReader {
public:
    void take(const char* bytes, size_t n, int64_t ns) {
        pending_.append(bytes, n);
        size_t pos = 0;
        for (size_t end; (end = pending_.find("\r\n", pos)) != std::string::npos; pos = end + 2) {
            std::string line = pending_.substr(pos, end - pos);
            if (line.rfind("$RTTMC,", 0) != 0) continue;
            Received r;
            r.ns = ns;
            unsigned type, a, b, c, d, sum;
            if (std::sscanf(line.c_str(), "$RTTMC,%u,%4x,%4x,%4x,%4x*%2x", &type, &a, &b, &c, &d, &sum) != 6 ||
                !cetest::nmea_checksum_ok(line)) {
                bad_lines++;
                continue;
            }
            r.block[0] = static_cast<uint16_t>(a);
            r.block[1] = static_cast<uint16_t>(b);
            r.block[2] = static_cast<uint16_t>(c);
            r.block[3] = static_cast<uint16_t>(d);
            received.push_back(r);
        }
        pending_.erase(0, pos);
    }
    std::vector<Received> received;
    long bad_lines = 0;

private:
    std::string pending_;
};

struct MatchResult {
    long sent = 0;              // groups handed over in the window
    long sent_bad = 0;          // of them, groups with a block sent in error
    long received = 0;          // of them, read by the client
    long lost = 0;              // handed over in the window, never read
    long lost_bad = 0;          // of the lost, groups with a block received in error
    long before_open = 0;       // read first, but handed over before the port was opened
    long unmatched = 0;         // read but not found in the tuner's sequence
    std::map<long, long> gaps;  // run length of consecutive lost groups -> how often
    std::vector<double> latency_us;
};

bool same(const Traced& t, const Received& r) {
    return std::equal(std::begin(t.block), std::end(t.block), std::begin(r.block));
}

// Lines up what the client read with what the tuner handed over after
// `from_ns` (just before the port was opened) and up to `to_ns` (the end of
// the run). Sources repeat groups (TMC groups go out twice in a row, the
// programme service name every few groups), so a group read is matched to the
// next one of the same content in the tuner's order, never to one handed
// over after the read returned; and the first match must be followed by the
// next groups read, in order.
MatchResult match(const std::vector<Traced>& trace, const std::vector<Received>& got, int64_t from_ns, int64_t to_ns) {
    MatchResult m;
    size_t first = 0;
    while (first < trace.size() && trace[first].ns < from_ns) first++;
    // What the port gives first may have waited while it was closed: the
    // driver keeps unread output across a close, the FM library its queue.
    size_t j = 0;
    bool found = false;
    for (; j < got.size() && !found; j++) {
        for (size_t k = first; k < trace.size() && trace[k].ns <= got[j].ns; k++) {
            size_t run = 0;
            while (run < 4 && j + run < got.size() && k + run < trace.size() && same(trace[k + run], got[j + run]) &&
                   trace[k + run].ns <= got[j + run].ns)
                run++;
            if (run == 4 || (run > 0 && j + run == got.size())) {
                first = k;
                found = true;
                break;
            }
        }
        if (!found) m.before_open++;
    }
    if (!found) return m;
    j--;                  // got[j] matches trace[first]
    size_t next = first;  // the earliest trace entry the next group read may match
    size_t last_matched = first;
    for (; j < got.size(); j++) {
        const Received& r = got[j];
        // A look-ahead bounded well above the largest burst a client could
        // miss (the driver's queue holds about 55 sentences).
        size_t limit = std::min(trace.size(), next + 4096);
        size_t k = next;
        while (k < limit && trace[k].ns <= r.ns && !same(trace[k], r)) k++;
        if (k >= limit || trace[k].ns > r.ns) {
            m.unmatched++;
            continue;
        }
        long gap = 0;
        for (size_t i = next; i < k && trace[i].ns <= to_ns; i++, gap++) {
            m.lost++;
            if (trace[i].bad) m.lost_bad++;
        }
        if (gap > 0) m.gaps[gap]++;
        if (trace[k].ns <= to_ns) {
            m.received++;
            // A group handed over while the port was being opened waits for
            // the next group's wake-up of the driver: that is the open's
            // cost, not the way's. Latency counts from the first read on.
            if (trace[k].ns >= got.front().ns) m.latency_us.push_back(static_cast<double>(r.ns - trace[k].ns) / 1000.0);
        }
        last_matched = k;
        next = k + 1;
    }
    // Handed over before the end and never read.
    long tail = 0;
    for (size_t i = last_matched + 1; i < trace.size() && trace[i].ns <= to_ns; i++) {
        m.lost++;
        tail++;
        if (trace[i].bad) m.lost_bad++;
    }
    if (tail > 0) m.gaps[tail]++;
    for (size_t i = first; i < trace.size() && trace[i].ns <= to_ns; i++) {
        m.sent++;
        if (trace[i].bad) m.sent_bad++;
    }
    return m;
}

// The time between successive groups as the client read them: a chip hands
// over a group every 87.6 ms, and a client that keeps one group at a time
// loses those that come close behind another.
void print_gaps(const char* what, const std::vector<Received>& got) {
    std::vector<double> gaps;
    for (size_t i = 1; i < got.size(); i++) gaps.push_back(static_cast<double>(got[i].ns - got[i - 1].ns) / 1e6);
    if (gaps.empty()) {
        std::printf("%s: no samples\n", what);
        return;
    }
    std::sort(gaps.begin(), gaps.end());
    auto at = [&](size_t percent) { return gaps[std::min(gaps.size() - 1, gaps.size() * percent / 100)]; };
    std::printf("%s: n=%zu p5=%.1f ms median=%.1f ms p95=%.1f ms, under 5 ms: %zu\n", what, gaps.size(), at(5), at(50),
                at(95), static_cast<size_t>(std::lower_bound(gaps.begin(), gaps.end(), 5.0) - gaps.begin()));
}

void print_match(const char* what, const MatchResult& m, const LineReader& lines) {
    std::printf(
        "%s: sent %ld groups (%ld with a bad block), received %ld, lost %ld (%ld with a bad block); read "
        "first from before the open %ld, not in the tuner's sequence %ld, bad checksums %ld\n",
        what, m.sent, m.sent_bad, m.received, m.lost, m.lost_bad, m.before_open, m.unmatched, lines.bad_lines);
    if (!m.gaps.empty()) {
        std::printf("  runs of lost groups (length x times):");
        for (const auto& [length, times] : m.gaps) std::printf(" %ldx%ld", length, times);
        std::printf("\n");
    }
}

// ---- the two clients ----------------------------------------------------------------

// Reads COM9: through the device manager's client until `done` says so or
// the deadline passes; returns the moment the port was open.
template <class Done>
int64_t read_com9(LineReader& lines, Done done, Clock::time_point deadline) {
    int64_t opened = now_ns();  // the driver takes output from inside the open on
    HANDLE port = CreateFileW(u"COM9:", GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    if (port == INVALID_HANDLE_VALUE) {
        std::fprintf(stderr, "e2e_bench: cannot open COM9: (error %u)\n", GetLastError());
        std::exit(1);
    }
    char buffer[4096];
    while (!done() && Clock::now() < deadline) {
        DWORD got = 0;
        if (!ReadFile(port, buffer, sizeof buffer, &got, nullptr)) break;
        int64_t t = now_ns();
        if (got) lines.take(buffer, got, t);
    }
    CloseHandle(port);
    return opened;
}

// The same through the pseudo-terminal, as a navigation program reads it.
template <class Done>
int64_t read_pty(const std::string& root, LineReader& lines, Done done, Clock::time_point deadline) {
    std::string path = root + "/dev/COM9";
    int64_t opened = now_ns();
    int fd = ::open(path.c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (fd < 0) {
        std::fprintf(stderr, "e2e_bench: cannot open %s: %s\n", path.c_str(), std::strerror(errno));
        std::exit(1);
    }
    char buffer[4096];
    while (!done() && Clock::now() < deadline) {
        pollfd p{fd, POLLIN, 0};
        if (::poll(&p, 1, 200) <= 0) continue;
        ssize_t n = ::read(fd, buffer, sizeof buffer);
        int64_t t = now_ns();
        if (n < 0 && (errno == EINTR || errno == EAGAIN)) continue;
        if (n <= 0) break;
        lines.take(buffer, static_cast<size_t>(n), t);
    }
    ::close(fd);
    return opened;
}

std::string air_for(bool spy) {
    if (!spy) return "synthetic";
    auto rec = spy_recording();
    if (!rec) {
        std::printf("dk-9602-tmc.spy not available: the synthetic station instead\n");
        return "synthetic";
    }
    return rec->string();
}

// ---- latency at the real rate ----------------------------------------------------

void bench_latency(int groups, bool spy) {
    std::string air = air_for(spy);
    HostRoot host("1", air, false);
    if (!host.rds_flowing(30)) host.fail("no RDS from the tuner");
    // Each variant reads until it has `groups` sentences; ~88 ms a group.
    auto budget = std::chrono::milliseconds(groups * 88 * 2 + 15000);

    LineReader com9;
    int64_t com9_open = read_com9(
        com9, [&] { return com9.received.size() >= static_cast<size_t>(groups); }, Clock::now() + budget);
    int64_t com9_end = now_ns();

    LineReader pty;
    int64_t pty_open = read_pty(
        host.root, pty, [&] { return pty.received.size() >= static_cast<size_t>(groups); }, Clock::now() + budget);
    int64_t pty_end = now_ns();

    auto trace = read_trace(host.trace);
    const char* source = air == "synthetic" ? "synthetic TMC station" : "dk-9602-tmc.spy";
    std::printf(
        "latency through cehost at the real RDS rate (%s, CE_TIME_SCALE=1), tuner handing over a group's "
        "last piece -> the client's read returning its $RTTMC:\n",
        source);
    MatchResult a = match(trace, com9.received, com9_open, com9_end);
    print_spread("  COM9: (CreateFileW + ReadFile)", a.latency_us);
    print_match("  COM9:", a, com9);
    MatchResult b = match(trace, pty.received, pty_open, pty_end);
    print_spread("  <root>/dev/COM9 (pty read)", b.latency_us);
    print_match("  <root>/dev/COM9", b, pty);
    std::printf("gaps between groups as the client read them:\n");
    print_gaps("  COM9:", com9.received);
    print_gaps("  <root>/dev/COM9", pty.received);
}

// ---- idle cost per thread ------------------------------------------------------------

struct ThreadCost {
    std::string name;
    double cpu_ms = 0;  // time on a CPU: schedstat's nanoseconds, else utime + stime in clock ticks
    long voluntary = 0, involuntary = 0;
};

std::string slurp(const std::filesystem::path& p) {
    std::ifstream in(p);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
}

std::map<int, ThreadCost> thread_costs(pid_t pid) {
    std::map<int, ThreadCost> out;
    std::error_code ec;
    for (const auto& task : std::filesystem::directory_iterator("/proc/" + std::to_string(pid) + "/task", ec)) {
        int tid = std::atoi(task.path().filename().c_str());
        ThreadCost c;
        std::string stat = slurp(task.path() / "stat");
        size_t open = stat.find('('), close = stat.rfind(')');
        if (open == std::string::npos || close == std::string::npos) continue;
        c.name = stat.substr(open + 1, close - open - 1);
        std::istringstream fields(stat.substr(close + 2));
        std::string f;
        long ticks = 0;
        for (int i = 3; fields >> f; i++) {
            if (i == 14) ticks += std::stol(f);
            if (i == 15) {
                ticks += std::stol(f);
                break;
            }
        }
        c.cpu_ms = 1000.0 * static_cast<double>(ticks) / static_cast<double>(sysconf(_SC_CLK_TCK));
        std::istringstream schedstat(slurp(task.path() / "schedstat"));
        if (double ns = 0; schedstat >> ns) c.cpu_ms = ns / 1e6;
        std::istringstream status(slurp(task.path() / "status"));
        for (std::string line; std::getline(status, line);) {
            if (line.rfind("voluntary_ctxt_switches:", 0) == 0) c.voluntary = std::stol(line.substr(24));
            if (line.rfind("nonvoluntary_ctxt_switches:", 0) == 0) c.involuntary = std::stol(line.substr(27));
        }
        out[tid] = c;
    }
    return out;
}

// ---- delivery at a multiple of the real rate ------------------------------------

struct HostCost {
    double cpu_ms = 0;
    long voluntary = 0;
};

HostCost host_cost(pid_t pid) {
    HostCost c;
    for (const auto& [tid, t] : thread_costs(pid)) {
        c.cpu_ms += t.cpu_ms;
        c.voluntary += t.voluntary;
    }
    return c;
}

void bench_rate(int rate, int seconds, bool spy) {
    std::string air = air_for(spy);
    char scale[32];
    std::snprintf(scale, sizeof scale, "%.6g", 1.0 / rate);
    HostRoot host(scale, air, false);
    if (!host.rds_flowing(30)) host.fail("no RDS from the tuner");
    std::printf("delivery at %d times the real RDS rate through cehost (%s, CE_TIME_SCALE=%s), %d s a client:\n", rate,
                air == "synthetic" ? "synthetic TMC station" : "dk-9602-tmc.spy", scale, seconds);
    // Each client reads for the run, then a short while more so that groups
    // handed over just before the end can arrive; those after do not count.
    auto drain = std::chrono::milliseconds(500);
    for (int variant = 0; variant < 2; variant++) {
        LineReader lines;
        int64_t end_ns = 0;
        Clock::time_point stop;
        HostCost before = host_cost(host.pid), after;
        auto done = [&] {
            if (end_ns == 0 && Clock::now() >= stop - drain) {
                end_ns = now_ns();
                after = host_cost(host.pid);
            }
            return false;
        };
        stop = Clock::now() + std::chrono::seconds(seconds) + drain;
        int64_t opened = variant == 0 ? read_com9(lines, done, stop) : read_pty(host.root, lines, done, stop);
        if (end_ns == 0) {
            end_ns = now_ns();
            after = host_cost(host.pid);
        }
        auto trace = read_trace(host.trace);
        MatchResult m = match(trace, lines.received, opened, end_ns);
        const char* name = variant == 0 ? "  COM9: (CreateFileW + ReadFile)" : "  <root>/dev/COM9 (pty read)";
        if (m.received == 0) host.fail("the client read no group: a figure from it would mislead");
        print_match(name, m, lines);
        print_spread("    latency", m.latency_us);
        std::printf("    cehost per group sent: %.1f us of CPU, %.2f voluntary context switches\n",
                    1000.0 * (after.cpu_ms - before.cpu_ms) / static_cast<double>(m.sent),
                    static_cast<double>(after.voluntary - before.voluntary) / static_cast<double>(m.sent));
    }
}

void bench_idle(int seconds) {
    HostRoot host("1", "", true);
    HANDLE port = CreateFileW(u"COM9:", GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    if (port == INVALID_HANDLE_VALUE) host.fail("cannot open COM9:");
    std::atomic<bool> stop{false};
    std::atomic<long> bytes{0}, reads{0};
    std::thread reader([&] {
        char buffer[4096];
        DWORD got = 0;
        while (!stop && ReadFile(port, buffer, sizeof buffer, &got, nullptr)) {
            bytes += got;
            reads++;
        }
    });
    std::this_thread::sleep_for(std::chrono::seconds(2));  // settled: the radio is on and tuned
    auto a = thread_costs(host.pid);
    long reads_before = reads;
    std::this_thread::sleep_for(std::chrono::seconds(seconds));
    auto b = thread_costs(host.pid);
    long reads_during = reads - reads_before;
    stop = true;
    reader.join();
    CloseHandle(port);

    double total_ms = 0;
    long total_vol = 0, total_invol = 0;
    std::printf(
        "cehost idle with COM9: open, a client in ReadFile, no station on the air, %d s (CE_TIME_SCALE=1): "
        "status ticks expected: %d; the client's reads returned %ld times\n",
        seconds, seconds / 5, reads_during);
    std::printf("  %-16s %7s %9s %11s %13s\n", "thread", "tid", "cpu ms", "voluntary", "involuntary");
    for (const auto& [tid, after] : b) {
        ThreadCost before;
        if (auto it = a.find(tid); it != a.end()) before = it->second;
        double ms = after.cpu_ms - before.cpu_ms;
        long vol = after.voluntary - before.voluntary, invol = after.involuntary - before.involuntary;
        total_ms += ms;
        total_vol += vol;
        total_invol += invol;
        std::printf("  %-16s %7d %9.2f %11ld %13ld%s\n", after.name.c_str(), tid, ms, vol, invol,
                    a.count(tid) ? "" : "  (new)");
    }
    std::printf("  %-16s %7s %9.2f %11ld %13ld\n", "all", "", total_ms, total_vol, total_invol);
}

}  // namespace

int main(int argc, char** argv) {
    std::string what = argc > 1 ? argv[1] : "";
    bool spy = false;
    std::vector<int> numbers;
    for (int i = 2; i < argc; i++) {
        if (std::string(argv[i]) == "spy") spy = true;
        else numbers.push_back(std::atoi(argv[i]));
    }
    auto number = [&](size_t i, int fallback) { return i < numbers.size() && numbers[i] > 0 ? numbers[i] : fallback; };
    if (!what.empty() && what != "latency" && what != "rate" && what != "idle") {
        std::fprintf(stderr, "usage: e2e_bench [latency [GROUPS] | rate [RATE [SECONDS]] | idle [SECONDS]] [spy]\n");
        return 1;
    }
    if (what.empty() || what == "latency") bench_latency(number(0, 500), spy);
    if (what == "rate") bench_rate(number(0, 100), number(1, 10), spy);
    if (what.empty()) {
        bench_rate(100, 10, spy);
        bench_rate(300, 10, spy);
    }
    if (what.empty() || what == "idle") bench_idle(number(0, 30));
    return 0;
}
