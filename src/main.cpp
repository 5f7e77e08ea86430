/* swug-gen: turn a raw firmware image into an upgrade image.
 *
 *   swug-gen             data/KOVRIN_SW.bin -> out/KOVRIN_UPGRADE_SW.bin,
 *                        with messages and a closing key press
 *   swug-gen IN OUT      silent
 *
 * Either way the status is 0 when the image was written, 1 otherwise: also
 * after a wrong argument count, so that a script that called us wrongly
 * does not carry on with an old image.
 */
#include <cstdio>

#include "main.h"
#include "platform.h"
#include "swug_build.h"
#include "work_dir.h"

int main(int argc, char **argv)
{
    func_args args;
    /* Paths are UTF-8 from here on. The messages need no console set-up:
     * they name only the default files, which are ASCII. */
    int have_args = platform_utf8_args(&argc, &argv);

    args.argc = argc;
    args.argv = argv;
    args.return_code = 0;
    platform_init();
    if (argc == 3) {
        if (!have_args) /* an argument that names no file we could open */
            return 1;
        capture_work_dir(); /* on failure work_dir stays empty and "./" paths fail */
        in_cmd_mode = 1;
    }

    int status = generate_swug_bin(&args) == 1 ? 0 : 1;
    if (in_cmd_mode == 1)
        return status;

    printf("Press any key to exit!");
    platform_wait_key();
    return status;
}
