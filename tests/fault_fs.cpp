// trelvik_fault_fs [OPTION...] SOURCE MOUNTPOINT mirrors SOURCE read-only through FUSE and fails,
// holds or slows requests on demand. Run as root; it stays in the foreground until SIGTERM.
//   --eio-read=PATH:OFFSET  reads of PATH that reach byte OFFSET fail with EIO
//   --eio-stat=PATH         lookups and status queries of PATH fail with EIO
//   --hang-open=PATH  hold opens of PATH until the end; EINTR on a signal
//   --hang-read=PATH[:OFFSET]  hold reads of PATH that reach byte OFFSET (0) likewise (it makes
//                           the kernel read ahead synchronously)
//   --deaf-hold-ms=N  held requests ignore the kernel's interrupts, as a server without them
//                 (libfuse's default), and fail with EIO after N ms, as its own time-out
//   --slow-read=PATH:MS     answer each read of PATH MS ms late
//   --replace-on-open=PATH  once PATH is opened, rename PATH.new over it before answering, so
//                           that another file stands at PATH right after its open
//   --delay-us=N  answer every request after N µs    --cache-ms=N  kernel cache timeout (1000)
//   --ino-by-path  number each file by a hash of its path, as sshfs does: a file that takes
//                 another's place keeps its number
//   --whole-seconds  give times in whole seconds, as sshfs does (its protocol has no more)
//   --max-background=N  let the kernel have N requests in the background (its read-ahead) out
//                 at once, and N before it counts as congested; by default its own limits, 12 and 9
//   --held-mark=FILE  create FILE once a request is held, so that a test knows its reader waits
//   --stats=FILE  write at exit what was served, a line "name value" each: requests,
//                 peak_in_flight, mean_in_flight (over the time any was), opens (of files),
//                 directory_opens, bytes_read
// A PATH is relative to SOURCE ("dir/a.bin"); those options may be repeated.
#define FUSE_USE_VERSION 314

#include <dirent.h>
#include <fcntl.h>
#include <fuse_lowlevel.h>
#include <linux/fuse.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <charconv>
#include <chrono>
#include <climits>
#include <condition_variable>
#include <cstddef>
#include <cstdio>
#include <functional>
#include <map>
#include <mutex>
#include <set>
#include <string>
#include <string_view>
#include <thread>
#include <unordered_map>
#include <vector>

namespace {

// Threads serving requests, as many as are delayed or held at once, as by a
// drive with a deep queue, with threads to spare for the kernel's interrupts
// of them.
constexpr unsigned MAX_THREADS = 128;
constexpr long DEFAULT_CACHE_MS = 1000;
constexpr double MS_PER_SECOND = 1000;
// How soon a held request notices the end of the file system.
constexpr auto RELEASE_CHECK_INTERVAL = std::chrono::milliseconds(20);
constexpr const char* FILE_SYSTEM_TYPE = "fuse.trelvik_fault_fs";
// Mounted by root for every user, whose permissions the kernel checks.
constexpr unsigned long MOUNT_FLAGS = MS_RDONLY | MS_NOSUID | MS_NODEV;
// The root is a directory (S_IFDIR in octal).
constexpr const char* MOUNT_OPTIONS = "rootmode=40000,allow_other,default_permissions";
constexpr int USAGE_ERROR = 2;
// The mark that a request is held, an empty file.
constexpr mode_t HELD_MARK_MODE = 0644;

struct Options {
    std::string source;
    std::string mount_point;
    // For each path, the first byte that no read may reach. Through the page
    // cache a reader gets the bytes before that byte's page, then EIO.
    std::map<std::string, off_t> eio_read;
    std::set<std::string> eio_stat;
    std::set<std::string> hang_open;
    std::set<std::string> replace_on_open;
    // For each path, the first byte that a held read reaches, and how late
    // each read is answered.
    std::map<std::string, off_t> hang_read;
    std::map<std::string, std::chrono::milliseconds> slow_read;
    std::chrono::microseconds delay{0};
    // Zero: held requests are answered when interrupted.
    std::chrono::milliseconds deaf_hold{0};
    // 0: the kernel's own limits.
    unsigned max_background = 0;
    double cache_seconds = DEFAULT_CACHE_MS / MS_PER_SECOND;
    std::string stats_file;
    std::string held_mark;
    bool ino_by_path = false;
    bool whole_seconds = false;
};

// The paths, relative to the source, that the kernel knows by node id. A node
// keeps its id as long as the file system runs; the root is node 1, "".
class Nodes {
  public:
    Nodes() : paths_{""}, ids_{{"", FUSE_ROOT_ID}} {}

    fuse_ino_t id_of(const std::string& path) {
        std::lock_guard lock(mutex_);
        const auto [entry, added] = ids_.try_emplace(path, FUSE_ROOT_ID + paths_.size());
        if (added) {
            paths_.push_back(path);
        }
        return entry->second;
    }

    std::string path_of(fuse_ino_t id) {
        std::lock_guard lock(mutex_);
        return paths_[id - FUSE_ROOT_ID];
    }

  private:
    std::mutex mutex_;
    std::vector<std::string> paths_;
    std::unordered_map<std::string, fuse_ino_t> ids_;
};

struct FaultFs {
    Options options;
    int source_fd = -1;
    fuse_session* session = nullptr;
    // Whether the next answer to the kernel, that to INIT, is to allow
    // parallel lookups in a directory.
    std::atomic<bool> parallel_dirops_unsent = false;
    Nodes nodes;
    // Guards the requests' counts and the flags of held requests.
    std::mutex mutex;
    long long requests = 0;
    int in_flight = 0;
    int peak_in_flight = 0;
    // Since the last change of in_flight: the sum of in_flight over time, and
    // the time that any request was in flight.
    std::chrono::steady_clock::time_point changed = std::chrono::steady_clock::now();
    std::chrono::duration<double> in_flight_time{0};
    std::chrono::duration<double> busy_time{0};
    std::atomic<long long> opens = 0;
    std::atomic<long long> directory_opens = 0;
    std::atomic<long long> bytes_read = 0;
    // Wakes the held requests when one is interrupted.
    std::condition_variable interrupted;
};

// One request from its arrival to its answer: counted in flight all along,
// and answered no sooner than the delay asked for.
class Serving {
  public:
    explicit Serving(fuse_req_t req) : fs(*static_cast<FaultFs*>(fuse_req_userdata(req))) {
        {
            std::lock_guard lock(fs.mutex);
            change_in_flight(1);
            ++fs.requests;
            fs.peak_in_flight = std::max(fs.peak_in_flight, fs.in_flight);
        }
        std::this_thread::sleep_for(fs.options.delay);
    }
    ~Serving() {
        std::lock_guard lock(fs.mutex);
        change_in_flight(-1);
    }
    Serving(const Serving&) = delete;
    Serving& operator=(const Serving&) = delete;

    FaultFs& fs;

  private:
    // Adds `step` to the requests in flight, after adding the time since the
    // last change to the sums; the caller holds fs.mutex.
    void change_in_flight(int step) {
        const auto now = std::chrono::steady_clock::now();
        const std::chrono::duration<double> elapsed = now - fs.changed;
        fs.in_flight_time += fs.in_flight * elapsed;
        if (fs.in_flight > 0) {
            fs.busy_time += elapsed;
        }
        fs.changed = now;
        fs.in_flight += step;
    }
};

struct HeldRequest {
    FaultFs& fs;
    bool interrupted = false;
};

void interrupt_held(fuse_req_t, void* data) {
    HeldRequest& held = *static_cast<HeldRequest*>(data);
    std::lock_guard lock(held.fs.mutex);
    held.interrupted = true;
    held.fs.interrupted.notify_all();
}

// Where `hold`, leaves `req` unanswered until the end of the file system or
// the kernel's interrupt of it, as a network file system does whose server
// is gone; or, with --deaf-hold-ms, until that time has passed, whatever the
// kernel asks. True when it has then been answered here, with EINTR or EIO.
bool answered_while_held(FaultFs& fs, fuse_req_t req, bool hold) {
    if (!hold) {
        return false;
    }
    HeldRequest held{fs};
    if (!fs.options.held_mark.empty()) {
        ::close(
            ::open(fs.options.held_mark.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, HELD_MARK_MODE));
    }
    const bool deaf = fs.options.deaf_hold.count() > 0;
    const auto given_up = std::chrono::steady_clock::now() + fs.options.deaf_hold;
    if (!deaf) {
        // Calls interrupt_held at once if the interrupt came first.
        fuse_req_interrupt_func(req, interrupt_held, &held);
    }
    bool interrupted = false;
    bool timed_out = false;
    {
        std::unique_lock lock(fs.mutex);
        while (!held.interrupted && !timed_out && !fuse_session_exited(fs.session)) {
            fs.interrupted.wait_for(lock, RELEASE_CHECK_INTERVAL);
            timed_out = deaf && std::chrono::steady_clock::now() >= given_up;
        }
        interrupted = held.interrupted;
    }
    if (!deaf) {
        // Outside the lock, which interrupt_held takes while libfuse holds its own.
        fuse_req_interrupt_func(req, nullptr, nullptr);
    }
    if (interrupted || timed_out) {
        fuse_reply_err(req, interrupted ? EINTR : EIO);
    }
    return interrupted || timed_out;
}

// `path` as the system calls on the source directory name it.
const char* at(const std::string& path) {
    return path.empty() ? "." : path.c_str();
}

// Fills `status` with that of `path` (links not followed); 0 or an errno.
int status_of(const FaultFs& fs, const std::string& path, struct stat& status) {
    if (fs.options.eio_stat.contains(path)) {
        return EIO;
    }
    if (::fstatat(fs.source_fd, at(path), &status, AT_SYMLINK_NOFOLLOW) != 0) {
        return errno;
    }
    if (fs.options.ino_by_path) {
        status.st_ino = std::hash<std::string>{}(path) | 1;
    }
    if (fs.options.whole_seconds) {
        status.st_atim.tv_nsec = status.st_mtim.tv_nsec = status.st_ctim.tv_nsec = 0;
    }
    return 0;
}

void fault_init(void* userdata, fuse_conn_info* connection) {
    FaultFs& fs = *static_cast<FaultFs*>(userdata);
    // Without it the kernel asks about one name in a directory at a time.
    // libfuse 3.14 leaves it out of its answer whatever `want` says, so
    // write_to_kernel adds it.
    fs.parallel_dirops_unsent = connection->capable & FUSE_CAP_PARALLEL_DIROPS;
    // Read-ahead goes out in the background: by default the kernel has no
    // more than 12 such requests out at once, and from 9 on it leaves out
    // read-ahead not yet needed. Left at 0, it keeps those limits.
    connection->max_background = fs.options.max_background;
    connection->congestion_threshold = fs.options.max_background;
    // The kernel reads ahead in requests of its own, which no signal
    // interrupts, and whose pages stay locked while they are held: a later
    // open of the file would wait for them unkillably. Read synchronously,
    // every held read is that of a caller whom a signal frees.
    if (!fs.options.hang_read.empty()) {
        connection->want &= ~FUSE_CAP_ASYNC_READ;
    }
}

// Passes libfuse's answers on to the kernel; the first one after fault_init,
// that to INIT, with the flag that fault_init asked for.
ssize_t write_to_kernel(int fd, iovec* parts, int count, void* userdata) {
    FaultFs& fs = *static_cast<FaultFs*>(userdata);
    constexpr std::size_t FLAGS_END = offsetof(fuse_init_out, flags) + sizeof(std::uint32_t);
    if (fs.parallel_dirops_unsent.exchange(false) && count > 1 && parts[1].iov_len >= FLAGS_END) {
        static_cast<fuse_init_out*>(parts[1].iov_base)->flags |= FUSE_PARALLEL_DIROPS;
    }
    return ::writev(fd, parts, count);
}

ssize_t read_from_kernel(int fd, void* buffer, std::size_t size, void*) {
    return ::read(fd, buffer, size);
}

void fault_lookup(fuse_req_t req, fuse_ino_t parent, const char* name) {
    Serving serving(req);
    FaultFs& fs = serving.fs;
    const std::string parent_path = fs.nodes.path_of(parent);
    const std::string path = parent_path.empty() ? name : parent_path + "/" + name;
    fuse_entry_param entry = {};
    if (const int error = status_of(fs, path, entry.attr)) {
        fuse_reply_err(req, error);
        return;
    }
    entry.ino = fs.nodes.id_of(path);
    entry.attr_timeout = fs.options.cache_seconds;
    entry.entry_timeout = fs.options.cache_seconds;
    fuse_reply_entry(req, &entry);
}

void fault_getattr(fuse_req_t req, fuse_ino_t node, fuse_file_info*) {
    Serving serving(req);
    struct stat status;
    if (const int error = status_of(serving.fs, serving.fs.nodes.path_of(node), status)) {
        fuse_reply_err(req, error);
        return;
    }
    fuse_reply_attr(req, &status, serving.fs.options.cache_seconds);
}

void fault_readlink(fuse_req_t req, fuse_ino_t node) {
    Serving serving(req);
    char target[PATH_MAX + 1];
    const ssize_t length = ::readlinkat(serving.fs.source_fd,
                                        serving.fs.nodes.path_of(node).c_str(), target, PATH_MAX);
    if (length < 0) {
        fuse_reply_err(req, errno);
        return;
    }
    target[length] = '\0';
    fuse_reply_readlink(req, target);
}

void fault_open(fuse_req_t req, fuse_ino_t node, fuse_file_info* file) {
    Serving serving(req);
    FaultFs& fs = serving.fs;
    const std::string path = fs.nodes.path_of(node);
    if (answered_while_held(fs, req, fs.options.hang_open.contains(path))) {
        return;
    }
    ++fs.opens;
    const int fd = ::openat(fs.source_fd, path.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC);
    if (fd < 0) {
        fuse_reply_err(req, errno);
        return;
    }
    if (fs.options.replace_on_open.contains(path)) {
        ::renameat(fs.source_fd, (path + ".new").c_str(), fs.source_fd, path.c_str());
    }
    file->fh = static_cast<std::uint64_t>(fd);
    fuse_reply_open(req, file);
}

void fault_read(fuse_req_t req, fuse_ino_t node, std::size_t size, off_t offset,
                fuse_file_info* file) {
    Serving serving(req);
    FaultFs& fs = serving.fs;
    const std::string path = fs.nodes.path_of(node);
    const auto held = fs.options.hang_read.find(path);
    if (answered_while_held(fs, req,
                            held != fs.options.hang_read.end() &&
                                offset + static_cast<off_t>(size) > held->second)) {
        return;
    }
    if (const auto slow = fs.options.slow_read.find(path); slow != fs.options.slow_read.end()) {
        std::this_thread::sleep_for(slow->second);
    }
    const auto failing = fs.options.eio_read.find(path);
    if (failing != fs.options.eio_read.end() &&
        offset + static_cast<off_t>(size) > failing->second) {
        fuse_reply_err(req, EIO);
        return;
    }
    std::vector<char> buffer(size);
    const ssize_t count = ::pread(static_cast<int>(file->fh), buffer.data(), size, offset);
    if (count < 0) {
        fuse_reply_err(req, errno);
        return;
    }
    fs.bytes_read += count;
    fuse_reply_buf(req, buffer.data(), static_cast<std::size_t>(count));
}

void fault_release(fuse_req_t req, fuse_ino_t, fuse_file_info* file) {
    Serving serving(req);
    ::close(static_cast<int>(file->fh));
    fuse_reply_err(req, 0);
}

void fault_opendir(fuse_req_t req, fuse_ino_t node, fuse_file_info* file) {
    Serving serving(req);
    ++serving.fs.directory_opens;
    const int fd = ::openat(serving.fs.source_fd, at(serving.fs.nodes.path_of(node)),
                            O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    DIR* dir = fd < 0 ? nullptr : ::fdopendir(fd);
    if (dir == nullptr) {
        const int error = errno;
        if (fd >= 0) {
            ::close(fd);
        }
        fuse_reply_err(req, error);
        return;
    }
    file->fh = reinterpret_cast<std::uint64_t>(dir);
    fuse_reply_open(req, file);
}

// Answers with the entries from `offset` on (0 or an entry's d_off, which is
// where the entry after it starts) that fit into `size` bytes.
void fault_readdir(fuse_req_t req, fuse_ino_t, std::size_t size, off_t offset,
                   fuse_file_info* file) {
    Serving serving(req);
    DIR* dir = reinterpret_cast<DIR*>(file->fh);
    ::seekdir(dir, offset);
    std::vector<char> buffer(size);
    std::size_t used = 0;
    errno = 0;
    while (const dirent* entry = ::readdir(dir)) {
        struct stat status = {};
        status.st_ino = entry->d_ino;
        status.st_mode = DTTOIF(entry->d_type);
        const std::size_t length = fuse_add_direntry(req, buffer.data() + used, size - used,
                                                     entry->d_name, &status, entry->d_off);
        if (length > size - used) {
            break;
        }
        used += length;
    }
    if (used == 0 && errno != 0) {
        fuse_reply_err(req, errno);
        return;
    }
    fuse_reply_buf(req, buffer.data(), used);
}

void fault_releasedir(fuse_req_t req, fuse_ino_t, fuse_file_info* file) {
    Serving serving(req);
    ::closedir(reinterpret_cast<DIR*>(file->fh));
    fuse_reply_err(req, 0);
}

void fault_statfs(fuse_req_t req, fuse_ino_t) {
    Serving serving(req);
    struct statvfs status;
    if (::fstatvfs(serving.fs.source_fd, &status) != 0) {
        fuse_reply_err(req, errno);
        return;
    }
    fuse_reply_statfs(req, &status);
}

fuse_lowlevel_ops operations() {
    fuse_lowlevel_ops operations = {};
    operations.init = fault_init;
    operations.lookup = fault_lookup;
    operations.getattr = fault_getattr;
    operations.readlink = fault_readlink;
    operations.open = fault_open;
    operations.read = fault_read;
    operations.release = fault_release;
    operations.opendir = fault_opendir;
    operations.readdir = fault_readdir;
    operations.releasedir = fault_releasedir;
    operations.statfs = fault_statfs;
    return operations;
}

// `text` as a whole number of no less than 0, or false.
bool parse_count(std::string_view text, long long& count) {
    const char* end = text.data() + text.size();
    const auto [stop, error] = std::from_chars(text.data(), end, count);
    return error == std::errc() && stop == end && count >= 0;
}

// Takes one "--name=value" option into `options`; false when it is none.
bool parse_option(std::string_view argument, Options& options) {
    const std::size_t equals = argument.find('=');
    if (equals == std::string_view::npos) {
        return false;
    }
    const std::string_view name = argument.substr(0, equals);
    const std::string value(argument.substr(equals + 1));
    std::set<std::string>* paths = name == "--eio-stat"          ? &options.eio_stat
                                   : name == "--hang-open"       ? &options.hang_open
                                   : name == "--replace-on-open" ? &options.replace_on_open
                                                                 : nullptr;
    long long count = 0;
    // PATH:COUNT, or PATH alone where the count may be left out.
    const std::size_t colon = value.rfind(':');
    const std::string path = value.substr(0, colon);
    const bool counted = colon != std::string::npos && parse_count(value.substr(colon + 1), count);
    if (paths != nullptr) {
        paths->insert(value);
    } else if (name == "--eio-read" && counted) {
        options.eio_read[path] = count;
    } else if (name == "--hang-read") {
        options.hang_read[counted ? path : value] = count;
    } else if (name == "--slow-read" && counted) {
        options.slow_read[path] = std::chrono::milliseconds(count);
    } else if (name == "--deaf-hold-ms" && parse_count(value, count)) {
        options.deaf_hold = std::chrono::milliseconds(count);
    } else if (name == "--delay-us" && parse_count(value, count)) {
        options.delay = std::chrono::microseconds(count);
    } else if (name == "--max-background" && parse_count(value, count) && count > 0 &&
               count <= USHRT_MAX) {
        options.max_background = static_cast<unsigned>(count);
    } else if (name == "--cache-ms" && parse_count(value, count)) {
        options.cache_seconds = count / MS_PER_SECOND;
    } else if (name == "--stats") {
        options.stats_file = value;
    } else if (name == "--held-mark") {
        options.held_mark = value;
    } else {
        return false;
    }
    return true;
}

bool parse_command_line(int argc, char** argv, Options& options) {
    std::vector<std::string> operands;
    for (int i = 1; i < argc; ++i) {
        const std::string_view argument = argv[i];
        if (!argument.starts_with("--")) {
            operands.emplace_back(argument);
        } else if (argument == "--ino-by-path") {
            options.ino_by_path = true;
        } else if (argument == "--whole-seconds") {
            options.whole_seconds = true;
        } else if (!parse_option(argument, options)) {
            std::fprintf(stderr, "trelvik_fault_fs: unknown or malformed option %s\n", argv[i]);
            return false;
        }
    }
    if (operands.size() != 2) {
        std::fprintf(stderr, "usage: trelvik_fault_fs [OPTION...] SOURCE MOUNTPOINT\n");
        return false;
    }
    options.source = operands[0];
    options.mount_point = operands[1];
    return true;
}

// Mounts the file system on its own connection to the kernel, whose answers
// pass write_to_kernel; false when it cannot.
bool mount_file_system(const FaultFs& fs) {
    const int fd = ::open("/dev/fuse", O_RDWR | O_CLOEXEC);
    if (fd < 0) {
        std::perror("/dev/fuse");
        return false;
    }
    const std::string data = "fd=" + std::to_string(fd) + ",user_id=" + std::to_string(::getuid()) +
                             ",group_id=" + std::to_string(::getgid()) + "," + MOUNT_OPTIONS;
    if (::mount(fs.options.source.c_str(), fs.options.mount_point.c_str(), FILE_SYSTEM_TYPE,
                MOUNT_FLAGS, data.c_str()) != 0) {
        std::perror(fs.options.mount_point.c_str());
        ::close(fd);
        return false;
    }
    fuse_custom_io io = {};
    io.writev = write_to_kernel;
    io.read = read_from_kernel;
    // The session owns `fd` from here on.
    return fuse_session_custom_io(fs.session, &io, fd) == 0;
}

// Mounts the file system and serves requests until a signal ends it, then
// unmounts it; false when it could not mount.
bool serve(FaultFs& fs, char* program) {
    fuse_args args = FUSE_ARGS_INIT(1, &program);
    const fuse_lowlevel_ops ops = operations();
    fs.session = fuse_session_new(&args, &ops, sizeof ops, &fs);
    fuse_opt_free_args(&args);
    if (fs.session == nullptr) {
        return false;
    }
    bool served = fuse_set_signal_handlers(fs.session) == 0 && mount_file_system(fs);
    if (served) {
        fuse_loop_config* config = fuse_loop_cfg_create();
        fuse_loop_cfg_set_max_threads(config, MAX_THREADS);
        // 0, or the number of the signal that ended it.
        served = fuse_session_loop_mt(fs.session, config) >= 0;
        fuse_loop_cfg_destroy(config);
        ::umount2(fs.options.mount_point.c_str(), MNT_DETACH);
    }
    fuse_remove_signal_handlers(fs.session);
    fuse_session_destroy(fs.session);
    return served;
}

bool write_stats(const FaultFs& fs) {
    if (fs.options.stats_file.empty()) {
        return true;
    }
    FILE* file = std::fopen(fs.options.stats_file.c_str(), "w");
    if (file == nullptr) {
        std::perror(fs.options.stats_file.c_str());
        return false;
    }
    const double mean_in_flight = fs.busy_time.count() > 0 ? fs.in_flight_time / fs.busy_time : 0;
    std::fprintf(file,
                 "requests %lld\npeak_in_flight %d\nmean_in_flight %.1f\nopens %lld\n"
                 "directory_opens %lld\nbytes_read %lld\n",
                 fs.requests, fs.peak_in_flight, mean_in_flight, fs.opens.load(),
                 fs.directory_opens.load(), fs.bytes_read.load());
    return std::fclose(file) == 0;
}

}  // namespace

int main(int argc, char** argv) {
    FaultFs fs;
    if (!parse_command_line(argc, argv, fs.options)) {
        return USAGE_ERROR;
    }
    fs.source_fd = ::open(fs.options.source.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fs.source_fd < 0) {
        std::perror(fs.options.source.c_str());
        return 1;
    }
    if (!serve(fs, argv[0])) {
        return 1;
    }
    return write_stats(fs) ? 0 : 1;
}
