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

void WriteFileReplacing(const std::string& path, std::string_view content) {
    const std::filesystem::path target(path);
    if (target.filename().empty()) throw Error::FileAccess(path);
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
    const int fd = ::mkstemp(name.data());
    if (fd < 0) throw Error::FileAccess(path);
    bool ok = ::fchmod(fd, 0644) == 0 && WriteAll(fd, content);
    ok = (::close(fd) == 0) && ok;
    // rename replaces the directory entry itself, so a link at `path` is
    // replaced rather than followed.
    if (!ok || std::rename(name.data(), path.c_str()) != 0) {
        ::unlink(name.data());
        throw Error::FileAccess(path);
    }
}

}  // namespace zefa
