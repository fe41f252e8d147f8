// The copy floor of the benchmark: copies a file to another in reads of a fixed size, each chunk
// written as soon as it is read. It is the least any preprocessor that reads and writes every
// byte must pay, so the harness compares tfpp with it (2 KiB like tfpp's ring, and 64 KiB).
#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

namespace {

// Writes all of `size` bytes, going on after a partial write or an interrupted call.
bool write_all(int fd, const char *data, size_t size) {
    while (size > 0) {
        ssize_t n = write(fd, data, size);
        if (n < 0) {
            if (errno == EINTR) continue;
            return false;
        }
        data += n;
        size -= static_cast<size_t>(n);
    }
    return true;
}

int fail(const char *what, const char *name) {
    std::fprintf(stderr, "copy_floor: %s %s: %s\n", what, name, std::strerror(errno));
    return 1;
}

} // namespace

int main(int argc, char **argv) {
    if (argc != 4) {
        std::fprintf(stderr, "usage: copy_floor BYTES-PER-READ INPUT OUTPUT\n");
        return 2;
    }
    char *end = nullptr;
    long chunk = std::strtol(argv[1], &end, 10);
    if (*end != '\0' || chunk <= 0 || chunk > (1L << 30)) {
        std::fprintf(stderr, "copy_floor: bad read size '%s'\n", argv[1]);
        return 2;
    }
    int in = open(argv[2], O_RDONLY);
    if (in < 0) return fail("cannot open", argv[2]);
    int out = open(argv[3], O_WRONLY | O_CREAT | O_TRUNC, 0644);
    if (out < 0) return fail("cannot create", argv[3]);
    std::vector<char> buffer(static_cast<size_t>(chunk));
    for (;;) {
        ssize_t n = read(in, buffer.data(), buffer.size());
        if (n < 0) {
            if (errno == EINTR) continue;
            return fail("cannot read", argv[2]);
        }
        if (n == 0) break;
        if (!write_all(out, buffer.data(), static_cast<size_t>(n)))
            return fail("cannot write", argv[3]);
    }
    if (close(out) != 0) return fail("cannot close", argv[3]);
    close(in);
    return 0;
}
