// Host services: the registry of temporary files that every way out removes, the signal hooks
// with their crash report, the search along the include environment variable, the temporary
// directory, the help text, the file part of a path and the reproducible build date.
#pragma once

#include <csignal>
#include <cstddef>
#include <cstdint>
#include <ctime>

#include "common/types.h"

// The size of every name buffer of the host layer (names up to 1023 bytes).
inline constexpr std::size_t HOST_NAME_SIZE = 1024;

// Opens /dev/null on each of the descriptors 0, 1 and 2 that is closed, so that no file the run
// opens later takes the place of a standard stream (a warning listing written into the output
// file, a failure line into the list file). Called first of all.
void host_open_standard_streams();
// Installs the crash hook (SIGSEGV, SIGBUS, SIGFPE, SIGILL) and then the interrupt hook
// (SIGINT, SIGTERM, SIGHUP, SIGQUIT, SIGPIPE, SIGXFSZ). Both remove the temporary files first.
void host_install_hooks();

// The interrupt hook: removes the temporary files, then ends the process by the same signal.
void host_ctrl_handler(int signal);

// The crash hook: removes the temporary files, prints the "Program Exception:" report on
// standard output, then lets the process die by the same signal.
void host_exception_filter(int signal, siginfo_t *info, void *context);

// The report name of a fatal signal and its si_code, from the exception table; the table's code
// is stored in *exception_code when it is not null.
const char *host_exception_name(int signal, int code, std::uint32_t *exception_code);

// Makes a new empty file "<dir>cpXXXXXX" (dir used verbatim: it must end in '/' or be empty)
// and registers it for removal. Returns its descriptor, or -1 when the name does not fit in
// HOST_NAME_SIZE, the file cannot be made, or the registry is full. `name` (HOST_NAME_SIZE
// bytes) receives the name made.
int host_create_temp_file(const char *dir, char *name);

// Makes an unnamed temporary file for reading and writing, for data the run must read more
// than once: made like host_create_temp_file in the temporary directory (host_set_temp_dir,
// else the system's) and removed at once, so that no way out of the run leaves it behind.
// Returns its descriptor, or -1 when it cannot be made.
int host_open_scratch_file();

// The directory of host_open_scratch_file (the -temp= directory, ending in '/'); null or empty
// for the system's. The text is copied; one that does not fit is taken as null.
void host_set_temp_dir(const char *dir);

// Removes the registered temporary file `name` now and forgets it.
void host_delete_temp_file(const char *name);

// Forgets the registered temporary file `name` without removing it: it was renamed into place.
void host_forget_temp_file(const char *name);

// Removes every registered temporary file (failures ignored), then flushes standard error and
// standard output.
void host_remove_temp_files();

// host_remove_temp_files, then the process exit with `status`.
[[noreturn]] void host_exit(int status);

// A routine host_exit calls, once the temporary files are removed, instead of ending the
// process. Only a harness that runs the program many times in one process installs one (the
// fuzz targets); it must not return. The program itself never installs one; null removes it.
using HostExitHook = void (*)(int status);
void host_set_exit_hook(HostExitHook hook);

// Searches the directories of the variable `include` (else `INCLUDE`), split on ':' and ';',
// for `name`. True when found, with the full path in `buffer` (`size` bytes). A path that does
// not fit is reported at `where` as a system error and counts as not found.
bool host_search_include_env(const char *name, std::size_t size, char *buffer,
                             Position where = POSITION_NULL);

// The system's directory for temporary files, ending in '/': $TMPDIR when set and not empty,
// else /tmp. When it does not fit, a system error is reported and `buffer` is left empty.
void host_temp_dir(std::size_t size, char *buffer);

// The position just after the last '/' of `path`, or `path` itself when it has none.
const char *host_file_part(const char *path);

// Finds the help file of the program `program`: zor_hlp.txt beside it, else
// ../share/tfpp/zor_hlp.txt relative to it. True when a readable one was found.
bool host_find_help_file(const char *program, std::size_t size, char *buffer);

// Shows the help text (through $PAGER on a terminal, copied otherwise) and exits with status 0.
[[noreturn]] void host_show_help();

// Starts a detached thread running `run(argument)` for the rest of the process, with the
// interrupt signals (SIGINT, SIGTERM, SIGHUP, SIGQUIT and the like) blocked in it, so that the
// main thread's handlers take them as before; the signals the thread's own calls raise (a closed
// pipe, a file-size limit) still reach it. False when no thread could be started (no room for
// its stack, no more threads): the caller then does the work itself.
bool host_start_thread(void *(*run)(void *), void *argument);

// Keeps the threads host_start_thread started off the processor the calling thread runs on now,
// where the process may run on more than one. Each wakes at every block the calling thread hands
// it; the system tends to wake it on the processor of the thread that woke it, where it takes
// that thread's time, while the other processor idles. Called from the thread that started
// them, at each hand-over (a call costs a read of the processor's number when nothing changed).
void host_keep_helpers_apart();

// SOURCE_DATE_EPOCH when it is a non-negative decimal integer: true with the seconds.
bool host_source_date_epoch(std::time_t *seconds);

// The date of this run in the 24-character asctime form: SOURCE_DATE_EPOCH in UTC when valid,
// else the local date and time. The text lives in a static buffer.
const char *host_date_text();
