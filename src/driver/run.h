// The toolkit's start-up and shut-down order, and the run between them and the end of the
// process: the command line, the scanning loop, and the end (open groups, dependency file,
// messages, list file, shut-down, output files, the copy of standard input). Shared by the
// program's entry and the fuzz harness, so that the two run the same sequence.
#pragma once

#include "pp/pp.h"

// Brings the toolkit up in its fixed order: memory, streams, messages (their printers re-read
// source lines through the streams), debug flags, text table.
// A second call does nothing.
void fe_initialize();

// Shuts the toolkit down (text table, message store, streams); nothing when not initialised.
void fe_terminate();

// The program's start-up: the toolkit (fe_initialize), the lexer and the preprocessor, then the
// command line's two ties to the preprocessor (the runner of the -D/-U definitions file, and
// the dependency file's recorder of every file an #include finds).
void fe_start_program();

// What the caller supplies to the sequence.
struct FeRunSteps {
    void (*scan)(CurrentToken *token); // the scanning loop, up to the end of the input
    void (*banner)();                  // prints the banner once the command line is accepted
    void (*after_shut_down)();         // checks after the shut-down of a normal end, or nullptr
};

// Runs the sequence over `argv` with the toolkit up and returns the exit status: 1 when the
// command line is refused, when an output file could not be written, or when -e is on and a
// message of error severity or worse was reported; otherwise 0.
int fe_run_program(int argc, char **argv, const FeRunSteps &steps);
