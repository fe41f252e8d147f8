// The files a run writes under names from the command line (the output, list, trace and
// dependency files). A regular file (or a name not yet taken) is written to a temporary file
// in the target's own directory and renamed over the target only when the run has reached the
// end of its input and everything was written, so a failed, interrupted or refused run leaves
// the old file as it was. Devices, FIFOs and the like are written directly.
#pragma once

#include <cstdio>
#include <string>

struct OutFile {
    std::string name;      // as the user named it (shown in messages)
    std::string path;      // what is replaced: `name`, or the file a symbolic link names
    std::string temp;      // the temporary file while it is written; empty when written directly
    const char *what = ""; // "output file", "list file", ... for the refusal lines
    std::FILE *file = nullptr;
};

// True when `name` exists and is the same file as `other` (through links too).
bool outfile_same_file(const char *name, const char *other);
// True when `name` exists, is a regular file and has a Fortran source extension that needs
// preprocessing (the base name's extension starts with 'F', or is "fpp").
bool outfile_is_fortran_source(const char *name);
// Opens `out` for writing `out.name`: the temporary file beside the target, or the target
// itself when it is not a regular file. False (nothing created) when that fails.
bool outfile_create(OutFile &out);
// Flushes and closes the file. A write that failed (now or before) is reported on standard
// error with the file's name and the system's reason (`known_error`, the errno of an earlier
// failed write, when the caller kept one); false then.
bool outfile_close(OutFile &out, const char *what_for_report, int known_error = 0);
// The line on standard error for output that did not reach its file: "Error writing <what>
// '<name>': <the system's reason, or "write failed" when it is not known>."
void outfile_report_write_failure(const char *what, const char *name, int error);
// Puts the finished temporary file in the target's place (the names swapped and the old file
// removed, else a rename); false (reported) when that fails.
bool outfile_commit(OutFile &out);
// Closes the file if still open and removes the temporary file; the target is untouched.
void outfile_discard(OutFile &out);
// Prints a refusal "tfpp: <text>" on standard error.
void outfile_refuse(const char *format, const char *a, const char *b = "");
