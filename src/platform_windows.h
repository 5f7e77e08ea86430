/* Private to the Windows platform files: the clean-up of the output that
 * the console-event handler calls. */
#ifndef SWUG_PLATFORM_WINDOWS_H
#define SWUG_PLATFORM_WINDOWS_H

/* Remove the temporary output, if there is one, and make no more: the
 * process is about to end. Safe on the handler's own thread while the main
 * thread writes the output: it marks the file deleted through its handle. */
void output_quit(void);

#endif
