// GPD0:, the GPS multiplexer port: a device built into the host. Every open
// gets the NMEA stream from the moment it opened (or, while no open had used
// it, from its own first read or wait); the stream comes from a
// synthetic track, a replayed log or a host serial device, as
// HKLM\Platform\Gps (Source, Path) says. The source runs only while some
// open consumes the stream (reads, waits for it, writes to the receiver):
// an open that is never read, as the driver's in its TMC-only mode, and an
// idle host cost no work.
#include <fcntl.h>
#include <poll.h>
#include <pthread.h>
#include <sys/eventfd.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <cmath>
#include <cstring>
#include <ctime>
#include <fstream>
#include <sstream>
#include <thread>

#include "ce_platform.h"
#include "host.h"
#include "kobject.h"
#include "nmea.h"
#include "pegdser.h"

namespace cehost {

namespace {

constexpr size_t kQueueLimit = 64 * 1024;  // per open; the oldest bytes go first
const std::u16string kGpsKey = u"Platform\\Gps";

struct GpsOpen {
    std::string queue;  // unread bytes
    DWORD mask = 0;
    unsigned mask_generation = 0;
    bool closing = false;
    bool consuming = false;  // has read, waited or written: the source runs for it
    DCB dcb{};
    COMMTIMEOUTS timeouts{};
};

std::string checksum_sentence(const std::string& body) {
    unsigned char sum = 0;
    for (char c : body) sum ^= static_cast<unsigned char>(c);
    char tail[8];
    std::snprintf(tail, sizeof tail, "*%02X\r\n", sum);
    return "$" + body + tail;
}

class GpsDriver : public Driver {
public:
    ~GpsDriver() override {
        std::lock_guard<std::mutex> control(control_mutex_);
        stop_source();
    }

    DWORD_PTR open(DWORD, DWORD) override {
        auto* o = new GpsOpen;
        o->dcb.DCBlength = sizeof(DCB);
        o->dcb.BaudRate = CBR_4800;
        o->dcb.fBinary = 1;
        o->dcb.ByteSize = 8;
        std::lock_guard<std::mutex> lock(mutex_);
        opens_.insert(o);
        return reinterpret_cast<DWORD_PTR>(o);
    }

    void pre_close(DWORD_PTR open) override {
        std::lock_guard<std::mutex> lock(mutex_);
        auto* o = reinterpret_cast<GpsOpen*>(open);
        o->closing = true;  // a pending WaitCommEvent fails
        cv_.notify_all();
    }

    BOOL close(DWORD_PTR open) override {
        auto* o = reinterpret_cast<GpsOpen*>(open);
        bool last;
        {
            std::lock_guard<std::mutex> lock(mutex_);
            opens_.erase(o);
            if (o->consuming) consumers_--;
            last = consumers_ == 0;
        }
        delete o;
        if (last) update_source();
        return TRUE;
    }

    DWORD read(DWORD_PTR open, void* buffer, DWORD count) override {
        auto* o = reinterpret_cast<GpsOpen*>(open);
        consume(o);
        std::lock_guard<std::mutex> lock(mutex_);
        size_t n = std::min<size_t>(count, o->queue.size());
        if (n) {
            std::memcpy(buffer, o->queue.data(), n);
            o->queue.erase(0, n);
        }
        return static_cast<DWORD>(n);
    }

    DWORD write(DWORD_PTR open, const void* buffer, DWORD count) override {
        // Commands for the receiver reach it when the source is a device;
        // otherwise there is nobody to hear them.
        consume(reinterpret_cast<GpsOpen*>(open));
        std::lock_guard<std::mutex> lock(device_mutex_);
        if (device_fd_ >= 0 && count) {
            ssize_t w = ::write(device_fd_, buffer, count);
            (void)w;
        }
        return count;
    }

    DWORD seek(DWORD_PTR, LONG, WORD) override {
        SetLastError(ERROR_NOT_SUPPORTED);
        return static_cast<DWORD>(-1);
    }

    BOOL ioctl(DWORD_PTR open, DWORD code, PBYTE in, DWORD in_size, PBYTE out, DWORD out_size,
               PDWORD returned) override {
        auto* o = reinterpret_cast<GpsOpen*>(open);
        if (returned) *returned = 0;
        // Waiting for the stream, or asking how much of it is queued, is using it.
        if (code == IOCTL_SERIAL_SET_WAIT_MASK || code == IOCTL_SERIAL_WAIT_ON_MASK ||
            code == IOCTL_SERIAL_GET_COMMSTATUS)
            consume(o);
        if ((code >> 16) != FILE_DEVICE_SERIAL_PORT) {
            SetLastError(ERROR_NOT_SUPPORTED);
            return FALSE;
        }
        auto need_in = [&](DWORD size) {
            if (!in || in_size < size) {
                SetLastError(ERROR_INVALID_PARAMETER);
                return false;
            }
            return true;
        };
        auto give = [&](const void* data, DWORD size) {
            if (!out || out_size < size) {
                SetLastError(ERROR_INVALID_PARAMETER);
                return FALSE;
            }
            std::memcpy(out, data, size);
            if (returned) *returned = size;
            return TRUE;
        };
        std::unique_lock<std::mutex> lock(mutex_);
        switch (code) {
            case IOCTL_SERIAL_SET_WAIT_MASK: {
                if (!need_in(4)) return FALSE;
                std::memcpy(&o->mask, in, 4);
                o->mask_generation++;  // a pending wait returns with no event
                cv_.notify_all();
                return TRUE;
            }
            case IOCTL_SERIAL_GET_WAIT_MASK: return give(&o->mask, 4);
            case IOCTL_SERIAL_WAIT_ON_MASK: {
                if (!out || out_size < 4) {
                    SetLastError(ERROR_INVALID_PARAMETER);
                    return FALSE;
                }
                if (o->mask == 0) {
                    SetLastError(ERROR_INVALID_PARAMETER);
                    return FALSE;
                }
                unsigned generation = o->mask_generation;
                // A wait forwarded from another port (COM1: passes its
                // client's WaitCommEvent on) also ends when that port's open
                // is closed, even while no GPS data flows.
                cv_.wait(lock, [&] {
                    return o->closing || o->mask_generation != generation ||
                           ((o->mask & EV_RXCHAR) && !o->queue.empty()) || outer_call_released();
                });
                bool remasked = o->mask_generation != generation;
                bool data = (o->mask & EV_RXCHAR) && !o->queue.empty();
                if (o->closing || (!remasked && !data)) {
                    SetLastError(ERROR_INVALID_HANDLE);
                    return FALSE;
                }
                DWORD events = remasked ? 0 : EV_RXCHAR;
                return give(&events, 4);
            }
            case IOCTL_SERIAL_PURGE: {
                if (!need_in(4)) return FALSE;
                DWORD flags;
                std::memcpy(&flags, in, 4);
                if (flags & (PURGE_RXCLEAR | PURGE_RXABORT)) o->queue.clear();
                return TRUE;
            }
            case IOCTL_SERIAL_GET_COMMSTATUS: {
                DWORD status[4] = {0, 0, static_cast<DWORD>(o->queue.size()), 0};  // errors, COMSTAT
                return give(status, sizeof status);
            }
            case IOCTL_SERIAL_GET_MODEMSTATUS: {
                DWORD status = 0x10 | 0x20 | 0x80;  // CTS, DSR, RLSD: a receiver is attached
                return give(&status, 4);
            }
            case IOCTL_SERIAL_GET_DCB: return give(&o->dcb, sizeof(DCB));
            case IOCTL_SERIAL_SET_DCB:
                if (!need_in(sizeof(DCB))) return FALSE;
                std::memcpy(&o->dcb, in, sizeof(DCB));
                return TRUE;
            case IOCTL_SERIAL_GET_TIMEOUTS: return give(&o->timeouts, sizeof(COMMTIMEOUTS));
            case IOCTL_SERIAL_SET_TIMEOUTS:
                if (!need_in(sizeof(COMMTIMEOUTS))) return FALSE;
                std::memcpy(&o->timeouts, in, sizeof(COMMTIMEOUTS));
                return TRUE;
            default:
                // Line settings, modem lines, queue sizes: a multiplexer port
                // has none to change, and accepts them.
                if (out && out_size) std::memset(out, 0, out_size);
                return TRUE;
        }
    }

    void deinit() override;
    bool waits_by_comm_event() const override { return true; }
    void wake_nested_waits() override {
        std::lock_guard<std::mutex> lock(mutex_);
        cv_.notify_all();
    }

    void reload() {
        std::lock_guard<std::mutex> control(control_mutex_);
        stop_source();
        if (wanted()) start_source();
    }

private:
    // The first use of an open starts the source if nobody used it yet.
    void consume(GpsOpen* o) {
        {
            std::lock_guard<std::mutex> lock(mutex_);
            if (o->consuming) return;
            o->consuming = true;
            consumers_++;
        }
        update_source();
    }

    bool wanted() {
        std::lock_guard<std::mutex> lock(mutex_);
        return consumers_ > 0;
    }

    // Runs the source exactly while some open consumes it. Decided under the
    // control lock, so that a start and a stop racing end as the count says.
    void update_source() {
        std::lock_guard<std::mutex> control(control_mutex_);
        if (wanted()) start_source();
        else stop_source();
    }

    // Both with control_mutex_ held.
    void start_source() {
        if (source_.joinable()) return;
        {
            std::lock_guard<std::mutex> lock(mutex_);
            stop_ = false;
        }
        stop_fd_ = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
        source_ = std::thread([this] { run_source(); });
    }

    void stop_source() {
        if (!source_.joinable()) return;
        {
            std::lock_guard<std::mutex> lock(mutex_);
            stop_ = true;
            cv_.notify_all();
        }
        uint64_t one = 1;
        ssize_t w = ::write(stop_fd_, &one, sizeof one);
        (void)w;
        source_.join();
        ::close(stop_fd_);
        stop_fd_ = -1;
    }

    void deliver(const std::string& bytes) {
        std::lock_guard<std::mutex> lock(mutex_);
        for (auto* o : opens_) {
            o->queue += bytes;
            if (o->queue.size() > kQueueLimit) o->queue.erase(0, o->queue.size() - kQueueLimit);
        }
        cv_.notify_all();
    }

    // Waits platform milliseconds; false when the source must stop.
    bool pause(DWORD platform_ms) {
        std::unique_lock<std::mutex> lock(mutex_);
        if (platform_ms == INFINITE) {
            cv_.wait(lock, [&] { return stop_; });
            return false;
        }
        return !cv_.wait_until(lock, ce::deadline_after(platform_ms), [&] { return stop_; });
    }

    bool stopping() {
        std::lock_guard<std::mutex> lock(mutex_);
        return stop_;
    }

    void run_source() {
        pthread_setname_np(pthread_self(), "gpd0-source");
        std::u16string source = reg_sz(kGpsKey, u"Source").value_or(u"synthetic");
        std::string path = u8(reg_sz(kGpsKey, u"Path").value_or(u""));
        std::string s = u8(source);
        if (s == "replay") run_replay(path);
        else if (s == "device") run_device(path);
        else {
            if (s != "synthetic") log_line("GPD0: unknown GPS source '%s'; using the synthetic track", s.c_str());
            run_synthetic();
        }
    }

    void run_synthetic() {
        log_line("GPD0: synthetic track");
        time_t start = std::time(nullptr);
        DWORD start_tick = GetTickCount();
        const double lat0 = 52.0907, lon0 = 5.1214;  // a circuit of about 2 km
        const double radius_m = 320.0, speed_ms = 13.9;
        for (unsigned n = 0;; n++) {
            DWORD elapsed_ms = GetTickCount() - start_tick;
            time_t now = start + elapsed_ms / 1000;
            std::tm t{};
            gmtime_r(&now, &t);
            double angle = speed_ms * (elapsed_ms / 1000.0) / radius_m;
            double lat = lat0 + (radius_m * std::sin(angle)) / 111320.0;
            double lon = lon0 + (radius_m * std::cos(angle)) / (111320.0 * std::cos(lat0 * M_PI / 180.0));
            double course = std::fmod(360.0 - angle * 180.0 / M_PI + 360.0 * 1000, 360.0);
            auto coord = [](double v, int degree_digits, char pos, char neg) {
                char hemi = v >= 0 ? pos : neg;
                v = std::fabs(v);
                int deg = static_cast<int>(v);
                double minutes = (v - deg) * 60.0;
                char buf[32];
                std::snprintf(buf, sizeof buf, "%0*d%07.4f,%c", degree_digits, deg, minutes, hemi);
                return std::string(buf);
            };
            char clock[16], date[16], body[256];
            std::snprintf(clock, sizeof clock, "%02d%02d%02d.00", t.tm_hour, t.tm_min, t.tm_sec);
            std::snprintf(date, sizeof date, "%02d%02d%02d", t.tm_mday, t.tm_mon + 1, t.tm_year % 100);
            std::string la = coord(lat, 2, 'N', 'S'), lo = coord(lon, 3, 'E', 'W');
            std::string out;
            std::snprintf(body, sizeof body, "GPGGA,%s,%s,%s,1,08,0.9,12.4,M,46.9,M,,", clock, la.c_str(), lo.c_str());
            out += checksum_sentence(body);
            std::snprintf(body, sizeof body, "GPRMC,%s,A,%s,%s,%.1f,%.1f,%s,,,A", clock, la.c_str(), lo.c_str(),
                          speed_ms * 1.943844, course, date);
            out += checksum_sentence(body);
            out += checksum_sentence("GPGSA,A,3,02,05,07,13,15,20,24,30,,,,,1.6,0.9,1.3");
            out += checksum_sentence("GPGSV,2,1,08,02,61,112,44,05,34,245,40,07,22,051,37,13,48,176,42");
            out += checksum_sentence("GPGSV,2,2,08,15,12,310,31,20,70,020,46,24,29,280,39,30,41,095,41");
            deliver(out);
            // Next fix on the next whole platform second of the track.
            DWORD next = (elapsed_ms / 1000 + 1) * 1000;
            DWORD now_ms = GetTickCount() - start_tick;
            if (!pause(next > now_ms ? next - now_ms : 0)) return;
        }
    }

    void run_replay(const std::string& path) {
        std::string text, error;
        // Read at once, so nothing here can wait on the file: a FIFO or a
        // folder is refused, a log larger than a recording may be too.
        if (!ce::read_regular_file(path, kMaxReplayBytes, &text, &error)) {
            log_line("GPD0: cannot replay %s", error.c_str());
            pause(INFINITE);
            return;
        }
        std::istringstream in(text);
        std::vector<std::string> lines = nmea_log_lines(in);
        log_line("GPD0: replaying %s (%zu sentences)", path.c_str(), lines.size());
        if (lines.empty()) {
            pause(INFINITE);
            return;
        }
        for (;;) {
            long last = -1;
            for (const auto& line : lines) {
                long t = nmea_sentence_time_ms(line);
                if (t >= 0) {
                    if (last >= 0 && t != last && !pause(static_cast<DWORD>(nmea_pause_ms(last, t)))) return;
                    last = t;
                }
                if (stopping()) return;
                deliver(line + "\r\n");
            }
            if (!pause(1000)) return;  // the log starts again
        }
    }

    void run_device(const std::string& path) {
        log_line("GPD0: reading %s", path.c_str());
        bool reported = false;
        while (!stopping()) {
            int fd = ::open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
            if (fd < 0) fd = ::open(path.c_str(), O_RDONLY | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
            if (fd < 0) {
                if (!reported) log_line("GPD0: cannot open %s: %s; retrying", path.c_str(), std::strerror(errno));
                reported = true;
                if (!pause(1000)) return;
                continue;
            }
            reported = false;
            termios tio{};
            if (tcgetattr(fd, &tio) == 0) {
                cfmakeraw(&tio);
                tcsetattr(fd, TCSANOW, &tio);
            }
            {
                std::lock_guard<std::mutex> lock(device_mutex_);
                device_fd_ = fd;
            }
            char buf[4096];
            for (;;) {
                pollfd fds[2] = {{fd, POLLIN, 0}, {stop_fd_, POLLIN, 0}};
                if (::poll(fds, 2, -1) < 0 && errno != EINTR) break;
                if (fds[1].revents) break;
                if (fds[0].revents & POLLIN) {
                    ssize_t n = ::read(fd, buf, sizeof buf);
                    if (n > 0) {
                        deliver(std::string(buf, static_cast<size_t>(n)));
                        continue;
                    }
                    if (n < 0 && (errno == EAGAIN || errno == EINTR)) continue;
                    break;  // end of file or error: the device went away
                } else if (fds[0].revents & (POLLHUP | POLLERR | POLLNVAL)) {
                    break;
                }
            }
            {
                std::lock_guard<std::mutex> lock(device_mutex_);
                device_fd_ = -1;
            }
            ::close(fd);
            if (!pause(1000)) return;  // reopen: a pty's writer may come back
        }
    }

    std::mutex mutex_;  // opens, queues, stop flag
    std::condition_variable cv_;
    std::set<GpsOpen*> opens_;
    int consumers_ = 0;  // opens that have consumed the stream
    bool stop_ = false;
    std::mutex control_mutex_;  // starting and stopping the source
    std::thread source_;
    int stop_fd_ = -1;
    std::mutex device_mutex_;
    int device_fd_ = -1;
};

std::mutex g_gps_mutex;
GpsDriver* g_gps = nullptr;

}  // namespace

void GpsDriver::deinit() {
    {
        std::lock_guard<std::mutex> control(control_mutex_);
        stop_source();
    }
    std::lock_guard<std::mutex> lock(g_gps_mutex);
    if (g_gps == this) g_gps = nullptr;
}

std::unique_ptr<Driver> make_gps_driver() {
    auto d = std::make_unique<GpsDriver>();
    std::lock_guard<std::mutex> lock(g_gps_mutex);
    g_gps = d.get();
    return d;
}

void gps_reload() {
    std::lock_guard<std::mutex> lock(g_gps_mutex);
    if (g_gps) g_gps->reload();
}

}  // namespace cehost
