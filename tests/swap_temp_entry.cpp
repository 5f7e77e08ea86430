/* Run as the owner of a sticky folder DIR, as a user who wants another's
 * file: the moment swug-gen's temporary output appears in DIR, rename it
 * aside (to DIR/aside) and put a link to TARGET under its name. Prints
 * "ready" once it watches; exits 0 once it has swapped, 1 when it could not,
 * after 30 seconds at the latest. Usage: swap-temp-entry DIR TARGET */
#include <fcntl.h>
#include <sys/inotify.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>

int main(int argc, char **argv)
{
    alignas(struct inotify_event) char buf[4096];
    int watch = inotify_init1(IN_CLOEXEC), dir = open(argv[1], O_RDONLY | O_DIRECTORY);

    if (argc != 3 || dir < 0 || watch < 0 || inotify_add_watch(watch, argv[1], IN_CREATE) < 0)
        return 1;
    printf("ready\n");
    fflush(stdout);
    alarm(30);
    for (ssize_t n; (n = read(watch, buf, sizeof buf)) > 0;)
        for (char *p = buf; p < buf + n; p += sizeof(struct inotify_event) + ((struct inotify_event *)p)->len) {
            const char *name = ((struct inotify_event *)p)->name;
            if (strncmp(name, ".swug-gen-", 10) == 0)
                return renameat(dir, name, dir, "aside") != 0 || symlinkat(argv[2], dir, name) != 0;
        }
    return 1;
}
