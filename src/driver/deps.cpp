// This file implements the Make-style dependency file of --deps=FILE: the list of files entered
// by #include (each once, in first-entered order) and the writing of "TARGET: input deps..."
// with a phony rule per included file, through a temporary file renamed over the old one (or
// in place when the name is a device, a FIFO or a symbolic link).
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <string>
#include <unordered_set>
#include <vector>

#include "driver/host.h"
#include "driver/options.h"
#include "msg/msg.h"

namespace {

constexpr char NO_TARGET[] = "No target for '--deps': give an output file or '--deps-target'";
constexpr char CANT_WRITE[] = "Can't write dependency file '%s'";

struct DepsState {
    std::string file;   // the --deps= file name; empty when no depfile is wanted
    std::string target; // the --deps-target= name; empty when not given
    std::string input;  // the main input file; empty for standard input
    std::vector<std::string> entered;         // included files in first-entered order
    std::unordered_set<std::string> seen;     // the same names, for the each-once rule
};

DepsState deps;

// Writes `name` escaped for make: a blank becomes "\ ", '#' "\#", '$' "$$".
void put_make_name(std::FILE *file, const std::string &name) {
    for (char c : name) {
        if (c == ' ' || c == '\t' || c == '#') std::fputc('\\', file);
        if (c == '$') std::fputc('$', file);
        std::fputc(c, file);
    }
}

void write_rules(std::FILE *file) {
    put_make_name(file, deps.target);
    std::fputc(':', file);
    if (!deps.input.empty()) {
        std::fputc(' ', file);
        put_make_name(file, deps.input);
    }
    for (const std::string &name : deps.entered) {
        std::fputs(" \\\n  ", file);
        put_make_name(file, name);
    }
    std::fputc('\n', file);
    // An empty rule per header: a header deleted since the last build is then "made" by it
    // instead of stopping make with "no rule to make target".
    for (const std::string &name : deps.entered) {
        std::fputc('\n', file);
        put_make_name(file, name);
        std::fputs(":\n", file);
    }
}

// True when both names exist and are the same file.
bool same_file(const char *a, const char *b) {
    struct stat sa, sb;
    return stat(a, &sa) == 0 && stat(b, &sb) == 0 && sa.st_dev == sb.st_dev &&
           sa.st_ino == sb.st_ino;
}

void report_write_failure(const char *name) {
    msg_param_string(name, 's');
    msg_report(msg_expand_params(CANT_WRITE), "", POSITION_NULL, SEVERITY_ERROR);
}

// True when `name` exists and is not a plain file (a device such as /dev/null or /dev/full, a
// FIFO, a symbolic link, a directory). Renaming over such a name would replace the device node
// or the link itself, so it is written through instead.
bool write_in_place(const char *name) {
    struct stat info;
    return lstat(name, &info) == 0 && !S_ISREG(info.st_mode);
}

// Writes the rules through `name` itself; false when it cannot be opened or written.
bool write_through(const char *name) {
    std::FILE *file = std::fopen(name, "w");
    if (file == nullptr) return false;
    write_rules(file);
    bool ok = std::ferror(file) == 0;
    return std::fclose(file) == 0 && ok;
}

} // namespace

void deps_reset() { deps = DepsState{}; }

void deps_set_file(const char *name) { deps.file = name; }

void deps_set_target(const char *name) { deps.target = name; }

void deps_check_target(const char *input, const char *output) {
    if (deps.file.empty()) return;
    if (input != nullptr) deps.input = input;
    if (!deps.target.empty()) return;
    if (output != nullptr) {
        deps.target = output;
        return;
    }
    msg_report(NO_TARGET, "", POSITION_NULL, SEVERITY_WARNING);
    deps.file.clear();
}

void deps_record(const char *path) {
    if (deps.file.empty()) return;
    if (deps.seen.insert(path).second) deps.entered.emplace_back(path);
}

bool deps_write() {
    if (deps.file.empty()) return true;
    // The new text goes to a temporary file beside the old one, renamed over it once complete,
    // so a reader (make, Ninja) never sees half a file and a failed run keeps the old one.
    const char *name = deps.file.c_str();
    // Renaming over the input would destroy the source, as writing the output over it would.
    if (!deps.input.empty() && same_file(name, deps.input.c_str())) {
        report_write_failure(name);
        return false;
    }
    if (write_in_place(name)) {
        if (write_through(name)) return true;
        report_write_failure(name);
        return false;
    }
    std::string dir(name, static_cast<std::size_t>(host_file_part(name) - name));
    char temp[HOST_NAME_SIZE];
    int fd = host_create_temp_file(dir.c_str(), temp);
    std::FILE *file = fd >= 0 ? fdopen(fd, "w") : nullptr;
    if (file == nullptr) {
        if (fd >= 0) {
            close(fd);
            host_delete_temp_file(temp);
        }
        report_write_failure(name);
        return false;
    }
    // The temporary file is private (0600); the depfile gets the usual mode.
    mode_t mask = umask(0);
    umask(mask);
    fchmod(fd, 0666 & ~mask);
    write_rules(file);
    bool ok = std::ferror(file) == 0;
    ok = std::fclose(file) == 0 && ok;
    ok = ok && std::rename(temp, name) == 0;
    if (ok) {
        host_forget_temp_file(temp);
        return true;
    }
    host_delete_temp_file(temp);
    report_write_failure(name);
    return false;
}
