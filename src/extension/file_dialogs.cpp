// The file and folder dialogs of the unit operation's view: the server
// program, the model's input file or snapshot, and the folder of the model
// files. The host's user interface shows them.
#include <filesystem>

#include "extension/zefa.h"

namespace zefa {

namespace fs = std::filesystem;

namespace {

// Filters as "description|pattern" pairs. The server program has no file
// name extension off Windows.
#ifdef _WIN32
constexpr const char* kProgramFilter = "Program Files (*.exe)|*.exe";
#else
constexpr const char* kProgramFilter = "Program Files (*)|*";
#endif
constexpr const char* kInputFilter = "Zefa Input Files (*.inp)|*.inp";
constexpr const char* kSnapshotFilter = "Zefalink Snapshot Files (*.snp)|*.snp";

bool IsFolder(const std::string& path) {
    std::error_code ec;
    return !path.empty() && fs::is_directory(path, ec);
}

// A dialog's answer: "false" (or nothing at all) means the user cancelled.
std::optional<std::string> Chosen(std::optional<std::string> answer) {
    if (!answer || answer->empty() || *answer == "false") return std::nullopt;
    return answer;
}

}  // namespace

std::optional<std::string> ZEFA::AskForServerProgram() {
    std::string folder = fs::path(Text(vars.zefaExe)).parent_path().string();
    if (!IsFolder(folder)) folder = Deref(Use(objContainer).GetCase().get()).Folder();
    return Chosen(ui().OpenFile(
        folder, kProgramFilter,
        "Select the location and ZEFA executable to run with the AutoStart feature."));
}

std::optional<std::string> ZEFA::AskForModelFile(bool isInputFile) {
    std::string folder = Text(vars.zefaModelPath);
    if (!IsFolder(folder)) folder = Deref(Use(objContainer).GetCase().get()).Folder();
    return Chosen(isInputFile
                      ? ui().OpenFile(folder, kInputFilter, "Select Zefa Input File")
                      : ui().OpenFile(folder, kSnapshotFilter, "Select Zefa Snapshot File"));
}

std::optional<std::string> ZEFA::AskForModelFolder() {
    std::string folder = Text(vars.zefaModelPath);
    if (!IsFolder(folder)) folder = Deref(Use(objContainer).GetCase().get()).Folder();
    return Chosen(ui().BrowseFolder(folder, "Select Path for all Zefa model files."));
}

}  // namespace zefa
