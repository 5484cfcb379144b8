/* A plain POSIX program for the pty tests: no platform code at all.
 *   pty_probe PATH echo      open PATH, write bytes, read them back, tcflush, close
 *   pty_probe PATH hangup    open PATH and expect it to be hung up
 * Exits 0 on success, 1 with a message otherwise. */
#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <stdio.h>
#include <string.h>
#include <termios.h>
#include <unistd.h>

static int fail(const char* what) {
    fprintf(stderr, "pty_probe: %s: %s\n", what, strerror(errno));
    return 1;
}

int main(int argc, char** argv) {
    if (argc != 3) return 1;
    int fd = open(argv[1], O_RDWR | O_NOCTTY);
    if (fd < 0) return fail("open");
    if (strcmp(argv[2], "hangup") == 0) {
        struct pollfd p = {fd, POLLIN, 0};
        char c;
        if (poll(&p, 1, 60000) <= 0) return fail("no hangup");
        ssize_t n = read(fd, &c, 1);
        close(fd);
        return n <= 0 ? 0 : 1;
    }
    /* Bytes a cooked terminal would change: CR, LF, NUL, DEL, ^C, 0xff. */
    static const char message[] = {'h', 'e', '\r', '\n', 0, 0x7f, 0x03, (char)0xff, 'o'};
    if (write(fd, message, sizeof message) != (ssize_t)sizeof message) return fail("write");
    char got[sizeof message];
    size_t have = 0;
    while (have < sizeof message) {
        struct pollfd p = {fd, POLLIN, 0};
        if (poll(&p, 1, 60000) <= 0) return fail("no echo");
        ssize_t n = read(fd, got + have, sizeof message - have);
        if (n <= 0) return fail("read");
        have += (size_t)n;
    }
    if (memcmp(got, message, sizeof message) != 0) {
        fprintf(stderr, "pty_probe: the echo differs\n");
        return 1;
    }
    if (tcflush(fd, TCIFLUSH) != 0) return fail("tcflush");
    close(fd);
    return 0;
}
