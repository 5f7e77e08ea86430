/* Working-directory paths of a command run. */
#include "work_dir.h"

#include <cstring>

#include "platform.h"

char work_dir[SWUG_PATH_SIZE];

int capture_work_dir(void)
{
    memset(work_dir, 0, sizeof work_dir);
    if (!platform_getcwd(work_dir, sizeof work_dir)) {
        memset(work_dir, 0, sizeof work_dir);
        return 0;
    }
    return 1;
}

/* Append src to out, which holds *used bytes; 0 if the terminator would not fit. */
static int append(char out[SWUG_PATH_SIZE], size_t *used, const char *src)
{
    size_t n = strlen(src);
    if (n >= SWUG_PATH_SIZE - *used)
        return 0;
    memcpy(out + *used, src, n + 1);
    *used += n;
    return 1;
}

int compose_path(char out[SWUG_PATH_SIZE], const char *arg)
{
    size_t used = 0;
    int ok;

    out[0] = '\0';
    if (arg[0] == '.' && arg[1] == '/')
        ok = work_dir[0] != '\0' && append(out, &used, work_dir) && append(out, &used, "/") &&
             append(out, &used, arg + 2);
    else
        ok = append(out, &used, arg);
    if (!ok)
        out[0] = '\0';
    return ok;
}

int argument_path(char out[SWUG_PATH_SIZE], const char *arg)
{
    if (!compose_path(out, arg))
        return 0;
    /* shorter than what was composed from it, so it fits */
    if (PLATFORM_DOT_SLASH_AS_GIVEN && arg[0] == '.' && arg[1] == '/')
        memcpy(out, arg, strlen(arg) + 1);
    return 1;
}
