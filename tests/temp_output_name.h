/* For the preloaded test shims: is a path, or an open descriptor, swug-gen's
 * temporary output (a file whose name begins with ".swug-gen-")? */
#ifndef TEMP_OUTPUT_NAME_H
#define TEMP_OUTPUT_NAME_H

#include <unistd.h>

#include <cstdio>
#include <cstring>

static inline bool is_temp_name(const char *path)
{
    const char *base = strrchr(path, '/');
    return strncmp(base ? base + 1 : path, ".swug-gen-", 10) == 0;
}

static inline bool is_temp_output(int fd)
{
    char link[64], target[4096];
    snprintf(link, sizeof link, "/proc/self/fd/%d", fd);
    ssize_t n = readlink(link, target, sizeof target - 1);
    if (n <= 0)
        return false;
    target[n] = '\0';
    return is_temp_name(target);
}

#endif
