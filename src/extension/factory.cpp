// Entry points of the loadable component: the host creates the extension by
// class name and destroys it through the same library.
#include <cstdio>
#include <cstring>
#include <string>

#include "extension/zefa.h"
#include "server/server_start.h"

extern "C" {

__attribute__((visibility("default"))) host::UnitOperationExtension* ZefaCreateExtension(
    const char* class_name) {
    if (class_name == nullptr || std::strcmp(class_name, "ZEFAPipeline.ZEFA") != 0) return nullptr;
    try {
        return new zefa::ZEFA();
    } catch (...) {
        return nullptr;
    }
}

__attribute__((visibility("default"))) void ZefaDestroyExtension(
    host::UnitOperationExtension* extension) {
    delete extension;
}

// Writes `value` as the extension writes numbers as text (up to 15
// significant digits, no trailing zeros) into `buffer`, NUL-terminated and
// cut to `size`. Returns the length of the full text.
__attribute__((visibility("default"))) int ZefaFormatDouble(double value, char* buffer,
                                                            std::size_t size) {
    try {
        const std::string text = zefa::FormatDouble(value);
        if (buffer != nullptr && size > 0) std::snprintf(buffer, size, "%s", text.c_str());
        return static_cast<int>(text.size());
    } catch (...) {
        return -1;
    }
}

// The user's commands on an extension object that a host's tools run without
// a view: "OpenTheConnection" (with auto-start), "LoadZEFAFile",
// "InitializeZEFA", "CloseTheConnection" give 1 on success and 0 otherwise;
// "ServerState" gives the server state; "DynamicStatusUpdate" refreshes the
// status line (1); "RecordedServerPid" the process id
// recorded for the server name (-1 when none). -2: unknown command or object.
__attribute__((visibility("default"))) int ZefaToolCommand(host::UnitOperationExtension* extension,
                                                           const char* command) {
    auto* zefa_object = dynamic_cast<zefa::ZEFA*>(extension);
    if (zefa_object == nullptr || command == nullptr) return -2;
    try {
        const std::string name = command;
        if (name == "OpenTheConnection") {
            zefa_object->OpenTheConnection(true);
            return zefa_object->lngServerState >= 1 ? 1 : 0;
        }
        if (name == "LoadZEFAFile") return zefa_object->LoadZEFAFile() ? 1 : 0;
        if (name == "InitializeZEFA") return zefa_object->InitializeZEFA() ? 1 : 0;
        if (name == "CloseTheConnection") {
            zefa_object->CloseTheConnection();
            return zefa_object->lngServerState == 0 ? 1 : 0;
        }
        if (name == "ServerState") return zefa_object->lngServerState;
        if (name == "DynamicStatusUpdate") {
            zefa_object->DynamicStatusUpdate();
            return 1;
        }
        if (name == "RecordedServerPid") {
            const std::string server = zefa::Use(zefa_object->vars.ServerName).GetValue();
            std::FILE* f = std::fopen(zefa::server_start::PidFileName(server).c_str(), "r");
            if (f == nullptr) return -1;
            int pid = -1;
            if (std::fscanf(f, "%d", &pid) != 1) pid = -1;
            std::fclose(f);
            return pid;
        }
    } catch (...) {
        return -2;
    }
    return -2;
}
}
