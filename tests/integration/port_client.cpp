// A client that waits on a port and does nothing else, for the tests of what
// ends such a wait. Once the port is open it prints "waiting" (wait: its mask
// set, then WaitCommEvent) or "reading" (read: ReadFile in a loop), and
// "ended N" when the wait returns (1: an event, 0: it failed).
//   host_port_client NAME wait|read      (the root comes from CE_ROOT)
#include <cstdio>
#include <string>

#include "ce_platform.h"
#include "windows.h"

int main(int argc, char** argv) {
    std::string mode = argc == 3 ? argv[2] : "";
    if (mode != "wait" && mode != "read") {
        std::fprintf(stderr, "usage: host_port_client NAME wait|read\n");
        return 2;
    }
    std::u16string name = ce::widen(argv[1]);
    HANDLE port = CreateFileW(name.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    if (port == INVALID_HANDLE_VALUE) {
        std::printf("refused %u\n", GetLastError());
        return 1;
    }
    BOOL ok;
    if (mode == "wait") {
        SetCommMask(port, EV_RXCHAR);
        std::printf("waiting\n");
        std::fflush(stdout);
        DWORD events = 0;
        ok = WaitCommEvent(port, &events, nullptr);
    } else {
        std::printf("reading\n");
        std::fflush(stdout);
        char buf[256];
        DWORD got = 0;
        while ((ok = ReadFile(port, buf, sizeof buf, &got, nullptr))) {}
    }
    std::printf("ended %d\n", ok ? 1 : 0);
    std::fflush(stdout);
    CloseHandle(port);
    return 0;
}
