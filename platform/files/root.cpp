// The device root: the folder that stands for the device's file system.
#include <pwd.h>
#include <unistd.h>

#include <atomic>
#include <cstdlib>
#include <memory>
#include <mutex>
#include <vector>

#include "ce_platform.h"

namespace ce {

namespace {

std::mutex root_mutex;
// Every root text this process has had. root() hands out references that
// other threads may still hold when the root changes (tests change it
// between cases while service threads run), so a text is never changed or
// freed; a change installs a new one.
std::vector<std::unique_ptr<const std::string>>& root_texts() {
    static auto* texts = new std::vector<std::unique_ptr<const std::string>>;  // never destroyed
    return *texts;
}
std::atomic<const std::string*> current_root{nullptr};

void install(std::string text) {  // with root_mutex held
    root_texts().push_back(std::make_unique<const std::string>(std::move(text)));
    current_root.store(root_texts().back().get(), std::memory_order_release);
}

std::string default_root() {
    if (const char* env = std::getenv("CE_ROOT"); env && *env) return env;
    const char* home = std::getenv("HOME");
    std::string h;
    if (home && *home) h = home;
    else if (passwd* pw = getpwuid(getuid())) h = pw->pw_dir;
    else h = "/tmp";
    return h + "/.local/share/tervalon/device";
}

std::string strip_trailing_slashes(std::string p) {
    while (p.size() > 1 && p.back() == '/') p.pop_back();
    return p;
}

}  // namespace

const std::string& root() {
    if (const std::string* r = current_root.load(std::memory_order_acquire)) return *r;
    std::lock_guard<std::mutex> lock(root_mutex);
    if (!current_root.load(std::memory_order_relaxed)) install(strip_trailing_slashes(default_root()));
    return *current_root.load(std::memory_order_relaxed);
}

void set_root(const std::string& path) {
    std::string p = path;
    if (!p.empty() && p[0] != '/') {
        // Programs started from another folder must see the same root.
        char cwd[4096];
        if (getcwd(cwd, sizeof cwd)) p = std::string(cwd) + "/" + p;
    }
    p = strip_trailing_slashes(p);
    std::lock_guard<std::mutex> lock(root_mutex);
    install(p);
    setenv("CE_ROOT", p.c_str(), 1);
}

}  // namespace ce
