#pragma once

// Writing a whole file so that a reader never sees half of it and a link
// planted at the path is replaced, never written through.

#include <memory>
#include <string>
#include <string_view>

namespace zefa {

// A file written piece by piece into a new file beside `path` (created
// exclusively, mode 0644) and renamed over `path` by Commit. Whatever `path`
// was before (a file or a symbolic link) is replaced; the target of a link is
// left alone. Until Commit, `path` is unchanged; a file never committed is
// removed when the object goes.
class ReplacingFile {
  public:
    // Raises Error::FileAccess when the new file cannot be created.
    explicit ReplacingFile(std::string path);
    ~ReplacingFile();
    ReplacingFile(const ReplacingFile&) = delete;
    ReplacingFile& operator=(const ReplacingFile&) = delete;

    // False once a write has failed; later writes do nothing.
    bool Write(std::string_view content);
    // Renames the written file over `path`. Raises Error::FileAccess when a
    // write failed or the rename does; `path` is then unchanged.
    void Commit();

  private:
    std::string path_;
    std::string temporary_;
    int fd_ = -1;
    bool ok_ = true;
};

// A file that must not exist yet, created exclusively (mode 0644) and never
// through a link, then written piece by piece and kept as written: logs and
// traces that grow while a run goes on.
class NewFile {
  public:
    // Null when something (a file, a folder, a link even to nowhere) already
    // has that name, so the caller can try another; raises Error::FileAccess
    // when the file cannot be created for any other reason.
    static std::unique_ptr<NewFile> Create(const std::string& path);
    ~NewFile();
    NewFile(const NewFile&) = delete;
    NewFile& operator=(const NewFile&) = delete;

    // False once a write has failed; later writes do nothing.
    bool Write(std::string_view content);

  private:
    explicit NewFile(int fd) : fd_(fd) {}
    int fd_ = -1;
    bool ok_ = true;
};

// Writes `content` through a ReplacingFile and commits it. Raises
// Error::FileAccess when the file cannot be written; `path` is then unchanged.
void WriteFileReplacing(const std::string& path, std::string_view content);

}  // namespace zefa
