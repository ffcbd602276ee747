#include "Platform/Linux/LinuxWorkspace.h"

#include <fcntl.h>
#include <gio/gio.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <sys/sysmacros.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <sstream>
#include <string_view>
#include <tuple>

#include "Platform/Bundle.h"
#include "Platform/Log.h"
#include "Platform/Volumes.h"

namespace platform {
namespace fs = std::filesystem;

namespace {

// One line of /proc/self/mountinfo.
struct Mount {
    std::string mountPoint;
    std::string options;  // per mount
    std::string fileSystemType;
    std::string source;
    std::string superOptions;  // per file system
    unsigned major = 0;
    unsigned minor = 0;
};

// mountinfo writes blanks, tabs, line feeds and backslashes in paths as \ooo.
std::string unescapeOctal(std::string_view text) {
    std::string result;
    result.reserve(text.size());
    const auto isOctal = [](char c) { return c >= '0' && c <= '7'; };
    for (size_t i = 0; i < text.size(); ++i) {
        if (text[i] == '\\' && i + 3 < text.size() && isOctal(text[i + 1]) &&
            isOctal(text[i + 2]) && isOctal(text[i + 3])) {
            result.push_back(static_cast<char>((text[i + 1] - '0') * 64 + (text[i + 2] - '0') * 8 +
                                               (text[i + 3] - '0')));
            i += 3;
        } else {
            result.push_back(text[i]);
        }
    }
    return result;
}

std::vector<Mount> readMounts() {
    std::vector<Mount> mounts;
    std::ifstream in("/proc/self/mountinfo");
    std::string line;
    while (std::getline(in, line)) {
        std::istringstream fields(line);
        std::string id, parent, device, root, mountPoint, options;
        if (!(fields >> id >> parent >> device >> root >> mountPoint >> options)) continue;
        // Optional fields up to the lone "-", then type, source and the super-block options.
        std::string field;
        while (fields >> field && field != "-") {
        }
        Mount mount;
        if (field != "-" || !(fields >> mount.fileSystemType >> mount.source)) continue;
        fields >> mount.superOptions;
        mount.mountPoint = unescapeOctal(mountPoint);
        mount.source = unescapeOctal(mount.source);
        mount.options = options;
        if (std::sscanf(device.c_str(), "%u:%u", &mount.major, &mount.minor) != 2) {
            mount.major = mount.minor = 0;
        }
        mounts.push_back(std::move(mount));
    }
    return mounts;
}

bool hasOption(const std::string& options, std::string_view wanted) {
    std::istringstream list(options);
    std::string option;
    while (std::getline(list, option, ',')) {
        if (option == wanted) return true;
    }
    return false;
}

bool isUnder(std::string_view path, std::string_view folder) {
    return path == folder ||
           (path.size() > folder.size() && path.substr(0, folder.size()) == folder &&
            path[folder.size()] == '/');
}

// Mounts that belong to the running system: the root, the kernel's pseudo file systems and the
// folders the system lives in. Media mounted for the user (/media, /mnt, /run/media) are not, nor
// are mounts inside a home or temporary folder.
bool isSystemMount(const Mount& mount) {
    const std::string& point = mount.mountPoint;
    if (point == "/") return true;
    for (std::string_view userFolder : {"/media", "/mnt", "/run/media"}) {
        if (isUnder(point, userFolder)) return false;
    }
    for (std::string_view systemTree :
         {"/proc", "/sys", "/dev", "/run", "/boot", "/efi", "/usr", "/var", "/etc", "/bin", "/sbin",
          "/lib", "/lib32", "/lib64", "/libx32", "/snap"}) {
        if (isUnder(point, systemTree)) return true;
    }
    for (std::string_view systemFolder : {"/home", "/tmp", "/opt", "/srv", "/root"}) {
        if (point == systemFolder) return true;
    }
    for (std::string_view pseudo :
         {"proc",    "sysfs",   "devtmpfs",    "devpts",   "cgroup",     "cgroup2",   "securityfs",
          "debugfs", "tracefs", "pstore",      "bpf",      "mqueue",     "hugetlbfs", "configfs",
          "fusectl", "autofs",  "binfmt_misc", "efivarfs", "rpc_pipefs", "nsfs"}) {
        if (mount.fileSystemType == pseudo) return true;
    }
    return false;
}

std::string readTrimmed(const std::string& path) {
    std::ifstream in(path);
    std::string text;
    std::getline(in, text);
    return text;
}

// A loop device (what disk images are attached to) or a block device the kernel marks removable;
// for a partition the flag sits on the whole disk.
bool isRemovableDevice(const Mount& mount) {
    constexpr unsigned kLoopMajor = 7;
    if (mount.major == kLoopMajor || mount.source.rfind("/dev/loop", 0) == 0) return true;
    if (mount.major == 0) return false;  // no block device behind it
    const std::string device = fmt::format("/sys/dev/block/{}:{}", mount.major, mount.minor);
    std::error_code error;
    if (!fs::exists(device, error)) return false;
    if (readTrimmed(device + "/removable") == "1") return true;
    return fs::exists(device + "/partition", error) && readTrimmed(device + "/../removable") == "1";
}

bool isWritable(const std::string& path) {
    if (::access(path.c_str(), W_OK) != 0) return false;
    struct statvfs info {};
    return ::statvfs(path.c_str(), &info) == 0 && (info.f_flag & ST_RDONLY) == 0;
}

std::string normalised(const std::string& path) {
    std::error_code error;
    auto canonical = fs::weakly_canonical(path, error);
    std::string text = error ? path : canonical.string();
    while (text.size() > 1 && text.back() == '/') text.pop_back();
    return text;
}

// The volumes of the disk-image tool: real folders directly inside its volumes folder (its
// hidden work folders excluded), when that folder is this user's alone. They come in the order
// they were mounted, as the system lists its own mounts: the tool renames each volume into place
// as the last step of its mount, and the rename sets the folder's change time.
std::vector<std::string> diskImageVolumes() {
    struct Volume {
        std::string path;
        timespec placed{};
    };
    std::vector<Volume> volumes;
    const auto folder = Volumes::privateFolder();
    if (!folder) return {};
    std::error_code error;
    for (fs::directory_iterator entry(*folder, error), end; !error && entry != end;
         entry.increment(error)) {
        const std::string name = entry->path().filename().string();
        if (name.empty() || name.front() == '.') continue;
        struct stat info {};
        if (::lstat(entry->path().c_str(), &info) != 0 || !S_ISDIR(info.st_mode)) continue;
        volumes.push_back({entry->path().string(), info.st_ctim});
    }
    std::sort(volumes.begin(), volumes.end(), [](const Volume& a, const Volume& b) {
        return std::tie(a.placed.tv_sec, a.placed.tv_nsec, a.path) <
               std::tie(b.placed.tv_sec, b.placed.tv_nsec, b.path);
    });
    std::vector<std::string> paths;
    for (auto& volume : volumes) paths.push_back(std::move(volume.path));
    return paths;
}

bool isDiskImageVolume(const std::string& normalisedPath) {
    const fs::path candidate(normalisedPath);
    if (normalised(Volumes::folder()) != candidate.parent_path().string()) return false;
    const std::string name = candidate.filename().string();
    if (name.empty() || name.front() == '.') return false;
    std::error_code error;
    return fs::symlink_status(candidate, error).type() == fs::file_type::directory &&
           Volumes::privateFolder().has_value();
}

// The words of a process's command line.
std::vector<std::string> commandLineOf(const std::string& process) {
    std::ifstream in(process + "/cmdline", std::ios::binary);
    std::vector<std::string> words;
    std::string word;
    while (std::getline(in, word, '\0')) words.push_back(word);
    return words;
}

// When a process started, in seconds since boot, and whether it has ended (a zombie).
std::optional<std::pair<double, bool>> startOf(const std::string& process) {
    std::ifstream in(process + "/stat");
    std::string line;
    if (!std::getline(in, line)) return std::nullopt;
    // The command name in parentheses may hold anything: the fields follow its last ")".
    const auto close = line.rfind(')');
    if (close == std::string::npos) return std::nullopt;
    std::istringstream fields(line.substr(close + 1));
    std::string state, field;
    fields >> state;
    for (int index = 4; index < 22 && fields >> field;) ++index;  // up to starttime, field 22
    unsigned long long ticks = 0;
    if (!(fields >> ticks)) return std::nullopt;
    return std::pair(static_cast<double>(ticks) / static_cast<double>(::sysconf(_SC_CLK_TCK)),
                     state == "Z");
}

double secondsOf(const timespec& time) {
    return static_cast<double>(time.tv_sec) + static_cast<double>(time.tv_nsec) / 1e9;
}

[[noreturn]] void reportAndExit(int fd, int errorNumber) {
    // Only async-signal-safe calls between fork and exec.
    [[maybe_unused]] const ssize_t ignored = ::write(fd, &errorNumber, sizeof errorNumber);
    ::_exit(127);
}

}  // namespace

std::shared_ptr<Workspace> Workspace::makeDefault() {
    return std::make_shared<LinuxWorkspace>();
}

bool LinuxWorkspace::openURL(const std::string& url) {
    GError* error = nullptr;
    if (g_app_info_launch_default_for_uri(url.c_str(), nullptr, &error)) return true;
    Log::nslog("Workspace : Cannot open {} : {}", url, error ? error->message : "unknown error");
    g_clear_error(&error);
    return false;
}

std::optional<Error> LinuxWorkspace::spawnDetached(const std::string& program,
                                                   const std::vector<std::string>& arguments) {
    // Everything the child needs is made before fork: after it only system calls may run.
    std::vector<char*> argv;
    argv.reserve(arguments.size() + 2);
    argv.push_back(const_cast<char*>(program.c_str()));
    for (const auto& argument : arguments) argv.push_back(const_cast<char*>(argument.c_str()));
    argv.push_back(nullptr);

    // The exec closes the write end (close-on-exec): an empty read means the exec succeeded,
    // four bytes carry the errno of the step that failed.
    std::array<int, 2> report{};
    if (::pipe2(report.data(), O_CLOEXEC) != 0) return Error::posix(errno, program);
    const int devNull = ::open("/dev/null", O_RDWR | O_CLOEXEC);

    const pid_t child = ::fork();
    if (child < 0) {
        const int error = errno;
        ::close(report[0]);
        ::close(report[1]);
        if (devNull >= 0) ::close(devNull);
        return Error::posix(error, program);
    }
    if (child == 0) {
        if (::setsid() < 0) reportAndExit(report[1], errno);
        const pid_t grandchild = ::fork();
        if (grandchild < 0) reportAndExit(report[1], errno);
        if (grandchild > 0) ::_exit(0);

        sigset_t none;
        sigemptyset(&none);
        ::sigprocmask(SIG_SETMASK, &none, nullptr);
        struct sigaction standard {};
        standard.sa_handler = SIG_DFL;
        for (int signal = 1; signal < NSIG; ++signal) ::sigaction(signal, &standard, nullptr);
        if (devNull >= 0) {
            ::dup2(devNull, STDIN_FILENO);
            ::dup2(devNull, STDOUT_FILENO);
            ::dup2(devNull, STDERR_FILENO);
        }
        // Descriptors someone opened without close-on-exec do not leak into the program either.
        ::close_range(3, ~0U, CLOSE_RANGE_CLOEXEC);
        ::execv(program.c_str(), argv.data());
        reportAndExit(report[1], errno);
    }

    ::close(report[1]);
    if (devNull >= 0) ::close(devNull);
    int status = 0;
    while (::waitpid(child, &status, 0) < 0 && errno == EINTR) {
    }
    int childError = 0;
    ssize_t got = 0;
    do {
        got = ::read(report[0], &childError, sizeof childError);
    } while (got < 0 && errno == EINTR);
    ::close(report[0]);
    if (got == static_cast<ssize_t>(sizeof childError)) return Error::posix(childError, program);
    return std::nullopt;
}

std::optional<Error> LinuxWorkspace::launchApplication(const std::string& bundlePath,
                                                       const std::vector<std::string>& arguments) {
    std::optional<Error> error;
    auto bundle = Bundle::atPath(bundlePath);
    if (!bundle) {
        error = Error::posix(ENOENT, bundlePath);
    } else if (auto executable = bundle->executablePath(); !executable) {
        error = Error::other(
            "The application's Info.plist names no executable (CFBundleExecutable)", bundlePath);
    } else {
        error = spawnDetached(*executable, arguments);
    }
    if (error) Log::nslog("Workspace : Cannot launch {} : {}", bundlePath, error->printedForm());
    return error;
}

std::optional<int> LinuxWorkspace::runningProcess(const std::string& bundlePath) {
    const auto bundle = Bundle::atPath(bundlePath);
    const auto executable = bundle ? bundle->executablePath() : std::nullopt;
    struct stat program {};
    if (!executable || ::stat(executable->c_str(), &program) != 0) return std::nullopt;
    // The executable's change time, when it was put in place, on the clock of process starts.
    timespec now{}, sinceBoot{};
    ::clock_gettime(CLOCK_REALTIME, &now);
    ::clock_gettime(CLOCK_BOOTTIME, &sinceBoot);
    const double installed = secondsOf(program.st_ctim) - (secondsOf(now) - secondsOf(sinceBoot));
    const double tick = 1.0 / static_cast<double>(::sysconf(_SC_CLK_TCK));
    std::error_code ignored;
    const std::string resolved = fs::canonical(*executable, ignored).string();

    std::error_code error;
    for (fs::directory_iterator entry("/proc", error), end; !error && entry != end;
         entry.increment(error)) {
        const std::string name = entry->path().filename().string();
        if (name.empty() || name.find_first_not_of("0123456789") != std::string::npos) continue;
        const std::string process = entry->path().string();
        struct stat owner {};
        if (::stat(process.c_str(), &owner) != 0 || owner.st_uid != ::geteuid()) continue;
        const auto start = startOf(process);
        if (!start || start->second || start->first + tick < installed) continue;
        // A program runs as itself; a script runs as its interpreter with the script's path.
        const auto words = commandLineOf(process);
        const bool runsIt = fs::read_symlink(process + "/exe", ignored).string() == resolved ||
                            (!words.empty() && words[0] == *executable) ||
                            (words.size() > 1 && words[1] == *executable);
        if (runsIt) return std::stoi(name);
    }
    return std::nullopt;
}

std::vector<std::string> LinuxWorkspace::mountedVolumePaths() {
    std::vector<std::string> paths;
    for (auto& mount : readMounts()) {
        if (std::find(paths.begin(), paths.end(), mount.mountPoint) == paths.end()) {
            paths.push_back(std::move(mount.mountPoint));
        }
    }
    for (auto& volume : diskImageVolumes()) {
        if (std::find(paths.begin(), paths.end(), volume) == paths.end()) {
            paths.push_back(std::move(volume));
        }
    }
    return paths;
}

Workspace::FileSystemInfo LinuxWorkspace::fileSystemInfo(const std::string& path) {
    FileSystemInfo info;
    const std::string target = normalised(path);
    if (isDiskImageVolume(target)) {
        info.result = true;
        info.isRemovable = true;
        info.isWritable = isWritable(target);
        info.isUnmountable = true;
        info.description = "Disk image volume";
        info.type = "hdiutil";
        return info;
    }

    // The last mount at a place is the one that is visible there.
    const auto mounts = readMounts();
    const auto found = std::find_if(mounts.rbegin(), mounts.rend(),
                                    [&](const Mount& mount) { return mount.mountPoint == target; });
    if (found == mounts.rend()) return info;
    info.result = true;
    info.isRemovable = isRemovableDevice(*found);
    info.isWritable = !hasOption(found->options, "ro") && !hasOption(found->superOptions, "ro") &&
                      isWritable(target);
    info.isUnmountable = !isSystemMount(*found);
    info.description = found->fileSystemType;
    info.type = found->fileSystemType;
    return info;
}

bool LinuxWorkspace::openProxySettings() {
    struct Settings {
        const char* program;
        const char* page;
    };
    // GNOME's network panel holds the proxy settings; Plasma has a module of its own.
    constexpr Settings kGnome[] = {{"gnome-control-center", "network"}};
    constexpr Settings kPlasma[] = {
        {"systemsettings", "kcm_proxy"}, {"kcmshell6", "kcm_proxy"}, {"kcmshell5", "proxy"}};
    // The running desktop's own settings come first; the other's serve where only it is there.
    const char* desktop = std::getenv("XDG_CURRENT_DESKTOP");
    const bool plasma = desktop && std::string_view(desktop).find("KDE") != std::string_view::npos;
    std::vector<Settings> candidates(std::begin(kGnome), std::end(kGnome));
    candidates.insert(plasma ? candidates.begin() : candidates.end(), std::begin(kPlasma),
                      std::end(kPlasma));
    for (const auto& settings : candidates) {
        gchar* program = g_find_program_in_path(settings.program);
        if (!program) continue;
        const std::string path = program;
        g_free(program);
        if (auto error = spawnDetached(path, {settings.page})) {
            Log::nslog("Workspace : Cannot open the proxy settings : {}", error->printedForm());
            return false;
        }
        return true;
    }
    return false;
}

}  // namespace platform
