// The files a run writes in its output folder (and removes from an earlier
// run), and the snapshots its saved case names.
#include "run_outputs.h"

#include <cctype>
#include <filesystem>
#include <fstream>
#include <nlohmann/json.hpp>

#include "platform/safe_file.h"

namespace zefalink {

namespace {

namespace fs = std::filesystem;

constexpr const char* kManifest = ".zefalink-outputs";

// A name of a file in a folder: no separator, not "." or "..".
bool PlainName(const std::string& name) {
    return !name.empty() && name != "." && name != ".." && name.find('/') == std::string::npos;
}

}  // namespace

OutputFolder::OutputFolder(std::string folder) : folder_(std::move(folder)) {
    std::ifstream in(fs::path(folder_) / kManifest);
    for (std::string name; std::getline(in, name);) {
        if (!PlainName(name)) continue;
        std::error_code ec;
        const fs::path file = fs::path(folder_) / name;
        if (fs::is_regular_file(fs::symlink_status(file, ec))) fs::remove(file, ec);
    }
}

void OutputFolder::Wrote(const std::string& name) {
    if (PlainName(name)) written_.push_back(name);
}

void OutputFolder::Finish() const {
    std::string text;
    for (const auto& name : written_) text += name + '\n';
    try {
        zefa::WriteFileReplacing((fs::path(folder_) / kManifest).string(), text);
    } catch (const std::exception&) {
        // Without a manifest the next run only leaves these files in place.
    }
}

std::string SnapshotNamedBy(const std::string& case_path, const std::string& unit) {
    try {
        std::ifstream in(case_path);
        if (!in) return "";
        const auto doc = nlohmann::json::parse(in);
        for (const auto& u : doc.at("units"))
            if (u.at("name") == unit) return u.at("variables").value("SnapshotFile", "");
    } catch (const std::exception&) {
    }
    return "";
}

std::string RemoveReplacedSnapshot(const std::string& model_folder, const std::string& input,
                                   const std::string& before, const std::string& now,
                                   const std::string& keep) {
    if (!PlainName(before) || before == now || before == keep) return "";
    const std::string base = input.substr(0, input.find('.'));
    const std::string ext = ".snp";
    if (base.empty() || before.size() <= base.size() + ext.size() ||
        before.compare(0, base.size(), base) != 0 ||
        before.compare(before.size() - ext.size(), ext.size(), ext) != 0 ||
        !std::isdigit(static_cast<unsigned char>(before[base.size()])))
        return "";
    std::error_code ec;
    const fs::path file = fs::path(model_folder) / before;
    if (!fs::is_regular_file(fs::symlink_status(file, ec)) || !fs::remove(file, ec)) return "";
    return file.string();
}

EarlierSnapshots SnapshotsBeforeRun(
    const std::string& saved_case, const std::string& input_case,
    const std::vector<std::shared_ptr<refhost::PipelineUnit>>& units) {
    EarlierSnapshots e;
    for (const auto& u : units) {
        e.saved[u->Name()] = SnapshotNamedBy(saved_case, u->Name());
        e.input[u->Name()] = SnapshotNamedBy(input_case, u->Name());
    }
    return e;
}

nlohmann::json TidySnapshots(const EarlierSnapshots& before,
                             const std::vector<std::shared_ptr<refhost::PipelineUnit>>& units,
                             std::vector<std::string>& lines) {
    nlohmann::json where = nlohmann::json::object();
    for (const auto& u : units) {
        const std::string now = u->Get<host::TextVariable>("SnapshotFile")->GetValue();
        if (now.empty()) continue;
        const std::string folder = u->Get<host::TextVariable>("zefaModelPath")->GetValue();
        const std::string path = (fs::path(folder) / now).string();
        where[u->Name()] = path;
        std::string line = u->Name() + ": the saved case names the snapshot " + path;
        const auto at = [&](const std::map<std::string, std::string>& m) {
            const auto it = m.find(u->Name());
            return it == m.end() ? std::string() : it->second;
        };
        const std::string removed =
            RemoveReplacedSnapshot(folder, u->Get<host::TextVariable>("InputFile")->GetValue(),
                                   at(before.saved), now, at(before.input));
        if (!removed.empty()) line += "; removed the one it replaces, " + removed;
        lines.push_back(line);
    }
    return where;
}

}  // namespace zefalink
