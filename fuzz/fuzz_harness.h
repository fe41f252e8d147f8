// Support shared by the fuzz targets: a private working folder for the files a target writes,
// and one run of the program in-process that always comes back, the fatal exit included, with
// the whole toolkit torn down, so that nothing passes from one input to the next.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

// The target's private folder (made on first use under /dev/shm, else /tmp, ending in '/'); also
// $TMPDIR for the runs, so that a temporary file left behind is seen.
const std::string &fuzz_work_dir();

// Writes `size` bytes to `name` in the working folder and returns the file's full path.
std::string fuzz_write_file(const char *name, const std::uint8_t *data, std::size_t size);

// Reads the file of that name from the working folder (empty when it is missing).
std::string fuzz_read_file(const char *name);

// Reports a broken check of a target and aborts, so the fuzzer keeps the input.
[[noreturn]] void fuzz_violation(const char *what);

// Runs `body(argument)` with host_exit turned into a return: the status given to host_exit
// (the fatal exit gives 1), or -1 when `body` came back by itself.
int fuzz_guarded(void (*body)(void *), void *argument);

// Whether the runs from now on copy plain source lines whole (the program always does).
void fuzz_copy_plain_lines(bool enabled);

// Whether the hints of blocks read ahead are made 32 bytes to a compare where the processor
// can (the program's way), or 16 bytes to a compare.
void fuzz_wide_hints(bool on);

// Brings the toolkit up in the program's order (front end, lexer, memory, preprocessor),
// without the host's signal hooks: the fuzzer and the sanitizers own the signals.
void fuzz_toolkit_up();

// Tears down whatever a run left, however it ended: files of the command line, preprocessor,
// lexer, text table, streams, messages, front end and every pool. fuzz_toolkit_up may follow.
void fuzz_toolkit_down();

// The program's whole run over `argv` (main's sequence, driver/run.h), toolkit up and down
// included.
// Returns its exit status; *completed tells whether it reached the normal end.
int fuzz_run_program(int argc, char **argv, bool *completed);

// The lowest free descriptor, taken before a run: a run that leaves one open changes it.
int fuzz_descriptor_mark();

// Aborts when a run left a descriptor open (the mark changed), a file in the working folder
// other than the `keep` names (a null-terminated list), or a pool of the memory manager.
void fuzz_check_clean(int descriptor_mark, const char *const *keep);
