// Fuzz target: the whole program in-process over a fuzzed input file, a fuzzed file that the
// input may include, and a fuzzed choice of options. Input layout: three bytes of option bits
// (low byte first), then the main file, then FUZZ_SEPARATOR and the include file "inc.h".
// Every input runs twice, with plain source lines copied whole and with every line lexed token
// by token: the two outputs and statuses must be the same. Inputs larger than 2 KiB are read
// ahead in 2 KiB blocks, their hints made 16 or 32 bytes to a compare (BIT_NARROW_HINTS). With
// BIT_PIPES it runs a third time with both files replaced by FIFOs of the same names, fed by
// writer threads: the output, the list file, the dependency file and the status must be those
// of the run on regular files.
#include <fcntl.h>
#include <pthread.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "fuzz_harness.h"
#include "si/si.h"

namespace {

constexpr char FUZZ_SEPARATOR[] = "\n#--inc.h--\n";

// Bit i of the option word selects OPTION_BITS[i].
constexpr const char *OPTION_BITS[] = {"-m", "-C", "-noC", "-B", "-z", "-ansi",
                                       "-g", "-n", "-P",   "-e", "-c"};
constexpr int OPTION_BIT_COUNT = sizeof OPTION_BITS / sizeof OPTION_BITS[0];
constexpr int BIT_LIST_FILE = 11;    // -l=<dir>list.lis: the paged listing too
constexpr int BIT_C_NAME = 12;       // the main file is "main.c" ("//" starts a comment)
constexpr int BIT_DEPS = 13;         // --deps=<dir>main.d
constexpr int BIT_INCLUDE_DIR = 14;  // -I<dir>: <inc.h> is found too
constexpr int BIT_FORTRAN = 15;      // --fortran (after the other options)
constexpr int BIT_PIPES = 16;        // a third run reads both files through FIFOs
constexpr int BIT_NARROW_HINTS = 17; // the hints under -m made 16 bytes to a compare

// The list file with the run's date left out of its page headers ("<date>\t\t\tpage: N"): two
// runs a second apart differ there and nowhere else.
std::string without_dates(std::string listing) {
    static constexpr char PAGE[] = "\t\t\tpage: ";
    std::string out;
    std::size_t at = 0;
    while (at < listing.size()) {
        std::size_t line_end = listing.find('\n', at);
        if (line_end == std::string::npos) line_end = listing.size();
        std::size_t page = listing.find(PAGE, at);
        std::size_t from = page < line_end ? page : at; // the header line without its date
        out.append(listing, from, line_end + 1 - from);
        at = line_end + 1;
    }
    return out;
}

// A FIFO in the working folder in place of one of the input files, and the thread that writes
// the file's bytes into it once, when the program opens it. The program opens a file once under
// one name, however often it includes or lists it; a second writer could not tell a new reader
// from the one still reading, so there is none. The bytes go in uneven pieces, so the program's
// reads come back short at varying places.
class FifoFeeder {
  public:
    FifoFeeder(const char *name, const std::uint8_t *data, std::size_t size)
        : path_(fuzz_work_dir() + name), data_(data), size_(size) {
        ::unlink(path_.c_str());
        if (::mkfifo(path_.c_str(), 0600) != 0) fuzz_violation("cannot make a FIFO");
        thread_ = std::thread([this] { feed(); });
    }
    // Stops the writer, which may be waiting for a reader, and removes the FIFO.
    ~FifoFeeder() {
        stop_ = true;
        int unblock = ::open(path_.c_str(), O_RDONLY | O_NONBLOCK);
        thread_.join();
        if (unblock >= 0) ::close(unblock);
        ::unlink(path_.c_str());
    }
    FifoFeeder(const FifoFeeder &) = delete;
    FifoFeeder &operator=(const FifoFeeder &) = delete;

  private:
    void feed() {
        // A reader that stops early makes the write fail with EPIPE; the signal stays blocked
        // and pending in this thread, which the fuzzer's process never sees.
        sigset_t set;
        sigemptyset(&set);
        sigaddset(&set, SIGPIPE);
        pthread_sigmask(SIG_BLOCK, &set, nullptr);
        int fd;
        do {
            fd = ::open(path_.c_str(), O_WRONLY);
        } while (fd < 0 && errno == EINTR);
        if (fd < 0) return;
        std::size_t at = 0;
        for (std::size_t piece = 1; !stop_ && at < size_; piece = piece * 7 % 5003 + 1) {
            ssize_t n = ::write(fd, data_ + at, std::min(piece, size_ - at));
            if (n < 0 && errno == EINTR) continue;
            if (n <= 0) break;
            at += static_cast<std::size_t>(n);
        }
        ::close(fd);
    }

    std::string path_;
    const std::uint8_t *data_;
    std::size_t size_;
    std::atomic<bool> stop_{false};
    std::thread thread_;
};

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size) {
    if (size < 3) return -1;
    // Files larger than the ring are read ahead in blocks of its size (256 KiB in a run), so
    // that the reading ahead, and the marks it makes for the copy under -m, meet the inputs.
    si_set_read_ahead_size(2048);
    int mark = fuzz_descriptor_mark();
    unsigned bits =
        data[0] | (static_cast<unsigned>(data[1]) << 8) | (static_cast<unsigned>(data[2]) << 16);
    data += 3;
    size -= 3;
    const std::uint8_t *end = data + size;
    const std::uint8_t *cut =
        std::search(data, end, FUZZ_SEPARATOR, FUZZ_SEPARATOR + sizeof FUZZ_SEPARATOR - 1);
    const char *main_name = (bits >> BIT_C_NAME & 1) != 0 ? "main.c" : "main.F";
    std::string main_path = fuzz_write_file(main_name, data, static_cast<std::size_t>(cut - data));
    const std::uint8_t *included = cut == end ? end : cut + sizeof FUZZ_SEPARATOR - 1;
    fuzz_write_file("inc.h", included, static_cast<std::size_t>(end - included));

    const std::string &dir = fuzz_work_dir();
    std::vector<std::string> arguments{"tfpp", "-nologo"};
    for (int i = 0; i < OPTION_BIT_COUNT; ++i)
        if ((bits >> i & 1) != 0) arguments.emplace_back(OPTION_BITS[i]);
    if ((bits >> BIT_LIST_FILE & 1) != 0) arguments.push_back("-l=" + dir + "list.lis");
    if ((bits >> BIT_DEPS & 1) != 0) arguments.push_back("--deps=" + dir + "main.d");
    if ((bits >> BIT_INCLUDE_DIR & 1) != 0) arguments.push_back("-I" + dir);
    if ((bits >> BIT_FORTRAN & 1) != 0) arguments.push_back("--fortran");
    arguments.push_back(main_path);
    arguments.push_back(dir + "out.f");
    std::vector<char *> argv;
    for (std::string &argument : arguments) argv.push_back(argument.data());
    argv.push_back(nullptr);

    bool completed = false;
    int argc = static_cast<int>(argv.size()) - 1;
    fuzz_wide_hints((bits >> BIT_NARROW_HINTS & 1) == 0);
    // A run that ends early leaves an old output file as it was: each run starts without one.
    const std::string out_path = dir + "out.f";
    std::remove(out_path.c_str());
    int status = fuzz_run_program(argc, argv.data(), &completed);
    std::string copied = fuzz_read_file("out.f");
    std::string listed = fuzz_read_file("list.lis");
    std::string depended = fuzz_read_file("main.d");
    fuzz_copy_plain_lines(false);
    std::remove(out_path.c_str());
    int lexed_status = fuzz_run_program(argc, argv.data(), &completed);
    fuzz_copy_plain_lines(true);
    if (lexed_status != status || fuzz_read_file("out.f") != copied)
        fuzz_violation("copying plain lines whole changed the output or the status");
    // A FIFO gives its bytes once: an #include naming a file again under another spelling
    // ("./inc.h", or its descriptor under /proc or /dev/fd) reads what a regular file would
    // give again, and the FIFO cannot. Inputs that may do so are left out of this comparison.
    bool respelled = false;
    for (const char *spelling : {"./", "/proc", "/dev/fd"})
        respelled =
            respelled || std::search(data, end, spelling, spelling + std::strlen(spelling)) != end;
    if ((bits >> BIT_PIPES & 1) != 0 && !respelled) {
        int piped_status;
        {
            FifoFeeder main_fifo(main_name, data, static_cast<std::size_t>(cut - data));
            FifoFeeder include_fifo("inc.h", included, static_cast<std::size_t>(end - included));
            piped_status = fuzz_run_program(argc, argv.data(), &completed);
        }
        if (piped_status != status || fuzz_read_file("out.f") != copied ||
            without_dates(fuzz_read_file("list.lis")) != without_dates(listed) ||
            fuzz_read_file("main.d") != depended)
            fuzz_violation("reading the input through a FIFO changed the results");
    }
    fuzz_wide_hints(true);
    static const char *const keep[] = {"main.F", "main.c", "inc.h", "list.lis",
                                       "main.d", "out.f",  nullptr};
    fuzz_check_clean(mark, keep);
    return 0;
}
