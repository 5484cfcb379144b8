// Whether a device root may be used: it decides which libraries the host
// loads (the registry's Drivers\Builtin, the root's \Windows) and holds the
// settings and logs with the user's positions. A folder that another user
// made first, or can write to, would let that user run code as the victim,
// so such a root is refused the way ssh refuses a loose ~/.ssh.
#include <dirent.h>
#include <fcntl.h>
#include <grp.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <set>
#include <string>
#include <vector>

#include "ce_platform.h"

namespace ce {

namespace {

std::string user_name(uid_t uid) {
    char buffer[1024];
    passwd pw{};
    passwd* found = nullptr;
    if (getpwuid_r(uid, &pw, buffer, sizeof buffer, &found) == 0 && found) return found->pw_name;
    return "uid " + std::to_string(uid);
}

std::string owner_text(uid_t uid) {
    std::string name = user_name(uid);
    return name.rfind("uid ", 0) == 0 ? name : name + " (uid " + std::to_string(uid) + ")";
}

std::string mode_text(mode_t mode) {
    char text[8];
    std::snprintf(text, sizeof text, "%04o", static_cast<unsigned>(mode & 07777));
    return text;
}

// One folder of the root: ours, and writable by us alone. Empty when so.
std::string folder_problem(const std::string& path, const struct stat& st, uid_t uid) {
    if (!S_ISDIR(st.st_mode)) return path + " is not a folder";
    if (st.st_uid != uid) {
        return path + " is owned by " + owner_text(st.st_uid) + ", mode " + mode_text(st.st_mode) + ", not by you, " +
               owner_text(uid) + "; use a root of your own (--root ~/tervalon) or, if it is yours, chown " +
               user_name(uid) + " " + path;
    }
    if (st.st_mode & (S_IWGRP | S_IWOTH)) {
        return path + " is owned by you, mode " + mode_text(st.st_mode) +
               ", but others may write to it; fix it with chmod go-w " + path;
    }
    return {};
}

// The root's own entries whose names the device reads case-insensitively
// ("\Windows" may be "windows" on disk): every spelling is checked.
std::vector<std::string> entries_named(const std::string& root, const char* name) {
    std::vector<std::string> found;
    if (DIR* d = ::opendir(root.c_str())) {
        while (dirent* e = ::readdir(d)) {
            if (::strcasecmp(e->d_name, name) == 0) found.push_back(root + "/" + e->d_name);
        }
        ::closedir(d);
    }
    return found;
}

// The files that hold what the user would not share: settings, the driver's
// log with positions, the host's log. Only our own regular files are made
// private; anything else is left as found.
const char* const kPrivateFiles[] = {
    "registry.db",  "registry.db-wal",  "registry.db-shm", ".registry-changes",
    "Tervalon.log", "TervalonBack.log", ".cehost/log",
};

bool make_private(const std::string& path, mode_t want, uid_t uid) {
    struct stat st {};
    if (::lstat(path.c_str(), &st) != 0 || st.st_uid != uid) return false;
    if (!S_ISREG(st.st_mode) && !S_ISDIR(st.st_mode)) return false;
    if ((st.st_mode & 0777 & ~want) == 0) return false;
    return ::chmod(path.c_str(), (st.st_mode & 07777) & want) == 0;
}

}  // namespace

std::string root_trust_problem(const std::string& root, uid_t uid) {
    struct stat st {};
    if (::lstat(root.c_str(), &st) != 0) return {};  // not made yet: whoever makes it makes it private
    if (S_ISLNK(st.st_mode) && st.st_uid != uid && st.st_uid != 0) {
        return root + " is a link owned by " + owner_text(st.st_uid) +
               ", who may point it elsewhere at any time; use a root of your own (--root ~/tervalon)";
    }
    if (::stat(root.c_str(), &st) != 0) return root + ": " + std::strerror(errno);
    if (std::string p = folder_problem(root, st, uid); !p.empty()) return p;
    // A folder above the root that others may write to, without the sticky
    // bit that keeps them from renaming what is not theirs, lets them swap
    // the whole root after this check.
    std::string above = root;
    while (true) {
        size_t slash = above.rfind('/');
        if (slash == std::string::npos) break;
        above = slash == 0 ? "/" : above.substr(0, slash);
        struct stat up {};
        if (::stat(above.c_str(), &up) == 0 && (up.st_mode & (S_IWGRP | S_IWOTH)) && !(up.st_mode & S_ISVTX)) {
            return above + " (above the root " + root + ") is mode " + mode_text(up.st_mode) +
                   ": others may replace the root; use a root in a folder of your own (--root ~/tervalon)";
        }
        if (above == "/") break;
    }
    for (const char* name : {".cehost", "Windows"}) {
        for (const std::string& path : entries_named(root, name)) {
            struct stat sub {};
            if (::lstat(path.c_str(), &sub) != 0) continue;
            if (S_ISLNK(sub.st_mode)) return path + " is a link; a root's " + name + " must be a folder of its own";
            if (std::string p = folder_problem(path, sub, uid); !p.empty()) return p;
        }
    }
    return {};
}

bool claim_root(const std::string& root, std::string* error) {
    uid_t uid = ::geteuid();
    if (std::string p = root_trust_problem(root, uid); !p.empty()) {
        if (error) *error = "refusing the device root: " + p;
        return false;
    }
    // A root made before roots were made private: ours, but readable by all.
    static std::mutex said_mutex;
    static std::set<std::string> said;
    bool changed = make_private(root, 0700, uid);
    changed |= make_private(root + "/.cehost", 0700, uid);
    for (const char* file : kPrivateFiles) changed |= make_private(root + "/" + file, 0600, uid);
    if (changed) {
        std::lock_guard<std::mutex> lock(said_mutex);
        if (said.insert(root).second) {
            std::fprintf(stderr,
                         "%s: made the device root %s private (0700; its registry and logs 0600): they hold your "
                         "settings and positions\n",
                         program_invocation_short_name, root.c_str());
        }
    }
    return true;
}

}  // namespace ce
