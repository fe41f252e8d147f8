// The command-line reader that sets the option flags and settings of a run (pp/pp_options.h),
// opens the input, output, list and trace streams and builds the include directory lists; the
// dependency file and the output files it names.
#pragma once

#include <cstdint>
#include <cstdio>

#include "common/types.h"
#include "pp/pp_options.h"

// Puts every flag and setting back to its start-up value. parse_command_line starts with it.
void options_set_defaults();

// Closes the output, list, trace and definitions files a run left open (a run that ended through
// the fatal exit), frees what the command line still holds and puts every flag back to its
// start-up value. For harnesses that run the program many times in one process.
void options_reset();

// Runs the definitions file, already open as the current stream, through the scanning loop
// until its end. The program's start-up installs the preprocessor's (pp_run_definitions);
// without one, -D and -U are written and checked but not applied.
using OptionsDefinitionsRunner = void (*)();
void options_set_definitions_runner(OptionsDefinitionsRunner runner);

// The program's version line, "tfpp <version>".
inline constexpr char OPTIONS_VERSION_FORMAT[] = "tfpp %s\n";

// ---- The dependency file of --deps=FILE (deps.cpp) ----------------------------------------

// Forgets the depfile request and every recorded file.
void deps_reset();
// The file to write (--deps=FILE, -MF FILE, the name -MD makes); null when none.
void deps_set_file(const char *name);
const char *deps_file();
// How a target name is written: escaped for make (--deps-target, the output's name), as it
// stands (-MT), or with '$' doubled (-MQ).
enum DepsTargetForm : int { DEPS_TARGET_ESCAPED, DEPS_TARGET_AS_IS, DEPS_TARGET_QUOTED };
// The target named in the rule; deps_add_target adds one more, after a blank.
void deps_set_target(const char *name, DepsTargetForm form);
void deps_add_target(const char *name, DepsTargetForm form);
// -MMD: headers found in the system directories (-S, -isystem, -idirafter, the environment
// variable) are left out.
void deps_leave_out_system_headers();
// Once the command line is read: `input` is the main file (null for standard input); without
// a target the target is `output` (null for standard output); with neither no depfile is
// written (with `warn`, a warning is reported) and the result is false.
bool deps_check_target(const char *input, const char *output, bool warn);
// Records a file entered by #include (or skipped by its complete guard); each name once.
// `system`: it was found in a system directory.
void deps_record(const char *path, bool system);
// Writes "TARGET: input included..." and a phony rule per included file to `file`. False
// when the write failed. No-op (true) without a depfile.
bool deps_write(std::FILE *file);
// Writes the depfile's rules into its file (at the end of the input); false when that failed.
bool options_write_depfile();
// At the end of the input, while the stream table still knows every file the run read: refuses
// (one line on standard error) to let a named file replace any of them.
void options_check_sources();
// Flushes and closes the output, list, trace and dependency files (standard output and
// standard error are only flushed); then, when everything was written and no named file would
// replace a file the run read, renames each over its target. Each failure is reported on
// standard error. False when any output was lost or refused: the run ends with status 1.
bool options_finish_output_files();

// Reads the argument vector once, left to right: sets the flags, runs the -D/-U definitions,
// builds the include lists, opens the streams and the main input (standard input is copied to a
// temporary file first, and *stdin_copied set). False when the run must end with status 1.
bool parse_command_line(int argc, char **argv, StreamHandle *main_stream,
                        std::uint8_t *stdin_copied);
