// This file implements the files written under names from the command line (see outfile.h):
// the temporary file beside the target, the rename at the end, and the checks that keep a run
// from writing over a source file.
#include "driver/outfile.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>

#include "fe/host.h"

namespace {

// The directory part of `path` ("" or ending in '/').
std::string directory_of(const std::string &path) {
    std::size_t slash = path.rfind('/');
    return slash == std::string::npos ? std::string() : path.substr(0, slash + 1);
}

// The file a chain of symbolic links ends at (the last link's target need not exist yet):
// replacing it keeps the link. `name` itself when it is not a link.
std::string link_target(const std::string &name) {
    std::string path = name;
    for (int hops = 0; hops < 40; ++hops) {
        struct stat info;
        if (lstat(path.c_str(), &info) != 0 || !S_ISLNK(info.st_mode)) return path;
        char target[PATH_MAX];
        ssize_t n = readlink(path.c_str(), target, sizeof target - 1);
        if (n <= 0) return path;
        target[n] = '\0';
        path = target[0] == '/' ? std::string(target) : directory_of(path) + target;
    }
    return path;
}

} // namespace

bool outfile_same_file(const char *name, const char *other) {
    struct stat a, b;
    return stat(name, &a) == 0 && stat(other, &b) == 0 && a.st_dev == b.st_dev &&
           a.st_ino == b.st_ino;
}

bool outfile_is_fortran_source(const char *name) {
    struct stat info;
    if (stat(name, &info) != 0 || !S_ISREG(info.st_mode)) return false;
    const char *base = host_file_part(name);
    const char *dot = std::strrchr(base, '.');
    if (dot == nullptr) return false;
    return dot[1] == 'F' || std::strcmp(dot + 1, "fpp") == 0;
}

bool outfile_create(OutFile &out) {
    out.path = link_target(out.name);
    out.temp.clear();
    struct stat info;
    bool exists = stat(out.path.c_str(), &info) == 0;
    if (exists && !S_ISREG(info.st_mode)) {
        // /dev/null, a terminal, a FIFO: written as it is; there is nothing to keep.
        out.file = std::fopen(out.name.c_str(), "w");
        return out.file != nullptr;
    }
    char temp[HOST_NAME_SIZE];
    int fd = host_create_temp_file(directory_of(out.path).c_str(), temp);
    if (fd < 0) return false;
    // The temporary file is private (0600); the result gets the old file's mode, else the
    // usual one.
    mode_t mode;
    if (exists) {
        mode = info.st_mode & 07777;
    } else {
        mode_t mask = umask(0);
        umask(mask);
        mode = 0666 & ~mask;
    }
    fchmod(fd, mode);
    out.file = fdopen(fd, "w");
    if (out.file == nullptr) {
        close(fd);
        host_delete_temp_file(temp);
        return false;
    }
    out.temp = temp;
    return true;
}

bool outfile_close(OutFile &out, const char *what_for_report, int known_error) {
    if (out.file == nullptr) return true;
    errno = 0;
    bool ok = std::fflush(out.file) == 0 && std::ferror(out.file) == 0;
    int error = errno;
    errno = 0;
    if (std::fclose(out.file) != 0) {
        ok = false;
        if (error == 0) error = errno;
    }
    out.file = nullptr;
    if (!ok)
        outfile_report_write_failure(what_for_report, out.name.c_str(),
                                     known_error != 0 ? known_error : error);
    return ok;
}

void outfile_report_write_failure(const char *what, const char *name, int error) {
    std::fprintf(stderr, "Error writing %s '%s': %s.\n", what, name,
                 error != 0 ? std::strerror(error) : "write failed");
    std::fflush(stderr);
}

namespace {

// Puts the finished temporary file in the place of an existing regular file by swapping the
// two names, then removes the old file under the temporary name; false when that cannot be
// done (no such file, a file system or kernel without the swap), and nothing has changed.
// Either way the target names the old file or the new one at every moment. A plain rename
// over an existing file makes some file systems (ext4) write the new file's data out before
// the rename returns, which for a large output was a third of the whole run's time; the swap
// leaves that to the usual write-back, as for any file written in place.
bool replace_by_swap(const OutFile &out) {
#if defined(RENAME_EXCHANGE)
    struct stat info;
    if (lstat(out.path.c_str(), &info) != 0 || !S_ISREG(info.st_mode)) return false;
    if (renameat2(AT_FDCWD, out.temp.c_str(), AT_FDCWD, out.path.c_str(), RENAME_EXCHANGE) != 0)
        return false;
    // The temporary name, still registered for removal on a signal, now holds the old file.
    host_delete_temp_file(out.temp.c_str());
    return true;
#else
    (void)out;
    return false;
#endif
}

} // namespace

bool outfile_commit(OutFile &out) {
    if (out.temp.empty()) return true;
    if (replace_by_swap(out)) {
        out.temp.clear();
        return true;
    }
    if (std::rename(out.temp.c_str(), out.path.c_str()) != 0) {
        int error = errno;
        std::fprintf(stderr, "tfpp: cannot replace '%s': %s\n", out.name.c_str(),
                     std::strerror(error));
        std::fflush(stderr);
        outfile_discard(out);
        return false;
    }
    host_forget_temp_file(out.temp.c_str());
    out.temp.clear();
    return true;
}

void outfile_discard(OutFile &out) {
    if (out.file != nullptr) std::fclose(out.file);
    out.file = nullptr;
    if (!out.temp.empty()) host_delete_temp_file(out.temp.c_str());
    out.temp.clear();
}

void outfile_refuse(const char *format, const char *a, const char *b) {
    std::fputs("tfpp: ", stderr);
    std::fprintf(stderr, format, a, b);
    std::fputc('\n', stderr);
    std::fflush(stderr);
}
