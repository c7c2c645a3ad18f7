// Safe file writing: a file replaced only once it is complete, and a new file
// that never overwrites one that exists.
#include "platform/safe_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <filesystem>
#include <vector>

#include "platform/error.h"

namespace zefa {

namespace {

// Writes every byte, retrying short writes and interrupted calls.
bool WriteAll(int fd, std::string_view content) {
    std::size_t done = 0;
    while (done < content.size()) {
        const ssize_t n = ::write(fd, content.data() + done, content.size() - done);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        done += static_cast<std::size_t>(n);
    }
    return true;
}

}  // namespace

ReplacingFile::ReplacingFile(std::string path) : path_(std::move(path)) {
    const std::filesystem::path target(path_);
    if (target.filename().empty()) throw Error::FileAccess(path_);
    const std::filesystem::path folder =
        target.has_parent_path() ? target.parent_path() : std::filesystem::path(".");
    // The temporary name: the folder, "/.", the file name, ".XXXXXX".
    const std::string folderText = folder.string(), fileText = target.filename().string();
    std::vector<char> name(folderText.begin(), folderText.end());
    for (const char c : std::string_view("/.")) name.push_back(c);
    name.insert(name.end(), fileText.begin(), fileText.end());
    for (const char c : std::string_view(".XXXXXX")) name.push_back(c);
    name.push_back('\0');
    // mkstemp creates the file with O_CREAT | O_EXCL: it never opens an
    // existing file or follows a link.
    fd_ = ::mkstemp(name.data());
    if (fd_ < 0) throw Error::FileAccess(path_);
    temporary_ = name.data();
    if (::fchmod(fd_, 0644) != 0) ok_ = false;
}

ReplacingFile::~ReplacingFile() {
    if (fd_ >= 0) ::close(fd_);
    if (!temporary_.empty()) ::unlink(temporary_.c_str());
}

bool ReplacingFile::Write(std::string_view content) {
    if (ok_ && fd_ >= 0) ok_ = WriteAll(fd_, content);
    return ok_;
}

void ReplacingFile::Commit() {
    bool ok = ok_ && fd_ >= 0;
    if (fd_ >= 0) ok = (::close(fd_) == 0) && ok;
    fd_ = -1;
    // rename replaces the directory entry itself, so a link at the path is
    // replaced rather than followed.
    if (!ok || std::rename(temporary_.c_str(), path_.c_str()) != 0) throw Error::FileAccess(path_);
    temporary_.clear();
}

std::unique_ptr<NewFile> NewFile::Create(const std::string& path) {
    const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0644);
    if (fd >= 0) return std::unique_ptr<NewFile>(new NewFile(fd));
    if (errno == EEXIST) return nullptr;
    throw Error::FileAccess(path);
}

NewFile::~NewFile() {
    if (fd_ >= 0) ::close(fd_);
}

bool NewFile::Write(std::string_view content) {
    if (ok_ && fd_ >= 0) ok_ = WriteAll(fd_, content);
    return ok_;
}

void WriteFileReplacing(const std::string& path, std::string_view content) {
    ReplacingFile file(path);
    file.Write(content);
    file.Commit();
}

}  // namespace zefa
