// Refuses connection settings that would only fail at connection time, with
// a message that says what would be valid.
#include "settings_check.h"

#include <cmath>
#include <cstdio>
#include <filesystem>

namespace zefalink {

namespace {

constexpr double kHighestPort = 32767;  // the connection keeps ports as 16-bit numbers

std::string Whole(double v) {
    char buf[32];
    std::snprintf(buf, sizeof buf, "%.15g", v);
    return buf;
}

}  // namespace

std::string RefusedSetting(refhost::PipelineUnit& unit, const std::set<std::string>& edited,
                           const std::string& case_folder) {
    const double port = unit.Get<host::NumberVariable>("PortNumber")->GetValue();
    const std::string server = unit.Get<host::TextVariable>("ServerName")->GetValue();
    if (edited.count("PortNumber") &&
        (!std::isfinite(port) || port < 1 || port > kHighestPort || port != std::floor(port)))
        return "PortNumber=" + Whole(port) + " is refused: a port is a whole number from 1 to " +
               Whole(kHighestPort);
    const bool digits =
        !server.empty() && server.find_first_not_of("0123456789") == std::string::npos;
    if ((edited.count("PortNumber") || edited.count("ServerName")) && digits &&
        (server.size() > 5 || std::stod(server) != port))
        return "ServerName=" + server + " names port " + server + " but PortNumber is " +
               Whole(port) + ": give both the same port, e.g. ServerName=" + Whole(port) +
               " PortNumber=" + Whole(port);
    if (edited.count("zefaModelPath")) {
        const std::string folder = unit.Get<host::TextVariable>("zefaModelPath")->GetValue();
        std::error_code ec;
        const std::filesystem::path where = std::filesystem::path(case_folder) / folder;
        if (!folder.empty() && !std::filesystem::is_directory(where, ec))
            return "zefaModelPath=" + folder + " is refused: no such folder";
    }
    return "";
}

}  // namespace zefalink
