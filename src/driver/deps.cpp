// This file implements the Make-style dependency file of --deps=FILE: the list of files entered
// by #include (each once, in first-entered order) and the writing of "TARGET: input deps..."
// with a phony rule per included file. The file itself is made like the other named outputs.
#include <cstdio>
#include <cstring>
#include <string>
#include <unordered_set>
#include <vector>

#include "driver/options.h"
#include "msg/msg.h"

namespace {

constexpr char NO_TARGET[] = "No target for '--deps': give an output file or '--deps-target'";

struct DepsState {
    std::string file;   // the depfile's name; empty when no depfile is wanted
    std::string target; // the rule's target, already in the form written; empty when not given
    std::string input;  // the main input file; empty for standard input
    bool leave_out_system = false;        // -MMD: headers found in system directories left out
    std::vector<std::string> entered;     // included files in first-entered order
    std::unordered_set<std::string> seen; // the same names, for the each-once rule
};

DepsState deps;

// Appends `name` escaped for make: a blank becomes "\ ", '#' "\#", '$' "$$".
void append_make_name(std::string &to, const std::string &name) {
    for (char c : name) {
        if (c == ' ' || c == '\t' || c == '#') to += '\\';
        if (c == '$') to += '$';
        to += c;
    }
}

void put_make_name(std::FILE *file, const std::string &name) {
    std::string escaped;
    append_make_name(escaped, name);
    std::fputs(escaped.c_str(), file);
}

void write_rules(std::FILE *file) {
    std::fputs(deps.target.c_str(), file);
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

} // namespace

void deps_reset() { deps = DepsState{}; }

void deps_set_file(const char *name) { deps.file = name; }

const char *deps_file() { return deps.file.empty() ? nullptr : deps.file.c_str(); }

void deps_set_target(const char *name, DepsTargetForm form) {
    deps.target.clear();
    deps_add_target(name, form);
}

void deps_add_target(const char *name, DepsTargetForm form) {
    if (!deps.target.empty()) deps.target += ' ';
    switch (form) {
    case DEPS_TARGET_ESCAPED: append_make_name(deps.target, name); break;
    case DEPS_TARGET_AS_IS: deps.target += name; break;
    case DEPS_TARGET_QUOTED:
        for (const char *p = name; *p != '\0'; ++p) {
            if (*p == '$') deps.target += '$';
            deps.target += *p;
        }
        break;
    }
}

void deps_leave_out_system_headers() { deps.leave_out_system = true; }

bool deps_check_target(const char *input, const char *output, bool warn) {
    if (deps.file.empty()) return true;
    if (input != nullptr) deps.input = input;
    if (!deps.target.empty()) return true;
    if (output != nullptr) {
        append_make_name(deps.target, output);
        return true;
    }
    if (warn) msg_report(NO_TARGET, "", POSITION_NULL, SEVERITY_WARNING);
    deps.file.clear();
    return false;
}

void deps_record(const char *path, bool system) {
    if (deps.file.empty() || (system && deps.leave_out_system)) return;
    if (deps.seen.insert(path).second) deps.entered.emplace_back(path);
}

bool deps_write(std::FILE *file) {
    if (deps.file.empty() || file == nullptr) return true;
    write_rules(file);
    return std::ferror(file) == 0;
}
