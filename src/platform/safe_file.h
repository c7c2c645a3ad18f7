#pragma once

// Writing a whole file so that a reader never sees half of it and a link
// planted at the path is replaced, never written through.

#include <string>
#include <string_view>

namespace zefa {

// Writes `content` to a new file beside `path` (created exclusively, mode
// 0644) and renames it over `path`. Whatever `path` was before (a file or a
// symbolic link) is replaced; the target of a link is left alone. Raises
// Error::FileAccess when the file cannot be written; `path` is then unchanged.
void WriteFileReplacing(const std::string& path, std::string_view content);

}  // namespace zefa
