// The device root: the folder that stands for the device's file system.
#include <pwd.h>
#include <unistd.h>

#include <cstdlib>
#include <mutex>

#include "ce_platform.h"

namespace ce {

namespace {

std::mutex root_mutex;
std::string* root_value = nullptr;

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
    std::lock_guard<std::mutex> lock(root_mutex);
    if (!root_value) root_value = new std::string(strip_trailing_slashes(default_root()));
    return *root_value;
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
    if (!root_value) root_value = new std::string(p);
    else *root_value = p;  // the old text may still be referenced: keep the object
    setenv("CE_ROOT", p.c_str(), 1);
}

}  // namespace ce
