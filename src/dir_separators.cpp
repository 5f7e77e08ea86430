/* The separator rewrite for directories as Windows reports them. */
#include "dir_separators.h"

void normalise_dir_separators(char *dir)
{
    char *to = dir;
    char prev = '\0'; /* the character before *from as it was, not as rewritten */
    for (const char *from = dir; *from; from++) {
        char c = *from;
        if (c != '\\')
            *to++ = c;
        else if (prev != '\\')
            *to++ = '/';
        prev = c;
    }
    *to = '\0';
}
