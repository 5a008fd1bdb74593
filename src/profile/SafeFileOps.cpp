// Writing a file whole or not at all, moving files aside, and their dates.
#include "profile/BackupFile.h"
#include "platform/Utf8Path.h"
#include "profile/FileText.h"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <ctime>
#include <memory>
#include <system_error>

#ifdef _WIN32
#ifndef NOMINMAX
#define NOMINMAX
#endif
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>
#include <fcntl.h>
#include <io.h>
#include <process.h>
#include <sys/stat.h>
#undef MoveFile  // windows.h maps it to MoveFileW, which would rename ours
#else
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

namespace pelora {

namespace {

namespace fs = std::filesystem;
using filetext::SystemReason;

constexpr int FreeNameTries = 1000;

// Thin wrappers, so the writer below reads the same on every system.
#ifdef _WIN32
int OpenNew(const fs::path& path)
{
    return ::_wopen(path.c_str(), _O_WRONLY | _O_CREAT | _O_EXCL | _O_BINARY, _S_IREAD | _S_IWRITE);
}
long WriteSome(int fd, const std::uint8_t* data, std::size_t count)
{
    return ::_write(fd, data, static_cast<unsigned>(std::min<std::size_t>(count, 1u << 30)));
}
int FlushToDisk(int fd) { return ::_commit(fd); }
int CloseFd(int fd) { return ::_close(fd); }
int ProcessId() { return ::_getpid(); }
#else
int OpenNew(const fs::path& path) { return ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644); }
long WriteSome(int fd, const std::uint8_t* data, std::size_t count) { return ::write(fd, data, count); }
int FlushToDisk(int fd) { return ::fsync(fd); }
int CloseFd(int fd) { return ::close(fd); }
int ProcessId() { return static_cast<int>(::getpid()); }
#endif

bool WriteAll(int fd, std::span<const std::uint8_t> bytes)
{
    while (!bytes.empty()) {
        const long written = WriteSome(fd, bytes.data(), bytes.size());
        if (written < 0 && errno == EINTR) continue;
        if (written <= 0) {
            if (written == 0) errno = ENOSPC;
            return false;
        }
        bytes = bytes.subspan(static_cast<std::size_t>(written));
    }
    return true;
}

// Replaces `to` in one step; the old file stays whole until then.
bool RenameOver(const fs::path& from, const fs::path& to, std::string* reason)
{
#ifdef _WIN32
    if (::MoveFileExW(from.c_str(), to.c_str(), MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)) return true;
    *reason = std::system_category().message(static_cast<int>(::GetLastError()));
    return false;
#else
    std::error_code error;
    fs::rename(from, to, error);
    if (error) *reason = error.message();
    return !error;
#endif
}

// Makes the rename itself survive a power cut; a folder that cannot be
// synced leaves the file written all the same.
void SyncFolder([[maybe_unused]] const fs::path& folder)
{
#ifndef _WIN32
    const int fd = ::open(folder.empty() ? "." : folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0) return;
    ::fsync(fd);
    ::close(fd);
#endif
}

// A new temporary file beside `path`, or -1 with errno set.
int CreateTemporary(const fs::path& path, fs::path* temp)
{
    static std::atomic<unsigned> counter{0};
    for (int attempt = 0; attempt < 100; ++attempt) {
        fs::path name = path.filename();
        name += ".tmp-" + std::to_string(ProcessId()) + "-" + std::to_string(++counter);
        *temp = path.parent_path() / name;
        const int fd = OpenNew(*temp);
        if (fd >= 0 || errno != EEXIST) return fd;  // EEXIST: a leftover of a crashed run
    }
    return -1;
}

bool Fail(std::string* error, std::string message)
{
    if (error) *error = std::move(message);
    return false;
}

std::optional<fs::path> NoPath(std::string* error, std::string message)
{
    Fail(error, std::move(message));
    return std::nullopt;
}

std::optional<fs::path> FreeName(const fs::path& to)
{
    for (int n = 1; n <= FreeNameTries; ++n) {
        fs::path name = to.stem();
        if (n > 1) name += "-" + std::to_string(n);
        name += to.extension();
        const fs::path candidate = to.parent_path() / name;
        std::error_code ignored;
        if (!fs::exists(fs::symlink_status(candidate, ignored))) return candidate;
    }
    return std::nullopt;
}

std::optional<std::time_t> ModifiedSeconds(const fs::path& path)
{
#ifdef _WIN32
    struct _stat64 info {};
    if (::_wstat64(path.c_str(), &info) != 0) return std::nullopt;
    return static_cast<std::time_t>(info.st_mtime);
#else
    struct stat info {};
    if (::stat(path.c_str(), &info) != 0) return std::nullopt;
    return info.st_mtime;
#endif
}

}  // namespace

bool WriteFileAtomically(const std::filesystem::path& path, std::span<const std::uint8_t> bytes,
                         std::string* error)
{
    if (!path.has_filename()) return Fail(error, "cannot write \"" + Utf8Of(path) + "\": no file name");
    fs::path temp;
    const int fd = CreateTemporary(path, &temp);
    const int createError = errno;
    if (fd < 0) return Fail(error, "cannot create " + Utf8Of(temp) + ": " + SystemReason(createError));

    // Any failure from here on removes the temporary file and keeps the old one.
    const auto abandon = [&](const std::string& operation, const std::string& reason) {
        std::error_code ignored;
        fs::remove(temp, ignored);
        return Fail(error, operation + ": " + reason);
    };
    if (!WriteAll(fd, bytes) || FlushToDisk(fd) != 0) {
        const int code = errno;
        CloseFd(fd);
        return abandon("cannot write " + Utf8Of(temp), SystemReason(code));
    }
    if (CloseFd(fd) != 0) {
        const int code = errno;
        return abandon("cannot close " + Utf8Of(temp), SystemReason(code));
    }
    std::string reason;
    if (!RenameOver(temp, path, &reason))
        return abandon("cannot rename " + Utf8Of(temp) + " to " + Utf8Of(path), reason);
    SyncFolder(path.parent_path());
    return true;
}

std::filesystem::path DamagedPath(const std::filesystem::path& path, const LocalDateTime& now)
{
    fs::path damaged = path;
    damaged += ".damaged-" + FileStamp(now);
    return damaged;
}

namespace {

constexpr const char* kRestoredTag = "restored-";

fs::path ArchiveFolder(const fs::path& path) { return path.parent_path() / "archive"; }

fs::path ArchiveName(const fs::path& path, const std::string& middle)
{
    fs::path name = path.stem();
    name += "." + middle;
    name += path.extension();
    return name;
}

}  // namespace

std::filesystem::path ArchivePath(const std::filesystem::path& path, const LocalDateTime& now)
{
    return ArchiveFolder(path) / ArchiveName(path, FileStamp(now));
}

std::filesystem::path RestoredArchivePath(const std::filesystem::path& path, const LocalDateTime& now)
{
    return ArchiveFolder(path) / ArchiveName(path, kRestoredTag + FileStamp(now));
}

void PruneRestoredCopies(const std::filesystem::path& path, std::size_t keep)
{
    fs::path prefix = path.stem();
    prefix += std::string(".") + kRestoredTag;
    const std::string wanted = Utf8Of(prefix);
    std::vector<fs::path> copies;
    std::error_code error;
    for (fs::directory_iterator it(ArchiveFolder(path), error), end; !error && it != end; it.increment(error)) {
        const fs::path& file = it->path();
        if (file.extension() == path.extension() && Utf8Of(file.stem()).rfind(wanted, 0) == 0)
            copies.push_back(file);
    }
    // The stamp sorts by time; a "-2" added for a second copy in the same second sorts after it.
    std::sort(copies.begin(), copies.end(),
              [](const fs::path& a, const fs::path& b) { return Utf8Of(a.stem()) > Utf8Of(b.stem()); });
    for (std::size_t i = keep; i < copies.size(); ++i) fs::remove(copies[i], error);
}

std::optional<std::filesystem::path> MoveFile(const std::filesystem::path& from, const std::filesystem::path& to,
                                              std::string* error)
{
    std::error_code failure;
    if (!to.parent_path().empty()) {
        fs::create_directories(to.parent_path(), failure);
        if (failure) return NoPath(error, "cannot create " + Utf8Of(to.parent_path()) + ": " + failure.message());
    }
    const std::optional<fs::path> target = FreeName(to);
    if (!target) return NoPath(error, "cannot move " + Utf8Of(from) + ": no free name beside " + Utf8Of(to));
    fs::rename(from, *target, failure);
    if (failure)
        return NoPath(error, "cannot move " + Utf8Of(from) + " to " + Utf8Of(*target) + ": " + failure.message());
    return target;
}

bool PathExists(const std::filesystem::path& path)
{
    std::error_code error;
    return !path.empty() && fs::exists(path, error);
}

std::optional<LocalDateTime> FileModifiedTime(const std::filesystem::path& path)
{
    const std::optional<std::time_t> seconds = ModifiedSeconds(path);
    if (!seconds) return std::nullopt;
    std::tm local{};
#ifdef _WIN32
    if (::localtime_s(&local, &*seconds) != 0) return std::nullopt;
#else
    if (!::localtime_r(&*seconds, &local)) return std::nullopt;
#endif
    return LocalDateTime{local.tm_year + 1900, local.tm_mon + 1, local.tm_mday,
                         local.tm_hour,        local.tm_min,     local.tm_sec};
}

}  // namespace pelora
