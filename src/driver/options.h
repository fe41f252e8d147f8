// The option flags and settings of a run, set once by the command line (the switches among
// them also by `#pragma`), and the command-line reader that sets them, opens the input, output,
// list and trace streams and builds the include directory lists.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>

#include "common/types.h"

// The -ansi column of options.def for a flag that -ansi leaves alone.
inline constexpr int OPTION_KEEP = -1;

#define OPTION_SWITCH(name, initial, ansi) extern std::uint8_t name;
#define OPTION_FLAG(type, name, initial, ansi) extern type name;
#include "driver/options.def"
#undef OPTION_FLAG
#undef OPTION_SWITCH

// A `#pragma` switch: its name and its flag.
struct OptionSwitch {
    const char *name;
    std::uint8_t *flag;
};
inline constexpr int OPTION_SWITCH_COUNT = 14;
// The switches in the order in which a pragma compares its name with them.
extern const OptionSwitch option_switches[OPTION_SWITCH_COUNT];

extern std::FILE *output_stream; // preprocessed text: standard output unless a file was named
extern std::FILE *list_stream;   // listing and severity summary; null without -l
extern std::FILE *dump_stream;   // the trace file of -t=file; standard error otherwise
// Slot 0: a buffer of OPTION_NAME_SIZE bytes with the current file's directory ("" or ending
// in '/'); then the -I directories in command-line order, each ending in '/'; a null entry.
extern char **include_dirs;
// The -S directories in command-line order, each ending in '/'; a null entry.
extern char **sys_include_dirs;

// The size of the name buffers of the command line (names up to 1023 bytes).
inline constexpr std::size_t OPTION_NAME_SIZE = 1024;

// Puts every flag and setting back to its start-up value. parse_command_line starts with it.
void options_set_defaults();

// Closes the output, list, trace and definitions files a run left open (a run that ended through
// the fatal exit), frees what the command line still holds and puts every flag back to its
// start-up value. For harnesses that run the program many times in one process.
void options_reset();

// Runs the definitions file, already open as the current stream, through the scanning loop
// until its end. The preprocessor installs it at start-up; without one, -D and -U are written
// and checked but not applied.
using OptionsDefinitionsRunner = void (*)();
void options_set_definitions_runner(OptionsDefinitionsRunner runner);

// Turns the Fortran-mode lexing, comment and spacing behaviours on or off together
// (--strip-c-comments, --fortran-comments, --fortran-literals, --fortran-lines,
// --fortran-spacing); --form= is left as it is.
void apply_fortran_lexing(bool on);

// Set by --error-exit: the run ends with status 1 when an error (severity 3) or worse was reported.
extern std::uint8_t error_exit;

// The program's version line, "tfpp <version>".
inline constexpr char OPTIONS_VERSION_FORMAT[] = "tfpp %s\n";

// ---- The dependency file of --deps=FILE (deps.cpp) ----------------------------------------

// Forgets the depfile request and every recorded file.
void deps_reset();
// The file to write (--deps=FILE) and the target named in it (--deps-target=T).
void deps_set_file(const char *name);
void deps_set_target(const char *name);
// Once the command line is read: `input` is the main file (null for standard input); without
// --deps-target the target is `output` (null for standard output); with neither a warning is
// reported and no depfile is written.
void deps_check_target(const char *input, const char *output);
// Records a file entered by #include (or skipped by its complete guard); each name once.
void deps_record(const char *path);
// Writes "TARGET: input included..." and a phony rule per included file to the depfile through
// a temporary file renamed over it (written through when it is a device, FIFO or link); a
// failure is reported as an error and gives false. No-op (true) without --deps.
bool deps_write();
// Flushes and closes the list, trace and output files (standard output is only flushed). Each
// write failure is reported on standard error with the file's name and the system's reason.
// False when any output was lost: the run must then end with status 1.
bool options_finish_output_files();

// Reads the argument vector once, left to right: sets the flags, runs the -D/-U definitions,
// builds the include lists, opens the streams and the main input (standard input is copied to a
// temporary file first, and *stdin_copied set). False when the run must end with status 1.
bool parse_command_line(int argc, char **argv, StreamHandle *main_stream,
                        std::uint8_t *stdin_copied);
